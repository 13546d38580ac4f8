// The class report: one self-contained HTML page (inline CSS and SVG, no
// script, nothing fetched when it is viewed) about how a class did, made from
// plain data so that it needs neither Python nor the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvan::core {

struct ReportCriterion {
    std::string statement;
    double mark = 0;
};

struct ReportQuestion {
    std::string q_id;
    double max_marks = 0;
    std::vector<ReportCriterion> criteria;
};

// One sheet as the class sees it, in the order of the paper's questions.
struct ReportSheet {
    std::string name;
    std::string status;                          // marked, incomplete, failed, pending
    std::vector<std::optional<double>> awarded;  // per question; none: not marked (0 when not attempted)
    std::vector<std::vector<int>> criteria_met;  // per question, 0-based positions
    std::vector<std::string> notes;              // flags, unmarked answers, look again, failure
    std::vector<bool> teacher_set{};             // per question: the teacher typed the mark, the ticks are not why
};

struct ReportUsage {
    std::vector<std::string> models;  // each once
    std::int64_t input_tokens = 0;
    std::int64_t output_tokens = 0;
    double cost = 0;  // USD
    std::int64_t calls = 0;
};

struct ClassReport {
    std::string title;         // the paper: subject, class level
    std::string generated_at;  // UTC, ISO 8601
    std::vector<ReportQuestion> questions;
    std::vector<ReportSheet> sheets;
    ReportUsage usage;
};

// Mean, median and facility (mean divided by the maximum) of the marks given
// for one question; count 0 leaves the rest 0.
struct Figures {
    std::size_t count = 0;
    double mean = 0;
    double median = 0;
    double facility = 0;
};
Figures figures_of(std::vector<double> marks, double maximum);

// Every criterion of the paper with the share of the marked answers that met
// it, lowest share first (ties in paper order).
struct CriterionShare {
    std::size_t question = 0;   // index into ClassReport::questions
    std::size_t criterion = 0;  // index into its criteria
    std::size_t met = 0;
    std::size_t answers = 0;    // marked answers to that question, but for those below
    std::size_t set_by_teacher = 0;  // marks the teacher typed apart from the criteria: not counted
    double share() const { return answers ? static_cast<double>(met) / static_cast<double>(answers) : 0.0; }
};
std::vector<CriterionShare> criterion_shares(const ClassReport& report);

// Totals of the sheets whose every answer is marked, grouped into ten bands of
// the maximum (0-10 %, ..., 90-100 %; full marks fall in the last).
std::vector<std::size_t> total_bands(const ClassReport& report);

std::string class_report_html(const ClassReport& report);

// Text made safe for HTML content and attribute values.
std::string html_escape(std::string_view text);

// A mark as people write it: at most two decimals, no trailing zeros ("2.5", "3").
std::string format_mark(double value);

}  // namespace quorvan::core
