#include "excerpts/ExcerptText.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(ExcerptText, CharacterCountTreatsCarriageReturnLineFeedAsOne)
{
    EXPECT_EQ(ExcerptText::characterCount("abc\n"), 4u);
    EXPECT_EQ(ExcerptText::characterCount("a\r\n"), 2u);
    EXPECT_EQ(ExcerptText::characterCount("中\U0001F44D\U0001F3FD\n"), 3u);
}

}
}
