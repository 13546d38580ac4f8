// An answer as the teacher's decisions leave it. The model proposes (the
// stored marking), the teacher decides (the events); every view of the class
// (class file, reports, hand-backs, exports, the review page, calibration)
// reads marks through here, so no view can show one and count another.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results_store.hpp"

namespace quorvan::core {

// Nothing but blanks and punctuation: no answer, whatever the parse found.
bool blank_answer(std::string_view text);

// The question an answer is held against: its marking changes with any of these.
struct QuestionKey {
    std::string fingerprint;
    double max_marks = 0;
    std::vector<double> criterion_marks;
};

struct Reviewed {
    // "marked": a mark counts; "not_answered": the parse found no answer, or
    // an empty one, and the teacher set none; "unmarked": answered, but no
    // mark counts yet (`why` says why).
    std::string state;
    bool answered = false;          // found, and not blank
    std::optional<double> awarded;  // the mark that counts
    std::optional<double> model_awarded;  // the model's, while it stands against the question
    std::vector<int> criteria_met;  // the teacher's ticks, else the model's
    bool criteria_by_teacher = false;
    std::string feedback;           // as shown to the student
    bool feedback_by_teacher = false;
    bool teacher_marked = false;    // the teacher's mark stands (ticks or typed)
    bool mark_typed = false;        // ...and it is not the sum of the teacher's ticks: the ticks shown are not why
    bool overridden = false;        // a decision on the mark, the criteria or the feedback stands
    bool approved = false;
    bool look_again = false;        // marked again since the teacher's decision
    bool stale = false;             // the model marked another version of the question
    std::string why;                // of "unmarked"
    bool reviewed() const { return overridden || approved; }
};

// `model` may be null (the parse found no answer), `decision` too (no
// decision stands for the answer).
Reviewed review_of(const AnswerRecord* model, const Decision* decision, const QuestionKey& question);

// The decision for `q_id` in `decisions`, or null.
const Decision* decision_for(const std::map<std::string, Decision>& decisions, const std::string& q_id);

// The stored answer to `q_id`, or null.
const AnswerRecord* answer_for(const std::vector<AnswerRecord>& answers, const std::string& q_id);

// Approved as a whole, or every answer approved (a sheet without answers is
// approved only as a whole).
bool sheet_approved(const std::vector<AnswerRecord>& answers, const std::map<std::string, Decision>& decisions);

// A mark as a teacher types it: "2.5" or "2,5" (one decimal separator,
// digits on both sides or only before it), within 0..maximum; none otherwise.
std::optional<double> typed_mark(std::string_view text, double maximum);

}  // namespace quorvan::core
