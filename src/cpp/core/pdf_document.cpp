#include "pdf_document.hpp"

#include <Annot.h>
#include <GlobalParams.h>
#include <OptionalContent.h>
#include <PDFDoc.h>
#include <Page.h>
#include <SplashOutputDev.h>
#include <TextOutputDev.h>
#include <splash/SplashBitmap.h>
#include <goo/GooString.h>
#include <poppler-document.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace quorvan::core {

namespace {

// Poppler reports through one process-wide callback, on the thread doing the
// work; each thread keeps its own recent messages.
constexpr std::size_t kKeptMessages = 16;
thread_local std::deque<std::string> t_messages;

void keep_message(const std::string& message, void*) {
    if (t_messages.size() == kKeptMessages) t_messages.pop_front();
    t_messages.push_back(message);
}

void quiet_poppler() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function(&keep_message, nullptr); });
}

std::string in_quotes(std::string_view name) {
    std::string q = "'";
    q += name;
    q += "'";
    return q;
}

// "error: Couldn't read xref table" -> "Couldn't read xref table"
std::string plain_message(std::string m) {
    constexpr std::string_view prefix = "error: ";
    if (m.compare(0, prefix.size(), prefix) == 0) m.erase(0, prefix.size());
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return m;
}

std::string pages_phrase(int n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

// Trailing spaces of each line and blank lines at both ends carry nothing.
std::string tidy_text(const std::vector<char>& raw) {
    std::string out;
    out.reserve(raw.size());
    std::string line;
    auto flush = [&] {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        out += line;
        out += '\n';
        line.clear();
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\r') {
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            flush();
        } else if (c == '\n' || c == '\f') {
            flush();
        } else {
            line += c;
        }
    }
    flush();
    std::size_t begin = out.find_first_not_of('\n');
    if (begin == std::string::npos) return {};
    std::size_t end = out.find_last_not_of('\n');
    return out.substr(begin, end - begin + 1);
}

// ------------------------------------------------------------------ form fields

// A form field's value is drawn after the page's own content, so the text
// layer lists every value after every label. Read in place, each value
// follows the line it is drawn beside or under.
struct FieldText {
    double centre;  // from the top of the page, in points
    double left;
    std::string text;
};

bool no_annotations(Annot*, void*) { return false; }

void append_text(void* stream, const char* text, int len) { static_cast<std::string*>(stream)->append(text, len); }

struct WordAt {
    double x0, y0, x1, y1;
    std::string text;
};

// The page's words in content order with where each stands, and its text
// as the text layer gives it; with or without its annotations.
std::vector<WordAt> read_words(PDFDoc& doc, int number, bool annotations, std::string* text) {
    std::string dumped;
    TextOutputDev dev(&append_text, &dumped, false, 0, true, false);
    doc.displayPageSlice(&dev, number, 72, 72, 0, false, true, false, -1, -1, -1, -1, nullptr, nullptr,
                         annotations ? nullptr : &no_annotations, nullptr);
    if (text != nullptr) *text = tidy_text(std::vector<char>(dumped.begin(), dumped.end()));
    std::vector<WordAt> out;
    const std::unique_ptr<TextWordList> words = dev.makeWordList();
    for (int i = 0; i < words->getLength(); ++i) {
        TextWord* w = words->get(i);
        WordAt at;
        w->getBBox(&at.x0, &at.y0, &at.x1, &at.y1);
        const std::unique_ptr<GooString> t(w->getText());
        at.text = t ? t->toStr() : std::string();
        out.push_back(std::move(at));
    }
    return out;
}

std::string with_fields_in_place(PDFDoc& doc, int number, const std::string& layer) {
    Page* page = doc.getPage(number);
    if (page == nullptr || page->getRotate() % 360 != 0) return layer;
    Annots* annots = page->getAnnots();
    if (annots == nullptr) return layer;
    std::vector<Annot*> fields;
    for (Annot* annot : annots->getAnnots()) {
        if (annot->getType() != Annot::typeWidget) continue;
        if ((annot->getFlags() & (Annot::flagHidden | Annot::flagNoView)) != 0) continue;
        fields.push_back(annot);
    }
    if (fields.empty()) return layer;

    // The page without its annotations, and where each of its lines stands.
    std::string body;
    const std::vector<WordAt> words = read_words(doc, number, false, &body);
    // Drawn with them, the page's own words come first, then the annotations' in their order.
    const std::vector<WordAt> all = read_words(doc, number, true, nullptr);
    if (all.size() < words.size()) return layer;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (all[i].text != words[i].text) return layer;
    }
    const PDFRectangle* crop = page->getCropBox();
    struct Rect {
        double left, top, right, bottom;
    };
    std::vector<Rect> rects;
    for (Annot* field : fields) {
        double x0, y0, x1, y1;
        field->getRect(&x0, &y0, &x1, &y1);
        rects.push_back({std::min(x0, x1) - crop->x1, crop->y2 - std::max(y0, y1), std::max(x0, x1) - crop->x1,
                         crop->y2 - std::min(y0, y1)});
    }
    // Each annotation word goes to the smallest field it stands in; the rest
    // (notes, stamps) stay where the layer puts them, after the page.
    std::vector<std::string> texts(fields.size());
    std::vector<double> line_bottoms(fields.size(), -1e300);
    std::string others;
    for (std::size_t i = words.size(); i < all.size(); ++i) {
        const WordAt& w = all[i];
        const double cx = (w.x0 + w.x1) / 2, cy = (w.y0 + w.y1) / 2;
        int in = -1;
        double area = 1e300;
        for (std::size_t k = 0; k < rects.size(); ++k) {
            const Rect& r = rects[k];
            const double a = (r.right - r.left) * (r.bottom - r.top);
            if (cx >= r.left && cx <= r.right && cy >= r.top && cy <= r.bottom && a < area) in = static_cast<int>(k), area = a;
        }
        if (in < 0) {
            others += (others.empty() ? "" : " ") + w.text;
            continue;
        }
        std::string& text = texts[in];
        if (!text.empty()) text += w.y0 >= line_bottoms[in] ? '\n' : ' ';
        text += w.text;
        line_bottoms[in] = w.y1;
    }
    std::vector<FieldText> placed;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!texts[k].empty()) placed.push_back({(rects[k].top + rects[k].bottom) / 2, rects[k].left, std::move(texts[k])});
    }
    if (placed.empty()) return layer;

    std::vector<std::string> lines;
    for (std::size_t from = 0; !body.empty() && from <= body.size();) {
        const std::size_t end = std::min(body.find('\n', from), body.size());
        lines.push_back(body.substr(from, end - from));
        from = end + 1;
    }
    std::vector<double> centres(lines.size(), -1);
    std::size_t next = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        double lo = 1e300, hi = -1e300;
        for (std::size_t at = lines[i].find_first_not_of(' '); at != std::string::npos && next < words.size();
             at = lines[i].find_first_not_of(' ', at)) {
            lo = std::min(lo, words[next].y0), hi = std::max(hi, words[next].y1);
            ++next;
            at = lines[i].find(' ', at);
        }
        if (hi >= lo) centres[i] = (lo + hi) / 2;
    }
    std::stable_sort(placed.begin(), placed.end(), [](const FieldText& a, const FieldText& b) {
        return a.centre != b.centre ? a.centre < b.centre : a.left < b.left;
    });
    // Each field goes after the nearest line above its middle (or level with it).
    std::vector<std::vector<const FieldText*>> after(lines.size() + 1);
    constexpr double level = 4;
    for (const FieldText& f : placed) {
        std::size_t best = 0;  // 0: before every line
        double best_centre = -1e300;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (centres[i] >= 0 && centres[i] <= f.centre + level && centres[i] >= best_centre) {
                best = i + 1, best_centre = centres[i];
            }
        }
        after[best].push_back(&f);
    }
    std::string out;
    for (std::size_t i = 0; i <= lines.size(); ++i) {
        if (i > 0) out += lines[i - 1] + "\n";
        for (const FieldText* f : after[i]) out += f->text + "\n";
    }
    out += others;
    return tidy_text(std::vector<char>(out.begin(), out.end()));
}

bool has_pdf_header(const std::string& head) { return head.find("%PDF-") != std::string::npos; }

}  // namespace

std::vector<std::string> take_poppler_messages() {
    std::vector<std::string> out(t_messages.begin(), t_messages.end());
    t_messages.clear();
    return out;
}

// Poppler's core classes need its global parameters while any document is
// open; the counted initialiser shares them with poppler-cpp's documents.
struct PdfDocument::CoreDocument {
    GlobalParamsIniter params{[](ErrorCategory, Goffset, const char*) {}};
    std::unique_ptr<PDFDoc> doc;
};

PDFDoc& PdfDocument::core_document() const {
    if (core_) return *core_->doc;
    auto core = std::make_unique<CoreDocument>();
    core->doc = std::make_unique<PDFDoc>(std::make_unique<GooString>(path_));
    take_poppler_messages();
    if (!core->doc->isOk() || core->doc->getNumPages() != pages_) {
        throw PdfError(PdfFault::damaged, in_quotes(shown_) + " changed while it was being read");
    }
    core_ = std::move(core);
    return *core_->doc;
}

PdfDocument::PdfDocument(std::unique_ptr<poppler::document> doc, std::string path, std::string shown, int pages)
    : doc_(std::move(doc)), path_(std::move(path)), shown_(std::move(shown)), pages_(pages) {}
PdfDocument::PdfDocument(PdfDocument&&) noexcept = default;
PdfDocument& PdfDocument::operator=(PdfDocument&&) noexcept = default;
PdfDocument::~PdfDocument() = default;

PdfDocument PdfDocument::open(const std::string& path, std::string_view shown) {
    namespace fs = std::filesystem;
    quiet_poppler();
    const std::string name = in_quotes(shown);

    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) {
        throw PdfError(PdfFault::missing, "PDF file not found: " + name, ENOENT);
    }
    if (ec) {
        throw PdfError(PdfFault::unreadable, "Cannot read " + name + ": " + ec.message(), ec.value());
    }
    if (fs::is_directory(st)) {
        throw PdfError(PdfFault::unreadable, name + " is a directory, not a PDF file", EISDIR);
    }
    // Reading a named pipe or a terminal waits for a writer that may never
    // come, and Poppler needs to seek anyway: only regular files are read.
    if (!fs::is_regular_file(st)) {
        const char* what = fs::is_fifo(st)     ? "a named pipe"
                           : fs::is_socket(st) ? "a socket"
                                               : "a device";
        throw PdfError(PdfFault::not_pdf, name + " is not a PDF file (it is " + what + ")");
    }

    // The header may follow a little junk; readers accept it within the first KiB.
    std::string head(1024, '\0');
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) {
            const int err = errno;
            throw PdfError(PdfFault::unreadable, "Cannot read " + name + ": " + std::strerror(err), err);
        }
        head.resize(std::fread(head.data(), 1, head.size(), f));
        std::fclose(f);
    }
    if (head.empty()) throw PdfError(PdfFault::not_pdf, name + " is not a PDF file (it is empty)");
    if (!has_pdf_header(head)) {
        throw PdfError(PdfFault::not_pdf, name + " is not a PDF file (no %PDF- header)");
    }

    take_poppler_messages();
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
    const std::vector<std::string> messages = take_poppler_messages();
    if (!doc) {
        std::string m = name + " is damaged or truncated and cannot be read";
        if (!messages.empty()) m += " (" + plain_message(messages.back()) + ")";
        throw PdfError(PdfFault::damaged, m);
    }
    // A locked document has no catalog: nothing but is_locked() may be asked of it.
    if (doc->is_locked()) {
        throw PdfError(PdfFault::locked, name + " is encrypted and cannot be opened without its password");
    }
    const int pages = doc->pages();
    if (pages <= 0) throw PdfError(PdfFault::no_pages, name + " has no pages");
    return PdfDocument(std::move(doc), path, std::string(shown), pages);
}

PdfDocument PdfDocument::reopen() const {
    PdfDocument copy = open(path_, shown_);
    if (copy.pages_ != pages_) {
        throw PdfError(PdfFault::damaged, in_quotes(shown_) + " changed while it was being read");
    }
    return copy;
}

void PdfDocument::check_page(long long number) const {
    if (number < 1 || number > pages_) {
        throw PdfError(PdfFault::page_missing,
                       "Page " + std::to_string(number) + " is out of range: " + in_quotes(shown_) + " has " +
                           pages_phrase(pages_),
                       0, number, pages_);
    }
}

namespace {

std::unique_ptr<poppler::page> load_page(poppler::document& doc, int number, const std::string& shown) {
    std::unique_ptr<poppler::page> p(doc.create_page(number - 1));
    if (!p) {
        throw PdfError(PdfFault::page_unusable,
                       "Page " + std::to_string(number) + " of " + in_quotes(shown) +
                           " cannot be read: the file is damaged",
                       0, number);
    }
    return p;
}

}  // namespace

std::string PdfDocument::page_text(int number) const {
    check_page(number);
    auto p = load_page(*doc_, number, shown_);
    // Content order keeps each column of a two-column paper together and the
    // marks of a question on its line; a physical layout would interleave columns.
    const poppler::byte_array raw = p->text(poppler::rectf(), poppler::page::raw_order_layout).to_utf8();
    take_poppler_messages();
    std::string text = tidy_text(raw);
    if (text.empty()) return text;
    try {
        text = with_fields_in_place(core_document(), number, text);
    } catch (const PdfError&) {
        // The file is gone or changed since it was opened: its layer as read stands.
    }
    take_poppler_messages();
    return text;
}

PageImage PdfDocument::render(int number, double dpi, int channels) const {
    check_page(number);
    if (channels != 1 && channels != 3) throw std::invalid_argument("channels must be 1 or 3");
    if (!(dpi > 0)) throw std::invalid_argument("dpi must be positive");
    auto p = load_page(*doc_, number, shown_);

    const poppler::rectf box = p->page_rect(poppler::crop_box);
    const double width_in = std::abs(box.width()) / 72.0, height_in = std::abs(box.height()) / 72.0;
    const double pixels = (width_in * dpi) * (height_in * dpi);
    if (pixels > kMaxRenderPixels) dpi *= std::sqrt(kMaxRenderPixels / pixels);
    const double longest = std::max(width_in, height_in) * dpi;
    if (longest > kMaxRenderSide) dpi *= kMaxRenderSide / longest;

    // Layers hidden on screen are drawn by Poppler's own renderer, as for print.
    try {
        PDFDoc& core = core_document();
        if (has_screen_hidden_layers(core)) {
            const ScreenLayers layers(core);
            return draw_core_page(core, number, dpi, channels, true);
        }
    } catch (const PdfError&) {
        // The file is gone or changed since it was opened: drawn as opened.
    }

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_paper_color(0xffffffff);
    renderer.set_image_format(channels == 1 ? poppler::image::format_gray8 : poppler::image::format_rgb24);
    poppler::image img = renderer.render_page(p.get(), dpi, dpi);
    take_poppler_messages();
    if (!img.is_valid() || img.width() <= 0 || img.height() <= 0) {
        throw PdfError(PdfFault::page_unusable,
                       "Page " + std::to_string(number) + " of " + in_quotes(shown_) + " could not be rendered",
                       0, number);
    }

    PageImage out;
    out.width = img.width();
    out.height = img.height();
    out.channels = channels;
    out.dpi = dpi;
    const std::size_t row = static_cast<std::size_t>(out.width) * channels;
    out.pixels.resize(row * out.height);
    const char* src = img.const_data();
    for (int y = 0; y < out.height; ++y) {
        std::memcpy(out.pixels.data() + row * y, src + static_cast<std::size_t>(img.bytes_per_row()) * y, row);
    }
    return out;
}

std::string finish_page_text(PDFDoc& doc, int number, const std::string& written) {
    // Read as poppler-cpp hands its text over: up to the first NUL.
    const std::string_view text(written.c_str());
    std::string tidy = tidy_text(std::vector<char>(text.begin(), text.end()));
    if (tidy.empty()) return tidy;
    return with_fields_in_place(doc, number, tidy);
}

// ------------------------------------------------------------ layers

ScreenLayers::ScreenLayers(PDFDoc& doc) {
    OCGs* ocgs = doc.getOptContentConfig();
    if (ocgs == nullptr) return;
    for (const auto& [ref, group] : ocgs->getOCGs()) saved_.emplace_back(group.get(), group->getState());
    as_reader();
}

ScreenLayers::~ScreenLayers() {
    for (const auto& [group, state] : saved_) group->setState(static_cast<OptionalContentGroup::State>(state));
}

bool ScreenLayers::any_off() const {
    return std::any_of(saved_.begin(), saved_.end(),
                       [](const auto& s) { return s.first->getState() == OptionalContentGroup::Off; });
}

void ScreenLayers::all_on() {
    for (const auto& s : saved_) s.first->setState(OptionalContentGroup::On);
}

void ScreenLayers::as_reader() {
    for (const auto& [group, state] : saved_) {
        const bool off = state == OptionalContentGroup::Off ||
                         group->getViewState() == OptionalContentGroup::ocUsageOff;
        group->setState(off ? OptionalContentGroup::Off : OptionalContentGroup::On);
    }
}

bool has_screen_hidden_layers(PDFDoc& doc) {
    OCGs* ocgs = doc.getOptContentConfig();
    if (ocgs == nullptr) return false;
    return std::any_of(ocgs->getOCGs().begin(), ocgs->getOCGs().end(), [](const auto& g) {
        return g.second->getViewState() == OptionalContentGroup::ocUsageOff;
    });
}

PageImage draw_core_page(PDFDoc& doc, int number, double dpi, int channels, bool text) {
    SplashColor paper;
    paper[0] = paper[1] = paper[2] = 255;
    SplashOutputDev out(channels == 1 ? splashModeMono8 : splashModeRGB8, 1, false, paper);
    out.setFontAntialias(true);
    out.setVectorAntialias(true);
    if (!text) out.setSkipText(true, true);
    out.startDoc(&doc);
    doc.displayPage(&out, number, dpi, dpi, 0, false, true, false);
    take_poppler_messages();
    SplashBitmap* bitmap = out.getBitmap();
    PageImage image;
    image.width = bitmap->getWidth();
    image.height = bitmap->getHeight();
    image.channels = channels;
    image.dpi = dpi;
    const std::size_t row = static_cast<std::size_t>(image.width) * channels;
    image.pixels.resize(row * image.height);
    const unsigned char* data = bitmap->getDataPtr();
    for (int y = 0; y < image.height; ++y) {
        std::copy_n(data + static_cast<std::ptrdiff_t>(y) * bitmap->getRowSize(), row, image.pixels.data() + row * y);
    }
    return image;
}

// ------------------------------------------------------------ usable text

namespace {

bool is_word_code_point(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;  // Latin-1 punctuation and signs
    if (c < 0x300) return c != 0xD7 && c != 0xF7;               // Latin letters but x and divide
    if (c < 0x370) return false;                                // combining marks
    if (c < 0x2000) return true;                                // Greek to Devanagari and beyond
    if (c < 0x2C00) return false;  // punctuation, arrows, mathematical operators, shapes
    if (c < 0x2E00) return true;
    if (c < 0x3040) return false;  // supplemental punctuation, CJK symbols
    if (c < 0xD800) return true;   // kana, CJK ideographs, Hangul
    if (c < 0xF900) return false;  // surrogates, private use
    if (c < 0xFE00) return true;   // compatibility ideographs, presentation forms
    if (c < 0xFE70) return false;  // variation selectors, small and vertical forms
    if (c < 0xFEFF) return true;   // Arabic presentation forms
    if (c >= 0xFF10 && c <= 0xFF19) return true;  // fullwidth digits
    if (c >= 0xFF21 && c <= 0xFF3A) return true;
    if (c >= 0xFF41 && c <= 0xFF5A) return true;
    if (c >= 0xFF66 && c <= 0xFFDC) return true;  // halfwidth kana and Hangul
    if (c < 0x10000) return false;
    if (c >= 0x1F000 && c < 0x20000) return false;  // emoji and pictographs
    return c < 0xF0000;                             // planes 15-16 are private use
}

}  // namespace

int count_word_chars(std::string_view s) {
    int n = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > s.size()) {  // stray byte: skip it
            ++i;
            continue;
        }
        char32_t c = len == 1 ? b : (b & (0xFF >> (len + 1)));
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            const auto cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            ++i;
            continue;
        }
        if (is_word_code_point(c)) ++n;
        i += len;
    }
    return n;
}

bool has_usable_text(std::string_view utf8) { return count_word_chars(utf8) >= kUsableTextChars; }

const std::string& choose_page_text(const std::string& layer, const std::string& ocr) {
    return count_word_chars(ocr) > count_word_chars(layer) ? ocr : layer;
}

}  // namespace quorvan::core
