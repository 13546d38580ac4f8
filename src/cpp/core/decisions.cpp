#include "decisions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "utf8.hpp"

namespace quorvan::core {

namespace {

// Spaces, punctuation and invisible marks: what an empty answer may hold.
bool empty_mark(char32_t c) {
    if (c < 0x80) return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    return (c >= 0x80 && c <= 0xBF && c != 0xAA && c != 0xB2 && c != 0xB3 && c != 0xB5 && c != 0xB9 && c != 0xBA &&
            (c < 0xBC || c > 0xBE)) ||
           c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x206F) || (c >= 0x2190 && c <= 0x21FF) ||
           (c >= 0x2500 && c <= 0x25FF) || (c >= 0x2E00 && c <= 0x2E7F) || (c >= 0x3000 && c <= 0x3003) ||
           (c >= 0x3008 && c <= 0x3011) || (c >= 0x3014 && c <= 0x301F) || (c >= 0xFE10 && c <= 0xFE6F) ||
           c == 0xFEFF || (c >= 0xFF01 && c <= 0xFF0F) || (c >= 0xFF1A && c <= 0xFF20) ||
           (c >= 0xFF3B && c <= 0xFF40) || (c >= 0xFF5B && c <= 0xFF65) || c == 0x0964 || c == 0x0965;
}

bool close_to(double a, double b) { return std::fabs(a - b) < 1e-9; }

}  // namespace

bool blank_answer(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (!empty_mark(utf8::next(text, i))) return false;
    }
    return true;
}

Reviewed review_of(const AnswerRecord* model, const Decision* decision, const QuestionKey& question) {
    Reviewed r;
    r.answered = model != nullptr && !blank_answer(model->text);
    if (model) {
        r.stale = model->status == "marked" && model->question_fingerprint != question.fingerprint;
        if (r.answered && model->status == "marked" && !r.stale && model->awarded) r.model_awarded = model->awarded;
        r.criteria_met = model->criteria_met;
        r.feedback = model->feedback;
        r.look_again = std::any_of(model->flags.begin(), model->flags.end(),
                                   [](const Flag& f) { return f.kind == kLookAgain; });
    }
    // An empty answer's marking (from before empty answers were left out)
    // is nobody's: no ticks, no feedback.
    if (!r.answered) {
        r.criteria_met.clear();
        r.feedback.clear();
    }
    r.awarded = r.model_awarded;
    if (decision) {
        if (decision->criteria_met) {
            r.criteria_met = *decision->criteria_met;
            r.criteria_by_teacher = true;
            r.overridden = true;
        }
        if (decision->awarded) {
            r.awarded = decision->awarded;
            r.teacher_marked = true;
            r.overridden = true;
            double ticked = 0;
            if (decision->criteria_met) {
                for (int c : *decision->criteria_met) {
                    if (c >= 0 && static_cast<std::size_t>(c) < question.criterion_marks.size()) {
                        ticked += question.criterion_marks[static_cast<std::size_t>(c)];
                    }
                }
                ticked = std::min(ticked, question.max_marks);
            }
            r.mark_typed = !decision->criteria_met || !close_to(ticked, *decision->awarded);
            // The model's feedback speaks for the model's mark, not for one
            // the teacher typed over it.
            if (r.mark_typed) r.feedback.clear();
        }
        if (decision->feedback) {
            r.feedback = *decision->feedback;
            r.feedback_by_teacher = true;
            r.overridden = true;
        }
        r.approved = decision->approved.value_or(false);
    }
    if (r.awarded) {
        r.state = "marked";
    } else if (!r.answered) {
        r.state = "not_answered";
    } else {
        r.state = "unmarked";
        r.why = r.stale                      ? "the question changed since it was marked"
                : model->status == "failed" ? model->failure
                                             : "not marked yet";
    }
    return r;
}

const Decision* decision_for(const std::map<std::string, Decision>& decisions, const std::string& q_id) {
    auto found = decisions.find(q_id);
    return found == decisions.end() ? nullptr : &found->second;
}

const AnswerRecord* answer_for(const std::vector<AnswerRecord>& answers, const std::string& q_id) {
    for (const auto& a : answers) {
        if (a.q_id == q_id) return &a;
    }
    return nullptr;
}

bool sheet_approved(const std::vector<AnswerRecord>& answers, const std::map<std::string, Decision>& decisions) {
    if (const Decision* whole = decision_for(decisions, ""); whole && whole->approved) return *whole->approved;
    if (answers.empty()) return false;
    return std::all_of(answers.begin(), answers.end(), [&](const AnswerRecord& a) {
        const Decision* d = decision_for(decisions, a.q_id);
        return d && d->approved.value_or(false);
    });
}

std::optional<double> typed_mark(std::string_view text, double maximum) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    std::string plain;
    bool separator = false, digits_before = false, digits_after = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            (separator ? digits_after : digits_before) = true;
            plain += c;
        } else if ((c == '.' || c == ',') && !separator) {
            separator = true;
            plain += '.';
        } else {
            return std::nullopt;
        }
    }
    if (!digits_before || (separator && !digits_after) || plain.size() > 12) return std::nullopt;
    const double value = std::strtod(plain.c_str(), nullptr);
    if (!(value >= 0 && value <= maximum)) return std::nullopt;
    return value;
}

}  // namespace quorvan::core
