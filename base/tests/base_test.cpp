#include "base/Bundle.h"
#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/Executor.h"
#include "base/Iso8601.h"
#include "base/Json.h"
#include "base/Limits.h"
#include "base/PickedFile.h"
#include "base/Text.h"
#include "base/Uuid.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <vector>

using namespace korvid;

TEST(Uuid, ParsesAnyCaseAndWritesLowerCase)
{
    auto uuid = Uuid::parse("0F8FAD5B-D9CB-469F-A165-70867728950E");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->string(), "0f8fad5b-d9cb-469f-a165-70867728950e");
    EXPECT_EQ(canonicalUuid("0f8fad5b-D9CB-469f-a165-70867728950e"), "0f8fad5b-d9cb-469f-a165-70867728950e");
}

TEST(Uuid, RefusesEverythingButTheDashedForm)
{
    for (const char* text : { "", "0f8fad5bd9cb469fa16570867728950e", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
             "0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5b-d9cb-469f-a165-70867728950e0",
             "0f8fad5b-d9cb-469f-a165_70867728950e", "0f8fad5b-d9cb-469f-a165-70867728950g",
             "0f8fad5-bd9cb-469f-a165-70867728950e", " 0f8fad5b-d9cb-469f-a165-70867728950e" })
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(Uuid, RandomIsVersionFourAndDiffers)
{
    auto a = Uuid::random(), b = Uuid::random();
    EXPECT_NE(a, b);
    auto text = a.string();
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos);
    EXPECT_EQ(Uuid::parse(text), a);
}

TEST(Digest, KnownVectorsWholeAndInPieces)
{
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Sha256 pieces;
    pieces.update("a");
    pieces.update("bc");
    EXPECT_EQ(pieces.finishHex(), sha256Hex("abc"));

    // Many blocks, fed in pieces that straddle the 64-byte block boundaries.
    const std::string million(1000000, 'a');
    EXPECT_EQ(sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    Sha256 uneven;
    for (std::size_t at = 0, step = 1; at < million.size(); at += step, step = step * 3 % 97 + 1)
        uneven.update(std::string_view(million).substr(at, step));
    EXPECT_EQ(uneven.finishHex(), sha256Hex(million));
}

TEST(Text, Utf16LengthCountsSurrogatePairs)
{
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("销售"), 2u);
    EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u); // 😀
}

TEST(Text, Utf8Validity)
{
    EXPECT_TRUE(isValidUtf8("纪要 notes"));
    EXPECT_FALSE(isValidUtf8("\xFF"));
    EXPECT_FALSE(isValidUtf8("\xC0\x80"));     // overlong NUL
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80")); // a lone surrogate
    EXPECT_FALSE(isValidUtf8("\xE9\x94"));     // truncated
    EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
}

TEST(Text, RepairReplacesEachIllFormedPartOnce)
{
    EXPECT_EQ(repairUtf8("ok 中文"), "ok 中文");
    EXPECT_EQ(repairUtf8("a\xFF"
                         "b"),
        "a\uFFFD"
        "b");
    // No byte of an encoded surrogate or of a code point above U+10FFFF can
    // begin a valid sequence after the lead, so each is replaced on its own.
    EXPECT_EQ(repairUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");
    // A character cut short is one replacement, and the byte that cut it is
    // read again, at the end as in the middle.
    EXPECT_EQ(repairUtf8("\xE4\xB8"), "\uFFFD");
    EXPECT_EQ(repairUtf8("\xE4\xB8"
                         "a\xF0\x9F\x98"
                         "中"),
        "\uFFFD"
        "a\uFFFD"
        "中");
    EXPECT_TRUE(isValidUtf8(repairUtf8("\xC0\xAF\xE0\x80\xAF\xF8\x88\x80\x80\x80")));
}

TEST(Text, GraphemesKeepClustersWhole)
{
    const std::string thumbs = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"; // 👍🏽
    const std::string family
        = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // 👨‍👩‍👧
    EXPECT_EQ(graphemeCount(thumbs + family + "e\xCC\x81"), 3u);
    EXPECT_EQ(graphemePrefix("ab" + thumbs + "cd", 3), "ab" + thumbs);
    EXPECT_EQ(graphemePrefix(family + family, 1), family);
    EXPECT_EQ(graphemePrefix("abc", 10), "abc");
    EXPECT_EQ(graphemePrefix("abc", 0), "");
    std::string many;
    for (int i = 0; i < 3001; ++i)
        many += thumbs;
    EXPECT_EQ(graphemeCount(graphemePrefix(many, 3000)), 3000u);
    EXPECT_EQ(graphemePrefix(many, 3000).size(), 3000 * thumbs.size());
}

// The cut at 3000 characters, with the 3000th character and what follows it
// made of every kind of cluster: one of 2999 "a" and then `tail` keeps `kept`
// of the tail.
TEST(Text, CutAtTheLimitKeepsTheClusterAtTheEdgeWhole)
{
    const std::string thumbs = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"; // 👍🏽
    const std::string family
        = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // 👨‍👩‍👧
    const std::string china = "\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3";                     // 🇨🇳
    const std::string acute = "\xCC\x81";                                             // U+0301
    struct Case {
        const char* what;
        std::string tail;
        std::string kept;
    };
    const Case cases[] = {
        { "plain", "bc", "b" },
        { "Chinese", "中文", "中" },
        { "combining mark on the last", "e" + acute + "x", "e" + acute },
        { "combining mark after the last", "b" + acute + acute + "x", "b" + acute + acute },
        { "emoji with skin tone", thumbs + "x", thumbs },
        { "emoji joined by ZWJ", family + "x", family },
        { "ASCII joined to an emoji", "b\xE2\x80\x8D\xF0\x9F\x91\xA9x", "b\xE2\x80\x8D" },
        { "flags pair by pair", china + china, china },
        { "keycap", "1\xEF\xB8\x8F\xE2\x83\xA3x", "1\xEF\xB8\x8F\xE2\x83\xA3" },
        { "copyright sign as emoji", "\xC2\xA9\xEF\xB8\x8Fx", "\xC2\xA9\xEF\xB8\x8F" },
        { "copyright sign as text", "\xC2\xA9x", "\xC2\xA9" },
        { "Hangul jamo", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8x", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8" },
        { "Hangul syllable and final jamo", "\xEA\xB0\x80\xE1\x86\xA8x", "\xEA\xB0\x80\xE1\x86\xA8" },
        { "Devanagari spacing mark", "\xE0\xA4\x95\xE0\xA4\xBEx", "\xE0\xA4\x95\xE0\xA4\xBE" },
        { "Thai", "\xE0\xB8\x81\xE0\xB8\xB3x", "\xE0\xB8\x81\xE0\xB8\xB3" },
        { "CR LF", "\r\nx", "\r\n" },
        { "CR LF after the last", "b\r\n", "b" },
        { "lone CR", "\rx", "\r" },
        { "ill-formed byte", "\xFFx", "\xFF" },
        { "ill-formed byte after the last", "b\xFF", "b" },
        { "text ends at the limit", "b", "b" },
    };
    const std::string lead(2999, 'a');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(graphemePrefix(lead + c.tail, kExcerptCharacters), lead + c.kept);
    }

    // Standalone characters all the way: the count is the characters', and a
    // text of more bytes than the limit but no more characters stays whole.
    std::string chinese;
    for (int i = 0; i < 3000; ++i)
        chinese += "中";
    EXPECT_EQ(graphemeCount(chinese), 3000u);
    EXPECT_EQ(graphemePrefix(chinese, 3000), chinese);
    EXPECT_EQ(graphemePrefix(chinese + "文", 3000), chinese);
    EXPECT_EQ(graphemeCount(chinese + "e" + acute), 3001u);
}

// Counts and cuts agree with ICU's segmenter run directly, for every
// character of the Basic Multilingual Plane beside itself, a line feed and
// ASCII: a character counted without the segmenter must be one it never joins
// to such a neighbour.
TEST(Text, EveryBmpCharacterClustersAsTheSegmenterSays)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> segmenter(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    ASSERT_TRUE(U_SUCCESS(status));
    auto clusterEnds = [&](const std::string& text) {
        icu::UnicodeString utf16 = icu::UnicodeString::fromUTF8(text);
        segmenter->setText(utf16);
        std::vector<std::size_t> ends;
        std::string prefix;
        for (int32_t start = 0, end = segmenter->next(); end != icu::BreakIterator::DONE;
             start = end, end = segmenter->next()) {
            utf16.tempSubString(start, end - start).toUTF8String(prefix);
            ends.push_back(prefix.size());
        }
        return ends;
    };
    int differing = 0;
    for (UChar32 c = 0; c <= 0xFFFF && differing < 5; ++c) {
        if (U_IS_SURROGATE(c))
            continue;
        std::string character;
        icu::UnicodeString(c).toUTF8String(character);
        std::string text = "x" + character + character + "\n" + character + "y";
        std::vector<std::size_t> ends = clusterEnds(text);
        bool same = graphemeCount(text) == ends.size();
        for (std::size_t count = 1; count < ends.size(); ++count)
            same = same && graphemePrefix(text, count) == text.substr(0, ends[count - 1]);
        if (!same) {
            ++differing;
            ADD_FAILURE() << "U+" << std::hex << c;
        }
    }
}

TEST(Text, TrimsUnicodeWhitespaceOnly)
{
    EXPECT_EQ(trimWhitespace(" \t\n\xE3\x80\x80纪要\xE3\x80\x80 内容\r\n"), "纪要\xE3\x80\x80 内容");
    EXPECT_EQ(trimWhitespace(" \n "), "");
    EXPECT_EQ(trimWhitespace("x"), "x");
}

TEST(Iso8601, FormatsWholeSecondsInUtc)
{
    EXPECT_EQ(formatIso8601(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(formatIso8601(kReferenceDateOffset), "2001-01-01T00:00:00Z");
    EXPECT_EQ(formatIso8601(1742976309.75), "2025-03-26T08:05:09Z");
    EXPECT_EQ(formatIso8601(-0.5), "1969-12-31T23:59:59Z");
}

TEST(Iso8601, ParsesOnlyInternetDateTimeWithFraction)
{
    EXPECT_DOUBLE_EQ(*parseIso8601WithFraction("2024-05-01T08:30:00.000Z"), 1714552200.0);
    EXPECT_DOUBLE_EQ(*parseIso8601WithFraction("2024-05-01T16:30:00.5+08:00"), 1714552200.5);
    for (const char* text : { "2024-05-01T08:30:00Z", "2024-05-01 08:30:00.000Z", "2024-05-01T08:30:00.000",
             "2024-05-01T08:30:00.000+0800", "2024-13-01T08:30:00.000Z", "2023-02-29T08:30:00.000Z",
             "2024-05-01T24:00:00.000Z", "2024-05-01T08:30:00.Z", "2024-05-01T08:30:00.000Zx", "" })
        EXPECT_FALSE(parseIso8601WithFraction(text)) << text;
    EXPECT_TRUE(parseIso8601WithFraction("2024-02-29T00:00:00.1Z"));
}

TEST(Json, TypedReadsKeepIntegersApartFromFloats)
{
    Json body = parseJson(
        R"({"revision": 3, "float": 1.0, "text": "1", "flag": true, "list": [], "map": {}, "big": 18446744073709551615})");
    EXPECT_EQ(integerAt(body, "revision"), 3);
    EXPECT_FALSE(integerAt(body, "float"));
    EXPECT_FALSE(integerAt(body, "text"));
    EXPECT_FALSE(integerAt(body, "big"));
    EXPECT_EQ(stringAt(body, "text"), "1");
    EXPECT_EQ(booleanAt(body, "flag"), true);
    EXPECT_TRUE(arrayAt(body, "list"));
    EXPECT_FALSE(arrayAt(body, "map"));
    EXPECT_TRUE(objectAt(body, "map"));
    EXPECT_FALSE(stringAt(Json::array(), "text"));
}

TEST(Json, ParseFailureIsAChineseSentence)
{
    try {
        parseJson("{\"a\":");
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.message, "数据不是有效的 JSON，无法读取。");
    }
    EXPECT_EQ(describe(std::make_exception_ptr(std::filesystem::filesystem_error("x", std::error_code()))),
        "无法读写本机文件，请检查文件是否存在以及访问权限。");
    EXPECT_EQ(describe(std::make_exception_ptr(DesktopError("请先登录。"))), "请先登录。");
}

TEST(Executor, SerialQueueRunsInOrderOneAtATimeAndSurvivesThrows)
{
    ManualExecutor main;
    std::vector<int> order;
    std::atomic<int> running = 0, overlap = 0;
    {
        SerialQueue queue;
        for (int i = 0; i < 50; ++i) {
            queue.post([&, i] {
                if (running.fetch_add(1) != 0)
                    ++overlap;
                order.push_back(i);
                running.fetch_sub(1);
                if (i == 10)
                    throw std::runtime_error("escaped");
            });
        }
    }
    EXPECT_EQ(overlap.load(), 0);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(Executor, ManualExecutorRunsWorkPostedFromOtherThreads)
{
    ManualExecutor main;
    BackgroundPool pool(2);
    std::atomic<int> done = 0;
    int onMain = 0;
    for (int i = 0; i < 20; ++i)
        pool.post([&] {
            main.post([&] {
                ++onMain;
                ++done;
            });
        });
    EXPECT_TRUE(main.runUntil([&] { return done.load() == 20; }));
    EXPECT_EQ(onMain, 20);
}

TEST(Bundle, FindsPagesAndHelpersInTheBuildFolderAndWhenInstalled)
{
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("korvid-bundle-" + Uuid::random().string());
    fs::create_directories(root / "build" / "bin" / "resources");
    fs::create_directories(root / "prefix" / "bin");
    std::ofstream(root / "build" / "bin" / "resources" / "cua-driver") << "";

    // The build folder: pages and the driver in resources/, modules beside the programs.
    fs::path built = root / "build" / "bin";
    EXPECT_EQ(resourcesFolderFor(built), built / "resources");
    EXPECT_EQ(bundledHelperFor(built, "cua-driver"), built / "resources" / "cua-driver");
    EXPECT_EQ(bundledHelperFor(built, "korvid-excerpt-pdf.so"), built / "korvid-excerpt-pdf.so");

    // Installed under any prefix: share/ and libexec/ next to bin/, even
    // when nothing is there yet (the caller then reports it missing).
    fs::path installed = root / "prefix" / "bin";
    EXPECT_EQ(resourcesFolderFor(installed), root / "prefix" / "share" / "korvid-desktop");
    EXPECT_EQ(bundledHelperFor(installed, "cua-driver"), root / "prefix" / "libexec" / "korvid-desktop" / "cua-driver");
    fs::remove_all(root);
}

namespace korvid {
namespace {

PickedFileError::Step failedStep(const std::function<void()>& work)
{
    try {
        work();
    } catch (const PickedFileError& failure) {
        return failure.step;
    }
    ADD_FAILURE() << "no failure";
    return PickedFileError::Step::examine;
}

TEST(PickedFile, ReadsARegularFileUpToItsCapAndRefusesEverythingElse)
{
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("korvid-picked-" + Uuid::random().string());
    fs::create_directories(root);
    std::ofstream(root / "notes.txt") << "twelve bytes";

    EXPECT_EQ(pickedFileSize(root / "notes.txt", 12), 12u);
    PickedFile file = readPickedFile(root / "notes.txt", 13);
    EXPECT_EQ(file.bytes, "twelve bytes");
    EXPECT_NE(file.inode, 0u);
    // The cap bounds the read, so a file that grew past it shows as one byte over.
    EXPECT_EQ(readPickedFile(root / "notes.txt", 5).bytes, "twelv");

    using Step = PickedFileError::Step;
    EXPECT_EQ(failedStep([&] { pickedFileSize(root / "notes.txt", 11); }), Step::notAllowed);
    EXPECT_EQ(failedStep([&] { pickedFileSize(root, 1 << 20); }), Step::notAllowed);
    EXPECT_EQ(failedStep([&] { pickedFileSize(root / "gone.txt", 12); }), Step::examine);
    EXPECT_EQ(failedStep([&] { readPickedFile(root / "gone.txt", 12); }), Step::open);

    // Swapped for a pipe after its size was checked: refused at once, not
    // waited on and not read as an empty file.
    EXPECT_EQ(pickedFileSize(root / "notes.txt", 100), 12u);
    fs::remove(root / "notes.txt");
    ASSERT_EQ(::mkfifo((root / "notes.txt").c_str(), 0600), 0);
    EXPECT_EQ(failedStep([&] { readPickedFile(root / "notes.txt", 13); }), Step::notAllowed);
    fs::remove_all(root);
}

}
}
