// quorvan-read: reads one PDF the way the local backend does (text layers,
// what a reader sees of them, OCR for scans) inside limits it sets on itself, and writes the pages to
// stdout as frames (isolated_read.hpp). It is started by read_isolated for
// every answer sheet, so a PDF that makes Poppler or Tesseract run away, eat
// memory or crash ends this process, never the one marking the class.
//
//   quorvan-read [--dpi D] [--threads N] [--max-pages N] [--max-chars N]
//                [--memory-mb N] [--cpu-seconds N] [--parent PID] [--pages 1,2] [--shown NAME]
//                [--check-visibility]
//                -- FILE.pdf
//
// Test-only: QUORVAN_READ_TEST_FAULT=abort|segv|hang makes the process abort,
// crash or hang once the file is open, so that the caller's handling of a
// crashing or hanging PDF library can be tested without such a PDF.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "isolated_read.hpp"
#include "local_reading.hpp"
#include "ocr.hpp"
#include "page_reader.hpp"
#include "pdf_document.hpp"

namespace core = quorvan::core;

namespace {

struct Options {
    double dpi = 150;
    unsigned threads = 0;
    long long max_pages = 300;
    long long max_chars = 1'000'000;
    long long memory_mb = 2048;
    long long cpu_seconds = 0;
    long long parent = 0;
    std::vector<long long> pages;
    bool check_visibility = false;
    std::string path;
    std::string shown;  // how messages name the file
};

[[noreturn]] void usage(const std::string& why) {
    const std::string line = "quorvan-read: " + why + "\n";
    (void)!::write(2, line.data(), line.size());
    std::_Exit(2);
}

long long number(const char* s, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (errno || end == s || *end) usage(std::string("bad ") + what + ": " + s);
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--check-visibility") {
            o.check_visibility = true;
            continue;
        }
        if (i + 1 >= argc) usage("missing value of " + std::string(a));
        const char* v = argv[++i];
        if (a == "--dpi") {
            o.dpi = std::strtod(v, nullptr);
        } else if (a == "--threads") {
            o.threads = static_cast<unsigned>(number(v, "thread count"));
        } else if (a == "--max-pages") {
            o.max_pages = number(v, "page limit");
        } else if (a == "--max-chars") {
            o.max_chars = number(v, "character limit");
        } else if (a == "--memory-mb") {
            o.memory_mb = number(v, "memory limit");
        } else if (a == "--cpu-seconds") {
            o.cpu_seconds = number(v, "time limit");
        } else if (a == "--shown") {
            o.shown = v;
        } else if (a == "--parent") {
            o.parent = number(v, "parent");
        } else if (a == "--pages") {
            for (const char* p = v; *p;) {
                char* end = nullptr;
                o.pages.push_back(std::strtoll(p, &end, 10));
                if (end == p) usage(std::string("bad page list: ") + v);
                p = *end == ',' ? end + 1 : end;
            }
        } else {
            usage("unknown option " + std::string(a));
        }
    }
    if (i != argc - 1) usage("expected one PDF file");
    o.path = argv[i];
    if (!(o.dpi > 0)) usage("bad dpi");
    return o;
}

void limit(int resource, rlim_t value) {
    rlimit r{value, value};
    ::setrlimit(resource, &r);
}

void set_limits(const Options& o) {
    limit(RLIMIT_CORE, 0);  // a crash leaves no core file of a student's PDF behind
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of address space for its shadow
    // memory; there the parent watches resident memory instead.
    if (o.memory_mb > 0) limit(RLIMIT_AS, static_cast<rlim_t>(o.memory_mb) * 1024 * 1024);
#endif
    if (o.cpu_seconds > 0) {
        rlimit r{static_cast<rlim_t>(o.cpu_seconds), static_cast<rlim_t>(o.cpu_seconds + 2)};
        ::setrlimit(RLIMIT_CPU, &r);
    }
    // Dies with the thread that started it, and never outlives a parent
    // already gone before this line ran.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (o.parent > 0 && ::getppid() != static_cast<pid_t>(o.parent)) std::_Exit(3);
}

void test_fault() {
    const char* fault = std::getenv("QUORVAN_READ_TEST_FAULT");
    if (!fault) return;
    const std::string_view f = fault;
    if (f == "abort") std::abort();
    if (f == "segv") ::raise(SIGSEGV);
    if (f == "hang") {
        for (;;) ::pause();
    }
}

void write_all(const std::string& out) {
    std::size_t at = 0;
    while (at < out.size()) {
        const ssize_t n = ::write(1, out.data() + at, out.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) std::_Exit(4);  // nobody reads: the result has no one to go to
        at += static_cast<std::size_t>(n);
    }
}

core::Frame pdf_frame(core::FrameTag tag, const core::PdfError& e) {
    core::Frame f;
    f.tag = tag;
    f.a = static_cast<std::int64_t>(e.fault());
    f.b = e.os_errno();
    f.c = e.page();
    f.d = e.page_count();
    f.data = e.what();
    return f;
}

core::Frame limit_frame(core::ReadStop why, long long found) {
    core::Frame f;
    f.tag = core::FrameTag::limit;
    f.a = static_cast<std::int64_t>(why);
    f.b = found;
    return f;
}

// Code points of UTF-8 text.
long long characters(const std::string& s) {
    long long n = 0;
    for (unsigned char c : s) n += (c & 0xc0) != 0x80;
    return n;
}

long long characters(const std::vector<core::PageRead>& reads) {
    long long n = 0;
    for (const auto& r : reads) {
        if (!r.done || r.error) break;
        n += characters(r.text);
    }
    return n;
}

// An error of reading a page, as the frame for it.
core::Frame error_frame(const std::exception_ptr& error, int page) {
    try {
        std::rethrow_exception(error);
    } catch (const core::PdfError& e) {
        return pdf_frame(core::FrameTag::pdf_error, e);
    } catch (const core::OcrError& e) {
        core::Frame f;
        f.tag = core::FrameTag::ocr_error;
        f.c = page;
        f.data = e.what();
        return f;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        core::Frame f;
        f.tag = core::FrameTag::failure;
        f.c = page;
        f.data = e.what();
        return f;
    }
}

// The frames of the whole reading: pages in order up to the first failure.
void read_document(const Options& o, std::string& out) {
    std::optional<core::PdfDocument> opened;
    try {
        opened.emplace(core::PdfDocument::open(o.path, o.shown.empty() ? o.path : o.shown));
    } catch (const core::PdfError& e) {
        core::append_frame(out, pdf_frame(core::FrameTag::open_error, e));
        return;
    }
    const core::PdfDocument& doc = *opened;
    test_fault();

    std::vector<int> pages;
    if (o.pages.empty()) {
        if (doc.page_count() > o.max_pages) {
            core::append_frame(out, limit_frame(core::ReadStop::pages, doc.page_count()));
            return;
        }
        for (int p = 1; p <= doc.page_count(); ++p) pages.push_back(p);
    } else {
        for (long long p : o.pages) {
            try {
                doc.check_page(p);
            } catch (const core::PdfError& e) {
                core::append_frame(out, pdf_frame(core::FrameTag::open_error, e));
                return;
            }
            pages.push_back(static_cast<int>(p));
        }
        if (static_cast<long long>(pages.size()) > o.max_pages) {
            core::append_frame(out, limit_frame(core::ReadStop::pages, static_cast<long long>(pages.size())));
            return;
        }
    }

    // As the local backend reads in process, with the same options.
    core::LocalReadOptions options;
    options.dpi = o.dpi;
    options.threads = o.threads;
    options.check_visibility = o.check_visibility;
    core::LocalReading reading = core::read_locally(doc, pages, options);
    const std::vector<core::PageRead>& reads = reading.pages;
    if (characters(reads) > o.max_chars) {
        core::append_frame(out, limit_frame(core::ReadStop::chars, characters(reads)));
        return;
    }
    for (const core::HiddenText& h : reading.hidden) core::append_frame(out, core::hidden_frame(h));

    for (std::size_t i = 0; i < pages.size(); ++i) {
        const core::PageRead& r = reads[i];
        if (r.error) {
            core::append_frame(out, error_frame(r.error, pages[i]));
            break;
        }
        if (!r.done) break;
        if (reading.quality[i].method != core::ReadMethod::text_layer) {
            core::append_frame(out, core::quality_frame(reading.quality[i]));
        }
        core::Frame f;
        f.tag = core::FrameTag::page;
        f.a = pages[i];
        f.data = r.text;
        core::append_frame(out, f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    set_limits(o);
    std::string out;
    try {
        read_document(o, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        core::append_frame(out, limit_frame(core::ReadStop::memory, 0));
    } catch (const std::exception& e) {
        out.clear();
        core::Frame f;
        f.tag = core::FrameTag::failure;
        f.data = e.what();
        core::append_frame(out, f);
    }
    core::Frame done;
    done.tag = core::FrameTag::done;
    core::append_frame(out, done);
    write_all(out);
    // Straight out: nothing left to tidy that the kernel does not, and no
    // leak report of a sanitizer build turns a finished read into an abort.
    std::_Exit(0);
}
