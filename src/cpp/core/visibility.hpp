// What a reader of a page sees, against what its text layer says.
//
// A text layer can hold words no reader sees: drawn invisibly or in the
// background colour, at half a point or squeezed flat, outside the clipping
// path or the paper, under anything drawn later, in a layer or a form field
// that is not shown, through glyphs that draw something else, or as a
// "searchable" layer over a scan that shows other words. Read as the page's
// text, they would be marked. This unit finds them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pdf_document.hpp"

namespace quorvan::core {

// Why a word is hidden, in the order they are listed.
inline constexpr std::string_view kHiddenInvisible = "invisible";
inline constexpr std::string_view kHiddenSameColour = "same colour as the background";
inline constexpr std::string_view kHiddenTooSmall = "too small to read";
inline constexpr std::string_view kHiddenClipped = "clipped";
inline constexpr std::string_view kHiddenCovered = "covered";
inline constexpr std::string_view kHiddenNotInImage = "not in the page image";
inline constexpr std::string_view kHiddenNotDrawn = "not what the page draws";
inline constexpr std::string_view kHiddenLayer = "in a layer that is not shown";
inline constexpr std::string_view kHiddenField = "in a hidden form field or note";

// Text drawn smaller than this (points, as the page is printed) is not read.
inline constexpr double kMinReadablePoints = 2.0;
// Letters squeezed narrower than this share of their height are not read.
inline constexpr double kMinReadableWidth = 0.12;
// A pixel that changes by more than this many grey levels when the page's
// text is drawn is a pixel of text a reader sees.
inline constexpr int kMinInkContrast = 24;
// The page is rendered at this dpi (or the reading dpi when lower) to see the ink.
inline constexpr double kInkDpi = 72.0;
// Sample words kept for the report.
inline constexpr std::size_t kHiddenSample = 8;

struct HiddenText {                   // words on a page that a reader cannot see
    int page = 0;
    int words = 0;                    // how many hidden words
    std::vector<std::string> sample;  // up to kHiddenSample of them, in reading order
    std::vector<std::string> kinds;   // why, from the kinds above, in their order
    bool replaced = false;            // the page's text was replaced by what OCR reads on its image
};

struct PageVisibility {
    std::string text;  // what a reader sees; exactly the given layer when nothing is hidden
    std::optional<HiddenText> hidden;
};

// Checks `layer`, the text layer of `page` as PdfDocument::page_text gives it,
// against the page as drawn. The page is drawn twice, with its text and
// without, as a reader's viewer draws it (layers hidden on screen stay
// hidden); a word is seen where its glyphs change the page. Words whose
// glyphs may not say what the text says (a Type3 font, ActualText, a
// ToUnicode map that contradicts the font's own glyph names) are read back
// by OCR where they stand. Text that is never drawn (a layer switched off, a
// hidden form field, text off the paper) is not in the layer but is counted
// among the hidden words. `dpi` is the resolution OCR reads at. Throws
// PdfError and OcrError.
PageVisibility check_visibility(const PdfDocument& doc, int page, const std::string& layer, double dpi);

// The same check on the page's text layer read in the same pass, which
// costs one pass over the page less; `layer`, when given, receives the layer
// as PdfDocument::page_text gives it.
PageVisibility read_visible_text(const PdfDocument& doc, int page, double dpi, std::string* layer = nullptr);

// How alike two words are, 0 to 1, ignoring case and punctuation (1 minus
// the edit distance over the longer length).
double word_likeness(std::string_view a, std::string_view b);

}  // namespace quorvan::core
