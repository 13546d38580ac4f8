// Reading a PDF in a process of its own, within limits of time, memory, pages
// and characters. A runaway or a crash inside Poppler or Tesseract then ends
// that process alone: the caller gets a reason, never a crash of its own.
//
// The reading process is the quorvan-read program (src/cpp/tools); it writes
// its result to stdout as frames, read here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "page_reader.hpp"
#include "visibility.hpp"

namespace quorvan::core {

struct ReadLimits {
    long long max_pages = 300;        // pages to read, at most
    long long max_chars = 1'000'000;  // characters of text (code points), at most
    double seconds = 120;             // wall-clock time of the reading process
    long long memory_mb = 2048;       // address space of the reading process
};

// Why an isolated read gave no result.
enum class ReadStop {
    time,       // over the time limit: killed
    memory,     // over the memory limit
    pages,      // more pages to read than allowed
    chars,      // more text than allowed
    crashed,    // the reading process died of a signal or exited without a result
    cancelled,  // the caller cancelled: killed
};

class ReadStopped : public std::runtime_error {
public:
    ReadStopped(ReadStop why, const std::string& message, int signal = 0)
        : std::runtime_error(message), why_(why), signal_(signal) {}
    ReadStop why() const { return why_; }
    int signal() const { return signal_; }  // the signal that ended the process (crashed)

private:
    ReadStop why_;
    int signal_;
};

// "1,000,000"
std::string with_thousands(long long n);

// The reasons, worded the same wherever they are shown; `shown` is the
// file's name in quotes as messages show it.
std::string limit_message(ReadStop why, const std::string& shown, const ReadLimits& limits, long long found = 0,
                          int signal = 0, bool selected = false);

struct IsolatedReadRequest {
    std::string program;     // the quorvan-read executable
    std::string path;        // the PDF, as the OS names it
    std::string shown;       // how messages name it
    std::vector<long long> pages;  // ascending, no repeats; empty: every page
    double dpi = 150;
    bool check_visibility = false;  // as LocalReadOptions
    unsigned threads = 0;    // as for read_text_layers: 0 is one per usable CPU
    ReadLimits limits;
};

struct IsolatedReading {
    std::vector<int> pages;       // the pages asked for (all of them when none were named)
    std::vector<PageRead> reads;  // one per page: text, or the error that stopped reading there
    std::vector<PageQuality> quality;  // one per page: how its text was found
    std::vector<HiddenText> hidden;  // as read_locally finds them
    long long peak_kb = 0;        // the reading process's peak resident memory
};

// Reads the PDF in a new quorvan-read process: text layers, OCR for scans,
// as the local backend does in process. Throws PdfError for a file that cannot
// be opened or a page that does not exist (as PdfDocument would), ReadStopped
// for a limit, a crash or cancellation, and std::runtime_error when the
// program cannot be started. `cancelled` is asked every 50 ms; true kills the
// process at once. The process is always reaped before this returns.
IsolatedReading read_isolated(const IsolatedReadRequest& request, const std::function<bool()>& cancelled = {});

// ------------------------------------------------------------------ frames
//
// What quorvan-read writes: frames of a tag byte, four little-endian signed
// 64-bit numbers and a length-prefixed (64-bit) byte string, ending with a
// done frame. Pages come in order, each text or, for the first page that
// failed, its error; nothing follows an error but done.

enum class FrameTag : char {
    page = 'P',        // a: page number; data: the text
    open_error = 'E',  // the file or a page asked for is unusable: as pdf_error, before any page
    pdf_error = 'F',   // a: PdfFault, b: errno, c: page, d: page count; data: message
    ocr_error = 'O',   // c: page; data: message
    limit = 'L',       // a: ReadStop (pages, chars or memory), b: what was found; data: ""
    failure = 'X',     // c: page; data: message of any other error
    hidden = 'H',      // a: page, b: words, c: replaced; data: kinds and sample (hidden_frame)
    quality = 'Q',     // how the page in the next page frame was read (quality_frame)
    done = 'D',
};

struct Frame {
    FrameTag tag = FrameTag::done;
    std::int64_t a = 0, b = 0, c = 0, d = 0;
    std::string data;
};

void append_frame(std::string& out, const Frame& frame);

// A HiddenText as a frame and back: data is the kinds, then the sample, each
// item ended by a unit separator (0x1f), the two lists by a record separator (0x1e).
Frame hidden_frame(const HiddenText& hidden);
HiddenText hidden_of(const Frame& frame);

// A PageQuality as a frame and back: a: method, b: words, c and d: the bits of
// the mean confidence and the low share, so both come back exactly.
Frame quality_frame(const PageQuality& quality);
PageQuality quality_of(const Frame& frame);

// Frames from a byte stream fed in pieces.
class FrameReader {
public:
    void feed(const char* bytes, std::size_t n) { buffer_.append(bytes, n); }
    // The next whole frame, if one has arrived; throws std::runtime_error on
    // an unknown tag or a length beyond `max_data`.
    std::optional<Frame> next(std::size_t max_data);
    std::size_t pending() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace quorvan::core
