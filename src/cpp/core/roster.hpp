// A class roster: who each answer sheet belongs to, as the teacher lists it
// in a spreadsheet saved as CSV. Pure text handling and matching; reading the
// file and resolving paths is the caller's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorvan::core {

struct RosterRow {
    int line = 0;       // where the row starts in the file, from 1
    std::string file;   // a path, a file name or a glob
    std::string student_id, name, email, section;
    std::string sort_name{};  // "Last, First" from the columns first_name and last_name

    bool same_student(const RosterRow& other) const {
        return student_id == other.student_id && name == other.name && email == other.email &&
               section == other.section && sort_name == other.sort_name;
    }
};

struct Roster {
    std::vector<RosterRow> rows;
    char separator = ',';
    // Everything wrong with the file, each with its line ("line 4: no file"):
    // one look at the list is enough to fix them all.
    std::vector<std::string> problems;
};

// Parses the text of a roster: a header row naming the columns `file`,
// `student_id`, `name` and optionally `email` and `section` (any case, spaces
// around them ignored, "student id" as well), other columns ignored. A
// student's name may also be given as `first_name` and `last_name` (the name
// is then "First Last" unless `name` gives it, and the sorting name "Last,
// First"). A UTF-8
// byte order mark is skipped; the separator is `;` or `,`, whichever the
// header line uses more; fields may be quoted with embedded separators,
// doubled quotes and line breaks. Blank lines are skipped.
Roster parse_roster(const std::string& text);

// A sheet as the run knows it: its path as given and its absolute path with
// links resolved.
struct SheetPath {
    std::string given, resolved;
};

struct RosterMatch {
    std::vector<std::optional<std::size_t>> row_of_sheet;  // index into rows, per sheet
    std::vector<std::size_t> unmatched_rows;               // rows that match no sheet
    std::vector<std::string> problems;                     // a sheet claimed by two students
};

// Matches rows to sheets. For each sheet the rows naming its exact path (as
// given, or resolved: `resolved_files[i]` is row i's file resolved the same
// way, "" when it cannot be) count first, else those naming its file name,
// else those whose `file` as a glob matches the path as given or the file
// name. Several rows at the best level that name different students are a
// problem; naming the same student twice is not.
RosterMatch match_roster(const std::vector<RosterRow>& rows, const std::vector<std::string>& resolved_files,
                         const std::vector<SheetPath>& sheets);

// True when `file` holds glob characters (*, ?, [).
bool is_glob(const std::string& file);

}  // namespace quorvan::core
