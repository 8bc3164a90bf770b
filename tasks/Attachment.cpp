#include "tasks/TaskWorkspace.h"

#include "base/DesktopError.h"
#include "base/Digest.h"
#include "base/Text.h"
#include "tasks/Bookmark.h"
#include "base/FileError.h"
#include "base/PickedFile.h"
#include "base/ReadableKinds.h"
#include "tasks/FileName.h"
#include "tasks/FileRead.h"

#if KORVID_HAVE_EXCERPTS
#include "excerpts/EventSource.h"
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace korvid {

namespace {

const std::string kNotUtf8Text = "需要 UTF-8 文本且大小不超过 15 MiB";
const std::string kOverBudget = "本次附件摘录合计限 32 KiB，请精简资料。";

Json documentExcerpt(const std::string& bytes, const std::string& name)
{
#if KORVID_HAVE_EXCERPTS
    return EventSource::excerpt(bytes, name);
#else
    throw DesktopError("文件格式不支持。");
#endif
}

}

TaskAttachment TaskAttachment::inspect(const std::filesystem::path& file)
{
    const std::string name = fileDisplayName(file);
    const std::string extension = lowerExtension(file);
    const ReadableKind* kind = readableKind(extension);
    if (!kind)
        throw DesktopError("请选择文本、PDF、Word、Excel 或图片。");
    const bool textKind = kind->reader == KindReader::text;

    PickedFile picked;
    try {
        pickedFileSize(file, TaskWorkspace::kFileLimit);
        picked = readPickedFile(file, TaskWorkspace::kFileLimit + 1);
    } catch (const PickedFileError& failure) {
        switch (failure.step) {
        case PickedFileError::Step::examine:
            throwFileError("读取「" + name + "」的文件信息", failure.error);
        case PickedFileError::Step::notAllowed:
            throw DesktopError("需要 15 MiB 以内的普通文件");
        case PickedFileError::Step::open:
            throwFileError("打开「" + name + "」", failure.error);
        case PickedFileError::Step::read:
            throwFileError("读取「" + name + "」", failure.error);
        }
    }
    const std::string& bytes = picked.bytes;
    if (bytes.size() > TaskWorkspace::kFileLimit)
        throw DesktopError(kNotUtf8Text);
    if (textKind && (bytes.find('\0') != std::string::npos || !isValidUtf8(bytes)))
        throw DesktopError(kNotUtf8Text);

    TaskAttachment attachment;
    attachment.name = name;
    attachment.digest = sha256Hex(bytes);
    if (!textKind) {
        Json record = documentExcerpt(bytes, file.filename().string());
        std::string excerpt = trimWhitespace(stringAt(record, "excerpt").value_or(""));
        if (excerpt.empty())
            throw DesktopError("未读到可用文字，请选用文字版资料。");
        attachment.excerpt = std::move(excerpt);
        attachment.method = stringAt(record, "method");
    }
    attachment.bookmark = Bookmark::create(file, picked.device, picked.inode);
    return attachment;
}

std::string TaskAttachment::originalData(std::size_t limit) const
{
    auto fd = Bookmark::open(bookmark);
    if (!fd)
        throw DesktopError("无法读取附件「" + name + "」，请重新选择资料。");
    int error = 0;
    std::string bytes = readUpTo(fd->get(), limit == SIZE_MAX ? limit : limit + 1, error);
    if (error != 0)
        throwFileError("读取附件「" + name + "」", error);
    if (bytes.size() > limit)
        throw DesktopError("文件或本次附件摘录超过大小限制，请选择相关摘录。");
    if (sha256Hex(bytes) != digest)
        throw DesktopError("附件「" + name + "」自确认后已改变，请重新选择资料。");
    return bytes;
}

std::string TaskAttachment::executionText(std::size_t remaining) const
{
    std::string text;
    if (excerpt) {
        originalData(TaskWorkspace::kFileLimit);
        text = *excerpt;
    } else {
        text = originalData(remaining);
        if (!isValidUtf8(text))
            throw DesktopError(kOverBudget);
    }
    if (text.size() > remaining)
        throw DesktopError(kOverBudget);
    return text;
}

void TaskAttachment::validate() const
{
    try {
        originalData(TaskWorkspace::kFileLimit);
    } catch (...) {
        throw DesktopError("请返回编辑，移除或重新选择附件「" + name + "」。");
    }
}

}
