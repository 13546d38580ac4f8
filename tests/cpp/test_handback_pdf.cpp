#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <poppler-document.h>
#include <poppler-page.h>
#include <string>

#include "handback_pdf.hpp"
#include "pdf_maker.hpp"

using namespace quorvan::core;
using quorvan_test::TempDirTest;

namespace {

Handback sample() {
    Handback h;
    h.title = "Science, Class 8";
    h.student_name = "Ananya Sharma";
    h.student_id = "S-042";
    h.total = 5.5;
    h.maximum = 8;
    h.questions = {
        {"Q1", 1.5, 2, {{"Names chlorophyll", 1, true}, {"Says light is needed", 1, false}}, "Good start.", ""},
        {"Q2", 4.0, 4, {{"States the law", 4, true}}, "Well explained.", ""},
        {"Q3", std::nullopt, 2, {}, "", "Not marked yet."},
    };
    return h;
}

struct Read {
    int pages = 0;
    std::string text;
};

Read read(const std::string& path) {
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
    if (!doc) return {};
    Read r;
    r.pages = doc->pages();
    for (int i = 0; i < r.pages; ++i) {
        std::unique_ptr<poppler::page> page(doc->create_page(i));
        const auto bytes = page->text().to_utf8();
        r.text.append(bytes.begin(), bytes.end());
        r.text += '\n';
    }
    return r;
}

std::string squeeze(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n' || c == ' ') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

using HandbackPdfTest = TempDirTest;

TEST_F(HandbackPdfTest, OnePageWithMarksCriteriaAndFeedback) {
    const std::string path = (dir_ / "a.pdf").string();
    EXPECT_EQ(write_handback_pdf(sample(), path), 1);
    std::ifstream f(path, std::ios::binary);
    std::string head(5, '\0');
    f.read(head.data(), 5);
    EXPECT_EQ(head, "%PDF-");
    const Read r = read(path);
    ASSERT_EQ(r.pages, 1);
    const std::string text = squeeze(r.text);
    for (const char* expected : {"Ananya Sharma", "Student ID: S-042", "Total: 5.5 / 8 (68.8%)", "Q1 1.5 / 2 marks",
                                 "Names chlorophyll (+1 mark)", "Says light is needed (1 mark)", "Criteria missed",
                                 "Good start.", "Q2 4 / 4 marks", "Q3 - / 2 marks", "Not marked yet."}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in " << text;
    }
}

TEST_F(HandbackPdfTest, LongFeedbackWrapsOntoMorePages) {
    Handback h = sample();
    std::string essay;
    for (int i = 0; i < 400; ++i) essay += "Sentence " + std::to_string(i) + " of a long piece of feedback. ";
    essay += "The end.";
    h.questions[1].feedback = essay;
    const std::string path = (dir_ / "long.pdf").string();
    const int pages = write_handback_pdf(h, path);
    const Read r = read(path);
    EXPECT_GE(pages, 3);
    EXPECT_EQ(r.pages, pages);
    const std::string text = squeeze(r.text);
    // Every word is on some page: nothing is cut at the margin or the page foot.
    EXPECT_NE(text.find("Sentence 0 of"), std::string::npos);
    EXPECT_NE(text.find("Sentence 399 of a long piece of feedback. The end."), std::string::npos);
    EXPECT_NE(text.find("Q3 - / 2 marks"), std::string::npos);
}

TEST_F(HandbackPdfTest, ManyQuestionsBreakBetweenPages) {
    Handback h = sample();
    h.questions.clear();
    for (int i = 1; i <= 40; ++i) {
        h.questions.push_back({"Q" + std::to_string(i), 1.0, 2, {{"A point", 1, true}, {"Another", 1, false}}, "Fine.", ""});
    }
    const std::string path = (dir_ / "many.pdf").string();
    const int pages = write_handback_pdf(h, path);
    EXPECT_GT(pages, 1);
    const Read r = read(path);
    EXPECT_EQ(r.pages, pages);
    EXPECT_NE(squeeze(r.text).find("Q40 1 / 2 marks"), std::string::npos);
}

TEST_F(HandbackPdfTest, MarkupInStudentTextStaysText) {
    Handback h = sample();
    h.student_name = "<b>Bob</b> & Co";
    h.questions[0].feedback = "Use <i>x</i> &amp; y";
    const std::string path = (dir_ / "m.pdf").string();
    write_handback_pdf(h, path);
    const std::string text = squeeze(read(path).text);
    EXPECT_NE(text.find("<b>Bob</b> & Co"), std::string::npos);
    EXPECT_NE(text.find("Use <i>x</i> &amp; y"), std::string::npos);
}

TEST_F(HandbackPdfTest, AFolderThatIsNotThereIsAnError) {
    EXPECT_THROW(write_handback_pdf(sample(), (dir_ / "no" / "such" / "x.pdf").string()), HandbackError);
}
