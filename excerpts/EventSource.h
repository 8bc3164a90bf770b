#pragma once

#include "base/Json.h"
#include "base/Limits.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Turns one file the user picked (material about an event, a poster, a Word
// or Excel document) into a short text excerpt for the page.
//
// The excerpt record is a JSON object of exactly four strings:
//   "name"    the file name as given
//   "digest"  SHA-256 of all the bytes, 64 lower-case hexadecimal digits
//   "excerpt" the text, cut to its first 3000 user-perceived characters
//   "method"  the Chinese label of the reader that produced the text
//
// Both operations block (file reading, PDF text, text recognition) and may run
// on any thread at once; neither keeps state between calls. Failures are
// DesktopError with a Chinese sentence.
namespace korvid::EventSource {

// The largest file an inspection accepts: 15 MiB.
inline constexpr std::uint64_t kMaxFileBytes = kPickedFileLimit;

// Reads the regular file at `path` (1 byte to 15 MiB) and returns its record,
// named after the path's last component.
Json inspect(const std::filesystem::path& path);

// The record of bytes already in memory. `name` decides the reader by its
// extension alone (the content is never sniffed) and is returned as "name".
Json excerpt(std::string_view data, const std::string& name);

}
