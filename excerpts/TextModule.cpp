// korvid-excerpt-text.so: ICU's character segmenter for korvid-excerpt, which
// loads it only when a cut needs it (see base/GraphemeBreaks.h).
#include "base/GraphemeBreaks.h"

extern "C" __attribute__((visibility("default"))) bool korvid_text_grapheme_breaks(
    const char* utf8, std::size_t length, bool (*visit)(void* context, std::size_t end), void* context)
{
    return korvid_grapheme_breaks(utf8, length, visit, context);
}
