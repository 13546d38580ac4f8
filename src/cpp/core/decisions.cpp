#include "decisions.hpp"

#include <algorithm>

namespace quorvan::core {

Reviewed review_of(const AnswerRecord& model, const Decision* decision) {
    Reviewed r;
    if (model.status == "marked") r.awarded = model.awarded;
    r.criteria_met = model.criteria_met;
    r.feedback = model.feedback;
    r.look_again = std::any_of(model.flags.begin(), model.flags.end(),
                               [](const Flag& f) { return f.kind == kLookAgain; });
    if (decision == nullptr) return r;
    if (decision->awarded) {
        r.awarded = decision->awarded;
        r.teacher_marked = true;
        r.overridden = true;
    }
    if (decision->criteria_met) {
        r.criteria_met = *decision->criteria_met;
        r.overridden = true;
    }
    if (decision->feedback) {
        r.feedback = *decision->feedback;
        r.overridden = true;
    }
    r.approved = decision->approved.value_or(false);
    return r;
}

const Decision* decision_for(const std::map<std::string, Decision>& decisions, const std::string& q_id) {
    auto found = decisions.find(q_id);
    return found == decisions.end() ? nullptr : &found->second;
}

bool sheet_approved(const std::vector<AnswerRecord>& answers, const std::map<std::string, Decision>& decisions) {
    if (const Decision* whole = decision_for(decisions, ""); whole && whole->approved) return *whole->approved;
    if (answers.empty()) return false;
    return std::all_of(answers.begin(), answers.end(), [&](const AnswerRecord& a) {
        const Decision* d = decision_for(decisions, a.q_id);
        return d && d->approved.value_or(false);
    });
}

}  // namespace quorvan::core
