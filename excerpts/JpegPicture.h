#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace korvid::JpegPicture {

// A JPEG as libjpeg decodes it in one pass, before it is turned upright.
struct Decoded {
    int width = 0;
    int height = 0;
    int channels = 3;                 // 1 for a grey file, otherwise RGB
    std::vector<std::uint8_t> pixels; // width * channels bytes per row
    // The longer side of the picture as stored, before any reduction.
    int originalLongest = 0;
    // Pixels per inch of the stored picture from its JFIF header, 0 if none.
    int dpi = 0;
    // The EXIF orientation, 1 (upright) to 8; 1 when absent or invalid.
    int orientation = 1;
};

// Decodes `data` at the smallest of 1/1, 1/2, 1/4 and 1/8 of its size whose
// longer side still reaches `longestWanted`, so that a huge photo is reduced
// by the decoder itself. A picture of more than `pixelLimit` pixels is
// refused from its header, before any pixel memory is set aside. A file cut
// short keeps what was decoded (libjpeg fills the rest in grey). Throws
// DesktopError with `unreadable` when the bytes are not a decodable JPEG.
Decoded decode(std::string_view data, int longestWanted, std::uint64_t pixelLimit, const char* unreadable);

// The EXIF orientation in the payload of an APP1 segment (from "Exif\0\0"
// on), or 0 when the segment holds no valid one.
int exifOrientation(std::string_view app1);

// The picture turned and mirrored as an EXIF orientation says, so that it
// reads upright. Orientations outside 2..8 leave it as it is.
void applyOrientation(Decoded& picture);

}
