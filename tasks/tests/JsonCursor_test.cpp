#include "tasks/JsonCursor.h"

#include "host/base/Json.h"
#include "tasks/StoreCoding.h"

#include <gtest/gtest.h>

#include <random>

namespace korvid {
namespace {

bool cursorAccepts(std::string_view text)
{
    JsonCursor cursor(text);
    return cursor.skipValue() && cursor.atEnd();
}

bool libraryAccepts(std::string_view text)
{
    return !Json::parse(text.begin(), text.end(), nullptr, false).is_discarded();
}

TEST(JsonCursorTest, AgreesWithTheJsonLibraryOnValidity)
{
    for (const char* text : {
             "{}", "[]", "0", "-0", "1.5e3", "-1E-2", "\"\"", "true", "null", " [1, 2 ,3] ",
             R"({"a":{"b":[{},[]]},"c":"\u00e9\ud83d\ude00\n"})", "\"\xE4\xB8\xAD\"", "18446744073709551616",
             "1e999", "01", "1.", ".5", "-", "+1", "1e", "[1,]", "[,1]", "{\"a\":1,}", "{\"a\" 1}", "{\"a\":{} \"b\":1}",
             "[1 2]", "{1:2}", "\"\\x\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\x01\"", "\"\xFF\"",
             "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"abc", "tru", "nul", "[] []", "", "  ",
             "{\"a\":1}x", "[\"\\u00G0\"]" }) {
        EXPECT_EQ(cursorAccepts(text), libraryAccepts(text)) << text;
    }
    std::string deep(300, '[');
    deep += std::string(300, ']');
    EXPECT_FALSE(cursorAccepts(deep)) << "nesting is bounded";
}

// Random single-byte edits of a real task file: the cursor-based decoder and
// the library must agree on which texts are JSON at all.
TEST(JsonCursorTest, MutatedTaskFilesAgreeWithTheLibrary)
{
    TaskWorkspace::Record record;
    record.id = "6f1c2a4e-0b7d-4c1e-9a3b-2d5e8f7a9c10";
    record.title = "报价 \"q\" \\ é";
    record.body = "line\nline\t😀";
    record.minute = TaskWorkspace::MinuteRef { "id", std::string(64, 'a'), "t" };
    record.attachments.push_back({ "a.pdf", "d", "bm", "摘录", "PDF" });
    record.revision = 12;
    record.updatedAt = -1.25e-3;
    const std::string original = StoreCoding::encodeRecord(record);
    EXPECT_EQ(StoreCoding::decodeRecord(original, "t"), record);

    std::mt19937 random(20240501);
    const std::string alphabet = "{}[]\",:\\/0123456789.eE+-tfnul \n\x01\x80\xE4";
    int disagreements = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text = original;
        int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0: text[at] = alphabet[random() % alphabet.size()]; break;
            case 1: text.erase(at, 1); break;
            default: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
            }
        }
        bool library = libraryAccepts(text);
        bool cursor = cursorAccepts(text);
        if (library != cursor && ++disagreements < 5)
            ADD_FAILURE() << "library " << library << ", cursor " << cursor << ": " << text;
        // A decodable file must decode to what the library reads.
        if (library) {
            try {
                auto decoded = StoreCoding::decodeRecord(text, "t");
                Json json = Json::parse(text);
                EXPECT_EQ(decoded.title, json["title"].get<std::string>());
                EXPECT_EQ(decoded.revision, json["revision"].get<std::int64_t>());
            } catch (const std::exception&) {
            }
        }
    }
    EXPECT_EQ(disagreements, 0);
}

}
}
