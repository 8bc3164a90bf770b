#include "tasks/JsonCursor.h"

#include "base/Json.h"
#include "tasks/StoreCoding.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

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
    for (const char* text : { "{}", "[]", "0", "-0", "1.5e3", "-1E-2", "\"\"", "true", "null", " [1, 2 ,3] ",
             R"({"a":{"b":[{},[]]},"c":"\u00e9\ud83d\ude00\n"})", "\"\xE4\xB8\xAD\"", "18446744073709551616", "1e999",
             "01", "1.", ".5", "-", "+1", "1e", "[1,]", "[,1]", "{\"a\":1,}", "{\"a\" 1}", "{\"a\":{} \"b\":1}",
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
            case 0:
                text[at] = alphabet[random() % alphabet.size()];
                break;
            case 1:
                text.erase(at, 1);
                break;
            default:
                text.insert(at, 1, alphabet[random() % alphabet.size()]);
                break;
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

// Strings long enough to be checked many bytes at a time: every broken (and
// every borderline valid) UTF-8 sequence, at every character boundary and
// with every alignment, read and skipped as the library reads it.
TEST(JsonCursorTest, LongStringsAgreeWithTheLibraryAtEveryPosition)
{
    const std::vector<std::string> pieces = { "中文", "a", "\xC3\xA9", "\xF0\x9F\x98\x80", "\\n", "\\\"", "\\u00e9",
        "\\ud83d\\ude00", "\\\\", "摘录摘录", "/", "  ", "\xEF\xBF\xBD" };
    const std::vector<std::string> inserts = { "\xFF", "\xC0\xAF", "\xC1\x81", "\x80", "\xBF\xBF", "\xE4\xB8",
        "\xE4"
        "a",
        "\xC3", "\xF0\x9F\x98", "\xE0\x9F\x80", "\xED\xA0\x80", "\xF0\x8F\x80\x80", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xF8", "\xE4\xB8\xAD\x80", "\x01", "\x1F", "\"", "\\", "\\u12", "\\ud800x",
        // valid edges
        "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xC2\x80", "\xDF\xBF",
        "\x7F", " ", "\\/" };
    std::vector<std::size_t> boundaries { 0 };
    std::string base;
    for (int round = 0; round < 3; ++round)
        for (const auto& piece : pieces) {
            base += piece;
            boundaries.push_back(base.size());
        }
    int disagreements = 0;
    for (std::size_t pad = 0; pad < 16; ++pad) {
        for (const auto& insert : inserts) {
            for (std::size_t at : boundaries) {
                std::string content = std::string(pad, 'x') + base.substr(0, at) + insert + base.substr(at);
                for (const std::string& text : { "\"" + content + "\"", "[\"" + content + "\",1]" }) {
                    bool library = libraryAccepts(text);
                    bool skipped = cursorAccepts(text);
                    std::string read;
                    JsonCursor cursor(text);
                    JsonCursor::Sequence sequence;
                    bool more = false;
                    bool readOk = text[0] == '"' ? cursor.readString(read) && cursor.atEnd()
                                                 : cursor.beginArray(sequence) && cursor.nextElement(sequence, more)
                            && cursor.readString(read) && cursor.skipValue();
                    if ((library != skipped || (text[0] == '"' && library != readOk)) && ++disagreements < 5)
                        ADD_FAILURE() << "library " << library << ", skipped " << skipped << ", read " << readOk << ": "
                                      << text;
                    if (library && readOk) {
                        Json json = Json::parse(text);
                        EXPECT_EQ(read, (text[0] == '"' ? json : json[0]).get<std::string>()) << text;
                    }
                }
            }
        }
    }
    EXPECT_EQ(disagreements, 0);
}

}
}
