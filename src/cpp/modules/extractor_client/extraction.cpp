// ExtractorClient.process_pdf: the local backend (text layer, OCR for scans)
// and the OpenAI vision backend.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extractor.hpp"
#include "isolated_read.hpp"
#include "local_reading.hpp"
#include "ocr.hpp"
#include "page_reader.hpp"
#include "pdf_document.hpp"
#include "png_image.hpp"

namespace quorvan::extractor {

namespace {

constexpr const char* kTranscribeInstruction =
    "You transcribe one page of an exam question paper or a student's answer sheet. Write out every word "
    "exactly as it appears, handwriting included, in reading order: keep the line breaks, question numbers "
    "and labels, and write formulas in plain text or LaTeX. Do not correct, translate, summarise or add "
    "anything. Write [illegible] for words you cannot read.";

// UTF-8 for messages: what cannot be encoded shows as an escape.
std::string utf8_of(py::handle s) {
    return py::cast<std::string>(py::bytes(s.attr("encode")("utf-8", "backslashreplace")));
}

struct Source {
    std::string os_path;  // the bytes the OS knows the file by
    std::string shown;    // UTF-8 for messages
};

Source source_of(py::object pdf_path) {
    const Py_ssize_t length = PyUnicode_GetLength(pdf_path.ptr());
    if (PyUnicode_FindChar(pdf_path.ptr(), 0, 0, length, 1) >= 0) {
        pyglue::raise_new(PyExc_ValueError, "Argument 'pdf_path' contains a null character");
    }
    Source s;
    s.os_path = py::cast<std::string>(py::bytes(M("os").attr("fsencode")(pdf_path)));
    s.shown = utf8_of(pdf_path);
    return s;
}

py::str utf8(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// OS-level faults become the matching OSError subclass (FileNotFoundError,
// PermissionError, IsADirectoryError) with the path as filename; the rest are
// ValueErrors about the file's content.
[[noreturn]] void raise_pdf_error(const core::PdfError& e, py::handle pdf_path) {
    if (e.fault() == core::PdfFault::missing || e.fault() == core::PdfFault::unreadable) {
        py::object text = e.fault() == core::PdfFault::missing ? py::object(py::str("PDF file not found"))
                                                                : M("os").attr("strerror")(e.os_errno());
        pyglue::raise(py::handle(PyExc_OSError)(e.os_errno(), text, pdf_path));
    }
    pyglue::raise_new(PyExc_ValueError, utf8(e.what()));
}

// page_numbers: None or [] for every page; each entry an int (bool and float refused).
std::vector<long long> requested_pages(py::object page_numbers) {
    std::vector<long long> pages;
    if (page_numbers.is_none()) return pages;
    py::list items = page_numbers;
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::object v = items[i];
        if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
            pyglue::raise_new(PyExc_ValueError,
                              pyglue::cat("page_numbers[", i, "] must be an int, got ",
                                          py::type::handle_of(v).attr("__name__"), " (", py::repr(v), ")"));
        }
        py::object n = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
        if (!n) throw py::error_already_set();
        int overflow = 0;
        long long p = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
        if (overflow) p = overflow > 0 ? LLONG_MAX : LLONG_MIN;  // out of range all the same
        pages.push_back(p);
    }
    return pages;
}

core::PdfDocument open_document(const Source& src, py::handle pdf_path) {
    try {
        py::gil_scoped_release nogil;
        return core::PdfDocument::open(src.os_path, src.shown);
    } catch (const core::PdfError& e) {
        raise_pdf_error(e, pdf_path);
    }
}

// Ascending and without repeats; every page checked before any is read.
std::vector<int> pages_to_read(const core::PdfDocument& doc, std::vector<long long> wanted,
                               py::handle pdf_path) {
    std::vector<int> pages;
    if (wanted.empty()) {
        for (int p = 1; p <= doc.page_count(); ++p) pages.push_back(p);
        return pages;
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    // Report the first requested page that is missing, in the caller's terms.
    for (long long p : wanted) {
        try {
            doc.check_page(p);
        } catch (const core::PdfError& e) {
            raise_pdf_error(e, pdf_path);
        }
        pages.push_back(static_cast<int>(p));
    }
    return pages;
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// ------------------------------------------------------------- local backend

// QUORVAN_EXTRACT_THREADS sets how many threads read pages (1: the
// calling thread alone); unset or not a positive number, one per usable CPU.
unsigned wanted_threads() {
    const char* v = std::getenv("QUORVAN_EXTRACT_THREADS");
    if (!v || !*v) return 0;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return (*end == '\0' && n > 0) ? static_cast<unsigned>(std::min<long>(n, 64)) : 0;
}

[[noreturn]] void raise_read_error(const std::exception_ptr& error, int page, py::handle pdf_path) {
    try {
        std::rethrow_exception(error);
    } catch (const core::PdfError& e) {
        raise_pdf_error(e, pdf_path);
    } catch (const core::OcrError& e) {
        pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Failed to read page ", page, " of '", pdf_path,
                                                          "' with OCR: ", e.what()));
    }
}

py::list hidden_list(const std::vector<core::HiddenText>& hidden) {
    py::list out;
    for (const core::HiddenText& h : hidden) {
        py::dict d;
        d["page"] = h.page;
        d["words"] = h.words;
        py::list sample, kinds;
        for (const std::string& w : h.sample) sample.append(utf8(w));
        for (const std::string& k : h.kinds) kinds.append(utf8(k));
        d["sample"] = sample;
        d["kinds"] = kinds;
        d["replaced"] = py::bool_(h.replaced);
        out.append(d);
    }
    return out;
}

struct LocalResult {
    py::dict texts;
    py::list hidden;
    std::vector<int> pages;                 // read, in order
    std::vector<core::PageQuality> quality; // one per page read
};

// Pages are read on several threads at once, each with its own Poppler
// document (and OCR engine): first every text layer, then, by OCR, the pages
// whose layer is not usable. The result, and the error raised when a page
// fails, are those of reading the pages one by one: no page after the first
// failure counts.
LocalResult extract_locally(const core::PdfDocument& doc, const std::vector<int>& pages, long long dpi,
                            bool check_visibility, py::handle pdf_path) {
    // Ctrl-C while pages are read: looked at every 50 ms at most, since taking
    // the GIL may wait for another Python thread.
    std::optional<py::error_already_set> interrupted;
    auto last_look = std::chrono::steady_clock::now();
    auto keep_going = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_look < std::chrono::milliseconds(50)) return true;
        last_look = now;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return true;
        interrupted.emplace();  // takes the pending error
        return false;
    };

    core::LocalReadOptions options;
    options.dpi = static_cast<double>(dpi);
    options.threads = wanted_threads();
    options.check_visibility = check_visibility;
    core::LocalReading reading;
    {
        py::gil_scoped_release nogil;
        reading = core::read_locally(doc, pages, options, keep_going);
    }
    if (interrupted) throw std::move(*interrupted);

    LocalResult out;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const int p = pages[i];
        const core::PageRead& page = reading.pages[i];
        if (page.error) raise_read_error(page.error, p, pdf_path);
        if (!page.done) {
            // Not expected: reading stops only after a failure, raised above.
            pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Page ", p, " of '", pdf_path, "' was not read"));
        }
        out.texts[py::int_(p)] = utf8(page.text);
        out.pages.push_back(p);
        out.quality.push_back(reading.quality[i]);
    }
    out.hidden = hidden_list(reading.hidden);
    return out;
}

// ------------------------------------------------------------ vision backend

py::list transcription_messages(int page, py::handle file_name, const py::bytes& png) {
    py::object b64 = M("base64").attr("b64encode")(png).attr("decode")("ascii");

    py::dict system;
    system["role"] = "system";
    system["content"] = kTranscribeInstruction;

    py::dict text_part;
    text_part["type"] = "text";
    text_part["text"] = pyglue::cat("Transcribe page ", page, " of ", file_name, ".");
    py::dict url;
    url["url"] = pyglue::cat("data:image/png;base64,", b64);
    py::dict image_part;
    image_part["type"] = "image_url";
    image_part["image_url"] = url;
    py::list content;
    content.append(text_part);
    content.append(image_part);
    py::dict user;
    user["role"] = "user";
    user["content"] = content;

    py::list messages;
    messages.append(system);
    messages.append(user);
    return messages;
}

// One vision call, as the model service reports its calls: task, page, the
// tokens the answer says it used, and whether it gave a transcription.
struct VisionCall {
    int page = 0;
    py::object input_tokens = py::int_(0);
    py::object output_tokens = py::int_(0);
    bool ok = false;
};

py::object usage_count(const py::object& usage, const char* name) {
    py::object n = py::getattr(usage, name, py::none());
    return PyLong_Check(n.ptr()) && !PyBool_Check(n.ptr()) ? n : py::object(py::int_(0));
}

py::object transcribe(py::object client, py::object model, py::object response_format, py::list messages,
                      VisionCall& call) {
    py::object response = client.attr("beta").attr("chat").attr("completions").attr("parse")(
        py::arg("model") = model, py::arg("messages") = messages,
        py::arg("response_format") = response_format);
    py::object usage = py::getattr(response, "usage", py::none());
    if (!usage.is_none()) {
        call.input_tokens = usage_count(usage, "prompt_tokens");
        call.output_tokens = usage_count(usage, "completion_tokens");
    }
    py::object message = response.attr("choices")[py::int_(0)].attr("message");
    py::object parsed = message.attr("parsed");
    if (parsed.is_none()) {
        py::object refusal = py::getattr(message, "refusal", py::none());
        if (pyglue::truth(refusal)) {
            pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("the model refused: ", refusal));
        }
        pyglue::raise_new(PyExc_RuntimeError, "the model returned no transcription");
    }
    py::object text = parsed.attr("text");
    if (!PyUnicode_Check(text.ptr())) {
        pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("the transcription is not text but ",
                                                          py::type::handle_of(text).attr("__name__")));
    }
    call.ok = true;
    return text;
}

py::object vision_client(py::object key) {
    return pyglue::wrap_errors(PyExc_RuntimeError, "Failed to create the OpenAI client: ",
                               [&] { return M("OpenAI")(py::arg("api_key") = key); });
}

// The page drawn as the vision model sees it.
py::bytes render_png(const core::PdfDocument& doc, int p, long long dpi, py::handle pdf_path) {
    std::vector<unsigned char> png;
    try {
        py::gil_scoped_release nogil;
        png = core::encode_png(doc.render(p, static_cast<double>(dpi), 3));
    } catch (const core::PdfError& e) {
        raise_pdf_error(e, pdf_path);
    }
    return {reinterpret_cast<const char*>(png.data()), png.size()};
}

// The page's image transcribed by the vision model; the call is added to `calls`.
py::object transcribe_png(int p, const py::bytes& png, py::object client, py::object model, py::handle pdf_path,
                          std::vector<VisionCall>& calls) {
    py::object file_name = M("os").attr("path").attr("basename")(pdf_path);
    py::list messages = transcription_messages(p, file_name, png);
    calls.push_back(VisionCall{p});
    return transcribe(std::move(client), std::move(model), M("PageTranscription"), messages, calls.back());
}

py::object transcribe_page(const core::PdfDocument& doc, int p, long long dpi, py::object client, py::object model,
                           py::handle pdf_path, std::vector<VisionCall>& calls) {
    return transcribe_png(p, render_png(doc, p, dpi, pdf_path), std::move(client), std::move(model), pdf_path, calls);
}

py::dict extract_with_openai(const core::PdfDocument& doc, const std::vector<int>& pages, long long dpi,
                             py::object key, py::object model, py::handle pdf_path, std::vector<VisionCall>& calls) {
    py::object client = vision_client(key);
    py::dict out;
    for (int p : pages) {
        py::object text;
        try {
            text = transcribe_page(doc, p, dpi, client, model, pdf_path, calls);
        } catch (...) {
            pyglue::rewrap(PyExc_RuntimeError, pyglue::cat("Failed to transcribe page ", p, " of '", pdf_path, "': "));
        }
        out[py::int_(p)] = text;
        check_signals();
    }
    return out;
}

// ---------------------------------------------------------------- the call

struct Reading {
    py::dict texts;
    py::list hidden;
    std::vector<int> pages;                 // read by the local backend, in order
    std::vector<core::PageQuality> quality; // one per such page
    std::vector<VisionCall> calls;          // to the vision model
    py::list page_reads;                    // how each page was read, as read_pdf reports it
};

// ------------------------------------------------------- isolated reading

// quorvan-read, installed in the package next to this module's folder.
std::string reader_program() {
    py::object path = M("os").attr("path");
    py::object package = path.attr("dirname")(path.attr("dirname")(path.attr("abspath")(M.get("__file__"))));
    return py::cast<std::string>(py::bytes(M("os").attr("fsencode")(path.attr("join")(package, "_bin", "quorvan-read"))));
}

core::ReadLimits limits_of(py::handle limits) {
    py::object max_pages = pyglue::need_int(limits.attr("max_pages"), "limits.max_pages");
    py::object max_chars = pyglue::need_int(limits.attr("max_chars"), "limits.max_chars");
    py::object timeout = pyglue::need_float(limits.attr("timeout"), "limits.timeout");
    py::object memory_mb = pyglue::need_int(limits.attr("memory_mb"), "limits.memory_mb");
    check_read_limits(max_pages, max_chars, timeout, memory_mb);
    core::ReadLimits l;
    l.max_pages = py::cast<long long>(max_pages);
    l.max_chars = py::cast<long long>(max_chars);
    l.seconds = py::cast<double>(timeout);
    l.memory_mb = py::cast<long long>(memory_mb);
    return l;
}

[[noreturn]] void raise_stopped(const core::ReadStopped& e) {
    const char* limit = nullptr;
    switch (e.why()) {
        case core::ReadStop::pages: limit = "pages"; break;
        case core::ReadStop::chars: limit = "chars"; break;
        case core::ReadStop::time: limit = "time"; break;
        case core::ReadStop::memory: limit = "memory"; break;
        case core::ReadStop::crashed:
        case core::ReadStop::cancelled:
            pyglue::raise_new(PyExc_RuntimeError, utf8(e.what()));
    }
    py::object error = M("ReadLimitError")(utf8(e.what()));
    error.attr("limit") = limit;
    pyglue::raise(error);
}

// Reads in a quorvan-read process within `limits`, as the local backend reads
// in process. `cancel` (None or anything with is_set(), a threading.Event)
// and Ctrl-C, when this runs on the main thread, kill the process at once.
Reading read_isolated_pages(const Source& src, py::handle pdf_path, std::vector<long long> wanted, long long dpi,
                            bool check_visibility, py::handle limits, py::object cancel) {
    core::IsolatedReadRequest req;
    req.program = reader_program();
    req.path = src.os_path;
    req.shown = src.shown;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    req.pages = std::move(wanted);
    req.dpi = static_cast<double>(dpi);
    req.threads = wanted_threads();
    req.check_visibility = check_visibility;
    req.limits = limits_of(limits);

    std::optional<py::error_already_set> interrupted;
    auto cancelled = [&] {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            interrupted.emplace();
            return true;
        }
        if (cancel.is_none()) return false;
        try {
            return pyglue::truth(cancel.attr("is_set")());
        } catch (py::error_already_set&) {
            interrupted.emplace();
            return true;
        }
    };
    core::IsolatedReading reading;
    try {
        py::gil_scoped_release nogil;
        reading = core::read_isolated(req, cancelled);
    } catch (const core::PdfError& e) {
        raise_pdf_error(e, pdf_path);
    } catch (const core::ReadStopped& e) {
        if (interrupted) throw std::move(*interrupted);
        raise_stopped(e);
    } catch (const std::runtime_error& e) {
        pyglue::raise_new(PyExc_RuntimeError, utf8(e.what()));
    }

    Reading out;
    for (std::size_t i = 0; i < reading.reads.size(); ++i) {
        const int p = reading.pages[i];
        const core::PageRead& page = reading.reads[i];
        if (page.error) {
            try {
                raise_read_error(page.error, p, pdf_path);
            } catch (const std::runtime_error& e) {
                pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Failed to read page ", p, " of '", pdf_path,
                                                                  "': ", utf8(e.what())));
            }
        }
        out.texts[py::int_(p)] = utf8(page.text);
        out.pages.push_back(p);
        out.quality.push_back(i < reading.quality.size() ? reading.quality[i] : core::PageQuality{});
    }
    out.hidden = hidden_list(reading.hidden);
    return out;
}

// ------------------------------------------------------- pages read badly

long long word_count(py::handle text) { return static_cast<long long>(py::len(text.attr("split")())); }

std::string percent(double v) {
    char out[16];
    std::snprintf(out, sizeof out, "%.0f%%", v);
    return out;
}

// What the vision model needs, or "" when it can run: the OpenAI key is the
// client's own for the types that use no other service's key.
std::string vision_missing(py::object self, py::object& key) {
    const std::string type = py::cast<std::string>(pyglue::str(self.attr("extractor_type")));
    py::object given = type == kOpenAI || type == kLocal ? py::object(self.attr("api_key")) : py::object(py::none());
    const std::string missing = openai_missing(given);
    if (missing.empty()) key = openai_key(given);
    return missing;
}

// A page the local backend read, as much of it as settling needs.
struct LocalPage {
    int page = 0;
    bool ocr = false;
    double confidence = 0;  // OCR's, when it read the page
    double low_share = 0;
    bool low = false;       // OCR read it, and with too little confidence
};

// Called once, before the first page goes to the vision model: what gives
// the image of a page. Opening the file there keeps a file that cannot be
// opened a failure of the whole reading, not of each page.
using PageImages = std::function<std::function<py::bytes(int)>()>;

// The page list read_pdf reports, and the texts of the pages OCR read badly
// replaced by the vision model's where the reader may send pages to it. A
// page the model could not read keeps its OCR text and says why.
void settle_pages(py::object self, py::handle pdf_path, const std::vector<LocalPage>& pages, const PageImages& images,
                  py::dict& texts, std::vector<VisionCall>& calls, py::list& page_reads) {
    const std::string reader = current_reader(self);
    const double min_confidence = current_min_confidence(self);
    std::vector<std::size_t> to_vision;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].ocr && (reader == kReaderVision || (reader == kReaderAuto && pages[i].low))) to_vision.push_back(i);
    }
    py::object key = py::none();
    std::string missing;
    if (!to_vision.empty()) missing = vision_missing(self, key);
    std::vector<std::string> failures(pages.size());
    std::vector<char> by_vision(pages.size(), 0);
    if (!to_vision.empty() && missing.empty()) {
        py::object model = self.attr("model");
        pyglue::need_str(model, "model");
        py::object client = vision_client(key);
        const std::function<py::bytes(int)> png_of = images();
        for (std::size_t i : to_vision) {
            const int p = pages[i].page;
            py::object error;
            try {
                texts[py::int_(p)] = transcribe_png(p, png_of(p), client, model, pdf_path, calls);
                by_vision[i] = 1;
            } catch (...) {
                error = pyglue::caught();
            }
            if (error) failures[i] = utf8_of(pyglue::str(error));
            check_signals();
        }
    }

    for (std::size_t i = 0; i < pages.size(); ++i) {
        const LocalPage& q = pages[i];
        const int p = q.page;
        const bool ocr = q.ocr;
        const bool low = q.low;
        py::dict page;
        page["page"] = p;
        page["method"] = by_vision[i] ? "vision" : ocr ? "ocr" : "text";
        page["words"] = word_count(texts[py::int_(p)]);
        page["confidence"] = ocr ? py::object(py::float_(q.confidence)) : py::object(py::none());
        page["low_share"] = ocr ? py::object(py::float_(q.low_share)) : py::object(py::none());
        page["reliable"] = py::bool_(by_vision[i] || !low);
        std::string note;
        const std::string read_as = ocr ? "OCR's mean word confidence was " + percent(q.confidence) : "";
        if (by_vision[i]) {
            note = "read by the vision model" + (low ? "; " + read_as + " (under " + percent(min_confidence) + ")" : "");
        } else if (low) {
            note = "read by OCR with a mean word confidence of " + percent(q.confidence) + " (under " +
                   percent(min_confidence) + "); not read again: ";
            if (!failures[i].empty()) {
                note += "the vision model failed (" + failures[i] + ")";
            } else if (reader == kReaderLocal) {
                note += "the reader is 'local', which sends no page to the model";
            } else {
                note += "the vision model needs " + missing;
            }
        } else if (ocr) {
            note = "read by OCR with a mean word confidence of " + percent(q.confidence);
            if (!failures[i].empty()) note += "; the vision model failed (" + failures[i] + ")";
            else if (!missing.empty() && reader == kReaderVision) note += "; the vision model needs " + missing;
        }
        page["note"] = py::str(note);
        page_reads.append(page);
    }
}

// Settling for pages read here: their images are drawn from the file.
void settle_local_pages(py::object self, const Source& src, py::handle pdf_path, long long dpi, Reading& r) {
    const double min_confidence = current_min_confidence(self);
    std::vector<LocalPage> pages;
    for (std::size_t i = 0; i < r.pages.size(); ++i) {
        const core::PageQuality& q = r.quality[i];
        LocalPage page{r.pages[i]};
        page.ocr = q.method == core::ReadMethod::ocr;
        if (page.ocr) {
            page.confidence = q.ocr.confidence;
            page.low_share = q.ocr.low_share;
            page.low = q.ocr.words > 0 && q.ocr.confidence < min_confidence;
        }
        pages.push_back(page);
    }
    const PageImages images = [&]() -> std::function<py::bytes(int)> {
        auto doc = std::make_shared<core::PdfDocument>(open_document(src, pdf_path));
        return [doc, dpi, pdf_path](int p) { return render_png(*doc, p, dpi, pdf_path); };
    };
    settle_pages(std::move(self), pdf_path, pages, images, r.texts, r.calls, r.page_reads);
}

// The vision backend reads every page: all of them are reported as its.
void vision_pages(const std::vector<int>& pages, Reading& r) {
    for (int p : pages) {
        py::dict page;
        page["page"] = p;
        page["method"] = "vision";
        page["words"] = word_count(r.texts[py::int_(p)]);
        page["confidence"] = py::none();
        page["low_share"] = py::none();
        page["reliable"] = py::bool_(true);
        page["note"] = py::str("read by the vision model");
        r.page_reads.append(page);
    }
}

Reading read(py::object self, py::object pdf_path, py::object page_numbers, bool check_visibility,
             py::object limits = py::none(), py::object cancel = py::none()) {
    pyglue::need_str(pdf_path, "pdf_path");
    pyglue::need_opt_list(page_numbers, "page_numbers");
    const Source src = source_of(pdf_path);
    std::vector<long long> wanted = requested_pages(page_numbers);
    const long long dpi = current_dpi(self);
    const std::string backend = py::cast<std::string>(pyglue::str(self.attr("backend")));
    if (backend != kLocal && backend != kOpenAI) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Unknown backend ", py::repr(self.attr("backend")),
                                                        "; expected 'local' or 'openai'"));
    }
    const std::string reader = current_reader(self);
    current_min_confidence(self);

    py::object key = py::none();
    py::object model = py::none();
    if (backend == kOpenAI) {
        // Only a configured "openai" type owns api_key; for the others it may be another service's key.
        const bool own_key = py::cast<std::string>(pyglue::str(self.attr("extractor_type"))) == kOpenAI;
        py::object given = own_key ? py::object(self.attr("api_key")) : py::object(py::none());
        const std::string missing = openai_missing(given);
        if (!missing.empty()) {
            pyglue::raise_new(PyExc_ValueError, ("The 'openai' backend needs " + missing).c_str());
        }
        key = openai_key(given);
        model = self.attr("model");
        pyglue::need_str(model, "model");
    } else if (reader == kReaderVision) {
        // Asked for outright: reading on with OCR alone would hide that it cannot be had.
        py::object unused = py::none();
        const std::string missing = vision_missing(self, unused);
        if (!missing.empty()) pyglue::raise_new(PyExc_ValueError, ("The 'vision' reader needs " + missing).c_str());
    }

    Reading r;
    if (!limits.is_none()) {
        const core::ReadLimits checked = limits_of(limits);
        // The file is opened by the reading process alone: opening it is
        // already work a hostile PDF can make endless.
        if (backend == kLocal) {
            r = read_isolated_pages(src, pdf_path, std::move(wanted), dpi, check_visibility, limits, cancel);
            settle_local_pages(self, src, pdf_path, dpi, r);
            return r;
        }
        // The vision backend calls the model from here; only its page count is limited.
        const core::PdfDocument doc = open_document(src, pdf_path);
        const std::vector<int> pages = pages_to_read(doc, std::move(wanted), pdf_path);
        if (static_cast<long long>(pages.size()) > checked.max_pages) {
            raise_stopped(core::ReadStopped(
                core::ReadStop::pages, core::limit_message(core::ReadStop::pages, "'" + src.shown + "'", checked,
                                                           static_cast<long long>(pages.size()), 0,
                                                           !requested_pages(page_numbers).empty())));
        }
        r.texts = extract_with_openai(doc, pages, dpi, key, model, pdf_path, r.calls);
        vision_pages(pages, r);
        return r;
    }

    const core::PdfDocument doc = open_document(src, pdf_path);
    const std::vector<int> pages = pages_to_read(doc, std::move(wanted), pdf_path);
    // The model transcribes the image, so it sees nothing a reader would not.
    if (backend == kOpenAI) {
        r.texts = extract_with_openai(doc, pages, dpi, key, model, pdf_path, r.calls);
        vision_pages(pages, r);
        return r;
    }
    LocalResult local = extract_locally(doc, pages, dpi, check_visibility, pdf_path);
    r.texts = std::move(local.texts);
    r.hidden = std::move(local.hidden);
    r.pages = std::move(local.pages);
    r.quality = std::move(local.quality);
    settle_local_pages(self, src, pdf_path, dpi, r);
    return r;
}

py::list call_list(const std::vector<VisionCall>& calls, py::object model) {
    py::list out;
    for (const VisionCall& c : calls) {
        py::dict d;
        d["task"] = "transcribe_page";
        d["page"] = c.page;
        d["model"] = model;
        d["input_tokens"] = c.input_tokens;
        d["output_tokens"] = c.output_tokens;
        d["ok"] = py::bool_(c.ok);
        out.append(d);
    }
    return out;
}

// A reading done elsewhere with the reader 'local' (texts, hidden, pages as
// read_pdf gives them) settled as this client's reader would have: the pages
// it sends to the vision model are read from `images` ({page: PNG}, or
// {page: why} where it could not be drawn), drawn where the reading was done,
// so that only the model is called from here.
py::object settle_rendered(py::object self, py::object pdf_path, py::dict texts, py::list hidden, py::list pages,
                           py::dict images) {
    pyglue::need_str(pdf_path, "pdf_path");
    std::vector<LocalPage> read;
    for (py::handle entry : pages) {
        LocalPage page{py::cast<int>(entry["page"])};
        const std::string method = py::cast<std::string>(entry["method"]);
        if (method != "ocr" && method != "text") {
            pyglue::raise_new(PyExc_ValueError, pyglue::cat("page ", page.page, " was read by ", py::repr(entry["method"]),
                                                            ", not by the local backend"));
        }
        page.ocr = method == "ocr";
        if (page.ocr) {
            page.confidence = py::cast<double>(entry["confidence"]);
            page.low_share = py::cast<double>(entry["low_share"]);
            page.low = !pyglue::truth(entry["reliable"]);
        }
        read.push_back(page);
    }
    py::dict settled = texts.attr("copy")();
    std::vector<VisionCall> calls;
    py::list page_reads;
    const PageImages drawn = [&]() -> std::function<py::bytes(int)> {
        return [images](int p) -> py::bytes {
            py::object png = images.attr("get")(p, py::none());
            if (PyBytes_Check(png.ptr())) return png;
            // Where the page could not be drawn, why.
            if (PyUnicode_Check(png.ptr())) pyglue::raise_new(PyExc_RuntimeError, png);
            pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("page ", p, " was not drawn"));
        };
    };
    settle_pages(self, pdf_path, read, drawn, settled, calls, page_reads);
    return M("PdfReading")(settled, hidden, page_reads, call_list(calls, self.attr("model")));
}

py::dict process_pdf(py::object self, py::object pdf_path, py::object page_numbers) {
    return read(self, pdf_path, page_numbers, false).texts;
}

py::object read_pdf(py::object self, py::object pdf_path, py::object page_numbers, py::object check_visibility,
                    py::object limits, py::object cancel) {
    const bool check = pyglue::truth(check_visibility);
    Reading r = read(self, pdf_path, page_numbers, check, limits, cancel);
    return M("PdfReading")(r.texts, r.hidden, r.page_reads, call_list(r.calls, self.attr("model")));
}

}  // namespace

void init_extraction(ClientClass& cls) {
    cls.def("_settle_rendered", &settle_rendered, py::arg("pdf_path"), py::arg("texts"), py::arg("hidden"),
            py::arg("pages"), py::arg("images"),
            "A reading made elsewhere with the reader 'local', settled as read_pdf settles its own: the pages "
            "this client's reader sends to the vision model are read from images ({page: PNG bytes}).");
    cls.def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
            "Text of the requested pages (all when None or empty) as {page number: text}, in page order.");
    cls.def("read_pdf", &read_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(), py::kw_only(),
            py::arg("check_visibility") = true, py::arg("limits") = py::none(), py::arg("cancel") = py::none(),
            "The requested pages as a PdfReading: texts as process_pdf gives them, less, when "
            "check_visibility is true, the words a reader of the page cannot see (invisible, in the background "
            "colour, too small or squeezed, clipped, covered by anything drawn later, a text layer over a scan "
            "that shows other words, text its glyphs do not draw); hidden lists "
            "those pages as {'page', 'words', 'sample', 'kinds', 'replaced'} dicts, in page order, counting "
            "also the words never drawn (a layer switched off, a hidden form field, text off the paper). "
            "With limits "
            "(a ReadLimits) the local backend reads in a process of its own, which a PDF over a limit or a "
            "crash of the PDF library ends alone: ReadLimitError for a limit, RuntimeError for a crash; "
            "cancel (a threading.Event) set while it reads stops it at once. None reads in this process. "
            "pages says how each page was read, one dict per page in page order: {'page', 'method' ('text', "
            "'ocr' or 'vision'), 'words', 'confidence' and 'low_share' (OCR's mean word confidence, 0 to 100, "
            "and the share of words it read with little confidence; None unless OCR read the page), "
            "'reliable', 'note'}. A page OCR read with a mean confidence under min_confidence is read again "
            "by the vision model when the reader is 'auto' (every page OCR read when it is 'vision') and the "
            "model can be reached; otherwise it keeps its OCR text and is not reliable. calls lists the vision "
            "model calls made, {'task', 'page', 'model', 'input_tokens', 'output_tokens', 'ok'}.");
}

}  // namespace quorvan::extractor

namespace quorvan::extractor {

void check_read_limits(py::handle max_pages, py::handle max_chars, py::handle timeout, py::handle memory_mb) {
    if (py::cast<long long>(max_pages) < 1) pyglue::raise_new(PyExc_ValueError, "max_pages must be at least 1");
    if (py::cast<long long>(max_chars) < 1) pyglue::raise_new(PyExc_ValueError, "max_chars must be at least 1");
    const double t = py::cast<double>(timeout);
    if (!(t > 0 && t <= 86400)) pyglue::raise_new(PyExc_ValueError, "timeout must be more than 0 and at most 86400 seconds");
    // Below this the reading process cannot load its libraries.
    if (py::cast<long long>(memory_mb) < 100) pyglue::raise_new(PyExc_ValueError, "memory_mb must be at least 100");
}

}  // namespace quorvan::extractor
