// Small PDFs written byte by byte, and a fixture with a folder of its own,
// shared by the C++ tests of the PDF reading.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace quorvan_test {

// A PDF from numbered objects (1..n) with an exact cross-reference table.
inline std::string assemble(const std::vector<std::string>& objects, const std::string& trailer_extra = "") {
    std::string out = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R" + trailer_extra +
           " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
}

inline std::string stream(const std::string& content) {
    return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
}

// The objects of a catalog (1), a page tree (2), Helvetica as /F1 (3) and,
// from 4 on, one page and its content stream per entry of `contents`. The
// page tree's entry for page `broken` (when not 0) is a string instead of a
// page, so Poppler counts the page but cannot load it nor any after it.
inline std::vector<std::string> page_objects(const std::vector<std::string>& contents, int width = 612,
                                             int height = 792, std::size_t broken = 0) {
    const std::size_t n = contents.size();
    std::vector<std::string> objs;
    objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (std::size_t i = 0; i < n; ++i) kids += i + 1 == broken ? std::string("(no page) ") : std::to_string(4 + 2 * i) + " 0 R ";
    objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
    objs.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    for (std::size_t i = 0; i < n; ++i) {
        objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " +
                       std::to_string(height) + "] /Resources << /Font << /F1 3 0 R >> >> /Contents " +
                       std::to_string(5 + 2 * i) + " 0 R >>");
        objs.push_back(stream(contents[i]));
    }
    return objs;
}

// One page per content stream, all `width` x `height` points.
inline std::string make_pdf(const std::vector<std::string>& contents, int width = 612, int height = 792,
                            const std::string& trailer_extra = "", std::vector<std::string> extra_objects = {}) {
    std::vector<std::string> objs = page_objects(contents, width, height);
    for (auto& o : extra_objects) objs.push_back(std::move(o));
    return assemble(objs, trailer_extra);
}

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() / ("quorvan-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::filesystem::path p = dir_ / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
        return p.string();
    }
    std::filesystem::path dir_;
};

}  // namespace quorvan_test
