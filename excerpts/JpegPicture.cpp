#include "excerpts/JpegPicture.h"

#include "base/DesktopError.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio> // jpeglib.h needs FILE
#include <cstring>
#include <string_view>
#include <vector>

#include <jpeglib.h>

namespace korvid::JpegPicture {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return; it jumps back to the frame that started the decoding.
struct Reader {
    jpeg_decompress_struct info {};
    jpeg_error_mgr errors {};
    std::jmp_buf jump {};
    bool created = false;
    // One row of CMYK samples, converted to RGB as it is read.
    std::vector<JSAMPLE> cmykRow;

    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader()
    {
        if (created)
            jpeg_destroy_decompress(&info);
    }
};

[[noreturn]] void jumpBack(j_common_ptr info)
{
    std::longjmp(static_cast<Reader*>(info->client_data)->jump, 1);
}

// Warnings about damaged data go nowhere: a damaged file still gives what
// it holds, and stderr is not the user's.
void quiet(j_common_ptr)
{
}

int ceilingDivide(int value, int divisor)
{
    return value / divisor + (value % divisor != 0);
}

int pixelsPerInch(const jpeg_decompress_struct& info)
{
    if (!info.saw_JFIF_marker || info.X_density == 0)
        return 0;
    if (info.density_unit == 1)
        return info.X_density;
    if (info.density_unit == 2)
        return static_cast<int>(std::lround(info.X_density * 2.54));
    return 0;
}

int orientationOf(const jpeg_decompress_struct& info)
{
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1)
            continue;
        std::string_view payload(reinterpret_cast<const char*>(marker->data), marker->data_length);
        if (!payload.starts_with(std::string_view("Exif\0\0", 6)))
            continue;
        int orientation = exifOrientation(payload);
        return orientation ? orientation : 1;
    }
    return 1;
}

// Inverted CMYK (as Adobe writes it) and plain CMYK, to RGB.
void cmykToRgb(const JSAMPLE* in, std::uint8_t* out, int width, bool inverted)
{
    for (int x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned k = in[3];
        for (int c = 0; c < 3; ++c)
            out[c] = static_cast<std::uint8_t>(inverted ? in[c] * k / 255 : (255 - in[c]) * (255 - k) / 255);
    }
}

// False when libjpeg gave up on the file or the header claims too much.
// setjmp returns here a second time on error: nothing in this frame has a
// destructor, and what it fills belongs to the caller.
bool run(Reader& reader, std::string_view data, int longestWanted, std::uint64_t pixelLimit, Decoded& out)
{
    jpeg_decompress_struct& info = reader.info;
    info.err = jpeg_std_error(&reader.errors);
    reader.errors.error_exit = jumpBack;
    reader.errors.output_message = quiet;
    info.client_data = &reader;
    if (setjmp(reader.jump))
        return false;
    jpeg_create_decompress(&info);
    reader.created = true;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned long>(data.size()));
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK)
        return false;

    // Refused on the header's word, before the decoder sets aside any
    // memory for pixels or coefficients.
    std::uint64_t area = static_cast<std::uint64_t>(info.image_width) * info.image_height;
    if (info.image_width == 0 || info.image_height == 0 || area > pixelLimit)
        return false;
    out.originalLongest = static_cast<int>(std::max(info.image_width, info.image_height));
    out.dpi = pixelsPerInch(info);
    out.orientation = orientationOf(info);

    // The decoder reduces by 1/2, 1/4 or 1/8 almost for free, by dropping
    // frequencies: the smallest that still reaches the wanted size.
    unsigned denominator = 1;
    while (denominator < 8 && ceilingDivide(out.originalLongest, static_cast<int>(denominator) * 2) >= longestWanted)
        denominator *= 2;
    info.scale_num = 1;
    info.scale_denom = denominator;

    bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    if (info.jpeg_color_space == JCS_GRAYSCALE)
        info.out_color_space = JCS_GRAYSCALE;
    else
        info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    // A progressive file is read whole here, all its scans into one set of
    // coefficients, and turned into pixels once.
    if (!jpeg_start_decompress(&info))
        return false;
    out.width = static_cast<int>(info.output_width);
    out.height = static_cast<int>(info.output_height);
    out.channels = info.out_color_space == JCS_GRAYSCALE ? 1 : 3;
    if (info.output_components != (cmyk ? 4 : out.channels))
        return false;
    std::size_t rowBytes = static_cast<std::size_t>(out.width) * out.channels;
    // Rows a damaged file never delivers read as white paper.
    out.pixels.assign(rowBytes * out.height, 255);
    if (cmyk)
        reader.cmykRow.resize(static_cast<std::size_t>(out.width) * 4);

    while (info.output_scanline < info.output_height) {
        std::uint8_t* row = out.pixels.data() + info.output_scanline * rowBytes;
        JSAMPROW target = cmyk ? reader.cmykRow.data() : row;
        if (jpeg_read_scanlines(&info, &target, 1) != 1)
            break;
        if (cmyk)
            cmykToRgb(reader.cmykRow.data(), row, out.width, info.saw_Adobe_marker);
    }
    // The rest of the file (trailing markers) is not needed; destroying the
    // decoder releases everything without reading it.
    return true;
}

std::uint32_t readNumber(std::string_view bytes, std::size_t at, int length, bool bigEndian)
{
    std::uint32_t value = 0;
    for (int i = 0; i < length; ++i) {
        auto byte = static_cast<std::uint8_t>(bytes[at + (bigEndian ? i : length - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

}

int exifOrientation(std::string_view app1)
{
    constexpr std::string_view kHeader("Exif\0\0", 6);
    if (!app1.starts_with(kHeader))
        return 0;
    std::string_view tiff = app1.substr(kHeader.size());
    if (tiff.size() < 8)
        return 0;
    bool bigEndian;
    if (tiff.starts_with("MM"))
        bigEndian = true;
    else if (tiff.starts_with("II"))
        bigEndian = false;
    else
        return 0;
    if (readNumber(tiff, 2, 2, bigEndian) != 42)
        return 0;
    std::uint32_t directory = readNumber(tiff, 4, 4, bigEndian);
    if (directory > tiff.size() || tiff.size() - directory < 2)
        return 0;
    std::uint32_t entries = readNumber(tiff, directory, 2, bigEndian);
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::size_t entry = directory + 2 + static_cast<std::size_t>(i) * 12;
        if (entry + 12 > tiff.size())
            return 0;
        if (readNumber(tiff, entry, 2, bigEndian) != 0x0112)
            continue;
        // One SHORT, held in the first two bytes of the value field.
        if (readNumber(tiff, entry + 2, 2, bigEndian) != 3 || readNumber(tiff, entry + 4, 4, bigEndian) != 1)
            return 0;
        std::uint32_t orientation = readNumber(tiff, entry + 8, 2, bigEndian);
        return orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 0;
    }
    return 0;
}

void applyOrientation(Decoded& picture)
{
    int turn = picture.orientation;
    if (turn < 2 || turn > 8)
        return;
    const int width = picture.width, height = picture.height, channels = picture.channels;
    // 5 to 8 swap the sides.
    bool swapped = turn >= 5;
    int outWidth = swapped ? height : width, outHeight = swapped ? width : height;
    std::vector<std::uint8_t> turned(picture.pixels.size());
    for (int y = 0; y < outHeight; ++y) {
        std::uint8_t* out = turned.data() + static_cast<std::size_t>(y) * outWidth * channels;
        for (int x = 0; x < outWidth; ++x, out += channels) {
            // The stored pixel that lands at (x, y) once the picture is upright.
            int sx = x, sy = y;
            switch (turn) {
            case 2:
                sx = width - 1 - x;
                break; // mirrored left to right
            case 3:
                sx = width - 1 - x;
                sy = height - 1 - y;
                break; // upside down
            case 4:
                sy = height - 1 - y;
                break; // mirrored top to bottom
            case 5:
                sx = y;
                sy = x;
                break; // mirrored along the main diagonal
            case 6:
                sx = y;
                sy = height - 1 - x;
                break; // to be turned a quarter clockwise
            case 7:
                sx = width - 1 - y;
                sy = height - 1 - x;
                break; // mirrored along the other diagonal
            case 8:
                sx = width - 1 - y;
                sy = x;
                break; // to be turned a quarter anticlockwise
            }
            std::memcpy(out, picture.pixels.data() + (static_cast<std::size_t>(sy) * width + sx) * channels, channels);
        }
    }
    picture.pixels = std::move(turned);
    picture.width = outWidth;
    picture.height = outHeight;
    picture.orientation = 1;
}

Decoded decode(std::string_view data, int longestWanted, std::uint64_t pixelLimit, const char* unreadable)
{
    Reader reader;
    Decoded out;
    if (!run(reader, data, longestWanted, pixelLimit, out))
        throw DesktopError(unreadable);
    return out;
}

}
