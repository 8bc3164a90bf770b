#include "sales/SalesEndpoint.h"

#include "base/DesktopError.h"
#include "base/Iso8601.h"
#include "base/Text.h"
#include "base/Uuid.h"

#include <array>
#include <string_view>

namespace korvid {

namespace {

enum class Needs { nothing, uuid, plainID, body, uuidBody, since };

struct Action {
    std::string_view name;
    std::string_view method;
    std::string_view path;   // the id, when there is one, goes after this
    std::string_view suffix; // ...and this after the id
    Needs needs;
    std::string_view queryName = {}; // a fixed query item, when not empty
    std::string_view queryValue = {};
};

// The closed set of calls the sales desk may make.
constexpr std::array<Action, 35> kActions { {
    { "agentStatus", "GET", "/v1/desktop/agent/", "", Needs::uuid },
    { "agentTurn", "POST", "/v1/desktop/agent/", "", Needs::uuidBody },
    { "library", "GET", "/v1/library", "", Needs::since, "view", "directory" },
    { "companySave", "PUT", "/v1/companies/", "", Needs::uuidBody },
    { "partners", "GET", "/v1/partners", "", Needs::nothing },
    { "imports", "GET", "/v1/library/import-history", "", Needs::nothing },
    { "opportunities", "GET", "/v1/want/opportunities", "", Needs::nothing, "bucket", "all" },
    { "outcomes", "GET", "/v1/desktop/sales/outcomes", "", Needs::nothing },
    { "opportunity", "GET", "/v1/want/opportunities/", "", Needs::uuid },
    { "opportunitySave", "PUT", "/v1/want/opportunities/", "", Needs::uuidBody },
    { "followup", "PATCH", "/v1/want/opportunities/", "/followup", Needs::uuidBody },
    { "stage", "PATCH", "/v1/want/opportunities/", "/stage", Needs::uuidBody },
    { "ecoProfiles", "GET", "/v1/desktop/commercial/partners", "", Needs::nothing },
    { "ecoProfile", "GET", "/v1/desktop/commercial/partner", "", Needs::plainID },
    { "ecoSave", "PUT", "/v1/desktop/commercial/partner", "", Needs::body },
    { "eventSessions", "GET", "/v1/desktop/commercial/sessions", "", Needs::nothing },
    { "eventSession", "GET", "/v1/desktop/commercial/session", "", Needs::plainID },
    { "eventCheck", "POST", "/v1/desktop/commercial/sessions/check", "", Needs::body },
    { "eventConfirm", "POST", "/v1/desktop/commercial/sessions/confirm", "", Needs::body },
    { "eventConvert", "POST", "/v1/desktop/commercial/session/convert", "", Needs::body },
    { "eventNote", "POST", "/v1/desktop/commercial/session/notes", "", Needs::body },
    { "minutes", "GET", "/v1/desktop/sales/minutes", "", Needs::nothing },
    { "minute", "GET", "/v1/desktop/sales/minutes/", "", Needs::uuid },
    { "archive", "PUT", "/v1/desktop/sales/minutes/", "", Needs::uuidBody },
    { "rules", "GET", "/v1/desktop/sales/rules", "", Needs::nothing },
    { "ruleSave", "PUT", "/v1/desktop/sales/rules/", "", Needs::uuidBody },
    { "trial", "POST", "/v1/desktop/sales/rules/", "/trial", Needs::uuidBody },
    { "deliveries", "GET", "/v1/desktop/sales/deliveries", "", Needs::nothing },
    { "delivery", "GET", "/v1/desktop/sales/deliveries/", "", Needs::uuid },
    { "feedback", "PATCH", "/v1/desktop/sales/deliveries/", "", Needs::uuidBody },
    { "evidence", "GET", "/v1/opportunity-evidence", "", Needs::nothing },
    { "conversations", "GET", "/v1/want/conversations", "", Needs::nothing },
    { "conversation", "GET", "/v1/want/conversations/", "", Needs::uuid },
    { "turnSave", "PUT", "/v1/want/conversations/", "", Needs::uuidBody },
    { "ask", "POST", "/v1/want/ask", "", Needs::body },
} };

constexpr std::size_t kPlainIDLimit = 120; // UTF-16 code units
constexpr std::size_t kSinceLimit = 30;

const Action& findAction(const Json& message)
{
    auto name = stringAt(message, "action");
    if (name)
        for (const auto& action : kActions)
            if (action.name == *name)
                return action;
    throw DesktopError("不支持此销售操作。");
}

std::string recordUuid(const Json& message)
{
    auto id = stringAt(message, "id");
    auto canonical = id ? canonicalUuid(*id) : std::nullopt;
    if (!canonical)
        throw DesktopError("无效的记录标识。");
    return *canonical;
}

std::string plainID(const Json& message)
{
    auto id = stringAt(message, "id");
    if (!id || id->empty() || utf16Length(*id) > kPlainIDLimit)
        throw DesktopError("缺少记录标识。");
    return *id;
}

const Json* sinceText(const Json& message)
{
    auto found = message.find("since");
    if (found == message.end() || !found->is_string())
        return nullptr; // a "since" of another type is ignored
    const auto& text = found->get_ref<const std::string&>();
    if (utf16Length(text) > kSinceLimit || !parseIso8601WithFraction(text))
        throw DesktopError("关系库同步时间无效。");
    return &*found;
}

bool isArrayOfObjects(const Json* value)
{
    if (!value || !value->is_array())
        return false;
    for (const auto& row : *value)
        if (!row.is_object())
            return false;
    return true;
}

Json projectRows(const Json& rows, std::initializer_list<const char*> kept, bool incremental)
{
    Json projected = Json::array();
    for (const auto& row : rows) {
        auto deleted = row.find("deleted");
        if (deleted != row.end() && deleted->is_boolean() && deleted->get<bool>()) {
            auto id = row.find("id");
            if (incremental && id != row.end() && id->is_string())
                projected.push_back(Json { { "id", *id }, { "deleted", true } });
            continue;
        }
        Json reduced = Json::object();
        for (const char* key : kept) {
            auto field = row.find(key);
            if (field != row.end())
                reduced[key] = *field;
        }
        projected.push_back(std::move(reduced));
    }
    return projected;
}

}

SalesEndpoint::SalesEndpoint(const Json& message)
{
    if (!message.is_object())
        throw DesktopError("不支持此销售操作。");
    const Action& action = findAction(message);
    method = action.method;
    path = action.path;

    switch (action.needs) {
    case Needs::uuid:
    case Needs::uuidBody:
        path += recordUuid(message);
        break;
    case Needs::plainID:
        query.push_back({ "id", plainID(message) });
        break;
    default:
        break;
    }
    path += action.suffix;

    if (!action.queryName.empty())
        query.push_back({ std::string(action.queryName), std::string(action.queryValue) });
    if (action.needs == Needs::since)
        if (const Json* since = sinceText(message))
            query.push_back({ "since", since->get<std::string>() });

    if (method != "GET") {
        const Json* given = objectAt(message, "body");
        if (!given)
            throw DesktopError("缺少操作内容。");
        body = *given;
    }
}

std::vector<std::string> SalesEndpoint::actionNames()
{
    std::vector<std::string> names;
    for (const auto& action : kActions)
        names.emplace_back(action.name);
    return names;
}

Json SalesEndpoint::directory(std::string_view bytes, bool incremental)
{
    Json reply = Json::parse(bytes, nullptr, false);
    if (reply.is_discarded())
        throw DesktopError("服务端返回的关系库数据无法解析，请重新读取。");
    if (!reply.is_object())
        throw DesktopError("关系库数据格式异常，请重新读取。");
    const Json* companies = arrayAt(reply, "companies");
    const Json* contacts = arrayAt(reply, "contacts");
    if (!isArrayOfObjects(companies) || !isArrayOfObjects(contacts))
        throw DesktopError("关系库数据格式异常，请重新读取。");

    auto serverTime = reply.find("serverTime");
    Json result = Json::object();
    result["serverTime"] = serverTime != reply.end() ? *serverTime : Json(nullptr);
    result["companies"] = projectRows(*companies,
        { "id", "name", "introNote", "structure", "targetPosition", "isTarget", "kind", "unsure" }, incremental);
    result["contacts"] = projectRows(*contacts, { "id", "companyID", "name", "department", "title" }, incremental);
    return result;
}

}
