#include "excerpts/JpegPicture.h"
#include "excerpts/PosterImage.h"
#include "excerpts/tests/Fixtures.h"
#include "base/DesktopError.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>

namespace korvid {
namespace {

using fixtures::rgbOf;

// A JPEG written by libjpeg on the spot, in the layouts cameras and
// scanners write: colour or grey, baseline or progressive, CMYK with
// Adobe's inverted samples.
struct JpegFile {
    int width = 48;
    int height = 32;
    int components = 3; // 1 grey, 3 RGB, 4 CMYK
    bool progressive = false;
    int densityUnit = 0; // 1 per inch, 2 per centimetre
    int density = 0;
    std::string app1; // payload of an APP1 segment, when not empty
};

// A picture with no symmetry, so that every turn and mirror differs.
std::uint8_t sample(int x, int y, int component)
{
    return static_cast<std::uint8_t>((x * 5 + y * 3 + component * 70) % 256);
}

std::string encode(const JpegFile& file)
{
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = file.width;
    info.image_height = file.height;
    info.input_components = file.components;
    info.in_color_space = file.components == 1 ? JCS_GRAYSCALE : file.components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    if (file.progressive)
        jpeg_simple_progression(&info);
    if (file.densityUnit) {
        info.density_unit = static_cast<UINT8>(file.densityUnit);
        info.X_density = info.Y_density = static_cast<UINT16>(file.density);
    }
    jpeg_start_compress(&info, TRUE);
    if (!file.app1.empty())
        jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(file.app1.data()),
            static_cast<unsigned>(file.app1.size()));
    std::vector<JSAMPLE> row(static_cast<std::size_t>(file.width) * file.components);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < file.width; ++x)
            for (int c = 0; c < file.components; ++c)
                row[x * file.components + c] = sample(x, static_cast<int>(info.next_scanline), c);
        JSAMPROW rows[] = { row.data() };
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

// An EXIF segment holding one Orientation entry, in either byte order.
std::string exif(int orientation, bool bigEndian = true)
{
    auto number = [&](std::uint32_t value, int length) {
        std::string bytes(length, '\0');
        for (int i = 0; i < length; ++i)
            bytes[bigEndian ? length - 1 - i : i] = static_cast<char>(value >> (8 * i) & 0xFF);
        return bytes;
    };
    return std::string("Exif\0\0", 6) + (bigEndian ? "MM" : "II") + number(42, 2) + number(8, 4) + number(1, 2)
        + number(0x0112, 2) + number(3, 2) + number(1, 4) + number(orientation, 2) + number(0, 2) + number(0, 4);
}

// What gdk-pixbuf makes of the same bytes, upright, as packed RGB: the
// reference every image viewer on the desktop agrees with.
std::vector<std::uint8_t> viewerPixels(const std::string& bytes, int& width, int& height)
{
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("jpeg", nullptr);
    gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* upright = gdk_pixbuf_apply_embedded_orientation(gdk_pixbuf_loader_get_pixbuf(loader));
    g_object_unref(loader);
    width = gdk_pixbuf_get_width(upright);
    height = gdk_pixbuf_get_height(upright);
    int stride = gdk_pixbuf_get_rowstride(upright), channels = gdk_pixbuf_get_n_channels(upright);
    const guint8* pixels = gdk_pixbuf_read_pixels(upright);
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), pixels + y * stride + x * channels, pixels + y * stride + x * channels + 3);
    g_object_unref(upright);
    return rgb;
}

void expectAsViewersShow(const std::string& bytes, const std::string& what)
{
    int width = 0, height = 0;
    std::vector<std::uint8_t> expected = viewerPixels(bytes, width, height);
    PosterImage image = PosterImage::decode(bytes);
    EXPECT_EQ(image.width, width) << what;
    EXPECT_EQ(image.height, height) << what;
    EXPECT_TRUE(rgbOf(image) == expected) << what << ": pixels differ";
}

TEST(RecognitionJpeg, EveryOrientationTurnsThePictureAsViewersDo)
{
    for (bool bigEndian : { true, false }) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            JpegFile file { .width = 40, .height = 24, .app1 = exif(orientation, bigEndian) };
            std::string bytes = encode(file);
            ASSERT_EQ(JpegPicture::exifOrientation(file.app1), orientation);
            expectAsViewersShow(bytes, "orientation " + std::to_string(orientation) + (bigEndian ? " MM" : " II"));
            PosterImage image = PosterImage::decode(bytes);
            EXPECT_EQ(image.width, orientation >= 5 ? 24 : 40) << orientation;
        }
    }
}

TEST(RecognitionJpeg, ProgressiveGreyAndCmykFilesDecodeAsViewersShow)
{
    expectAsViewersShow(encode({ .progressive = true }), "progressive colour");
    expectAsViewersShow(encode({ .components = 1 }), "grey");
    expectAsViewersShow(encode({ .components = 1, .progressive = true }), "progressive grey");
    expectAsViewersShow(encode({ .components = 4 }), "CMYK");
    // A grey file stays one channel throughout.
    PosterImage grey = PosterImage::decode(encode({ .components = 1, .app1 = exif(6) }));
    EXPECT_EQ(grey.channels, 1);
    EXPECT_EQ(grey.width, 32);
    EXPECT_EQ(grey.pixels.size(), 32u * 48u);
}

TEST(RecognitionJpeg, DensityComesFromTheHeaderAndFollowsTheReduction)
{
    EXPECT_EQ(PosterImage::decode(encode({ .densityUnit = 1, .density = 300 })).dpi, 300);
    EXPECT_EQ(PosterImage::decode(encode({ .densityUnit = 2, .density = 78 })).dpi, 198); // 78 per cm
    EXPECT_EQ(PosterImage::decode(encode({ .densityUnit = 0, .density = 1 })).dpi, 0);    // an aspect ratio only
    // 6000 pixels wide at 600 dpi: decoded at half size, then to 2800.
    PosterImage large = PosterImage::decode(encode({ .width = 6000, .height = 40, .densityUnit = 1, .density = 600 }));
    EXPECT_EQ(large.width, 2800);
    EXPECT_EQ(large.dpi, 280);
}

TEST(RecognitionJpeg, HugeJpegIsReducedByTheDecoderToTheNearestEighth)
{
    // 16000 pixels: an eighth would be 2000, too small; a quarter, 4000.
    JpegPicture::Decoded wide = JpegPicture::decode(encode({ .width = 16000, .height = 16 }), 2800, 100'000'000, "x");
    EXPECT_EQ(wide.width, 4000);
    EXPECT_EQ(wide.height, 4);
    EXPECT_EQ(wide.originalLongest, 16000);
    JpegPicture::Decoded exact = JpegPicture::decode(encode({ .width = 5600, .height = 16 }), 2800, 100'000'000, "x");
    EXPECT_EQ(exact.width, 2800);
    JpegPicture::Decoded below = JpegPicture::decode(encode({ .width = 5598, .height = 16 }), 2800, 100'000'000, "x");
    EXPECT_EQ(below.width, 5598);
    // The pixel limit applies to the stored size, not the reduced one.
    EXPECT_THROW(
        JpegPicture::decode(encode({ .width = 16000, .height = 16 }), 2800, 16000 * 16 - 1, "x"), DesktopError);
}

TEST(RecognitionJpeg, DamagedExifSegmentsLeaveThePictureAsStored)
{
    std::string good = exif(6);
    EXPECT_EQ(JpegPicture::exifOrientation(good), 6);
    // Every cut of the segment, and every value out of range.
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_EQ(JpegPicture::exifOrientation(good.substr(0, length)), length >= 28 ? 6 : 0) << length;
    for (int value : { 0, 9, 0xFFFF })
        EXPECT_EQ(JpegPicture::exifOrientation(exif(value)), 0) << value;
    auto edited = [&](std::size_t at, std::string bytes) {
        std::string segment = good;
        segment.replace(at, bytes.size(), bytes);
        return JpegPicture::exifOrientation(segment);
    };
    EXPECT_EQ(edited(6, "XX"), 0);                                // no byte order
    EXPECT_EQ(edited(8, std::string("\0\x2b", 2)), 0);            // not TIFF
    EXPECT_EQ(edited(10, std::string("\xFF\xFF\xFF\xF0", 4)), 0); // directory far outside
    EXPECT_EQ(edited(16, std::string("\x01\x13", 2)), 0);         // another tag
    // 65535 entries claimed, one present: read up to the end, never past it.
    EXPECT_EQ(edited(14, std::string("\xFF\xFF", 2)), 6);
    EXPECT_EQ(edited(14, std::string("\xFF\xFF\x01\x13", 4)), 0);
    EXPECT_EQ(edited(18, std::string("\0\x04", 2)), 0);     // a LONG, not a SHORT
    EXPECT_EQ(edited(20, std::string("\0\0\0\x02", 4)), 0); // two values

    // A picture with such a segment is still read, upright as stored.
    std::string bytes = encode({ .width = 40, .height = 24, .app1 = good.substr(0, 20) });
    PosterImage image = PosterImage::decode(bytes);
    EXPECT_EQ(image.width, 40);
    EXPECT_EQ(image.height, 24);
}

TEST(RecognitionJpeg, DamagedFilesAreRefusedOrKeepWhatTheyHold)
{
    std::string bytes = encode({ .width = 64, .height = 64 });
    // Every cut inside the header is refused with the one sentence; cuts in
    // the picture data give the picture at its full size.
    for (std::size_t length = 3; length < bytes.size(); length += 7) {
        try {
            PosterImage image = PosterImage::decode(bytes.substr(0, length));
            EXPECT_EQ(image.width, 64) << length;
            EXPECT_EQ(image.pixels.size(), 64u * 64u * image.channels) << length;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.message, "无法读取这张海报。") << length;
        }
    }
    // A frame header that claims no width.
    std::string empty = bytes;
    std::size_t frame = empty.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    empty[frame + 7] = empty[frame + 8] = '\0';
    EXPECT_THROW(PosterImage::decode(empty), DesktopError);
    // Garbage after the start-of-image marker.
    EXPECT_THROW(PosterImage::decode(std::string("\xFF\xD8\xFF\xE0", 4) + std::string(200, '\x55')), DesktopError);
}

}
}
