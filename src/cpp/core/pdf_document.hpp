// Reading PDF files with Poppler: open with typed errors, page text, page images.
// Python-free, so callers may run it without the GIL.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace poppler {
class document;
}
class PDFDoc;
class OptionalContentGroup;

namespace quorvan::core {

enum class PdfFault {
    missing,        // no such file
    unreadable,     // exists but cannot be read (a directory, no permission)
    not_pdf,        // no %PDF- header, or not a regular file (a pipe, a device)
    damaged,        // Poppler cannot rebuild it (corrupt or truncated)
    locked,         // encrypted and needs a password
    no_pages,       // a valid file with an empty page tree
    page_missing,   // a page number outside 1..page count
    page_unusable,  // a page that exists but cannot be read or rendered
};

class PdfError : public std::runtime_error {
public:
    PdfError(PdfFault fault, const std::string& message, int os_errno = 0, long long page = 0, int page_count = 0)
        : std::runtime_error(message),
          fault_(fault),
          os_errno_(os_errno),
          page_(page),
          page_count_(page_count) {}

    PdfFault fault() const { return fault_; }
    int os_errno() const { return os_errno_; }  // errno of missing/unreadable
    long long page() const { return page_; }
    int page_count() const { return page_count_; }

private:
    PdfFault fault_;
    int os_errno_;
    long long page_;
    int page_count_;
};

// A rendered page: 8-bit channels (1 = grey, 3 = RGB), rows packed without padding.
struct PageImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    double dpi = 0.0;  // resolution actually used (lowered for giant pages)
    std::vector<unsigned char> pixels;
};

// Renders are capped at this many pixels: a poster-sized page at a high dpi
// would otherwise need gigabytes (or fail inside Poppler).
inline constexpr double kMaxRenderPixels = 150e6;
// and at this many pixels a side: Tesseract refuses images wider or taller
// than 32767 pixels, which a long, thin page reaches at an ordinary dpi.
inline constexpr double kMaxRenderSide = 32000;

class PdfDocument {
public:
    // Opens path (bytes as the OS names it); `shown` is how messages name the file.
    // Throws PdfError.
    static PdfDocument open(const std::string& path, std::string_view shown);
    static PdfDocument open(const std::string& path) { return open(path, path); }

    PdfDocument(PdfDocument&&) noexcept;
    PdfDocument& operator=(PdfDocument&&) noexcept;
    ~PdfDocument();

    int page_count() const { return pages_; }

    // Throws PdfError(page_missing) unless 1 <= number <= page_count().
    void check_page(long long number) const;

    // The text layer of a page (UTF-8) in content order, one line per line of
    // text, without trailing blank lines. Empty for a scan.
    std::string page_text(int number) const;

    // The page drawn on white at dpi, with the page's own rotation applied.
    PageImage render(int number, double dpi, int channels) const;

    const std::string& shown_name() const { return shown_; }

    // Another handle on the same file, for reading pages on another thread:
    // a Poppler document must not be used by two threads at once. Throws
    // PdfError like open(), and PdfError(damaged) when the file no longer has
    // the same number of pages.
    PdfDocument reopen() const;

    // The same file opened with Poppler's core classes, for callers that draw
    // pages through their own output device. Opened at the first call and
    // kept; like the rest of this handle, for one thread at a time. Throws
    // PdfError(damaged) when it cannot be opened as it was the first time.
    PDFDoc& core_document() const;

private:
    struct CoreDocument;

    PdfDocument(std::unique_ptr<poppler::document> doc, std::string path, std::string shown, int pages);

    std::unique_ptr<poppler::document> doc_;
    std::string path_;
    std::string shown_;
    int pages_ = 0;
    mutable std::unique_ptr<CoreDocument> core_;
};

// The text layer of page `number` as PdfDocument::page_text gives it, from
// what a TextOutputDev in content order wrote while drawing the page at 72
// dpi with its crop box.
std::string finish_page_text(PDFDoc& doc, int number, const std::string& written);

// Optional content as a reader's viewer shows it on screen: the document's
// own settings, less the groups it marks hidden when viewed (Poppler alone
// draws them, as for print). Set while it lives, restored after.
class ScreenLayers {
public:
    explicit ScreenLayers(PDFDoc& doc);
    ~ScreenLayers();
    ScreenLayers(const ScreenLayers&) = delete;
    ScreenLayers& operator=(const ScreenLayers&) = delete;

    bool any_off() const;  // some group is off for the reader
    void all_on();         // every group on, to see what the layers hold
    void as_reader();      // back to what the reader sees

private:
    std::vector<std::pair<OptionalContentGroup*, int>> saved_;
};

// Whether some group of `doc` is drawn by Poppler but hidden on screen.
bool has_screen_hidden_layers(PDFDoc& doc);

// Page `number` of `doc` drawn at `dpi` on white (1 = grey, 3 = RGB), as
// the layers are set; without its text when `text` is false.
PageImage draw_core_page(PDFDoc& doc, int number, double dpi, int channels, bool text);

// Letters and digits in UTF-8 text; punctuation, symbols, spaces, control and
// private-use code points do not count.
int count_word_chars(std::string_view utf8);

// A text layer with fewer word characters than this is treated as a scan:
// enough for a heading or a stamp ("Scanned with ...") to be ignored, far
// below what a page of questions or answers holds.
inline constexpr int kUsableTextChars = 32;

bool has_usable_text(std::string_view utf8);

// The text that stands for a page whose layer was not usable and which was
// also read by OCR: the OCR text when it found more words than the layer.
const std::string& choose_page_text(const std::string& layer, const std::string& ocr);

// Messages Poppler reported on this thread since the last call (oldest first);
// Poppler's own printing to stderr is switched off by the first open().
std::vector<std::string> take_poppler_messages();

}  // namespace quorvan::core
