#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>

namespace korvid {

// Reading a file a person picked (an inspection, a task attachment): first its
// size from the path, then the file read whole through one descriptor. Each
// caller words the failures for its own screen, so they come back as the step
// that failed and the system's error rather than as sentences.
struct PickedFileError : std::exception {
    enum class Step {
        examine,    // the path could not be examined (`error` says why)
        notAllowed, // not a regular file, or larger than the limit
        open,
        read,
    };
    PickedFileError(Step step, int error)
        : step(step)
        , error(error)
    {
    }
    const char* what() const noexcept override { return "picked file"; }
    Step step;
    int error;
};

// The size of the regular file at `path`, at most `limit` bytes.
std::uint64_t pickedFileSize(const std::filesystem::path& path, std::uint64_t limit);

struct PickedFile {
    std::string bytes;
    // The identity of the file that was read, which may no longer be the one
    // at the path by the time it is used.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Reads at most `cap` bytes of the regular file at `path`. Opened without
// blocking and checked again once open, so a file swapped for a pipe after its
// size was checked is refused (Step::notAllowed) rather than waited on; the
// caller compares what came with the size it expected.
PickedFile readPickedFile(const std::filesystem::path& path, std::size_t cap);

}
