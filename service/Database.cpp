#include "service/Database.h"

#include "base/DesktopError.h"

#include <sqlite3.h>

#include <cstdio>

namespace korvid {

Database::Database(const std::filesystem::path& file)
{
    int code = sqlite3_open_v2(
        file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw DesktopError("无法打开服务数据库：" + file.string() + "。");
    }
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_extended_result_codes(db_, 1);
}

Database::~Database()
{
    sqlite3_close_v2(db_);
}

void Database::exec(std::string_view sql)
{
    std::string text(sql);
    char* error = nullptr;
    int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
    sqlite3_free(error);
    if (code != SQLITE_OK)
        fail(code);
}

const std::string* Database::memo() const
{
    return memoChanges_ == sqlite3_total_changes64(db_) ? &memo_ : nullptr;
}

void Database::setMemo(std::string text)
{
    memo_ = std::move(text);
    memoChanges_ = sqlite3_total_changes64(db_);
}

std::int64_t Database::changes() const
{
    return sqlite3_changes64(db_);
}

void Database::fail(int code) const
{
    // The English text goes to the operator's console; the caller gets a
    // sentence it can show.
    std::fprintf(stderr, "korvid-service: sqlite: %s (%d)\n", sqlite3_errmsg(db_), code);
    if ((code & 0xff) == SQLITE_FULL)
        throw DesktopError("服务磁盘空间不足，请清理后重试。");
    if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
        throw DesktopError("服务数据库正忙，请稍后重试。");
    throw DesktopError("服务数据库出错，请稍后重试。");
}

Statement::Statement(Database& database, std::string_view sql)
    : database_(database)
{
    int code = sqlite3_prepare_v2(database.handle(), sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
    if (code != SQLITE_OK)
        database.fail(code);
}

Statement::~Statement()
{
    sqlite3_finalize(statement_);
}

Statement& Statement::bind(int index, std::string_view text)
{
    int code = sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (code != SQLITE_OK)
        database_.fail(code);
    return *this;
}

Statement& Statement::bind(int index, std::int64_t number)
{
    int code = sqlite3_bind_int64(statement_, index, number);
    if (code != SQLITE_OK)
        database_.fail(code);
    return *this;
}

Statement& Statement::bindNull(int index)
{
    int code = sqlite3_bind_null(statement_, index);
    if (code != SQLITE_OK)
        database_.fail(code);
    return *this;
}

bool Statement::step()
{
    int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW)
        return true;
    if (code == SQLITE_DONE)
        return false;
    database_.fail(code);
}

void Statement::run()
{
    while (step()) {
    }
    reset();
}

void Statement::reset()
{
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

std::string Statement::text(int column) const
{
    const auto* bytes = sqlite3_column_text(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
}

std::string_view Statement::view(int column) const
{
    const auto* bytes = sqlite3_column_text(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return bytes ? std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size))
                 : std::string_view();
}

std::optional<std::string> Statement::optionalText(int column) const
{
    if (isNull(column))
        return std::nullopt;
    return text(column);
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& database)
    : database_(database)
{
    database_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (!done_) {
        try {
            database_.exec("ROLLBACK");
        } catch (...) {
        }
    }
}

void Transaction::commit()
{
    database_.exec("COMMIT");
    done_ = true;
}

}
