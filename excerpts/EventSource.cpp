#include "excerpts/EventSource.h"

#include "host/base/DesktopError.h"

namespace korvid::EventSource {

Json inspect(const std::filesystem::path&) { throw DesktopError("文件格式不支持。"); }
Json excerpt(std::string_view, const std::string&) { throw DesktopError("文件格式不支持。"); }

}
