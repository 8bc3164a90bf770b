#include "base/FileError.h"

#include "base/DesktopError.h"

#include <cerrno>

namespace korvid {

std::string systemReason(int error)
{
    switch (error) {
    case ENOENT:
        return "文件或文件夹不存在";
    case EACCES:
    case EPERM:
        return "没有访问权限";
    case EISDIR:
        return "这是一个文件夹，不是文件";
    case ENOTDIR:
        return "路径中有一项不是文件夹";
    case ENOSPC:
    case EDQUOT:
        return "磁盘空间不足";
    case EROFS:
        return "文件系统只读";
    case EIO:
        return "磁盘读写出错";
    case ENAMETOOLONG:
        return "路径过长";
    case ELOOP:
        return "符号链接层级过多";
    case EMFILE:
    case ENFILE:
        return "打开的文件过多";
    case ENOMEM:
        return "内存不足";
    case EEXIST:
        return "已有同名项目";
    case EBUSY:
        return "文件正被占用";
    case EXDEV:
        return "不能跨磁盘移动文件";
    case EFBIG:
        return "文件过大";
    default:
        return "系统错误（代码 " + std::to_string(error) + "）";
    }
}

void throwFileError(std::string_view action, int error)
{
    throw DesktopError(std::string(action) + "失败：" + systemReason(error) + "。");
}

}
