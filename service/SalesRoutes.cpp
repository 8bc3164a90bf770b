// The sales desk: relationship library, opportunities, commercial partners,
// event sessions, minutes, rules, deliveries, evidence, conversations and the
// agent.
#include "base/Iso8601.h"
#include "base/Text.h"
#include "base/Uuid.h"
#include "service/Accounts.h"
#include "service/ApiError.h"
#include "service/BodyFields.h"
#include "service/Briefs.h"
#include "service/Database.h"
#include "service/Directory.h"
#include "service/Documents.h"
#include "service/SalesStages.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

#include <cmath>

namespace korvid {

namespace {

Json itemsOf(Json list)
{
    return Json { { "items", std::move(list) } };
}

// Without the items of its growing lists: see sendFilled().
Json document(Database& db, const char* kind, const std::string& id)
{
    auto found = Documents::get(db, kind, id);
    if (!found)
        throw recordNotFound();
    return *found;
}

// A record in a reply whose growing lists are read for the reply.
struct Filled {
    Filled(const char* kind, std::string id, std::string slot = {})
        : kind(kind)
        , id(std::move(id))
        , slot(std::move(slot))
    {
    }
    const char* kind;
    std::string id;
    std::string slot; // its key in the reply; empty for the reply itself
};

void sendText(httplib::Response& response, std::string text)
{
    response.status = 200;
    response.set_header("Cache-Control", "no-store");
    response.set_content(std::move(text), "application/json; charset=utf-8");
}

// Sends the reply (its route is Raw) with the growing lists of its records
// as they stand now, read once the lock is released and copied as stored
// text: a long list then costs its reader a copy, and no other request waits
// for it.
Json sendFilled(ApiRequest& request, Database& db, Json reply, std::vector<Filled> records)
{
    std::int64_t upTo = Documents::lastItem(db);
    request.finish = [&request, records = std::move(records), upTo](Database& reader, Json body) {
        std::string text;
        if (records.size() == 1 && records[0].slot.empty()) {
            Documents::writeFilled(reader, records[0].kind, records[0].id, body, text, upTo);
        } else {
            text += '{';
            bool first = true;
            for (const auto& item : body.items()) {
                const std::string& key = item.key();
                const Json& value = item.value();
                text += first ? "" : ",";
                first = false;
                Documents::writeValue(Json(key), text);
                text += ':';
                auto record = std::find_if(
                    records.begin(), records.end(), [&](const Filled& filled) { return filled.slot == key; });
                if (record != records.end())
                    Documents::writeFilled(reader, record->kind, record->id, value, text, upTo);
                else
                    Documents::writeValue(value, text);
            }
            text += '}';
        }
        sendText(request.response, std::move(text));
        return Json();
    };
    return reply;
}

// The same for {"items": [...]} of records of one kind.
Json sendAllFilled(ApiRequest& request, Database& db, const char* kind, Json items)
{
    std::int64_t upTo = Documents::lastItem(db);
    request.finish = [&request, kind, upTo](Database& reader, Json body) {
        std::string text = "{\"items\":[";
        bool first = true;
        for (const Json& record : body["items"]) {
            text += first ? "" : ",";
            first = false;
            Documents::writeFilled(reader, kind, record["id"].get<std::string>(), record, text, upTo);
        }
        text += "]}";
        sendText(request.response, std::move(text));
        return Json();
    };
    return itemsOf(std::move(items));
}

// Routes whose records have growing lists send their replies themselves.
int rawFor(const char* kind)
{
    return Documents::grows(kind) ? ServiceRouter::Raw : 0;
}

// The plain "id" query item of the commercial endpoints.
std::string plainIdQuery(const ApiRequest& request)
{
    std::string id = request.http.get_param_value("id");
    if (id.empty() || utf16Length(id) > 120)
        throw ApiError(400, "missing_id", "缺少记录标识。");
    return id;
}

std::string plainIdBody(const BodyFields& fields)
{
    return *fields.text("id", 120, true, 1);
}

void copyText(Json& target, const BodyFields& fields, const char* key, std::size_t max)
{
    if (auto value = fields.text(key, max))
        target[key] = *value;
}

// --- relationship library ----------------------------------------------------

Json library(ApiRequest& request, Database& db)
{
    const auto& http = request.http;
    if (http.has_param("view") && http.get_param_value("view") != "directory")
        throw ApiError(400, "invalid_view", "不支持这种关系库视图。");
    std::optional<std::int64_t> sinceMs;
    if (http.has_param("since")) {
        std::string since = http.get_param_value("since");
        auto seconds = since.size() <= 30 ? parseIso8601WithFraction(since) : std::nullopt;
        if (!seconds)
            throw ApiError(400, "invalid_since", "关系库同步时间无效。");
        sinceMs = static_cast<std::int64_t>(std::floor(*seconds * 1000.0));
    }
    request.response.set_header("Cache-Control", "no-store");
    request.response.set_content(Directory::read(db, sinceMs, request.nowMs), "application/json; charset=utf-8");
    return nullptr;
}

Json companyFields(const BodyFields& fields, bool isNew)
{
    Json changes = Json::object();
    if (auto name = fields.text("name", 120, isNew, 1))
        changes["name"] = trimWhitespace(*name);
    if (changes.contains("name") && changes["name"].get_ref<const std::string&>().empty())
        throw BodyFields::invalid("name");
    for (auto [key, max] : { std::pair { "introNote", 2000 }, { "structure", 2000 }, { "targetPosition", 120 },
             { "city", 40 }, { "industry", 40 }, { "phone", 40 } })
        copyText(changes, fields, key, static_cast<std::size_t>(max));
    if (auto kind = fields.text("kind", 20)) {
        if (*kind != "customer" && *kind != "prospect" && *kind != "partner")
            throw BodyFields::invalid("kind");
        changes["kind"] = *kind;
    }
    for (const char* key : { "isTarget", "unsure" })
        if (auto value = fields.flag(key))
            changes[key] = *value;
    return changes;
}

Json saveCompany(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    bool isNew = !Directory::companyExists(db, id);
    return Directory::saveCompany(db, id, companyFields(BodyFields(request.body), isNew), request.nowMs);
}

Json saveContact(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    Statement exists(db, "SELECT 1 FROM contacts WHERE id = ? AND deleted = 0");
    exists.bind(1, id);
    bool isNew = !exists.step();
    Json changes = Json::object();
    if (auto company = fields.uuid("companyID", isNew)) {
        if (!Directory::companyExists(db, *company))
            throw ApiError(400, "unknown_company", "所属企业不存在，请先保存企业。");
        changes["companyID"] = *company;
    }
    if (auto name = fields.text("name", 60, isNew, 1))
        changes["name"] = *name;
    for (auto [key, max] : { std::pair { "department", 60 }, { "title", 60 }, { "phone", 40 }, { "email", 120 } })
        copyText(changes, fields, key, static_cast<std::size_t>(max));
    return Directory::saveContact(db, id, changes, request.nowMs);
}

Json importCompanies(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    std::string fileName = *fields.text("fileName", 120, true, 1);
    const Json* rows = arrayAt(request.body, "companies");
    if (!rows || rows->empty() || rows->size() > 500)
        throw BodyFields::invalid("companies");
    int added = 0, updated = 0, skipped = 0;
    for (const Json& row : *rows) {
        if (!row.is_object())
            throw BodyFields::invalid("companies");
        Json changes = companyFields(BodyFields(row), true);
        Statement existing(db, "SELECT id FROM companies WHERE name = ? AND deleted = 0");
        existing.bind(1, changes["name"].get<std::string>());
        if (existing.step()) {
            std::string id = existing.text(0);
            existing.reset();
            if (changes.size() == 1) {
                ++skipped;
                continue;
            }
            Directory::saveCompany(db, id, changes, request.nowMs);
            ++updated;
        } else {
            if (!changes.contains("kind"))
                changes["kind"] = "prospect";
            Directory::saveCompany(db, Uuid::random().string(), changes, request.nowMs);
            ++added;
        }
    }
    std::string id = Uuid::random().string();
    Json record { { "id", id }, { "fileName", fileName }, { "at", formatMillis(request.nowMs) },
        { "by", request.user().name }, { "added", added }, { "updated", updated }, { "skipped", skipped },
        { "status", "done" } };
    Documents::put(db, "import", id, record, record["at"].get<std::string>(), request.nowMs);
    return record;
}

// The company of the path, which must exist.
std::string knownCompany(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    if (!Directory::companyExists(db, id))
        throw recordNotFound();
    return id;
}

Json ofCompany(Database& db, const char* kind, const std::string& company)
{
    Json items = Json::array();
    for (Json& record : Documents::list(db, kind))
        if (record.value("companyID", "") == company)
            items.push_back(std::move(record));
    return items;
}

// --- opportunities -----------------------------------------------------------

using Tails = std::map<std::string, Documents::Tail>;

Json opportunitySummary(const Json& record, const Tails& followups)
{
    Json summary = record;
    summary.erase("followups");
    summary.erase("stageHistory");
    auto tail = followups.find(record["id"].get<std::string>());
    summary["followupCount"] = tail == followups.end() ? 0 : tail->second.count;
    if (tail != followups.end())
        summary["lastFollowup"] = tail->second.last;
    return summary;
}

Json opportunities(ApiRequest& request, Database& db)
{
    std::string bucket = request.http.has_param("bucket") ? request.http.get_param_value("bucket") : "all";
    if (bucket != "all" && bucket != "open" && bucket != "won" && bucket != "lost")
        throw ApiError(400, "invalid_bucket", "不支持这种商机分组。");
    Json items = Json::array();
    Tails followups = Documents::tails(db, "opportunity", "followups");
    for (const Json& record : Documents::list(db, "opportunity")) {
        std::string stage = record["stage"];
        bool closed = stage == "won" || stage == "lost";
        if (bucket == "all" || (bucket == "open" && !closed) || bucket == stage)
            items.push_back(opportunitySummary(record, followups));
    }
    return Json { { "bucket", bucket }, { "items", items } };
}

Json outcomes(ApiRequest&, Database& db)
{
    std::int64_t wonAmount = 0, openAmount = 0, weighted = 0;
    int won = 0, lost = 0, open = 0;
    Json byStage = Json::array();
    std::map<std::string, std::pair<int, std::int64_t>> stages;
    for (const Json& record : Documents::list(db, "opportunity")) {
        std::string stage = record["stage"];
        std::int64_t amount = record.value("amount", std::int64_t { 0 });
        stages[stage].first += 1;
        stages[stage].second += amount;
        if (stage == "won") {
            ++won;
            wonAmount += amount;
        } else if (stage == "lost") {
            ++lost;
        } else {
            ++open;
            openAmount += amount;
            weighted += amount * salesStage(stage)->probability / 100;
        }
    }
    for (const auto& stage : kSalesStages)
        byStage.push_back(Json { { "stage", stage.code }, { "label", stage.label },
            { "count", stages[std::string(stage.code)].first }, { "amount", stages[std::string(stage.code)].second } });
    double winRate = won + lost ? static_cast<double>(won) / (won + lost) : 0.0;
    return Json { { "wonCount", won }, { "wonAmount", wonAmount }, { "lostCount", lost }, { "openCount", open },
        { "openAmount", openAmount }, { "weightedAmount", weighted }, { "winRate", std::round(winRate * 1000) / 1000 },
        { "byStage", byStage } };
}

void storeOpportunity(Database& db, Json& record, std::int64_t nowMs)
{
    record["updatedAt"] = formatMillis(nowMs);
    Documents::put(db, "opportunity", record["id"], record, record.value("dueDate", ""), nowMs);
}

void applyStage(Json& record, const std::string& code, std::int64_t nowMs)
{
    auto stage = salesStage(code);
    if (!stage)
        throw BodyFields::invalid("stage");
    if (record.value("stage", "") != code)
        record["stageHistory"].push_back(Json { { "stage", code }, { "at", formatMillis(nowMs) } });
    record["stage"] = stage->code;
    record["stageLabel"] = stage->label;
    record["probability"] = stage->probability;
}

Json saveOpportunity(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    auto existing = Documents::get(db, "opportunity", id);
    bool isNew = !existing;
    Json record
        = existing.value_or(Json { { "id", id }, { "followups", Json::array() }, { "stageHistory", Json::array() },
            { "owner", request.user().name }, { "amount", 0 }, { "nextStep", "" }, { "dueDate", "" } });
    if (auto title = fields.text("title", 120, isNew, 1))
        record["title"] = *title;
    if (auto company = fields.uuid("companyID", isNew)) {
        auto found = Directory::company(db, *company);
        if (!found)
            throw ApiError(400, "unknown_company", "所属企业不存在，请先保存企业。");
        record["companyID"] = *company;
        record["companyName"] = (*found)["name"];
    }
    if (auto amount = fields.integer("amount", 0, 1000000000000LL))
        record["amount"] = *amount;
    copyText(record, fields, "nextStep", 500);
    copyText(record, fields, "owner", 40);
    if (auto due = fields.day("dueDate"))
        record["dueDate"] = *due;
    auto stage = fields.text("stage", 20);
    if (stage || isNew)
        applyStage(record, stage.value_or("lead"), request.nowMs);
    storeOpportunity(db, record, request.nowMs);
    return sendFilled(request, db, std::move(record), { { "opportunity", id } });
}

Json followup(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    std::string note = *fields.text("note", 2000, true, 1);
    auto nextStep = fields.text("nextStep", 500);
    auto due = fields.day("dueDate");
    Json record = document(db, "opportunity", id);
    record["followups"].push_back(Json { { "id", Uuid::random().string() }, { "at", formatMillis(request.nowMs) },
        { "note", note }, { "by", request.user().name } });
    if (nextStep)
        record["nextStep"] = *nextStep;
    if (due)
        record["dueDate"] = *due;
    storeOpportunity(db, record, request.nowMs);
    return sendFilled(request, db, std::move(record), { { "opportunity", id } });
}

Json stage(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    std::string code = *BodyFields(request.body).text("stage", 20, true);
    Json record = document(db, "opportunity", id);
    applyStage(record, code, request.nowMs);
    storeOpportunity(db, record, request.nowMs);
    return sendFilled(request, db, std::move(record), { { "opportunity", id } });
}

// --- commercial partners and event sessions ----------------------------------

Json savePartnerProfile(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    auto id = fields.text("id", 120, false, 1);
    std::optional<Json> existing = id ? Documents::get(db, "partnerProfile", *id) : std::nullopt;
    bool isNew = !existing;
    Json profile
        = existing.value_or(Json { { "id", id.value_or("partner-" + Accounts::randomHex(4)) }, { "tier", "注册" },
            { "regions", Json::array() }, { "capabilities", Json::array() }, { "contact", "" }, { "notes", "" } });
    if (auto name = fields.text("name", 120, isNew, 1))
        profile["name"] = *name;
    copyText(profile, fields, "tier", 20);
    copyText(profile, fields, "contact", 40);
    copyText(profile, fields, "notes", 2000);
    for (const char* key : { "regions", "capabilities" })
        if (auto list = fields.texts(key, 20, 40))
            profile[key] = *list;
    profile["updatedAt"] = formatMillis(request.nowMs);
    Documents::put(db, "partnerProfile", profile["id"], profile, profile["id"].get<std::string>(), request.nowMs);
    return profile;
}

Json& attendee(Json& session, const std::string& attendeeID)
{
    for (Json& person : session["attendees"])
        if (person["id"] == attendeeID)
            return person;
    throw ApiError(400, "unknown_attendee", "名单中没有这位参会人。");
}

void storeSession(Database& db, const Json& session, std::int64_t nowMs)
{
    Documents::put(db, "eventSession", session["id"], session,
        session["date"].get<std::string>() + session["id"].get<std::string>(), nowMs);
}

std::optional<std::pair<std::string, std::string>> companyNamed(Database& db, const std::string& name)
{
    Statement query(db, "SELECT id, name FROM companies WHERE name = ? AND deleted = 0");
    query.bind(1, name);
    if (!query.step())
        return std::nullopt;
    return std::pair { query.text(0), query.text(1) };
}

Json checkSession(ApiRequest& request, Database& db)
{
    Json session = document(db, "eventSession", plainIdBody(BodyFields(request.body)));
    Json items = Json::array();
    for (const Json& person : session["attendees"]) {
        Json item = person;
        auto match = companyNamed(db, person.value("company", ""));
        item["match"]
            = match ? Json { { "companyID", match->first }, { "companyName", match->second } } : Json(nullptr);
        item["result"] = match ? "matched" : "new";
        items.push_back(std::move(item));
    }
    return Json { { "id", session["id"] }, { "items", items } };
}

Json confirmSession(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    Json session = document(db, "eventSession", plainIdBody(fields));
    auto ids = fields.texts("attendeeIDs", 200, 120, true);
    for (const auto& id : *ids) {
        Json& person = attendee(session, id);
        if (person["status"] == "pending")
            person["status"] = "confirmed";
    }
    storeSession(db, session, request.nowMs);
    std::string id = session["id"];
    return sendFilled(request, db, std::move(session), { { "eventSession", id } });
}

Json convertAttendee(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    Json session = document(db, "eventSession", plainIdBody(fields));
    Json& person = attendee(session, *fields.text("attendeeID", 120, true, 1));
    if (person.contains("opportunityID")) {
        std::string opportunityID = person["opportunityID"];
        Json reply { { "session", session }, { "opportunity", document(db, "opportunity", opportunityID) } };
        return sendFilled(request, db, std::move(reply),
            { { "eventSession", session["id"], "session" }, { "opportunity", opportunityID, "opportunity" } });
    }

    std::string companyName = person.value("company", "");
    auto match = companyNamed(db, companyName);
    std::string companyID = match ? match->first : Uuid::random().string();
    if (!match)
        Directory::saveCompany(db, companyID,
            Json { { "name", companyName }, { "kind", "prospect" }, { "unsure", true },
                { "introNote", "来自“" + session.value("eventName", std::string()) + "”的参会企业，待核实。" } },
            request.nowMs);
    Json opportunity { { "id", Uuid::random().string() },
        { "title", companyName + " · " + session.value("eventName", std::string("活动")) + "线索" },
        { "companyID", companyID }, { "companyName", companyName }, { "amount", 0 }, { "owner", request.user().name },
        { "nextStep", "三天内回访 " + person.value("name", std::string()) }, { "dueDate", "" },
        { "followups", Json::array() }, { "stageHistory", Json::array() } };
    applyStage(opportunity, "lead", request.nowMs);
    storeOpportunity(db, opportunity, request.nowMs);
    person["status"] = "converted";
    person["opportunityID"] = opportunity["id"];
    storeSession(db, session, request.nowMs);
    std::vector<Filled> records { { "eventSession", session["id"], "session" },
        { "opportunity", opportunity["id"], "opportunity" } };
    return sendFilled(request, db, Json { { "session", session }, { "opportunity", opportunity } }, std::move(records));
}

Json sessionNote(ApiRequest& request, Database& db)
{
    BodyFields fields(request.body);
    Json session = document(db, "eventSession", plainIdBody(fields));
    std::string text = *fields.text("text", 2000, true, 1);
    session["notes"].push_back(Json { { "id", Uuid::random().string() }, { "text", text },
        { "at", formatMillis(request.nowMs) }, { "by", request.user().name } });
    storeSession(db, session, request.nowMs);
    std::string id = session["id"];
    return sendFilled(request, db, std::move(session), { { "eventSession", id } });
}

// --- minutes, rules, deliveries ----------------------------------------------

Json archiveMinute(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    auto existing = Documents::get(db, "minute", id);
    bool isNew = !existing;
    Json minute = existing.value_or(Json { { "id", id }, { "attendees", Json::array() } });
    if (auto title = fields.text("title", 120, isNew, 1))
        minute["title"] = *title;
    if (auto text = fields.text("text", 8000, isNew, 1))
        minute["text"] = *text;
    if (auto company = fields.uuid("companyID")) {
        auto found = Directory::company(db, *company);
        if (!found)
            throw ApiError(400, "unknown_company", "所属企业不存在，请先保存企业。");
        minute["companyID"] = *company;
        minute["companyName"] = (*found)["name"];
    }
    if (auto opportunity = fields.uuid("opportunityID"))
        minute["opportunityID"] = *opportunity;
    if (auto attendees = fields.texts("attendees", 50, 60))
        minute["attendees"] = *attendees;
    std::string today = formatMillis(request.nowMs).substr(0, 10);
    minute["date"] = fields.day("date").value_or(minute.value("date", today));
    minute["archived"] = true;
    minute["archivedAt"] = formatMillis(request.nowMs);
    Documents::put(db, "minute", id, minute, minute["date"].get<std::string>(), request.nowMs);
    return minute;
}

Json saveRule(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    auto existing = Documents::get(db, "rule", id);
    bool isNew = !existing;
    Json rule = existing.value_or(Json { { "id", id }, { "keywords", Json::array() }, { "action", "" },
        { "enabled", true }, { "trials", Json::array() } });
    if (auto name = fields.text("name", 80, isNew, 1))
        rule["name"] = *name;
    if (auto keywords = fields.texts("keywords", 20, 40)) {
        for (const auto& keyword : *keywords)
            if (trimWhitespace(keyword).empty())
                throw BodyFields::invalid("keywords");
        rule["keywords"] = *keywords;
    }
    copyText(rule, fields, "action", 200);
    if (auto enabled = fields.flag("enabled"))
        rule["enabled"] = *enabled;
    rule["updatedAt"] = formatMillis(request.nowMs);
    Documents::put(db, "rule", id, rule, id, request.nowMs);
    return rule;
}

Json trialRule(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    auto sample = BodyFields(request.body).text("text", 8000);
    Json rule = document(db, "rule", id);
    Json matched = Json::array();
    Json hits = Json::array();
    auto contains = [](const std::string& text, const std::string& word) {
        return !word.empty() && text.find(word) != std::string::npos;
    };
    for (const Json& keyword : rule["keywords"]) {
        const std::string& word = keyword.get_ref<const std::string&>();
        if (sample && contains(*sample, word))
            matched.push_back(word);
    }
    if (!sample) {
        for (Json& record : Documents::list(db, "opportunity")) {
            Documents::fill(db, "opportunity", record["id"], record);
            std::string text = record.value("title", "") + record.value("nextStep", "");
            for (const Json& note : record["followups"])
                text += note.value("note", "");
            for (const Json& keyword : rule["keywords"]) {
                if (contains(text, keyword.get<std::string>())) {
                    hits.push_back(
                        Json { { "id", record["id"] }, { "title", record["title"] }, { "keyword", keyword } });
                    break;
                }
            }
        }
    }
    Json trial { { "ruleID", id }, { "at", formatMillis(request.nowMs) },
        { "sample", sample ? Json(*sample) : Json(nullptr) }, { "matched", matched }, { "opportunities", hits } };
    rule["trials"].push_back(Json { { "at", trial["at"] }, { "matchedCount", sample ? matched.size() : hits.size() } });
    while (rule["trials"].size() > 10)
        rule["trials"].erase(rule["trials"].begin());
    Documents::put(db, "rule", id, rule, id, request.nowMs);
    return trial;
}

Json feedback(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    std::int64_t rating = *fields.integer("rating", 1, 5, true);
    std::string comment = fields.text("comment", 1000).value_or("");
    Json delivery = document(db, "delivery", id);
    delivery["feedback"] = Json { { "rating", rating }, { "comment", comment }, { "at", formatMillis(request.nowMs) },
        { "by", request.user().name } };
    Documents::put(db, "delivery", id, delivery, delivery.value("sentAt", ""), request.nowMs);
    return delivery;
}

// --- conversations, questions, agent -----------------------------------------

Json conversations(ApiRequest&, Database& db)
{
    Json items = Json::array();
    Tails turns = Documents::tails(db, "conversation", "turns");
    for (const Json& record : Documents::list(db, "conversation")) {
        auto tail = turns.find(record["id"].get<std::string>());
        Json summary { { "id", record["id"] }, { "title", record["title"] },
            { "companyID", record.value("companyID", Json(nullptr)) },
            { "turnCount", tail == turns.end() ? 0 : tail->second.count }, { "updatedAt", record["updatedAt"] } };
        if (tail != turns.end())
            summary["lastText"] = tail->second.last["text"];
        items.push_back(std::move(summary));
    }
    return itemsOf(items);
}

Json saveTurn(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    BodyFields fields(request.body);
    std::string role = *fields.text("role", 20, true);
    if (role != "user" && role != "assistant")
        throw BodyFields::invalid("role");
    std::string text = *fields.text("text", 8000, true, 1);
    auto title = fields.text("title", 80, false, 1);
    auto existing = Documents::get(db, "conversation", id);
    Json record = existing.value_or(
        Json { { "id", id }, { "title", graphemePrefix(trimWhitespace(text), 20) }, { "turns", Json::array() } });
    if (title)
        record["title"] = *title;
    record["turns"].push_back(Json { { "role", role }, { "text", text }, { "at", formatMillis(request.nowMs) } });
    record["updatedAt"] = formatMillis(request.nowMs);
    Documents::put(db, "conversation", id, record, record["updatedAt"].get<std::string>(), request.nowMs);
    return sendFilled(request, db, std::move(record), { { "conversation", id } });
}

Json ask(ApiRequest& request, Database& db)
{
    std::string question = *BodyFields(request.body).text("question", 2000, true, 1);
    Json sources = Json::array();
    for (const Json& record : Documents::list(db, "opportunity")) {
        std::string company = record.value("companyName", "");
        std::string shortName = graphemePrefix(company, 4);
        if (question.find(record.value("title", "\x01")) != std::string::npos
            || (!shortName.empty() && question.find(shortName) != std::string::npos))
            sources.push_back(Json { { "kind", "opportunity" }, { "id", record["id"] }, { "title", record["title"] },
                { "stageLabel", record["stageLabel"] }, { "nextStep", record["nextStep"] } });
    }
    std::string answer = Briefs::agentReply(question);
    if (!sources.empty())
        answer += "相关商机：" + sources[0]["title"].get<std::string>() + "（"
            + sources[0]["stageLabel"].get<std::string>() + "），下一步：" + sources[0]["nextStep"].get<std::string>()
            + "。";
    return Json { { "question", question }, { "answer", answer }, { "sources", sources },
        { "at", formatMillis(request.nowMs) } };
}

Json agentTurn(ApiRequest& request, Database& db)
{
    std::string session = uuidParam(request, 0);
    std::string turnHeader = request.header("X-Turn");
    if (turnHeader.empty())
        throw ApiError(400, "turn_required", "缺少本轮执行标识。");
    auto turn = canonicalUuid(turnHeader);
    if (!turn)
        throw ApiError(400, "invalid_turn", "本轮执行标识无效。");
    std::optional<std::string> text;
    BodyFields fields(request.body);
    for (const char* key : { "text", "message", "prompt", "question" })
        if (!text)
            text = fields.text(key, 4000, false, 1);
    if (!text)
        throw BodyFields::missing("text");
    return Briefs(db, request.user().id, request.nowMs, request.config.briefStepMs).agentTurn(session, *turn, *text);
}

ApiHandler listOf(const char* kind)
{
    return [kind](ApiRequest& request, Database& db) {
        if (!Documents::grows(kind))
            return itemsOf(Documents::list(db, kind));
        return sendAllFilled(request, db, kind, Documents::list(db, kind));
    };
}

ApiHandler documentAt(const char* kind)
{
    return [kind](ApiRequest& request, Database& db) {
        std::string id = uuidParam(request, 0);
        Json record = document(db, kind, id);
        if (!Documents::grows(kind))
            return record;
        return sendFilled(request, db, std::move(record), { { kind, id } });
    };
}

ApiHandler documentByQuery(const char* kind)
{
    return [kind](ApiRequest& request, Database& db) {
        std::string id = plainIdQuery(request);
        Json record = document(db, kind, id);
        if (!Documents::grows(kind))
            return record;
        return sendFilled(request, db, std::move(record), { { kind, id } });
    };
}

}

void addSalesRoutes(ServiceRouter& router)
{
    router.add("GET", "/v1/library", library, ServiceRouter::Raw);
    router.add("GET", "/v1/library/import-history", listOf("import"), rawFor("import"));
    router.add("POST", "/v1/library/import", importCompanies);
    router.add("GET", "/v1/companies/{}", [](ApiRequest& request, Database& db) {
        auto company = Directory::company(db, uuidParam(request, 0));
        if (!company)
            throw recordNotFound();
        return *company;
    });
    router.add("PUT", "/v1/companies/{}", saveCompany);
    // The company page: its minutes and opportunities, newest first.
    router.add("GET", "/v1/companies/{}/minutes",
        [](ApiRequest& request, Database& db) { return itemsOf(ofCompany(db, "minute", knownCompany(request, db))); });
    router.add("GET", "/v1/companies/{}/opportunities", [](ApiRequest& request, Database& db) {
        Json items = Json::array();
        std::string company = knownCompany(request, db);
        Tails followups = Documents::tails(db, "opportunity", "followups");
        for (const Json& record : ofCompany(db, "opportunity", company))
            items.push_back(opportunitySummary(record, followups));
        return itemsOf(items);
    });
    router.add("DELETE", "/v1/companies/{}", [](ApiRequest& request, Database& db) {
        std::string id = uuidParam(request, 0);
        if (!Directory::deleteCompany(db, id, request.nowMs))
            throw recordNotFound();
        return Json { { "id", id }, { "deleted", true } };
    });
    router.add("PUT", "/v1/contacts/{}", saveContact);
    router.add("DELETE", "/v1/contacts/{}", [](ApiRequest& request, Database& db) {
        std::string id = uuidParam(request, 0);
        if (!Directory::deleteContact(db, id, request.nowMs))
            throw recordNotFound();
        return Json { { "id", id }, { "deleted", true } };
    });
    router.add("GET", "/v1/partners",
        [](ApiRequest&, Database& db) { return itemsOf(Directory::companiesOfKind(db, "partner")); });

    router.add("GET", "/v1/want/opportunities", opportunities);
    router.add("GET", "/v1/want/opportunities/{}", documentAt("opportunity"), rawFor("opportunity"));
    router.add("PUT", "/v1/want/opportunities/{}", saveOpportunity, ServiceRouter::Raw);
    router.add("PATCH", "/v1/want/opportunities/{}/followup", followup, ServiceRouter::Raw);
    router.add("PATCH", "/v1/want/opportunities/{}/stage", stage, ServiceRouter::Raw);
    router.add("GET", "/v1/desktop/sales/outcomes", outcomes);
    router.add("GET", "/v1/opportunity-evidence", listOf("evidence"), rawFor("evidence"));

    router.add("GET", "/v1/desktop/commercial/partners", listOf("partnerProfile"), rawFor("partnerProfile"));
    router.add("GET", "/v1/desktop/commercial/partner", documentByQuery("partnerProfile"), rawFor("partnerProfile"));
    router.add("PUT", "/v1/desktop/commercial/partner", savePartnerProfile);
    router.add("GET", "/v1/desktop/commercial/sessions", listOf("eventSession"), rawFor("eventSession"));
    router.add("GET", "/v1/desktop/commercial/session", documentByQuery("eventSession"), rawFor("eventSession"));
    router.add("POST", "/v1/desktop/commercial/sessions/check", checkSession);
    router.add("POST", "/v1/desktop/commercial/sessions/confirm", confirmSession, ServiceRouter::Raw);
    router.add("POST", "/v1/desktop/commercial/session/convert", convertAttendee, ServiceRouter::Raw);
    router.add("POST", "/v1/desktop/commercial/session/notes", sessionNote, ServiceRouter::Raw);
    router.add("GET", "/v1/events", listOf("event"), rawFor("event"));

    router.add("GET", "/v1/desktop/sales/minutes", listOf("minute"), rawFor("minute"));
    router.add("GET", "/v1/desktop/sales/minutes/{}", documentAt("minute"), rawFor("minute"));
    router.add("PUT", "/v1/desktop/sales/minutes/{}", archiveMinute);
    router.add("GET", "/v1/desktop/sales/rules", listOf("rule"), rawFor("rule"));
    router.add("PUT", "/v1/desktop/sales/rules/{}", saveRule);
    router.add("POST", "/v1/desktop/sales/rules/{}/trial", trialRule);
    router.add("GET", "/v1/desktop/sales/deliveries", listOf("delivery"), rawFor("delivery"));
    router.add("GET", "/v1/desktop/sales/deliveries/{}", documentAt("delivery"), rawFor("delivery"));
    router.add("PATCH", "/v1/desktop/sales/deliveries/{}", feedback);

    router.add("GET", "/v1/want/conversations", conversations);
    router.add("GET", "/v1/want/conversations/{}", documentAt("conversation"), rawFor("conversation"));
    router.add("PUT", "/v1/want/conversations/{}", saveTurn, ServiceRouter::Raw);
    router.add("POST", "/v1/want/ask", ask);
    router.add("GET", "/v1/desktop/agent/{}", [](ApiRequest& request, Database& db) {
        return Briefs(db, request.user().id, request.nowMs, request.config.briefStepMs)
            .agentSession(uuidParam(request, 0));
    });
    router.add("POST", "/v1/desktop/agent/{}", agentTurn);
    router.add("GET", "/v1/notices", listOf("notice"), rawFor("notice"));
}

}
