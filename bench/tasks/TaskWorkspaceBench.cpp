// "workspaceOpen" over an owner with 1,000 task files of 3 attachments each,
// beside merely reading those files (its floor), and "taskSave" with its durable atomic write, reporting the share of
// the time spent flushing to disk.

#include "base/Digest.h"
#include "base/Uuid.h"
#include "base/AtomicFile.h"
#include "tasks/FileRead.h"
#include "tasks/StoreCoding.h"
#include "tasks/TaskWorkspace.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <filesystem>
#include <fstream>
#include <map>

namespace korvid {
namespace {

const std::string kOwner = "bench-account";

std::filesystem::path scratchRoot(const std::string& name)
{
    const char* base = std::getenv("KORVID_BENCH_DIR");
    auto root = std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string())
        / ("korvid-tasks-bench-" + name);
    std::filesystem::remove_all(root);
    return root;
}

std::string repeat(const std::string& unit, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += unit;
    return text;
}

// Task files as the store writes them. `excerptCharacters` 0 gives three
// plain-text attachments; otherwise three documents with excerpts of that many
// Chinese characters each (3000 is the readers' cap).
std::filesystem::path populate(std::size_t excerptCharacters)
{
    auto root = scratchRoot("open-" + std::to_string(excerptCharacters));
    TaskWorkspace workspace(root);
    workspace.open(kOwner);
    auto folder = root / TaskWorkspace::ownerKey(kOwner);
    const std::string excerpt = repeat("销售线索摘录", excerptCharacters / 6);
    for (int i = 0; i < 1000; ++i) {
        TaskWorkspace::Record record;
        record.id = Uuid::random().string();
        record.title = "第 " + std::to_string(i) + " 项任务：客户拜访准备";
        record.body = repeat("整理拜访要点与报价依据。", 20);
        record.skill = "销售问答";
        for (int k = 0; k < 3; ++k) {
            TaskWorkspace::Attachment attachment;
            attachment.name = "资料-" + std::to_string(k) + (excerptCharacters ? ".pdf" : ".txt");
            attachment.digest = sha256Hex(record.id + std::to_string(k));
            attachment.bookmark = "KVBM\x01" + std::string(16, '\x07') + "/home/user/文档/客户资料/" + attachment.name;
            if (excerptCharacters) {
                attachment.excerpt = excerpt;
                attachment.method = "PDF 前六页文本层 · 最多 3000 字";
            }
            record.attachments.push_back(attachment);
        }
        record.revision = 3;
        record.updatedAt = 764669109.0 + i;
        std::ofstream(folder / ("task-" + record.id + ".json")) << StoreCoding::encodeRecord(record);
    }
    return root;
}

// Benchmark functions run several times while the library sizes the
// iteration count; build each folder once.
const std::filesystem::path& populated(std::size_t excerptCharacters)
{
    static std::map<std::size_t, std::filesystem::path> roots;
    auto it = roots.find(excerptCharacters);
    if (it == roots.end())
        it = roots.emplace(excerptCharacters, populate(excerptCharacters)).first;
    return it->second;
}

// The folder benchmarks run at each excerpt length, in milliseconds of wall
// time.
void atExcerptLengths(benchmark::internal::Benchmark* bench)
{
    bench->Arg(0)->Arg(300)->Arg(3000)->ArgName("excerptChars")->Unit(benchmark::kMillisecond)->UseRealTime();
}

void workspaceOpen(benchmark::State& state)
{
    TaskWorkspace workspace(populated(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        Json reply = workspace.open(kOwner);
        if (reply["records"].size() != 1000)
            state.SkipWithError("wrong record count");
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(workspaceOpen)->Apply(atExcerptLengths);

// The floor under "workspaceOpen": only listing the folder and reading every
// task file into memory, nothing decoded. The peer for the rows above.
void readTaskFiles(benchmark::State& state)
{
    auto folder = populated(static_cast<std::size_t>(state.range(0))) / TaskWorkspace::ownerKey(kOwner);
    std::string bytes;
    std::size_t length = 0;
    for (auto _ : state) {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
        std::size_t total = 0, files = 0;
        while (const dirent* entry = ::readdir(listing.get())) {
            std::string name = entry->d_name;
            if (!name.starts_with("task-") || !readFileIfExistsAt(::dirfd(listing.get()), name, bytes, length))
                continue;
            total += length;
            ++files;
        }
        if (files != 1000)
            state.SkipWithError("wrong file count");
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(readTaskFiles)->Apply(atExcerptLengths);

void taskSave(benchmark::State& state)
{
    auto root = scratchRoot("save");
    TaskWorkspace workspace(root);
    const std::string id = Uuid::random().string();
    Json payload { { "id", id }, { "revision", 0 }, { "title", "客户拜访准备" },
        { "body", repeat("整理拜访要点与报价依据。", 40) }, { "skill", "" }, { "project", "" } };
    std::int64_t revision = 0;
    std::uint64_t flushBefore = AtomicFile::flushNanoseconds();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        payload["revision"] = revision++;
        benchmark::DoNotOptimize(workspace.save(kOwner, payload));
    }
    double total = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    state.counters["flushShare"] = static_cast<double>(AtomicFile::flushNanoseconds() - flushBefore) / total;
    std::filesystem::remove_all(root);
}
BENCHMARK(taskSave)->Unit(benchmark::kMillisecond)->UseRealTime();

}
}

BENCHMARK_MAIN();
