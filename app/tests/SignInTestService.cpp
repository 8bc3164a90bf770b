#include "app/tests/SignInTestService.h"

#include <httplib.h>

namespace korvid {

namespace {

const char* const kSignInPage = R"HTML(<!doctype html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>登录 Korvid</title></head>
<body>
<div class="app-frame"><div class="login"><div class="card">
  <h1>欢迎</h1>
  <div class="tabs"><span>邮箱</span></div>
  <div class="email-login"><h2>邮箱登录</h2>
    <form id="form">
      <input id="email" type="email" placeholder="邮箱">
      <input id="password" type="password" placeholder="密码">
      <button type="submit">登录</button>
      <p id="error"></p>
    </form>
  </div>
</div></div></div>
<script>
document.getElementById('form').addEventListener('submit', async event => {
  event.preventDefault();
  const response = await fetch('/test/session', {method: 'POST', body: JSON.stringify({
    email: document.getElementById('email').value, password: document.getElementById('password').value})});
  if (!response.ok) { document.getElementById('error').textContent = '账号或密码不正确'; return; }
  const {token} = await response.json();
  localStorage.setItem('korvid.token', token);
  document.querySelector('.app-frame .login').remove();
  document.body.append('正在进入…');
});
</script>
</body></html>)HTML";

}

SignInTestService::SignInTestService()
    : server_(std::make_unique<httplib::Server>())
{
    server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kSignInPage, "text/html; charset=utf-8");
    });
    server_->Post("/test/session", [](const httplib::Request& request, httplib::Response& response) {
        bool password = request.body.find("\"password\":\"korvid123\"") != std::string::npos;
        if (password && request.body.find("\"email\":\"demo@korvid.cn\"") != std::string::npos)
            response.set_content(R"({"token":"token-demo"})", "application/json");
        else if (password && request.body.find("\"email\":\"noid@korvid.cn\"") != std::string::npos)
            response.set_content(R"({"token":"token-noid"})", "application/json");
        else
            response.status = 401;
    });
    server_->Get("/v1/me", [](const httplib::Request& request, httplib::Response& response) {
        auto authorization = request.get_header_value("Authorization");
        if (authorization == "Bearer token-demo")
            response.set_content(
                R"({"id":"acct-demo","email":"demo@korvid.cn","name":"演示账号"})", "application/json");
        else if (authorization == "Bearer token-noid")
            response.set_content(R"({"id":"","email":"noid@korvid.cn"})", "application/json");
        else {
            response.status = 401;
            response.set_content(R"({"error":"unauthorized"})", "application/json");
        }
    });
    int port = server_->bind_to_any_port("127.0.0.1");
    origin_ = "http://127.0.0.1:" + std::to_string(port);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

SignInTestService::~SignInTestService()
{
    server_->stop();
    thread_.join();
}

}
