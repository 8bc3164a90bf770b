#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace korvid {

// A PNG or JPEG decoded for text recognition: upright (its EXIF orientation
// applied), scaled down so that the longer side is at most 2800 pixels (never
// enlarged), flattened onto white, packed 8-bit RGB.
struct PosterImage {
    static constexpr int kLongestSide = 2800;
    // Larger images are refused from their header, before any pixels are
    // allocated: a few kilobytes can claim gigabytes of picture. An image
    // far above the thumbnail size is reduced while it is decoded (a JPEG by
    // its decoder, a PNG by averaging blocks of rows as they arrive), so the
    // whole picture is never held; an interlaced PNG is the exception.
    static constexpr std::uint64_t kPixelLimit = 100'000'000;

    int width = 0;
    int height = 0;
    int channels = 3;                 // 1 (grey) or 3 (RGB)
    std::vector<std::uint8_t> pixels; // width * channels bytes per row, no padding
    // Pixels per inch after scaling, when the file recorded its density;
    // 0 when it did not.
    int dpi = 0;

    // Throws DesktopError "无法读取这张海报。" when the bytes are not a
    // decodable PNG or JPEG, or the image is too large.
    static PosterImage decode(std::string_view data);
};

}
