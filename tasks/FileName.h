#pragma once

#include <filesystem>
#include <string>

namespace korvid {

// The last path component as UTF-8 text for the page and the stored record;
// file names on Linux are bytes, and invalid sequences become U+FFFD.
std::string fileDisplayName(const std::filesystem::path& file);

// The text after the last "." of the last path component, lower-cased ASCII;
// empty when there is none.
std::string lowerExtension(const std::filesystem::path& file);

}
