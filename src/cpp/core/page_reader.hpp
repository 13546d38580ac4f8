// Reading the text layers of many pages of one document on several threads.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "pdf_document.hpp"

namespace quorvan::core {

struct LayerRead {
    bool done = false;         // false: not reached, reading stopped before it
    std::string text;          // PdfDocument::page_text
    std::exception_ptr error;  // what reading the page threw
};

// A thread costs a second Poppler document; below this many pages each it
// does not pay for itself.
inline constexpr std::size_t kPagesPerReader = 4;

// CPUs this process may run on (its affinity mask), at least 1.
unsigned usable_cpus();

// Threads worth using for `pages` pages: `wanted` (0: one per usable CPU),
// but no more than one per kPagesPerReader pages.
unsigned reader_threads(std::size_t pages, unsigned wanted = 0);

// The text layers of `pages` (numbers valid for doc), in that order. The
// calling thread reads on doc, threads - 1 helpers each on their own reopened
// copy (a helper that cannot reopen leaves its share to the others), taking
// pages one at a time so a slow page holds up no one. After a page fails no
// later page is started, but every page before it is read, so the first
// failure in page order is always known. `between_pages`, when set, runs on
// the calling thread after each page it reads; false stops all reading.
std::vector<LayerRead> read_text_layers(const PdfDocument& doc, const std::vector<int>& pages, unsigned threads,
                                        const std::function<bool()>& between_pages = {});

}  // namespace quorvan::core
