#include "base/DesktopError.h"

#include <filesystem>
#include <new>
#include <nlohmann/json.hpp>
#include <system_error>

namespace korvid {

std::string describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const DesktopError& e) {
        return e.message;
    } catch (const nlohmann::json::exception&) {
        return "数据格式异常，无法读取。";
    } catch (const std::filesystem::filesystem_error&) {
        return "无法读写本机文件，请检查文件是否存在以及访问权限。";
    } catch (const std::bad_alloc&) {
        return "内存不足，未能完成操作。";
    } catch (const std::system_error&) {
        return "系统操作失败，请稍后重试。";
    } catch (...) {
        return "操作未能完成，请稍后重试。";
    }
}

}
