#pragma once

#include "service/ServiceStore.h"

#include <cstdint>
#include <string>

namespace korvid {

class Database;

// The demo sales desk written into a new database. Deterministic: every
// record's id is seedId(kind, n), so tests and guides can name records.
class SeedData {
public:
    enum Kind {
        Account = 1,
        Company = 2,
        Contact = 3,
        Opportunity = 4,
        Minute = 5,
        Rule = 6,
        Delivery = 7,
        Conversation = 8,
        Evidence = 9,
        Import = 10,
        Followup = 11,
        AgentSession = 12,
        WechatSnapshot = 13,
        WechatBatch = 14,
        WechatItem = 15,
    };

    // "0000000K-0000-4000-8000-00000000000N" in lower-case hexadecimal.
    static std::string seedId(int kind, int n);
    static std::string companyName(int n);

    static void populate(Database& database, SeedSize size, std::int64_t nowMs, const PasswordCost& accountCost = {});
};

}
