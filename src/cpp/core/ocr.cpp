#include "ocr.hpp"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace quorvan::core {

namespace {

// Debian builds Tesseract with OpenMP: each recognition starts a team of
// threads, which on a small machine halves the speed and fights with pages
// read on other threads. OMP_THREAD_LIMIT=1 is the usual cure, but the OpenMP
// runtime read its environment when it was loaded together with Tesseract, so
// when the variable was unset the same limit is applied through its API, on
// each thread that reads pages.
void limit_openmp_on_this_thread() {
    static const bool serial = [] {
        if (std::getenv("OMP_THREAD_LIMIT") != nullptr) return false;  // the user's limit was honoured at load
        setenv("OMP_THREAD_LIMIT", "1", 0);  // for runtimes loaded later and for child processes
        return true;
    }();
    if (!serial) return;
    // Parallel regions may not start below level 0: each runs on the calling thread alone.
    using set_levels_fn = void (*)(int);
    static const auto set_levels =
        reinterpret_cast<set_levels_fn>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    if (set_levels) set_levels(0);
}

struct Engine {
    tesseract::TessBaseAPI api;
    bool ready = false;
};

tesseract::TessBaseAPI& engine() {
    thread_local std::unique_ptr<Engine> e;
    if (e && e->ready) return e->api;
    limit_openmp_on_this_thread();
    e = std::make_unique<Engine>();
    // Tesseract's diagnostics ("Estimating resolution as ...") go to stderr otherwise.
    e->api.SetVariable("debug_file", "/dev/null");
    if (e->api.Init(nullptr, "eng", tesseract::OEM_DEFAULT) != 0) {
        e.reset();
        throw OcrError(
            "Tesseract could not load its English language data (install the tesseract-ocr-eng package "
            "or set TESSDATA_PREFIX)");
    }
    e->api.SetPageSegMode(tesseract::PSM_AUTO);
    e->ready = true;
    return e->api;
}

std::string tidy(const char* text) {
    std::string s = text ? text : "";
    // Tesseract ends every block with a blank line and the page with a form feed.
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\f')) s.pop_back();
    std::size_t begin = s.find_first_not_of('\n');
    return begin == std::string::npos ? std::string() : s.substr(begin);
}

void check_image(const PageImage& image) {
    if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * image.channels) {
        throw std::invalid_argument("ocr_image: malformed image");
    }
}

}  // namespace

std::string ocr_image(const PageImage& image) {
    check_image(image);
    tesseract::TessBaseAPI& api = engine();
    api.SetImage(image.pixels.data(), image.width, image.height, image.channels, image.width * image.channels);
    api.SetSourceResolution(static_cast<int>(std::lround(image.dpi)));
    std::unique_ptr<char[]> text(api.GetUTF8Text());
    api.Clear();
    if (!text) throw OcrError("Tesseract could not read the page");
    return tidy(text.get());
}

OcrReading ocr_image_words(const PageImage& image) {
    check_image(image);
    tesseract::TessBaseAPI& api = engine();
    api.SetImage(image.pixels.data(), image.width, image.height, image.channels, image.width * image.channels);
    api.SetSourceResolution(static_cast<int>(std::lround(image.dpi)));
    OcrReading out;
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        throw OcrError("Tesseract could not read the page");
    }
    std::unique_ptr<char[]> text(api.GetUTF8Text());
    if (!text) {
        api.Clear();
        throw OcrError("Tesseract could not read the page");
    }
    out.text = tidy(text.get());
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
        do {
            std::unique_ptr<char[]> word(it->GetUTF8Text(tesseract::RIL_WORD));
            if (!word || !*word.get()) continue;
            OcrWord w;
            w.text = word.get();
            if (!it->BoundingBox(tesseract::RIL_WORD, &w.left, &w.top, &w.right, &w.bottom)) continue;
            out.words.push_back(std::move(w));
        } while (it->Next(tesseract::RIL_WORD));
    }
    api.Clear();
    return out;
}

std::string read_page_locally(const PdfDocument& doc, int page, double dpi) {
    std::string layer = doc.page_text(page);
    if (has_usable_text(layer)) return layer;
    return read_scanned_page(doc, page, dpi, layer);
}

std::string read_scanned_page(const PdfDocument& doc, int page, double dpi, const std::string& layer) {
    const PageImage image = doc.render(page, dpi, 1);
    // Nothing drawn (a blank page, the empty back of a sheet): OCR would find
    // no words, and on a giant page it would take seconds to say so.
    const bool blank = std::all_of(image.pixels.begin(), image.pixels.end(), [](unsigned char v) { return v == 255; });
    if (blank) return layer;
    const std::string ocr = ocr_image(image);
    return choose_page_text(layer, ocr);
}

}  // namespace quorvan::core
