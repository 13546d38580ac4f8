#include "gradebook.hpp"

#include <cmath>
#include <cstdio>

namespace quorvan::core {

std::string plain_number(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string s = buffer;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

namespace {

// As the class file writes a percentage: always one decimal ("75.0").
std::string one_decimal(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return std::string(buffer) == "-0.0" ? "0.0" : buffer;
}

}  // namespace

std::string moodle_identifier(const std::vector<GradeEntry>& entries) {
    bool ids = true, emails = true;
    for (const auto& e : entries) {
        ids = ids && !e.who.student_id.empty();
        emails = emails && !e.who.email.empty();
    }
    if (ids) return "ID number";
    if (emails) return "Email address";
    return "";
}

std::vector<std::vector<std::string>> gradebook_table(GradebookFormat format, const std::vector<GradeEntry>& entries,
                                                      const std::string& item) {
    std::vector<std::vector<std::string>> rows;
    switch (format) {
        case GradebookFormat::csv:
            rows.push_back({"student_id", "name", "email", "section", "total", "maximum", "percentage", "file"});
            for (const auto& e : entries) {
                rows.push_back({e.who.student_id, e.who.name, e.who.email, e.who.section, plain_number(e.total),
                                plain_number(e.maximum),
                                e.maximum > 0 ? one_decimal(100.0 * e.total / e.maximum) : "", e.file});
            }
            break;
        case GradebookFormat::moodle: {
            const std::string id = moodle_identifier(entries);
            rows.push_back({id, item});
            for (const auto& e : entries) {
                rows.push_back({id == "ID number" ? e.who.student_id : e.who.email, plain_number(e.total)});
            }
            break;
        }
        case GradebookFormat::canvas:
            rows.push_back({"Student", "ID", "SIS User ID", "SIS Login ID", "Section", item});
            rows.push_back({"Points Possible", "", "", "", "", plain_number(entries.empty() ? 0 : entries[0].maximum)});
            for (const auto& e : entries) {
                // Canvas's own form of a student's name where it is known.
                rows.push_back({e.who.sort_name.empty() ? e.who.name : e.who.sort_name, "", e.who.student_id,
                                e.who.email, e.who.section, plain_number(e.total)});
            }
            break;
    }
    return rows;
}

}  // namespace quorvan::core
