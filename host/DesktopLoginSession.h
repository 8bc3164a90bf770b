#pragma once

#include <string>

namespace korvid {

// The signed-in account.
struct DesktopLoginSession {
    std::string token; // bearer token of the service
    std::string id;    // the account id "/v1/me" returned; never empty
    std::string label; // e-mail if not empty, else name if not empty, else id
    bool operator==(const DesktopLoginSession&) const = default;
};

}
