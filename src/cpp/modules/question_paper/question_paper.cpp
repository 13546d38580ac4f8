// quorvan_core.datastructures.question_paper: a question paper and its questions.
#include "checks.hpp"
#include "errors.hpp"
#include "records.hpp"
#include "text.hpp"

namespace quorvan::records {
namespace py = pybind11;

namespace {

struct QuestionPaperTag {};
struct QuestionTag {};

constexpr Py_ssize_t kPreview = 40;

// ---------------------------------------------------------------- Question

void question_init(py::handle self, py::object q_id, py::object text, py::object max_marks) {
    pyglue::need_str_instance(q_id, "q_id");
    pyglue::need_str_instance(text, "text");
    py::object marks = pyglue::need_float(max_marks, "max_marks");
    self.attr("q_id") = q_id;
    self.attr("text") = text;
    self.attr("max_marks") = marks;
    self.attr("rubric") = py::none();
    self.attr("reference_answer") = py::none();
}

py::str question_repr(py::object self) {
    return pyglue::record_repr(self, {{"q_id", self.attr("q_id")},
                                      {"max_marks", self.attr("max_marks")},
                                      {"text", pyglue::clip(self.attr("text"), kPreview)}});
}

// ----------------------------------------------------------- QuestionPaper

void paper_init(py::handle self, py::object subject, py::object language, py::object class_level) {
    pyglue::need_str_instance(subject, "subject");
    pyglue::need_str_instance(language, "language");
    pyglue::need_str_instance(class_level, "class_level");
    self.attr("subject") = subject;
    self.attr("language") = language;
    self.attr("class_level") = class_level;
    self.attr("questions") = py::dict();
}

void add_question(py::object self, py::object question) {
    // Assigning to an existing key keeps its place: a replaced question stays where it was.
    self.attr("questions")[question.attr("q_id")] = question;
}

py::object get_question(py::object self, py::object q_id) {
    py::object questions = self.attr("questions");
    int found = PySequence_Contains(questions.ptr(), q_id.ptr());
    if (found < 0) throw py::error_already_set();
    if (!found) {
        pyglue::raise_new(PyExc_KeyError, pyglue::cat("Question ID '", q_id, "' not found in question paper"));
    }
    return questions[q_id];
}

py::list get_question_ids(py::object self) {
    // Always a fresh list: callers may change it without touching the paper.
    PyObject* ids = PySequence_List(py::object(self.attr("questions")).ptr());
    if (!ids) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(ids);
}

py::dict get_all_questions(py::object self) {
    py::object questions = self.attr("questions");
    PyObject* copy = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), questions.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
}

py::float_ get_total_marks(py::object self) {
    // Added as Python numbers, so a replaced value fails the way `sum` would.
    py::object total = py::float_(0.0);
    for (py::handle question : py::object(self.attr("questions").attr("values")())) {
        total = total + question.attr("max_marks");
    }
    return py::float_(total);
}

void add_reference_answer(py::object self, py::object q_id, py::object text) {
    self.attr("get_question")(q_id).attr("set_reference_answer")(text);
}

py::str paper_repr(py::object self) {
    return pyglue::record_repr(self, {{"subject", self.attr("subject")},
                                      {"language", self.attr("language")},
                                      {"class_level", self.attr("class_level")},
                                      {"questions", py::int_(py::len(self.attr("questions")))}});
}

}  // namespace
}  // namespace quorvan::records

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(question_paper, m) {
    using namespace quorvan::records;
    m.doc() = "A question paper and its questions.";

    py::class_<QuestionTag> question(m, "Question", py::dynamic_attr(),
                                     "One question: its id, text and maximum marks, with the rubric and "
                                     "reference answer it is marked against.");
    pyglue::def_init(question, &question_init, py::arg("q_id"), py::arg("text"), py::arg("max_marks"));
    question.def(
        "set_rubric", [](py::object self, py::object rubric) { self.attr("rubric") = rubric; },
        py::arg("rubric"), "Store the rubric this question is marked against.");
    question.def(
        "set_reference_answer", [](py::object self, py::object text) { self.attr("reference_answer") = text; },
        py::arg("text"), "Store the model answer for this question.");
    question.def("__repr__", &question_repr);
    pyglue::def_record(question);

    py::class_<QuestionPaperTag> paper(m, "QuestionPaper", py::dynamic_attr(),
                                       "A question paper: subject, language, class level and its questions "
                                       "in the order they were added.");
    pyglue::def_init(paper, &paper_init, py::arg("subject"), py::arg("language"), py::arg("class_level"));
    paper.def("add_question", &add_question, py::arg("question"),
              "Add a question under its id; a question with the same id is replaced in place.");
    paper.def("get_question", &get_question, py::arg("q_id"),
              "The question with this id; KeyError when the paper has none.");
    paper.def("get_question_ids", &get_question_ids, "A new list of the question ids, in order.");
    paper.def("get_all_questions", &get_all_questions, "A new dict from question id to question, in order.");
    paper.def("get_total_marks", &get_total_marks, "The sum of the questions' maximum marks, as a float.");
    paper.def("add_reference_answer", &add_reference_answer, py::arg("q_id"), py::arg("text"),
              "Set the reference answer of the question with this id.");
    paper.def("__repr__", &paper_repr);
    pyglue::def_record(paper);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
