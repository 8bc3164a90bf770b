#pragma once

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace korvid {

// A small stand-in of the service for the shell's window tests, on a real
// loopback port: the sign-in page (the markup the sign-in probe expects; a
// correct password stores a token and removes the sign-in card) and "/v1/me".
// Accounts: demo@korvid.cn / korvid123 signs in normally; noid@korvid.cn /
// korvid123 gets a token whose "/v1/me" answer has an empty "id".
class SignInTestService {
public:
    SignInTestService();
    ~SignInTestService();

    const std::string& origin() const { return origin_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string origin_;
};

}
