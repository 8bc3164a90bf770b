#include "excerpts/ExcerptText.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(ExcerptText, InvalidBytesBecomeReplacementCharacters)
{
    EXPECT_EQ(ExcerptText::validUtf8("ok 中文"), "ok 中文");
    EXPECT_EQ(ExcerptText::validUtf8("a\xFF" "b"), "a\uFFFD" "b");
    EXPECT_EQ(ExcerptText::validUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ExcerptText::validUtf8("\xE4\xB8"), "\uFFFD\uFFFD"); // cut short at the end
    EXPECT_EQ(ExcerptText::validUtf8("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD"); // above U+10FFFF
}

TEST(ExcerptText, CharacterCountTreatsCarriageReturnLineFeedAsOne)
{
    EXPECT_EQ(ExcerptText::characterCount("abc\n"), 4u);
    EXPECT_EQ(ExcerptText::characterCount("a\r\n"), 2u);
    EXPECT_EQ(ExcerptText::characterCount("中\U0001F44D\U0001F3FD\n"), 3u);
}

}
}
