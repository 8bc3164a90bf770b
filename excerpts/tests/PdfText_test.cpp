#include "excerpts/PdfText.h"
#include "excerpts/tests/Fixtures.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace korvid {
namespace {

using namespace fixtures;
using PdfText::Split;

// The second thread takes the later half of the pages; whether it runs must
// never show in the text: not at the boundary between the halves, not with
// empty pages on either side of it, not past the six-page limit.
TEST(PdfTextSplit, BothPathsGiveTheSameText)
{
    struct Case {
        std::vector<std::vector<std::string>> pages;
        std::string text;
    };
    std::vector<Case> cases = {
        { { { "一" }, { "two" }, { "three" } }, "一\ntwo\nthree" },
        { { { "one" }, {}, { "three" } }, "one\nthree" },
        { { { "one" }, { "two" }, {}, { "four" } }, "one\ntwo\nfour" },
        { { {}, {}, { "three" }, {}, {} }, "three" },
        { { {}, {}, {}, {} }, "" },
        { { { "1" }, { "2" }, { "3" }, { "4", "second line" }, { "5" }, { "6" }, { "7" } },
            "1\n2\n3\n4\nsecond line\n5\n6" },
    };
    for (const Case& c : cases) {
        std::string document = pdf(c.pages);
        EXPECT_EQ(PdfText::read(document, Split::never), c.text) << c.text;
        EXPECT_EQ(PdfText::read(document, Split::always), c.text) << c.text;
        EXPECT_EQ(PdfText::read(document), c.text) << c.text;
    }
}

TEST(PdfTextSplit, CoreIsFreeOnlyWhenFewerTasksRunThanCpus)
{
    // The averages say nothing about this instant; only the runnable count,
    // which includes the reader itself, does.
    EXPECT_TRUE(PdfText::coreIsFree("7.05 5.80 4.97 1/467 12345\n", 2));
    EXPECT_FALSE(PdfText::coreIsFree("0.00 0.00 0.00 2/467 12345\n", 2));
    EXPECT_TRUE(PdfText::coreIsFree("0.00 0.00 0.00 3/467 12345\n", 4));
    EXPECT_FALSE(PdfText::coreIsFree("0.00 0.00 0.00 4/467 12345\n", 4));
    EXPECT_FALSE(PdfText::coreIsFree("0.00 0.00 0.00 1/467 12345\n", 1));
    EXPECT_FALSE(PdfText::coreIsFree("0.00 0.00 0.00 1/467 12345\n", 0));
}

TEST(PdfTextSplit, TextThatDoesNotParseMeansNoFreeCore)
{
    for (const char* text : { "", "0.52 0.58 0.59", "0.52 0.58 0.59 ", "0.52 0.58 0.59 1", "0.52 0.58 0.59 x/467",
             "0.52 0.58 0.59 1 467", "0.52 0.58 0.59 /467", "0.52 0.58 0.59 0/467", "0.52 0.58 0.59 -1/467",
             "0.52 0.58 0.59 99999999999999999999/467", "0.52 0.58 1/467 12345", "0.52  0.58 0.59 1/467" })
        EXPECT_FALSE(PdfText::coreIsFree(text, 64)) << text;
}

TEST(PdfTextSplit, TheKernelsTextParses)
{
    std::ifstream file("/proc/loadavg");
    ASSERT_TRUE(file);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fewer runnable tasks than this many CPUs on any machine running the test.
    EXPECT_TRUE(PdfText::coreIsFree(text, 1 << 20)) << text;
}

}
}
