// The sheets of a class run and what was found and marked on them: the
// sheets, answers and page_reading tables.
#include "results_store.hpp"

#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "results_store_internal.hpp"
#include "utf8.hpp"

namespace quorvan::core {

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

}  // namespace quorvan::core
