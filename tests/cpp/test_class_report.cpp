#include <gtest/gtest.h>

#include <string>

#include "class_report.hpp"

using namespace quorvan::core;

namespace {

// Three questions, four sheets: marks chosen so that mean and median differ.
ClassReport hand_table() {
    ClassReport r;
    r.title = "Science, Class 8";
    r.generated_at = "2025-01-01T00:00:00Z";
    r.questions = {{"Q1", 2, {{"names chlorophyll", 1}, {"says light", 1}}},
                   {"Q2", 4, {{"states the law", 2}, {"gives an example", 2}}},
                   {"Q3", 4, {}}};
    r.sheets = {
        {"a.pdf", "marked", {2.0, 4.0, 3.0}, {{0, 1}, {0, 1}, {}}, {}},
        {"b.pdf", "marked", {1.0, 0.0, 1.0}, {{0}, {}, {}}, {}},
        {"c.pdf", "marked", {0.0, 2.0, 0.0}, {{}, {1}, {}}, {}},
        // Q3 not marked: it counts nowhere for Q3 and the sheet is in no band.
        {"d.pdf", "incomplete", {2.0, 2.0, std::nullopt}, {{0, 1}, {0}, {}}, {"Q3 not marked: server error (500)"}},
    };
    return r;
}

std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Figures, MeanMedianFacility) {
    // Q2 of the hand table: 4, 0, 2, 2 out of 4.
    const Figures q2 = figures_of({4, 0, 2, 2}, 4);
    EXPECT_EQ(q2.count, 4u);
    EXPECT_DOUBLE_EQ(q2.mean, 2.0);
    EXPECT_DOUBLE_EQ(q2.median, 2.0);
    EXPECT_DOUBLE_EQ(q2.facility, 0.5);
    // Odd count, unsorted input: the middle one.
    const Figures odd = figures_of({3, 0, 1}, 4);
    EXPECT_DOUBLE_EQ(odd.median, 1.0);
    EXPECT_DOUBLE_EQ(odd.mean, 4.0 / 3.0);
    EXPECT_DOUBLE_EQ(odd.facility, 1.0 / 3.0);
    // Even count: halfway between the two middle ones.
    EXPECT_DOUBLE_EQ(figures_of({1, 2, 0, 2}, 2).median, 1.5);
}

TEST(Figures, NothingMarkedOrNoMaximum) {
    const Figures none = figures_of({}, 4);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.mean, 0.0);
    EXPECT_EQ(figures_of({1, 2}, 0).facility, 0.0);
}

TEST(CriterionShares, LowestFirstOverMarkedAnswers) {
    const auto shares = criterion_shares(hand_table());
    ASSERT_EQ(shares.size(), 4u);
    // Q2 "states the law": a, d of four marked answers; Q1 "says light": a, d; Q1 "names": a, b, d;
    // Q2 "example": a, c.
    std::vector<std::pair<std::size_t, std::size_t>> order;
    for (const auto& s : shares) order.emplace_back(s.question, s.criterion);
    const std::vector<std::pair<std::size_t, std::size_t>> expected{{0, 1}, {1, 0}, {1, 1}, {0, 0}};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(shares.back().met, 3u);
    EXPECT_EQ(shares.back().answers, 4u);
    EXPECT_DOUBLE_EQ(shares.front().share(), 0.5);
}

TEST(CriterionShares, AnUnmarkedAnswerIsNotAMiss) {
    ClassReport r = hand_table();
    r.questions[2].criteria = {{"explains", 4}};
    r.sheets[0].criteria_met[2] = {0};
    const auto shares = criterion_shares(r);
    const auto& q3 = *std::find_if(shares.begin(), shares.end(), [](const auto& s) { return s.question == 2; });
    EXPECT_EQ(q3.answers, 3u);  // d.pdf's Q3 is not marked
    EXPECT_EQ(q3.met, 1u);
}

TEST(TotalBands, OnlyFullyMarkedSheetsByTenthsOfTheMaximum) {
    ClassReport r = hand_table();
    r.sheets.push_back({"full.pdf", "marked", {2.0, 4.0, 4.0}, {{0, 1}, {0, 1}, {}}, {}});
    r.sheets.push_back({"gone.pdf", "failed", {std::nullopt, std::nullopt, std::nullopt}, {}, {"unreadable"}});
    const auto bands = total_bands(r);
    ASSERT_EQ(bands.size(), 10u);
    std::vector<std::size_t> expected(10, 0);
    expected[9] = 2;  // 9 of 10 and 10 of 10 (full marks stay in the last band)
    expected[2] = 2;  // 2 of 10 (b) and 2 of 10 (c)
    EXPECT_EQ(bands, expected);
}

TEST(FormatMark, TwoDecimalsAtMost) {
    EXPECT_EQ(format_mark(2), "2");
    EXPECT_EQ(format_mark(2.5), "2.5");
    EXPECT_EQ(format_mark(1.0 / 3.0), "0.33");
    EXPECT_EQ(format_mark(0), "0");
    EXPECT_EQ(format_mark(-0.0001), "0");
}

TEST(HtmlEscape, EveryMarkupCharacter) {
    EXPECT_EQ(html_escape(R"(<a href="x" title='y'>&amp;</a>)"),
              "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
    EXPECT_EQ(html_escape("अनन्या शर्मा 王芳"), "अनन्या शर्मा 王芳");
}

TEST(ClassReportHtml, StudentAndTeacherTextIsEscapedEverywhere) {
    ClassReport r = hand_table();
    const std::string evil = "<script>alert(1)</script>";
    r.title = evil;
    r.questions[0].q_id = evil;
    r.questions[0].criteria[0].statement = evil;
    r.sheets[3].name = evil;
    r.sheets[3].notes.push_back(evil);
    r.usage.models = {evil};
    const std::string html = class_report_html(r);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    // Every place it shows is escaped: title (2), question id (3), criterion, sheet, note, model.
    EXPECT_EQ(count(html, "alert(1)"), 9u);
    EXPECT_EQ(count(html, "&lt;script&gt;alert(1)&lt;/script&gt;"), 9u);
}

TEST(ClassReportHtml, SelfContained) {
    const std::string html = class_report_html(hand_table());
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
    for (const char* outside : {"<script", "<link", "src=", "http://", "https://", "@import", "url("}) {
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    }
    EXPECT_NE(html.find("<svg class=\"chart\""), std::string::npos);
}

TEST(ClassReportHtml, ShowsTheFigures) {
    ClassReport r = hand_table();
    r.usage = {{"gpt-5-mini-2025-08-07"}, 12345, 678, 0.0123456, 17};
    const std::string html = class_report_html(r);
    // Q2: mean 2, median 2, facility 0.50; Q1: 2, 1, 0, 2 -> mean 1.25, median 1.5.
    EXPECT_NE(html.find("<td>Q2</td><td class=\"num\">4</td><td class=\"num\">4</td><td class=\"num\">2</td>"
                        "<td class=\"num\">2</td><td class=\"num\">0.50</td>"),
              std::string::npos);
    EXPECT_NE(html.find("<td>Q1</td><td class=\"num\">2</td><td class=\"num\">4</td><td class=\"num\">1.25</td>"
                        "<td class=\"num\">1.5</td>"),
              std::string::npos);
    // Q3: three marked answers (d's is not).
    EXPECT_NE(html.find("<td>Q3</td><td class=\"num\">4</td><td class=\"num\">3</td>"), std::string::npos);
    // A criterion met by half is not flagged as missed; the note of the flagged sheet is listed.
    EXPECT_NE(html.find("50% (2 of 4)"), std::string::npos);
    EXPECT_EQ(count(html, "<tr class=\"low\">"), 0u);
    EXPECT_NE(html.find("<li>Q3 not marked: server error (500)</li>"), std::string::npos);
    EXPECT_NE(html.find("gpt-5-mini-2025-08-07"), std::string::npos);
    EXPECT_NE(html.find("12,345"), std::string::npos);
    EXPECT_NE(html.find("$0.012346"), std::string::npos);
    EXPECT_NE(html.find("3 marked, 1 incomplete, 0 failed, 0 not marked yet"), std::string::npos);
}

TEST(ClassReportHtml, MissedCriteriaAreFlagged) {
    ClassReport r = hand_table();
    r.sheets[0].criteria_met[0] = {0};  // "says light" now met by one of four
    const std::string html = class_report_html(r);
    EXPECT_EQ(count(html, "<tr class=\"low\">"), 1u);
    const auto row = html.find("<tr class=\"low\">");
    EXPECT_NE(html.find("says light", row), std::string::npos);
    EXPECT_LT(html.find("says light", row), html.find("</tr>", row));
}

TEST(ClassReportHtml, EmptyClass) {
    ClassReport r;
    r.title = "Science";
    const std::string html = class_report_html(r);
    EXPECT_NE(html.find("No sheet is fully marked yet."), std::string::npos);
    EXPECT_NE(html.find("none called"), std::string::npos);
}
