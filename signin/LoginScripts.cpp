#include "signin/LoginScripts.h"

#include "base/Json.h"

namespace korvid {

std::string loginStyleScript(const std::string& pageURL, const std::string& css)
{
    std::string arguments = Json::array({ pageURL, css }).dump();
    return "(() => {\n"
           "   const [host, css] = "
        + arguments
        + ";\n"
          "   if (location.origin !== new URL(host).origin) return;\n"
          "   const isChallenge = location.pathname === '/captcha';\n"
          "   if (window !== window.top) {\n"
          "     if (!isChallenge || window.parent !== window.top) return;\n"
          "     try { if (window.top.location.origin !== location.origin) return; } catch { return; }\n"
          "   }\n"
          "   const add = () => {\n"
          "     document.documentElement.dataset.korvidDesktopLogin = '';\n"
          "     if (isChallenge) document.documentElement.dataset.korvidDesktopCaptcha = '';\n"
          "     const style = document.createElement('style');\n"
          "     style.textContent = css;\n"
          "     (document.head || document.documentElement).append(style);\n"
          "   };\n"
          "   if(document.documentElement) add(); else document.addEventListener('DOMContentLoaded', add, "
          "{once:true});\n"
          "})();";
}

const std::string& loginProbeScript()
{
    static const std::string script
        = "if(location.origin !== new URL(expected).origin) return {visible: !!document.body?.innerText.trim()};\n"
          "const token=localStorage.getItem('korvid.token');\n"
          "const card=document.querySelector('.app-frame .login .card');\n"
          "if(token && !card) return {token};\n"
          "if(card) {\n"
          "    const heading=card.querySelector(':scope > h1');\n"
          "    if(heading && card.querySelector('.tabs')) {\n"
          "        const title=card.querySelector('.email-login h2')?.textContent || '登录 Korvid';\n"
          "        if(heading.textContent!==title) heading.textContent=title;\n"
          "    }\n"
          "    return {visible:!!card.innerText.trim()};\n"
          "}\n"
          "return {visible: !!document.body?.innerText.trim() || "
          "[...document.querySelectorAll('input,button,iframe,img,canvas')].some(e=>e.getBoundingClientRect().height>0)"
          "};";
    return script;
}

}
