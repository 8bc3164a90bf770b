#include "excerpts/EventSource.h"
#include "excerpts/PosterImage.h"
#include "excerpts/tests/Fixtures.h"
#include "base/DesktopError.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <functional>
#include <fstream>
#include <thread>

namespace korvid {
namespace {

using namespace fixtures;

constexpr const char* kImageLabel = "本机图片文字识别 · 最多 3000 字";

std::string excerptOf(const std::string& bytes, const std::string& name)
{
    return EventSource::excerpt(bytes, name)["excerpt"];
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

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

// A real 16 x 16 picture whose header is then edited to claim another size:
// a few hundred bytes that decode as far as their first rows.
std::string smallImage(const char* type)
{
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 16);
    gdk_pixbuf_fill(pixbuf, 0x336699FF);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
    g_object_unref(pixbuf);
    std::string bytes(buffer, size);
    g_free(buffer);
    return bytes;
}

void putBigEndian(std::string& bytes, std::size_t at, std::uint32_t value, int length)
{
    for (int i = 0; i < length; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * (length - 1 - i)) & 0xFF);
}

std::uint32_t crc32(std::string_view bytes)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// With a correct checksum, so that the decoder believes the header.
std::string pngClaiming(std::uint32_t width, std::uint32_t height)
{
    std::string bytes = smallImage("png");
    putBigEndian(bytes, 16, width, 4);
    putBigEndian(bytes, 20, height, 4);
    putBigEndian(bytes, 29, crc32(std::string_view(bytes).substr(12, 17)), 4);
    return bytes;
}

std::string jpegClaiming(std::uint16_t width, std::uint16_t height)
{
    std::string bytes = smallImage("jpeg");
    std::size_t frame = bytes.find("\xFF\xC0");
    EXPECT_NE(frame, std::string::npos);
    putBigEndian(bytes, frame + 5, height, 2);
    putBigEndian(bytes, frame + 7, width, 2);
    return bytes;
}

// The peak resident memory since the last reset, in bytes; 0 when the
// system cannot reset the peak.
std::size_t residentPeak()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:"))
            return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}
bool resetResidentPeak()
{
    return bool(std::ofstream("/proc/self/clear_refs") << "5" << std::flush);
}
std::size_t resident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:"))
            return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

TEST(Recognition, ClaimedSizesOverTheLimitAreRefusedBeforeAnyPixelsExist)
{
    struct Case {
        const char* what;
        std::string bytes;
    };
    // 144 megapixels, then the largest sizes the formats let a header claim
    // cheaply (65500 x 65500: 12.8 GB of RGB).
    std::vector<Case> cases { { "png 12000", pngClaiming(12000, 12000) }, { "jpeg 12000", jpegClaiming(12000, 12000) },
        { "png 65500", pngClaiming(65500, 65500) }, { "jpeg 65500", jpegClaiming(65500, 65500) },
        { "png 2^31-1", pngClaiming(0x7FFFFFFF, 1) } };
    for (const Case& c : cases) {
        ASSERT_LT(c.bytes.size(), 2000u) << c.what;
        bool measured = resetResidentPeak();
        std::size_t before = resident();
        auto start = std::chrono::steady_clock::now();
        try {
            PosterImage::decode(c.bytes);
            ADD_FAILURE() << c.what << " was decoded";
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.message, "无法读取这张海报。") << c.what;
        }
        auto spent = std::chrono::steady_clock::now() - start;
        ASSERT_LT(spent, std::chrono::seconds(2)) << c.what;
        if (measured && residentPeak() > 0)
            ASSERT_LT(residentPeak(), before + 64 * 1024 * 1024) << c.what << ": a pixel buffer was allocated";
    }
    // The same files with their true sizes are pictures.
    EXPECT_EQ(PosterImage::decode(pngClaiming(16, 16)).width, 16);
    EXPECT_EQ(PosterImage::decode(smallImage("jpeg")).width, 16);
}

TEST(Recognition, LargeJpegIsDecodedAtAReducedScaleAndUpright)
{
    // Stored turned, 300 x 6000 pixels, with orientation 6.
    std::string turned = jpeg({ "wide" }, 6, 6000);
    PosterImage image = PosterImage::decode(turned);
    EXPECT_EQ(image.width, 2800);
    EXPECT_EQ(image.height, 98); // 210 * 2800 / 6000
    std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
    ASSERT_EQ(image.pixels.size(), row * image.height);

    // Cut short, it still gives the picture at the same scale (libjpeg
    // decodes the missing rows as grey).
    std::string upright = jpeg({ "wide" }, 1, 6000);
    PosterImage partial = PosterImage::decode(upright.substr(0, upright.size() * 2 / 3));
    EXPECT_EQ(partial.width, 2800);
    EXPECT_EQ(partial.height, 98);
    EXPECT_EQ(partial.pixels.size(), static_cast<std::size_t>(partial.width) * partial.height * partial.channels);
}

// A PNG written row by row by libpng, so that a large picture never has to
// be held whole by the test either. `row` fills one row in the file's own
// format (depth, colour type).
struct PngFile {
    std::uint32_t width = 0, height = 0;
    int depth = 8;
    int colour = PNG_COLOR_TYPE_RGB;
    bool interlaced = false;
    std::uint32_t pixelsPerMetre = 0;
    std::vector<png_color> palette;
    std::vector<png_byte> transparency;
    std::function<void(std::uint32_t y, std::vector<png_byte>& row)> row;
};

std::string writePng(const PngFile& file)
{
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep data, png_size_t size) {
            static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), size);
        },
        nullptr);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, file.width, file.height, file.depth, file.colour,
        file.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    if (!file.palette.empty())
        png_set_PLTE(png, info, file.palette.data(), static_cast<int>(file.palette.size()));
    if (!file.transparency.empty())
        png_set_tRNS(png, info, file.transparency.data(), static_cast<int>(file.transparency.size()), nullptr);
    if (file.pixelsPerMetre)
        png_set_pHYs(png, info, file.pixelsPerMetre, file.pixelsPerMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    std::vector<png_byte> row(png_get_rowbytes(png, info));
    int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
        for (std::uint32_t y = 0; y < file.height; ++y) {
            std::fill(row.begin(), row.end(), 0);
            file.row(y, row);
            png_write_row(png, row.data());
        }
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

TEST(Recognition, PngColourTypesDepthsAndTransparencyReadAsRgbOnWhite)
{
    // Two pixels per picture, left then right.
    PngFile grey { .width = 2, .height = 1, .depth = 8, .colour = PNG_COLOR_TYPE_GRAY };
    grey.row = [](std::uint32_t, std::vector<png_byte>& row) { row = { 0, 200 }; };
    EXPECT_EQ(rgbOf(PosterImage::decode(writePng(grey))), (std::vector<std::uint8_t> { 0, 0, 0, 200, 200, 200 }));

    PngFile bits { .width = 2, .height = 1, .depth = 1, .colour = PNG_COLOR_TYPE_GRAY };
    bits.row = [](std::uint32_t, std::vector<png_byte>& row) { row = { 0x40 }; }; // black, white
    EXPECT_EQ(rgbOf(PosterImage::decode(writePng(bits))), (std::vector<std::uint8_t> { 0, 0, 0, 255, 255, 255 }));

    PngFile deep { .width = 2, .height = 1, .depth = 16, .colour = PNG_COLOR_TYPE_RGB };
    deep.row = [](std::uint32_t, std::vector<png_byte>& row) {
        row = { 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC };
    };
    EXPECT_EQ(rgbOf(PosterImage::decode(writePng(deep))), (std::vector<std::uint8_t> { 0xFF, 0, 0, 0x12, 0x56, 0x9A }));

    // A palette whose second entry is fully transparent: white paper.
    PngFile indexed { .width = 2,
        .height = 1,
        .depth = 8,
        .colour = PNG_COLOR_TYPE_PALETTE,
        .palette = { { 10, 20, 30 }, { 0, 0, 0 } },
        .transparency = { 255, 0 } };
    indexed.row = [](std::uint32_t, std::vector<png_byte>& row) { row = { 0, 1 }; };
    EXPECT_EQ(rgbOf(PosterImage::decode(writePng(indexed))), (std::vector<std::uint8_t> { 10, 20, 30, 255, 255, 255 }));

    // Grey with alpha: black at half coverage on white.
    PngFile greyAlpha { .width = 2, .height = 1, .depth = 8, .colour = PNG_COLOR_TYPE_GRAY_ALPHA };
    greyAlpha.row = [](std::uint32_t, std::vector<png_byte>& row) { row = { 0, 255, 0, 128 }; };
    EXPECT_EQ(rgbOf(PosterImage::decode(writePng(greyAlpha))), (std::vector<std::uint8_t> { 0, 0, 0, 127, 127, 127 }));

    // Interlaced, and the density it records.
    PngFile interlaced {
        .width = 3, .height = 2, .depth = 8, .colour = PNG_COLOR_TYPE_RGB, .interlaced = true, .pixelsPerMetre = 11811
    };
    interlaced.row = [](std::uint32_t y, std::vector<png_byte>& row) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<png_byte>(y * 100 + i);
    };
    PosterImage woven = PosterImage::decode(writePng(interlaced));
    EXPECT_EQ(woven.width, 3);
    EXPECT_EQ(woven.height, 2);
    EXPECT_EQ(woven.dpi, 300);
    EXPECT_EQ(rgbOf(woven)[3 * 3 + 4], 104);
    PngFile plain = interlaced;
    plain.interlaced = false;
    EXPECT_EQ(PosterImage::decode(writePng(plain)).pixels, woven.pixels);
    EXPECT_EQ(PosterImage::decode(writePng(plain)).dpi, 300);
}

TEST(Recognition, LargePngIsReducedWhileDecodingWithinMemory)
{
    // 100 megapixels, the largest accepted: 300 MB as RGB. Black on the
    // left half, white on the right, 300 dpi. (The bound leaves room for
    // what the address sanitizer keeps of freed buffers.)
    PngFile large {
        .width = 10000, .height = 10000, .depth = 8, .colour = PNG_COLOR_TYPE_GRAY, .pixelsPerMetre = 11811
    };
    large.row = [](std::uint32_t, std::vector<png_byte>& row) { std::fill(row.begin() + 5000, row.end(), 255); };
    std::string bytes = writePng(large);
    ASSERT_LT(bytes.size(), 2'000'000u);

    bool measured = resetResidentPeak();
    std::size_t before = resident();
    PosterImage image = PosterImage::decode(bytes);
    if (measured && residentPeak() > 0)
        EXPECT_LT(residentPeak(), before + 200 * 1024 * 1024) << "the whole picture was held";
    EXPECT_EQ(image.width, 2800);
    EXPECT_EQ(image.height, 2800);
    EXPECT_EQ(image.dpi, 84); // 300 * 2800 / 10000
    ASSERT_EQ(image.channels, 1);
    EXPECT_EQ(image.pixels[1400 * 2800 + 100], 0);
    EXPECT_EQ(image.pixels[1400 * 2800 + 2700], 255);

    // Cut short, the rows never reached are white.
    PosterImage partial = PosterImage::decode(bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(partial.width, 2800);
    EXPECT_EQ(partial.pixels[1400 * 2800 / 10 + 100], 0);
    EXPECT_EQ(partial.pixels[2799 * 2800 + 100], 255);
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
