#pragma once

#include "host/Bridge.h"

namespace korvid {

// The page's operations on the session: who is signed in, and signing out.
class SessionOps {
public:
    explicit SessionOps(Bridge& bridge);

private:
    Task<Json> session(std::shared_ptr<BridgeCall> call);
    Task<Json> logout(std::shared_ptr<BridgeCall> call);

    Bridge& bridge_;
};

}
