#include "driver/cua-driver/McpServer.h"

#include "driver/DriverRefusal.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

// The window reader is the only part that needs a desktop; here it is a
// stand-in that records what it was asked.
class McpServerTest : public ::testing::Test {
protected:
    McpServer server { [this](const WindowStateRequest& request) {
        asked = request;
        if (failure)
            throw ToolFailure(*failure);
        WindowState state;
        state.title = "Fixture";
        for (int i = 0; i < 3; ++i)
            state.elements.push_back({ { "role", "push button" }, { "name", std::to_string(i) } });
        state.note = "A toolkit note.";
        return state;
    } };
    std::optional<WindowStateRequest> asked;
    std::optional<std::string> failure;

    Json reply(const std::string& line)
    {
        auto text = server.handleLine(line);
        EXPECT_TRUE(text.has_value()) << line;
        EXPECT_EQ(text->find('\n'), std::string::npos);
        return Json::parse(*text);
    }

    Json call(const std::string& arguments)
    {
        return reply(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_window_state","arguments":)"
            + arguments + "}}");
    }
};

TEST_F(McpServerTest, InitializeAnswersVersionServerAndToolsCapability)
{
    Json answer = reply(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"Korvid","version":"0.1"}}})");
    EXPECT_EQ(answer["id"], 1);
    EXPECT_EQ(answer["result"]["protocolVersion"], "2025-03-26");
    EXPECT_TRUE(answer["result"]["capabilities"]["tools"].is_object());
    EXPECT_EQ(answer["result"]["serverInfo"]["name"], "cua-driver");
}

TEST_F(McpServerTest, NotificationsGetNoReplyButUnknownRequestsDo)
{
    EXPECT_FALSE(server.handleLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
    EXPECT_FALSE(server.handleLine(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"get_window_state"}})"));
    EXPECT_FALSE(asked.has_value());
    EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":"a","method":"resources/list"})")["error"]["code"], -32601);
    EXPECT_EQ(reply("not json")["error"]["code"], -32700);
    EXPECT_EQ(reply("[1]")["error"]["code"], -32600);
    EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":3,"method":"ping"})")["result"], Json::object());
}

TEST_F(McpServerTest, ListsItsTool)
{
    Json tools = reply(R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})")["result"]["tools"];
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0]["name"], "get_window_state");
    EXPECT_EQ(tools[0]["inputSchema"]["required"], Json::array({ "pid", "window_id" }));
}

TEST_F(McpServerTest, AnswersTheElementsWithASummary)
{
    Json answer = call(
        R"({"pid":42,"window_id":81788929,"include_screenshot":false,"tree_format":"elements","max_elements":2000})");
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(asked->pid, 42);
    EXPECT_EQ(asked->windowID, 81788929u);
    EXPECT_EQ(asked->maxElements, 2000u);
    const Json& result = answer["result"];
    EXPECT_FALSE(result.contains("isError"));
    EXPECT_EQ(result["structuredContent"]["elements"].size(), 3u);
    EXPECT_EQ(result["structuredContent"]["truncated"], false);
    std::string text = result["content"][0]["text"];
    EXPECT_NE(text.find("3 elements"), std::string::npos) << text;
    EXPECT_NE(text.find("A toolkit note."), std::string::npos) << text;
}

TEST_F(McpServerTest, DefaultsWhenOptionalArgumentsAreAbsent)
{
    call(R"({"pid":42,"window_id":7})");
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(asked->maxElements, 2000u);
}

TEST_F(McpServerTest, BadArgumentsAreToolErrorsWithMatchableWords)
{
    struct Case {
        const char* arguments;
        const char* words;
    };
    for (const Case& c : {
             Case { R"({"window_id":7})", "invalid, argument, required, type" },
             Case { R"({"pid":"42","window_id":7})", "invalid, argument, required, type" },
             Case { R"({"pid":42,"window_id":7.0})", "window_id, invalid, argument, required, window, type" },
             Case { R"({"pid":-1,"window_id":7})", "invalid, argument, out of bounds, type" },
             Case { R"({"pid":42,"window_id":7,"include_screenshot":true})",
                 "include_screenshot, argument, unsupported, type" },
             Case { R"({"pid":42,"window_id":7,"tree_format":"tree"})", "tree_format, argument, unsupported, type" },
             Case { R"({"pid":42,"window_id":7,"max_elements":0})",
                 "max_elements, invalid, argument, out of bounds, type" },
             Case { R"([1])", "invalid, argument, expected, type" },
         }) {
        Json answer = call(c.arguments);
        EXPECT_EQ(answer["result"]["isError"], true) << c.arguments;
        // What the application's client makes of it ("type" comes from the
        // content item's own key).
        EXPECT_EQ(driverRefusal(answer), std::string("Cua Driver 拒绝操作（") + c.words + "）。") << c.arguments;
    }
    EXPECT_FALSE(asked.has_value());
}

TEST_F(McpServerTest, AnUnknownToolAndAReaderFailureAreToolErrors)
{
    Json unknown = reply(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"click","arguments":{}}})");
    EXPECT_EQ(unknown["result"]["isError"], true);
    EXPECT_EQ(driverRefusal(unknown), "Cua Driver 拒绝操作（type, unknown）。");

    failure = "window_id 7 not found: no such X11 window";
    Json missing = call(R"({"pid":42,"window_id":7})");
    EXPECT_EQ(missing["result"]["isError"], true);
    EXPECT_FALSE(missing["result"].contains("structuredContent"));
    EXPECT_EQ(driverRefusal(missing), "Cua Driver 拒绝操作（window_id, not found, window, type）。");
}

}
}
