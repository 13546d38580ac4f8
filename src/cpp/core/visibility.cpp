#include "visibility.hpp"

#include <Annot.h>
#include <GfxFont.h>
#include <GfxState.h>
#include <GlobalParams.h>
#include <OutputDev.h>
#include <PDFDoc.h>
#include <Page.h>
#include <TextOutputDev.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

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

bool is_word_char(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return count_word_chars(encode(c)) == 1;
}

bool has_word_char(const std::u32string& text) { return std::any_of(text.begin(), text.end(), is_word_char); }

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
    bool inside(const Box& outer, double slack) const {
        return x1 >= outer.x0 - slack && x0 <= outer.x1 + slack && y1 >= outer.y0 - slack && y0 <= outer.y1 + slack;
    }
};

enum class Drawn { shown, invisible, too_small, clipped, layer_off, count };

struct Glyph {
    std::u32string text;
    Box box;  // the whole glyph cell, in points from the top left of the page as displayed
    Box ink;  // where its ink falls: from the baseline to about the x-height
    Drawn drawn = Drawn::shown;
    bool no_paint = false;   // render mode 3 or 7: the searchable layer of a scan looks like this
    bool off_paper = false;  // outside the media box: not even a printer sees it
    double grey = 0;         // luminance (0-255) of its paint
    std::shared_ptr<GfxFont> font;  // kept alive: Poppler frees a page's fonts when it is drawn
    bool doubtful = false;   // its font's mapping to text cannot be trusted
    int span = -1;           // the ActualText span it is drawn in
};

struct Span {  // ActualText: the text layer reads `text` for glyphs [first, last)
    std::u32string text;
    std::size_t first = 0, last = 0;
};

std::u32string text_string(const GooString* s) {
    std::u32string out;
    if (s == nullptr) return out;
    const std::string& raw = s->toStr();
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE && static_cast<unsigned char>(raw[1]) == 0xFF) {
        for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
            char32_t c = (static_cast<unsigned char>(raw[i]) << 8) | static_cast<unsigned char>(raw[i + 1]);
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
                const char32_t lo = (static_cast<unsigned char>(raw[i + 2]) << 8) | static_cast<unsigned char>(raw[i + 3]);
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
            out += c;
        }
    } else {
        for (const char ch : raw) out += static_cast<char32_t>(static_cast<unsigned char>(ch));
    }
    return out;
}

bool latin_alnum(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7);
}

char32_t lowered(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE) ? c + 32 : c; }

void append_layer(void* stream, const char* text, int len) { static_cast<std::string*>(stream)->append(text, len); }

// Records every character the page draws, with what decides whether it
// shows; being the text extractor itself, it reads the page's text layer in
// the same pass.
class GlyphCollector final : public TextOutputDev {
public:
    std::vector<Glyph> glyphs;
    std::vector<Span> spans;
    std::string layer;  // the text layer as extracted, before it is tidied

    // Content order, as PdfDocument::page_text reads the layer.
    explicit GlyphCollector(const Page& page) : TextOutputDev(&append_layer, &layer, false, 0, true), page_(page) {}

    bool needNonText() override { return true; }

    // Paint after a glyph is what may cover it: kept with the number of
    // glyphs drawn before it.
    void stroke(GfxState* state) override {
        TextOutputDev::stroke(state);
        paint_path(state, true);
    }
    void fill(GfxState* state) override {
        TextOutputDev::fill(state);
        paint_path(state, false);
    }
    void eoFill(GfxState* state) override {
        TextOutputDev::eoFill(state);
        paint_path(state, false);
    }
    void drawImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert,
                       bool interpolate, bool inlineImg) override {
        paint_image(state);
        OutputDev::drawImageMask(state, ref, str, width, height, invert, interpolate, inlineImg);
    }
    void drawImage(GfxState* state, Object* ref, Stream* str, int width, int height, GfxImageColorMap* colorMap,
                   bool interpolate, const int* maskColors, bool inlineImg) override {
        paint_image(state);
        OutputDev::drawImage(state, ref, str, width, height, colorMap, interpolate, maskColors, inlineImg);
    }
    void drawMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                         GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr, int maskWidth,
                         int maskHeight, bool maskInvert, bool maskInterpolate) override {
        paint_image(state);
        OutputDev::drawMaskedImage(state, ref, str, width, height, colorMap, interpolate, maskStr, maskWidth,
                                   maskHeight, maskInvert, maskInterpolate);
    }
    void drawSoftMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                             GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr, int maskWidth,
                             int maskHeight, GfxImageColorMap* maskColorMap, bool maskInterpolate) override {
        paint_image(state);
        OutputDev::drawSoftMaskedImage(state, ref, str, width, height, colorMap, interpolate, maskStr, maskWidth,
                                       maskHeight, maskColorMap, maskInterpolate);
    }

    // Files what is drawn by where it is, for the questions below. Called once drawn.
    void index() {
        columns_ = std::clamp(static_cast<int>(width_ / kCell) + 1, 1, 512);
        rows_ = std::clamp(static_cast<int>(height_ / kCell) + 1, 1, 512);
        cells_.assign(static_cast<std::size_t>(columns_) * rows_, {});
        for (std::size_t i = 0; i < paints_.size(); ++i) file(paints_[i].second, -1 - static_cast<int>(i));
        for (std::size_t i = 0; i < glyphs.size(); ++i) {
            const Glyph& g = glyphs[i];
            if (g.drawn == Drawn::shown && has_word_char(g.text)) file(g.box, static_cast<int>(i));
        }
    }

    // Whether anything but the glyphs `own` is painted over or under `box`
    // (by more than a point): only then can the page around a word be other
    // than the paper.
    bool overlapped(const Box& box, const std::vector<int>& own) const {
        return any_near(box, [&](int item) {
            return item < 0 || std::find(own.begin(), own.end(), item) == own.end();
        });
    }

    // Whether anything painted after glyph `last` overlaps `box` by more than a point.
    bool painted_over(const Box& box, std::size_t last) const {
        return any_near(box, [&](int item) {
            return item < 0 ? paints_[-1 - item].first > last : static_cast<std::size_t>(item) > last;
        });
    }

    void startPage(int number, GfxState* state, XRef* xref) override {
        TextOutputDev::startPage(number, state, xref);
        width_ = state->getPageWidth();
        height_ = state->getPageHeight();
        const PDFRectangle* media = page_.getMediaBox();
        for (const double x : {media->x1, media->x2}) {
            for (const double y : {media->y1, media->y2}) {
                double tx, ty;
                state->transform(x, y, &tx, &ty);
                paper_.add(tx, ty);
            }
        }
    }

    void beginActualText(GfxState* state, const GooString* text) override {
        TextOutputDev::beginActualText(state, text);
        open_ = static_cast<int>(spans.size());
        spans.push_back({text_string(text), glyphs.size(), glyphs.size()});
    }

    void endActualText(GfxState* state) override {
        TextOutputDev::endActualText(state);
        if (open_ < 0) return;
        Span& span = spans[open_];
        if (span.first == glyphs.size() && !span.text.empty()) {
            // Text with no glyph at all: stands where the text would be drawn.
            Glyph g;
            double tx, ty;
            state->transform(state->getCurX(), state->getCurY(), &tx, &ty);
            const double size = std::max(state->getTransformedFontSize(), 1.0);
            g.box.add(tx, ty - size);
            g.box.add(tx + size, ty);
            g.ink = g.box;
            g.span = open_;
            g.doubtful = true;
            glyphs.push_back(std::move(g));
        }
        span.last = glyphs.size();
        open_ = -1;
    }

    void drawChar(GfxState* state, double x, double y, double dx, double dy, double origin_x, double origin_y,
                  CharCode code, int bytes, const Unicode* u, int uLen) override {
        TextOutputDev::drawChar(state, x, y, dx, dy, origin_x, origin_y, code, bytes, u, uLen);
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
        if (g.text.empty() && open_ < 0) return;
        g.span = open_;

        double ascent = 0.9, descent = -0.2;
        const std::shared_ptr<GfxFont>& font = state->getFont();
        if (font) {
            if (font->getAscent() > 0.2 && font->getAscent() < 1.5) ascent = font->getAscent();
            if (font->getDescent() < 0 && font->getDescent() > -0.8) descent = font->getDescent();
            g.font = font;
            judge_font(*font, code, u, uLen);
        }
        // The glyph's upright direction, one font size long, in user space.
        double ux = 0, uy = 0;
        state->textTransformDelta(0, state->getFontSize(), &ux, &uy);
        double adx = 0, ady = 0;
        state->transformDelta(dx, dy, &adx, &ady);
        const double advance = std::hypot(adx, ady);
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
        Box shown;
        shown.add(std::max(cx0, 0.0), std::max(cy0, 0.0));
        shown.add(std::min(cx1, width_), std::min(cy1, height_));
        constexpr double slack = 0.5;
        g.off_paper = !g.box.inside(paper_, slack);

        const double size = state->getTransformedFontSize();
        const bool letters = has_word_char(g.text);
        if (g.no_paint || opacity < 0.02) {
            g.drawn = Drawn::invisible;
        } else if (shown.empty() || !g.box.inside(shown, slack)) {
            g.drawn = Drawn::clipped;
        } else if (size < kMinReadablePoints || (letters && advance < kMinReadableWidth * size)) {
            g.drawn = Drawn::too_small;
        }
        glyphs.push_back(std::move(g));
    }

    // Fonts whose glyphs may draw something other than their text.
    bool doubtful(const GfxFont* font) const { return doubtful_.count(font) != 0; }

private:
    // A Type3 font draws whatever its procedures say; a simple font whose
    // ToUnicode map contradicts the glyph names its encoding draws says one
    // thing and shows another.
    void judge_font(GfxFont& font, CharCode code, const Unicode* u, int uLen) {
        if (doubtful_.count(&font) != 0) return;
        if (font.getType() == fontType3) {
            doubtful_.insert(&font);
            return;
        }
        if (font.isCIDFont() || !font.hasToUnicodeCMap() || uLen != 1 || code > 255) return;
        char** names = static_cast<Gfx8BitFont&>(font).getEncoding();
        const char* name = names != nullptr ? names[code] : nullptr;
        if (name == nullptr || globalParams == nullptr) return;
        const char32_t said = u[0];
        const char32_t drawn = name == std::string_view("space") ? U' ' : globalParams->mapNameToUnicodeText(name);
        if (drawn == 0) return;
        const bool said_alnum = latin_alnum(said), drawn_alnum = latin_alnum(drawn);
        if (!said_alnum && !drawn_alnum) return;
        if (said_alnum != drawn_alnum || lowered(said) != lowered(drawn)) doubtful_.insert(&font);
    }

    void paint(GfxState* state, Box box) {
        double cx0, cy0, cx1, cy1;
        state->getClipBBox(&cx0, &cy0, &cx1, &cy1);
        box.x0 = std::max(box.x0, cx0), box.y0 = std::max(box.y0, cy0);
        box.x1 = std::min(box.x1, cx1), box.y1 = std::min(box.y1, cy1);
        if (!box.empty()) paints_.emplace_back(glyphs.size(), box);
    }
    void paint_path(GfxState* state, bool stroked) {
        const GfxPath* path = state->getPath();
        Box box;
        for (int i = 0; i < path->getNumSubpaths(); ++i) {
            const GfxSubpath* sub = path->getSubpath(i);
            for (int k = 0; k < sub->getNumPoints(); ++k) {
                double tx, ty;
                state->transform(sub->getX(k), sub->getY(k), &tx, &ty);
                box.add(tx, ty);
            }
        }
        if (stroked && !box.empty()) {
            const double half = state->getTransformedLineWidth() / 2;
            box.x0 -= half, box.y0 -= half, box.x1 += half, box.y1 += half;
        }
        paint(state, box);
    }
    void paint_image(GfxState* state) {
        Box box;
        for (const double x : {0.0, 1.0}) {
            for (const double y : {0.0, 1.0}) {
                double tx, ty;
                state->transform(x, y, &tx, &ty);
                box.add(tx, ty);
            }
        }
        paint(state, box);
    }

    static constexpr double kCell = 32;  // points

    std::pair<int, int> cell_range(double from, double to, int limit) const {
        auto cell = [&](double v) {
            if (!(v >= 0)) return 0;
            return std::min(static_cast<int>(v / kCell), limit - 1);
        };
        return {cell(from), cell(to)};
    }
    void file(const Box& box, int item) {
        if (box.empty()) return;
        const auto [c0, c1] = cell_range(box.x0, box.x1, columns_);
        const auto [r0, r1] = cell_range(box.y0, box.y1, rows_);
        for (int r = r0; r <= r1; ++r) {
            for (int c = c0; c <= c1; ++c) cells_[static_cast<std::size_t>(r) * columns_ + c].push_back(item);
        }
    }
    template <typename Counts>
    bool any_near(const Box& box, Counts counts) const {
        if (box.empty() || cells_.empty()) return false;
        constexpr double overlap = -1.0;
        const auto [c0, c1] = cell_range(box.x0, box.x1, columns_);
        const auto [r0, r1] = cell_range(box.y0, box.y1, rows_);
        for (int r = r0; r <= r1; ++r) {
            for (int c = c0; c <= c1; ++c) {
                for (const int item : cells_[static_cast<std::size_t>(r) * columns_ + c]) {
                    const Box& area = item < 0 ? paints_[-1 - item].second : glyphs[item].box;
                    if (area.inside(box, overlap) && counts(item)) return true;
                }
            }
        }
        return false;
    }

    const Page& page_;
    std::vector<std::pair<std::size_t, Box>> paints_;
    int columns_ = 0, rows_ = 0;
    std::vector<std::vector<int>> cells_;
    double width_ = 0, height_ = 0;
    Box paper_;
    int open_ = -1;
    std::set<const GfxFont*> doubtful_;
};

// Glyphs drawn with every layer on that the reader's drawing lacks: the
// reader's glyphs come in the same order, so one walk pairs them.
void mark_layered(std::vector<Glyph>& all, const std::vector<Glyph>& seen) {
    std::size_t j = 0;
    for (Glyph& g : all) {
        if (j < seen.size() && seen[j].text == g.text && std::abs(seen[j].box.x0 - g.box.x0) < 0.5 &&
            std::abs(seen[j].box.y0 - g.box.y0) < 0.5) {
            ++j;
        } else {
            g.drawn = Drawn::layer_off;
        }
    }
}

// ------------------------------------------------------------------ words

enum Kind { invisible, same_colour, too_small, clipped, covered, not_in_image, not_drawn, layered, field, kinds_count };

constexpr std::array<std::string_view, kinds_count> kKindNames = {
    kHiddenInvisible, kHiddenSameColour, kHiddenTooSmall, kHiddenClipped, kHiddenCovered,
    kHiddenNotInImage, kHiddenNotDrawn,  kHiddenLayer,    kHiddenField};

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
// glyphs in the order they were drawn (an ActualText span as its text), less
// a few the text extractor drops (duplicates, glyphs off the page) and with
// a few it spells differently, so a character is looked for a little ahead
// and skipped when not found; a word found nowhere near is looked for
// anywhere. Returns, per glyph, whether some character was tied to it.
std::vector<char> align(std::vector<LayerLine>& lines, const std::string& layer, const std::vector<Glyph>& glyphs,
                        const std::vector<Span>& spans) {
    std::u32string drawn;
    std::vector<int> drawn_glyph;
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        const Glyph& g = glyphs[i];
        const std::u32string* text = &g.text;
        if (g.span >= 0) {
            if (i != spans[g.span].first) continue;  // the span's text stands for all its glyphs
            text = &spans[g.span].text;
        }
        for (const char32_t c : *text) {
            if (!is_space(c)) drawn += c, drawn_glyph.push_back(static_cast<int>(i));
        }
    }
    std::vector<char> tied(glyphs.size(), 0);
    auto tie = [&](Token& t, std::size_t k) {
        const int glyph = drawn_glyph[k];
        if (t.glyphs.empty() || t.glyphs.back() != glyph) t.glyphs.push_back(glyph);
        tied[glyph] = 1;
    };
    constexpr std::size_t kLookAhead = 48;
    std::size_t next = 0;
    for (LayerLine& line : lines) {
        for (Token& t : line.tokens) {
            std::u32string chars;
            for (const CodePoint& cp : decode(std::string_view(layer).substr(t.begin, t.end - t.begin))) chars += cp.c;
            for (const char32_t c : chars) {
                const std::size_t stop = std::min(drawn.size(), next + kLookAhead);
                for (std::size_t k = next; k < stop; ++k) {
                    if (drawn[k] != c) continue;
                    tie(t, k);
                    next = k + 1;
                    break;
                }
            }
            if (t.glyphs.empty() && t.wordy) {
                // Moved in the layer (a form field's value placed by its label, say).
                std::size_t at = drawn.find(chars, next);
                if (at == std::u32string::npos) at = drawn.find(chars);
                if (at != std::u32string::npos) {
                    for (std::size_t k = at; k < at + chars.size(); ++k) tie(t, k);
                }
            }
        }
    }
    // The glyphs of a span stand together for its words.
    for (LayerLine& line : lines) {
        for (Token& t : line.tokens) {
            if (t.glyphs.empty() || glyphs[t.glyphs.front()].span < 0) continue;
            const Span& span = spans[glyphs[t.glyphs.front()].span];
            t.glyphs.clear();
            for (std::size_t i = span.first; i < span.last; ++i) t.glyphs.push_back(static_cast<int>(i)), tied[i] = 1;
        }
    }
    return tied;
}

struct PixelBox {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

PixelBox pixels_of(const Box& box, double scale, int width, int height) {
    if (box.empty()) return {};
    // Kept within a pixel of the image: a glyph from a degenerate matrix may
    // lie anywhere, even at infinity or NaN.
    auto pixel = [](double v, int limit) {
        if (!(v >= -1)) return -1;
        if (!(v <= limit + 1)) return limit + 1;
        return static_cast<int>(v);
    };
    PixelBox p{pixel(std::floor(box.x0 * scale), width), pixel(std::floor(box.y0 * scale), height),
               pixel(std::ceil(box.x1 * scale), width), pixel(std::ceil(box.y1 * scale), height)};
    // A box thinner than a pixel (a glyph with no advance, a hairline) still covers one.
    if (p.x1 <= p.x0) p.x1 = p.x0 + 1;
    if (p.y1 <= p.y0) p.y1 = p.y0 + 1;
    p.x0 = std::max(p.x0, 0), p.y0 = std::max(p.y0, 0);
    p.x1 = std::min(p.x1, width), p.y1 = std::min(p.y1, height);
    return p;
}

// Pixels in `box` (points) where `a` and `b` differ by at least
// kMinInkContrast; -1 when the box is off the images.
int change_in(const PageImage& a, const PageImage& b, const Box& box) {
    const PixelBox p = pixels_of(box, a.dpi / 72.0, a.width, a.height);
    if (p.empty()) return -1;
    int changed = 0;
    for (int y = p.y0; y < p.y1; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * a.width;
        for (int x = p.x0; x < p.x1; ++x) {
            if (std::abs(a.pixels[row + x] - b.pixels[row + x]) >= kMinInkContrast) ++changed;
        }
    }
    return changed;
}

// Grey levels spanned in `box` of `image`, -1 when it is off the image.
int contrast_in(const PageImage& image, const Box& box) {
    const PixelBox p = pixels_of(box, image.dpi / 72.0, image.width, image.height);
    if (p.empty()) return -1;
    int lo = 255, hi = 0;
    for (int y = p.y0; y < p.y1; ++y) {
        const unsigned char* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width * image.channels;
        for (int x = p.x0; x < p.x1; ++x) {
            const int v = row[x * image.channels];
            lo = std::min(lo, v), hi = std::max(hi, v);
        }
    }
    return hi - lo;
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
// A Type3 font whose words OCR reads back this often draws letters: the
// words it misses are OCR's misreadings.
constexpr double kMinFontAgreement = 0.7;
// Words are judged one by one, unless their glyphs come from a Type3 font,
// which may be a bitmap font OCR now and then misreads.
bool judged_alone(const Glyph& g) {
    return g.span >= 0 || !g.font || g.font->getType() != fontType3;
}

// Fewer words than this drawn beyond the paper's edge are not reported.
constexpr long kMinWordsOffPaper = 3;
// A word is seen when at least this share of its glyphs change the page.
constexpr double kMinGlyphsSeen = 0.5;

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

// Words of `text` (letters and digits, two or more), for counting and showing.
std::vector<std::string> field_words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t from = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::string_view word = text.substr(from, i - from);
        if (count_word_chars(word) >= 2) out.push_back(bare(word));
    }
    return out;
}

// Words of the page's glyphs that no character of the layer was tied to and
// that no reader sees: text never drawn where it could be read.
std::vector<std::pair<std::string, int>> left_out_words(const std::vector<Glyph>& glyphs,
                                                        const std::vector<char>& tied) {
    std::vector<std::pair<std::string, int>> out;
    std::string word;
    int kind = -1;
    auto flush = [&] {
        if (kind >= 0 && count_word_chars(word) >= 2) out.emplace_back(bare(word), kind);
        word.clear();
        kind = -1;
    };
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        const Glyph& g = glyphs[i];
        const bool left_out = !tied[i] && (g.drawn == Drawn::layer_off || g.off_paper);
        if (!left_out) {
            flush();
            continue;
        }
        for (const char32_t c : g.text) {
            if (is_space(c)) {
                flush();
                continue;
            }
            if (kind < 0) kind = g.drawn == Drawn::layer_off ? layered : clipped;
            utf8::append(word, c);
        }
    }
    flush();
    return out;
}

// Text of form fields and notes on the page that its viewer does not show.
std::vector<std::string> hidden_annotation_words(PDFDoc& doc, Page& page) {
    std::vector<std::string> out;
    OCGs* layers = doc.getOptContentConfig();
    Annots* annots = page.getAnnots();
    if (annots == nullptr) return out;
    for (Annot* annot : annots->getAnnots()) {
        const Annot::AnnotSubtype type = annot->getType();
        if (type != Annot::typeWidget && type != Annot::typeFreeText) continue;
        const Object layer = annot->getAnnotObj().dictLookupNF("OC").copy();
        const bool shown = (annot->getFlags() & (Annot::flagHidden | Annot::flagNoView)) == 0 &&
                           (layers == nullptr || layer.isNull() || layers->optContentIsVisible(&layer));
        if (shown) continue;
        std::u32string text;
        if (type == Annot::typeWidget) {
            const Object value = annot->getAnnotObj().dictLookup("V");
            if (value.isString()) text = text_string(value.getString());
        } else {
            text = text_string(annot->getContents());
        }
        std::string utf8_text;
        for (const char32_t c : text) utf8::append(utf8_text, c);
        for (std::string& w : field_words(utf8_text)) out.push_back(std::move(w));
    }
    return out;
}

}  // namespace

double word_likeness(std::string_view a, std::string_view b) {
    const std::u32string fa = folded(a), fb = folded(b);
    const std::size_t longer = std::max(fa.size(), fb.size());
    if (longer == 0) return 1.0;
    return 1.0 - static_cast<double>(edit_distance(fa, fb)) / static_cast<double>(longer);
}

namespace {

// The check, on `given` as the layer or, when null, on the layer read in the
// same pass (returned in *read).
PageVisibility check(const PdfDocument& doc, int page, const std::string* given, double dpi, std::string* read) {
    doc.check_page(page);
    PDFDoc& core = doc.core_document();
    Page* core_page = core.getPage(page);
    if (core_page == nullptr) {
        throw PdfError(PdfFault::page_unusable,
                       "Page " + std::to_string(page) + " of '" + doc.shown_name() + "' could not be read", 0, page);
    }

    // Drawn as the text layer is extracted: 72 dpi, crop box, page rotation;
    // with every layer on when some are off, to find what they hold.
    ScreenLayers layers(core);
    GlyphCollector collector(*core_page);
    std::vector<Glyph>& glyphs = collector.glyphs;
    if (layers.any_off()) {
        layers.all_on();
        core.displayPage(&collector, page, 72, 72, 0, false, true, false);
        layers.as_reader();
        GlyphCollector seen(*core_page);
        core.displayPage(&seen, page, 72, 72, 0, false, true, false);
        mark_layered(glyphs, seen.glyphs);
    } else {
        core.displayPage(&collector, page, 72, 72, 0, false, true, false);
    }
    take_poppler_messages();
    std::string layer_read;
    if (given == nullptr) {
        // With layers switched, the pass did not draw what the text layer holds.
        layer_read = layers.any_off() ? doc.page_text(page) : finish_page_text(core, page, collector.layer);
        if (read != nullptr) *read = layer_read;
    }
    const std::string& layer = given != nullptr ? *given : layer_read;
    PageVisibility out{layer, std::nullopt};
    for (Glyph& g : glyphs) g.doubtful = g.doubtful || g.span >= 0 || collector.doubtful(g.font.get());
    collector.index();
    const std::vector<std::string> in_hidden_fields = hidden_annotation_words(core, *core_page);
    if (glyphs.empty() && in_hidden_fields.empty()) return out;

    const std::vector<CodePoint> cps = decode(layer);
    std::vector<LayerLine> lines = split_layer(layer, cps);
    const std::vector<char> tied = align(lines, layer, glyphs, collector.spans);

    // What the state of the drawing says first; then the page as drawn. On
    // bare paper a word's glyphs leave ink or not; where anything else is
    // drawn over or under it, the page drawn without its text tells.
    const double ink_dpi = std::min(kInkDpi, dpi);
    std::optional<PageImage> with_text, without_text;
    auto drawn = [&]() -> const PageImage& {
        if (!with_text) with_text = draw_core_page(core, page, ink_dpi, 1, true);
        return *with_text;
    };
    auto drawn_without_text = [&]() -> const PageImage& {
        if (!without_text) without_text = draw_core_page(core, page, ink_dpi, 1, false);
        return *without_text;
    };
    std::vector<Token*> over_ink;  // drawn invisibly over something: a scan's searchable layer, or not
    std::vector<Token*> doubtful;  // seen, but its glyphs may not draw what it says
    for (LayerLine& line : lines) {
        for (Token& t : line.tokens) {
            if (t.glyphs.empty() || !t.wordy) continue;
            std::array<int, static_cast<int>(Drawn::count)> votes{};
            for (const int i : t.glyphs) ++votes[static_cast<int>(glyphs[i].drawn)];
            const auto most = static_cast<Drawn>(std::max_element(votes.begin(), votes.end()) - votes.begin());
            if (most == Drawn::layer_off) {
                t.hidden = layered;
            } else if (most == Drawn::too_small) {
                t.hidden = too_small;
            } else if (most == Drawn::clipped) {
                t.hidden = clipped;
            } else if (most == Drawn::invisible) {
                Box ink;
                bool no_paint = true;
                for (const int i : t.glyphs) ink.add(glyphs[i].ink), no_paint = no_paint && glyphs[i].no_paint;
                if (no_paint && contrast_in(drawn(), ink) >= kMinInkContrast) {
                    over_ink.push_back(&t);
                } else {
                    t.hidden = invisible;
                }
            } else {
                const PageImage& a = drawn();
                Box box;
                for (const int i : t.glyphs) {
                    if (glyphs[i].drawn == Drawn::shown) box.add(glyphs[i].box);
                }
                const bool bare_paper = !collector.overlapped(box, t.glyphs);
                int shown = 0, counted = 0, off = 0;
                bool doubt = false;
                for (const int i : t.glyphs) {
                    const Glyph& g = glyphs[i];
                    doubt = doubt || g.doubtful;
                    if (g.drawn != Drawn::shown) continue;
                    int changed = 0;  // -1: off the page; else pixels of its ink
                    if (bare_paper) {
                        const int contrast = contrast_in(a, g.box);
                        changed = contrast < 0 ? -1 : contrast >= kMinInkContrast ? 1 : 0;
                    } else {
                        changed = change_in(a, drawn_without_text(), g.box);
                    }
                    ++counted;
                    if (changed < 0) {
                        ++off;
                        continue;
                    }
                    if (changed > 0) ++shown;
                }
                if (counted > 0 && off == counted) {
                    t.hidden = clipped;
                } else if (shown < kMinGlyphsSeen * counted) {
                    const auto last = static_cast<std::size_t>(*std::max_element(t.glyphs.begin(), t.glyphs.end()));
                    t.hidden = collector.painted_over(box, last) ? covered : same_colour;
                } else if (doubt) {
                    doubtful.push_back(&t);
                }
            }
        }
    }

    bool replaced = false;
    std::string ocr_text;
    if (!over_ink.empty()) {
        const PageImage scan = doc.render(page, dpi, 1);
        OcrReading ocr = ocr_image_words(scan);
        const double s = scan.dpi / 72.0;
        std::vector<Token*> unmatched;
        for (Token* t : over_ink) {
            Box box;
            for (const int i : t->glyphs) box.add(glyphs[i].box);
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

    if (!doubtful.empty() && !replaced) {
        // Read back what the doubtful words' glyphs draw, where they stand.
        Box area;
        for (const Token* t : doubtful) {
            for (const int i : t->glyphs) area.add(glyphs[i].box);
        }
        const PageImage page_image = draw_core_page(core, page, dpi, 1, true);
        const double s = page_image.dpi / 72.0;
        const double pad = 12;
        const PixelBox crop = pixels_of(Box{area.x0 - pad, area.y0 - pad, area.x1 + pad, area.y1 + pad}, s,
                                        page_image.width, page_image.height);
        PageImage part;
        part.width = crop.x1 - crop.x0, part.height = crop.y1 - crop.y0, part.channels = 1, part.dpi = page_image.dpi;
        part.pixels.resize(static_cast<std::size_t>(part.width) * part.height);
        for (int y = 0; y < part.height; ++y) {
            std::copy_n(page_image.pixels.data() + static_cast<std::size_t>(y + crop.y0) * page_image.width + crop.x0,
                        part.width, part.pixels.data() + static_cast<std::size_t>(y) * part.width);
        }
        const OcrReading ocr = ocr_image_words(part);
        // Per font (ActualText and contradicting maps count alone): how many words OCR reads back.
        std::map<const GfxFont*, std::pair<int, int>> agreement;
        std::vector<std::pair<Token*, bool>> judged;
        for (Token* t : doubtful) {
            Box box;
            for (const int i : t->glyphs) box.add(glyphs[i].box);
            const double x0 = box.x0 * s - crop.x0, x1 = box.x1 * s - crop.x0;
            const double y0 = box.y0 * s - crop.y0, y1 = box.y1 * s - crop.y0;
            const std::string word = layer.substr(t->begin, t->end - t->begin);
            const bool found = std::any_of(ocr.words.begin(), ocr.words.end(), [&](const OcrWord& w) {
                return w.right >= x0 && w.left <= x1 && w.bottom >= y0 && w.top <= y1 && same_word(word, w.text);
            });
            judged.emplace_back(t, found);
            const Glyph& g = glyphs[t->glyphs.front()];
            const bool alone = judged_alone(g);
            auto& [hits, count] = agreement[alone ? nullptr : g.font.get()];
            hits += found, ++count;
        }
        for (auto& [t, found] : judged) {
            if (found) continue;
            const Glyph& g = glyphs[t->glyphs.front()];
            const bool alone = judged_alone(g);
            const auto& [hits, count] = agreement[alone ? nullptr : g.font.get()];
            if (alone || hits < kMinFontAgreement * count) t->hidden = not_drawn;
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
    auto count = [&](std::string word, int kind) {
        ++hidden.words;
        seen_kinds[kind] = true;
        if (hidden.sample.size() < kHiddenSample) hidden.sample.push_back(std::move(word));
    };
    for (const LayerLine& line : lines) {
        for (const Token& t : line.tokens) {
            if (t.hidden >= 0 && t.wordy) count(bare(layer.substr(t.begin, t.end - t.begin)), t.hidden);
        }
    }
    // Text that never reached the layer: reported, and nothing to take out.
    std::vector<std::pair<std::string, int>> left_out = left_out_words(glyphs, tied);
    const auto off_paper = std::count_if(left_out.begin(), left_out.end(), [](const auto& w) { return w.second == clipped; });
    for (auto& [word, kind] : left_out) {
        // A stray label beyond the paper's edge is an accident of the tool that wrote the page.
        if (kind != clipped || off_paper >= kMinWordsOffPaper) count(std::move(word), kind);
    }
    for (const std::string& word : in_hidden_fields) count(word, field);
    if (hidden.words == 0) return out;
    for (int k = 0; k < kinds_count; ++k) {
        if (seen_kinds[k]) hidden.kinds.emplace_back(kKindNames[k]);
    }
    hidden.replaced = replaced;
    out.text = replaced ? std::move(ocr_text) : without_hidden(layer, lines);
    out.hidden = std::move(hidden);
    return out;
}

}  // namespace

PageVisibility check_visibility(const PdfDocument& doc, int page, const std::string& layer, double dpi) {
    return check(doc, page, &layer, dpi, nullptr);
}

PageVisibility read_visible_text(const PdfDocument& doc, int page, double dpi, std::string* layer) {
    return check(doc, page, nullptr, dpi, layer);
}

}  // namespace quorvan::core
