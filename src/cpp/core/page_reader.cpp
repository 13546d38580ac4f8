#include "page_reader.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

#include "ocr.hpp"

namespace quorvan::core {

unsigned usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned reader_threads(std::size_t pages, unsigned wanted, std::size_t pages_each) {
    const std::size_t n = wanted != 0 ? wanted : usable_cpus();
    const std::size_t worth = std::max<std::size_t>(1, pages / std::max<std::size_t>(1, pages_each));
    return static_cast<unsigned>(std::min(n, worth));
}

std::vector<PageRead> read_pages(const PdfDocument& doc, std::size_t count, unsigned threads, const ReadPage& read,
                                 const std::function<bool()>& between_pages) {
    std::vector<PageRead> out(count);
    std::atomic<std::size_t> next{0};
    // No index at or after this is started; lowered by failures.
    std::atomic<std::size_t> end{count};
    auto lower_end = [&](std::size_t to) {
        std::size_t cur = end.load();
        while (to < cur && !end.compare_exchange_weak(cur, to)) {
        }
    };
    auto work = [&](const PdfDocument& d, bool caller) {
        for (;;) {
            // Indices are handed out in order, so every index before a failed
            // one has already been taken and will be finished.
            const std::size_t i = next.fetch_add(1);
            if (i >= end.load()) return;
            PageRead& r = out[i];
            try {
                r.text = read(d, i);
            } catch (...) {
                r.error = std::current_exception();
                lower_end(i + 1);
            }
            r.done = true;
            if (caller && between_pages && !between_pages()) {
                lower_end(0);
                return;
            }
        }
    };

    {
        std::vector<std::jthread> helpers;  // joined on every way out of this block
        for (unsigned t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back([&] {
                    std::optional<PdfDocument> copy;
                    try {
                        copy.emplace(doc.reopen());
                    } catch (...) {
                        return;
                    }
                    work(*copy, false);
                });
            } catch (const std::system_error&) {
                break;  // no more threads to be had: fewer helpers
            }
        }
        work(doc, true);
    }
    return out;
}

std::vector<PageRead> read_text_layers(const PdfDocument& doc, const std::vector<int>& pages, unsigned threads,
                                       const std::function<bool()>& between_pages) {
    return read_pages(
        doc, pages.size(), threads, [&](const PdfDocument& d, std::size_t i) { return d.page_text(pages[i]); },
        between_pages);
}

std::vector<PageRead> read_scanned_pages(const PdfDocument& doc, const std::vector<int>& pages,
                                         const std::vector<std::string>& layers, double dpi, unsigned threads,
                                         const std::function<bool()>& between_pages,
                                         std::vector<PageQuality>* quality) {
    if (quality) quality->assign(pages.size(), PageQuality{});
    return read_pages(
        doc, pages.size(), threads,
        [&](const PdfDocument& d, std::size_t i) {
            return read_scanned_page(d, pages[i], dpi, layers[i], quality ? &(*quality)[i] : nullptr);
        },
        between_pages);
}

}  // namespace quorvan::core
