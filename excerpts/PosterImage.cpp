#include "excerpts/PosterImage.h"

#include "base/DesktopError.h"
#include "excerpts/JpegPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <new>
#include <png.h>
#include <string>
#include <vector>

namespace korvid {

namespace {

constexpr const char* kUnreadable = "无法读取这张海报。";

struct ObjectRef {
    gpointer object = nullptr;
    explicit ObjectRef(gpointer o = nullptr)
        : object(o)
    {
    }
    ~ObjectRef()
    {
        if (object)
            g_object_unref(object);
    }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    void reset(gpointer o)
    {
        if (object)
            g_object_unref(object);
        object = o;
    }
};

// What the bytes really are. Only PNG and JPEG are decoded, whatever the
// name says, so no other decoder sees user files.
bool isPng(std::string_view data)
{
    return data.starts_with("\x89PNG\r\n\x1a\n");
}
bool isJpeg(std::string_view data)
{
    return data.starts_with("\xFF\xD8\xFF");
}

struct SizeCheck {
    bool tooLarge = false;
    int originalLongest = 0;
};

// Called once the header gives the size, before the decoder allocates any
// pixels. What is set here decides what it allocates.
void sizePrepared(GdkPixbufLoader* loader, gint width, gint height, gpointer data)
{
    auto* check = static_cast<SizeCheck*>(data);
    if (width <= 0 || height <= 0
        || static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > PosterImage::kPixelLimit) {
        check->tooLarge = true;
        // A zero size makes the decoder stop with an error instead of
        // allocating the picture the header claims.
        gdk_pixbuf_loader_set_size(loader, 0, 0);
        return;
    }
    check->originalLongest = std::max(width, height);
}

// A truncated file decodes only partly, and the loader does not clear the
// rows it never reaches; they read as white paper instead of stale memory.
void areaPrepared(GdkPixbufLoader* loader, gpointer)
{
    if (GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader))
        gdk_pixbuf_fill(pixbuf, 0xFFFFFFFF);
}

// An interlaced PNG, whose rows arrive in passes: decoded whole by
// gdk-pixbuf, within the pixel limit.
GdkPixbuf* loadInterlacedPng(std::string_view data, SizeCheck& check)
{
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", &error);
    if (!loader) {
        g_clear_error(&error);
        throw DesktopError(kUnreadable);
    }
    ObjectRef loaderRef(loader);
    g_signal_connect(loader, "size-prepared", G_CALLBACK(sizePrepared), &check);
    g_signal_connect(loader, "area-prepared", G_CALLBACK(areaPrepared), nullptr);

    // Fed in pieces so that an oversized image is refused as soon as its
    // header is read, before its pixels are allocated and decoded.
    constexpr std::size_t piece = 256 * 1024;
    bool ok = true;
    for (std::size_t at = 0; at < data.size() && ok && !check.tooLarge; at += piece) {
        std::size_t length = std::min(piece, data.size() - at);
        ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(data.data() + at), length, &error);
        g_clear_error(&error);
    }
    // Closing is needed on every path; a loader that was not closed
    // complains when it is finalised.
    bool closed = gdk_pixbuf_loader_close(loader, &error);
    g_clear_error(&error);
    if (!ok || !closed || check.tooLarge || check.originalLongest <= 0)
        throw DesktopError(kUnreadable);
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (!pixbuf)
        throw DesktopError(kUnreadable);
    return GDK_PIXBUF(g_object_ref(pixbuf));
}

// A PNG far larger than the thumbnail, read row by row and reduced as it
// goes: each block of factor x factor pixels is averaged into one, so only
// the reduced picture is ever held. gdk-pixbuf's PNG loader cannot scale
// while decoding; it would hold the whole picture first.
struct PngReduction {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int channels = 0; // 3, or 4 with alpha
    std::uint32_t factor = 1;
    std::uint32_t outWidth = 0;
    std::uint32_t outHeight = 0;
    int dpi = 0;
    bool started = false;
    bool interlaced = false;
    std::vector<std::uint8_t> pixels; // outWidth x outHeight, RGB, white until decoded
    std::vector<std::uint32_t> sums;  // one band of output pixels, RGB
    std::uint32_t band = 0;
    std::uint32_t bandRows = 0;

    void flush()
    {
        if (bandRows == 0)
            return;
        for (std::uint32_t x = 0; x < outWidth; ++x) {
            std::uint32_t columns = std::min(factor, width - x * factor);
            std::uint32_t divisor = columns * bandRows;
            for (int c = 0; c < 3; ++c) {
                std::uint32_t& sum = sums[x * 3 + c];
                pixels[(static_cast<std::size_t>(band) * outWidth + x) * 3 + c]
                    = static_cast<std::uint8_t>((sum + divisor / 2) / divisor);
                sum = 0;
            }
        }
        bandRows = 0;
    }

    void addRow(const std::uint8_t* row, std::uint32_t number)
    {
        if (number >= height)
            return;
        if (number / factor != band) {
            flush();
            band = number / factor;
        }
        for (std::uint32_t x = 0; x < width; ++x, row += channels) {
            std::uint32_t* sum = &sums[(x / factor) * 3];
            if (channels == 4) {
                // Transparent areas read as white paper, not as black.
                unsigned a = row[3];
                for (int c = 0; c < 3; ++c)
                    sum[c] += (row[c] * a + 255 * (255 - a) + 127) / 255;
            } else {
                for (int c = 0; c < 3; ++c)
                    sum[c] += row[c];
            }
        }
        ++bandRows;
    }
};

void pngWarning(png_structp, png_const_charp)
{
}
void pngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// Called once the header is read, before any pixels. Nothing in this frame
// needs destroying when png_error leaves it.
void pngInfo(png_structp png, png_infop info)
{
    auto* reduction = static_cast<PngReduction*>(png_get_progressive_ptr(png));
    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
    if (!png_get_IHDR(png, info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr) || width == 0
        || height == 0 || static_cast<std::uint64_t>(width) * height > PosterImage::kPixelLimit)
        png_error(png, "size");
    if (interlace != PNG_INTERLACE_NONE) {
        reduction->interlaced = true;
        png_error(png, "interlaced");
    }
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    int channels = png_get_channels(png, info);
    if (channels != 3 && channels != 4)
        png_error(png, "channels");

    png_uint_32 xPerMetre = 0, yPerMetre = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &xPerMetre, &yPerMetre, &unit) && unit == PNG_RESOLUTION_METER && xPerMetre > 0
        && xPerMetre < 4000000)
        reduction->dpi = static_cast<int>(std::lround(xPerMetre * 0.0254));

    std::uint32_t longest = std::max(width, height);
    reduction->width = width;
    reduction->height = height;
    reduction->channels = channels;
    reduction->factor = std::max<std::uint32_t>(1, longest / PosterImage::kLongestSide);
    reduction->outWidth = (width + reduction->factor - 1) / reduction->factor;
    reduction->outHeight = (height + reduction->factor - 1) / reduction->factor;
    bool allocated = true;
    try {
        reduction->pixels.assign(static_cast<std::size_t>(reduction->outWidth) * reduction->outHeight * 3, 255);
        reduction->sums.assign(static_cast<std::size_t>(reduction->outWidth) * 3, 0);
    } catch (const std::bad_alloc&) {
        allocated = false;
    }
    if (!allocated)
        png_error(png, "memory");
    reduction->started = true;
}

void pngRow(png_structp png, png_bytep row, png_uint_32 number, int)
{
    if (row)
        static_cast<PngReduction*>(png_get_progressive_ptr(png))->addRow(row, number);
}

// False when libpng stopped with an error.
bool feedPng(png_structp png, png_infop info, std::string_view data)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_process_data(png, info, reinterpret_cast<png_bytep>(const_cast<char*>(data.data())), data.size());
    return true;
}

// The reduced picture, or none for an interlaced file (whose rows arrive in
// passes; those go through gdk-pixbuf whole, within the pixel limit).
GdkPixbuf* loadPng(std::string_view data, SizeCheck& check, bool& interlaced)
{
    PngReduction reduction;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw DesktopError(kUnreadable);
    }
    png_set_progressive_read_fn(png, &reduction, pngInfo, pngRow, nullptr);
    bool ok = feedPng(png, info, data);
    png_destroy_read_struct(&png, &info, nullptr);
    interlaced = reduction.interlaced;
    if (interlaced)
        return nullptr;
    // A file cut short keeps the rows it had; the rest stay white.
    if (!ok || !reduction.started)
        throw DesktopError(kUnreadable);
    reduction.flush();

    // The pixbuf takes the reduced pixels over rather than copying them.
    auto* pixels = new std::vector<std::uint8_t>(std::move(reduction.pixels));
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(
        pixels->data(), GDK_COLORSPACE_RGB, FALSE, 8, static_cast<int>(reduction.outWidth),
        static_cast<int>(reduction.outHeight), static_cast<int>(reduction.outWidth * 3),
        [](guchar*, gpointer data) { delete static_cast<std::vector<std::uint8_t>*>(data); }, pixels);
    if (!pixbuf) {
        delete pixels;
        throw DesktopError(kUnreadable);
    }
    if (reduction.dpi > 0)
        gdk_pixbuf_set_option(pixbuf, "x-dpi", std::to_string(reduction.dpi).c_str());
    check.originalLongest = static_cast<int>(std::max(reduction.width, reduction.height));
    return pixbuf;
}

// A grey picture gives the recogniser a third of the pixels to threshold, with
// the same information.
void toGreyIfNeutral(PosterImage& image)
{
    const std::uint8_t* rgb = image.pixels.data();
    std::size_t count = image.pixels.size() / 3;
    for (std::size_t i = 0; i < count; ++i) {
        if (rgb[3 * i] != rgb[3 * i + 1] || rgb[3 * i] != rgb[3 * i + 2])
            return;
    }
    for (std::size_t i = 0; i < count; ++i)
        image.pixels[i] = rgb[3 * i];
    image.pixels.resize(count);
    image.pixels.shrink_to_fit();
    image.channels = 1;
}

int recordedDpi(GdkPixbuf* pixbuf)
{
    const gchar* text = gdk_pixbuf_get_option(pixbuf, "x-dpi");
    if (!text)
        return 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return (end != text && value > 0 && value < 100000) ? static_cast<int>(value) : 0;
}

// The recorded density is that of the picture as stored, whatever size it
// is delivered at.
int densityAt(int dpi, int longest, int originalLongest)
{
    if (dpi <= 0 || originalLongest <= 0 || longest == originalLongest)
        return dpi;
    return std::max(1, static_cast<int>(std::lround(static_cast<double>(dpi) * longest / originalLongest)));
}

// A decoded PNG, or a JPEG still larger than the thumbnail once the decoder
// has reduced it: turned upright as its orientation option says, scaled
// down, packed.
PosterImage fromPixbuf(GdkPixbuf* pixbuf, int dpi, int originalLongest)
{
    // A new reference, rotated or flipped as the EXIF orientation says.
    ObjectRef upright(gdk_pixbuf_apply_embedded_orientation(pixbuf));
    if (!upright.object)
        throw DesktopError(kUnreadable);
    pixbuf = GDK_PIXBUF(upright.object);

    int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    int longest = std::max(width, height);
    ObjectRef scaled;
    if (longest > PosterImage::kLongestSide) {
        double factor = static_cast<double>(PosterImage::kLongestSide) / longest;
        int newWidth = std::clamp(static_cast<int>(std::lround(width * factor)), 1, PosterImage::kLongestSide);
        int newHeight = std::clamp(static_cast<int>(std::lround(height * factor)), 1, PosterImage::kLongestSide);
        scaled.reset(gdk_pixbuf_scale_simple(pixbuf, newWidth, newHeight, GDK_INTERP_BILINEAR));
        if (!scaled.object)
            throw DesktopError(kUnreadable);
        pixbuf = GDK_PIXBUF(scaled.object);
        width = newWidth;
        height = newHeight;
    }

    if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8)
        throw DesktopError(kUnreadable);
    int channels = gdk_pixbuf_get_n_channels(pixbuf);
    bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    if (channels != (alpha ? 4 : 3) || !pixels)
        throw DesktopError(kUnreadable);

    PosterImage image;
    image.width = width;
    image.height = height;
    image.dpi = densityAt(dpi, std::max(width, height), originalLongest);
    image.pixels.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const guint8* in = pixels + static_cast<std::size_t>(y) * rowstride;
        std::uint8_t* out = image.pixels.data() + static_cast<std::size_t>(y) * width * 3;
        if (!alpha) {
            std::memcpy(out, in, static_cast<std::size_t>(width) * 3);
            continue;
        }
        // Transparent areas read as white paper, not as black.
        for (int x = 0; x < width; ++x, in += 4, out += 3) {
            unsigned a = in[3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<std::uint8_t>((in[c] * a + 255 * (255 - a) + 127) / 255);
        }
    }
    toGreyIfNeutral(image);
    return image;
}

// A JPEG decoded by libjpeg itself in one pass (a progressive file is not
// redrawn after every scan as an incremental loader does), turned upright.
// Only a photo whose decoder-reduced size is still above the thumbnail goes
// on to gdk-pixbuf for the last step down.
PosterImage fromJpeg(std::string_view data)
{
    JpegPicture::Decoded picture
        = JpegPicture::decode(data, PosterImage::kLongestSide, PosterImage::kPixelLimit, kUnreadable);
    JpegPicture::applyOrientation(picture);
    if (std::max(picture.width, picture.height) > PosterImage::kLongestSide) {
        if (picture.channels == 1) {
            std::vector<std::uint8_t> rgb(picture.pixels.size() * 3);
            for (std::size_t i = 0; i < picture.pixels.size(); ++i)
                rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = picture.pixels[i];
            picture.pixels = std::move(rgb);
            picture.channels = 3;
        }
        // Borrows the pixels for the call; the result is a copy.
        ObjectRef wrapped(gdk_pixbuf_new_from_data(picture.pixels.data(), GDK_COLORSPACE_RGB, FALSE, 8, picture.width,
            picture.height, picture.width * 3, nullptr, nullptr));
        if (!wrapped.object)
            throw DesktopError(kUnreadable);
        return fromPixbuf(GDK_PIXBUF(wrapped.object), picture.dpi, picture.originalLongest);
    }
    PosterImage image;
    image.width = picture.width;
    image.height = picture.height;
    image.channels = picture.channels;
    image.dpi = densityAt(picture.dpi, std::max(picture.width, picture.height), picture.originalLongest);
    image.pixels = std::move(picture.pixels);
    if (image.channels == 3)
        toGreyIfNeutral(image);
    return image;
}

}

PosterImage PosterImage::decode(std::string_view data)
{
    if (isJpeg(data))
        return fromJpeg(data);
    if (!isPng(data))
        throw DesktopError(kUnreadable);
    SizeCheck check;
    bool interlaced = false;
    ObjectRef loaded(loadPng(data, check, interlaced));
    if (!loaded.object)
        loaded.reset(loadInterlacedPng(data, check));
    auto* pixbuf = GDK_PIXBUF(loaded.object);
    return fromPixbuf(pixbuf, recordedDpi(pixbuf), check.originalLongest);
}

}
