// Optical character recognition of rendered pages with Tesseract.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pdf_document.hpp"

namespace quorvan::core {

class OcrError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The English text Tesseract reads on the image (UTF-8, line breaks kept,
// trailing blank lines dropped). Each thread has its own engine, created at
// its first call; throws OcrError when the engine or its language data is
// missing.
std::string ocr_image(const PageImage& image);

// A word OCR found, with its box in the image's pixels.
struct OcrWord {
    std::string text;
    int left = 0, top = 0, right = 0, bottom = 0;
    float confidence = 0;
};

struct OcrReading {
    std::string text;  // as ocr_image returns it
    std::vector<OcrWord> words;
};

// ocr_image, and where each word stands.
OcrReading ocr_image_words(const PageImage& image);

// How well OCR read a page: Tesseract's confidence in each word it read (0 to
// 100), summarised. A page of handwriting that OCR garbles reads with low
// confidence, so these tell a page worth reading again from one that is not.
inline constexpr double kLowWordConfidence = 60;  // a word under this is likely misread

struct OcrScore {
    int words = 0;            // words read
    double confidence = 0;    // their mean confidence (0 when none were read)
    double low_share = 0;     // share of them under kLowWordConfidence
    bool operator==(const OcrScore&) const = default;
};

// How a page's text was found.
enum class ReadMethod : std::uint8_t {
    text_layer,  // the PDF's own text (none on a blank scan)
    ocr,         // Tesseract, on the page rendered in grey
};

struct PageQuality {
    ReadMethod method = ReadMethod::text_layer;
    OcrScore ocr;  // when method is ocr
    bool operator==(const PageQuality&) const = default;
};

// ocr_image, with its score.
std::string ocr_image_scored(const PageImage& image, OcrScore& score);

// A page as the local backend reads it: the text layer when it is usable,
// otherwise the page rendered in grey at dpi and read by OCR (the layer stays
// when OCR finds fewer words in it, or when the render is blank white).
std::string read_page_locally(const PdfDocument& doc, int page, double dpi);

// The second half of read_page_locally, for a page whose text layer `layer`
// was read already and is not usable.
// `quality`, when given, says how the text returned was found.
std::string read_scanned_page(const PdfDocument& doc, int page, double dpi, const std::string& layer,
                              PageQuality* quality = nullptr);

}  // namespace quorvan::core
