#include "excerpts/EventSource.h"
#include "excerpts/PosterImage.h"
#include "excerpts/tests/Fixtures.h"
#include "host/base/DesktopError.h"

#include <gtest/gtest.h>
#include <thread>

namespace korvid {
namespace {

using namespace fixtures;

constexpr const char* kImageLabel = "本机图片文字识别 · 最多 3000 字";

std::string excerptOf(const std::string& bytes, const std::string& name)
{
    return EventSource::excerpt(bytes, name)["excerpt"];
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Recognition, ChineseAndEnglishFromAPng)
{
    Json record = EventSource::excerpt(png({ "活动报名截止日期", "Deadline March 15" }), "poster.PNG");
    std::string text = record["excerpt"];
    EXPECT_EQ(record["method"], kImageLabel);
    EXPECT_TRUE(contains(text, "活动报名截止日期")) << text;
    EXPECT_TRUE(contains(text, "Deadline March 15")) << text;
    EXPECT_TRUE(contains(text, "\n")) << "one line per recognised line: " << text;
}

TEST(Recognition, ExifOrientationIsApplied)
{
    std::vector<std::string> lines { "Quarterly sales meeting", "季度销售会议" };
    std::string turned = excerptOf(jpeg(lines, 6), "turned.jpg");
    EXPECT_TRUE(contains(turned, "Quarterly sales meeting")) << turned;
    EXPECT_TRUE(contains(turned, "季度销售会议")) << turned;
    std::string upright = excerptOf(jpeg(lines, 1), "upright.JPEG");
    EXPECT_TRUE(contains(upright, "Quarterly sales meeting")) << upright;
}

TEST(Recognition, ImageWithoutTextGivesAnEmptyExcerpt)
{
    Json record = EventSource::excerpt(png({}), "blank.png");
    EXPECT_EQ(record["excerpt"], "");
    EXPECT_EQ(record["method"], kImageLabel);
}

TEST(Recognition, LargeImagesAreScaledDownNeverUp)
{
    PosterImage wide = PosterImage::decode(png({ "wide" }, 4000));
    EXPECT_EQ(wide.width, 2800);
    EXPECT_EQ(wide.height, 147); // 210 * 0.7
    PosterImage small = PosterImage::decode(png({ "small" }, 300));
    EXPECT_EQ(small.width, 300);
    EXPECT_EQ(small.height, 210);
    // Black text on white: one grey channel.
    EXPECT_EQ(small.channels, 1);
    EXPECT_EQ(small.pixels.size(), 300u * 210u);
}

TEST(Recognition, UndecodableImagesAreRefused)
{
    std::string image = png({ "text" });
    for (const std::string& bytes : { std::string("not an image"), std::string(), image.substr(0, 40),
             std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13) })
        EXPECT_THROW(PosterImage::decode(bytes), DesktopError) << bytes.size();
    try {
        EventSource::excerpt("nope", "x.jpeg");
        ADD_FAILURE();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.message, "无法读取这张海报。");
    }
}

TEST(Recognition, TruncatedImageKeepsWhatWasDecodedOnWhite)
{
    std::string image = png({ "text" });
    PosterImage partial = PosterImage::decode(image.substr(0, image.size() / 2));
    std::size_t row = static_cast<std::size_t>(partial.width) * partial.channels;
    ASSERT_EQ(partial.pixels.size(), row * partial.height);
    // The last row was never decoded: white, not whatever memory held.
    for (std::size_t i = partial.pixels.size() - row; i < partial.pixels.size(); ++i)
        ASSERT_EQ(partial.pixels[i], 255) << i;
}

TEST(Recognition, OversizedPngIsRefusedBeforeDecoding)
{
    // A valid PNG header claiming 20000 x 20000 pixels.
    std::string header("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x4e\x20\0\0\x4e\x20\x08\x02\0\0\0", 29);
    header += std::string("\0\0\0\0", 4); // CRC, wrong on purpose: refusal either way
    EXPECT_THROW(PosterImage::decode(header + std::string(1000, '\0')), DesktopError);
}

TEST(Recognition, ThreadsRecogniseAtOnce)
{
    std::string image = png({ "Parallel 并行" });
    std::string first, second;
    std::thread other([&] { first = excerptOf(image, "a.png"); });
    second = excerptOf(image, "b.png");
    other.join();
    EXPECT_TRUE(contains(first, "Parallel")) << first;
    EXPECT_EQ(first, second);
}

}
}
