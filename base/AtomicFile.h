#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
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

    // The name of the file a temporary file of `write` was meant to replace,
    // when `name` is exactly such a temporary file's name: "." + target +
    // ".tmp-" + a lower-case UUID. A writer killed before its rename leaves
    // one behind; whoever holds the folder's lock may remove it.
    static std::optional<std::string_view> temporaryTarget(std::string_view name);

    // Total time this process has spent in fsync for these writes, in
    // nanoseconds; lets a benchmark tell flushing apart from the rest.
    static std::uint64_t flushNanoseconds();
};

}
