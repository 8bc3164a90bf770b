#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace korvid {

class Database;

// One prepared statement. Values are always bound, never spliced into SQL.
class Statement {
public:
    Statement(Database& database, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
    // Without this a string literal would bind as a bool.
    Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
    Statement& bind(int index, std::int64_t number);
    Statement& bind(int index, int number) { return bind(index, static_cast<std::int64_t>(number)); }
    Statement& bind(int index, bool flag) { return bind(index, static_cast<std::int64_t>(flag ? 1 : 0)); }
    Statement& bindNull(int index);

    // Advances to the next row; false once the statement is done.
    bool step();
    // Runs a statement that returns no rows.
    void run();
    void reset();

    std::string text(int column) const;
    // Valid until the next step or reset.
    std::string_view view(int column) const;
    std::optional<std::string> optionalText(int column) const;
    std::int64_t integer(int column) const;
    bool isNull(int column) const;

private:
    Database& database_;
    sqlite3_stmt* statement_ = nullptr;
};

// An open SQLite file. Not thread-safe by itself: ServiceStore serializes use.
class Database {
public:
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(std::string_view sql);

    // Text derived from the data, kept until the next row change on this
    // connection (the service is the file's only writer).
    const std::string* memo() const;
    void setMemo(std::string text);
    std::int64_t changes() const;
    sqlite3* handle() const { return db_; }
    [[noreturn]] void fail(int code) const;

private:
    sqlite3* db_ = nullptr;
    std::int64_t memoChanges_ = -1;
    std::string memo_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when left without commit().
class Transaction {
public:
    explicit Transaction(Database& database);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Database& database_;
    bool done_ = false;
};

}
