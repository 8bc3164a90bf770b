// Follow-up append cost of a korvid-service binary (any build of it: the
// tool drives the program over loopback HTTP and only prepares its database
// file), with the list already 10, 1,000 and 10,000 items long; how long a
// small request waits beside a stream of appends to the longest list; and
// 200 clients appending to one opportunity at once.
//
//   korvid_service_append --binary PATH --label TEXT [--appends N] [--clients N] [--each N]
//
// Every client sets TCP_NODELAY: a request's headers and body go out in two
// writes, and otherwise the body waits for the server's delayed ACK (40 ms).
//
// Prints table rows: label | measure | median ms | p99 ms | failed | note.
#include "bench/service/ServiceTool.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using korvid::bench::Service;
using korvid::bench::signIn;

struct Options {
    std::string binary;
    std::string label = "service";
    int appends = 40;
    int clients = 200;
    int each = 5;
};

// The seed's opportunities (ids of SeedData's Opportunity kind).
std::string opportunityId(int n)
{
    char id[40];
    std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012x", 4, n);
    return id;
}

httplib::Headers headers(const std::string& token)
{
    return { { "Authorization", "Bearer " + token }, { "x-korvid-privacy-version", "2" } };
}

void exec(sqlite3* db, const std::string& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : "sqlite";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

// Gives the first opportunities follow-up lists of the given lengths, in the
// form every version of the service reads: the list inside the record's
// document (a version that keeps lists as rows moves them on its next start).
void prepare(const std::filesystem::path& file, const std::vector<int>& lengths)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("cannot open " + file.string());
    exec(db, "BEGIN");
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::string id = opportunityId(static_cast<int>(i) + 1);
        sqlite3_stmt* read = nullptr;
        sqlite3_prepare_v2(db, "SELECT body FROM documents WHERE kind = 'opportunity' AND id = ?", -1, &read, nullptr);
        sqlite3_bind_text(read, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(read) != SQLITE_ROW)
            throw std::runtime_error("no opportunity " + id);
        Json record = Json::parse(reinterpret_cast<const char*>(sqlite3_column_text(read, 0)));
        sqlite3_finalize(read);
        Json followups = Json::array();
        for (int n = 0; n < lengths[i]; ++n) {
            char itemId[40];
            std::snprintf(itemId, sizeof itemId, "%08x-0000-4000-8000-%012x", 0xbe, n + 1);
            followups.push_back(Json { { "id", itemId }, { "at", "2026-03-01T09:00:00.000Z" },
                { "note", "电话沟通了预算和上线时间，客户希望下周安排演示。第 " + std::to_string(n + 1) + " 次。" },
                { "by", "林晓" } });
        }
        record["followups"] = std::move(followups);
        sqlite3_stmt* write = nullptr;
        sqlite3_prepare_v2(
            db, "UPDATE documents SET body = ? WHERE kind = 'opportunity' AND id = ?", -1, &write, nullptr);
        std::string body = record.dump();
        sqlite3_bind_text(write, 1, body.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(write, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(write);
        sqlite3_finalize(write);
    }
    // A version with rows drops the prepared records' own and moves the lists
    // in again, once, when it next opens the file.
    bool rows = false;
    sqlite3_stmt* table = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name = 'document_items'", -1, &table, nullptr);
    rows = sqlite3_step(table) == SQLITE_ROW;
    sqlite3_finalize(table);
    if (rows) {
        for (std::size_t i = 0; i < lengths.size(); ++i)
            exec(db,
                "DELETE FROM document_items WHERE kind = 'opportunity' AND list = 'followups' AND id = '"
                    + opportunityId(static_cast<int>(i) + 1) + "'");
        exec(db, "DELETE FROM meta WHERE key = 'listsAsRows'");
    }
    exec(db, "COMMIT");
    sqlite3_close(db);
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t at = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

bool append(httplib::Client& client, const std::string& token, const std::string& id, int n)
{
    std::string body = Json { { "note", "压测跟进 " + std::to_string(n) } }.dump();
    auto reply = client.Patch("/v1/want/opportunities/" + id + "/followup", headers(token), body, "application/json");
    return reply && reply->status == 200;
}

void row(const Options& options, const std::string& measure, const std::vector<double>& times, int failed,
    const std::string& note)
{
    std::printf("%s | %s | %.2f | %.2f | %d | %s\n", options.label.c_str(), measure.c_str(), quantile(times, 0.5),
        quantile(times, 0.99), failed, note.c_str());
    std::fflush(stdout);
}

void run(const Options& options)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "korvid-append-XXXXXX").string();
    std::filesystem::path folder = mkdtemp(pattern.data());
    const std::vector<int> lengths { 10, 1000, 10000 };
    try {
        {
            Service seeding(options.binary, folder);
        }
        prepare(folder / "korvid.sqlite3", lengths);
        Service service(options.binary, folder);
        std::string token = signIn(service.port());

        // One client, one append at a time, at each length.
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            httplib::Client client("127.0.0.1", service.port());
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            client.set_read_timeout(120);
            std::string id = opportunityId(static_cast<int>(i) + 1);
            int failed = 0;
            for (int w = 0; w < 3; ++w)
                failed += !append(client, token, id, w);
            std::vector<double> times;
            for (int n = 0; n < options.appends; ++n) {
                auto start = Clock::now();
                failed += !append(client, token, id, n);
                times.push_back(ms(Clock::now() - start));
            }
            row(options, "append at " + std::to_string(lengths[i]), times, failed,
                std::to_string(options.appends) + " appends, whole record in each reply");
        }

        // GET /v1/me beside appends to the longest list: how long the
        // appends keep the store to themselves.
        {
            std::atomic<bool> done { false };
            std::thread writer([&] {
                httplib::Client client("127.0.0.1", service.port());
                client.set_keep_alive(true);
                client.set_tcp_nodelay(true);
                client.set_read_timeout(120);
                for (int n = 0; !done; ++n)
                    append(client, token, opportunityId(3), 1000 + n);
            });
            httplib::Client client("127.0.0.1", service.port());
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            std::vector<double> times;
            int failed = 0;
            auto until = Clock::now() + std::chrono::seconds(4);
            while (Clock::now() < until) {
                auto start = Clock::now();
                auto reply = client.Get("/v1/me", headers(token));
                failed += !reply || reply->status != 200;
                times.push_back(ms(Clock::now() - start));
            }
            done = true;
            writer.join();
            row(options, "GET /v1/me beside appends at 10000", times, failed,
                std::to_string(times.size()) + " requests in 4 s");
        }

        // Many clients appending to one opportunity at once.
        {
            std::vector<std::thread> clients;
            std::mutex timesMutex;
            std::vector<double> times;
            std::atomic<int> failed { 0 };
            std::string id = opportunityId(4);
            auto start = Clock::now();
            for (int c = 0; c < options.clients; ++c) {
                clients.emplace_back([&, c] {
                    httplib::Client client("127.0.0.1", service.port());
                    client.set_keep_alive(true);
                    client.set_tcp_nodelay(true);
                    client.set_connection_timeout(60);
                    client.set_read_timeout(120);
                    for (int n = 0; n < options.each; ++n) {
                        auto begun = Clock::now();
                        bool ok = append(client, token, id, c * 1000 + n);
                        double took = ms(Clock::now() - begun);
                        failed += !ok;
                        std::lock_guard lock(timesMutex);
                        times.push_back(took);
                    }
                });
            }
            for (auto& client : clients)
                client.join();
            double seconds = ms(Clock::now() - start) / 1000;
            char note[120];
            std::snprintf(note, sizeof note, "%d clients x %d appends, %.0f appends/s", options.clients, options.each,
                static_cast<double>(times.size()) / seconds);
            row(options, "concurrent appends to one opportunity", times, failed, note);
        }
    } catch (...) {
        std::filesystem::remove_all(folder);
        throw;
    }
    std::filesystem::remove_all(folder);
}

}

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--binary")
            options.binary = value;
        else if (key == "--label")
            options.label = value;
        else if (key == "--appends")
            options.appends = std::stoi(value);
        else if (key == "--clients")
            options.clients = std::stoi(value);
        else if (key == "--each")
            options.each = std::stoi(value);
    }
    if (options.binary.empty()) {
        std::fprintf(stderr, "usage: %s --binary PATH --label TEXT [--appends N] [--clients N] [--each N]\n", argv[0]);
        return 2;
    }
    return korvid::bench::runReportingFailure(options.label, [&] { run(options); });
}
