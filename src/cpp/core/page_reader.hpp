// Reading many pages of one document on several threads.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "ocr.hpp"
#include "pdf_document.hpp"

namespace quorvan::core {

struct PageRead {
    bool done = false;         // false: not reached, reading stopped before it
    std::string text;
    std::exception_ptr error;  // what reading the page threw
};

// A thread costs a second Poppler document; below this many pages each it
// does not pay for itself when only text layers are read.
inline constexpr std::size_t kPagesPerReader = 4;

// CPUs this process may run on (its affinity mask), at least 1.
unsigned usable_cpus();

// Threads worth using for `pages` pages: `wanted` (0: one per usable CPU),
// but no more than one per `pages_each` pages.
unsigned reader_threads(std::size_t pages, unsigned wanted = 0, std::size_t pages_each = kPagesPerReader);

// Runs read(document, i) for every i in [0, count) and keeps what it returns
// or throws. The calling thread reads on doc, threads - 1 helpers each on
// their own reopened copy (a Poppler document serves one thread at a time; a
// helper that cannot reopen leaves its share to the others). Indices are
// taken one at a time, in order, so a slow page holds up no one; after an
// index fails no later one is started, but every earlier one is finished, so
// the first failure in order is always known. `between_pages`, when set, runs
// on the calling thread after each index it reads; false stops all reading.
using ReadPage = std::function<std::string(const PdfDocument&, std::size_t)>;
std::vector<PageRead> read_pages(const PdfDocument& doc, std::size_t count, unsigned threads, const ReadPage& read,
                                 const std::function<bool()>& between_pages = {});

// The text layers of `pages` (numbers valid for doc), in that order.
std::vector<PageRead> read_text_layers(const PdfDocument& doc, const std::vector<int>& pages, unsigned threads,
                                       const std::function<bool()>& between_pages = {});

// read_scanned_page for each of `pages` whose text layer is `layers[i]`. Each
// thread has its own OCR engine. `quality`, when given, is made one per page,
// each written by the thread that reads that page.
std::vector<PageRead> read_scanned_pages(const PdfDocument& doc, const std::vector<int>& pages,
                                         const std::vector<std::string>& layers, double dpi, unsigned threads,
                                         const std::function<bool()>& between_pages = {},
                                         std::vector<PageQuality>* quality = nullptr);

}  // namespace quorvan::core
