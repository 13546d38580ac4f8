#include "roster.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <map>

namespace quorvan::core {

namespace {

std::string trim_field(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// "Student ID", "student-id" and "STUDENT_ID" are one column.
std::string column_key(const std::string& header) {
    std::string key;
    for (char c : trim_field(header)) {
        if (c == ' ' || c == '-') c = '_';
        key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return key;
}

// The line of the first byte that is not UTF-8, or 0 when all are.
int first_bad_utf8_line(const std::string& text) {
    int line = 1;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') ++line;
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            return line;
        }
        if (extra && i + extra >= text.size()) return line;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return line;
        }
        i += extra + 1;
    }
    return 0;
}

// The separator the header line uses more of, outside quotes.
char detect_separator(const std::string& text) {
    std::size_t commas = 0, semicolons = 0;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;
        commas += c == ',';
        semicolons += c == ';';
    }
    return semicolons > commas ? ';' : ',';
}

struct Record {
    int line = 0;
    std::vector<std::string> fields;
};

// RFC 4180 records, with \n, \r\n or \r line ends. An unterminated quote is
// reported at the line it opened on.
std::vector<Record> split_records(const std::string& text, char sep, std::vector<std::string>& problems) {
    std::vector<Record> records;
    Record current;
    std::string field;
    bool quoted = false, was_quoted = false, any = false;
    int line = 1, quote_line = 0;
    current.line = 1;
    auto end_field = [&] {
        current.fields.push_back(was_quoted ? field : trim_field(field));
        field.clear();
        was_quoted = false;
    };
    auto end_record = [&] {
        end_field();
        bool blank = true;
        for (const auto& f : current.fields) blank = blank && f.empty();
        if (!blank || any) records.push_back(std::move(current));
        current = Record{};
        any = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == '\n' || (c == '\r' && !(i + 1 < text.size() && text[i + 1] == '\n'))) ++line;
                field += c;
            }
            continue;
        }
        if (c == '"' && trim_field(field).empty()) {
            quoted = was_quoted = any = true;
            quote_line = line;
            field.clear();
        } else if (c == sep) {
            end_field();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            end_record();
            ++line;
            current.line = line;
        } else {
            field += c;
        }
    }
    if (quoted) {
        problems.push_back("line " + std::to_string(quote_line) + ": a quote opened here is never closed");
        return records;
    }
    if (!field.empty() || !current.fields.empty()) end_record();
    return records;
}

}  // namespace

bool is_glob(const std::string& file) { return file.find_first_of("*?[") != std::string::npos; }

Roster parse_roster(const std::string& input) {
    Roster roster;
    std::string text = input;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    if (const int bad = first_bad_utf8_line(text)) {
        roster.problems.push_back("line " + std::to_string(bad) +
                                  ": not UTF-8 text (save the roster as \"CSV UTF-8\")");
        return roster;
    }
    if (trim_field(text).empty()) {
        roster.problems.push_back("the roster is empty: it needs a header row (file, student_id, name) and a row per "
                                  "sheet");
        return roster;
    }
    roster.separator = detect_separator(text);
    std::vector<Record> records = split_records(text, roster.separator, roster.problems);
    if (records.empty()) return roster;

    const Record& header = records.front();
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string key = column_key(header.fields[i]);
        if (key == "file" || key == "student_id" || key == "name" || key == "email" || key == "section" ||
            key == "first_name" || key == "last_name") {
            if (column.count(key)) {
                roster.problems.push_back("line " + std::to_string(header.line) + ": the column " + key +
                                          " is there twice");
            }
            column.emplace(key, i);
        }
    }
    if (!column.count("file")) {
        roster.problems.push_back("line " + std::to_string(header.line) +
                                  ": no column file (the sheet's file name, path or a pattern such as scans/anna*.pdf)");
    }
    if (column.count("first_name") != column.count("last_name")) {
        roster.problems.push_back("line " + std::to_string(header.line) + ": the column " +
                                  (column.count("first_name") ? "first_name" : "last_name") + " without " +
                                  (column.count("first_name") ? "last_name" : "first_name"));
    }
    if (!column.count("student_id") && !column.count("name") && !column.count("first_name")) {
        roster.problems.push_back("line " + std::to_string(header.line) + ": no column student_id or name");
    }
    if (!roster.problems.empty()) return roster;

    auto cell = [&](const Record& r, const char* key) -> std::string {
        const auto it = column.find(key);
        if (it == column.end() || it->second >= r.fields.size()) return "";
        return trim_field(r.fields[it->second]);
    };
    std::map<std::string, const RosterRow*> by_id;
    roster.rows.reserve(records.size());
    for (std::size_t r = 1; r < records.size(); ++r) {
        const Record& rec = records[r];
        const std::string at = "line " + std::to_string(rec.line) + ": ";
        if (rec.fields.size() > header.fields.size()) {
            // Cells beyond the header are most often a name with the
            // separator in it, unquoted: every column after it is shifted.
            roster.problems.push_back(at + std::to_string(rec.fields.size()) + " cells but the header has " +
                                      std::to_string(header.fields.size()) + " (a value with '" +
                                      std::string(1, roster.separator) + "' in it needs quotes)");
            continue;
        }
        RosterRow row;
        row.line = rec.line;
        row.file = cell(rec, "file");
        row.student_id = cell(rec, "student_id");
        row.name = cell(rec, "name");
        const std::string first = cell(rec, "first_name"), last = cell(rec, "last_name");
        if (!first.empty() && !last.empty()) {
            row.sort_name = last + ", " + first;
            if (row.name.empty()) row.name = first + " " + last;
        } else if (row.name.empty()) {
            row.name = first.empty() ? last : first;
        }
        row.email = cell(rec, "email");
        row.section = cell(rec, "section");
        bool ok = true;
        if (row.file.empty()) {
            roster.problems.push_back(at + "no file");
            ok = false;
        }
        if (row.student_id.empty() && row.name.empty()) {
            roster.problems.push_back(at + "no student_id and no name");
            ok = false;
        }
        if (!ok) continue;
        roster.rows.push_back(row);
    }
    // One id, two different names: one of them is a typing error that would
    // put a grade on the wrong student.
    for (const auto& row : roster.rows) {
        if (row.student_id.empty()) continue;
        const auto [it, fresh] = by_id.emplace(row.student_id, &row);
        if (!fresh && it->second->name != row.name) {
            roster.problems.push_back("line " + std::to_string(row.line) + ": student_id " + row.student_id +
                                      " is on line " + std::to_string(it->second->line) + " with another name (" +
                                      it->second->name + ")");
        }
    }
    return roster;
}

namespace {

std::string ascii_folded(std::string s) {
    for (auto& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
}

}  // namespace

RosterMatch match_roster(const std::vector<RosterRow>& rows, const std::vector<std::string>& resolved_files,
                         const std::vector<SheetPath>& sheets) {
    RosterMatch m;
    std::vector<bool> used(rows.size(), false);
    auto base = [](const std::string& path) {
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    for (const auto& sheet : sheets) {
        const std::string name = base(sheet.given);
        std::vector<std::size_t> best;
        // Every level is looked at so that a row overruled by a closer one
        // still counts as matching a sheet.
        const std::string folded_name = ascii_folded(name);
        for (int level = 0; level < 4; ++level) {
            std::vector<std::size_t> hits;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const std::string& f = rows[i].file;
                bool hit = false;
                if (level == 0) {
                    const std::string& resolved = i < resolved_files.size() ? resolved_files[i] : std::string();
                    hit = f == sheet.given || (!resolved.empty() && resolved == sheet.resolved);
                } else if (level == 1) {
                    hit = f == name;
                } else if (level == 2) {
                    // A class list typed as DANA.PDF names dana.pdf (and the other way round).
                    hit = !is_glob(f) && ascii_folded(base(f)) == folded_name;
                } else {
                    hit = is_glob(f) && (fnmatch(f.c_str(), sheet.given.c_str(), FNM_CASEFOLD) == 0 ||
                                         fnmatch(f.c_str(), name.c_str(), FNM_CASEFOLD) == 0);
                }
                if (hit) hits.push_back(i);
            }
            for (std::size_t i : hits) used[i] = true;
            if (best.empty()) best = std::move(hits);
        }
        if (best.empty()) {
            m.row_of_sheet.emplace_back();
            continue;
        }
        bool conflict = false;
        for (std::size_t i : best) conflict = conflict || !rows[i].same_student(rows[best.front()]);
        if (conflict) {
            std::string lines;
            for (std::size_t i : best) lines += (lines.empty() ? "" : ", ") + std::to_string(rows[i].line);
            m.problems.push_back(sheet.given + " is matched by lines " + lines + ", which name different students");
            m.row_of_sheet.emplace_back();
            continue;
        }
        m.row_of_sheet.emplace_back(best.front());
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!used[i]) m.unmatched_rows.push_back(i);
    }
    return m;
}

}  // namespace quorvan::core
