#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace korvid {

// Replaces a file's content in one step that also survives a crash or a power
// loss: the bytes go to a temporary file in the same folder, are flushed to
// disk, the temporary file is renamed over the target, and the folder is
// flushed. A reader sees the old file or the new one, never a torn one.
// Failures throw DesktopError and leave the previous file untouched.
class AtomicFile {
public:
    static void write(const std::filesystem::path& target, std::string_view bytes);

    // Total time this process has spent in fsync for these writes, in
    // nanoseconds; lets a benchmark tell flushing apart from the rest.
    static std::uint64_t flushNanoseconds();
};

}
