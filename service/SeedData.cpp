#include "service/SeedData.h"

#include "service/Accounts.h"
#include "service/Database.h"
#include "service/Directory.h"
#include "service/Documents.h"
#include "service/SalesStages.h"

#include <cstdio>
#include <iterator>

namespace korvid {

namespace {

constexpr const char* kCities[] = {"杭州", "上海", "苏州", "深圳", "成都", "武汉", "南京", "宁波",
    "合肥", "西安", "广州", "厦门"};
constexpr const char* kBrands[] = {"云帆", "启明", "澜海", "恒拓", "星衡", "瑞禾", "博远", "众诚",
    "晨曦", "睿驰", "青禾", "鼎元", "华屹", "海纳", "远景", "知行"};
constexpr const char* kIndustries[] = {"科技", "智能制造", "医疗器械", "新材料", "物流", "食品",
    "教育科技", "软件", "电子", "环保"};
constexpr const char* kSurnames[] = {"王", "李", "张", "刘", "陈", "杨", "赵", "黄", "周", "吴",
    "徐", "孙", "马", "朱", "胡", "郭"};
constexpr const char* kGivenNames[] = {"伟", "芳", "娜", "敏", "静", "磊", "洋", "艳", "勇", "军",
    "杰", "婷", "强", "霞", "涛", "明", "思远", "雨桐", "子涵", "浩然"};
constexpr const char* kDepartments[] = {"采购部", "信息技术部", "总经办", "财务部", "生产部",
    "市场部", "研发中心"};
constexpr const char* kTitles[] = {"采购经理", "IT 总监", "总经理", "财务总监", "生产主管",
    "市场经理", "研发负责人"};
constexpr const char* kPositions[] = {"采购总监", "信息化负责人", "分管副总", "生产副总"};

template <typename T, std::size_t N>
const char* pick(T (&list)[N], int n)
{
    return list[static_cast<std::size_t>(n) % N];
}

std::string date(int dayOffset)
{
    // Seed dates are fixed so that pages and tests read the same desk.
    int day = 10 + dayOffset % 18;
    int month = 1 + (dayOffset / 18) % 12;
    char text[16];
    std::snprintf(text, sizeof text, "2026-%02d-%02d", month, day);
    return text;
}

Json companyFields(int n)
{
    const char* city = pick(kCities, n);
    const char* industry = pick(kIndustries, n / 12);
    std::string kind = n % 7 == 3 ? "partner" : (n % 3 == 0 ? "customer" : "prospect");
    return Json {
        {"name", SeedData::companyName(n)},
        {"introNote", std::string(city) + "的" + industry + "企业，" + (n % 2 ? "正在推进数字化改造。" : "今年计划扩建产线。")},
        {"structure", n % 2 ? "集团总部下设三个事业部，采购集中在总部。" : "单一法人，总经理直管采购与信息化。"},
        {"targetPosition", pick(kPositions, n)},
        {"isTarget", n % 4 == 0},
        {"kind", kind},
        {"unsure", n % 11 == 5},
        {"city", city},
        {"industry", industry},
        {"phone", "0571-8" + std::to_string(1000000 + n * 37 % 8999999)},
    };
}

Json contactFields(int n, int companies)
{
    int company = n % companies;
    return Json {
        {"companyID", SeedData::seedId(SeedData::Company, company + 1)},
        {"name", std::string(pick(kSurnames, n)) + pick(kGivenNames, n / 16)},
        {"department", pick(kDepartments, n / 3)},
        {"title", pick(kTitles, n / 3)},
        {"phone", "138" + std::to_string(10000000 + n * 7919 % 89999999)},
        {"email", "contact" + std::to_string(n + 1) + "@example.cn"},
    };
}

struct OpportunitySeed {
    const char* title;
    int company;
    const char* stage;
    std::int64_t amount;
    const char* nextStep;
};

constexpr OpportunitySeed kOpportunities[] = {
    {"产线数据采集平台二期", 1, "proposal", 860000, "周五前提交分期报价"},
    {"集团采购协同系统", 4, "negotiation", 1280000, "与财务总监确认付款节点"},
    {"仓储条码改造", 2, "qualify", 230000, "安排仓库现场调研"},
    {"质量追溯试点", 9, "contact", 150000, "发送同行业案例"},
    {"设备预测性维护", 12, "lead", 420000, "约信息化负责人初次交流"},
    {"年度运维续约", 3, "won", 96000, "归档合同并安排交接"},
    {"能耗监测项目", 7, "lost", 310000, "复盘丢单原因"},
    {"门店巡检小程序", 16, "proposal", 180000, "演示巡检流程原型"},
    {"销售管理系统升级", 20, "qualify", 540000, "梳理现有系统接口清单"},
    {"实验室信息管理", 24, "contact", 270000, "确认预算归属部门"},
    {"供应商门户建设", 28, "negotiation", 690000, "法务审阅合同条款"},
    {"冷链温控监测", 32, "lead", 200000, "收集冷库数量与分布"},
};

Json opportunity(int index, std::int64_t nowMs)
{
    const auto& seed = kOpportunities[index];
    auto stage = *salesStage(seed.stage);
    std::string id = SeedData::seedId(SeedData::Opportunity, index + 1);
    Json followups = Json::array();
    for (int f = 0; f < 1 + index % 3; ++f) {
        followups.push_back(Json {
            {"id", SeedData::seedId(SeedData::Followup, index * 3 + f + 1)},
            {"at", date(index + f * 5) + "T0" + std::to_string(1 + f) + ":30:00.000Z"},
            {"note", f == 0 ? "电话沟通需求，客户关注上线周期。" : (f == 1 ? "拜访现场，确认了关键人。" : "发送方案初稿，等待反馈。")},
            {"by", index % 2 ? "周航" : "林晓"},
        });
    }
    return Json {
        {"id", id},
        {"title", seed.title},
        {"companyID", SeedData::seedId(SeedData::Company, seed.company)},
        {"companyName", SeedData::companyName(seed.company - 1)},
        {"stage", stage.code},
        {"stageLabel", stage.label},
        {"probability", stage.probability},
        {"amount", seed.amount},
        {"owner", index % 2 ? "周航" : "林晓"},
        {"nextStep", seed.nextStep},
        {"dueDate", date(index * 2 + 20)},
        {"followups", followups},
        {"stageHistory", Json::array({Json {{"stage", stage.code}, {"at", formatMillis(nowMs)}}})},
        {"updatedAt", formatMillis(nowMs)},
    };
}

void seedSalesDocuments(Database& db, std::int64_t now, int companies)
{
    for (int i = 0; i < static_cast<int>(std::size(kOpportunities)); ++i) {
        Json record = opportunity(i, now);
        Documents::put(db, "opportunity", record["id"], record, date(i), now);
    }

    const char* minuteTitles[] = {"产线数据采集需求沟通会", "采购协同系统商务会", "仓储条码现场调研", "年度运维续约复盘"};
    const int minuteCompanies[] = {1, 4, 2, 3};
    for (int i = 0; i < 4; ++i) {
        std::string id = SeedData::seedId(SeedData::Minute, i + 1);
        Json minute {
            {"id", id}, {"title", minuteTitles[i]},
            {"companyID", SeedData::seedId(SeedData::Company, minuteCompanies[i])},
            {"companyName", SeedData::companyName(minuteCompanies[i] - 1)},
            {"opportunityID", SeedData::seedId(SeedData::Opportunity, i + 1)},
            {"date", date(i * 4)},
            {"attendees", Json::array({"林晓", std::string(pick(kSurnames, i)) + "经理"})},
            {"text", std::string("一、客户现状：") + minuteTitles[i] + "，客户说明了当前流程中的瓶颈。\n二、关注点：上线周期、与现有系统的对接、后期运维费用。\n三、行动项：我方一周内提交方案，客户安排信息化负责人参与评审。"},
            {"archived", i != 2},
        };
        Documents::put(db, "minute", id, minute, minute["date"].get<std::string>(), now);
    }

    const char* partnerNames[] = {"华东渠道联盟", "西南集成服务商", "工业互联网生态伙伴"};
    for (int i = 0; i < 3; ++i) {
        std::string id = "partner-00" + std::to_string(i + 1);
        Json profile {
            {"id", id}, {"name", partnerNames[i]},
            {"tier", i == 0 ? "金牌" : "银牌"},
            {"regions", Json::array({pick(kCities, i), pick(kCities, i + 4)})},
            {"capabilities", Json::array({"实施交付", i == 1 ? "硬件集成" : "行业咨询"})},
            {"contact", std::string(pick(kSurnames, i + 3)) + "总"},
            {"notes", "季度联合拜访目标 6 家。"},
            {"updatedAt", formatMillis(now)},
        };
        Documents::put(db, "partnerProfile", id, profile, id, now);
    }

    const char* eventNames[] = {"2026 智能制造博览会", "华东数字化转型峰会"};
    for (int e = 0; e < 2; ++e) {
        std::string eventID = "event-00" + std::to_string(e + 1);
        Json event {{"id", eventID}, {"name", eventNames[e]}, {"date", date(30 + e * 9)},
            {"city", pick(kCities, e + 1)}, {"venue", e ? "国际会议中心 B 馆" : "国际博览中心 3 号馆"}};
        Documents::put(db, "event", eventID, event, event["date"].get<std::string>(), now);
        for (int s = 0; s < 2; ++s) {
            std::string id = "session-00" + std::to_string(e * 2 + s + 1);
            Json attendees = Json::array();
            for (int a = 0; a < 4; ++a) {
                int n = e * 8 + s * 4 + a;
                attendees.push_back(Json {
                    {"id", "attendee-" + std::to_string(n + 1)},
                    {"name", std::string(pick(kSurnames, n + 5)) + pick(kGivenNames, n)},
                    {"company", a == 3 ? std::string("未登记企业") + std::to_string(n) : SeedData::companyName(n % companies)},
                    {"title", pick(kTitles, n)},
                    {"status", "pending"},
                });
            }
            Json session {{"id", id}, {"eventID", eventID}, {"eventName", eventNames[e]},
                {"title", s ? "客户交流午餐会" : "展位接待"}, {"date", event["date"]},
                {"location", event["venue"]}, {"status", "open"}, {"attendees", attendees},
                {"notes", Json::array()}};
            Documents::put(db, "eventSession", id, session, event["date"].get<std::string>() + id, now);
        }
    }

    const char* ruleNames[] = {"预算关键词提醒", "竞品出现提醒", "决策人变动提醒"};
    const Json ruleKeywords[] = {Json::array({"预算", "立项", "采购计划"}), Json::array({"竞品", "比价", "其他厂商"}),
        Json::array({"离职", "调岗", "新任"})};
    for (int i = 0; i < 3; ++i) {
        std::string id = SeedData::seedId(SeedData::Rule, i + 1);
        Json rule {{"id", id}, {"name", ruleNames[i]}, {"keywords", ruleKeywords[i]},
            {"action", i == 2 ? "通知负责人复核关键人" : "在商机上添加提醒"}, {"enabled", i != 1},
            {"trials", Json::array()}, {"updatedAt", formatMillis(now)}};
        Documents::put(db, "rule", id, rule, id, now);
    }

    const char* deliveryTitles[] = {"产线数据采集平台方案书", "采购协同系统报价单", "运维续约服务清单", "质量追溯试点计划"};
    const char* deliveryKinds[] = {"方案", "报价单", "服务清单", "计划书"};
    for (int i = 0; i < 4; ++i) {
        std::string id = SeedData::seedId(SeedData::Delivery, i + 1);
        int company = kOpportunities[i].company;
        Json delivery {{"id", id}, {"title", deliveryTitles[i]}, {"kind", deliveryKinds[i]},
            {"companyID", SeedData::seedId(SeedData::Company, company)},
            {"companyName", SeedData::companyName(company - 1)},
            {"sentAt", date(i * 3 + 2)}, {"status", i == 3 ? "draft" : "sent"},
            {"content", std::string(deliveryTitles[i]) + "\n\n1. 背景与目标\n2. 实施范围\n3. 里程碑与报价\n4. 服务承诺"},
            {"feedback", i == 0 ? Json {{"rating", 4}, {"comment", "方案清晰，报价需再细化。"}, {"at", date(5)}} : Json(nullptr)}};
        Documents::put(db, "delivery", id, delivery, delivery["sentAt"].get<std::string>(), now);
    }

    const char* evidenceKinds[] = {"会议纪要", "邮件", "报价回执"};
    for (int i = 0; i < 6; ++i) {
        std::string id = SeedData::seedId(SeedData::Evidence, i + 1);
        Json evidence {{"id", id}, {"opportunityID", SeedData::seedId(SeedData::Opportunity, i % 4 + 1)},
            {"opportunityTitle", kOpportunities[i % 4].title}, {"kind", evidenceKinds[i % 3]},
            {"excerpt", i % 2 ? "客户确认今年已立项，预算在第三季度释放。" : "对方要求补充同行业上线案例。"},
            {"stage", kOpportunities[i % 4].stage}, {"at", date(i * 2)}};
        Documents::put(db, "evidence", id, evidence, evidence["at"].get<std::string>(), now);
    }

    for (int i = 0; i < 2; ++i) {
        std::string id = SeedData::seedId(SeedData::Conversation, i + 1);
        Json conversation {{"id", id}, {"title", i ? "如何推进采购协同系统" : "产线数据采集报价策略"},
            {"companyID", SeedData::seedId(SeedData::Company, kOpportunities[i].company)},
            {"turns", Json::array({
                Json {{"role", "user"}, {"text", i ? "客户财务总监担心付款节点，怎么回应？" : "客户嫌报价偏高，该怎么拆分？"}, {"at", date(i + 3)}},
                Json {{"role", "assistant"}, {"text", i ? "建议按里程碑分三期付款，并给出每期的交付物。" : "可以按一期基础采集、二期分析看板拆分，先签一期。"}, {"at", date(i + 3)}},
            })},
            {"updatedAt", formatMillis(now)}};
        Documents::put(db, "conversation", id, conversation, date(i + 3), now);
    }

    const char* importFiles[] = {"展会名片_0312.xlsx", "老客户名单.csv", "渠道推荐线索.xlsx"};
    for (int i = 0; i < 3; ++i) {
        std::string id = SeedData::seedId(SeedData::Import, i + 1);
        Json record {{"id", id}, {"fileName", importFiles[i]}, {"at", date(i * 6) + "T02:00:00.000Z"},
            {"by", i ? "周航" : "林晓"}, {"added", 12 + i * 5}, {"updated", 3 + i}, {"skipped", i},
            {"status", "done"}};
        Documents::put(db, "import", id, record, record["at"].get<std::string>(), now);
    }

    const char* notices[] = {"“集团采购协同系统”商机已进入商务谈判阶段。", "3 家企业信息待核实，请在纠错页处理。",
        "华东数字化转型峰会报名已开放。"};
    for (int i = 0; i < 3; ++i) {
        std::string id = "notice-00" + std::to_string(i + 1);
        Json notice {{"id", id}, {"text", notices[i]}, {"at", date(i * 2)}, {"read", i == 2}};
        Documents::put(db, "notice", id, notice, notice["at"].get<std::string>(), now);
    }
}

}

std::string SeedData::seedId(int kind, int n)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", kind, n);
    return text;
}

std::string SeedData::companyName(int n)
{
    std::string name = std::string(pick(kCities, n)) + pick(kBrands, n / 12 + n) + pick(kIndustries, n / 12)
        + (n % 5 == 0 ? "股份有限公司" : "有限公司");
    int round = n / (12 * 16 * 10);
    if (round > 0)
        name += "（第" + std::to_string(round + 1) + "分公司）";
    return name;
}

void SeedData::populate(Database& db, SeedSize size, std::int64_t now)
{
    Transaction transaction(db);
    Accounts::create(db, seedId(Account, 1), "demo@korvid.cn", "林晓", "korvid123");
    Accounts::create(db, seedId(Account, 2), "sales2@korvid.cn", "周航", "korvid456");
    // The hand-written opportunities name the first 36 companies.
    int companies = size.companies < 36 ? 36 : size.companies;
    for (int n = 0; n < companies; ++n)
        Directory::saveCompany(db, seedId(Company, n + 1), companyFields(n), now);
    for (int n = 0; n < size.contacts; ++n)
        Directory::saveContact(db, seedId(Contact, n + 1), contactFields(n, companies), now);
    seedSalesDocuments(db, now, companies);
    Statement mark(db, "INSERT INTO meta (key, value) VALUES ('seeded', ?)");
    mark.bind(1, formatMillis(now)).run();
    transaction.commit();
}

}
