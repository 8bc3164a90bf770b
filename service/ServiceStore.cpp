#include "service/ServiceStore.h"

#include "service/Documents.h"
#include "service/SeedData.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace korvid {

namespace {

std::filesystem::path prepareFolder(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    return folder / ServiceStore::kFileName;
}

}

ServiceStore::ServiceStore(const std::filesystem::path& folder, SeedSize seed, const PasswordCost& accountCost)
    : file_(prepareFolder(folder))
    , database_(file_)
{
    createSchema();
    std::lock_guard lock(mutex_);
    Statement seeded(database_, "SELECT value FROM meta WHERE key = 'seeded'");
    if (!seeded.step())
        SeedData::populate(database_, seed, nowMs(), accountCost);
    seeded.reset();
    Documents::migrate(database_);
}

ServiceStore::Reader::Reader(ServiceStore& owner)
    : store(owner)
{
    std::unique_lock lock(store.readersMutex_);
    store.readerFree_.wait(lock, [&] { return !store.idleReaders_.empty() || store.openReaders_ < kReaders; });
    if (!store.idleReaders_.empty()) {
        database = std::move(store.idleReaders_.back());
        store.idleReaders_.pop_back();
        return;
    }
    ++store.openReaders_;
    lock.unlock();
    try {
        database = std::make_unique<Database>(store.file_);
        database->exec("PRAGMA query_only = 1");
    } catch (...) {
        lock.lock();
        --store.openReaders_;
        store.readerFree_.notify_one();
        throw;
    }
}

ServiceStore::Reader::~Reader()
{
    std::lock_guard lock(store.readersMutex_);
    store.idleReaders_.push_back(std::move(database));
    store.readerFree_.notify_one();
}

std::int64_t ServiceStore::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void ServiceStore::createSchema()
{
    database_.exec(R"sql(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = NORMAL;
PRAGMA foreign_keys = ON;
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts (
  id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE, name TEXT NOT NULL,
  salt TEXT NOT NULL, password_hash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
  token_hash TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id),
  expires_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS sessions_expiry ON sessions (expires_ms);
CREATE INDEX IF NOT EXISTS sessions_account ON sessions (account_id, expires_ms);
CREATE TABLE IF NOT EXISTS sign_in_failures (
  email TEXT PRIMARY KEY, count INTEGER NOT NULL, last_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS sign_in_failures_age ON sign_in_failures (last_ms);
CREATE TABLE IF NOT EXISTS challenges (
  id TEXT PRIMARY KEY, answer TEXT NOT NULL, expires_ms INTEGER NOT NULL,
  ticket_hash TEXT);
CREATE TABLE IF NOT EXISTS downloads (
  ticket_hash TEXT PRIMARY KEY, account_id TEXT NOT NULL, kind TEXT NOT NULL,
  ref TEXT NOT NULL, expires_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS companies (
  id TEXT PRIMARY KEY, name TEXT NOT NULL, intro_note TEXT NOT NULL,
  structure TEXT NOT NULL, target_position TEXT NOT NULL, is_target INTEGER NOT NULL,
  kind TEXT NOT NULL, unsure INTEGER NOT NULL, city TEXT NOT NULL, industry TEXT NOT NULL,
  phone TEXT NOT NULL, updated_ms INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS companies_updated ON companies (updated_ms);
CREATE TABLE IF NOT EXISTS contacts (
  id TEXT PRIMARY KEY, company_id TEXT NOT NULL, name TEXT NOT NULL,
  department TEXT NOT NULL, title TEXT NOT NULL, phone TEXT NOT NULL, email TEXT NOT NULL,
  updated_ms INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS contacts_updated ON contacts (updated_ms);
CREATE INDEX IF NOT EXISTS contacts_company ON contacts (company_id);
CREATE TABLE IF NOT EXISTS documents (
  kind TEXT NOT NULL, id TEXT NOT NULL, body TEXT NOT NULL,
  sort_key TEXT NOT NULL DEFAULT '', updated_ms INTEGER NOT NULL,
  PRIMARY KEY (kind, id));
CREATE TABLE IF NOT EXISTS document_items (
  seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, id TEXT NOT NULL, list TEXT NOT NULL,
  body TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS document_items_list ON document_items (kind, id, list, seq);
CREATE TABLE IF NOT EXISTS briefs (
  account_id TEXT NOT NULL, id TEXT NOT NULL, state TEXT NOT NULL, turn TEXT NOT NULL,
  payload TEXT NOT NULL, title TEXT NOT NULL, result TEXT NOT NULL DEFAULT '',
  decision TEXT NOT NULL DEFAULT '{}', version INTEGER NOT NULL DEFAULT 0,
  started_ms INTEGER NOT NULL, updated_ms INTEGER NOT NULL,
  PRIMARY KEY (account_id, id));
CREATE TABLE IF NOT EXISTS agent_turns (
  account_id TEXT NOT NULL, session_id TEXT NOT NULL, turn TEXT NOT NULL,
  input TEXT NOT NULL, reply TEXT NOT NULL, started_ms INTEGER NOT NULL,
  PRIMARY KEY (account_id, turn));
)sql");
}

}

namespace korvid {

std::string formatMillis(std::int64_t unixMs)
{
    std::int64_t seconds = unixMs / 1000;
    int millis = static_cast<int>(unixMs % 1000);
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc {};
    gmtime_r(&t, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
        utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

}
