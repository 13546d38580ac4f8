#include "handback_pdf.hpp"

#include <cairo-pdf.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstdio>
#include <memory>

#include "class_report.hpp"

namespace quorvan::core {

namespace {

// A4 in points, with margins wide enough for a printer and a binder.
constexpr double kWidth = 595.276, kHeight = 841.89, kMargin = 56.0;
constexpr double kText = kWidth - 2 * kMargin;
// The family fontconfig resolves; scripts it lacks (Devanagari, Chinese, ...)
// fall back to the fonts installed for them.
constexpr const char* kFamily = "Sans";

struct Style {
    double size = 10.5;
    bool bold = false;
    bool italic = false;
    double indent = 0;
    double space_before = 0;
    double grey = 0.1;
};

class Writer {
public:
    explicit Writer(const std::string& path) {
        surface_ = cairo_pdf_surface_create(path.c_str(), kWidth, kHeight);
        if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
            const std::string why = cairo_status_to_string(cairo_surface_status(surface_));
            cairo_surface_destroy(surface_);
            throw HandbackError("cannot write " + path + ": " + why);
        }
        cr_ = cairo_create(surface_);
        layout_ = pango_cairo_create_layout(cr_);
        pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
        y_ = kMargin;
    }
    ~Writer() {
        if (layout_) g_object_unref(layout_);
        if (cr_) cairo_destroy(cr_);
        if (surface_) cairo_surface_destroy(surface_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void metadata(const std::string& title) {
        cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_TITLE, title.c_str());
        cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "quorvan");
    }

    // A paragraph, broken into lines that flow onto the next page when this
    // one is full.
    void paragraph(const std::string& text, const Style& style) {
        PangoFontDescription* font = pango_font_description_new();
        pango_font_description_set_family(font, kFamily);
        pango_font_description_set_size(font, static_cast<int>(style.size * PANGO_SCALE));
        pango_font_description_set_weight(font, style.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        pango_font_description_set_style(font, style.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
        pango_layout_set_font_description(layout_, font);
        pango_font_description_free(font);
        pango_layout_set_width(layout_, static_cast<int>((kText - style.indent) * PANGO_SCALE));
        // Text goes in as text, never as markup: a student's "<b>" stays "<b>".
        pango_layout_set_text(layout_, text.c_str(), -1);

        if (y_ > kMargin) y_ += style.space_before;
        cairo_set_source_rgb(cr_, style.grey, style.grey, style.grey);
        const int lines = pango_layout_get_line_count(layout_);
        for (int i = 0; i < lines; ++i) {
            PangoLayoutLine* line = pango_layout_get_line_readonly(layout_, i);
            PangoRectangle logical;
            pango_layout_line_get_pixel_extents(line, nullptr, &logical);
            if (y_ + logical.height > kHeight - kMargin && y_ > kMargin) new_page();
            // The logical rectangle's y is relative to the baseline (negative).
            cairo_move_to(cr_, kMargin + style.indent, y_ - logical.y);
            pango_cairo_show_layout_line(cr_, line);
            y_ += logical.height;
        }
    }

    void rule(double space = 6) {
        // At the foot of a page the rule is left out: the page break separates.
        if (y_ + space * 2 > kHeight - kMargin) return;
        y_ += space;
        cairo_set_source_rgb(cr_, 0.75, 0.75, 0.75);
        cairo_set_line_width(cr_, 0.6);
        cairo_move_to(cr_, kMargin, y_);
        cairo_line_to(cr_, kWidth - kMargin, y_);
        cairo_stroke(cr_);
        y_ += space;
    }

    // Keeps a heading with what follows it: a new page when little is left.
    void keep(double needed) {
        if (y_ + needed > kHeight - kMargin && y_ > kMargin) new_page();
    }

    int finish() {
        cairo_show_page(cr_);
        cairo_surface_finish(surface_);
        const cairo_status_t status = cairo_surface_status(surface_);
        if (status != CAIRO_STATUS_SUCCESS) throw HandbackError(std::string("cannot write the PDF: ") + cairo_status_to_string(status));
        return pages_;
    }

private:
    void new_page() {
        cairo_show_page(cr_);
        ++pages_;
        y_ = kMargin;
    }

    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    PangoLayout* layout_ = nullptr;
    double y_ = 0;
    int pages_ = 1;
};

std::string marks_word(double value) { return format_mark(value) + (value == 1 ? " mark" : " marks"); }

std::string percent_of(double total, double maximum) {
    if (maximum <= 0) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", total / maximum * 100.0);
    return buf;
}

}  // namespace

int write_handback_pdf(const Handback& h, const std::string& path) {
    Writer w(path);
    w.metadata(h.student_name + (h.title.empty() ? "" : " - " + h.title));

    Style title;
    title.size = 18;
    title.bold = true;
    w.paragraph(h.student_name, title);
    Style sub;
    sub.size = 10.5;
    sub.grey = 0.35;
    sub.space_before = 2;
    if (!h.student_id.empty()) w.paragraph("Student ID: " + h.student_id, sub);
    if (!h.title.empty()) w.paragraph(h.title, sub);

    Style total;
    total.size = 14;
    total.bold = true;
    total.space_before = 10;
    w.paragraph("Total: " + format_mark(h.total) + " / " + format_mark(h.maximum) +
                    (h.maximum > 0 ? "  (" + percent_of(h.total, h.maximum) + ")" : ""),
                total);
    w.rule(8);

    for (const auto& q : h.questions) {
        w.keep(60);
        Style head;
        head.size = 12.5;
        head.bold = true;
        head.space_before = 8;
        const std::string awarded = q.awarded ? format_mark(*q.awarded) : "-";
        w.paragraph(q.q_id + "    " + awarded + " / " + marks_word(q.max_marks), head);
        if (!q.text.empty()) {
            Style asked;
            asked.size = 10;
            asked.grey = 0.25;
            asked.space_before = 2;
            w.paragraph(q.text, asked);
        }
        if (!q.note.empty()) {
            Style note;
            note.italic = true;
            note.grey = 0.35;
            note.space_before = 2;
            w.paragraph(q.note, note);
        }
        bool any_met = false, any_missed = false;
        for (const auto& c : q.criteria) (c.met ? any_met : any_missed) = true;
        for (int pass = 0; pass < 2; ++pass) {
            const bool met = pass == 0;
            if (met ? !any_met : !any_missed) continue;
            Style label;
            label.bold = true;
            label.size = 10;
            label.space_before = 5;
            label.grey = met ? 0.1 : 0.45;
            w.paragraph(q.criteria_by_model ? (met ? "The model found these met" : "The model found these missed")
                                            : (met ? "Criteria met" : "Criteria missed"),
                        label);
            for (const auto& c : q.criteria) {
                if (c.met != met) continue;
                Style item;
                item.indent = 14;
                item.space_before = 2;
                item.grey = met ? 0.1 : 0.4;
                w.paragraph(std::string(met ? "\u2713 " : "\u2717 ") + c.statement + " (" +
                                (met ? "+" : "") + marks_word(c.mark) + ")",
                            item);
            }
        }
        if (!q.feedback.empty()) {
            Style label;
            label.bold = true;
            label.size = 10;
            label.space_before = 5;
            w.paragraph("Feedback", label);
            Style body;
            body.space_before = 2;
            w.paragraph(q.feedback, body);
        }
        w.rule(8);
    }
    return w.finish();
}

}  // namespace quorvan::core
