// Opening the results store, its small tables (meta, papers, written_files)
// and the helpers every file of the store shares. results_store_internal.hpp
// says which file handles which table.
#include "results_store.hpp"

#include <sqlite3.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "results_store_internal.hpp"

namespace quorvan::core {

namespace detail {

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string int_list_json(const std::vector<int>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += esc;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string flags_json(const std::vector<Flag>& flags) {
    std::string out = "[";
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (i > 0) out += ", ";
        out += "{\"kind\": ";
        append_json_string(out, flags[i].kind);
        out += ", \"note\": ";
        append_json_string(out, flags[i].note);
        out += "}";
    }
    return out + "]";
}

std::optional<std::vector<int>> parse_int_list(std::string_view s) {
    std::size_t i = 0;
    const auto skip_space = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    };
    std::vector<int> out;
    skip_space();
    if (i == s.size() || s[i] != '[') return std::nullopt;
    ++i;
    skip_space();
    if (i < s.size() && s[i] == ']') {
        ++i;
    } else {
        for (;;) {
            skip_space();
            int value = 0;
            const auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), value);
            if (ec != std::errc()) return std::nullopt;
            out.push_back(value);
            i = static_cast<std::size_t>(end - s.data());
            skip_space();
            if (i == s.size()) return std::nullopt;
            const char c = s[i++];
            if (c == ']') break;
            if (c != ',') return std::nullopt;
        }
    }
    skip_space();
    if (i != s.size()) return std::nullopt;
    return out;
}

[[noreturn]] void fail(sqlite3* db, const std::string& path, const std::string& doing) {
    throw StoreError(path + ": cannot " + doing + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const std::string& path, const char* sql, const std::string& doing) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, path, doing);
}

}  // namespace detail

namespace {

sqlite3* open_connection(const std::string& name, int flags, const std::string& path) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        throw StoreError("cannot open the results database " + path + ": " + why);
    }
    return db;
}

}  // namespace

ResultsStore::ResultsStore(const std::string& path, Access access) : path_(path) {
    // SQLite would make an empty path a temporary database, lost on close.
    if (path.empty()) throw StoreError("the results database needs a path");
    // The store is used from one thread (the run's event loop) and its
    // connection is its own, so SQLite's per-connection mutex would only cost.
    if (access == Access::read) {
        db_ = open_connection(path, SQLITE_OPEN_READONLY, path);
        try {
            sqlite3_busy_timeout(db_, 5000);
            detail::check_schema_to_read(db_, path_);
            return;
        } catch (const StoreError&) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            // A folder that cannot be written holds no -shm for the write-ahead
            // log: nobody can be writing it, so it is read as it stands.
            if (std::filesystem::exists(path + "-wal")) throw;
        }
        std::string uri = "file:";
        for (char c : path) {
            if (c == '%' || c == '?' || c == '#') {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                uri += hex;
            } else {
                uri += c;
            }
        }
        db_ = open_connection(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, path);
        try {
            detail::check_schema_to_read(db_, path_);
        } catch (...) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw;
        }
        return;
    }
    db_ = open_connection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, path);
    try {
        if (sqlite3_db_readonly(db_, "main") == 1) throw StoreError(path + " cannot be written (read-only)");
        sqlite3_busy_timeout(db_, 5000);  // another process (or a person) holding the write lock
        detail::open_schema(db_, path_);
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

ResultsStore::~ResultsStore() { sqlite3_close_v2(db_); }

void ResultsStore::remember_paper(const std::string& fingerprint, const std::string& canonical_json) {
    const std::string doing = "remember paper " + fingerprint;
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_,
                        "INSERT INTO papers (fingerprint, canonical_json, first_seen) VALUES (?1, ?2, ?3) "
                        "ON CONFLICT (fingerprint) DO NOTHING",
                        doing);
    s.bind_text(1, fingerprint).bind_text(2, canonical_json).bind_text(3, detail::utc_now()).run();
    detail::Statement current(db_, path_,
                              "INSERT INTO meta (key, value) VALUES ('current_paper', ?1) "
                              "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                              doing);
    current.bind_text(1, fingerprint).run();
    tx.commit();
}

std::string ResultsStore::current_paper() const {
    detail::Statement s(db_, path_, "SELECT value FROM meta WHERE key = 'current_paper'", "read the current paper");
    if (s.step()) return s.text(0);
    // A store from before the meta key: the paper the latest sheet stands against.
    detail::Statement latest(db_, path_,
                             "SELECT paper_fingerprint FROM sheets WHERE paper_fingerprint <> '' "
                             "ORDER BY updated_at DESC, id DESC LIMIT 1",
                             "read the current paper");
    return latest.step() ? latest.text(0) : "";
}

std::optional<std::string> ResultsStore::paper_json(const std::string& fingerprint) const {
    detail::Statement s(db_, path_, "SELECT canonical_json FROM papers WHERE fingerprint = ?1",
                        "read paper " + fingerprint);
    s.bind_text(1, fingerprint);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::string ResultsStore::paper_first_seen(const std::string& fingerprint) const {
    detail::Statement s(db_, path_, "SELECT first_seen FROM papers WHERE fingerprint = ?1",
                        "read paper " + fingerprint);
    s.bind_text(1, fingerprint);
    return s.step() ? s.text(0) : "";
}

void ResultsStore::record_written(const std::string& name, const WrittenFile& file) {
    const std::string doing = "record the written file " + name;
    detail::Statement s(db_, path_,
                        "INSERT INTO written_files (name, size, sha256, written_at) VALUES (?1, ?2, ?3, ?4) "
                        "ON CONFLICT (name) DO UPDATE SET previous_size = size, previous_sha256 = sha256, "
                        "size = excluded.size, sha256 = excluded.sha256, written_at = excluded.written_at",
                        doing);
    s.bind_text(1, name).bind_int(2, file.size).bind_text(3, file.sha256).bind_text(4, detail::utc_now()).run();
}

std::vector<ResultsStore::WrittenFile> ResultsStore::written(const std::string& name) const {
    detail::Statement s(db_, path_,
                        "SELECT size, sha256, previous_size, previous_sha256 FROM written_files WHERE name = ?1",
                        "read the written files");
    s.bind_text(1, name);
    std::vector<WrittenFile> files;
    if (!s.step()) return files;
    files.push_back({s.integer(0), s.text(1)});
    if (!s.text(3).empty()) files.push_back({s.integer(2), s.text(3)});
    return files;
}

}  // namespace quorvan::core
