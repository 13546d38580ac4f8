// The teacher's changes to a sheet (the events table) and what stands after
// them: changes checked and stored with what stood before, the decisions read
// back, and the "look again" flag a new marking puts beside a decision.
#include "results_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "results_store_internal.hpp"
#include "utf8.hpp"

namespace quorvan::core {

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

}  // namespace quorvan::core
