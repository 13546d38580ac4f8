// quorvan_core.datastructures.answersheet: one student's answers.
#include "checks.hpp"
#include "records.hpp"
#include "text.hpp"

namespace quorvan::records {
namespace py = pybind11;

namespace {

struct AnswersheetTag {};
struct AnswerTag {};

constexpr Py_ssize_t kPreview = 40;

// ------------------------------------------------------------------ Answer

void answer_init(py::handle self, py::object q_id, py::object text, py::object pages) {
    pyglue::need_str_instance(q_id, "q_id");
    pyglue::need_str_instance(text, "text");
    pyglue::need_list(pages, "pages");
    self.attr("q_id") = q_id;
    self.attr("text") = text;
    self.attr("pages") = pages;
    self.attr("eval_rubric") = py::none();
    self.attr("feedback") = py::none();
    // No evaluation_result: readers test hasattr() to learn whether one was given.
}

py::str answer_repr(py::object self) {
    return pyglue::record_repr(self, {{"q_id", self.attr("q_id")},
                                      {"pages", self.attr("pages")},
                                      {"text", pyglue::clip(self.attr("text"), kPreview)}});
}

// ------------------------------------------------------------- Answersheet

void sheet_init(py::handle self, py::object subject, py::object language, py::object class_level) {
    pyglue::need_str_instance(subject, "subject");
    pyglue::need_str_instance(language, "language");
    pyglue::need_str_instance(class_level, "class_level");
    self.attr("subject") = subject;
    self.attr("language") = language;
    self.attr("class_level") = class_level;
    self.attr("answers") = py::dict();
}

void add_answer(py::object self, py::object q_id, py::object answer) {
    pyglue::need_str_instance(q_id, "q_id");
    self.attr("answers")[q_id] = answer;
}

py::list get_question_ids(py::object self) {
    // Always a fresh list: callers may change it without touching the sheet.
    PyObject* ids = PySequence_List(py::object(self.attr("answers")).ptr());
    if (!ids) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(ids);
}

py::object get_answer(py::object self, py::object q_id) {
    return self.attr("answers").attr("get")(q_id);
}

py::str sheet_repr(py::object self) {
    return pyglue::record_repr(self, {{"subject", self.attr("subject")},
                                      {"language", self.attr("language")},
                                      {"class_level", self.attr("class_level")},
                                      {"answers", py::int_(py::len(self.attr("answers")))}});
}

}  // namespace
}  // namespace quorvan::records

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(answersheet, m) {
    using namespace quorvan::records;
    m.doc() = "One student's answers to a question paper.";

    py::class_<AnswerTag> answer(m, "Answer", py::dynamic_attr(),
                                 "A student's answer to one question, the pages it stands on, and its "
                                 "evaluation once marked.");
    pyglue::def_init(answer, &answer_init, py::arg("q_id"), py::arg("text"), py::arg("pages"));
    answer.def(
        "set_eval_rubric", [](py::object self, py::object rubric) { self.attr("eval_rubric") = rubric; },
        py::arg("rubric"), "Store the marked copy of the question's rubric.");
    answer.def(
        "set_feedback", [](py::object self, py::object text) { self.attr("feedback") = text; },
        py::arg("text"), "Store the feedback written for this answer.");
    answer.def("__repr__", &answer_repr);
    pyglue::def_record(answer);

    py::class_<AnswersheetTag> sheet(m, "Answersheet", py::dynamic_attr(),
                                     "A student's answer sheet: subject, language, class level and the "
                                     "answers in the order they were added.");
    pyglue::def_init(sheet, &sheet_init, py::arg("subject"), py::arg("language"), py::arg("class_level"));
    sheet.def("add_answer", &add_answer, py::arg("q_id"), py::arg("answer"),
              "Store an answer under a question id; an answer with the same id is replaced in place.");
    sheet.def("get_question_ids", &get_question_ids, "A new list of the answered question ids, in order.");
    sheet.def("get_answer", &get_answer, py::arg("q_id"), "The answer under this id, or None.");
    sheet.def("__repr__", &sheet_repr);
    pyglue::def_record(sheet);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
