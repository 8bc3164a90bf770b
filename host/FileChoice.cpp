#include "host/FileChoice.h"

#include "base/DesktopError.h"

namespace korvid {

Task<std::vector<std::filesystem::path>> chosenFiles(
    Executor& resume, std::function<void(std::function<void(FileChoice)>)> chooser)
{
    FileChoice choice = co_await fromCallback<FileChoice>(resume, std::move(chooser));
    if (!choice.failure.empty())
        throw DesktopError(choice.failure);
    co_return std::move(choice.files);
}

}
