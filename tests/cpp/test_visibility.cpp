#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "local_reading.hpp"
#include "pdf_document.hpp"
#include "pdf_maker.hpp"
#include "visibility.hpp"

using namespace quorvan::core;
using namespace quorvan_test;

namespace {

const std::string kShown =
    "BT /F1 12 Tf 16 TL 72 720 Td (Q1. Plants need sun.) Tj T* (Q2. The heart is a pump.) Tj T* "
    "(Q3. Metal lets it through.) Tj ET";
const std::string kShownText = "Q1. Plants need sun.\nQ2. The heart is a pump.\nQ3. Metal lets it through.";
// Six words, on two lines below the shown ones.
std::string hidden_lines(const std::string& font = "/F1 12 Tf") {
    return "BT " + font + " 16 TL 72 600 Td (Chlorophyll absorbs photons) Tj T* (ventricles contract rhythmically) Tj ET";
}

class VisibilityTest : public TempDirTest {
protected:
    PageVisibility check(const std::string& content, const std::string& page_extra = "") {
        std::vector<std::string> objs = page_objects({content});
        if (!page_extra.empty()) objs[3].replace(objs[3].find("/MediaBox"), 0, page_extra + " ");
        const PdfDocument doc = PdfDocument::open(write("page.pdf", assemble(objs)));
        layer_ = doc.page_text(1);
        return check_visibility(doc, 1, layer_, 150);
    }
    std::string layer_;
};

struct Hiding {
    const char* name;
    std::string content;
    std::string_view kind;
};

class HidingTest : public VisibilityTest, public ::testing::WithParamInterface<Hiding> {};

TEST_P(HidingTest, HiddenWordsAreLeftOutAndNamed) {
    const PageVisibility seen = check(kShown + "\n" + GetParam().content);
    ASSERT_NE(layer_.find("photons"), std::string::npos);  // the layer itself holds them
    ASSERT_TRUE(seen.hidden.has_value());
    EXPECT_EQ(seen.text, kShownText);
    EXPECT_EQ(seen.hidden->page, 1);
    EXPECT_EQ(seen.hidden->words, 6);
    EXPECT_EQ(seen.hidden->sample,
              (std::vector<std::string>{"Chlorophyll", "absorbs", "photons", "ventricles", "contract", "rhythmically"}));
    EXPECT_EQ(seen.hidden->kinds, std::vector<std::string>{std::string(GetParam().kind)});
    EXPECT_FALSE(seen.hidden->replaced);
}

INSTANTIATE_TEST_SUITE_P(
    Techniques, HidingTest,
    ::testing::Values(Hiding{"white", "1 g " + hidden_lines() + " 0 g", kHiddenSameColour},
                      Hiding{"white_on_yellow", "1 1 0 rg 60 560 480 80 re f " + hidden_lines() + " 0 g",
                             kHiddenSameColour},
                      Hiding{"half_point", hidden_lines("/F1 0.5 Tf"), kHiddenTooSmall},
                      Hiding{"render_mode_3", "3 Tr " + hidden_lines(), kHiddenInvisible},
                      Hiding{"render_mode_7", "q 7 Tr " + hidden_lines() + " Q", kHiddenInvisible},
                      Hiding{"under_a_white_box", hidden_lines() + " 1 g 60 560 480 80 re f 0 g", kHiddenCovered},
                      Hiding{"outside_the_clip", "q 0 650 612 142 re W n " + hidden_lines() + " Q", kHiddenClipped}),
    [](const auto& info) { return std::string(info.param.name); });

struct Honest {
    const char* name;
    std::string content;
    std::string page_extra;
};

class HonestTest : public VisibilityTest, public ::testing::WithParamInterface<Honest> {};

TEST_P(HonestTest, ReadableTextIsTheLayerExactly) {
    const PageVisibility seen = check(GetParam().content, GetParam().page_extra);
    ASSERT_GT(count_word_chars(layer_), 20);
    EXPECT_FALSE(seen.hidden.has_value());
    EXPECT_EQ(seen.text, layer_);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HonestTest,
    ::testing::Values(
        Honest{"plain", kShown, ""},
        Honest{"light_grey", "0.65 g " + kShown, ""},
        Honest{"footnote_six_points", kShown + " BT /F1 6 Tf 72 60 Td (1 Plants also need water and air.) Tj ET", ""},
        Honest{"white_on_dark_blue", "0.1 0.1 0.4 rg 60 660 480 80 re f 1 g " + kShown, ""},
        Honest{"on_pale_yellow", "1 1 0.6 rg 60 660 480 80 re f 0 g " + kShown, ""},
        Honest{"outlined", "1 Tr 0.5 w " + kShown, ""},
        Honest{"rotated_page", kShown, "/Rotate 90"},
        Honest{"rotated_text", "BT /F1 12 Tf 0 1 -1 0 300 200 Tm (Q1. Plants need sun to grow tall.) Tj ET", ""},
        Honest{"half_covered", kShown + " 1 g 60 700 480 9 re f", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VisibilityTest, AHiddenWordInsideALineLeavesTheRestOfIt) {
    const PageVisibility seen =
        check("BT /F1 12 Tf 72 700 Td (Q1. Plants need) Tj 1 g ( chlorophyll and sunlight) Tj 0 g ( to grow.) Tj ET");
    ASSERT_TRUE(seen.hidden.has_value());
    EXPECT_EQ(seen.text, "Q1. Plants need to grow.");
    EXPECT_EQ(seen.hidden->words, 3);
}

TEST_F(VisibilityTest, TheSampleKeepsEightWordsAndTheKindsTheirOrder) {
    const PageVisibility seen = check(kShown + " 3 Tr " + hidden_lines() + " 0 Tr 1 g " +
                                      "BT /F1 12 Tf 72 500 Td (one two three four five) Tj ET 0 g");
    ASSERT_TRUE(seen.hidden.has_value());
    EXPECT_EQ(seen.hidden->words, 11);
    EXPECT_EQ(seen.hidden->sample.size(), kHiddenSample);
    EXPECT_EQ(seen.hidden->sample.back(), "two");
    EXPECT_EQ(seen.hidden->kinds, (std::vector<std::string>{std::string(kHiddenInvisible),
                                                            std::string(kHiddenSameColour)}));
}

// A scan's searchable layer: invisible words over the ink of the same words
// (here the "scan" is the same text drawn as ink, which OCR reads as well).
const std::string kInk =
    "BT /F1 16 Tf 22 TL 72 700 Td (Answer 1. Plants need sunlight to grow.) Tj T* "
    "(Answer 2. The heart pumps blood around.) Tj T* (Answer 3. Metal lets current through.) Tj ET";

std::string layer_over_ink(const std::string& l1, const std::string& l2, const std::string& l3) {
    return kInk + " BT 3 Tr /F1 16 Tf 22 TL 72 700 Td (" + l1 + ") Tj T* (" + l2 + ") Tj T* (" + l3 + ") Tj ET";
}

TEST_F(VisibilityTest, AnInvisibleLayerSayingWhatTheInkShowsIsKept) {
    const PageVisibility seen = check(layer_over_ink("Answer 1. Plants need sunlight to grow.",
                                                     "Answer 2. The heart pumps blood around.",
                                                     "Answer 3. Metal lets current through."));
    EXPECT_FALSE(seen.hidden.has_value());
    EXPECT_EQ(seen.text, layer_);
}

TEST_F(VisibilityTest, AnInvisibleLayerOfOtherWordsGivesWayToWhatThePageShows) {
    const PageVisibility seen = check(layer_over_ink("Chlorophyll absorbs photons efficiently",
                                                     "Ventricles contract rhythmically always",
                                                     "Conductors carry electrons freely"));
    ASSERT_TRUE(seen.hidden.has_value());
    EXPECT_TRUE(seen.hidden->replaced);
    EXPECT_EQ(seen.hidden->kinds, std::vector<std::string>{std::string(kHiddenNotInImage)});
    EXPECT_EQ(seen.hidden->words, 12);
    EXPECT_EQ(seen.text.find("Chlorophyll"), std::string::npos);
    EXPECT_NE(seen.text.find("Plants need sunlight"), std::string::npos);
    EXPECT_NE(seen.text.find("heart pumps blood"), std::string::npos);
}

TEST_F(VisibilityTest, AFewOddWordsOverInkAreJudgedOneByOne) {
    // Three invisible words on the ink: one the ink shows, two it does not.
    const PageVisibility seen =
        check(kInk + " BT 3 Tr /F1 16 Tf 72 700 Td (Answer) Tj 0 -22 Td (Mitochondria) Tj 0 -22 Td (Ribosomes) Tj ET");
    ASSERT_TRUE(seen.hidden.has_value());
    EXPECT_FALSE(seen.hidden->replaced);
    EXPECT_EQ(seen.hidden->sample, (std::vector<std::string>{"Mitochondria", "Ribosomes"}));
    EXPECT_EQ(seen.text.find("Mitochondria"), std::string::npos);
    EXPECT_NE(seen.text.find("Answer"), std::string::npos);
}

TEST_F(VisibilityTest, GlyphsFromDegenerateMatricesAreJudgedWithoutHarm) {
    // Out of all proportion: no pixel of the page is theirs, so no reader sees them.
    const PageVisibility seen =
        check(kShown + " BT /F1 12 Tf 1e30 0 0 1e30 5 5 Tm (Enormous letters) Tj ET"
                       " BT /F1 12 Tf 0 0 0 0 300 300 Tm (Flattened words) Tj ET");
    EXPECT_EQ(seen.text.find("Plants need sun"), 4u);
    EXPECT_EQ(seen.text.find("Enormous"), std::string::npos);
}

TEST_F(VisibilityTest, AnEmptyLayerIsNotLookedAt) {
    const PdfDocument doc = PdfDocument::open(write("blank.pdf", make_pdf({"0 0 1 rg 10 10 100 100 re f"})));
    const PageVisibility seen = check_visibility(doc, 1, "", 150);
    EXPECT_EQ(seen.text, "");
    EXPECT_FALSE(seen.hidden.has_value());
    EXPECT_THROW(check_visibility(doc, 2, "x", 150), PdfError);
}

TEST(WordLikeness, IgnoresCaseAndPunctuationAndMeasuresEdits) {
    EXPECT_DOUBLE_EQ(word_likeness("Photosynthesis,", "photosynthesis"), 1.0);
    EXPECT_DOUBLE_EQ(word_likeness("cat", "cut"), 1.0 - 1.0 / 3.0);
    EXPECT_LT(word_likeness("chlorophyll", "heart"), 0.3);
    EXPECT_DOUBLE_EQ(word_likeness("", "..."), 1.0);
}

// ------------------------------------------------------------ read_locally

class LocalReadingTest : public TempDirTest {};

TEST_F(LocalReadingTest, FindingsComeInPageOrderAndOnlyWhenAsked) {
    const std::string white = "1 g " + hidden_lines() + " 0 g";
    const PdfDocument doc = PdfDocument::open(
        write("three.pdf", make_pdf({kShown + " " + white, kShown, kShown + " 3 Tr " + hidden_lines()})));
    for (const unsigned threads : {1u, 3u}) {
        LocalReadOptions options;
        options.threads = threads;
        options.check_visibility = true;
        const LocalReading checked = read_locally(doc, {1, 2, 3}, options);
        ASSERT_EQ(checked.pages.size(), 3u);
        for (const PageRead& p : checked.pages) {
            EXPECT_TRUE(p.done && !p.error);
            EXPECT_EQ(p.text, kShownText);
        }
        ASSERT_EQ(checked.hidden.size(), 2u);
        EXPECT_EQ(checked.hidden[0].page, 1);
        EXPECT_EQ(checked.hidden[1].page, 3);

        options.check_visibility = false;
        const LocalReading plain = read_locally(doc, {1, 3}, options);
        EXPECT_TRUE(plain.hidden.empty());
        EXPECT_NE(plain.pages[0].text.find("photons"), std::string::npos);
    }
}

TEST_F(LocalReadingTest, APageLeftWithTooLittleTextIsReadByOcr) {
    // Hidden words made the layer usable; what is left is too short to be,
    // so the page is read by OCR as a scan would be.
    const std::string ink = "BT /F1 20 Tf 72 500 Td (Plants need water.) Tj ET";
    const PdfDocument doc = PdfDocument::open(write(
        "ocr.pdf", make_pdf({ink + " BT 3 Tr /F1 12 Tf 72 200 Td (Chlorophyll absorbs photons ventricles) Tj ET"})));
    LocalReadOptions options;
    options.check_visibility = true;
    const LocalReading r = read_locally(doc, {1}, options);
    ASSERT_TRUE(r.pages[0].done && !r.pages[0].error);
    EXPECT_EQ(r.pages[0].text.find("Chlorophyll"), std::string::npos);
    EXPECT_NE(r.pages[0].text.find("Plants"), std::string::npos);
    ASSERT_EQ(r.hidden.size(), 1u);
}

TEST_F(LocalReadingTest, NoPageAfterTheFirstFailureIsReadAndStoppingStops) {
    std::vector<std::string> contents(6, kShown + " 1 g " + hidden_lines());
    const PdfDocument doc = PdfDocument::open(write("broken.pdf", assemble(page_objects(contents, 612, 792, 3))));
    LocalReadOptions options;
    options.check_visibility = true;
    options.threads = 2;
    const LocalReading r = read_locally(doc, {1, 2, 3, 4, 5, 6}, options);
    EXPECT_TRUE(r.pages[0].done && r.pages[1].done && !r.pages[0].error && !r.pages[1].error);
    EXPECT_TRUE(r.pages[2].error);
    for (const HiddenText& h : r.hidden) EXPECT_LT(h.page, 3);

    int looks = 0;
    options.threads = 1;
    const LocalReading stopped = read_locally(doc, {1, 2}, options, [&] { return ++looks < 1; });
    EXPECT_TRUE(stopped.pages[0].done);
    EXPECT_FALSE(stopped.pages[1].done);
}

}  // namespace
