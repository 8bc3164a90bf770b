#include "excerpts/OfficeExcerpt.h"

#include "host/base/DesktopError.h"

namespace korvid::OfficeExcerpt {

Excerpt read(std::string_view, bool) { throw DesktopError("Office 文档无法读取，请检查文件或导出文字摘录。"); }

}
