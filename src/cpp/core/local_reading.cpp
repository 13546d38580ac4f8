#include "local_reading.hpp"

#include <optional>
#include <string>

#include "ocr.hpp"

namespace quorvan::core {

LocalReading read_locally(const PdfDocument& doc, const std::vector<int>& pages, const LocalReadOptions& options,
                          const std::function<bool()>& between_pages) {
    LocalReading out;
    bool stopped = false;
    auto keep_going = [&] {
        if (!between_pages || between_pages()) return true;
        stopped = true;
        return false;
    };

    // Each index is written by the one thread that reads it, and read here
    // only after every thread has finished.
    std::vector<std::optional<HiddenText>> hidden(pages.size());
    std::vector<char> replaced(pages.size(), 0);
    const ReadPage first = [&](const PdfDocument& d, std::size_t i) {
        if (!options.check_visibility) return d.page_text(pages[i]);
        PageVisibility seen = read_visible_text(d, pages[i], options.dpi);
        if (seen.hidden) replaced[i] = seen.hidden->replaced;
        hidden[i] = std::move(seen.hidden);
        return std::move(seen.text);
    };
    // Rendering a page to check it costs as much as opening a document, so
    // a thread pays for itself from the first page.
    const std::size_t per_thread = options.check_visibility ? 1 : kPagesPerReader;
    out.pages = read_pages(doc, pages.size(), reader_threads(pages.size(), options.threads, per_thread), first,
                           keep_going);

    std::vector<std::size_t> scanned;  // indices of the pages read by OCR
    std::vector<int> scan_pages;
    std::vector<std::string> scan_layers;
    for (std::size_t i = 0; i < pages.size() && !stopped; ++i) {
        const PageRead& r = out.pages[i];
        if (r.error || !r.done) break;  // reading page by page would stop here
        if (replaced[i] || has_usable_text(r.text)) continue;
        scanned.push_back(i);
        scan_pages.push_back(pages[i]);
        scan_layers.push_back(r.text);
    }
    out.quality.assign(pages.size(), PageQuality{});
    if (!stopped && !scan_pages.empty()) {
        // An OCR engine takes a tenth of a second to start: worth it from two pages.
        std::vector<PageQuality> quality;
        std::vector<PageRead> scans = read_scanned_pages(doc, scan_pages, scan_layers, options.dpi,
                                                         reader_threads(scan_pages.size(), options.threads, 1),
                                                         keep_going, &quality);
        for (std::size_t k = 0; k < scanned.size(); ++k) {
            out.pages[scanned[k]] = std::move(scans[k]);
            out.quality[scanned[k]] = quality[k];
        }
    }

    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (out.pages[i].done && !out.pages[i].error && hidden[i]) out.hidden.push_back(std::move(*hidden[i]));
    }
    return out;
}

}  // namespace quorvan::core
