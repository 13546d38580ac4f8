// Gradebook files: a class's totals as a school's learning platform imports
// them. Only the table is made here; the caller writes it as CSV.
#pragma once

#include <string>
#include <vector>

#include "results_store.hpp"

namespace quorvan::core {

struct GradeEntry {
    Identity who;
    std::string file;  // the sheet, as the class file names it
    double total = 0, maximum = 0;
};

enum class GradebookFormat { csv, moodle, canvas };

// A number as a person types it: at most two decimals, no trailing zeros
// ("8", "8.5", "66.67").
std::string plain_number(double value, int decimals = 2);

// The column Moodle finds its users by: "ID number" when every entry has a
// student id, else "Email address" when every entry has an email, else ""
// (no column would find them all).
std::string moodle_identifier(const std::vector<GradeEntry>& entries);

// The rows of the file, header first. `item` names the grade column (Moodle's
// grade item, Canvas's assignment). For Moodle the identifier column is the
// one moodle_identifier picks; the caller refuses when there is none.
std::vector<std::vector<std::string>> gradebook_table(GradebookFormat format, const std::vector<GradeEntry>& entries,
                                                      const std::string& item);

}  // namespace quorvan::core
