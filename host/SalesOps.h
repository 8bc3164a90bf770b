#pragma once

#include "host/Bridge.h"

namespace korvid {

// The sales desk: every action of the page's sales table, as one call of the
// service.
class SalesOps {
public:
    explicit SalesOps(Bridge& bridge);

private:
    Task<Json> sales(std::shared_ptr<BridgeCall> call);

    Bridge& bridge_;
};

}
