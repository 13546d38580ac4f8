// Reading the requested pages of one document with the local backend: text
// layers, what a reader sees of them, OCR for scans. Python-free, so it can
// run in a process of its own.
#pragma once

#include <functional>
#include <vector>

#include "page_reader.hpp"
#include "pdf_document.hpp"
#include "visibility.hpp"

namespace quorvan::core {

struct LocalReadOptions {
    double dpi = 150;               // for OCR and the vision check
    unsigned threads = 0;           // 0: one per usable CPU
    bool check_visibility = false;  // keep only the text a reader sees
};

struct LocalReading {
    std::vector<PageRead> pages;      // one per requested page, in that order
    std::vector<HiddenText> hidden;   // pages with hidden words, in page order
    std::vector<PageQuality> quality; // one per requested page: how its text was found
};

// Reads `pages` (numbers valid for doc) on several threads, each with its own
// document and OCR engine: first every text layer (checked for hidden words
// when asked), then, by OCR, the pages whose remaining text is not usable. As
// with read_pages, no page after the first failure is started, and
// `between_pages` (on the calling thread) returning false stops all reading;
// pages[i].done tells which were read. `hidden` holds only pages read.
LocalReading read_locally(const PdfDocument& doc, const std::vector<int>& pages, const LocalReadOptions& options,
                          const std::function<bool()>& between_pages = {});

}  // namespace quorvan::core
