// A student's hand-back: their marks and feedback as a printable A4 PDF,
// laid out with Pango (any script the installed fonts cover, shaped right)
// and drawn with cairo. Plain data in, a file out; no Python.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvan::core {

struct HandbackCriterion {
    std::string statement;
    double mark = 0;
    bool met = false;
};

struct HandbackQuestion {
    std::string q_id;
    std::optional<double> awarded;  // none: not marked (see note)
    double max_marks = 0;
    std::vector<HandbackCriterion> criteria;  // empty when the answer was not marked
    std::string feedback;
    std::string note;  // "Not answered.", "Mark set by the teacher.", ...; "" otherwise
    std::string text{};  // the question as the paper asks it
    bool criteria_by_model = false;  // the teacher set the mark apart from these ticks: they are the model's
};

struct Handback {
    std::string title;         // the paper: subject, class level
    std::string student_name;  // what the sheet is known by when no name is known
    std::string student_id;    // "" when unknown
    double total = 0;
    double maximum = 0;
    std::vector<HandbackQuestion> questions;
};

struct HandbackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes the hand-back to `path` (replacing what is there); returns the
// number of pages. Throws HandbackError when the file cannot be written.
int write_handback_pdf(const Handback& handback, const std::string& path);

}  // namespace quorvan::core
