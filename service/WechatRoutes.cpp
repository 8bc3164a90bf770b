// WeChat snapshot review: the differences one imported batch of business
// cards and chats would make to the relationship library, each accepted
// (written into the library) or rejected by a person.
#include "base/Uuid.h"
#include "service/ApiError.h"
#include "service/BodyFields.h"
#include "service/Database.h"
#include "service/Directory.h"
#include "service/Documents.h"
#include "service/ServiceRouter.h"
#include "service/ServiceStore.h"

namespace korvid {

namespace {

// The batch, only when it belongs to the snapshot named in the path.
Json batchAt(ApiRequest& request, Database& db)
{
    std::string snapshot = uuidParam(request, 0);
    std::string batch = uuidParam(request, 1);
    auto found = Documents::get(db, "wechatBatch", batch);
    if (!found || found->value("snapshotID", "") != snapshot)
        throw ApiError(404, "batch_not_found", "没有找到这个快照批次，请回到导入记录重新打开。");
    return *found;
}

Json withCounts(Json batch)
{
    int pending = 0, accepted = 0, rejected = 0;
    for (const Json& item : batch["items"]) {
        const Json& decision = item["decision"];
        if (decision == "accepted")
            ++accepted;
        else if (decision == "rejected")
            ++rejected;
        else
            ++pending;
    }
    batch["counts"] = Json { { "pending", pending }, { "accepted", accepted }, { "rejected", rejected } };
    return batch;
}

// Writes one accepted difference into the library.
void apply(Database& db, Json& item, std::int64_t nowMs)
{
    std::string type = item.value("type", "");
    if (type == "newCompany") {
        Json company = item["company"];
        // A company of that name added since the snapshot is updated rather
        // than doubled.
        Statement named(db, "SELECT id FROM companies WHERE name = ? AND deleted = 0");
        named.bind(1, company.value("name", ""));
        std::string id = named.step() ? named.text(0) : Uuid::random().string();
        named.reset();
        if (!Directory::companyExists(db, id))
            company["kind"] = "prospect";
        Directory::saveCompany(db, id, company, nowMs);
        item["companyID"] = id;
        item["companyName"] = company["name"];
    } else if (type == "companyChanged") {
        std::string id = item.value("companyID", "");
        if (!Directory::companyExists(db, id))
            throw ApiError(409, "company_gone", "这家企业已从关系库删除，无法接受这条差异。");
        Json changes = Json::object();
        for (const Json& change : item["changes"])
            changes[change["field"].get<std::string>()] = change["after"];
        Directory::saveCompany(db, id, changes, nowMs);
    } else if (type == "newContact") {
        std::string company = item.value("companyID", "");
        if (!Directory::companyExists(db, company))
            throw ApiError(409, "company_gone", "这家企业已从关系库删除，无法接受这条差异。");
        Json contact = item["contact"];
        contact["companyID"] = company;
        std::string id = Uuid::random().string();
        Directory::saveContact(db, id, contact, nowMs);
        item["contactID"] = id;
    } else {
        throw ApiError(409, "unknown_difference", "这条差异无法自动写入关系库。");
    }
}

ApiHandler decide(const char* decision)
{
    return [decision](ApiRequest& request, Database& db) {
        Json batch = batchAt(request, db);
        std::string itemID = uuidParam(request, 2);
        for (Json& item : batch["items"]) {
            if (item.value("id", "") != itemID)
                continue;
            if (!item["decision"].is_null()) {
                if (item["decision"] == decision)
                    return withCounts(batch); // the same decision again changes nothing
                throw ApiError(409, "already_decided",
                    item["decision"] == "accepted" ? "这条差异已经接受，不能再拒绝。"
                                                   : "这条差异已经拒绝，不能再接受。");
            }
            if (std::string(decision) == "accepted")
                apply(db, item, request.nowMs);
            item["decision"] = decision;
            item["decidedAt"] = formatMillis(request.nowMs);
            item["decidedBy"] = request.user().name;
            Documents::put(db, "wechatBatch", batch["id"], batch, batch.value("at", ""), request.nowMs);
            return withCounts(batch);
        }
        throw ApiError(404, "difference_not_found", "没有找到这条差异，请刷新后重试。");
    };
}

}

void addWechatRoutes(ServiceRouter& router)
{
    const std::string batch = "/v1/library/wechat/snapshots/{}/batches/{}";
    router.add("GET", batch, [](ApiRequest& request, Database& db) { return withCounts(batchAt(request, db)); });
    router.add("POST", batch + "/items/{}/accept", decide("accepted"), ServiceRouter::NoBody);
    router.add("POST", batch + "/items/{}/reject", decide("rejected"), ServiceRouter::NoBody);
}

}
