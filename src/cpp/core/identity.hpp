// Who wrote a sheet, as its first page says it in a labelled line
// ("Name: Anna Roy    Roll No. 12"). Never a guess: without a label, or with
// a value no name or id looks like, nothing is found.
#pragma once

#include <string>

namespace quorvan::core {

struct PageIdentity {
    std::string student_id, name;
    bool empty() const { return student_id.empty() && name.empty(); }
};

// The name and id the text of a sheet's first page gives. Labels, in any
// case: "Name:", "Student Name:", "Student's Name:", "Name of (the) Student:",
// "Full Name:" for the name; "Student ID:", "Student No.:", "Student Number:",
// "Roll No.", "Roll No:", "Roll Number:", "ID:" for the id. The value is the
// rest of the line, trimmed, up to the next label, a "Word:" or a wide gap
// (a tab or three spaces). The bare "Name:" and "ID:" count only at the start
// of a line, after a wide gap or right after another label's value, so that
// "Teacher's Name:" or "School ID:" are not taken for the student's.
// A label given twice with different values gives nothing; "Student ID"
// wins over "Roll No.", which wins over a bare "ID".
PageIdentity identity_from_page(const std::string& text);

// Whether a value reads as a person's name or as a student id.
bool plausible_name(const std::string& value);
bool plausible_id(const std::string& value);

}  // namespace quorvan::core
