#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "page_reader.hpp"
#include "pdf_document.hpp"

using namespace quorvan::core;
namespace fs = std::filesystem;

namespace {

// `n` pages of Helvetica text, "Page <i> ..."; the page tree entry of page
// `broken` (when not 0) is a string instead of a page, so Poppler counts the
// page but cannot load it nor any after it.
std::string numbered_pages(int n, int broken = 0) {
    std::vector<std::string> objs;
    objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < n; ++i) kids += i + 1 == broken ? std::string("(no page) ") : std::to_string(4 + 2 * i) + " 0 R ";
    objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
    objs.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (int i = 0; i < n; ++i) {
        objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                       "/Contents " + std::to_string(5 + 2 * i) + " 0 R >>");
        const std::string c = "BT /F1 12 Tf 72 720 Td (Page " + std::to_string(i + 1) +
                              " holds question " + std::to_string(i + 1) + ") Tj ET";
        objs.push_back("<< /Length " + std::to_string(c.size()) + " >>\nstream\n" + c + "\nendstream");
    }
    std::string out = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objs.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
}

std::vector<int> one_to(int n) {
    std::vector<int> v;
    for (int i = 1; i <= n; ++i) v.push_back(i);
    return v;
}

class PageReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("quorvan-reader-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
        return p.string();
    }
    fs::path dir_;
};

}  // namespace

TEST_F(PageReaderTest, EveryThreadCountGivesThePagesInOrder) {
    const auto doc = PdfDocument::open(write("many.pdf", numbered_pages(40)));
    std::vector<std::string> one_by_one;
    for (int p = 1; p <= 40; ++p) one_by_one.push_back(doc.page_text(p));
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        const auto read = read_text_layers(doc, one_to(40), threads);
        ASSERT_EQ(read.size(), 40u);
        for (int i = 0; i < 40; ++i) {
            EXPECT_TRUE(read[i].done && !read[i].error) << "page " << i + 1 << ", " << threads << " threads";
            EXPECT_EQ(read[i].text, one_by_one[i]);
        }
    }
    EXPECT_EQ(one_by_one[22], "Page 23 holds question 23");
}

TEST_F(PageReaderTest, SelectedPagesComeBackInTheGivenOrder) {
    const auto doc = PdfDocument::open(write("many.pdf", numbered_pages(30)));
    const std::vector<int> pages = {2, 7, 8, 19, 30, 1};
    const auto read = read_text_layers(doc, pages, 3);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(read[i].text, "Page " + std::to_string(pages[i]) + " holds question " + std::to_string(pages[i]));
    }
}

TEST_F(PageReaderTest, FirstFailureInPageOrderIsAlwaysKnown) {
    const auto doc = PdfDocument::open(write("broken.pdf", numbered_pages(40, 23)));
    for (unsigned threads : {1u, 2u, 4u}) {
        const auto read = read_text_layers(doc, one_to(40), threads);
        for (int i = 0; i < 22; ++i) {
            ASSERT_TRUE(read[i].done && !read[i].error) << "page " << i + 1 << ", " << threads << " threads";
        }
        ASSERT_TRUE(read[22].error) << threads << " threads";
        try {
            std::rethrow_exception(read[22].error);
        } catch (const PdfError& e) {
            EXPECT_EQ(e.fault(), PdfFault::page_unusable);
            EXPECT_EQ(e.page(), 23);
        }
    }
}

TEST_F(PageReaderTest, BetweenPagesCanStopTheReading) {
    const auto doc = PdfDocument::open(write("many.pdf", numbered_pages(20)));
    int calls = 0;
    const auto read = read_text_layers(doc, one_to(20), 1, [&] { return ++calls < 3; });
    EXPECT_EQ(calls, 3);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(read[i].done, i < 3) << "page " << i + 1;
}

TEST_F(PageReaderTest, HelpersThatCannotReopenLeaveTheWorkToTheCaller) {
    const std::string path = write("gone.pdf", numbered_pages(24));
    const auto doc = PdfDocument::open(path);
    fs::remove(path);  // the open document still reads it; a reopen cannot
    const auto read = read_text_layers(doc, one_to(24), 4);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(read[i].text, "Page " + std::to_string(i + 1) + " holds question " + std::to_string(i + 1));
    }
}

TEST_F(PageReaderTest, ReopenRefusesAFileThatChangedItsPageCount) {
    const std::string path = write("changing.pdf", numbered_pages(5));
    const auto doc = PdfDocument::open(path);
    EXPECT_EQ(doc.reopen().page_count(), 5);
    write("changing.pdf", numbered_pages(6));
    try {
        doc.reopen();
        ADD_FAILURE() << "reopened";
    } catch (const PdfError& e) {
        EXPECT_EQ(e.fault(), PdfFault::damaged);
        EXPECT_NE(std::string(e.what()).find("changed while it was being read"), std::string::npos) << e.what();
    }
}

TEST(ReaderThreads, OnePerCpuAndFourPagesEach) {
    EXPECT_EQ(reader_threads(3, 8), 1u);
    EXPECT_EQ(reader_threads(8, 8), 2u);
    EXPECT_EQ(reader_threads(400, 3), 3u);
    EXPECT_EQ(reader_threads(4000, 0), usable_cpus());
    EXPECT_EQ(reader_threads(0, 0), 1u);
    EXPECT_GE(usable_cpus(), 1u);
}

TEST_F(PageReaderTest, ScansReadOnSeveralThreadsMatchOneByOne) {
    // Large Helvetica on pages read as scans (their layers passed as empty).
    std::vector<std::string> objs;
    const int n = 4;
    objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < n; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
    objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
    objs.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    const char* words[] = {"OSMOSIS", "GRAVITY", "ENZYME", "FRICTION"};
    for (int i = 0; i < n; ++i) {
        objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 200] /Resources << /Font << /F1 3 0 R >> >> "
                       "/Contents " + std::to_string(5 + 2 * i) + " 0 R >>");
        const std::string c = std::string("BT /F1 36 Tf 72 100 Td (") + words[i] + ") Tj ET";
        objs.push_back("<< /Length " + std::to_string(c.size()) + " >>\nstream\n" + c + "\nendstream");
    }
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objs.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";

    const auto doc = PdfDocument::open(write("scans.pdf", pdf));
    const std::vector<int> pages = one_to(n);
    const std::vector<std::string> layers(n);
    const auto alone = read_scanned_pages(doc, pages, layers, 100, 1);
    const auto shared = read_scanned_pages(doc, pages, layers, 100, 3);
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(alone[i].done && shared[i].done);
        EXPECT_EQ(alone[i].text, words[i]);
        EXPECT_EQ(shared[i].text, alone[i].text);
    }
}
