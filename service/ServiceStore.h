#pragma once

#include "service/Database.h"
#include "service/PasswordHash.h"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvid {

struct SeedSize {
    int companies = 300;
    int contacts = 800;
    // The large desk of --large-desk, for figures on a full library.
    static SeedSize large() { return SeedSize { 2000, 5000 }; }
};

// The service's one database connection and the lock that serializes its
// use across the HTTP worker threads. Creates and seeds the file on first open.
class ServiceStore {
public:
    // `accountCost` is what the seed accounts' passwords are hashed with.
    ServiceStore(const std::filesystem::path& folder, SeedSize seed, const PasswordCost& accountCost = {});

    template <typename Work> auto locked(Work&& work)
    {
        std::lock_guard lock(mutex_);
        return work(database_);
    }

    // Runs read-only work on a connection of its own, without the lock:
    // the write-ahead log gives it the data as of its first read, so long
    // lists are read while writers carry on. A few connections are kept;
    // more callers wait for one.
    template <typename Work> auto reading(Work&& work)
    {
        Reader reader(*this);
        return work(*reader.database);
    }

    static std::int64_t nowMs();
    static constexpr const char* kFileName = "korvid.sqlite3";

    static constexpr std::size_t kReaders = 4;

private:
    struct Reader {
        explicit Reader(ServiceStore& store);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        ServiceStore& store;
        std::unique_ptr<Database> database;
    };

    void createSchema();

    std::filesystem::path file_;
    std::mutex mutex_;
    Database database_;
    std::mutex readersMutex_;
    std::condition_variable readerFree_;
    std::vector<std::unique_ptr<Database>> idleReaders_;
    std::size_t openReaders_ = 0;
};

}

namespace korvid {

// "2024-05-01T08:30:00.123Z": UTC with milliseconds, the form "since" takes.
std::string formatMillis(std::int64_t unixMs);

}
