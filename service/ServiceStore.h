#pragma once

#include "service/Database.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

namespace korvid {

struct SeedSize {
    int companies = 300;
    int contacts = 800;
    // The large desk of --large-desk, for figures on a full library.
    static SeedSize large() { return SeedSize {2000, 5000}; }
};

// The service's one database connection and the lock that serializes its
// use across the HTTP worker threads. Creates and seeds the file on first open.
class ServiceStore {
public:
    ServiceStore(const std::filesystem::path& folder, SeedSize seed);

    template <typename Work>
    auto locked(Work&& work)
    {
        std::lock_guard lock(mutex_);
        return work(database_);
    }

    static std::int64_t nowMs();
    static constexpr const char* kFileName = "korvid.sqlite3";

private:
    void createSchema();

    std::mutex mutex_;
    Database database_;
};

}

namespace korvid {

// "2024-05-01T08:30:00.123Z": UTC with milliseconds, the form "since" takes.
std::string formatMillis(std::int64_t unixMs);

}
