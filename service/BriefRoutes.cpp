// Remote task briefs: states of several, one brief, the start with its turn,
// and the review.
#include "base/Uuid.h"
#include "service/ApiError.h"
#include "service/BodyFields.h"
#include "service/Briefs.h"
#include "service/ServiceRouter.h"

namespace korvid {

namespace {

constexpr std::size_t kMaxStateIds = 100;

Briefs briefsOf(ApiRequest& request, Database& db)
{
    return Briefs(db, request.user().id, request.nowMs, request.config.briefStepMs);
}

Json states(ApiRequest& request, Database& db)
{
    const Json* ids = arrayAt(request.body, "ids");
    if (!ids || ids->size() > kMaxStateIds)
        throw ApiError(400, "invalid_ids", "任务标识无效，一次最多查询 100 个任务。");
    std::vector<std::string> canonical;
    for (const Json& id : *ids) {
        auto parsed = id.is_string() ? canonicalUuid(id.get<std::string>()) : std::nullopt;
        if (!parsed)
            throw ApiError(400, "invalid_ids", "任务标识无效，一次最多查询 100 个任务。");
        canonical.push_back(*parsed);
    }
    return briefsOf(request, db).states(canonical);
}

// The start payload is the confirmed task's execution scope; its shape is
// checked so a result can always be written from it.
void checkScope(const Json& payload)
{
    BodyFields fields(payload);
    fields.text("title", 200, true);
    fields.text("body", 5000, true);
    fields.text("project", 200);
    fields.text("skill", 40);
    fields.text("model", 80);
    fields.text("channel", 80);
    fields.integer("budgetMicros", 1, INT64_MAX, true);
    fields.integer("revision", 1, INT64_MAX, true);
    const Json* files = arrayAt(payload, "files");
    if (!files || files->size() > 20)
        throw BodyFields::invalid("files");
    for (const Json& file : *files) {
        if (!file.is_object())
            throw BodyFields::invalid("files");
        BodyFields entry(file);
        entry.text("name", 255, true);
        entry.text("digest", 64, true, 64);
        entry.text("text", 1 << 20, true);
    }
    if (payload.contains("minute") && !payload["minute"].is_object())
        throw BodyFields::invalid("minute");
}

Json start(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    std::string turn = request.header("X-Turn");
    if (turn.empty())
        throw ApiError(400, "turn_required", "缺少本次执行标识。");
    if (canonicalUuid(turn) != id)
        throw ApiError(400, "turn_mismatch", "本次执行标识与任务不一致。");
    checkScope(request.body);
    return briefsOf(request, db).start(id, request.body);
}

Json review(ApiRequest& request, Database& db)
{
    std::string id = uuidParam(request, 0);
    const Json* decision = objectAt(request.body, "decision");
    auto version = integerAt(request.body, "version");
    auto finalize = booleanAt(request.body, "finalize");
    bool strings = decision != nullptr;
    if (decision)
        for (const auto& [key, value] : decision->items())
            strings = strings && value.is_string();
    if (!strings || !version || !finalize)
        throw ApiError(400, "invalid_review", "审阅内容格式不正确，请重新打开审阅。");
    return briefsOf(request, db).review(id, *decision, *version, *finalize);
}

}

void addBriefRoutes(ServiceRouter& router)
{
    router.add(
        "GET", "/v1/desktop/briefs", [](ApiRequest& request, Database& db) { return briefsOf(request, db).list(); });
    router.add("POST", "/v1/desktop/briefs/states", states, ServiceRouter::NoTransaction);
    router.add("GET", "/v1/desktop/briefs/{}",
        [](ApiRequest& request, Database& db) { return briefsOf(request, db).brief(uuidParam(request, 0)); });
    router.add("POST", "/v1/desktop/briefs/{}", start);
    router.add("POST", "/v1/desktop/briefs/{}/review", review);
}

}
