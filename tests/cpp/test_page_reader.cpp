#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "page_reader.hpp"
#include "pdf_document.hpp"
#include "pdf_maker.hpp"

using namespace quorvan::core;
using namespace quorvan_test;
namespace fs = std::filesystem;

namespace {

// `n` pages of Helvetica text, "Page <i> ..."; page `broken` (when not 0)
// is counted but cannot be loaded, nor any after it.
std::string numbered_pages(int n, int broken = 0) {
    std::vector<std::string> contents;
    for (int i = 0; i < n; ++i)
        contents.push_back("BT /F1 12 Tf 72 720 Td (Page " + std::to_string(i + 1) + " holds question " +
                           std::to_string(i + 1) + ") Tj ET");
    return assemble(page_objects(contents, 612, 792, static_cast<std::size_t>(broken)));
}

std::vector<int> one_to(int n) {
    std::vector<int> v;
    for (int i = 1; i <= n; ++i) v.push_back(i);
    return v;
}

using PageReaderTest = TempDirTest;

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
    const int n = 4;
    const char* words[] = {"OSMOSIS", "GRAVITY", "ENZYME", "FRICTION"};
    std::vector<std::string> contents;
    for (int i = 0; i < n; ++i) contents.push_back(std::string("BT /F1 36 Tf 72 100 Td (") + words[i] + ") Tj ET");
    const std::string pdf = make_pdf(contents, 612, 200);

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
