#include "driver/DriverRefusal.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(DriverRefusal, ListsTableWordsInTableOrderNotTextOrder)
{
    Json reply = Json::parse(
        R"({"jsonrpc":"2.0","id":2,"result":{"isError":true,"message":"Denied: Accessibility permission"}})");
    EXPECT_EQ(driverRefusal(reply), "Cua Driver 拒绝操作（permission, accessibility, denied）。");
}

TEST(DriverRefusal, TokenComesFirstAndShortWordsMatchInsideLongerOnes)
{
    Json reply = Json::parse(
        R"({"jsonrpc":"2.0","id":2,"result":{"isError":true,"message":"Denied: accessibility permission for WINDOW_ID 7"}})");
    EXPECT_EQ(driverRefusal(reply), "Cua Driver 拒绝操作（window_id, permission, accessibility, denied, window）。");
}

TEST(DriverRefusal, ErrorWithoutWordsOrTokenIsTheBareSentence)
{
    Json reply = Json::parse(R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"Boom"}})");
    EXPECT_EQ(driverRefusal(reply), "Cua Driver 拒绝操作。");
}

TEST(DriverRefusal, AWordMayAppearBothAsTokenAndFromTheTable)
{
    Json reply = Json::parse(R"({"jsonrpc":"2.0","id":2,"error":{"code":1,"message":"stale element_token"}})");
    EXPECT_EQ(driverRefusal(reply), "Cua Driver 拒绝操作（element_token, stale, element_token）。");
}

TEST(DriverRefusal, StringValuesAppearVerbatimSoEscapesDoNotGlueWords)
{
    // A JSON dump would show "\nwindow_id", making the token "nwindow_id".
    Json reply = Json::parse(R"({"id":2,"error":{"message":"bad\nwindow_id"}})");
    EXPECT_EQ(firstSnakeToken(renderReplyText(reply)), "window_id");
    EXPECT_NE(renderReplyText(reply).find("bad\nwindow_id"), std::string::npos);
}

TEST(DriverRefusal, SnakeTokenIsAWholeWordOfTwoToSixParts)
{
    EXPECT_EQ(firstSnakeToken("see get_window_state now"), "get_window_state");
    EXPECT_EQ(firstSnakeToken("a_b_c_d_e_f"), "a_b_c_d_e_f");
    EXPECT_EQ(firstSnakeToken("a_b_c_d_e_f_g then x_y"), "x_y");
    EXPECT_EQ(firstSnakeToken("x__y _x_y x_y_ abc_def1 9a_b"), "");
    EXPECT_EQ(firstSnakeToken("plain words only"), "");
    EXPECT_EQ(firstSnakeToken("窗口window_id不存在"), "window_id");
    EXPECT_EQ(firstSnakeToken("(pid_x)"), "pid_x");
}

TEST(DriverRefusal, KeysCountAsTextAndNumbersAreRendered)
{
    Json reply = Json::parse(
        R"({"id":2,"result":{"isError":true,"content":[{"type":"text","text":"Session expired"}],"max_elements":0}})");
    EXPECT_EQ(driverRefusal(reply), "Cua Driver 拒绝操作（max_elements, type, session）。");
}

}
}
