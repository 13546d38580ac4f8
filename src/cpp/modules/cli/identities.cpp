#include "identities.hpp"

#include <algorithm>

#include "identity.hpp"

namespace quorvan::cli {

namespace {

constexpr long long kMaxRosterBytes = 16LL << 20;
constexpr std::size_t kMaxRosterRows = 50000;

std::string read_roster_file(const Session& s, const py::object& path) {
    const std::string name = utf8(path);
    if (app::is_folder(path)) s.usage_error("--roster " + name + " is a folder, not a CSV file");
    if (!app::is_file(path)) s.usage_error("roster not found: " + name);
    // A class list, not a school's records: read whole, so kept small.
    if (app::file_size(path) > kMaxRosterBytes) {
        s.usage_error("the roster " + name + " is larger than " + std::to_string(kMaxRosterBytes >> 20) +
                      " MB: give the class's own list (the rows of the sheets marked)");
    }
    try {
        return app::read_bytes(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot read the roster " + name + ": " + utf8(e.value()));
    }
}

}  // namespace

std::vector<std::optional<core::Identity>> read_roster(const Session& s, const py::object& path,
                                                       const std::vector<core::SheetPath>& sheets) {
    const std::string name = utf8(path);
    const std::string bytes = read_roster_file(s, path);
    if (bytes.rfind("\xff\xfe", 0) == 0 || bytes.rfind("\xfe\xff", 0) == 0) {
        s.usage_error("the roster " + name + " is UTF-16 text: save it as CSV UTF-8");
    }
    if (bytes.rfind("PK\x03\x04", 0) == 0 || bytes.rfind("\xd0\xcf\x11\xe0", 0) == 0) {
        s.usage_error("the roster " + name + " is a spreadsheet file, not CSV: save it as CSV UTF-8");
    }
    core::Roster roster = core::parse_roster(bytes);
    if (roster.rows.size() > kMaxRosterRows) {
        s.usage_error("the roster " + name + " has " + std::to_string(roster.rows.size()) + " rows; at most " +
                      std::to_string(kMaxRosterRows) + " are read: give the class's own list");
    }
    std::vector<std::string> problems = roster.problems;
    core::RosterMatch match;
    if (problems.empty()) {
        // A row's path means what it would mean on the command line.
        std::vector<std::string> resolved;
        for (const auto& row : roster.rows) {
            resolved.push_back(core::is_glob(row.file) ? "" : utf8(app::real_path(py::str(row.file))));
        }
        match = core::match_roster(roster.rows, resolved, sheets);
        problems = match.problems;
    }
    if (!problems.empty()) {
        std::string text = "the roster " + name + " cannot be used:";
        for (const auto& p : problems) text += "\n  - " + p;
        s.usage_error(text);
    }
    // One line however many: a class list of the whole year marked a group at a time.
    if (!match.unmatched_rows.empty()) {
        const std::size_t n = match.unmatched_rows.size(), shown = std::min<std::size_t>(n, 5);
        std::string list;
        for (std::size_t k = 0; k < shown; ++k) {
            const core::RosterRow& row = roster.rows[match.unmatched_rows[k]];
            const std::string who = row.name.empty() ? row.student_id : row.name;
            list += (k ? ", " : "") + std::string("line ") + std::to_string(row.line) + " (" + who + ", " + row.file + ")";
        }
        if (n > shown) list += " and " + std::to_string(n - shown) + " more";
        s.complain(py::str("quorvan mark: warning: " + std::to_string(n) + (n == 1 ? " row" : " rows") + " of " +
                           name + (n == 1 ? " matches" : " match") + " no sheet of this run: " + list));
    }
    std::vector<std::optional<core::Identity>> out;
    for (const auto& r : match.row_of_sheet) {
        if (!r) {
            out.emplace_back();
            continue;
        }
        const core::RosterRow& row = roster.rows[*r];
        core::Identity who;
        who.student_id = row.student_id;
        who.name = row.name;
        who.email = row.email;
        who.section = row.section;
        who.source = "roster";
        who.sort_name = row.sort_name;
        out.emplace_back(std::move(who));
    }
    return out;
}

core::Identity identity_on_sheet(const py::object& sheet) {
    core::Identity who;
    py::object texts = py::getattr(sheet, "extracted_texts", py::none());
    if (!PyDict_Check(texts.ptr()) || py::len(texts) == 0) return who;
    py::object first;
    try {
        first = M("builtins").attr("min")(texts);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return who;  // page keys that do not compare: no first page to speak of
    }
    py::object text = texts[first];
    if (!PyUnicode_Check(text.ptr())) return who;
    const core::PageIdentity found = core::identity_from_page(text.cast<std::string>());
    if (found.empty()) return who;
    who.student_id = found.student_id;
    who.name = found.name;
    who.source = "sheet";
    return who;
}

py::str shown_with_name(const py::object& sheet_name, const core::Identity& who) {
    if (who.name.empty()) return pyglue::str(sheet_name);
    return pyglue::cat(py::str(who.name), " (", sheet_name, ")");
}

}  // namespace quorvan::cli
