#include "visibility.hpp"

#include <GfxFont.h>
#include <GfxState.h>
#include <OutputDev.h>
#include <PDFDoc.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include "ocr.hpp"
#include "utf8.hpp"

namespace quorvan::core {

namespace {

// ------------------------------------------------------------------ text

struct CodePoint {
    char32_t c;
    std::size_t at;  // byte offset in the UTF-8 text
};

std::vector<CodePoint> decode(std::string_view s) {
    std::vector<CodePoint> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
        char32_t c = len == 1 ? b : (b & (0xFF >> (len + 1)));
        int k = 1;
        for (; k < len && i + k < s.size(); ++k) {
            const auto cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) break;
            c = (c << 6) | (cb & 0x3F);
        }
        if (k != len) c = 0xFFFD, k = 1;
        out.push_back({c, i});
        i += k;
    }
    return out;
}

std::string encode(char32_t c) {
    std::string s;
    utf8::append(s, c);
    return s;
}

bool is_word_char(char32_t c) { return count_word_chars(encode(c)) == 1; }

bool is_space(char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 0xA0; }

// Letters and digits only, ASCII folded to lower case.
std::u32string folded(std::string_view word) {
    std::u32string out;
    for (const CodePoint& cp : decode(word)) {
        if (!is_word_char(cp.c)) continue;
        out += (cp.c >= 'A' && cp.c <= 'Z') ? cp.c + 32 : cp.c;
    }
    return out;
}

std::size_t edit_distance(const std::u32string& a, const std::u32string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// A word with its edge punctuation taken off, for showing.
std::string bare(std::string_view word) {
    const std::vector<CodePoint> cps = decode(word);
    std::size_t first = 0, last = cps.size();
    while (first < last && !is_word_char(cps[first].c)) ++first;
    while (last > first && !is_word_char(cps[last - 1].c)) --last;
    if (first == last) return std::string(word);
    const std::size_t end = last < cps.size() ? cps[last].at : word.size();
    return std::string(word.substr(cps[first].at, end - cps[first].at));
}

// ------------------------------------------------------------------ glyphs

struct Box {
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0;
    double x1 = -std::numeric_limits<double>::infinity(), y1 = x1;
    bool empty() const { return !(x1 >= x0 && y1 >= y0); }
    void add(double x, double y) {
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    }
    void add(const Box& b) {
        if (b.empty()) return;
        add(b.x0, b.y0);
        add(b.x1, b.y1);
    }
};

enum class Drawn { shown, invisible, too_small, clipped };

struct Glyph {
    std::u32string text;
    Box box;  // the whole glyph cell, in points from the top left of the page as displayed
    Box ink;  // where its ink falls: from the baseline to about the x-height
    Drawn drawn = Drawn::shown;
    bool no_paint = false;  // render mode 3 or 7: the searchable layer of a scan looks like this
    double grey = 0;        // luminance (0-255) of its paint
};

// Records every character the page draws, with what decides whether it shows.
class GlyphCollector final : public OutputDev {
public:
    std::vector<Glyph> glyphs;

    bool upsideDown() override { return true; }
    bool useDrawChar() override { return true; }
    bool interpretType3Chars() override { return false; }
    bool needNonText() override { return false; }

    void startPage(int, GfxState* state, XRef*) override {
        width_ = state->getPageWidth();
        height_ = state->getPageHeight();
    }

    void drawChar(GfxState* state, double x, double y, double dx, double dy, double, double, CharCode, int,
                  const Unicode* u, int uLen) override {
        Glyph g;
        for (int i = 0; i < uLen; ++i) {
            // Ligatures come out of the text layer as their letters.
            static constexpr std::array<const char*, 7> kLigatures = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
            if (u[i] >= 0xFB00 && u[i] <= 0xFB06) {
                for (const char* p = kLigatures[u[i] - 0xFB00]; *p; ++p) g.text += static_cast<char32_t>(*p);
            } else {
                g.text += static_cast<char32_t>(u[i]);
            }
        }
        if (g.text.empty()) return;

        double ascent = 0.9, descent = -0.2;
        if (const auto& font = state->getFont()) {
            if (font->getAscent() > 0.2 && font->getAscent() < 1.5) ascent = font->getAscent();
            if (font->getDescent() < 0 && font->getDescent() > -0.8) descent = font->getDescent();
        }
        // The glyph's upright direction, one font size long, in user space.
        double ux = 0, uy = 0;
        state->textTransformDelta(0, state->getFontSize(), &ux, &uy);
        // A glyph drawn with no advance (accents, symbols from a drawing) is
        // given half an em, so its box covers its ink.
        if (std::hypot(dx, dy) < 0.05 * std::hypot(ux, uy)) {
            state->textTransformDelta(0.5 * state->getFontSize() * state->getHorizScaling(), 0, &dx, &dy);
        }
        auto corners = [&](Box& b, double from, double to, double wider) {
            for (const double k : {from, to}) {
                double tx, ty;
                state->transform(x - wider * dx + k * ux, y - wider * dy + k * uy, &tx, &ty);
                b.add(tx, ty);
                state->transform(x + (1 + wider) * dx + k * ux, y + (1 + wider) * dy + k * uy, &tx, &ty);
                b.add(tx, ty);
            }
        };
        corners(g.box, descent, ascent, 0);
        // Some ink of any glyph lies here, whatever its font's metrics claim.
        corners(g.ink, descent - 0.1, ascent + 0.1, 0.1);

        const int mode = state->getRender();
        const bool stroked = (mode & 3) == 1;
        g.no_paint = (mode & 3) == 3;
        GfxRGB rgb;
        if (stroked) {
            state->getStrokeRGB(&rgb);
        } else {
            state->getFillRGB(&rgb);
        }
        g.grey = 255 * (0.299 * colToDbl(rgb.r) + 0.587 * colToDbl(rgb.g) + 0.114 * colToDbl(rgb.b));
        const double opacity = stroked ? state->getStrokeOpacity() : state->getFillOpacity();

        // Clipped: the whole glyph is outside the clipping path's box or the page.
        double cx0, cy0, cx1, cy1;
        state->getClipBBox(&cx0, &cy0, &cx1, &cy1);
        constexpr double slack = 0.5;
        const bool outside = g.box.x1 < std::max(cx0, 0.0) - slack || g.box.x0 > std::min(cx1, width_) + slack ||
                             g.box.y1 < std::max(cy0, 0.0) - slack || g.box.y0 > std::min(cy1, height_) + slack;

        if (g.no_paint || opacity < 0.02) {
            g.drawn = Drawn::invisible;
        } else if (outside) {
            g.drawn = Drawn::clipped;
        } else if (state->getTransformedFontSize() < kMinReadablePoints) {
            g.drawn = Drawn::too_small;
        }
        glyphs.push_back(std::move(g));
    }

private:
    double width_ = 0, height_ = 0;
};

// ------------------------------------------------------------------ words

enum Kind { invisible, same_colour, too_small, clipped, covered, not_in_image, kinds_count };

constexpr std::array<std::string_view, kinds_count> kKindNames = {
    kHiddenInvisible, kHiddenSameColour, kHiddenTooSmall, kHiddenClipped, kHiddenCovered, kHiddenNotInImage};

struct Token {
    std::size_t begin, end;   // bytes of the layer
    std::vector<int> glyphs;  // the glyphs that drew it
    bool wordy = false;       // has two letters or digits: a word, not a symbol or a label
    int hidden = -1;          // a Kind, or -1 when seen
};

struct LayerLine {
    std::size_t begin, end;
    std::vector<Token> tokens;
};

std::vector<LayerLine> split_layer(const std::string& layer, const std::vector<CodePoint>& cps) {
    std::vector<LayerLine> lines;
    LayerLine line{0, 0, {}};
    std::optional<Token> token;
    auto end_token = [&](std::size_t at) {
        if (!token) return;
        token->end = at;
        token->wordy = count_word_chars(std::string_view(layer).substr(token->begin, at - token->begin)) >= 2;
        line.tokens.push_back(std::move(*token));
        token.reset();
    };
    for (const CodePoint& cp : cps) {
        if (cp.c == '\n') {
            end_token(cp.at);
            line.end = cp.at;
            lines.push_back(std::move(line));
            line = LayerLine{cp.at + 1, 0, {}};
        } else if (is_space(cp.c)) {
            end_token(cp.at);
        } else if (!token) {
            token = Token{cp.at, 0, {}};
        }
    }
    end_token(layer.size());
    line.end = layer.size();
    lines.push_back(std::move(line));
    return lines;
}

// Ties each character of the layer to the glyph that drew it. The layer lists
// glyphs in the order they were drawn, less a few the text extractor drops
// (duplicates, glyphs off the page) and with a few it spells differently, so
// a character is looked for a little ahead and skipped when not found.
void align(std::vector<LayerLine>& lines, const std::string& layer, const std::vector<Glyph>& glyphs) {
    struct Mark {
        char32_t c;
        int glyph;
    };
    std::vector<Mark> drawn;
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        for (const char32_t c : glyphs[i].text) {
            if (!is_space(c)) drawn.push_back({c, static_cast<int>(i)});
        }
    }
    constexpr std::size_t kLookAhead = 48;
    std::size_t next = 0;
    for (LayerLine& line : lines) {
        for (Token& t : line.tokens) {
            for (const CodePoint& cp : decode(std::string_view(layer).substr(t.begin, t.end - t.begin))) {
                const std::size_t stop = std::min(drawn.size(), next + kLookAhead);
                for (std::size_t k = next; k < stop; ++k) {
                    if (drawn[k].c != cp.c) continue;
                    if (t.glyphs.empty() || t.glyphs.back() != drawn[k].glyph) t.glyphs.push_back(drawn[k].glyph);
                    next = k + 1;
                    break;
                }
            }
        }
    }
}

struct Ink {
    int contrast = -1;  // -1: the box is off the image
    double mean = 0;
};

Ink ink_in(const PageImage& image, const Box& box, double scale) {
    if (box.empty()) return {};
    // Pixels, kept within a pixel of the image: a glyph from a degenerate
    // matrix may lie anywhere, even at infinity or NaN.
    auto pixel = [](double v, int limit) {
        if (!(v >= -1)) return -1;
        if (!(v <= limit + 1)) return limit + 1;
        return static_cast<int>(v);
    };
    int x0 = pixel(std::floor(box.x0 * scale), image.width), x1 = pixel(std::ceil(box.x1 * scale), image.width);
    int y0 = pixel(std::floor(box.y0 * scale), image.height), y1 = pixel(std::ceil(box.y1 * scale), image.height);
    // A box thinner than a pixel (a glyph with no advance, a hairline) still covers one.
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y1 = y0 + 1;
    x0 = std::max(x0, 0), y0 = std::max(y0, 0);
    x1 = std::min(x1, image.width), y1 = std::min(y1, image.height);
    if (x1 <= x0 || y1 <= y0) return {};
    int lo = 255, hi = 0;
    double sum = 0;
    for (int y = y0; y < y1; ++y) {
        const unsigned char* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width * image.channels;
        for (int x = x0; x < x1; ++x) {
            const int v = row[x * image.channels];
            lo = std::min(lo, v), hi = std::max(hi, v);
            sum += v;
        }
    }
    return {hi - lo, sum / ((x1 - x0) * (y1 - y0))};
}

bool same_word(std::string_view layer_word, std::string_view ocr_word) {
    const std::u32string a = folded(layer_word), b = folded(ocr_word);
    if (a.empty() || b.empty()) return false;
    if (a.size() >= 3 && b.size() >= 3 && (a.find(b) != std::u32string::npos || b.find(a) != std::u32string::npos)) {
        return true;
    }
    return word_likeness(layer_word, ocr_word) >= 0.6;
}

// A layer over a scan that matches the scan this poorly is not its OCR.
constexpr double kMinScanAgreement = 0.5;
// With fewer words than this the layer's words are judged one by one.
constexpr int kMinWordsToReplace = 5;

std::string without_hidden(const std::string& layer, const std::vector<LayerLine>& lines) {
    std::string out;
    bool first_line = true;
    for (const LayerLine& line : lines) {
        std::string text;
        bool dropped = false;
        std::size_t prev_end = line.begin;
        for (const Token& t : line.tokens) {
            if (t.hidden >= 0) {
                dropped = true;
            } else {
                // The space before a kept word, or the line's indent for its first.
                if (!text.empty() || prev_end == line.begin) text += layer.substr(prev_end, t.begin - prev_end);
                text += layer.substr(t.begin, t.end - t.begin);
            }
            prev_end = t.end;
        }
        if (dropped && text.empty()) continue;  // every word of the line was hidden
        if (!dropped) text = layer.substr(line.begin, line.end - line.begin);
        if (!first_line) out += '\n';
        out += text;
        first_line = false;
    }
    const std::size_t begin = out.find_first_not_of('\n');
    if (begin == std::string::npos) return {};
    return out.substr(begin, out.find_last_not_of('\n') - begin + 1);
}

}  // namespace

double word_likeness(std::string_view a, std::string_view b) {
    const std::u32string fa = folded(a), fb = folded(b);
    const std::size_t longer = std::max(fa.size(), fb.size());
    if (longer == 0) return 1.0;
    return 1.0 - static_cast<double>(edit_distance(fa, fb)) / static_cast<double>(longer);
}

PageVisibility check_visibility(const PdfDocument& doc, int page, const std::string& layer, double dpi) {
    PageVisibility out{layer, std::nullopt};
    if (count_word_chars(layer) == 0) return out;
    doc.check_page(page);

    // Drawn as the text layer is extracted: 72 dpi, crop box, page rotation.
    GlyphCollector glyphs;
    doc.core_document().displayPage(&glyphs, page, 72, 72, 0, false, true, false);
    take_poppler_messages();

    const std::vector<CodePoint> cps = decode(layer);
    std::vector<LayerLine> lines = split_layer(layer, cps);
    align(lines, layer, glyphs.glyphs);

    // What the state of the drawing says first; then the ink on the rendered page.
    const PageImage image = doc.render(page, std::min(kInkDpi, dpi), 1);
    const double scale = image.dpi / 72.0;
    std::vector<Token*> over_ink;  // drawn invisibly over something: a scan's searchable layer, or not
    for (LayerLine& line : lines) {
        for (Token& t : line.tokens) {
            if (t.glyphs.empty() || !t.wordy) continue;
            std::array<int, 4> votes{};
            Box ink;
            double grey = 0;
            int shown = 0;
            for (const int i : t.glyphs) {
                const Glyph& g = glyphs.glyphs[i];
                ++votes[static_cast<int>(g.drawn)];
                if (g.drawn == Drawn::shown || g.no_paint) {
                    ink.add(g.ink);
                    grey += g.grey;
                    ++shown;
                }
            }
            const auto most = static_cast<Drawn>(std::max_element(votes.begin(), votes.end()) - votes.begin());
            if (most == Drawn::too_small) {
                t.hidden = too_small;
            } else if (most == Drawn::clipped) {
                t.hidden = clipped;
            } else if (most == Drawn::invisible) {
                const bool no_paint = std::all_of(t.glyphs.begin(), t.glyphs.end(),
                                                  [&](int i) { return glyphs.glyphs[i].no_paint; });
                const Ink seen = ink_in(image, ink, scale);
                if (no_paint && t.wordy && seen.contrast >= kMinInkContrast) {
                    over_ink.push_back(&t);
                } else {
                    t.hidden = invisible;
                }
            } else if (t.wordy) {
                const Ink seen = ink_in(image, ink, scale);
                if (seen.contrast < 0) {
                    t.hidden = clipped;
                } else if (seen.contrast < kMinInkContrast) {
                    t.hidden = std::abs(grey / std::max(shown, 1) - seen.mean) < 48 ? same_colour : covered;
                }
            }
        }
    }

    bool replaced = false;
    std::string ocr_text;
    if (!over_ink.empty()) {
        const PageImage scan = image.dpi == dpi ? image : doc.render(page, dpi, 1);
        OcrReading ocr = ocr_image_words(scan);
        const double s = scan.dpi / 72.0;
        std::vector<Token*> unmatched;
        for (Token* t : over_ink) {
            Box box;
            for (const int i : t->glyphs) box.add(glyphs.glyphs[i].box);
            const double pad = (box.y1 - box.y0) * 0.5;
            const double x0 = (box.x0 - pad) * s, x1 = (box.x1 + pad) * s;
            const double y0 = (box.y0 - pad) * s, y1 = (box.y1 + pad) * s;
            const std::string word = layer.substr(t->begin, t->end - t->begin);
            const bool found = std::any_of(ocr.words.begin(), ocr.words.end(), [&](const OcrWord& w) {
                return w.right >= x0 && w.left <= x1 && w.bottom >= y0 && w.top <= y1 && same_word(word, w.text);
            });
            if (!found) unmatched.push_back(t);
        }
        const int n = static_cast<int>(over_ink.size());
        const int agreeing = n - static_cast<int>(unmatched.size());
        if (agreeing >= kMinScanAgreement * n) {
            // The scan's own searchable layer; a word OCR read differently is noise.
        } else if (n >= kMinWordsToReplace) {
            // The page reads as OCR reads it; the words reported are those the image does not show.
            for (Token* t : unmatched) t->hidden = not_in_image;
            replaced = true;
            ocr_text = std::move(ocr.text);
        } else {
            for (Token* t : unmatched) t->hidden = not_in_image;
        }
    }

    // A lone letter or sign between hidden words goes with them; elsewhere it
    // is left alone: labels, symbols and accents are too often drawn oddly.
    for (LayerLine& line : lines) {
        std::vector<Token>& ts = line.tokens;
        for (std::size_t k = 0; k < ts.size(); ++k) {
            if (ts[k].wordy || ts[k].hidden >= 0) continue;
            const int before = k > 0 ? ts[k - 1].hidden : -2;  // -2: none
            const int after = k + 1 < ts.size() ? ts[k + 1].hidden : -2;
            if (before != -1 && after != -1 && (before >= 0 || after >= 0)) ts[k].hidden = before >= 0 ? before : after;
        }
    }

    HiddenText hidden;
    hidden.page = page;
    std::array<bool, kinds_count> seen_kinds{};
    for (const LayerLine& line : lines) {
        for (const Token& t : line.tokens) {
            if (t.hidden < 0 || !t.wordy) continue;
            ++hidden.words;
            seen_kinds[t.hidden] = true;
            if (hidden.sample.size() < kHiddenSample) hidden.sample.push_back(bare(layer.substr(t.begin, t.end - t.begin)));
        }
    }
    if (hidden.words == 0) return out;
    for (int k = 0; k < kinds_count; ++k) {
        if (seen_kinds[k]) hidden.kinds.emplace_back(kKindNames[k]);
    }
    hidden.replaced = replaced;
    out.text = replaced ? std::move(ocr_text) : without_hidden(layer, lines);
    out.hidden = std::move(hidden);
    return out;
}

}  // namespace quorvan::core
