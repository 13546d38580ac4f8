// Files that are not ordinary PDFs: pipes, devices and pages with nothing drawn.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ocr.hpp"
#include "pdf_document.hpp"
#include "pdf_maker.hpp"

using namespace quorvan::core;
using namespace quorvan_test;
namespace fs = std::filesystem;

namespace {

std::string one_page_pdf(const std::string& content, int width = 612, int height = 792) {
    return make_pdf({content}, width, height);
}

using OddFileTest = TempDirTest;

// What an open of `path` threw.
std::optional<PdfError> open_error(const std::string& path) {
    try {
        PdfDocument::open(path);
    } catch (const PdfError& e) {
        return e;
    }
    return std::nullopt;
}

}  // namespace

TEST_F(OddFileTest, NamedPipeIsRefusedWithoutWaitingForAWriter) {
    const std::string path = (dir_ / "answers.pdf").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // Should the reader open the pipe after all, this writer lets it go on
    // (with bytes that are no PDF) instead of leaving the test hanging.
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        while (!done) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                (void)!::write(fd, "not a pdf", 9);
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto error = open_error(path);
    done = true;
    rescuer.join();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->fault(), PdfFault::not_pdf);
    EXPECT_EQ(std::string(error->what()), "'" + path + "' is not a PDF file (it is a named pipe)");
}

TEST_F(OddFileTest, DevicesAreRefused) {
    if (!fs::exists("/dev/null")) GTEST_SKIP() << "no /dev/null";
    const auto error = open_error("/dev/null");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->fault(), PdfFault::not_pdf);
    EXPECT_EQ(std::string(error->what()), "'/dev/null' is not a PDF file (it is a device)");
}

TEST_F(OddFileTest, SymlinkToAFileIsFollowed) {
    const std::string target = write("real.pdf", one_page_pdf("BT /F1 12 Tf 72 720 Td (Linked) Tj ET"));
    fs::create_symlink(target, dir_ / "link.pdf");
    EXPECT_EQ(PdfDocument::open((dir_ / "link.pdf").string()).page_text(1), "Linked");
}

// Reading a page in a new thread whose OCR engine cannot load its language
// data: only pages that really go to OCR fail.
std::string read_without_ocr_data(const std::string& path, std::string* error) {
    std::string text;
    const char* old = std::getenv("TESSDATA_PREFIX");
    const std::string saved = old ? old : "";
    setenv("TESSDATA_PREFIX", "/nonexistent", 1);
    std::thread([&] {
        try {
            text = read_page_locally(PdfDocument::open(path), 1, 100);
        } catch (const OcrError& e) {
            *error = e.what();
        }
    }).join();
    if (old) {
        setenv("TESSDATA_PREFIX", saved.c_str(), 1);
    } else {
        unsetenv("TESSDATA_PREFIX");
    }
    return text;
}

TEST_F(OddFileTest, BlankPageIsNotSentToOcr) {
    std::string error;
    EXPECT_EQ(read_without_ocr_data(write("blank.pdf", one_page_pdf("")), &error), "");
    EXPECT_EQ(error, "");
    // The same reader with something drawn does go to OCR, and fails there.
    read_without_ocr_data(write("box.pdf", one_page_pdf("0 g 100 100 200 50 re f")), &error);
    EXPECT_NE(error.find("language data"), std::string::npos) << error;
}

TEST_F(OddFileTest, GiantBlankPageReadsAsEmpty) {
    // 200 x 200 inches: rendered at the capped size, and not handed to OCR.
    const auto doc = PdfDocument::open(write("poster.pdf", one_page_pdf("", 14400, 14400)));
    EXPECT_EQ(read_page_locally(doc, 1, 150), "");
}

TEST_F(OddFileTest, LongThinPageIsRenderedNarrowEnoughForOcr) {
    // 100000 x 80 points at 300 dpi would be 416667 pixels wide; Tesseract
    // takes at most 32767 a side.
    const auto doc = PdfDocument::open(write("strip.pdf", one_page_pdf("0 g 100 10 400 40 re f", 100000, 80)));
    const PageImage image = doc.render(1, 300, 1);
    EXPECT_LE(image.width, 32767);
    EXPECT_GE(image.width, 31000);
    EXPECT_EQ(read_page_locally(doc, 1, 300), "");
}
