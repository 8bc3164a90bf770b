// Two real processes on one owner folder, and a real SIGKILL in the middle of
// many writes.

#include "tasks/TaskWorkspace.h"

#include "tasks/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvid {
namespace {

using testing::TempFolder;

const std::string kOwner = "shared-account";

std::vector<std::string> temporaryFiles(const std::filesystem::path& folder)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

// A child running workspace_child, its standard output read through a pipe.
class Child {
public:
    explicit Child(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), KORVID_TASKS_CHILD);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        int result = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        output_ = pipeFds[0];
        if (result != 0)
            throw std::runtime_error("spawn");
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_);
    }

    std::string readLine()
    {
        std::string line;
        char c;
        while (::read(output_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    bool running()
    {
        int status;
        return ::waitpid(pid_, &status, WNOHANG) == 0 || (finish(status), false);
    }
    int wait()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        finish(status);
        return status_;
    }
    void kill() { ::kill(pid_, SIGKILL); }

private:
    void finish(int status)
    {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
};

TEST(TwoProcessTest, CallsWaitForTheOwnerLock)
{
    TempFolder temp;
    TaskWorkspace workspace(temp / "root");
    workspace.open(kOwner);
    auto lockPath = temp / "root" / TaskWorkspace::ownerKey(kOwner) / ".lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    Child child({ "call", (temp / "root").string(), kOwner, "projectCreate",
        R"({"id":"00000000-0000-4000-8000-000000000001","name":"并发"})" });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(child.running()) << "the child must wait while another process holds the lock";
    EXPECT_FALSE(std::filesystem::exists(temp / "root" / TaskWorkspace::ownerKey(kOwner) / "projects.json"));

    ::flock(lock, LOCK_UN);
    ::close(lock);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(workspace.open(kOwner)["projects"].size(), 1u);

    // A different owner never waits for this one.
    lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    Child other({ "call", (temp / "root").string(), "someone-else", "workspaceOpen", "{}" });
    EXPECT_EQ(other.wait(), 0);
    ::close(lock);
}

TEST(TwoProcessTest, RevisionRuleStopsLostUpdates)
{
    TempFolder temp;
    const std::string id = "00000000-0000-4000-8000-0000000000a1";
    const int each = 60;
    Child a({ "append", (temp / "root").string(), kOwner, id, std::to_string(each), "a" });
    Child b({ "append", (temp / "root").string(), kOwner, id, std::to_string(each), "b" });
    int conflicts = std::stoi(a.readLine()) + std::stoi(b.readLine());
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);

    TaskWorkspace workspace(temp / "root");
    Json record = workspace.open(kOwner)["records"][0];
    std::string body = record["body"];
    // Every successful save survives: no save overwrote another's.
    EXPECT_EQ(body.size(), 2u * each);
    EXPECT_EQ(std::count(body.begin(), body.end(), 'a'), each);
    EXPECT_EQ(record["revision"], 2 * each);
    RecordProperty("conflicts", conflicts);
}

TEST(TwoProcessTest, KilledWriterLeavesOnlyDecodableFiles)
{
    TempFolder temp;
    for (int round = 0; round < 3; ++round) {
        Child churn({ "churn", (temp / "root").string(), kOwner });
        ASSERT_EQ(churn.readLine(), "ready");
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * round));
        churn.kill();
        EXPECT_EQ(churn.wait(), 128 + SIGKILL);

        TaskWorkspace workspace(temp / "root");
        Json listing = workspace.open(kOwner);
        EXPECT_EQ(listing["records"].size(), 4u * (round + 1));
        EXPECT_GE(listing["projects"].size(), 1u);
        // Whatever temporary file the killed writer left is gone once the
        // folder has been locked again.
        EXPECT_EQ(temporaryFiles(temp / "root" / TaskWorkspace::ownerKey(kOwner)), std::vector<std::string> {});
    }
}

TEST(TwoProcessTest, LeftoverTemporaryFilesOfOursAndOnlyThoseAreRemovedUnderTheLock)
{
    TempFolder temp;
    TaskWorkspace workspace(temp / "root");
    workspace.open(kOwner);
    auto folder = temp / "root" / TaskWorkspace::ownerKey(kOwner);
    ASSERT_TRUE(std::filesystem::is_directory(folder));

    const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
    const std::string task = "task-7c9e6679-7425-40de-944b-e07fc1f90ae7.json";
    const std::vector<std::string> ours { ".projects.json.tmp-" + uuid, "." + task + ".tmp-" + uuid };
    const std::vector<std::string> others {
        ".notes.txt.tmp-" + uuid,                                  // not a file of the store
        ".projects.json.tmp-0F8FAD5B-D9CB-469F-A165-70867728950E", // not our spelling
        ".projects.json.tmp-" + uuid + ".bak",
        ".projects.json.tmp-not-a-uuid",
        "projects.json.tmp-" + uuid, // no leading dot
        ".lock.tmp-" + uuid,
    };
    for (const auto& name : ours)
        testing::writeFile(folder / name, "{\"half\":");
    for (const auto& name : others)
        testing::writeFile(folder / name, "someone else's");
    // Our naming, but not a regular file: a folder, and a link whose target
    // must survive.
    const std::string folderName = ".task-00000000-0000-4000-8000-000000000000.json.tmp-" + uuid;
    std::filesystem::create_directory(folder / folderName);
    testing::writeFile(temp / "target.txt", "kept");
    const std::string linkName = ".projects.json.tmp-11111111-2222-4333-8444-555555555555";
    std::filesystem::create_symlink(temp / "target.txt", folder / linkName);

    // The lock is taken by any call.
    Json listing = workspace.open(kOwner);
    EXPECT_EQ(listing["records"].size(), 0u);
    for (const auto& name : ours)
        EXPECT_FALSE(std::filesystem::exists(folder / name)) << name;
    for (const auto& name : others)
        EXPECT_TRUE(std::filesystem::exists(folder / name)) << name;
    EXPECT_TRUE(std::filesystem::is_directory(folder / folderName));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / linkName));
    EXPECT_TRUE(std::filesystem::exists(temp / "target.txt"));
}

}
}
