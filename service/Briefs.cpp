#include "service/Briefs.h"

#include "base/Text.h"
#include "service/ApiError.h"
#include "service/Database.h"
#include "service/ServiceStore.h"

#include <algorithm>

namespace korvid {

namespace {

constexpr int kRunningSteps = 2;

std::string clip(const std::string& text, std::size_t characters)
{
    std::string prefix = graphemePrefix(text, characters);
    return prefix.size() < text.size() ? prefix + "…" : prefix;
}

}

Briefs::Briefs(Database& database, std::string accountID, std::int64_t nowMs, std::int64_t stepMs)
    : database_(database)
    , account_(std::move(accountID))
    , now_(nowMs)
    , step_(std::max<std::int64_t>(stepMs, 1))
{
}

std::string Briefs::resultText(const Json& payload)
{
    std::string title = stringAt(payload, "title").value_or("未命名任务");
    std::string project = stringAt(payload, "project").value_or("");
    std::string text = "《" + title + "》已完成初稿。\n";
    text += "所属项目：" + (project.empty() ? std::string("未归属项目") : project) + "\n";
    if (auto skill = stringAt(payload, "skill"); skill && !skill->empty())
        text += "使用技能：" + *skill + "\n";
    if (auto body = stringAt(payload, "body"); body && !body->empty())
        text += "交付说明摘要：" + clip(trimWhitespace(*body), 120) + "\n";
    std::vector<std::string> names;
    std::size_t characters = 0;
    if (const Json* files = arrayAt(payload, "files")) {
        for (const Json& file : *files) {
            if (auto name = stringAt(file, "name"))
                names.push_back(*name);
            if (auto fileText = stringAt(file, "text"))
                characters += graphemeCount(*fileText);
        }
    }
    if (names.empty()) {
        text += "参考资料：无附件。\n";
    } else {
        std::string joined;
        for (const auto& name : names)
            joined += (joined.empty() ? "" : "、") + name;
        text += "参考资料 " + std::to_string(names.size()) + " 份（共 " + std::to_string(characters) + " 字）："
            + joined + "\n";
    }
    text += "建议下一步：请核对要点后确认交付。";
    return text;
}

std::string Briefs::agentReply(const std::string& input)
{
    std::string topic = clip(trimWhitespace(input), 40);
    std::string advice;
    if (input.find("报价") != std::string::npos)
        advice = "建议把报价拆成基础版和扩展版两档，先锁定一期范围。";
    else if (input.find("纪要") != std::string::npos)
        advice = "已按“结论、分歧、行动项”三段整理，行动项请指定负责人和日期。";
    else if (input.find("关键人") != std::string::npos || input.find("决策") != std::string::npos)
        advice = "建议先确认预算负责人，再安排技术负责人参与方案评审。";
    else
        advice = "建议补充客户当前阶段和下一次接触时间，我再给出具体打法。";
    return "关于“" + topic + "”：" + advice;
}

Json Briefs::briefRow(const std::string& id)
{
    Statement query(database_,
        "SELECT state, title, payload, result, decision, version, started_ms, updated_ms "
        "FROM briefs WHERE account_id = ? AND id = ?");
    query.bind(1, account_).bind(2, id);
    if (!query.step())
        return Json { { "id", id }, { "state", "unstarted" } };

    std::string state = query.text(0);
    std::int64_t started = query.integer(6);
    std::int64_t updated = query.integer(7);
    std::string result = query.text(3);
    std::int64_t version = query.integer(5);
    Json decision = Json::parse(query.text(4));
    Json brief { { "id", id }, { "state", state }, { "title", query.text(1) } };

    if (state == "running" && now_ - started >= kRunningSteps * step_) {
        // The simulated run has finished: fix its result once.
        state = "review";
        result = resultText(Json::parse(query.text(2)));
        version = 1;
        updated = started + kRunningSteps * step_;
        query.reset();
        Statement finish(database_,
            "UPDATE briefs SET state = 'review', result = ?, version = 1, updated_ms = ? "
            "WHERE account_id = ? AND id = ? AND state = 'running'");
        finish.bind(1, result).bind(2, updated).bind(3, account_).bind(4, id).run();
        brief["state"] = state;
    }

    if (state == "running") {
        brief["progress"] = std::min<std::int64_t>(99, (now_ - started) * 100 / (kRunningSteps * step_));
    } else {
        brief["progress"] = 100;
        brief["result"] = result;
        brief["version"] = version;
        brief["decision"] = decision;
    }
    brief["startedAt"] = formatMillis(started);
    brief["updatedAt"] = formatMillis(updated);
    return brief;
}

Json Briefs::brief(const std::string& id)
{
    return briefRow(id);
}

Json Briefs::states(const std::vector<std::string>& ids)
{
    Json items = Json::array();
    for (const auto& id : ids)
        items.push_back(briefRow(id));
    return Json { { "items", items } };
}

Json Briefs::list()
{
    std::vector<std::string> ids;
    Statement query(database_, "SELECT id FROM briefs WHERE account_id = ? ORDER BY started_ms DESC");
    query.bind(1, account_);
    while (query.step())
        ids.push_back(query.text(0));
    return states(ids);
}

Json Briefs::start(const std::string& id, const Json& payload)
{
    Json current = briefRow(id);
    if (current["state"] != "unstarted")
        return current;
    Statement write(database_,
        "INSERT INTO briefs (account_id, id, state, turn, payload, title, started_ms, updated_ms) "
        "VALUES (?, ?, 'running', ?, ?, ?, ?, ?)");
    write.bind(1, account_)
        .bind(2, id)
        .bind(3, id)
        .bind(4, payload.dump())
        .bind(5, stringAt(payload, "title").value_or(""))
        .bind(6, now_)
        .bind(7, now_)
        .run();
    return briefRow(id);
}

Json Briefs::review(const std::string& id, const Json& decision, std::int64_t version, bool finalize)
{
    Json current = briefRow(id);
    if (current["state"] != "review")
        throw ApiError(409, "not_in_review", "这个任务当前不在审阅阶段，请刷新状态。");
    if (current["version"] != version)
        throw ApiError(409, "version_conflict", "审阅内容已在别处更新，请重新打开审阅。");
    Statement write(database_,
        "UPDATE briefs SET state = ?, decision = ?, version = version + 1, updated_ms = ? "
        "WHERE account_id = ? AND id = ?");
    write.bind(1, finalize ? "done" : "review")
        .bind(2, decision.dump())
        .bind(3, now_)
        .bind(4, account_)
        .bind(5, id)
        .run();
    return briefRow(id);
}

Json Briefs::agentSession(const std::string& sessionID)
{
    Statement query(database_,
        "SELECT turn, input, reply, started_ms FROM agent_turns "
        "WHERE account_id = ? AND session_id = ? ORDER BY started_ms, rowid");
    query.bind(1, account_).bind(2, sessionID);
    Json turns = Json::array();
    bool running = false;
    while (query.step()) {
        bool done = now_ - query.integer(3) >= step_;
        running = running || !done;
        Json turn { { "turn", query.text(0) }, { "input", query.text(1) }, { "state", done ? "done" : "running" },
            { "startedAt", formatMillis(query.integer(3)) } };
        if (done)
            turn["reply"] = query.text(2);
        turns.push_back(std::move(turn));
    }
    return Json { { "id", sessionID }, { "state", running ? "running" : "idle" }, { "turns", turns } };
}

Json Briefs::agentTurn(const std::string& sessionID, const std::string& turn, const std::string& text)
{
    Statement existing(database_, "SELECT session_id FROM agent_turns WHERE account_id = ? AND turn = ?");
    existing.bind(1, account_).bind(2, turn);
    if (existing.step()) {
        if (existing.text(0) != sessionID)
            throw ApiError(409, "turn_conflict", "本轮执行标识已用于其他对话，请重新发起。");
    } else {
        Statement write(database_,
            "INSERT INTO agent_turns (account_id, session_id, turn, input, reply, started_ms) "
            "VALUES (?, ?, ?, ?, ?, ?)");
        write.bind(1, account_)
            .bind(2, sessionID)
            .bind(3, turn)
            .bind(4, text)
            .bind(5, agentReply(text))
            .bind(6, now_)
            .run();
    }
    Json session = agentSession(sessionID);
    for (const Json& entry : session["turns"])
        if (entry["turn"] == turn)
            return Json { { "id", sessionID }, { "turn", entry["turn"] }, { "state", entry["state"] },
                { "reply", entry.value("reply", Json(nullptr)) }, { "startedAt", entry["startedAt"] } };
    throw ApiError(500, "internal", "服务内部出错，请稍后重试。");
}

}
