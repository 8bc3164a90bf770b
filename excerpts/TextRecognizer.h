#pragma once

#include "excerpts/PosterImage.h"

#include <string>

// On-device recognition of Simplified Chinese and English printed text.
namespace korvid::TextRecognizer {

// The recognised lines in the engine's order, joined with "\n"; an image
// without text gives an empty string. Each thread keeps one engine with the
// language data loaded, so only its first call pays for loading it. Throws
// DesktopError when the engine or its language data is unavailable, or
// recognition fails.
std::string recognize(const PosterImage& image);

}
