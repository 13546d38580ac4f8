#include "ocr.hpp"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
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

// Leptonica's tiled Otsu binarises worn handwriting scans far better than
// the global threshold (word recall 54 to 66 % at 150 dpi); on print it
// gains nothing and may add a stray mark, and above 200 dpi it turns a
// scan's grain into specks that cost print words. So a page is read with it
// only when the first reading was unsure, at 200 dpi or less.
constexpr double kTiledThresholdMaxDpi = 200;
constexpr double kSureConfidence = 90;  // print reads at 91 and more, handwriting under 89

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

// Reads the image; `words`, when given, receives each word read with its box
// and confidence.
std::string recognise(const PageImage& image, std::vector<OcrWord>* words,
                      tesseract::PageSegMode mode = tesseract::PSM_AUTO, bool tiled = false) {
    check_image(image);
    tesseract::TessBaseAPI& api = engine();
    api.SetPageSegMode(mode);
    api.SetVariable("thresholding_method", tiled ? "1" : "0");
    api.SetImage(image.pixels.data(), image.width, image.height, image.channels, image.width * image.channels);
    api.SetSourceResolution(static_cast<int>(std::lround(image.dpi)));
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        throw OcrError("Tesseract could not read the page");
    }
    std::unique_ptr<char[]> text(api.GetUTF8Text());
    if (!text) {
        api.Clear();
        throw OcrError("Tesseract could not read the page");
    }
    std::string out = tidy(text.get());
    std::unique_ptr<tesseract::ResultIterator> it(words ? api.GetIterator() : nullptr);
    if (it) {
        do {
            std::unique_ptr<char[]> word(it->GetUTF8Text(tesseract::RIL_WORD));
            if (!word || !*word.get()) continue;
            OcrWord w;
            w.text = word.get();
            if (!it->BoundingBox(tesseract::RIL_WORD, &w.left, &w.top, &w.right, &w.bottom)) continue;
            w.confidence = it->Confidence(tesseract::RIL_WORD);
            words->push_back(std::move(w));
        } while (it->Next(tesseract::RIL_WORD));
    }
    api.Clear();
    return out;
}

OcrScore score_of(const std::vector<OcrWord>& words) {
    OcrScore score;
    double sum = 0;
    int low = 0;
    for (const OcrWord& w : words) {
        // Only what OCR kept as words: a lone mark of punctuation or a stray dot
        // says nothing about how well the writing was read.
        if (std::none_of(w.text.begin(), w.text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
            continue;
        }
        ++score.words;
        sum += w.confidence;
        if (w.confidence < kLowWordConfidence) ++low;
    }
    if (score.words > 0) {
        score.confidence = sum / score.words;
        score.low_share = static_cast<double>(low) / score.words;
    }
    return score;
}

}  // namespace

std::string ocr_image(const PageImage& image) {
    return recognise(image, nullptr);
}

OcrReading ocr_image_words(const PageImage& image) {
    OcrReading out;
    out.text = recognise(image, &out.words);
    return out;
}

namespace {

std::string scored_pass(const PageImage& image, OcrScore& score, bool tiled) {
    std::vector<OcrWord> words;
    std::string text = recognise(image, &words, tesseract::PSM_AUTO, tiled);
    score = score_of(words);
    if (score.words == 0) {
        // The page's layout analysis can take a whole page of handwriting for
        // a picture and read nothing; read as one block of text, what is
        // there is read, with the confidence it deserves.
        std::vector<OcrWord> again;
        std::string block = recognise(image, &again, tesseract::PSM_SINGLE_BLOCK, tiled);
        OcrScore block_score = score_of(again);
        if (block_score.words > 0) {
            score = block_score;
            return block;
        }
    }
    return text;
}

}  // namespace

std::string ocr_image_scored(const PageImage& image, OcrScore& score) {
    std::string text = scored_pass(image, score, false);
    if (image.dpi <= kTiledThresholdMaxDpi && score.confidence < kSureConfidence) {
        OcrScore tiled_score;
        std::string tiled = scored_pass(image, tiled_score, true);
        if (tiled_score.words > 0) {
            score = tiled_score;
            return tiled;
        }
    }
    return text;
}

std::string read_page_locally(const PdfDocument& doc, int page, double dpi) {
    std::string layer = doc.page_text(page);
    if (has_usable_text(layer)) return layer;
    return read_scanned_page(doc, page, dpi, layer);
}

std::string read_scanned_page(const PdfDocument& doc, int page, double dpi, const std::string& layer,
                              PageQuality* quality) {
    if (quality) *quality = PageQuality{};
    const PageImage image = doc.render(page, dpi, 1);
    // Nothing drawn (a blank page, the empty back of a sheet): OCR would find
    // no words, and on a giant page it would take seconds to say so.
    const bool blank = std::all_of(image.pixels.begin(), image.pixels.end(), [](unsigned char v) { return v == 255; });
    if (blank) return layer;
    OcrScore score;
    const std::string ocr = ocr_image_scored(image, score);
    const std::string& chosen = choose_page_text(layer, ocr);
    if (quality && &chosen == &ocr) *quality = PageQuality{ReadMethod::ocr, score};
    return chosen;
}

}  // namespace quorvan::core
