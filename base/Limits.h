#pragma once

#include <cstddef>

namespace korvid {

// The largest file a person may pick for an inspection or a task attachment:
// 15 MiB. Both paths read the whole file into memory, and the page's messages
// name this figure, so it is one number for every reader.
inline constexpr std::size_t kPickedFileLimit = 15 * 1024 * 1024;

// User-perceived characters kept in a document's excerpt. The readers stop
// reading soon after it and the labels the page shows name this figure.
inline constexpr std::size_t kExcerptCharacters = 3000;

}
