#pragma once

#include "host/Async.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// What a file chooser answers: the chosen files in order (none when the user
// cancelled), or the sentence saying why the choice cannot be used.
struct FileChoice {
    std::vector<std::filesystem::path> files;
    std::string failure;

    FileChoice() = default;
    FileChoice(std::nullopt_t) { }
    FileChoice(std::vector<std::filesystem::path> chosen)
        : files(std::move(chosen))
    {
    }
    FileChoice(std::optional<std::filesystem::path> chosen)
    {
        if (chosen)
            files.push_back(std::move(*chosen));
    }
    FileChoice(std::filesystem::path chosen)
        : files { std::move(chosen) }
    {
    }
    static FileChoice failed(std::string sentence)
    {
        FileChoice choice;
        choice.failure = std::move(sentence);
        return choice;
    }
};

// Opens a chooser and awaits its answer, resuming on `resume`: the chosen
// files, none when the user cancelled; a failure is thrown as its sentence.
Task<std::vector<std::filesystem::path>> chosenFiles(
    Executor& resume, std::function<void(std::function<void(FileChoice)>)> chooser);

}
