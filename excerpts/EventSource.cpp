#include "excerpts/EventSource.h"

#include "excerpts/ExcerptText.h"
#include "excerpts/OfficeExcerpt.h"
#include "excerpts/PdfText.h"
#include "excerpts/PosterImage.h"
#include "excerpts/TextRecognizer.h"
#include "host/base/DesktopError.h"
#include "host/base/Digest.h"
#include "host/base/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace korvid::EventSource {

namespace {

constexpr const char* kTooLarge = "请选择 15 MiB 以内的活动资料。";
constexpr const char* kChanged = "文件已变化，请重新选择。";
constexpr const char* kUnsupported = "文件格式不支持。";
constexpr const char* kNotUtf8 = "请选用 UTF-8 文本。";

struct Reading {
    std::string text;
    std::string label;
};

// The part after the last "." of the last path component, lower-cased.
std::string extensionOf(std::string_view name)
{
    while (!name.empty() && name.back() == '/')
        name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return extension;
}

Reading readText(std::string_view data)
{
    if (!isValidUtf8(data))
        throw DesktopError(kNotUtf8);
    // Only the excerpt is kept, so the cut happens here rather than after a
    // copy of up to 15 MiB.
    return { graphemePrefix(data, kExcerptCharacters), "本机文本" };
}

Reading readPdf(std::string_view data)
{
    return { PdfText::read(data), "PDF 前六页文本层 · 最多 3000 字" };
}

Reading readImage(std::string_view data)
{
    return { TextRecognizer::recognize(PosterImage::decode(data)), "本机图片文字识别 · 最多 3000 字" };
}

Reading readOffice(std::string_view data, bool workbook)
{
    OfficeExcerpt::Excerpt office = OfficeExcerpt::read(data, workbook);
    return { std::move(office.text), std::move(office.label) };
}

Reading readByKind(std::string_view data, const std::string& extension)
{
    if (extension == "txt" || extension == "md")
        return readText(data);
    if (extension == "pdf")
        return readPdf(data);
    if (extension == "png" || extension == "jpg" || extension == "jpeg")
        return readImage(data);
    if (extension == "docx")
        return readOffice(data, false);
    if (extension == "xlsx")
        return readOffice(data, true);
    throw DesktopError(kUnsupported);
}

// A failed system call on the chosen file, as one sentence.
[[noreturn]] void throwFileError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw DesktopError("找不到所选的文件，请重新选择。");
    case EACCES:
    case EPERM:
        throw DesktopError("没有读取所选文件的权限。");
    case ENOMEM:
        throw DesktopError("内存不足，无法读取所选文件。");
    default:
        throw DesktopError("无法读取所选的文件，请重新选择。");
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_); // a failure to close a read-only file changes nothing
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads until `capacity` bytes or the end of the file.
std::size_t readUpTo(int fd, char* buffer, std::size_t capacity)
{
    std::size_t total = 0;
    while (total < capacity) {
        ssize_t got = ::read(fd, buffer + total, capacity - total);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwFileError(errno);
        }
        if (got == 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    return total;
}

std::string lastComponent(const std::filesystem::path& path)
{
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    auto slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

}

Json inspect(const std::filesystem::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throwFileError(errno);
    if (!S_ISREG(info.st_mode) || info.st_size <= 0 || static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes)
        throw DesktopError(kTooLarge);
    auto size = static_cast<std::size_t>(info.st_size);

    // Non-blocking, so that a regular file swapped for a pipe after the check
    // cannot stall the read.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        throwFileError(errno);

    // One byte more than the size checked: a file that grew shows itself.
    std::unique_ptr<char[]> buffer(new char[size + 1]);
    std::size_t got = readUpTo(file.get(), buffer.get(), size + 1);
    if (got == 0 || got != size)
        throw DesktopError(kChanged);
    return excerpt(std::string_view(buffer.get(), got), lastComponent(path));
}

Json excerpt(std::string_view data, const std::string& name)
{
    Reading reading = readByKind(data, extensionOf(name));
    Json record = Json::object();
    // A name or text that is not valid UTF-8 cannot travel in JSON; broken
    // bytes become U+FFFD rather than failing the whole reply.
    record["name"] = ExcerptText::validUtf8(name);
    record["digest"] = sha256Hex(data);
    record["excerpt"] = ExcerptText::validUtf8(graphemePrefix(reading.text, kExcerptCharacters));
    record["method"] = std::move(reading.label);
    return record;
}

}
