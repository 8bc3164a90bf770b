#pragma once

#include "host/Bridge.h"

namespace korvid {

class TaskOps;

// The page's operations on the service's briefs of confirmed tasks: their
// states, one status, the start (with the task's scope read from the local
// workspace) and the review.
class BriefOps {
public:
    BriefOps(Bridge& bridge, TaskOps& tasks);

private:
    Task<Json> states(std::shared_ptr<BridgeCall> call);
    Task<Json> status(std::shared_ptr<BridgeCall> call);
    Task<Json> start(std::shared_ptr<BridgeCall> call);
    Task<Json> review(std::shared_ptr<BridgeCall> call);

    Bridge& bridge_;
    TaskOps& tasks_;
};

}
