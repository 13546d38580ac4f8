// quorvan_core.datastructures.rubric: a marking rubric and its criteria.
#include "checks.hpp"
#include "records.hpp"
#include "text.hpp"
#include "../shared/marks.hpp"

namespace quorvan::records {
namespace py = pybind11;

namespace {

struct RubricTag {};
struct CriterionTag {};

constexpr Py_ssize_t kPreview = 40;

// --------------------------------------------------------------- Criterion

void criterion_init(py::handle self, py::object statement, py::object mark) {
    pyglue::need_str_instance(statement, "statement");
    py::object value = pyglue::need_float(mark, "mark");
    self.attr("statement") = statement;
    self.attr("mark") = value;
    self.attr("is_fulfilled") = py::bool_(false);
}

py::str criterion_repr(py::object self) {
    return pyglue::record_repr(self, {{"statement", pyglue::clip(self.attr("statement"), kPreview)},
                                      {"mark", self.attr("mark")},
                                      {"is_fulfilled", self.attr("is_fulfilled")}});
}

// ------------------------------------------------------------------ Rubric

void rubric_init(py::handle self, py::object criteria) {
    pyglue::need_opt_list(criteria, "criteria");
    // The caller's list is kept, not copied: the rubric's criteria are that list.
    self.attr("criteria") = criteria.is_none() ? py::list() : criteria;
}

// Documented as floats, whatever the criteria marks are.
py::float_ sum_marks(py::object self, bool fulfilled_only) {
    return py::float_(fulfilled_only ? marks::awarded_marks(self) : marks::total_marks(self));
}

py::list to_list(py::object self) {
    py::list out;
    for (py::handle criterion : py::object(self.attr("criteria"))) {
        py::dict entry;
        entry["statement"] = criterion.attr("statement");
        entry["mark"] = criterion.attr("mark");
        entry["is_fulfilled"] = criterion.attr("is_fulfilled");
        out.append(entry);
    }
    return out;
}

py::str rubric_repr(py::object self) {
    return pyglue::record_repr(self, {{"criteria", py::int_(py::len(self.attr("criteria")))},
                                      {"total_marks", self.attr("total_marks")()},
                                      {"awarded_marks", self.attr("get_awarded_marks")()}});
}

}  // namespace
}  // namespace quorvan::records

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(rubric, m) {
    using namespace quorvan::records;
    m.doc() = "A marking rubric and its criteria.";

    py::class_<CriterionTag> criterion(m, "Criterion", py::dynamic_attr(),
                                       "One observable point of an answer and the marks it carries.");
    pyglue::def_init(criterion, &criterion_init, py::arg("statement"), py::arg("mark"));
    criterion.def(
        "set_fulfill",
        [](py::object self, py::object value) { self.attr("is_fulfilled") = py::bool_(pyglue::truth(value)); },
        py::arg("value"), "Mark the criterion as met or not (stored as a bool).");
    criterion.def("__repr__", &criterion_repr);
    pyglue::def_record(criterion);

    py::class_<RubricTag> rubric(m, "Rubric", py::dynamic_attr(),
                                 "The criteria a question is marked against, in order.");
    pyglue::def_init(rubric, &rubric_init, py::arg("criteria") = py::none());
    rubric.def(
        "total_marks", [](py::object self) { return sum_marks(self, false); },
        "The sum of all criteria marks, as a float.");
    rubric.def(
        "get_awarded_marks", [](py::object self) { return sum_marks(self, true); },
        "The sum of the marks of the fulfilled criteria, as a float.");
    rubric.def("to_list", &to_list,
               "A new list with one dict per criterion: statement, mark, is_fulfilled.");
    rubric.def("__repr__", &rubric_repr);
    pyglue::def_record(rubric);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
