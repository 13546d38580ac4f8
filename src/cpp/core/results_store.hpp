// The results store of a class run: one SQLite database per results folder,
// the only source of truth of what was marked. Every write is one
// transaction, so a killed run loses at most the calls that were in flight;
// everything a person reads (class file, reports) is written from here.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace quorvan::core {

// A database that cannot be opened, read or written, or one written by a newer
// version of this library. The message is meant for the user.
struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Tokens and cost of the model calls behind one stored result.
struct CallUsage {
    std::string model;
    std::int64_t input_tokens = 0;
    std::int64_t output_tokens = 0;
    double cost = 0.0;
    int calls = 0;  // tries included
};

// Something a person should look at before trusting a mark (hidden text on a
// page, an answer that addresses the marker): a fixed kind and a short note
// in words. A flagged sheet is still marked.
struct Flag {
    std::string kind;
    std::string note;
    bool operator==(const Flag&) const = default;
};

// Who a sheet belongs to. `source`: "roster" (the class list given to the
// run), "sheet" (read from a labelled line on its first page), "" (unknown:
// the file name stands).
struct Identity {
    std::string student_id;
    std::string name;
    std::string email;
    std::string section;
    std::string source;
    std::string sort_name{};  // "Last, First" when the roster gives both; "" otherwise
    bool empty() const { return student_id.empty() && name.empty(); }
    bool operator==(const Identity&) const = default;
};

// Sheet status: "pending" (nothing stored yet), "marked" (every answer marked),
// "incomplete" (some answers not marked; their causes are on the answers),
// "failed" (the sheet could not be read or parsed; the cause is on the sheet).
struct SheetRecord {
    std::int64_t id = 0;
    std::string path_given;     // as the user typed it, last time
    std::string path_resolved;  // absolute, symlinks resolved: the identity
    std::string report_name;    // stem of the sheet's reports, unique in the folder, never changes
    std::string sha256;         // of the bytes last read ("" before the first read)
    std::string paper_fingerprint;  // of the paper the stored results were made against
    std::string status = "pending";
    std::string failure;        // cause of "failed"
    bool parsed = false;        // the answers were found and stored
    std::string parse_key;      // what the parse depended on (the paper's question ids)
    CallUsage parse_usage;
    std::string updated_at;     // UTC, ISO 8601
    std::vector<Flag> flags;    // of the sheet as last read; cleared when it is read again
    Identity identity;
};

// One question of one sheet, as found by the parse and marked.
// Status: "pending" (found, not marked yet), "marked", "failed" (the cause is
// in `failure`).
struct AnswerRecord {
    std::string q_id;
    int position = 0;  // order in the parse
    std::string text;
    std::vector<int> pages;
    std::string status = "pending";
    std::string question_fingerprint;  // of the question as it was marked
    std::vector<int> criteria_met;     // 0-based criterion positions
    std::optional<double> awarded;
    std::optional<double> maximum;
    std::string feedback;
    std::string failure;
    CallUsage usage;
    std::string marked_at;  // UTC, ISO 8601; "" while not marked
    std::vector<Flag> flags;
};

// What the parse found for one question.
struct FoundAnswer {
    std::string q_id;
    std::string text;
    std::vector<int> pages;
    std::vector<Flag> flags{};  // braces: the many {q_id, text, pages} lists need no fourth member
};

// How one page of a sheet was read (see ExtractorClient.read_pdf's pages).
struct PageReading {
    int page = 0;
    std::string method;                // "text", "ocr" or "vision"
    std::int64_t words = 0;
    std::optional<double> confidence;  // OCR's mean word confidence, 0 to 100
    std::optional<double> low_share;
    bool reliable = true;              // false: read badly and not read again
    std::string note;
    bool operator==(const PageReading&) const = default;
};

// A teacher's change to one answer (or, with q_id "", to the sheet as a
// whole), stored once and never rewritten. Fields and their JSON values:
// "awarded" (a number), "criteria_met" (a list of 0-based criterion
// positions), "feedback" (a string), "approved" (true or false); null clears
// the field's decision, so the model's value stands again. The sheet as a
// whole takes "approved" only.
struct Event {
    std::int64_t id = 0;  // order of the changes
    std::int64_t sheet_id = 0;
    std::string q_id;
    std::string field;
    std::string old_value;  // JSON: what stood before
    std::string new_value;  // JSON
    std::string reviewer;
    std::string at;  // UTC, ISO 8601 with milliseconds
};

struct Change {
    std::string q_id;
    std::string field;
    std::string new_value;  // JSON
};

// What stands for one answer after the teacher's changes: per field, the
// latest event unless it cleared the field.
struct Decision {
    std::optional<double> awarded;
    std::optional<std::vector<int>> criteria_met;
    std::optional<std::string> feedback;
    std::optional<bool> approved;
    std::string reviewer;  // of the latest standing event
    std::string at;
    bool any() const { return awarded || criteria_met || feedback || approved; }
};

// The flag an answer gets when the model marks it again while a teacher's
// decision stands for it; the teacher's next change to the answer removes it.
inline constexpr const char* kLookAgain = "look_again";

// One model request of a batch run (`quorvan mark --batch`), known by its
// custom_id, which is made from its body: the same request is one line.
// State: "submitted" (in batch_id, no result yet), "done" (the model's answer
// stored), "failed" (the cause stored; sent again in the next batch).
struct BatchLine {
    std::string custom_id;
    std::string stage;     // "reading" (a sheet's parse) or "marking" (an answer's)
    std::string body;      // the request body, JSON
    std::string state = "submitted";
    std::string batch_id;  // of the batch it was last sent in
    std::string response;  // the answer's body, JSON, when done (or failed after it did not hold up)
    std::string error;     // why it has no answer, when failed
    int tries = 0;         // batches it was sent in
};

// One batch sent to the model service, and how far it is.
struct BatchRecord {
    std::string batch_id;
    std::string stage;          // "reading", "marking" or "reading and marking"
    std::string input_file_id;
    std::string status;         // as the service says: validating, in_progress, ..., completed, expired
    std::string output_file_id;
    std::string error_file_id;
    std::int64_t total = 0, completed = 0, failed = 0;  // requests
    bool collected = false;     // its results are stored in the lines
    std::string submitted_at;   // UTC
    std::string updated_at;     // UTC
};

// A sheet as a pass of a batch run read it, kept for the passes after it:
// they use it rather than read the sheet (and send its pages to the vision
// model) again.
struct KeptReading {
    std::string reading;  // texts, hidden words and how each page was read, JSON
    std::string usage;    // the vision model's calls made to read it, JSON
};

// A line's result as the batch gave it.
struct BatchResult {
    std::string custom_id;
    bool ok = false;
    std::string response;  // the answer's body, JSON, when ok
    std::string error;     // else why not
};

class ResultsStore {
public:
    static constexpr int kSchemaVersion = 3;

    // Opens the database at `path`, creating it and its tables when missing
    // (WAL journal, foreign keys on). Refuses a database whose schema version
    // is newer than this library's, or a file that is not one of ours.
    // `write` (the default) makes a missing database, brings an older one up
    // to date and takes changes; `read` writes nothing at all, so that a store
    // that cannot be written (a read-only file or folder, a copy on a
    // read-only disk) can still be looked at, exported and compared.
    enum class Access { write, read };
    explicit ResultsStore(const std::string& path, Access access = Access::write);
    ~ResultsStore();
    ResultsStore(const ResultsStore&) = delete;
    ResultsStore& operator=(const ResultsStore&) = delete;

    // The paper's canonical JSON under its fingerprint (kept once).
    void remember_paper(const std::string& fingerprint, const std::string& canonical_json);
    std::optional<std::string> paper_json(const std::string& fingerprint) const;
    // When the paper was first marked against here (UTC, ISO 8601); "" when unknown.
    std::string paper_first_seen(const std::string& fingerprint) const;
    // The fingerprint of the paper last remembered: the latest run's ("" for
    // none yet).
    std::string current_paper() const;
    // What is wrong with the database as SQLite and this library see it (a
    // damaged page, a table gone), or "" when it is whole. Reads every page.
    std::string damage() const;

    // The sheet with this resolved path, created (status "pending") when new.
    // A new sheet gets `wanted_report_name`, or that name with "-2", "-3", ...
    // when another sheet has it (compared without case: one file on some file
    // systems). The path as given is updated every time. An empty wanted name
    // is a std::invalid_argument.
    SheetRecord add_sheet(const std::string& path_given, const std::string& path_resolved,
                          const std::string& wanted_report_name);
    std::optional<SheetRecord> sheet(std::int64_t id) const;
    std::optional<SheetRecord> find_sheet(const std::string& path_resolved) const;
    // Every sheet, in the order they were first added.
    std::vector<SheetRecord> sheets() const;

    // Forgets what was stored for the sheet (answers, parse, status) and
    // records the bytes now read: a changed PDF or a forced re-mark.
    void reset_sheet(std::int64_t id, const std::string& sha256);

    // The parse of a sheet: replaces every stored answer with these (status
    // "pending"), the sheet's flags with `sheet_flags` and how its pages were
    // read with `pages`, records the sha256 of the bytes read and the parse key.
    void store_parse(std::int64_t id, const std::string& sha256, const std::string& parse_key,
                     const std::vector<FoundAnswer>& answers, const CallUsage& usage,
                     const std::vector<Flag>& sheet_flags = {}, const std::vector<PageReading>& pages = {});

    // How the sheet's pages were read when it was last parsed, in page order.
    std::vector<PageReading> page_reading(std::int64_t id) const;

    // One answer's marking, stored as soon as it arrives.
    void store_mark(std::int64_t id, const std::string& q_id, const std::string& question_fingerprint,
                    const std::vector<int>& criteria_met, double awarded, double maximum,
                    const std::string& feedback, const CallUsage& usage);
    // One answer that could not be marked, with its cause.
    void store_mark_failure(std::int64_t id, const std::string& q_id, const std::string& question_fingerprint,
                            const std::string& cause, const CallUsage& usage);

    // The sheet's status, the cause when "failed" ("" otherwise), and the paper
    // its results now stand against.
    void set_status(std::int64_t id, const std::string& status, const std::string& failure,
                    const std::string& paper_fingerprint);

    // What was found on the sheet as a whole when it was read (replacing what
    // was there).
    void set_sheet_flags(std::int64_t id, const std::vector<Flag>& flags);

    // The sheet's answers in parse order.
    std::vector<AnswerRecord> answers(std::int64_t id) const;

    // Who the sheet belongs to (replacing what was stored).
    void set_identity(std::int64_t id, const Identity& who);

    // Stores the changes as events in one transaction, each with the value
    // that stood before it (the standing decision, else the model's value),
    // and returns them. An unknown field, a value of the wrong type, a
    // negative or non-finite mark or a question the sheet has no answer to is
    // a std::invalid_argument with a message for the user; nothing is stored
    // then. A change to an answer removes its "look again" flag.
    // With `add_missing`, a change to a question the parse found no answer
    // to stores an empty answer for it first (the teacher marks it anyway).
    std::vector<Event> record_changes(std::int64_t id, const std::vector<Change>& changes, const std::string& reviewer,
                                      bool add_missing = false);
    // The events of one sheet, or of every sheet, in the order they were made.
    std::vector<Event> events(std::optional<std::int64_t> id = std::nullopt) const;
    // What stands for each answer of the sheet, by question id ("" for the
    // sheet as a whole); answers without a standing decision are left out.
    std::map<std::string, Decision> decisions(std::int64_t id) const;

    // The files written from the store into the results folder (class file,
    // reports), by name in that folder: the size and SHA-256 of what was
    // written. What is there now may be replaced only if it is one of them.
    // A write is recorded before its rename, so the last two are kept: the
    // new one, and the old one a failed rename leaves in place.
    struct WrittenFile {
        std::int64_t size = 0;
        std::string sha256;
    };
    void record_written(const std::string& name, const WrittenFile& file);
    std::vector<WrittenFile> written(const std::string& name) const;  // newest first

    // ---- batch runs
    // A batch as submitted, with its lines, in one transaction: each line is
    // recorded (or, sent before, updated) as submitted in it, one more try.
    void record_batch(const BatchRecord& batch, const std::vector<BatchLine>& lines);
    // What the service last said of the batch: status, counts, files.
    void update_batch(const BatchRecord& batch);
    // A batch recorded before the service named it (its requests uploaded,
    // the batch not yet made) takes the service's id, its lines with it.
    void rename_batch(const std::string& from, const std::string& to);
    // The results of an ended batch, in one transaction; its lines left
    // without one fail with `missing_cause` (an expired batch). The batch is
    // then collected.
    void store_batch_results(const std::string& batch_id, const std::vector<BatchResult>& results,
                             const std::string& missing_cause);
    // A line whose stored answer did not hold up: failed, sent again; the
    // answer is kept for when no batch gives a better one.
    void fail_batch_line(const std::string& custom_id, const std::string& error);
    // Lines failed `tries` times or more start counting again (a new run).
    void retry_batch_lines(int tries);
    // The lines are no longer needed once the run has stored everything;
    // the batches stay as its history. The readings kept go with them.
    void clear_batch_lines();
    // A sheet's reading kept under `key` (its SHA-256 and how it was read);
    // a reading kept before under the same key is replaced.
    void keep_reading(const std::string& key, const KeptReading& kept);
    std::optional<KeptReading> kept_reading(const std::string& key) const;
    std::optional<BatchLine> batch_line(const std::string& custom_id) const;
    std::vector<BatchLine> batch_lines() const;
    // The batch submitted last whose results are not stored yet.
    std::optional<BatchRecord> open_batch() const;
    // Every batch, in the order submitted.
    std::vector<BatchRecord> batches() const;

private:
    sqlite3* db_ = nullptr;
    std::string path_;
};

// SHA-256 of bytes, as 64 lowercase hex digits.
std::string sha256_hex(const std::string& bytes);
// SHA-256 of a file's bytes; throws std::runtime_error when it cannot be read.
std::string sha256_file(const std::string& path);

}  // namespace quorvan::core
