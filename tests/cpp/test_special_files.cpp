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

using namespace quorvan::core;
namespace fs = std::filesystem;

namespace {

std::string one_page_pdf(const std::string& content, int width = 612, int height = 792) {
    const std::vector<std::string> objs = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " + std::to_string(height) +
            "] /Resources << /Font << /F1 3 0 R >> >> /Contents 5 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
    };
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
    return out + "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
}

class SpecialFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("quorvan-special-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    fs::path dir_;
};

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

TEST_F(SpecialFileTest, NamedPipeIsRefusedWithoutWaitingForAWriter) {
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

TEST_F(SpecialFileTest, DevicesAreRefused) {
    if (!fs::exists("/dev/null")) GTEST_SKIP() << "no /dev/null";
    const auto error = open_error("/dev/null");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->fault(), PdfFault::not_pdf);
    EXPECT_EQ(std::string(error->what()), "'/dev/null' is not a PDF file (it is a device)");
}

TEST_F(SpecialFileTest, SymlinkToAFileIsFollowed) {
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

TEST_F(SpecialFileTest, BlankPageIsNotSentToOcr) {
    std::string error;
    EXPECT_EQ(read_without_ocr_data(write("blank.pdf", one_page_pdf("")), &error), "");
    EXPECT_EQ(error, "");
    // The same reader with something drawn does go to OCR, and fails there.
    read_without_ocr_data(write("box.pdf", one_page_pdf("0 g 100 100 200 50 re f")), &error);
    EXPECT_NE(error.find("language data"), std::string::npos) << error;
}

TEST_F(SpecialFileTest, GiantBlankPageReadsAsEmpty) {
    // 200 x 200 inches: rendered at the capped size, and not handed to OCR.
    const auto doc = PdfDocument::open(write("poster.pdf", one_page_pdf("", 14400, 14400)));
    EXPECT_EQ(read_page_locally(doc, 1, 150), "");
}

TEST_F(SpecialFileTest, LongThinPageIsRenderedNarrowEnoughForOcr) {
    // 100000 x 80 points at 300 dpi would be 416667 pixels wide; Tesseract
    // takes at most 32767 a side.
    const auto doc = PdfDocument::open(write("strip.pdf", one_page_pdf("0 g 100 10 400 40 re f", 100000, 80)));
    const PageImage image = doc.render(1, 300, 1);
    EXPECT_LE(image.width, 32767);
    EXPECT_GE(image.width, 31000);
    EXPECT_EQ(read_page_locally(doc, 1, 300), "");
}
