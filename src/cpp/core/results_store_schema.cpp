// The results store's tables as SQLite holds them: their definitions, the
// upgrades from older schemas, the stand-ins of a store opened only to read,
// and the check for damage.
#include "results_store.hpp"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "results_store_internal.hpp"

namespace quorvan::core {

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

}  // namespace quorvan::core
