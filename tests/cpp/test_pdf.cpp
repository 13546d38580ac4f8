#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ocr.hpp"
#include "pdf_document.hpp"
#include "png_image.hpp"
#include "pdf_maker.hpp"

using namespace quorvan::core;
using namespace quorvan_test;
namespace fs = std::filesystem;

namespace {

// Lines of Helvetica text from the top of a letter page (PDF string syntax).
std::string text_content(const std::vector<std::string>& lines, int size = 14) {
    std::string c = "BT /F1 " + std::to_string(size) + " Tf 72 720 Td " + std::to_string(size * 3 / 2) + " TL ";
    for (const auto& l : lines) c += "(" + l + ") Tj T* ";
    return c + "ET";
}

class PdfTest : public TempDirTest {
protected:
    PdfFault fault_of(const std::string& path) {
        try {
            PdfDocument::open(path);
        } catch (const PdfError& e) {
            message_ = e.what();
            errno_ = e.os_errno();
            return e.fault();
        }
        ADD_FAILURE() << path << " opened";
        return PdfFault::page_unusable;
    }

    std::string message_;
    int errno_ = 0;
};

const std::string kThreePages = make_pdf({
    text_content({"First page", "Caf\\351 cr\\350me br\\373l\\351e"}),
    text_content({"Second page", "Question 2: name three prime numbers. [4 marks]"}),
    text_content({"Third page"}),
});

}  // namespace

// ------------------------------------------------------------------ opening

struct OpenCase {
    const char* name;
    std::string bytes;  // the file's content (a missing file is not written)
    PdfFault fault;
    std::string says;   // message after the quoted path
};

std::ostream& operator<<(std::ostream& os, const OpenCase& c) { return os << c.name; }

class OpenFault : public PdfTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFault, IsTypedAndNamesTheFile) {
    const auto& c = GetParam();
    const std::string path =
        c.fault == PdfFault::missing ? (dir_ / "absent.pdf").string() : write("f.pdf", c.bytes);
    EXPECT_EQ(fault_of(path), c.fault);
    if (c.fault == PdfFault::missing) {
        EXPECT_EQ(errno_, ENOENT);
        EXPECT_EQ(message_, "PDF file not found: '" + path + "'");
    } else {
        EXPECT_EQ(message_.substr(0, path.size() + 2 + c.says.size()), "'" + path + "'" + c.says);
    }
}

const std::string kLocked = make_pdf(
    {text_content({"secret"})}, 612, 792,
    " /Encrypt 6 0 R /ID [<00112233445566778899AABBCCDDEEFF> <00112233445566778899AABBCCDDEEFF>]",
    // Standard security handler whose /U does not match the empty user password.
    {"<< /Filter /Standard /V 1 /R 2 /O <" + std::string(64, 'A') + "> /U <" + std::string(64, 'A') +
     "> /P -44 >>"});

INSTANTIATE_TEST_SUITE_P(
    Files, OpenFault,
    ::testing::Values(
        OpenCase{"missing", "", PdfFault::missing, ""},
        OpenCase{"empty", "", PdfFault::not_pdf, " is not a PDF file (it is empty)"},
        OpenCase{"text", "Q1. What is 2+2?\n", PdfFault::not_pdf, " is not a PDF file (no %PDF- header)"},
        OpenCase{"garbage", "%PDF-1.7\n" + std::string(2048, '\x9c'), PdfFault::damaged,
                 " is damaged or truncated and cannot be read"},
        OpenCase{"truncated", kThreePages.substr(0, kThreePages.size() / 2), PdfFault::damaged,
                 " is damaged or truncated and cannot be read"},
        OpenCase{"locked", kLocked, PdfFault::locked,
                 " is encrypted and cannot be opened without its password"},
        OpenCase{"zero_pages",
                 assemble({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"}),
                 PdfFault::no_pages, " has no pages"}));

TEST_F(PdfTest, HeaderAfterLeadingJunkIsAccepted) {
    EXPECT_EQ(PdfDocument::open(write("junk.pdf", std::string(100, ' ') + kThreePages)).page_count(), 3);
}

TEST_F(PdfTest, DamagedFileLeavesStderrQuiet) {
    const std::string path = write("cut.pdf", kThreePages.substr(0, 40));
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(PdfDocument::open(path), PdfError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// -------------------------------------------------------------------- text

TEST_F(PdfTest, PageTextKeepsLinesAndDecodesToUtf8) {
    const auto doc = PdfDocument::open(write("three.pdf", kThreePages));
    ASSERT_EQ(doc.page_count(), 3);
    EXPECT_EQ(doc.page_text(1), "First page\nCaf\xc3\xa9 cr\xc3\xa8me br\xc3\xbbl\xc3\xa9\x65");
    EXPECT_EQ(doc.page_text(2), "Second page\nQuestion 2: name three prime numbers. [4 marks]");
    EXPECT_EQ(doc.page_text(3), "Third page");
    const auto art = PdfDocument::open(write("art.pdf", make_pdf({"0 0 1 rg 100 100 200 200 re f"})));
    EXPECT_EQ(art.page_text(1), "");
}

TEST_F(PdfTest, TwoColumnsStayInContentOrder) {
    // Left column written first, then the right one, lines at the same heights.
    const std::string content =
        "BT /F1 12 Tf 72 700 Td 16 TL (Q1. Left column one) Tj T* (left two) Tj ET "
        "BT /F1 12 Tf 320 700 Td 16 TL (Q2. Right column one) Tj T* (right two) Tj ET";
    const auto doc = PdfDocument::open(write("cols.pdf", make_pdf({content})));
    const std::string text = doc.page_text(1);
    EXPECT_LT(text.find("left two"), text.find("Q2."));
}

struct RangeCase {
    int page;
    int pages;
    const char* tail;
};

std::ostream& operator<<(std::ostream& os, const RangeCase& c) {
    return os << "page " << c.page << " of " << c.pages;
}

class PageRange : public PdfTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(PageRange, OutsidePagesAreNamedWithTheCount) {
    const auto& c = GetParam();
    std::vector<std::string> contents(c.pages, text_content({"page"}));
    const std::string path = write("r.pdf", make_pdf(contents));
    const auto doc = PdfDocument::open(path);
    try {
        doc.page_text(c.page);
        FAIL() << "page " << c.page << " was read";
    } catch (const PdfError& e) {
        EXPECT_EQ(e.fault(), PdfFault::page_missing);
        EXPECT_EQ(e.page(), c.page);
        EXPECT_EQ(e.page_count(), c.pages);
        EXPECT_EQ(std::string(e.what()),
                  "Page " + std::to_string(c.page) + " is out of range: '" + path + "' has " + c.tail);
    }
    EXPECT_THROW(doc.render(c.page, 72, 1), PdfError);
}

INSTANTIATE_TEST_SUITE_P(Pages, PageRange,
                         ::testing::Values(RangeCase{0, 3, "3 pages"}, RangeCase{4, 3, "3 pages"},
                                           RangeCase{-1, 3, "3 pages"}, RangeCase{2, 1, "1 page"}));

// --------------------------------------------------------------- rendering

TEST_F(PdfTest, RenderSizeFollowsDpi) {
    const auto doc = PdfDocument::open(write("s.pdf", make_pdf({""}, 720, 360)));
    for (int dpi : {36, 72, 150}) {
        const PageImage img = doc.render(1, dpi, 1);
        EXPECT_EQ(img.width, 720 * dpi / 72);
        EXPECT_EQ(img.height, 360 * dpi / 72);
        EXPECT_EQ(img.pixels.size(), static_cast<std::size_t>(img.width) * img.height);
        EXPECT_EQ(img.dpi, dpi);
    }
}

TEST_F(PdfTest, RgbRenderHasRedWhereRedWasPainted) {
    // Red square on the lower left quarter of a 100 x 100 pt page (PDF y grows upwards).
    const auto doc = PdfDocument::open(write("red.pdf", make_pdf({"1 0 0 rg 0 0 50 50 re f"}, 100, 100)));
    const PageImage img = doc.render(1, 72, 3);
    ASSERT_EQ(img.channels, 3);
    auto px = [&](int x, int y) { return &img.pixels[(static_cast<std::size_t>(y) * img.width + x) * 3]; };
    const unsigned char* red = px(10, 90);
    EXPECT_GT(red[0], 200);
    EXPECT_LT(red[1], 50);
    EXPECT_LT(red[2], 50);
    const unsigned char* white = px(90, 10);
    EXPECT_EQ(white[0] + white[1] + white[2], 3 * 255);
}

TEST_F(PdfTest, GiantPageRenderIsCapped) {
    // 200 x 200 inches at 1200 dpi would be 57.6 gigapixels.
    const auto doc = PdfDocument::open(write("poster.pdf", make_pdf({""}, 14400, 14400)));
    const PageImage img = doc.render(1, 1200, 1);
    EXPECT_LE(static_cast<double>(img.width) * img.height, kMaxRenderPixels * 1.01);
    EXPECT_LT(img.dpi, 1200);
    EXPECT_NEAR(img.width, 200 * img.dpi, 2);
}

TEST(EncodePng, HeaderCarriesSizeAndColourType) {
    for (int channels : {1, 3}) {
        PageImage img;
        img.width = 300;
        img.height = 70;
        img.channels = channels;
        img.dpi = 150;
        img.pixels.assign(static_cast<std::size_t>(300) * 70 * channels, 200);
        const auto png = encode_png(img);
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(std::string(png.begin(), png.begin() + 8), "\x89PNG\r\n\x1a\n");
        EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
        auto be32 = [&](std::size_t at) {
            return (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
        };
        EXPECT_EQ(be32(16), 300);
        EXPECT_EQ(be32(20), 70);
        EXPECT_EQ(png[24], 8);                       // bits per channel
        EXPECT_EQ(png[25], channels == 1 ? 0 : 2);  // greyscale or truecolour
    }
}

// ------------------------------------------------------------ usable text

struct CountCase {
    const char* label;
    const char* text;
    int words;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) { return os << c.label; }

class WordChars : public ::testing::TestWithParam<CountCase> {};

TEST_P(WordChars, CountsLettersAndDigitsOnly) {
    EXPECT_EQ(count_word_chars(GetParam().text), GetParam().words) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WordChars,
    ::testing::Values(CountCase{"empty", "", 0}, CountCase{"question", "Q1. (a) 2+2=4", 6},
                      CountCase{"punctuation", "  \n\t.,;:!?-()[]", 0},
                      CountCase{"latin1", "caf\xc3\xa9 \xc3\x97 \xc3\xb7", 4},  // é counts, × and ÷ do not
                      CountCase{"devanagari", "\xe0\xa4\xa8\xe0\xa4\xae\xe0\xa4\xb8", 3},
                      CountCase{"operators", "\xe2\x88\x91 \xe2\x88\xab \xe2\x89\xa4 \xe2\x86\x92", 0},
                      CountCase{"greek", "\xcf\x80\xce\xb8", 2},
                      CountCase{"math_italic", "\xf0\x9d\x91\xa5", 1},
                      CountCase{"private_use_emoji", "\xee\x80\x80\xf0\x9f\x98\x80", 0},
                      CountCase{"broken_utf8", "\xff\xfe\xc3", 0},
                      CountCase{"cjk", "\xe4\xb8\xad\xe6\x96\x87", 2}));

TEST(UsableText, ThresholdSeparatesStampsFromPages) {
    EXPECT_FALSE(has_usable_text("Scanned with CamScanner"));
    EXPECT_FALSE(has_usable_text(std::string(kUsableTextChars - 1, 'a')));
    EXPECT_TRUE(has_usable_text(std::string(kUsableTextChars, 'a')));
}

TEST(UsableText, OcrReplacesLayerOnlyWhenItReadsMore) {
    const std::string stamp = "Page 3";
    const std::string ocr = "Page 3\nThe mitochondria is the powerhouse of the cell";
    EXPECT_EQ(choose_page_text(stamp, ocr), ocr);
    EXPECT_EQ(choose_page_text("Q7. Solve x\xc2\xb2 = 4", "Q7. Solve x? = 4"), "Q7. Solve x\xc2\xb2 = 4");
    EXPECT_EQ(choose_page_text("", ""), "");
}

// --------------------------------------------------------------------- OCR

namespace {

const std::string kScanLines = text_content({"QUESTION SEVEN", "Photosynthesis makes sugar"}, 28);

}  // namespace

TEST_F(PdfTest, OcrReadsRenderedText) {
    const auto doc = PdfDocument::open(write("ocr.pdf", make_pdf({kScanLines})));
    const std::string text = ocr_image(doc.render(1, 150, 1));
    EXPECT_NE(text.find("QUESTION SEVEN"), std::string::npos) << text;
    EXPECT_NE(text.find("Photosynthesis makes sugar"), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n');
}

TEST_F(PdfTest, OcrRunsOnSeveralThreadsAtOnce) {
    const std::string path = write("ocr.pdf", make_pdf({kScanLines}));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            // Each thread opens its own document: Poppler documents are not shared.
            const auto doc = PdfDocument::open(path);
            for (int i = 0; i < 2; ++i) {
                if (ocr_image(doc.render(1, 120, 1)).find("QUESTION SEVEN") != std::string::npos) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 6);
}
