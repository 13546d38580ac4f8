// What the results store's files share, and nothing outside them uses: the
// statement and transaction wrappers, the error and time helpers, the JSON
// the tables hold, and the few table helpers one file needs from another.
// Where each table is handled:
//   results_store.cpp            opening the store; papers, meta, written_files; the shared helpers
//   results_store_schema.cpp     every table's definition, upgrades, the read-only stand-ins, damage()
//   results_store_sheets.cpp     sheets, answers, page_reading
//   results_store_decisions.cpp  events: the teacher's changes and what stands
//   results_store_batches.cpp    batches, batch_lines, batch_readings
// Everything here is in `detail`, never pulled in by a using-directive: the
// unity build compiles the core as one file, where they would meet every other file's.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results_store.hpp"

namespace quorvan::core::detail {

// UTC, ISO 8601 to the second: sorts as text and reads at a glance.
std::string utc_now();

std::string int_list_json(const std::vector<int>& values);
void append_json_string(std::string& out, std::string_view text);
std::string flags_json(const std::vector<Flag>& flags);
// A JSON list of integers, whitespace anywhere; nothing for anything else.
std::optional<std::vector<int>> parse_int_list(std::string_view s);

[[noreturn]] void fail(sqlite3* db, const std::string& path, const std::string& doing);
void exec(sqlite3* db, const std::string& path, const char* sql, const std::string& doing);

// A prepared statement; its errors name the database and what was being done.
class Statement {
public:
    Statement(sqlite3* db, const std::string& path, std::string_view sql, std::string doing)
        : db_(db), path_(path), doing_(std::move(doing)) {
        if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
            fail(db_, path_, doing_);
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind_text(int i, std::string_view value) {
        return check(sqlite3_bind_text64(stmt_, i, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    Statement& bind_int(int i, std::int64_t value) { return check(sqlite3_bind_int64(stmt_, i, value)); }
    Statement& bind_real(int i, double value) { return check(sqlite3_bind_double(stmt_, i, value)); }
    Statement& bind_real_or_null(int i, std::optional<double> value) {
        return value ? bind_real(i, *value) : check(sqlite3_bind_null(stmt_, i));
    }

    // True while there is a row to read.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, path_, doing_);
    }
    // Runs a statement that returns no rows; the number of rows it changed.
    int run() {
        while (step()) {
        }
        return sqlite3_changes(db_);
    }
    // Ready to run again with new values.
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    std::string text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    double real(int col) const { return sqlite3_column_double(stmt_, col); }
    std::optional<double> real_or_null(int col) const {
        if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
        return real(col);
    }

private:
    Statement& check(int rc) {
        if (rc != SQLITE_OK) fail(db_, path_, doing_);
        return *this;
    }

    sqlite3* db_;
    const std::string& path_;
    std::string doing_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A write transaction, rolled back unless committed. IMMEDIATE takes the
// write lock up front, so another writer makes it wait (busy timeout) at the
// start instead of failing halfway.
class Transaction {
public:
    Transaction(sqlite3* db, const std::string& path, std::string doing)
        : db_(db), path_(path), doing_(std::move(doing)) {
        exec(db_, path_, "BEGIN IMMEDIATE", doing_);
    }
    ~Transaction() {
        // An error may have ended the transaction already.
        if (!committed_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        exec(db_, path_, "COMMIT", doing_);
        committed_ = true;
    }

private:
    sqlite3* db_;
    const std::string& path_;
    std::string doing_;
    bool committed_ = false;
};

// ---- results_store_schema.cpp
// A store opened to write: made ours when blank, brought up to date, connection set up.
void open_schema(sqlite3* db, const std::string& path);
// A store opened only to read: checked, nothing written to it.
void check_schema_to_read(sqlite3* db, const std::string& path);

// ---- results_store_sheets.cpp
// The flags of a sheet or an answer as stored, checked.
std::vector<Flag> read_flags(sqlite3* db, const std::string& path, const std::string& json, const std::string& whose);
bool sheet_exists(sqlite3* db, const std::string& path, std::int64_t id);
StoreError unknown_sheet(const std::string& path, std::int64_t id);
// Sets the sheet's updated_at; an unknown sheet is an error.
void touch_sheet(sqlite3* db, const std::string& path, std::int64_t id, const std::string& now,
                 const std::string& doing);

// ---- results_store_decisions.cpp
// Every standing decision of a sheet, by question id.
std::map<std::string, Decision> read_decisions(sqlite3* db, const std::string& path, std::int64_t id);
// Takes the answer's "look again" flag away, or puts it on; false when the
// sheet has no answer to that question.
bool set_look_again(sqlite3* db, const std::string& path, std::int64_t id, const std::string& q_id, bool on,
                    const std::string& doing);

}  // namespace quorvan::core::detail
