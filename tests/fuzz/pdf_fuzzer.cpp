// libFuzzer entry point for the PDF reading of the C++ core: open, page
// text (one thread and several), render and OCR of pages without text, PNG
// encoding. Built and run by scripts/fuzz_pdf.sh.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ocr.hpp"
#include "page_reader.hpp"
#include "pdf_document.hpp"
#include "png_image.hpp"

using namespace quorvan::core;

namespace {

// The input lives in an in-memory file that Poppler opens by path.
struct InputFile {
    int fd = -1;
    std::string path;
    InputFile() {
        fd = memfd_create("fuzz-input.pdf", 0);
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void set(const uint8_t* data, size_t size) {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    }
};

constexpr int kMaxPages = 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static InputFile input;
    input.set(data, size);
    try {
        const PdfDocument doc = PdfDocument::open(input.path);
        std::vector<int> pages;
        for (int p = 1; p <= doc.page_count() && p <= kMaxPages; ++p) pages.push_back(p);
        const auto layers = read_text_layers(doc, pages, pages.size() > 1 ? 2 : 1);
        for (std::size_t i = 0; i < layers.size(); ++i) {
            if (layers[i].error || has_usable_text(layers[i].text)) continue;
            try {
                // Low resolutions keep each input quick; the paths are the same.
                read_scanned_page(doc, pages[i], 12, layers[i].text);
                if (i == 0) encode_png(doc.render(pages[i], 6, 3));
            } catch (const PdfError&) {
            } catch (const OcrError&) {
            }
        }
    } catch (const PdfError&) {
        // Refusing a bad file with a typed error is the expected outcome.
    }
    return 0;
}
