#include "service/SeedData.h"

#include "service/Accounts.h"
#include "service/Database.h"
#include "service/Directory.h"
#include "service/Documents.h"
#include "service/SalesStages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace korvid {

namespace {

constexpr const char* kCities[]
    = { "杭州", "上海", "苏州", "深圳", "成都", "武汉", "南京", "宁波", "合肥", "西安", "广州", "厦门" };
constexpr const char* kBrands[] = { "云帆", "启明", "澜海", "恒拓", "星衡", "瑞禾", "博远", "众诚", "晨曦", "睿驰",
    "青禾", "鼎元", "华屹", "海纳", "远景", "知行" };
constexpr const char* kIndustries[]
    = { "科技", "智能制造", "医疗器械", "新材料", "物流", "食品", "教育科技", "软件", "电子", "环保" };
constexpr const char* kSurnames[]
    = { "王", "李", "张", "刘", "陈", "杨", "赵", "黄", "周", "吴", "徐", "孙", "马", "朱", "胡", "郭" };
constexpr const char* kGivenNames[] = { "伟", "芳", "娜", "敏", "静", "磊", "洋", "艳", "勇", "军", "杰", "婷", "强",
    "霞", "涛", "明", "思远", "雨桐", "子涵", "浩然" };
constexpr const char* kDepartments[] = { "采购部", "信息技术部", "总经办", "财务部", "生产部", "市场部", "研发中心" };
constexpr const char* kTitles[] = { "采购经理", "IT 总监", "总经理", "财务总监", "生产主管", "市场经理", "研发负责人" };
constexpr const char* kPositions[] = { "采购总监", "信息化负责人", "分管副总", "生产副总" };

template <typename T, std::size_t N> const char* pick(T (&list)[N], int n)
{
    return list[static_cast<std::size_t>(n) % N];
}

Json companyFields(int n)
{
    const char* city = pick(kCities, n);
    const char* industry = pick(kIndustries, n / 12);
    std::string kind = n % 7 == 3 ? "partner" : (n % 3 == 0 ? "customer" : "prospect");
    return Json {
        { "name", SeedData::companyName(n) },
        { "introNote",
            std::string(city) + "的" + industry + "企业，" + (n % 2 ? "正在推进数字化改造。" : "今年计划扩建产线。") },
        { "structure", n % 2 ? "集团总部下设三个事业部，采购集中在总部。" : "单一法人，总经理直管采购与信息化。" },
        { "targetPosition", pick(kPositions, n) },
        { "isTarget", n % 4 == 0 },
        { "kind", kind },
        { "unsure", n % 11 == 5 },
        { "city", city },
        { "industry", industry },
        { "phone", "0571-8" + std::to_string(1000000 + n * 37 % 8999999) },
    };
}

Json contactFields(int n, int companies)
{
    int company = n % companies;
    return Json {
        { "companyID", SeedData::seedId(SeedData::Company, company + 1) },
        { "name", std::string(pick(kSurnames, n)) + pick(kGivenNames, n / 16) },
        { "department", pick(kDepartments, n / 3) },
        { "title", pick(kTitles, n / 3) },
        { "phone", "138" + std::to_string(10000000 + n * 7919 % 89999999) },
        { "email", "contact" + std::to_string(n + 1) + "@example.cn" },
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
    { "产线数据采集平台二期", 1, "proposal", 860000, "周五前提交分期报价" },
    { "集团采购协同系统", 4, "negotiation", 1280000, "与财务总监确认付款节点" },
    { "仓储条码改造", 2, "qualify", 230000, "安排仓库现场调研" },
    { "质量追溯试点", 9, "contact", 150000, "发送同行业案例" },
    { "设备预测性维护", 12, "lead", 420000, "约信息化负责人初次交流" },
    { "年度运维续约", 3, "won", 96000, "归档合同并安排交接" },
    { "能耗监测项目", 7, "lost", 310000, "复盘丢单原因" },
    { "门店巡检小程序", 16, "proposal", 180000, "演示巡检流程原型" },
    { "销售管理系统升级", 20, "qualify", 540000, "梳理现有系统接口清单" },
    { "实验室信息管理", 24, "contact", 270000, "确认预算归属部门" },
    { "供应商门户建设", 28, "negotiation", 690000, "法务审阅合同条款" },
    { "冷链温控监测", 32, "lead", 200000, "收集冷库数量与分布" },
};

// Dates of the seed are counted in days from the service's first start, so
// the desk always reads as the last few weeks of work with the next ones ahead.
class SeedClock {
public:
    explicit SeedClock(std::int64_t nowMs)
        : now_(nowMs)
    {
    }

    std::string day(int offset) const { return formatMillis(at(offset)).substr(0, 10); }
    // A time on that day, given in China time (UTC+8) as people read it.
    std::string time(int offset, int hour, int minute = 0) const
    {
        std::int64_t midnight = at(offset) / 86400000 * 86400000;
        return formatMillis(midnight + ((hour - 8 + 24) % 24 * 60LL + minute) * 60000);
    }
    std::int64_t at(int offset) const { return now_ + static_cast<std::int64_t>(offset) * 86400000; }

private:
    std::int64_t now_;
};

const char* const kSellers[] = { "林晓", "周航" };

const char* const kFollowupNotes[] = {
    "电话沟通需求，客户关注上线周期。",
    "拜访现场，确认了关键人。",
    "发送方案初稿，等待反馈。",
    "客户技术负责人提出接口清单，需要两天内回复。",
    "约到分管副总，下周二上午面谈。",
    "客户比较了两家厂商，报价是主要顾虑。",
    "补充了同行业上线案例，客户反馈积极。",
    "财务要求分期付款，已转给商务评估。",
};

// More opportunities, across the library, so that every bucket and stage has
// something to look at. (The first twelve above are named by guides and tests.)
constexpr const char* kMoreTitles[]
    = { "MES 系统选型", "车间能耗看板", "经销商订货平台", "智能排产试点", "安全生产巡检", "研发数据管理",
          "移动审批改造", "客户服务工单系统", "备件库存优化", "电子签章接入", "供应链金融对接", "设备联网一期",
          "质量检测数字化", "仓配一体化", "合同管理系统", "培训学习平台", "渠道返利核算", "视觉质检试点" };
constexpr const char* kMoreSteps[] = { "确认试点车间与范围", "准备演示环境", "提交技术方案", "约采购经理确认预算",
    "安排高层拜访", "回复客户的接口问题", "整理报价明细", "邀请客户参观样板工厂" };
constexpr const char* kStageCycle[] = { "lead", "contact", "qualify", "proposal", "negotiation", "qualify", "contact",
    "proposal", "won", "lead", "negotiation", "lost", "proposal", "qualify", "contact", "won", "lead", "proposal" };

Json opportunityRecord(const SeedClock& clock, int index, const std::string& title, int company,
    const std::string& stageCode, std::int64_t amount, const std::string& nextStep, int dueIn, int startedDaysAgo)
{
    auto stage = *salesStage(stageCode);
    std::string owner = kSellers[index % 2];
    Json followups = Json::array();
    int count = 1 + index % 4;
    for (int f = 0; f < count; ++f) {
        // Spread from when the opportunity started to a few days ago.
        int ago = startedDaysAgo - (startedDaysAgo - 1) * f / count;
        followups.push_back(Json {
            { "id", SeedData::seedId(SeedData::Followup, index * 4 + f + 1) },
            { "at", clock.time(-ago, 9 + (index + f) % 9, (index * 7 + f * 13) % 60) },
            { "note", kFollowupNotes[(index + f * 3) % std::size(kFollowupNotes)] },
            { "by", owner },
        });
    }
    Json history = Json::array();
    for (const auto& step : kSalesStages) {
        bool reached = step.code == stage.code;
        if (step.code != "won" && step.code != "lost")
            history.push_back(Json { { "stage", step.code },
                { "at", clock.time(std::min(-1, -startedDaysAgo + static_cast<int>(history.size()) * 3), 10) } });
        if (reached || (stage.code == "won" && step.code == "negotiation")
            || (stage.code == "lost" && step.code == "qualify"))
            break;
    }
    if (stage.code == "won" || stage.code == "lost")
        history.push_back(Json { { "stage", stage.code }, { "at", clock.time(dueIn, 16) } });
    return Json {
        { "id", SeedData::seedId(SeedData::Opportunity, index + 1) },
        { "title", title },
        { "companyID", SeedData::seedId(SeedData::Company, company) },
        { "companyName", SeedData::companyName(company - 1) },
        { "stage", stage.code },
        { "stageLabel", stage.label },
        { "probability", stage.probability },
        { "amount", amount },
        { "owner", owner },
        { "nextStep", nextStep },
        { "dueDate", clock.day(dueIn) },
        { "followups", followups },
        { "stageHistory", history },
        { "updatedAt", followups.back()["at"] },
    };
}

// Follow-ups due: two a little overdue, one today, the rest over the next
// three weeks; closed ones were closed in the last month.
int dueInFor(int index, const std::string& stage)
{
    if (stage == "won" || stage == "lost")
        return -5 - index % 20;
    constexpr int kDue[] = { 2, 5, -2, 9, 14, 0, -1, 4, 7, 11, 18, 3, 6, 21, 8, 12, 1, 16 };
    return kDue[index % std::size(kDue)];
}

void seedOpportunities(Database& db, const SeedClock& clock, std::int64_t now)
{
    int index = 0;
    auto put = [&](Json record) {
        std::string due = record["dueDate"];
        Documents::put(db, "opportunity", record["id"], record, due, now);
        ++index;
    };
    for (const auto& seed : kOpportunities)
        put(opportunityRecord(clock, index, seed.title, seed.company, seed.stage, seed.amount, seed.nextStep,
            dueInFor(index, seed.stage), 12 + index * 3 % 30));
    for (int k = 0; k < static_cast<int>(std::size(kMoreTitles)); ++k) {
        int company = (k * 7 + 5) % 36 + 1;
        std::string stage = kStageCycle[k];
        std::int64_t amount = 80000 + (k * 131 % 23) * 40000;
        put(opportunityRecord(clock, index, kMoreTitles[k], company, stage, amount,
            kMoreSteps[k % std::size(kMoreSteps)], dueInFor(index, stage), 8 + k * 5 % 34));
    }
}

struct MinuteSeed {
    const char* title;
    int company;
    int opportunity; // 0: none
    int daysAgo;
    bool archived;
};

// The first four are named by guides and tests.
constexpr MinuteSeed kMinutes[] = {
    { "产线数据采集需求沟通会", 1, 1, 2, true },
    { "采购协同系统商务会", 4, 2, 6, true },
    { "仓储条码现场调研", 2, 3, 1, false },
    { "年度运维续约复盘", 3, 6, 20, true },
    { "产线数据采集方案评审", 1, 1, 9, true },
    { "质量追溯试点启动会", 9, 4, 13, true },
    { "设备预测性维护初次交流", 12, 5, 4, true },
    { "供应商门户法务沟通", 28, 11, 3, true },
    { "门店巡检原型演示", 16, 8, 8, true },
    { "销售管理系统接口梳理", 20, 9, 16, true },
    { "实验室信息管理预算确认", 24, 10, 23, true },
    { "冷链温控需求访谈", 32, 12, 27, true },
    { "产线数据采集季度回访", 1, 0, 34, true },
    { "能耗监测丢单复盘", 7, 7, 31, true },
    { "集团采购协同周会", 4, 2, 0, false },
};

void seedMinutes(Database& db, const SeedClock& clock, std::int64_t now)
{
    for (int i = 0; i < static_cast<int>(std::size(kMinutes)); ++i) {
        const auto& seed = kMinutes[i];
        std::string id = SeedData::seedId(SeedData::Minute, i + 1);
        std::string contact = std::string(pick(kSurnames, i)) + "经理";
        Json minute {
            { "id", id },
            { "title", seed.title },
            { "companyID", SeedData::seedId(SeedData::Company, seed.company) },
            { "companyName", SeedData::companyName(seed.company - 1) },
            { "date", clock.day(-seed.daysAgo) },
            { "attendees", Json::array({ kSellers[i % 2], contact }) },
            { "text",
                std::string("一、客户现状：") + seed.title
                    + "，客户说明了当前流程中的瓶颈。\n"
                      "二、关注点：上线周期、与现有系统的对接、后期运维费用。\n"
                      "三、行动项：我方一周内提交方案，客户安排信息化负责人参与评审。" },
            { "archived", seed.archived },
        };
        if (seed.opportunity)
            minute["opportunityID"] = SeedData::seedId(SeedData::Opportunity, seed.opportunity);
        if (seed.archived)
            minute["archivedAt"] = clock.time(-seed.daysAgo, 18);
        Documents::put(db, "minute", id, minute, minute["date"].get<std::string>(), now);
    }
}

// "2026-12-09" → "12月9日".
std::string monthDay(const std::string& day)
{
    return std::to_string(std::stoi(day.substr(5, 2))) + "月" + std::to_string(std::stoi(day.substr(8, 2))) + "日";
}

// One WeChat business-card snapshot imported into the library, with the
// differences still waiting for a decision.
void seedWechatBatch(Database& db, const SeedClock& clock, std::int64_t now, int snapshot, int daysAgo, bool decided)
{
    std::string snapshotID = SeedData::seedId(SeedData::WechatSnapshot, snapshot);
    std::string batchID = SeedData::seedId(SeedData::WechatBatch, snapshot);
    Json items = Json::array();
    int n = 0;
    auto item = [&](Json body) {
        body["id"] = SeedData::seedId(SeedData::WechatItem, snapshot * 100 + ++n);
        body["decision"] = nullptr;
        if (decided) {
            body["decision"] = n % 3 ? "accepted" : "rejected";
            body["decidedAt"] = clock.time(-daysAgo, 15);
            body["decidedBy"] = "林晓";
        }
        items.push_back(std::move(body));
    };
    int base = snapshot * 5;
    auto company = [&](int c) {
        return Json { { "companyID", SeedData::seedId(SeedData::Company, c) },
            { "companyName", SeedData::companyName(c - 1) } };
    };
    item(Json { { "type", "newCompany" },
        { "company",
            Json { { "name", std::string(pick(kCities, base + 3)) + "微澜" + pick(kIndustries, base) + "有限公司" },
                { "city", pick(kCities, base + 3) }, { "industry", pick(kIndustries, base) },
                { "phone", "0571-8" + std::to_string(5550100 + base) } } },
        { "source", "名片：" + std::string(pick(kSurnames, base)) + "总 · 微信好友" } });
    Json changed = company(base % 30 + 2);
    changed["type"] = "companyChanged";
    changed["changes"] = Json::array({
        Json { { "field", "phone" }, { "label", "电话" }, { "before", companyFields(base % 30 + 1)["phone"] },
            { "after", "0571-8" + std::to_string(6660000 + base) } },
        Json { { "field", "city" }, { "label", "城市" }, { "before", companyFields(base % 30 + 1)["city"] },
            { "after", pick(kCities, base + 5) } },
    });
    changed["source"] = "名片更新：公司搬迁新址";
    item(changed);
    Json person = company(base % 30 + 3);
    person["type"] = "newContact";
    person["contact"] = Json { { "name", std::string(pick(kSurnames, base + 7)) + pick(kGivenNames, base + 2) },
        { "title", pick(kTitles, base + 1) }, { "department", pick(kDepartments, base + 1) },
        { "phone", "139" + std::to_string(20000000 + base * 7919) } };
    person["source"] = "微信好友：展会后添加";
    item(person);
    Json person2 = company(1 + snapshot % 2);
    person2["type"] = "newContact";
    person2["contact"] = Json { { "name", std::string(pick(kSurnames, base + 11)) + pick(kGivenNames, base + 9) },
        { "title", "项目经理" }, { "department", "信息技术部" },
        { "phone", "137" + std::to_string(30000000 + base * 104729 % 9999999) } };
    person2["source"] = "群聊名片";
    item(person2);
    Json note = company(base % 30 + 4);
    note["type"] = "companyChanged";
    note["changes"] = Json::array(
        { Json { { "field", "introNote" }, { "label", "简介" }, { "before", companyFields(base % 30 + 3)["introNote"] },
            { "after", "朋友圈显示：新厂区已投产，正在招聘信息化主管。" } } });
    note["source"] = "朋友圈动态";
    item(note);

    std::string at = clock.time(-daysAgo, 20, 15);
    Json batch { { "id", batchID }, { "snapshotID", snapshotID }, { "fileName", "微信名片快照" }, { "at", at },
        { "by", "林晓" }, { "items", items } };
    Documents::put(db, "wechatBatch", batchID, batch, at, now);
    std::string importID = SeedData::seedId(SeedData::Import, 10 + snapshot);
    Json record { { "id", importID }, { "fileName", "微信名片快照 · " + monthDay(clock.day(-daysAgo)) }, { "at", at },
        { "by", "林晓" }, { "added", 1 }, { "updated", 2 }, { "skipped", 0 }, { "status", "done" },
        { "snapshotID", snapshotID }, { "batchID", batchID } };
    Documents::put(db, "import", importID, record, at, now);
}

void seedSalesDocuments(Database& db, std::int64_t now, int companies)
{
    SeedClock clock(now);
    seedOpportunities(db, clock, now);
    seedMinutes(db, clock, now);

    const char* partnerNames[] = { "华东渠道联盟", "西南集成服务商", "工业互联网生态伙伴" };
    for (int i = 0; i < 3; ++i) {
        std::string id = "partner-00" + std::to_string(i + 1);
        Json profile {
            { "id", id },
            { "name", partnerNames[i] },
            { "tier", i == 0 ? "金牌" : "银牌" },
            { "regions", Json::array({ pick(kCities, i), pick(kCities, i + 4) }) },
            { "capabilities", Json::array({ "实施交付", i == 1 ? "硬件集成" : "行业咨询" }) },
            { "contact", std::string(pick(kSurnames, i + 3)) + "总" },
            { "notes", "季度联合拜访目标 6 家。" },
            { "updatedAt", clock.time(-3 - i * 5, 11) },
        };
        Documents::put(db, "partnerProfile", id, profile, id, now);
    }

    const char* eventNames[] = { "智能制造博览会", "华东数字化转型峰会" };
    const int eventDays[] = { 9, 18 };
    for (int e = 0; e < 2; ++e) {
        std::string eventID = "event-00" + std::to_string(e + 1);
        Json event { { "id", eventID }, { "name", eventNames[e] }, { "date", clock.day(eventDays[e]) },
            { "city", pick(kCities, e + 1) }, { "venue", e ? "国际会议中心 B 馆" : "国际博览中心 3 号馆" } };
        Documents::put(db, "event", eventID, event, event["date"].get<std::string>(), now);
        for (int s = 0; s < 2; ++s) {
            std::string id = "session-00" + std::to_string(e * 2 + s + 1);
            Json attendees = Json::array();
            for (int a = 0; a < 4; ++a) {
                int n = e * 8 + s * 4 + a;
                attendees.push_back(Json {
                    { "id", "attendee-" + std::to_string(n + 1) },
                    { "name", std::string(pick(kSurnames, n + 5)) + pick(kGivenNames, n) },
                    { "company",
                        a == 3 ? std::string("未登记企业") + std::to_string(n) : SeedData::companyName(n % companies) },
                    { "title", pick(kTitles, n) },
                    { "status", "pending" },
                });
            }
            Json session { { "id", id }, { "eventID", eventID }, { "eventName", eventNames[e] },
                { "title", s ? "客户交流午餐会" : "展位接待" }, { "date", event["date"] },
                { "location", event["venue"] }, { "status", "open" }, { "attendees", attendees },
                { "notes", Json::array() } };
            Documents::put(db, "eventSession", id, session, event["date"].get<std::string>() + id, now);
        }
    }

    const char* ruleNames[] = { "预算关键词提醒", "竞品出现提醒", "决策人变动提醒" };
    const Json ruleKeywords[] = { Json::array({ "预算", "立项", "采购计划" }),
        Json::array({ "竞品", "比价", "其他厂商" }), Json::array({ "离职", "调岗", "新任" }) };
    for (int i = 0; i < 3; ++i) {
        std::string id = SeedData::seedId(SeedData::Rule, i + 1);
        Json trials = Json::array();
        for (int t = 0; t < 2 - i % 2; ++t)
            trials.push_back(Json { { "at", clock.time(-4 - t * 7 - i, 14) }, { "matchedCount", 2 - t + i % 2 } });
        Json rule { { "id", id }, { "name", ruleNames[i] }, { "keywords", ruleKeywords[i] },
            { "action", i == 2 ? "通知负责人复核关键人" : "在商机上添加提醒" }, { "enabled", i != 1 },
            { "trials", trials }, { "updatedAt", clock.time(-10 - i * 6, 17) } };
        Documents::put(db, "rule", id, rule, id, now);
    }

    const char* deliveryTitles[]
        = { "产线数据采集平台方案书", "采购协同系统报价单", "运维续约服务清单", "质量追溯试点计划",
              "设备预测性维护交流材料", "供应商门户合同草案", "门店巡检原型说明", "销售管理系统升级路线图" };
    const char* deliveryKinds[] = { "方案", "报价单", "服务清单", "计划书", "交流材料", "合同", "原型说明", "路线图" };
    const int deliveryOpportunities[] = { 0, 1, 5, 3, 4, 10, 7, 8 };
    const int sentDaysAgo[] = { 1, 3, 18, 0, 5, 2, 7, 11 };
    for (int i = 0; i < static_cast<int>(std::size(deliveryTitles)); ++i) {
        std::string id = SeedData::seedId(SeedData::Delivery, i + 1);
        int company = kOpportunities[deliveryOpportunities[i]].company;
        bool draft = i == 3;
        Json feedback = nullptr;
        if (i == 0)
            feedback = Json { { "rating", 4 }, { "comment", "方案清晰，报价需再细化。" }, { "at", clock.day(0) } };
        else if (i == 2)
            feedback
                = Json { { "rating", 5 }, { "comment", "服务清单很完整，已提交审批。" }, { "at", clock.day(-15) } };
        Json delivery { { "id", id }, { "title", deliveryTitles[i] }, { "kind", deliveryKinds[i] },
            { "companyID", SeedData::seedId(SeedData::Company, company) },
            { "companyName", SeedData::companyName(company - 1) }, { "sentAt", clock.day(-sentDaysAgo[i]) },
            { "status", draft ? "draft" : "sent" },
            { "content",
                std::string(deliveryTitles[i]) + "\n\n1. 背景与目标\n2. 实施范围\n3. 里程碑与报价\n4. 服务承诺" },
            { "feedback", feedback } };
        Documents::put(db, "delivery", id, delivery, delivery["sentAt"].get<std::string>(), now);
    }

    const char* evidenceKinds[] = { "会议纪要", "邮件", "报价回执" };
    const char* excerpts[] = { "对方要求补充同行业上线案例。", "客户确认今年已立项，预算在第三季度释放。",
        "采购经理回复：报价单已转财务审核。", "信息化负责人同意安排技术评审。", "客户希望一期在春节前上线。" };
    for (int i = 0; i < 10; ++i) {
        std::string id = SeedData::seedId(SeedData::Evidence, i + 1);
        int o = i % 5;
        Json evidence { { "id", id }, { "opportunityID", SeedData::seedId(SeedData::Opportunity, o + 1) },
            { "opportunityTitle", kOpportunities[o].title }, { "kind", evidenceKinds[i % 3] },
            { "excerpt", excerpts[i % std::size(excerpts)] }, { "stage", kOpportunities[o].stage },
            { "at", clock.day(-(i * 3 + 1)) } };
        Documents::put(db, "evidence", id, evidence, evidence["at"].get<std::string>(), now);
    }

    const char* titles[] = { "产线数据采集报价策略", "如何推进采购协同系统", "质量追溯试点的切入点" };
    const char* questions[]
        = { "客户嫌报价偏高，该怎么拆分？", "客户财务总监担心付款节点，怎么回应？", "试点选哪个车间更容易出效果？" };
    const char* answers[] = { "可以按一期基础采集、二期分析看板拆分，先签一期。",
        "建议按里程碑分三期付款，并给出每期的交付物。", "建议选不良率最高、数据最全的总装车间，四周内能看到对比。" };
    for (int i = 0; i < 3; ++i) {
        std::string id = SeedData::seedId(SeedData::Conversation, i + 1);
        // The first is the most recent.
        int ago = i * 4 + 1;
        Json conversation { { "id", id }, { "title", titles[i] },
            { "companyID", SeedData::seedId(SeedData::Company, kOpportunities[i == 2 ? 3 : i].company) },
            { "turns",
                Json::array({
                    Json { { "role", "user" }, { "text", questions[i] }, { "at", clock.time(-ago, 10, 5) } },
                    Json { { "role", "assistant" }, { "text", answers[i] }, { "at", clock.time(-ago, 10, 6) } },
                }) },
            { "updatedAt", clock.time(-ago, 10, 6) } };
        Documents::put(db, "conversation", id, conversation, clock.time(-ago, 10, 6), now);
    }

    const char* importFiles[] = { "展会名片_0312.xlsx", "老客户名单.csv", "渠道推荐线索.xlsx" };
    for (int i = 0; i < 3; ++i) {
        std::string id = SeedData::seedId(SeedData::Import, i + 1);
        Json record { { "id", id }, { "fileName", importFiles[i] }, { "at", clock.time(-(i * 9 + 4), 10) },
            { "by", i ? "周航" : "林晓" }, { "added", 12 + i * 5 }, { "updated", 3 + i }, { "skipped", i },
            { "status", "done" } };
        Documents::put(db, "import", id, record, record["at"].get<std::string>(), now);
    }
    seedWechatBatch(db, clock, now, 1, 1, false);
    seedWechatBatch(db, clock, now, 2, 12, true);

    const char* notices[] = { "“集团采购协同系统”商机已进入商务谈判阶段。", "3 家企业信息待核实，请在纠错页处理。",
        "华东数字化转型峰会报名已开放。", "微信名片快照有 5 条差异待确认。" };
    const int noticeDays[] = { 1, 3, 6, 1 };
    for (int i = 0; i < 4; ++i) {
        std::string id = "notice-00" + std::to_string(i + 1);
        Json notice { { "id", id }, { "text", notices[i] }, { "at", clock.time(-noticeDays[i], 9 + i) },
            { "read", i == 2 } };
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

void SeedData::populate(Database& db, SeedSize size, std::int64_t now, const PasswordCost& accountCost)
{
    Transaction transaction(db);
    Accounts::create(db, seedId(Account, 1), "demo@korvid.cn", "林晓", "korvid123", accountCost);
    Accounts::create(db, seedId(Account, 2), "sales2@korvid.cn", "周航", "korvid456", accountCost);
    // The hand-written opportunities name the first 36 companies.
    int companies = size.companies < 36 ? 36 : size.companies;
    // One prepared statement per table, reused for every row: the large desk
    // is thousands of rows and the first start should not wait on them.
    Statement company(db,
        "INSERT INTO companies (id, name, intro_note, structure, target_position, is_target, "
        "kind, unsure, city, industry, phone, updated_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (int n = 0; n < companies; ++n) {
        Json fields = companyFields(n);
        company.bind(1, seedId(Company, n + 1))
            .bind(2, fields["name"].get<std::string>())
            .bind(3, fields["introNote"].get<std::string>())
            .bind(4, fields["structure"].get<std::string>())
            .bind(5, fields["targetPosition"].get<std::string>())
            .bind(6, fields["isTarget"].get<bool>())
            .bind(7, fields["kind"].get<std::string>())
            .bind(8, fields["unsure"].get<bool>())
            .bind(9, fields["city"].get<std::string>())
            .bind(10, fields["industry"].get<std::string>())
            .bind(11, fields["phone"].get<std::string>())
            .bind(12, now);
        company.run();
    }
    Statement contact(db,
        "INSERT INTO contacts (id, company_id, name, department, title, phone, email, updated_ms) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    for (int n = 0; n < size.contacts; ++n) {
        Json fields = contactFields(n, companies);
        contact.bind(1, seedId(Contact, n + 1))
            .bind(2, fields["companyID"].get<std::string>())
            .bind(3, fields["name"].get<std::string>())
            .bind(4, fields["department"].get<std::string>())
            .bind(5, fields["title"].get<std::string>())
            .bind(6, fields["phone"].get<std::string>())
            .bind(7, fields["email"].get<std::string>())
            .bind(8, now);
        contact.run();
    }
    seedSalesDocuments(db, now, companies);
    Statement mark(db, "INSERT INTO meta (key, value) VALUES ('seeded', ?)");
    mark.bind(1, formatMillis(now)).run();
    transaction.commit();
}

}
