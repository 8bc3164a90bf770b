#include "excerpts/PosterImage.h"

#include "host/base/DesktopError.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gdk-pixbuf/gdk-pixbuf.h>

namespace korvid {

namespace {

constexpr const char* kUnreadable = "无法读取这张海报。";

struct ObjectRef {
    gpointer object = nullptr;
    explicit ObjectRef(gpointer o = nullptr) : object(o) {}
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

// The loader for what the bytes really are. Only PNG and JPEG are decoded,
// whatever the name says, so no other image module sees user files.
const char* loaderType(std::string_view data)
{
    if (data.starts_with("\x89PNG\r\n\x1a\n"))
        return "png";
    if (data.starts_with("\xFF\xD8\xFF"))
        return "jpeg";
    return nullptr;
}

struct SizeCheck {
    bool jpeg = false;
    bool tooLarge = false;
    int originalLongest = 0;
};

int ceilingDivide(int value, int divisor) { return value / divisor + (value % divisor != 0); }

// Called once the header gives the size, before the decoder allocates any
// pixels. What is set here decides what it allocates.
void sizePrepared(GdkPixbufLoader* loader, gint width, gint height, gpointer data)
{
    auto* check = static_cast<SizeCheck*>(data);
    if (width <= 0 || height <= 0
        || static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > PosterImage::kPixelLimit) {
        check->tooLarge = true;
        // A zero size makes the PNG and JPEG decoders stop with an error
        // instead of allocating the picture the header claims.
        gdk_pixbuf_loader_set_size(loader, 0, 0);
        return;
    }
    check->originalLongest = std::max(width, height);
    if (!check->jpeg)
        return;
    // The JPEG decoder can decode at 1/2, 1/4 or 1/8 of the size at no cost.
    // Ask for the smallest of those still at least as large as the thumbnail,
    // and exactly the size it produces, so that the loader never scales the
    // whole picture itself; the last step down is ours.
    int denominator = 1;
    while (denominator < 8 && ceilingDivide(check->originalLongest, denominator * 2) >= PosterImage::kLongestSide)
        denominator *= 2;
    if (denominator > 1)
        gdk_pixbuf_loader_set_size(loader, ceilingDivide(width, denominator), ceilingDivide(height, denominator));
}

// A truncated file decodes only partly, and the loader does not clear the
// rows it never reaches; they read as white paper instead of stale memory.
void areaPrepared(GdkPixbufLoader* loader, gpointer)
{
    if (GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader))
        gdk_pixbuf_fill(pixbuf, 0xFFFFFFFF);
}

GdkPixbuf* load(std::string_view data, SizeCheck& check)
{
    const char* type = loaderType(data);
    if (!type)
        throw DesktopError(kUnreadable);
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, &error);
    if (!loader) {
        g_clear_error(&error);
        throw DesktopError(kUnreadable);
    }
    ObjectRef loaderRef(loader);
    check.jpeg = std::strcmp(type, "jpeg") == 0;
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

}

PosterImage PosterImage::decode(std::string_view data)
{
    SizeCheck check;
    ObjectRef loaded(load(data, check));
    auto* pixbuf = GDK_PIXBUF(loaded.object);
    int dpi = recordedDpi(pixbuf);

    // A new reference, rotated or flipped as the EXIF orientation says.
    ObjectRef upright(gdk_pixbuf_apply_embedded_orientation(pixbuf));
    if (!upright.object)
        throw DesktopError(kUnreadable);
    pixbuf = GDK_PIXBUF(upright.object);

    int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    int longest = std::max(width, height);
    ObjectRef scaled;
    if (longest > kLongestSide) {
        double factor = static_cast<double>(kLongestSide) / longest;
        int newWidth = std::clamp(static_cast<int>(std::lround(width * factor)), 1, kLongestSide);
        int newHeight = std::clamp(static_cast<int>(std::lround(height * factor)), 1, kLongestSide);
        scaled.reset(gdk_pixbuf_scale_simple(pixbuf, newWidth, newHeight, GDK_INTERP_BILINEAR));
        if (!scaled.object)
            throw DesktopError(kUnreadable);
        pixbuf = GDK_PIXBUF(scaled.object);
        width = newWidth;
        height = newHeight;
    }
    // The recorded density is that of the picture as stored, whatever size
    // the decoder delivered it at.
    if (dpi > 0 && check.originalLongest != std::max(width, height))
        dpi = std::max(1, static_cast<int>(std::lround(static_cast<double>(dpi) * std::max(width, height) / check.originalLongest)));

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
    image.dpi = dpi;
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

}
