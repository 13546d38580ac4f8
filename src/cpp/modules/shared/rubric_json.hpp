// A rubric as a paper file holds it: {"criteria": [{"statement", "mark"}...]}.
// The facade's export and the command that completes a paper file write it
// alike, so a completed file imports as an exported one does.
#pragma once

#include "pyglue.hpp"

namespace quorvan::paper_file {
namespace py = pybind11;

inline py::dict rubric_json(const py::object& rubric) {
    py::list criteria;
    for (py::handle c : py::object(rubric.attr("criteria"))) {
        py::dict criterion;
        criterion["statement"] = c.attr("statement");
        criterion["mark"] = c.attr("mark");
        criteria.append(criterion);
    }
    py::dict out;
    out["criteria"] = criteria;
    return out;
}

}  // namespace quorvan::paper_file
