#include "sales/SalesEndpoint.h"

#include "host/base/DesktopError.h"

namespace korvid {

SalesEndpoint::SalesEndpoint(const Json&) { throw DesktopError("不支持此销售操作。"); }
Json SalesEndpoint::directory(std::string_view, bool) { throw DesktopError("关系库数据格式异常，请重新读取。"); }

}
