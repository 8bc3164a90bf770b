#pragma once

#include "base/Json.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvid {

class Database;

// Remote task briefs and agent turns, executed by simulation: a started brief
// runs for two steps, then waits in "review" with a result text until the
// user's final decision makes it "done". An agent turn answers after one step.
// States are derived from the clock when read, so nothing runs in the
// background and a restart loses nothing.
class Briefs {
public:
    Briefs(Database& database, std::string accountID, std::int64_t nowMs, std::int64_t stepMs);

    Json brief(const std::string& id);
    Json states(const std::vector<std::string>& ids);
    Json list();
    // Starts an unstarted brief; a repeated start answers the brief as it is.
    Json start(const std::string& id, const Json& payload);
    Json review(const std::string& id, const Json& decision, std::int64_t version, bool finalize);

    Json agentSession(const std::string& sessionID);
    Json agentTurn(const std::string& sessionID, const std::string& turn, const std::string& text);

    static std::string resultText(const Json& payload);
    static std::string agentReply(const std::string& text);

private:
    Json briefRow(const std::string& id);

    Database& database_;
    std::string account_;
    std::int64_t now_;
    std::int64_t step_;
};

}
