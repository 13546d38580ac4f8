// An answer as the teacher's decisions leave it. The model proposes (the
// stored marking), the teacher decides (the events); every view of the class
// reads marks through here, so no view can show one and count the other.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "results_store.hpp"

namespace quorvan::core {

struct Reviewed {
    std::optional<double> awarded;  // the teacher's, else the model's mark when marked
    std::vector<int> criteria_met;  // the teacher's, else the model's
    std::string feedback;           // the teacher's, else the model's
    bool overridden = false;        // a decision on the mark, the criteria or the feedback stands
    bool approved = false;
    bool look_again = false;      // marked again since the teacher's decision
    bool teacher_marked = false;  // the teacher's own mark stands (calibration compares it)
};

// `decision` may be null: no decision stands for the answer.
Reviewed review_of(const AnswerRecord& model, const Decision* decision);

// The decision for `q_id` in `decisions`, or null.
const Decision* decision_for(const std::map<std::string, Decision>& decisions, const std::string& q_id);

// Approved as a whole, or every answer approved (a sheet without answers is
// approved only as a whole).
bool sheet_approved(const std::vector<AnswerRecord>& answers, const std::map<std::string, Decision>& decisions);

}  // namespace quorvan::core
