// Marks as every module computes them: from a rubric's criteria, looked up
// through Python so that a criterion changed after marking counts as it is.
#pragma once

#include "pyglue.hpp"

namespace quorvan::marks {
namespace py = pybind11;

// The sum of the criteria marks (only the fulfilled ones when asked), added as
// Python numbers from the int 0 as sum() does: all-int marks give an int, one
// float mark makes it a float, and a mark that is no number fails as sum()
// would. Callers that document a float convert the result with float().
inline py::object criteria_marks(const py::object& criteria, bool fulfilled_only) {
    py::object total = py::int_(0);
    for (py::handle criterion : criteria) {
        if (fulfilled_only && !pyglue::truth(criterion.attr("is_fulfilled"))) continue;
        total = total + criterion.attr("mark");
    }
    return total;
}

// The marks a marked rubric awards: those of the criteria it has fulfilled.
// The model is asked for its own total too, but only the criteria it says are
// met count, so a slip in its arithmetic cannot change a mark.
inline py::object awarded_marks(const py::object& rubric) { return criteria_marks(rubric.attr("criteria"), true); }

// All marks the rubric can give.
inline py::object total_marks(const py::object& rubric) { return criteria_marks(rubric.attr("criteria"), false); }

}  // namespace quorvan::marks
