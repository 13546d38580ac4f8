#include "class_report.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <set>

namespace quorvan::core {

namespace {

std::string fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string s = buf;
    return s == "-0" || s == "-0.0" || s == "-0.00" ? s.substr(1) : s;
}

std::string percent(double share) { return fixed(share * 100.0, 0) + "%"; }

std::string grouped(std::int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string count_of(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A bar of `share` (0..1) as a small inline SVG, for tables.
std::string share_bar(double share, bool low) {
    const double w = std::clamp(share, 0.0, 1.0) * 120.0;
    return "<svg class=\"bar\" width=\"120\" height=\"12\" viewBox=\"0 0 120 12\" role=\"img\" aria-label=\"" +
           percent(share) + "\"><rect width=\"120\" height=\"12\" fill=\"#e8e8e8\"/><rect width=\"" + fixed(w, 1) +
           "\" height=\"12\" fill=\"" + (low ? "#c0392b" : "#2e7d5b") + "\"/></svg>";
}

bool all_marked(const ReportSheet& s) { return s.status == "marked"; }

double paper_maximum(const ClassReport& r) {
    double m = 0;
    for (const auto& q : r.questions) m += q.max_marks;
    return m;
}

std::string histogram_svg(const ClassReport& r) {
    const auto bands = total_bands(r);
    const std::size_t top = std::max<std::size_t>(1, *std::max_element(bands.begin(), bands.end()));
    const int width = 640, height = 240, left = 40, right = 10, base = 200, plot = 170;
    const double step = static_cast<double>(width - left - right) / bands.size();
    std::string svg = "<svg class=\"chart\" width=\"" + std::to_string(width) + "\" height=\"" +
                      std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) +
                      "\" role=\"img\" aria-label=\"Number of sheets by total, in tenths of the maximum\">";
    svg += "<line x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(base) + "\" x2=\"" +
           std::to_string(width - right) + "\" y2=\"" + std::to_string(base) + "\" stroke=\"#555\"/>";
    for (std::size_t i = 0; i < bands.size(); ++i) {
        const double h = static_cast<double>(bands[i]) / top * plot;
        const double x = left + i * step;
        svg += "<rect x=\"" + fixed(x + 4, 1) + "\" y=\"" + fixed(base - h, 1) + "\" width=\"" +
               fixed(step - 8, 1) + "\" height=\"" + fixed(h, 1) + "\" fill=\"#3b6ea5\"><title>" +
               std::to_string(i * 10) + "-" + std::to_string(i * 10 + 10) + "%: " +
               count_of(bands[i], "sheet", "sheets") + "</title></rect>";
        if (bands[i]) {
            svg += "<text x=\"" + fixed(x + step / 2, 1) + "\" y=\"" + fixed(base - h - 4, 1) +
                   "\" text-anchor=\"middle\" class=\"n\">" + std::to_string(bands[i]) + "</text>";
        }
        svg += "<text x=\"" + fixed(x + step / 2, 1) + "\" y=\"" + std::to_string(base + 16) +
               "\" text-anchor=\"middle\" class=\"axis\">" + std::to_string(i * 10) + "&#8211;" +
               std::to_string(i * 10 + 10) + "%</text>";
    }
    svg += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(base - plot + 4) +
           "\" text-anchor=\"end\" class=\"axis\">" + std::to_string(top) + "</text>";
    svg += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(base + 4) +
           "\" text-anchor=\"end\" class=\"axis\">0</text>";
    svg += "<text x=\"" + std::to_string(width / 2) + "\" y=\"" + std::to_string(height - 4) +
           "\" text-anchor=\"middle\" class=\"axis\">total, as a share of the maximum</text>";
    return svg + "</svg>";
}

const char* kStyle = R"(
body{font-family:system-ui,-apple-system,"Segoe UI","Noto Sans",sans-serif;margin:2rem auto;max-width:60rem;padding:0 1rem;color:#222;line-height:1.4}
h1{margin-bottom:.2rem}h2{margin-top:2rem;border-bottom:1px solid #ddd;padding-bottom:.2rem}
.sub{color:#666;margin-top:0}
table{border-collapse:collapse;width:100%;margin:.5rem 0}
th,td{text-align:left;padding:.3rem .5rem;border-bottom:1px solid #eee;vertical-align:top}
th{background:#f5f5f5}td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
tr.low td{background:#fdf0ee}
.chart text{font-size:12px;fill:#333}.chart .axis{fill:#666}
ul.notes{margin:0;padding-left:1.1rem}
.none{color:#666;font-style:italic}
dl.usage{display:grid;grid-template-columns:max-content auto;gap:.2rem 1rem}dl.usage dt{color:#555}dl.usage dd{margin:0}
@media print{body{margin:0;max-width:none}}
)";

// A criterion met by fewer than this share of the class is shown as missed.
constexpr double kMissed = 0.5;

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string format_mark(double value) {
    std::string s = fixed(value, 2);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

Figures figures_of(std::vector<double> marks, double maximum) {
    Figures f;
    f.count = marks.size();
    if (marks.empty()) return f;
    std::sort(marks.begin(), marks.end());
    f.mean = std::accumulate(marks.begin(), marks.end(), 0.0) / static_cast<double>(marks.size());
    const std::size_t mid = marks.size() / 2;
    f.median = marks.size() % 2 ? marks[mid] : (marks[mid - 1] + marks[mid]) / 2.0;
    f.facility = maximum > 0 ? f.mean / maximum : 0.0;
    return f;
}

std::vector<CriterionShare> criterion_shares(const ClassReport& report) {
    std::vector<CriterionShare> shares;
    for (std::size_t q = 0; q < report.questions.size(); ++q) {
        for (std::size_t c = 0; c < report.questions[q].criteria.size(); ++c) {
            CriterionShare s;
            s.question = q;
            s.criterion = c;
            for (const auto& sheet : report.sheets) {
                if (q >= sheet.awarded.size() || !sheet.awarded[q]) continue;
                if (q < sheet.teacher_set.size() && sheet.teacher_set[q]) {
                    ++s.set_by_teacher;
                    continue;
                }
                ++s.answers;
                if (q < sheet.criteria_met.size()) {
                    const auto& met = sheet.criteria_met[q];
                    if (std::find(met.begin(), met.end(), static_cast<int>(c)) != met.end()) ++s.met;
                }
            }
            shares.push_back(s);
        }
    }
    std::stable_sort(shares.begin(), shares.end(), [](const CriterionShare& a, const CriterionShare& b) {
        // Criteria no answer was marked against say nothing: last.
        if ((a.answers == 0) != (b.answers == 0)) return b.answers == 0;
        return a.share() < b.share();
    });
    return shares;
}

std::vector<std::size_t> total_bands(const ClassReport& report) {
    std::vector<std::size_t> bands(10, 0);
    const double maximum = paper_maximum(report);
    if (maximum <= 0) return bands;
    for (const auto& sheet : report.sheets) {
        if (!all_marked(sheet)) continue;
        double total = 0;
        for (const auto& a : sheet.awarded) total += a.value_or(0);
        const double share = std::clamp(total / maximum, 0.0, 1.0);
        bands[std::min<std::size_t>(9, static_cast<std::size_t>(share * 10.0 + 1e-9))]++;
    }
    return bands;
}

std::string class_report_html(const ClassReport& r) {
    const double maximum = paper_maximum(r);
    std::size_t marked = 0, incomplete = 0, failed = 0, pending = 0;
    std::vector<double> totals;
    for (const auto& s : r.sheets) {
        if (s.status == "marked") {
            ++marked;
            double t = 0;
            for (const auto& a : s.awarded) t += a.value_or(0);
            totals.push_back(t);
        } else if (s.status == "incomplete") {
            ++incomplete;
        } else if (s.status == "failed") {
            ++failed;
        } else {
            ++pending;
        }
    }
    const Figures class_figures = figures_of(totals, maximum);

    std::string h = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                    "<title>Class report: " + html_escape(r.title) + "</title>\n<style>" + kStyle +
                    "</style>\n</head>\n<body>\n";
    h += "<h1>Class report</h1>\n<p class=\"sub\">" + html_escape(r.title) + " &middot; " +
         count_of(r.sheets.size(), "answer sheet", "answer sheets") + " &middot; written " +
         html_escape(r.generated_at) + "</p>\n";

    h += "<p>" + std::to_string(marked) + " marked, " + std::to_string(incomplete) + " incomplete, " +
         std::to_string(failed) + " failed, " + std::to_string(pending) + " not marked yet. ";
    if (class_figures.count) {
        h += "Total of the marked sheets: mean " + format_mark(class_figures.mean) + " of " + format_mark(maximum) +
             " (" + percent(class_figures.facility) + "), median " + format_mark(class_figures.median) + ".";
    }
    h += "</p>\n";

    h += "<h2>Totals</h2>\n";
    if (class_figures.count) {
        h += histogram_svg(r) + "\n";
    } else {
        h += "<p class=\"none\">No sheet is fully marked yet.</p>\n";
    }

    h += "<h2>Questions</h2>\n<table>\n<thead><tr><th>Question</th><th class=\"num\">Max</th>"
         "<th class=\"num\">Answers marked</th><th class=\"num\">Mean</th><th class=\"num\">Median</th>"
         "<th class=\"num\">Facility</th><th></th></tr></thead>\n<tbody>\n";
    for (std::size_t q = 0; q < r.questions.size(); ++q) {
        std::vector<double> marks;
        for (const auto& s : r.sheets) {
            if (q < s.awarded.size() && s.awarded[q]) marks.push_back(*s.awarded[q]);
        }
        const Figures f = figures_of(marks, r.questions[q].max_marks);
        h += "<tr><td>" + html_escape(r.questions[q].q_id) + "</td><td class=\"num\">" +
             format_mark(r.questions[q].max_marks) + "</td><td class=\"num\">" + std::to_string(f.count) + "</td>";
        if (f.count) {
            h += "<td class=\"num\">" + format_mark(f.mean) + "</td><td class=\"num\">" + format_mark(f.median) +
                 "</td><td class=\"num\">" + fixed(f.facility, 2) + "</td><td>" +
                 share_bar(f.facility, f.facility < kMissed) + "</td>";
        } else {
            h += "<td class=\"num\">&#8211;</td><td class=\"num\">&#8211;</td><td class=\"num\">&#8211;</td><td></td>";
        }
        h += "</tr>\n";
    }
    h += "</tbody>\n</table>\n<p class=\"sub\">Facility: the mean mark divided by the question's maximum.</p>\n";

    h += "<h2>What the class missed</h2>\n";
    const auto shares = criterion_shares(r);
    if (shares.empty()) {
        h += "<p class=\"none\">The paper has no rubric criteria.</p>\n";
    } else {
        h += "<p>Each criterion with the share of marked answers that met it, lowest first; those met by fewer "
             "than half are highlighted.</p>\n<table>\n<thead><tr><th>Question</th><th>Criterion</th>"
             "<th class=\"num\">Marks</th><th class=\"num\">Met by</th><th></th></tr></thead>\n<tbody>\n";
        bool set_apart = false;
        for (const auto& s : shares) {
            const auto& q = r.questions[s.question];
            const auto& c = q.criteria[s.criterion];
            const bool low = s.answers && s.share() < kMissed;
            h += std::string("<tr") + (low ? " class=\"low\"" : "") + "><td>" + html_escape(q.q_id) + "</td><td>" +
                 html_escape(c.statement) + "</td><td class=\"num\">" + format_mark(c.mark) + "</td>";
            if (s.answers) {
                h += "<td class=\"num\">" + percent(s.share()) + " (" + std::to_string(s.met) + " of " +
                     std::to_string(s.answers) + ")" +
                     (s.set_by_teacher ? "; " + std::to_string(s.set_by_teacher) + " set by the teacher" : std::string()) +
                     "</td><td>" + share_bar(s.share(), low) + "</td>";
            } else {
                h += "<td class=\"num\">no answer marked</td><td></td>";
            }
            h += "</tr>\n";
            if (s.set_by_teacher) set_apart = true;
        }
        h += "</tbody>\n</table>\n";
        if (set_apart) {
            h += "<p class=\"sub\">Answers whose mark the teacher typed apart from the criteria are not counted: "
                 "their ticks are the model's, not why the mark stands.</p>\n";
        }
    }

    h += "<h2>Sheets to look at</h2>\n";
    std::size_t flagged = 0;
    for (const auto& s : r.sheets) flagged += s.notes.empty() ? 0 : 1;
    if (!flagged) {
        h += "<p class=\"none\">No sheet is flagged, failed or has answers not marked.</p>\n";
    } else {
        h += "<table>\n<thead><tr><th>Sheet</th><th>Status</th><th>Why</th></tr></thead>\n<tbody>\n";
        for (const auto& s : r.sheets) {
            if (s.notes.empty()) continue;
            h += "<tr><td>" + html_escape(s.name) + "</td><td>" + html_escape(s.status) + "</td><td><ul class=\"notes\">";
            for (const auto& n : s.notes) h += "<li>" + html_escape(n) + "</li>";
            h += "</ul></td></tr>\n";
        }
        h += "</tbody>\n</table>\n";
    }

    h += "<h2>Model and cost</h2>\n<dl class=\"usage\">";
    std::string models;
    for (const auto& m : r.usage.models) models += (models.empty() ? "" : ", ") + html_escape(m);
    h += "<dt>Model</dt><dd>" + (models.empty() ? std::string("none called") : models) + "</dd>";
    h += "<dt>Calls</dt><dd>" + grouped(r.usage.calls) + "</dd>";
    h += "<dt>Input tokens</dt><dd>" + grouped(r.usage.input_tokens) + "</dd>";
    h += "<dt>Output tokens</dt><dd>" + grouped(r.usage.output_tokens) + "</dd>";
    h += "<dt>Cost</dt><dd>$" + fixed(r.usage.cost, 6) + "</dd></dl>\n";
    h += "<p class=\"sub\">Reading and marking the sheets stored in this results folder, tries included.</p>\n";
    h += "</body>\n</html>\n";
    return h;
}

}  // namespace quorvan::core
