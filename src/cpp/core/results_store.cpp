#include "results_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results_store_internal.hpp"
#include "utf8.hpp"

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

namespace {

constexpr const char* kApplication = "quorvan_core";

// The tables as a person sees them with `.schema` in the sqlite3 shell, hence
// the comments. Paths, names and texts are stored as given (UTF-8); "" rather
// than NULL stands for "none" except for the marks, where NULL means "no mark".
constexpr const char* kSchema = R"sql(
CREATE TABLE meta (
    key   TEXT PRIMARY KEY,  -- schema_version, created_at, application, current_paper (of the latest run)
    value TEXT NOT NULL  -- 3, when the file was created (UTC), quorvan_core
);

CREATE TABLE papers (
    fingerprint    TEXT PRIMARY KEY,  -- identity of the question paper
    canonical_json TEXT NOT NULL,     -- the paper as it was marked against
    first_seen     TEXT NOT NULL      -- UTC
);

CREATE TABLE sheets (
    id                  INTEGER PRIMARY KEY,             -- order in which the sheets were first added
    path_given          TEXT NOT NULL,                   -- the path as typed, last time
    path_resolved       TEXT NOT NULL UNIQUE,            -- absolute, symlinks resolved: the sheet's identity
    report_name         TEXT NOT NULL UNIQUE COLLATE NOCASE,  -- stem of the report files; never changes
    sha256              TEXT NOT NULL DEFAULT '',        -- of the PDF bytes last read; '' before the first read
    paper_fingerprint   TEXT NOT NULL DEFAULT '',        -- paper the stored results stand against; '' for none
    status              TEXT NOT NULL DEFAULT 'pending'
                        CHECK (status IN ('pending', 'marked', 'incomplete', 'failed')),  -- incomplete: see the answers
    failure             TEXT NOT NULL DEFAULT '',        -- why the sheet failed; '' otherwise
    parsed              INTEGER NOT NULL DEFAULT 0 CHECK (parsed IN (0, 1)),  -- 1: the answers below were found
    parse_key           TEXT NOT NULL DEFAULT '',        -- what the parse depended on (the question ids)
    parse_model         TEXT NOT NULL DEFAULT '',        -- model of the parse
    parse_input_tokens  INTEGER NOT NULL DEFAULT 0,      -- tokens sent for the parse
    parse_output_tokens INTEGER NOT NULL DEFAULT 0,      -- tokens received for the parse
    parse_cost          REAL NOT NULL DEFAULT 0,         -- USD
    parse_calls         INTEGER NOT NULL DEFAULT 0,      -- model calls of the parse, tries included
    added_at            TEXT NOT NULL,                   -- UTC
    updated_at          TEXT NOT NULL,                   -- UTC, last change to the sheet or its answers
    flags               TEXT NOT NULL DEFAULT '[]',      -- JSON list of {"kind", "note"}: what a person should look at
    student_id          TEXT NOT NULL DEFAULT '',        -- who the sheet belongs to; '' when unknown
    student_name        TEXT NOT NULL DEFAULT '',
    student_email       TEXT NOT NULL DEFAULT '',
    student_section     TEXT NOT NULL DEFAULT '',
    identity_source     TEXT NOT NULL DEFAULT '',        -- roster, sheet (its first page), '' (none: the file name stands)
    student_sort_name   TEXT NOT NULL DEFAULT ''         -- "Last, First" when the roster gives both
);

CREATE TABLE answers (
    sheet_id             INTEGER NOT NULL REFERENCES sheets(id) ON DELETE CASCADE,  -- the sheet it was found on
    q_id                 TEXT NOT NULL,                  -- question id in the paper
    position             INTEGER NOT NULL,               -- order in the parse, from 0
    text                 TEXT NOT NULL,                  -- the student's answer as found
    pages                TEXT NOT NULL DEFAULT '[]',     -- JSON list of the pages it was found on
    status               TEXT NOT NULL DEFAULT 'pending'
                         CHECK (status IN ('pending', 'marked', 'failed')),  -- failed: see failure
    question_fingerprint TEXT NOT NULL DEFAULT '',       -- of the question as it was marked
    criteria_met         TEXT NOT NULL DEFAULT '[]',     -- JSON list of criteria met, 0-based
    awarded              REAL,                           -- marks given; NULL unless marked
    maximum              REAL,                           -- marks available; NULL unless marked
    feedback             TEXT NOT NULL DEFAULT '',       -- for the student
    failure              TEXT NOT NULL DEFAULT '',       -- why it could not be marked; '' otherwise
    model                TEXT NOT NULL DEFAULT '',       -- model of the marking
    input_tokens         INTEGER NOT NULL DEFAULT 0,     -- tokens sent for the marking
    output_tokens        INTEGER NOT NULL DEFAULT 0,     -- tokens received for the marking
    cost                 REAL NOT NULL DEFAULT 0,        -- USD
    calls                INTEGER NOT NULL DEFAULT 0,     -- model calls of the marking, tries included
    marked_at            TEXT NOT NULL DEFAULT '',       -- UTC; '' while not marked
    flags                TEXT NOT NULL DEFAULT '[]',     -- JSON list of {"kind", "note"}: what a person should look at
    PRIMARY KEY (sheet_id, q_id)
);
)sql";

// The teacher's changes. The model's marking stays in `answers`; what
// stands is the latest event per answer and field. Never rewritten: the
// triggers refuse it, whoever asks.
constexpr const char* kEventsSchema = R"sql(
CREATE TABLE events (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,  -- order of the changes
    sheet_id  INTEGER NOT NULL REFERENCES sheets(id),
    q_id      TEXT NOT NULL,   -- question id; '' for the sheet as a whole
    field     TEXT NOT NULL CHECK (field IN ('awarded', 'criteria_met', 'feedback', 'approved')),
    old_value TEXT NOT NULL,   -- JSON: what stood before (the decision, else the model's value)
    new_value TEXT NOT NULL,   -- JSON: what stands now; null clears the decision
    reviewer  TEXT NOT NULL,   -- who made the change
    at        TEXT NOT NULL    -- UTC, with milliseconds
);
CREATE INDEX events_by_answer ON events (sheet_id, q_id, field, id);
CREATE TRIGGER events_are_kept_update BEFORE UPDATE ON events
BEGIN SELECT RAISE(ABORT, 'events are never rewritten'); END;
CREATE TRIGGER events_are_kept_delete BEFORE DELETE ON events
BEGIN SELECT RAISE(ABORT, 'events are never rewritten'); END;
)sql";

// Made with the tables, and made again by an upgrade that adds columns to it.
constexpr const char* kClassView = R"sql(
CREATE VIEW class_view AS
    -- One row per answer with its sheet; a sheet without answers shows once.
    SELECT s.id AS sheet_id, s.path_given AS sheet, s.report_name, s.status AS sheet_status,
           s.failure AS sheet_failure, a.position, a.q_id, a.status AS answer_status,
           a.awarded, a.maximum, a.failure AS answer_failure, a.marked_at,
           s.flags AS sheet_flags, a.flags AS answer_flags, s.student_id, s.student_name
    FROM sheets AS s LEFT JOIN answers AS a ON a.sheet_id = s.id
    ORDER BY s.id, a.position;
)sql";

// Schema 1 to 2: flags on sheets and answers. A schema-1 library refuses the
// upgraded file rather than leave stale flags behind its own writes.
constexpr const char* kUpgradeTo2 = R"sql(
ALTER TABLE sheets ADD COLUMN flags TEXT NOT NULL DEFAULT '[]';
ALTER TABLE answers ADD COLUMN flags TEXT NOT NULL DEFAULT '[]';
DROP VIEW IF EXISTS class_view;
UPDATE meta SET value = '2' WHERE key = 'schema_version';
PRAGMA user_version = 2;
)sql";

// Schema 2 to 3: who each sheet belongs to, and the teacher's changes.
constexpr const char* kUpgradeTo3 = R"sql(
ALTER TABLE sheets ADD COLUMN student_id TEXT NOT NULL DEFAULT '';
ALTER TABLE sheets ADD COLUMN student_name TEXT NOT NULL DEFAULT '';
ALTER TABLE sheets ADD COLUMN student_email TEXT NOT NULL DEFAULT '';
ALTER TABLE sheets ADD COLUMN student_section TEXT NOT NULL DEFAULT '';
ALTER TABLE sheets ADD COLUMN identity_source TEXT NOT NULL DEFAULT '';
DROP VIEW IF EXISTS class_view;
UPDATE meta SET value = '3' WHERE key = 'schema_version';
PRAGMA user_version = 3;
)sql";

// Added within schema 1: a database made before it gets the table when next
// opened, and an older library simply ignores it.
constexpr const char* kWrittenSchema = R"sql(
CREATE TABLE IF NOT EXISTS written_files (
    name            TEXT PRIMARY KEY,           -- file name in the results folder
    size            INTEGER NOT NULL,           -- bytes written last
    sha256          TEXT NOT NULL,              -- of the bytes written last
    previous_size   INTEGER NOT NULL DEFAULT 0, -- bytes written the time before
    previous_sha256 TEXT NOT NULL DEFAULT '',   -- of those; '' for none
    written_at      TEXT NOT NULL               -- UTC
);
)sql";

// Added within schema 3, as the table above: how each page of a sheet was
// read. The trigger clears a sheet's pages whenever it is parsed or reset
// (both set parse_key), so a library that does not know the table never
// leaves another read's pages behind.
constexpr const char* kPageReadingSchema = R"sql(
CREATE TABLE IF NOT EXISTS page_reading (
    sheet_id   INTEGER NOT NULL REFERENCES sheets (id) ON DELETE CASCADE,
    page       INTEGER NOT NULL,             -- page number, from 1
    method     TEXT NOT NULL,                -- text (the PDF's own text), ocr, vision (the vision model)
    words      INTEGER NOT NULL,             -- words in the text kept
    confidence REAL,                         -- OCR's mean word confidence, 0 to 100; NULL unless OCR read the page
    low_share  REAL,                         -- share of the words OCR read with little confidence; NULL likewise
    reliable   INTEGER NOT NULL CHECK (reliable IN (0, 1)),  -- 0: read badly and not read again
    note       TEXT NOT NULL DEFAULT '',     -- how the page was read, and why not again
    PRIMARY KEY (sheet_id, page)
);
CREATE TRIGGER IF NOT EXISTS page_reading_follows_parse AFTER UPDATE OF parse_key ON sheets
BEGIN DELETE FROM page_reading WHERE sheet_id = NEW.id; END;
)sql";

// Added within schema 3, as the tables above: a batch run's batches and
// requests, so that a run continued after a restart knows what it sent.
constexpr const char* kBatchSchema = R"sql(
CREATE TABLE IF NOT EXISTS batches (
    batch_id       TEXT PRIMARY KEY,             -- as the model service named it
    seq            INTEGER NOT NULL UNIQUE,      -- order submitted
    stage          TEXT NOT NULL,                -- reading, marking, or reading and marking
    input_file_id  TEXT NOT NULL,                -- the uploaded requests
    status         TEXT NOT NULL,                -- as the service last said
    output_file_id TEXT NOT NULL DEFAULT '',
    error_file_id  TEXT NOT NULL DEFAULT '',
    total          INTEGER NOT NULL DEFAULT 0,   -- requests in it
    completed      INTEGER NOT NULL DEFAULT 0,   -- answered
    failed         INTEGER NOT NULL DEFAULT 0,   -- failed
    collected      INTEGER NOT NULL DEFAULT 0 CHECK (collected IN (0, 1)),  -- 1: results stored in batch_lines
    submitted_at   TEXT NOT NULL,                -- UTC
    updated_at     TEXT NOT NULL                 -- UTC
);
CREATE TABLE IF NOT EXISTS batch_lines (
    custom_id TEXT PRIMARY KEY,                  -- made from the body: one line per distinct request
    stage     TEXT NOT NULL,                     -- reading (a parse) or marking
    body      TEXT NOT NULL,                     -- the request body, JSON
    state     TEXT NOT NULL CHECK (state IN ('submitted', 'done', 'failed')),
    batch_id  TEXT NOT NULL,                     -- the batch it was last sent in
    response  TEXT NOT NULL DEFAULT '',          -- the answer's body, JSON, when done
    error     TEXT NOT NULL DEFAULT '',          -- why it has no answer, when failed
    tries     INTEGER NOT NULL DEFAULT 0         -- batches it was sent in
);
CREATE TABLE IF NOT EXISTS batch_readings (
    key     TEXT PRIMARY KEY,                    -- the sheet's SHA-256 and how it was read
    reading TEXT NOT NULL,                       -- texts, hidden words, pages, JSON
    usage   TEXT NOT NULL DEFAULT '[]'           -- the vision model's calls made to read it, JSON
);
)sql";

std::int64_t scalar(sqlite3* db, const std::string& path, std::string_view sql, const std::string& doing) {
    detail::Statement s(db, path, sql, doing);
    return s.step() ? s.integer(0) : 0;
}

bool has_column(sqlite3* db, const std::string& path, const char* table, const char* column) {
    detail::Statement s(db, path, std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?1",
                        "read the columns of " + std::string(table));
    s.bind_text(1, column);
    return s.step();
}

bool is_blank(sqlite3* db, const std::string& path) {
    return scalar(db, path, "PRAGMA user_version", "read the schema version") == 0 &&
           scalar(db, path, "SELECT count(*) FROM sqlite_master", "read the tables") == 0;
}

void create_schema(sqlite3* db, const std::string& path) {
    detail::exec(db, path, kSchema, "create the tables");
    detail::exec(db, path, kEventsSchema, "create the tables");
    detail::exec(db, path, kClassView, "create the class view");
    detail::Statement meta(db, path, "INSERT INTO meta (key, value) VALUES (?1, ?2)", "write the meta table");
    const std::pair<const char*, std::string> rows[] = {
        {"schema_version", std::to_string(ResultsStore::kSchemaVersion)},
        {"created_at", detail::utc_now()},
        {"application", kApplication},
    };
    for (const auto& [key, value] : rows) {
        meta.reset();
        meta.bind_text(1, key).bind_text(2, value).run();
    }
    // A pragma takes no bound values; this one is a constant of the library.
    const std::string version = "PRAGMA user_version = " + std::to_string(ResultsStore::kSchemaVersion);
    detail::exec(db, path, version.c_str(), "set the schema version");
}

// The `application` of the meta table; "" when there is no such table.
std::string application_of(sqlite3* db, const std::string& path) {
    if (scalar(db, path, "SELECT count(*) FROM pragma_table_info('meta') WHERE name IN ('key', 'value')",
               "read the meta table") != 2) {
        return "";
    }
    detail::Statement s(db, path, "SELECT value FROM meta WHERE key = 'application'", "read the meta table");
    return s.step() ? s.text(0) : "";
}

}  // namespace

namespace detail {

// Makes a blank database ours, checks that any other is, then sets up the
// connection. Nothing is written to a database that is not ours.
void open_schema(sqlite3* db, const std::string& path) {
    // The first read is where SQLite looks at the file's header.
    const int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc == SQLITE_NOTADB) {
        throw StoreError(path + " is not a quorvan_core results database (it is not an SQLite database)");
    }
    if (rc != SQLITE_OK) fail(db, path, "read the database");

    if (is_blank(db, path)) {
        Transaction tx(db, path, "create the tables");
        if (is_blank(db, path)) create_schema(db, path);  // unless another process just did
        tx.commit();
    }
    if (application_of(db, path) != kApplication) {
        throw StoreError(path +
                         " is not a quorvan_core results database (it is an SQLite database of another application)");
    }
    const std::int64_t version = scalar(db, path, "PRAGMA user_version", "read the schema version");
    if (version > ResultsStore::kSchemaVersion) {
        throw StoreError(path + " was written by a newer version of quorvan_core (results schema " +
                         std::to_string(version) + "; this version reads " +
                         std::to_string(ResultsStore::kSchemaVersion) + ")");
    }
    if (version < 1) throw StoreError(path + " is a damaged quorvan_core results database (no schema version)");
    if (version == 1) {
        Transaction tx(db, path, "upgrade the results schema to version 2");
        // Unless another process just did.
        if (scalar(db, path, "PRAGMA user_version", "read the schema version") == 1) {
            exec(db, path, kUpgradeTo2, "upgrade the results schema to version 2");
            exec(db, path, kClassView, "upgrade the results schema to version 2");
        }
        tx.commit();
    }
    if (scalar(db, path, "PRAGMA user_version", "read the schema version") == 2) {
        Transaction tx(db, path, "upgrade the results schema to version 3");
        if (scalar(db, path, "PRAGMA user_version", "read the schema version") == 2) {
            exec(db, path, kUpgradeTo3, "upgrade the results schema to version 3");
            exec(db, path, kEventsSchema, "upgrade the results schema to version 3");
            exec(db, path, kClassView, "upgrade the results schema to version 3");
        }
        tx.commit();
    }

    exec(db, path, "PRAGMA foreign_keys = ON", "turn on foreign keys");
    // WAL: readers (a person with the sqlite3 shell) do not block the run.
    // Where the file system cannot share memory between processes, SQLite
    // keeps the rollback journal, which is slower but just as safe.
    Statement(db, path, "PRAGMA journal_mode = WAL", "turn on the write-ahead log").step();
    // With WAL, NORMAL keeps every commit through a crash of the process; a
    // power loss may undo the last few, never half of one.
    exec(db, path, "PRAGMA synchronous = NORMAL", "set the synchronous mode");
    // Added within schema 3, as the tables below: a store written before it
    // gets the column, one that has it is left as it is.
    if (!has_column(db, path, "sheets", "student_sort_name")) {
        exec(db, path, "ALTER TABLE sheets ADD COLUMN student_sort_name TEXT NOT NULL DEFAULT ''",
             "add the students' sorting names");
    }
    exec(db, path, kWrittenSchema, "create the table of written files");
    exec(db, path, kPageReadingSchema, "create the table of page readings");
    exec(db, path, kBatchSchema, "create the tables of batches");
}

// A store opened only to read: ours and of this schema, nothing written to
// it. What a store from before this version adds when opened for writing
// (tables, a column) is stood in for, empty, in the connection's own
// temporary schema, which the unqualified names find first.
void check_schema_to_read(sqlite3* db, const std::string& path) {
    if (is_blank(db, path)) throw StoreError(path + " holds no marked class yet");
    if (application_of(db, path) != kApplication) {
        throw StoreError(path +
                         " is not a quorvan_core results database (it is an SQLite database of another application)");
    }
    const std::int64_t version = scalar(db, path, "PRAGMA user_version", "read the schema version");
    if (version != ResultsStore::kSchemaVersion) {
        throw StoreError(path + " is of results schema " + std::to_string(version) + "; this version reads " +
                         std::to_string(ResultsStore::kSchemaVersion) +
                         (version < ResultsStore::kSchemaVersion
                              ? " (it cannot be brought up to date while it cannot be written)"
                              : ""));
    }
    if (!has_column(db, path, "sheets", "student_sort_name")) {
        exec(db, path, "CREATE TEMP VIEW sheets AS SELECT *, '' AS student_sort_name FROM main.sheets",
             "read the sheets");
    }
    for (const char* schema : {kWrittenSchema, kPageReadingSchema, kBatchSchema}) {
        std::string tables(schema);
        if (const auto trigger = tables.find("CREATE TRIGGER"); trigger != std::string::npos) tables.resize(trigger);
        for (std::size_t at = 0; (at = tables.find("CREATE TABLE IF NOT EXISTS ", at)) != std::string::npos;) {
            tables.replace(at, 27, "CREATE TEMP TABLE IF NOT EXISTS ");
            at += 32;
        }
        // Only those main lacks: a temporary table would hide the real one.
        std::string kept;
        for (std::size_t at = 0; at < tables.size();) {
            const std::size_t next = tables.find("CREATE TEMP TABLE", at + 1);
            const std::string statement = tables.substr(at, next == std::string::npos ? std::string::npos : next - at);
            const std::size_t name_at = statement.find("EXISTS ");
            if (name_at != std::string::npos) {
                const std::string name = statement.substr(name_at + 7, statement.find(' ', name_at + 7) - name_at - 7);
                Statement found(db, path, "SELECT 1 FROM main.sqlite_master WHERE type = 'table' AND name = ?1",
                                "read the tables");
                found.bind_text(1, name);
                if (!found.step()) kept += statement;
            }
            if (next == std::string::npos) break;
            at = next;
        }
        if (!kept.empty()) exec(db, path, kept.c_str(), "read the tables");
    }
}

}  // namespace detail

std::string ResultsStore::damage() const {
    try {
        detail::Statement check(db_, path_, "PRAGMA quick_check", "check the database");
        if (check.step() && check.text(0) != "ok") return "it is damaged (" + check.text(0) + ")";
        for (const char* table : {"meta", "papers", "sheets", "answers", "events"}) {
            detail::Statement found(db_, path_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                                    "check the database");
            found.bind_text(1, table);
            if (!found.step()) return std::string("its table ") + table + " is missing";
        }
    } catch (const StoreError& e) {
        return std::string("it cannot be read (") + e.what() + ")";
    }
    return "";
}

namespace detail {

// Flags as stored; a person may have edited them with the sqlite3 shell, so
// anything but a list of {"kind", "note"} objects is an error, not a guess.
std::vector<Flag> read_flags(sqlite3* db, const std::string& path, const std::string& json, const std::string& whose) {
    std::vector<Flag> out;
    if (json == "[]") return out;
    const std::string bad = path + ": " + whose + ": flags are not a list of {\"kind\", \"note\"}: " + json;
    Statement valid(db, path, "SELECT CASE WHEN json_valid(?1) THEN json_type(?1) = 'array' ELSE 0 END",
                    "read the flags of " + whose);
    if (!valid.bind_text(1, json).step() || valid.integer(0) != 1) throw StoreError(bad);
    Statement s(db, path,
                "SELECT json_type(value), json_type(value, '$.kind'), json_type(value, '$.note'), "
                "json_extract(value, '$.kind'), json_extract(value, '$.note') FROM json_each(?1) ORDER BY key",
                "read the flags of " + whose);
    s.bind_text(1, json);
    while (s.step()) {
        if (s.text(0) != "object" || s.text(1) != "text" || s.text(2) != "text") throw StoreError(bad);
        out.push_back(Flag{s.text(3), s.text(4)});
    }
    return out;
}

bool sheet_exists(sqlite3* db, const std::string& path, std::int64_t id) {
    Statement s(db, path, "SELECT 1 FROM sheets WHERE id = ?1", "read sheet " + std::to_string(id));
    s.bind_int(1, id);
    return s.step();
}

StoreError unknown_sheet(const std::string& path, std::int64_t id) {
    return StoreError(path + ": there is no sheet " + std::to_string(id));
}

void touch_sheet(sqlite3* db, const std::string& path, std::int64_t id, const std::string& now,
                 const std::string& doing) {
    Statement s(db, path, "UPDATE sheets SET updated_at = ?1 WHERE id = ?2", doing);
    if (s.bind_text(1, now).bind_int(2, id).run() == 0) throw unknown_sheet(path, id);
}

}  // namespace detail

namespace {

constexpr const char* kSelectSheet =
    "SELECT id, path_given, path_resolved, report_name, sha256, paper_fingerprint, status, failure, parsed, "
    "parse_key, parse_model, parse_input_tokens, parse_output_tokens, parse_cost, parse_calls, updated_at, flags, "
    "student_id, student_name, student_email, student_section, identity_source, student_sort_name "
    "FROM sheets ";

SheetRecord read_sheet(sqlite3* db, const std::string& path, const detail::Statement& s) {
    SheetRecord r;
    r.id = s.integer(0);
    r.path_given = s.text(1);
    r.path_resolved = s.text(2);
    r.report_name = s.text(3);
    r.sha256 = s.text(4);
    r.paper_fingerprint = s.text(5);
    r.status = s.text(6);
    r.failure = s.text(7);
    r.parsed = s.integer(8) != 0;
    r.parse_key = s.text(9);
    r.parse_usage.model = s.text(10);
    r.parse_usage.input_tokens = s.integer(11);
    r.parse_usage.output_tokens = s.integer(12);
    r.parse_usage.cost = s.real(13);
    r.parse_usage.calls = static_cast<int>(s.integer(14));
    r.updated_at = s.text(15);
    r.flags = detail::read_flags(db, path, s.text(16), "sheet " + std::to_string(r.id));
    r.identity = Identity{s.text(17), s.text(18), s.text(19), s.text(20), s.text(21), s.text(22)};
    return r;
}

std::optional<SheetRecord> sheet_by_id(sqlite3* db, const std::string& path, std::int64_t id) {
    detail::Statement s(db, path, std::string(kSelectSheet) + "WHERE id = ?1", "read sheet " + std::to_string(id));
    s.bind_int(1, id);
    if (!s.step()) return std::nullopt;
    return read_sheet(db, path, s);
}

// The outcome of marking one answer, marked or failed, in one transaction.
void store_answer_outcome(sqlite3* db, const std::string& path, std::int64_t id, const std::string& q_id,
                          const std::string& status, const std::string& question_fingerprint,
                          const std::vector<int>& criteria_met, std::optional<double> awarded,
                          std::optional<double> maximum, const std::string& feedback, const std::string& failure,
                          const CallUsage& usage, const std::string& marked_at, const std::string& doing) {
    detail::Transaction tx(db, path, doing);
    detail::Statement s(db, path,
                        "UPDATE answers SET status = ?1, question_fingerprint = ?2, criteria_met = ?3, awarded = ?4, "
                        "maximum = ?5, feedback = ?6, failure = ?7, model = ?8, input_tokens = ?9, "
                        "output_tokens = ?10, cost = ?11, calls = ?12, marked_at = ?13 WHERE sheet_id = ?14 "
                        "AND q_id = ?15",
                        doing);
    s.bind_text(1, status).bind_text(2, question_fingerprint).bind_text(3, detail::int_list_json(criteria_met));
    s.bind_real_or_null(4, awarded).bind_real_or_null(5, maximum).bind_text(6, feedback).bind_text(7, failure);
    s.bind_text(8, usage.model).bind_int(9, usage.input_tokens).bind_int(10, usage.output_tokens);
    s.bind_real(11, usage.cost).bind_int(12, usage.calls).bind_text(13, marked_at).bind_int(14, id).bind_text(15, q_id);
    if (s.run() == 0) {
        if (!detail::sheet_exists(db, path, id)) throw detail::unknown_sheet(path, id);
        throw StoreError(path + ": sheet " + std::to_string(id) + " has no answer to question '" + q_id + "'");
    }
    // The teacher's decision outlives a new marking, and says so.
    const auto decisions = detail::read_decisions(db, path, id);
    if (auto d = decisions.find(q_id); d != decisions.end() && d->second.any()) {
        detail::set_look_again(db, path, id, q_id, true, doing);
    }
    detail::touch_sheet(db, path, id, detail::utc_now(), doing);
    tx.commit();
}

std::string question_doing(const char* what, const std::string& q_id, std::int64_t id) {
    return std::string(what) + " of question '" + q_id + "' of sheet " + std::to_string(id);
}

}  // namespace

SheetRecord ResultsStore::add_sheet(const std::string& path_given, const std::string& path_resolved,
                                    const std::string& wanted_report_name) {
    if (wanted_report_name.empty()) throw std::invalid_argument("add_sheet: empty report name");
    const std::string doing = "add the sheet " + path_resolved;
    const std::string now = detail::utc_now();
    detail::Transaction tx(db_, path_, doing);

    std::int64_t id = 0;
    {
        detail::Statement find(db_, path_, "SELECT id FROM sheets WHERE path_resolved = ?1", doing);
        if (find.bind_text(1, path_resolved).step()) id = find.integer(0);
    }
    if (id != 0) {
        detail::Statement s(db_, path_,
                            "UPDATE sheets SET path_given = ?1, updated_at = ?2 WHERE id = ?3 AND path_given IS NOT ?1",
                            doing);
        s.bind_text(1, path_given).bind_text(2, now).bind_int(3, id).run();
    } else {
        // Report names are compared without case (the column's collation):
        // "Smith" and "smith" would be one file on some file systems.
        std::string name = wanted_report_name;
        detail::Statement taken(db_, path_, "SELECT 1 FROM sheets WHERE report_name = ?1", doing);
        for (int n = 2; taken.bind_text(1, name).step(); ++n) {
            taken.reset();
            name = wanted_report_name + "-" + std::to_string(n);
        }
        detail::Statement insert(db_, path_,
                                 "INSERT INTO sheets (path_given, path_resolved, report_name, added_at, updated_at) "
                                 "VALUES (?1, ?2, ?3, ?4, ?4)",
                                 doing);
        insert.bind_text(1, path_given).bind_text(2, path_resolved).bind_text(3, name).bind_text(4, now).run();
        id = sqlite3_last_insert_rowid(db_);
    }
    std::optional<SheetRecord> record = sheet_by_id(db_, path_, id);
    if (!record) throw detail::unknown_sheet(path_, id);
    tx.commit();
    return *record;
}

std::optional<SheetRecord> ResultsStore::sheet(std::int64_t id) const { return sheet_by_id(db_, path_, id); }

std::optional<SheetRecord> ResultsStore::find_sheet(const std::string& path_resolved) const {
    detail::Statement s(db_, path_, std::string(kSelectSheet) + "WHERE path_resolved = ?1",
                        "find the sheet " + path_resolved);
    s.bind_text(1, path_resolved);
    if (!s.step()) return std::nullopt;
    return read_sheet(db_, path_, s);
}

std::vector<SheetRecord> ResultsStore::sheets() const {
    detail::Statement s(db_, path_, std::string(kSelectSheet) + "ORDER BY id", "read the sheets");
    std::vector<SheetRecord> out;
    while (s.step()) out.push_back(read_sheet(db_, path_, s));
    return out;
}

void ResultsStore::reset_sheet(std::int64_t id, const std::string& sha256) {
    const std::string doing = "reset sheet " + std::to_string(id);
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_,
                        "UPDATE sheets SET sha256 = ?1, paper_fingerprint = '', status = 'pending', failure = '', "
                        "parsed = 0, parse_key = '', parse_model = '', parse_input_tokens = 0, "
                        "parse_output_tokens = 0, parse_cost = 0, parse_calls = 0, updated_at = ?2, flags = '[]' "
                        "WHERE id = ?3",
                        doing);
    if (s.bind_text(1, sha256).bind_text(2, detail::utc_now()).bind_int(3, id).run() == 0) {
        throw detail::unknown_sheet(path_, id);
    }
    detail::Statement(db_, path_, "DELETE FROM answers WHERE sheet_id = ?1", doing).bind_int(1, id).run();
    tx.commit();
}

void ResultsStore::store_parse(std::int64_t id, const std::string& sha256, const std::string& parse_key,
                               const std::vector<FoundAnswer>& answers, const CallUsage& usage,
                               const std::vector<Flag>& sheet_flags, const std::vector<PageReading>& pages) {
    const std::string doing = "store the parse of sheet " + std::to_string(id);
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_,
                        "UPDATE sheets SET parsed = 1, sha256 = ?1, parse_key = ?2, parse_model = ?3, "
                        "parse_input_tokens = ?4, parse_output_tokens = ?5, parse_cost = ?6, parse_calls = ?7, "
                        "updated_at = ?8, flags = ?9 WHERE id = ?10",
                        doing);
    s.bind_text(1, sha256).bind_text(2, parse_key).bind_text(3, usage.model).bind_int(4, usage.input_tokens);
    s.bind_int(5, usage.output_tokens).bind_real(6, usage.cost).bind_int(7, usage.calls);
    s.bind_text(8, detail::utc_now()).bind_text(9, detail::flags_json(sheet_flags)).bind_int(10, id);
    if (s.run() == 0) throw detail::unknown_sheet(path_, id);
    detail::Statement(db_, path_, "DELETE FROM answers WHERE sheet_id = ?1", doing).bind_int(1, id).run();
    detail::Statement insert(db_, path_,
                             "INSERT INTO answers (sheet_id, q_id, position, text, pages, status, flags) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, 'pending', ?6)",
                             doing);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        insert.reset();
        insert.bind_int(1, id).bind_text(2, answers[i].q_id).bind_int(3, static_cast<std::int64_t>(i));
        insert.bind_text(4, answers[i].text).bind_text(5, detail::int_list_json(answers[i].pages));
        insert.bind_text(6, detail::flags_json(answers[i].flags)).run();
    }
    // After the sheet's update, whose trigger cleared the pages of the read before.
    detail::Statement page(db_, path_,
                           "INSERT OR REPLACE INTO page_reading (sheet_id, page, method, words, confidence, low_share, "
                           "reliable, note) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                           doing);
    for (const PageReading& p : pages) {
        page.reset();
        page.bind_int(1, id).bind_int(2, p.page).bind_text(3, p.method).bind_int(4, p.words);
        page.bind_real_or_null(5, p.confidence).bind_real_or_null(6, p.low_share);
        page.bind_int(7, p.reliable ? 1 : 0).bind_text(8, p.note).run();
    }
    tx.commit();
}

std::vector<PageReading> ResultsStore::page_reading(std::int64_t id) const {
    detail::Statement s(db_, path_,
                        "SELECT page, method, words, confidence, low_share, reliable, note FROM page_reading "
                        "WHERE sheet_id = ?1 ORDER BY page",
                        "read the pages of sheet " + std::to_string(id));
    s.bind_int(1, id);
    std::vector<PageReading> out;
    while (s.step()) {
        PageReading p;
        p.page = static_cast<int>(s.integer(0));
        p.method = s.text(1);
        p.words = s.integer(2);
        p.confidence = s.real_or_null(3);
        p.low_share = s.real_or_null(4);
        p.reliable = s.integer(5) != 0;
        p.note = s.text(6);
        out.push_back(std::move(p));
    }
    return out;
}

void ResultsStore::store_mark(std::int64_t id, const std::string& q_id, const std::string& question_fingerprint,
                              const std::vector<int>& criteria_met, double awarded, double maximum,
                              const std::string& feedback, const CallUsage& usage) {
    const std::string doing = question_doing("store the mark", q_id, id);
    // SQLite would store NaN as NULL, which reads back as "no mark".
    if (!std::isfinite(awarded) || !std::isfinite(maximum)) {
        throw StoreError(path_ + ": cannot " + doing + ": the marks are not finite numbers");
    }
    store_answer_outcome(db_, path_, id, q_id, "marked", question_fingerprint, criteria_met, awarded, maximum, feedback,
                         "", usage, detail::utc_now(), doing);
}

void ResultsStore::store_mark_failure(std::int64_t id, const std::string& q_id,
                                      const std::string& question_fingerprint, const std::string& cause,
                                      const CallUsage& usage) {
    store_answer_outcome(db_, path_, id, q_id, "failed", question_fingerprint, {}, std::nullopt, std::nullopt, "",
                         cause, usage, "", question_doing("store the failure", q_id, id));
}

void ResultsStore::set_status(std::int64_t id, const std::string& status, const std::string& failure,
                              const std::string& paper_fingerprint) {
    const std::string doing = "set the status of sheet " + std::to_string(id) + " to '" + status + "'";
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_,
                        "UPDATE sheets SET status = ?1, failure = ?2, paper_fingerprint = ?3, updated_at = ?4 "
                        "WHERE id = ?5",
                        doing);
    s.bind_text(1, status).bind_text(2, failure).bind_text(3, paper_fingerprint).bind_text(4, detail::utc_now());
    if (s.bind_int(5, id).run() == 0) throw detail::unknown_sheet(path_, id);
    tx.commit();
}

void ResultsStore::set_sheet_flags(std::int64_t id, const std::vector<Flag>& flags) {
    const std::string doing = "store the flags of sheet " + std::to_string(id);
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_, "UPDATE sheets SET flags = ?1, updated_at = ?2 WHERE id = ?3", doing);
    if (s.bind_text(1, detail::flags_json(flags)).bind_text(2, detail::utc_now()).bind_int(3, id).run() == 0) {
        throw detail::unknown_sheet(path_, id);
    }
    tx.commit();
}

std::vector<AnswerRecord> ResultsStore::answers(std::int64_t id) const {
    const std::string doing = "read the answers of sheet " + std::to_string(id);
    detail::Statement s(db_, path_,
                        "SELECT q_id, position, text, pages, status, question_fingerprint, criteria_met, awarded, "
                        "maximum, feedback, failure, model, input_tokens, output_tokens, cost, calls, marked_at, flags "
                        "FROM answers WHERE sheet_id = ?1 ORDER BY position, q_id",
                        doing);
    s.bind_int(1, id);
    std::vector<AnswerRecord> out;
    while (s.step()) {
        AnswerRecord a;
        a.q_id = s.text(0);
        a.position = static_cast<int>(s.integer(1));
        a.text = s.text(2);
        a.status = s.text(4);
        a.question_fingerprint = s.text(5);
        // Lists a person may have edited with the sqlite3 shell: checked, not trusted.
        const auto list = [&](int col, const char* name) {
            std::optional<std::vector<int>> values = detail::parse_int_list(s.text(col));
            if (!values) {
                throw StoreError(path_ + ": sheet " + std::to_string(id) + ", question '" + a.q_id + "': " + name +
                                 " is not a list of whole numbers: " + s.text(col));
            }
            return std::move(*values);
        };
        a.pages = list(3, "pages");
        a.criteria_met = list(6, "criteria_met");
        a.awarded = s.real_or_null(7);
        a.maximum = s.real_or_null(8);
        a.feedback = utf8::well_formed(s.text(9));
        a.failure = s.text(10);
        a.usage.model = s.text(11);
        a.usage.input_tokens = s.integer(12);
        a.usage.output_tokens = s.integer(13);
        a.usage.cost = s.real(14);
        a.usage.calls = static_cast<int>(s.integer(15));
        a.marked_at = s.text(16);
        a.flags =
            detail::read_flags(db_, path_, s.text(17), "sheet " + std::to_string(id) + ", question '" + a.q_id + "'");
        out.push_back(std::move(a));
    }
    return out;
}

void ResultsStore::set_identity(std::int64_t id, const Identity& who) {
    const std::string doing = "store who sheet " + std::to_string(id) + " belongs to";
    detail::Transaction tx(db_, path_, doing);
    detail::Statement s(db_, path_,
                        "UPDATE sheets SET student_id = ?1, student_name = ?2, student_email = ?3, "
                        "student_section = ?4, identity_source = ?5, updated_at = ?6, student_sort_name = ?8 "
                        "WHERE id = ?7",
                        doing);
    s.bind_text(1, who.student_id).bind_text(2, who.name).bind_text(3, who.email).bind_text(4, who.section);
    s.bind_text(5, who.source).bind_text(6, detail::utc_now()).bind_text(8, who.sort_name);
    if (s.bind_int(7, id).run() == 0) throw detail::unknown_sheet(path_, id);
    tx.commit();
}

namespace detail {

// Every standing decision of a sheet, by question id.
std::map<std::string, Decision> read_decisions(sqlite3* db, const std::string& path, std::int64_t id) {
    const std::string doing = "read the decisions on sheet " + std::to_string(id);
    Statement s(db, path,
                "SELECT e.q_id, e.field, e.new_value, json_type(e.new_value), json_extract(e.new_value, '$'), "
                "e.reviewer, e.at FROM events AS e WHERE e.sheet_id = ?1 AND e.id = (SELECT max(f.id) FROM events "
                "AS f WHERE f.sheet_id = e.sheet_id AND f.q_id = e.q_id AND f.field = e.field) ORDER BY e.id",
                doing);
    s.bind_int(1, id);
    std::map<std::string, Decision> out;
    while (s.step()) {
        const std::string q_id = s.text(0), field = s.text(1), value = s.text(2), type = s.text(3);
        if (type == "null") continue;
        const auto bad = [&] {
            return StoreError(path + ": sheet " + std::to_string(id) + ", question '" + q_id + "': the " + field +
                              " decision is not valid: " + value);
        };
        Decision& d = out[q_id];
        if (field == "awarded" && (type == "integer" || type == "real")) {
            d.awarded = s.real(4);
        } else if (field == "criteria_met" && type == "array") {
            std::optional<std::vector<int>> met = parse_int_list(value);
            if (!met) throw bad();
            d.criteria_met = std::move(*met);
        } else if (field == "feedback" && type == "text") {
            d.feedback = utf8::well_formed(s.text(4));
        } else if (field == "approved" && (type == "true" || type == "false")) {
            d.approved = type == "true";
        } else {
            throw bad();
        }
        d.reviewer = s.text(5);  // rows come in event order: the last one stays
        d.at = s.text(6);
    }
    return out;
}

// The answer's flags without "look again", or with it added; false when the
// sheet has no answer to that question.
bool set_look_again(sqlite3* db, const std::string& path, std::int64_t id, const std::string& q_id, bool on,
                    const std::string& doing) {
    Statement read(db, path, "SELECT flags FROM answers WHERE sheet_id = ?1 AND q_id = ?2", doing);
    if (!read.bind_int(1, id).bind_text(2, q_id).step()) return false;
    std::vector<Flag> flags =
        read_flags(db, path, read.text(0), "sheet " + std::to_string(id) + ", question '" + q_id + "'");
    std::vector<Flag> kept;
    for (auto& f : flags) {
        if (f.kind != kLookAgain) kept.push_back(std::move(f));
    }
    if (on) kept.push_back(Flag{kLookAgain, q_id + ": marked again since the teacher's decision: look again"});
    Statement write(db, path, "UPDATE answers SET flags = ?1 WHERE sheet_id = ?2 AND q_id = ?3", doing);
    write.bind_text(1, flags_json(kept)).bind_int(2, id).bind_text(3, q_id).run();
    return true;
}

}  // namespace detail

namespace {

// utc_now() to the millisecond: two changes a teacher makes in one second
// still read in order.
std::string utc_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    gmtime_r(&now.tv_sec, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

std::string number_json(double value) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("null");
}

std::string bool_json(bool value) { return value ? "true" : "false"; }

// A change's value in one canonical JSON form, checked against its field;
// "" with `why` set when it does not fit.
std::string canonical_value(sqlite3* db, const std::string& path, const Change& change, std::string& why) {
    detail::Statement s(db, path,
                        "SELECT json_valid(?1), CASE WHEN json_valid(?1) THEN json_type(?1) END, "
                        "CASE WHEN json_valid(?1) THEN json_extract(?1, '$') END",
                        "read a change");
    s.bind_text(1, change.new_value).step();
    if (s.integer(0) != 1) {
        why = "is not JSON: " + change.new_value;
        return "";
    }
    std::string type = s.text(1);  // not const: returned by move
    if (type == "null") return "null";
    if (change.field == "awarded") {
        if (type != "integer" && type != "real") {
            why = "must be a number of marks, not " + change.new_value;
            return "";
        }
        const double v = s.real(2);
        if (!std::isfinite(v) || v < 0) {
            why = "must be a finite number of marks, 0 or more, not " + change.new_value;
            return "";
        }
        return number_json(v);
    }
    if (change.field == "criteria_met") {
        std::optional<std::vector<int>> met = type == "array" ? detail::parse_int_list(change.new_value) : std::nullopt;
        if (!met || std::any_of(met->begin(), met->end(), [](int i) { return i < 0; })) {
            why = "must be a list of criterion positions (0, 1, ...), not " + change.new_value;
            return "";
        }
        std::sort(met->begin(), met->end());
        met->erase(std::unique(met->begin(), met->end()), met->end());
        return detail::int_list_json(*met);
    }
    if (change.field == "feedback") {
        if (type != "text") {
            why = "must be text, not " + change.new_value;
            return "";
        }
        std::string out;
        detail::append_json_string(out, s.text(2));
        return out;
    }
    if (change.field == "approved") {
        if (type != "true" && type != "false") {
            why = "must be true or false, not " + change.new_value;
            return "";
        }
        return type;
    }
    why = "is not a field a teacher changes (awarded, criteria_met, feedback, approved)";
    return "";
}

// What stands for one field of one answer now, as JSON: the decision, else
// the model's value.
std::string standing_value(sqlite3* db, const std::string& path, std::int64_t id, const std::string& q_id,
                           const std::string& field, const std::map<std::string, Decision>& decisions) {
    if (auto found = decisions.find(q_id); found != decisions.end()) {
        const Decision& d = found->second;
        if (field == "awarded" && d.awarded) return number_json(*d.awarded);
        if (field == "criteria_met" && d.criteria_met) return detail::int_list_json(*d.criteria_met);
        if (field == "feedback" && d.feedback) {
            std::string out;
            detail::append_json_string(out, *d.feedback);
            return out;
        }
        if (field == "approved" && d.approved) return bool_json(*d.approved);
    }
    if (field == "approved") return "false";
    detail::Statement s(db, path,
                        "SELECT status, awarded, criteria_met, feedback FROM answers WHERE sheet_id = ?1 AND q_id = ?2",
                        "read the answer to question '" + q_id + "'");
    if (!s.bind_int(1, id).bind_text(2, q_id).step() || s.text(0) != "marked") return "null";
    if (field == "awarded") {
        std::optional<double> v = s.real_or_null(1);
        return v ? number_json(*v) : "null";
    }
    if (field == "criteria_met") return s.text(2);
    std::string out;
    detail::append_json_string(out, s.text(3));
    return out;
}

Event read_event(const detail::Statement& s) {
    Event e;
    e.id = s.integer(0);
    e.sheet_id = s.integer(1);
    e.q_id = s.text(2);
    e.field = s.text(3);
    e.old_value = s.text(4);
    e.new_value = s.text(5);
    e.reviewer = s.text(6);
    e.at = s.text(7);
    return e;
}

constexpr const char* kSelectEvent =
    "SELECT id, sheet_id, q_id, field, old_value, new_value, reviewer, at FROM events ";

}  // namespace

std::vector<Event> ResultsStore::record_changes(std::int64_t id, const std::vector<Change>& changes,
                                                const std::string& reviewer, bool add_missing) {
    const std::string doing = "store the changes to sheet " + std::to_string(id);
    detail::Transaction tx(db_, path_, doing);
    if (!detail::sheet_exists(db_, path_, id)) throw detail::unknown_sheet(path_, id);
    const std::string now = utc_now_ms();
    std::vector<Event> stored;
    detail::Statement insert(db_, path_,
                             "INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                             doing);
    for (const Change& change : changes) {
        const std::string where = change.q_id.empty() ? "the sheet" : "question '" + change.q_id + "'";
        std::string why;
        const std::string value = canonical_value(db_, path_, change, why);
        if (!why.empty()) throw std::invalid_argument(change.field + " of " + where + " " + why);
        if (change.q_id.empty()) {
            if (change.field != "approved") {
                throw std::invalid_argument("only a question's " + change.field + " can be changed, not the sheet's");
            }
        } else if (!detail::set_look_again(db_, path_, id, change.q_id, false, doing)) {
            if (!add_missing) {
                throw std::invalid_argument("sheet " + std::to_string(id) + " has no answer to question '" +
                                            change.q_id + "'");
            }
            detail::Statement add(db_, path_,
                                  "INSERT INTO answers (sheet_id, q_id, position, text, pages, status) "
                                  "SELECT ?1, ?2, COALESCE(MAX(position) + 1, 0), '', '[]', 'pending' FROM answers "
                                  "WHERE sheet_id = ?1",
                                  doing);
            add.bind_int(1, id).bind_text(2, change.q_id).run();
        }
        // Read again for every change: one batch may change a field twice.
        const auto decisions = detail::read_decisions(db_, path_, id);
        Event e;
        e.sheet_id = id;
        e.q_id = change.q_id;
        e.field = change.field;
        e.old_value = standing_value(db_, path_, id, change.q_id, change.field, decisions);
        e.new_value = value;
        e.reviewer = reviewer;
        e.at = now;
        insert.reset();
        insert.bind_int(1, id).bind_text(2, e.q_id).bind_text(3, e.field).bind_text(4, e.old_value);
        insert.bind_text(5, e.new_value).bind_text(6, e.reviewer).bind_text(7, e.at).run();
        e.id = sqlite3_last_insert_rowid(db_);
        stored.push_back(std::move(e));
    }
    detail::touch_sheet(db_, path_, id, detail::utc_now(), doing);
    tx.commit();
    return stored;
}

std::vector<Event> ResultsStore::events(std::optional<std::int64_t> id) const {
    detail::Statement s(db_, path_, std::string(kSelectEvent) + (id ? "WHERE sheet_id = ?1 " : "") + "ORDER BY id",
                        "read the teacher's changes");
    if (id) s.bind_int(1, *id);
    std::vector<Event> out;
    while (s.step()) out.push_back(read_event(s));
    return out;
}

std::map<std::string, Decision> ResultsStore::decisions(std::int64_t id) const {
    return detail::read_decisions(db_, path_, id);
}

namespace {

constexpr const char* kSelectBatch =
    "SELECT batch_id, stage, input_file_id, status, output_file_id, error_file_id, total, completed, failed, "
    "collected, submitted_at, updated_at FROM batches ";

BatchRecord read_batch(const detail::Statement& s) {
    BatchRecord b;
    b.batch_id = s.text(0);
    b.stage = s.text(1);
    b.input_file_id = s.text(2);
    b.status = s.text(3);
    b.output_file_id = s.text(4);
    b.error_file_id = s.text(5);
    b.total = s.integer(6);
    b.completed = s.integer(7);
    b.failed = s.integer(8);
    b.collected = s.integer(9) != 0;
    b.submitted_at = s.text(10);
    b.updated_at = s.text(11);
    return b;
}

constexpr const char* kSelectLine =
    "SELECT custom_id, stage, body, state, batch_id, response, error, tries FROM batch_lines ";

BatchLine read_line(const detail::Statement& s) {
    BatchLine l;
    l.custom_id = s.text(0);
    l.stage = s.text(1);
    l.body = s.text(2);
    l.state = s.text(3);
    l.batch_id = s.text(4);
    l.response = s.text(5);
    l.error = s.text(6);
    l.tries = static_cast<int>(s.integer(7));
    return l;
}

}  // namespace

void ResultsStore::record_batch(const BatchRecord& batch, const std::vector<BatchLine>& lines) {
    const std::string doing = "record the batch " + batch.batch_id;
    detail::Transaction tx(db_, path_, doing);
    const std::string now = detail::utc_now();
    detail::Statement b(db_, path_,
                        "INSERT INTO batches (batch_id, seq, stage, input_file_id, status, total, submitted_at, "
                        "updated_at) VALUES (?1, (SELECT coalesce(max(seq), 0) + 1 FROM batches), "
                        "?2, ?3, ?4, ?5, ?6, ?6)",
                        doing);
    b.bind_text(1, batch.batch_id).bind_text(2, batch.stage).bind_text(3, batch.input_file_id);
    b.bind_text(4, batch.status).bind_int(5, static_cast<std::int64_t>(lines.size())).bind_text(6, now).run();
    detail::Statement l(db_, path_,
                        "INSERT INTO batch_lines (custom_id, stage, body, state, batch_id, tries) "
                        "VALUES (?1, ?2, ?3, 'submitted', ?4, 1) "
                        "ON CONFLICT (custom_id) DO UPDATE SET state = 'submitted', batch_id = excluded.batch_id, "
                        "response = '', tries = tries + 1",
                        doing);
    for (const auto& line : lines) {
        l.reset();
        l.bind_text(1, line.custom_id).bind_text(2, line.stage).bind_text(3, line.body).bind_text(4, batch.batch_id);
        l.run();
    }
    tx.commit();
}

void ResultsStore::update_batch(const BatchRecord& batch) {
    detail::Statement s(db_, path_,
                        "UPDATE batches SET status = ?2, output_file_id = ?3, error_file_id = ?4, total = ?5, "
                        "completed = ?6, failed = ?7, updated_at = ?8 WHERE batch_id = ?1",
                        "record the progress of the batch " + batch.batch_id);
    s.bind_text(1, batch.batch_id).bind_text(2, batch.status).bind_text(3, batch.output_file_id);
    s.bind_text(4, batch.error_file_id).bind_int(5, batch.total).bind_int(6, batch.completed);
    s.bind_int(7, batch.failed).bind_text(8, detail::utc_now()).run();
}

void ResultsStore::store_batch_results(const std::string& batch_id, const std::vector<BatchResult>& results,
                                       const std::string& missing_cause) {
    const std::string doing = "store the results of the batch " + batch_id;
    detail::Transaction tx(db_, path_, doing);
    // Only lines still waiting for this batch: a result for a line sent
    // again elsewhere since is stale.
    detail::Statement s(db_, path_,
                        "UPDATE batch_lines SET state = ?3, response = ?4, error = ?5 "
                        "WHERE custom_id = ?1 AND batch_id = ?2 AND state = 'submitted'",
                        doing);
    for (const auto& r : results) {
        s.reset();
        s.bind_text(1, r.custom_id).bind_text(2, batch_id).bind_text(3, r.ok ? "done" : "failed");
        s.bind_text(4, r.ok ? r.response : "").bind_text(5, r.ok ? "" : r.error).run();
    }
    detail::Statement missing(db_, path_,
                              "UPDATE batch_lines SET state = 'failed', error = ?2 WHERE batch_id = ?1 "
                              "AND state = 'submitted'",
                              doing);
    missing.bind_text(1, batch_id).bind_text(2, missing_cause).run();
    detail::Statement done(db_, path_, "UPDATE batches SET collected = 1, updated_at = ?2 WHERE batch_id = ?1", doing);
    done.bind_text(1, batch_id).bind_text(2, detail::utc_now()).run();
    tx.commit();
}

void ResultsStore::rename_batch(const std::string& from, const std::string& to) {
    const std::string doing = "name the batch " + to;
    detail::Transaction tx(db_, path_, doing);
    detail::Statement b(db_, path_, "UPDATE batches SET batch_id = ?2, updated_at = ?3 WHERE batch_id = ?1", doing);
    b.bind_text(1, from).bind_text(2, to).bind_text(3, detail::utc_now()).run();
    detail::Statement l(db_, path_, "UPDATE batch_lines SET batch_id = ?2 WHERE batch_id = ?1", doing);
    l.bind_text(1, from).bind_text(2, to).run();
    tx.commit();
}

void ResultsStore::fail_batch_line(const std::string& custom_id, const std::string& error) {
    detail::Statement s(db_, path_, "UPDATE batch_lines SET state = 'failed', error = ?2 WHERE custom_id = ?1",
                        "record a failed batch request");
    s.bind_text(1, custom_id).bind_text(2, error).run();
}

void ResultsStore::retry_batch_lines(int tries) {
    detail::Statement s(db_, path_, "UPDATE batch_lines SET tries = 0 WHERE state = 'failed' AND tries >= ?1",
                        "reset the failed batch requests");
    s.bind_int(1, tries).run();
}

void ResultsStore::clear_batch_lines() {
    detail::exec(db_, path_, "DELETE FROM batch_lines; DELETE FROM batch_readings", "clear the batch requests");
}

void ResultsStore::keep_reading(const std::string& key, const KeptReading& kept) {
    detail::Statement s(db_, path_, "INSERT OR REPLACE INTO batch_readings (key, reading, usage) VALUES (?1, ?2, ?3)",
                        "keep a sheet's reading");
    s.bind_text(1, key).bind_text(2, kept.reading).bind_text(3, kept.usage).run();
}

std::optional<KeptReading> ResultsStore::kept_reading(const std::string& key) const {
    detail::Statement s(db_, path_, "SELECT reading, usage FROM batch_readings WHERE key = ?1", "read a kept reading");
    s.bind_text(1, key);
    if (!s.step()) return std::nullopt;
    return KeptReading{s.text(0), s.text(1)};
}

std::optional<BatchLine> ResultsStore::batch_line(const std::string& custom_id) const {
    detail::Statement s(db_, path_, std::string(kSelectLine) + "WHERE custom_id = ?1", "read a batch request");
    s.bind_text(1, custom_id);
    if (!s.step()) return std::nullopt;
    return read_line(s);
}

std::vector<BatchLine> ResultsStore::batch_lines() const {
    detail::Statement s(db_, path_, std::string(kSelectLine) + "ORDER BY rowid", "read the batch requests");
    std::vector<BatchLine> out;
    while (s.step()) out.push_back(read_line(s));
    return out;
}

std::optional<BatchRecord> ResultsStore::open_batch() const {
    detail::Statement s(db_, path_, std::string(kSelectBatch) + "WHERE collected = 0 ORDER BY seq LIMIT 1",
                        "read the open batch");
    if (!s.step()) return std::nullopt;
    return read_batch(s);
}

std::vector<BatchRecord> ResultsStore::batches() const {
    detail::Statement s(db_, path_, std::string(kSelectBatch) + "ORDER BY seq", "read the batches");
    std::vector<BatchRecord> out;
    while (s.step()) out.push_back(read_batch(s));
    return out;
}

}  // namespace quorvan::core
