// A question paper's JSON, both ways: import (question_paper_from_json and
// the rubric builders) and export (export_question_paper), which writes what
// the import reads. Every criterion read from JSON goes through one reader.
#include <cmath>

#include "../shared/rubric_json.hpp"
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

// float(value) when it is a finite number. A refusal by float() (ValueError or
// TypeError) is kept as the context of the caller's ValidationError; NaN and
// infinities are refused too, since one would poison every total after it.
struct Number {
    py::object value;    // null when refused
    py::object refusal;  // the error float() raised, if any
};

Number finite_float(py::handle v) {
    PyObject* f = PyNumber_Float(v.ptr());
    if (!f) {
        py::error_already_set e;
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw e;
        return {py::object(), e.value()};
    }
    py::object value = py::reinterpret_steal<py::object>(f);
    if (!std::isfinite(PyFloat_AS_DOUBLE(f))) return {};
    return {value, py::object()};
}

double as_double(const py::object& f) { return PyFloat_AS_DOUBLE(f.ptr()); }

py::object item(py::handle mapping, const char* key) { return py::reinterpret_borrow<py::object>(mapping)[key]; }

// ------------------------------------------------------------ criteria

// How the reader names a criterion in its errors: by position ("Criterion 2
// must be a dictionary") or, in a whole paper, generically ("Each criterion
// must be a dictionary").
enum class Naming { ByPosition, Generic };

// Criterion objects from a list of {"statement": ..., "mark": ...} dicts; the
// mark must be a finite non-negative number, the statement is taken as str().
py::list read_criteria(py::handle criteria_data, Naming naming) {
    py::list criteria;
    long i = 0;
    for (py::handle element : py::iter(criteria_data)) {
        py::str each = naming == Naming::ByPosition ? pyglue::cat("Criterion ", i) : py::str("Each criterion");
        py::str one = naming == Naming::ByPosition ? each : py::str("Criterion");
        if (!PyDict_Check(element.ptr())) fail("ValidationError", pyglue::cat(each, " must be a dictionary"));
        if (!pyglue::contains(element, py::str("statement")) || !pyglue::contains(element, py::str("mark"))) {
            fail("ValidationError", pyglue::cat(each, " must have 'statement' and 'mark' fields"));
        }
        Number mark = finite_float(item(element, "mark"));
        if (!mark.value || as_double(mark.value) < 0) {
            fail("ValidationError", pyglue::cat(one, " mark must be a non-negative number"), mark.refusal);
        }
        criteria.append(M("Criterion")(py::arg("statement") = pyglue::str(item(element, "statement")),
                                       py::arg("mark") = mark.value));
        ++i;
    }
    return criteria;
}

py::object create_rubric_from_dict(py::object criteria_data) {
    pyglue::need_list(criteria_data, "criteria_data");
    return guarded(py::handle(), {"ValidationError", "Failed to create rubric: ", {"ValidationError"}}, [&] {
        return M("Rubric")(py::arg("criteria") = read_criteria(criteria_data, Naming::ByPosition));
    });
}

// -------------------------------------------------------------- import

// The paper the JSON (text or a dict) describes, every question checked.
py::object read_question_paper(py::object self, py::object json_data) {
    py::object data = json_data;
    if (PyUnicode_Check(data.ptr())) {
        py::object json = M("json");
        try {
            data = json.attr("loads")(json_data);
        } catch (py::error_already_set& e) {
            py::object decode_error = json.attr("JSONDecodeError");
            if (!e.matches(decode_error)) throw;
            fail("ValidationError", pyglue::cat("Invalid JSON format: ", e.value()), e.value());
        }
    }
    for (const char* field : {"subject", "class_level", "questions"}) {
        if (!pyglue::contains(data, py::str(field))) {
            fail("ValidationError", pyglue::cat("Missing required field: ", field));
        }
    }
    py::object questions = item(data, "questions");
    if (!PyList_Check(questions.ptr()) || py::len(questions) == 0) {
        fail("ValidationError", "Questions must be a non-empty list");
    }

    pyglue::print("Creating QuestionPaper from JSON...");
    py::object question_paper =
        M("QuestionPaper")(py::arg("subject") = item(data, "subject"),
                           py::arg("language") = data.attr("get")("language", "English"),
                           py::arg("class_level") = item(data, "class_level"));
    for (py::handle q_data : py::iter(item(data, "questions"))) {
        self.attr("_validate_question_json")(q_data);
        py::object max_marks = py::reinterpret_steal<py::object>(PyNumber_Float(item(q_data, "max_marks").ptr()));
        if (!max_marks) throw py::error_already_set();
        py::object question = M("Question")(py::arg("q_id") = item(q_data, "q_id"),
                                            py::arg("text") = item(q_data, "question_text"),
                                            py::arg("max_marks") = max_marks);
        if (pyglue::contains(q_data, py::str("rubric")) && pyglue::truth(item(q_data, "rubric"))) {
            question.attr("rubric") = self.attr("_create_rubric_from_json")(item(q_data, "rubric"));
        }
        if (pyglue::contains(q_data, py::str("reference_answer")) && pyglue::truth(item(q_data, "reference_answer"))) {
            question.attr("reference_answer") = item(q_data, "reference_answer");
        }
        question_paper.attr("add_question")(question);
    }

    pyglue::print("QuestionPaper created successfully from JSON!");
    pyglue::print(pyglue::cat("Created ", py::len(question_paper.attr("get_question_ids")()), " questions"));
    pyglue::print(pyglue::cat("Total marks: ", question_paper.attr("get_total_marks")()));
    return question_paper;
}

py::object question_paper_from_json(py::object self, py::object json_data) {
    return guarded(self, {"ValidationError", "Failed to create QuestionPaper from JSON: ", {"ValidationError"}}, [&] {
        self.attr("_validate_configured")();
        return read_question_paper(self, json_data);
    });
}

// The same paper from a facade not configured yet: for quorvan mark, which
// plans a run from its paper before it knows whether the run calls the model.
py::object question_paper_from_json_unconfigured(py::object self, py::object json_data) {
    return guarded(self, {"ValidationError", "Failed to create QuestionPaper from JSON: ", {"ValidationError"}},
                   [&] { return read_question_paper(self, json_data); });
}

void validate_question_json(py::object /*self*/, py::object q_data) {
    pyglue::need_dict(q_data, "q_data");
    for (const char* field : {"q_id", "question_text", "max_marks"}) {
        if (!pyglue::contains(q_data, py::str(field))) {
            fail("ValidationError", pyglue::cat("Question missing required field: ", field));
        }
    }
    py::object q_id = item(q_data, "q_id");
    if (!PyUnicode_Check(q_id.ptr()) || !pyglue::truth(q_id.attr("strip")())) {
        fail("ValidationError", "q_id must be a non-empty string");
    }
    py::object text = item(q_data, "question_text");
    if (!PyUnicode_Check(text.ptr()) || !pyglue::truth(text.attr("strip")())) {
        fail("ValidationError", "question_text must be a non-empty string");
    }
    Number marks = finite_float(item(q_data, "max_marks"));
    if (!marks.value || as_double(marks.value) <= 0) {
        fail("ValidationError", py::str("max_marks must be a positive number"), marks.refusal);
    }
}

py::object create_rubric_from_json(py::object /*self*/, py::object rubric_data) {
    pyglue::need_dict(rubric_data, "rubric_data");
    if (!pyglue::contains(rubric_data, py::str("criteria"))) fail("ValidationError", "Rubric must contain 'criteria' field");
    py::object criteria_data = item(rubric_data, "criteria");
    if (!PyList_Check(criteria_data.ptr())) fail("ValidationError", "Rubric criteria must be a list");
    return M("Rubric")(py::arg("criteria") = read_criteria(criteria_data, Naming::Generic));
}

// -------------------------------------------------------------- export

// The current paper as the JSON question_paper_from_json reads: every
// question with its rubric and reference answer when it has them, nothing
// else, so export, edit by hand, import is a round trip that loses nothing.
py::dict importable_paper(const py::object& paper) {
    py::list questions;
    for (py::handle q_id : py::object(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        py::dict entry;
        entry["q_id"] = question.attr("q_id");
        entry["question_text"] = question.attr("text");
        entry["max_marks"] = question.attr("max_marks");
        py::object rubric = question.attr("rubric");
        if (pyglue::truth(rubric)) entry["rubric"] = paper_file::rubric_json(rubric);
        py::object reference = question.attr("reference_answer");
        if (pyglue::truth(reference)) entry["reference_answer"] = reference;
        questions.append(entry);
    }
    py::dict data;
    data["subject"] = paper.attr("subject");
    data["language"] = paper.attr("language");
    data["class_level"] = paper.attr("class_level");
    data["questions"] = questions;
    return data;
}

void export_question_paper(py::object self, py::object output_path) {
    pyglue::need_str(output_path, "output_path");
    guarded(self, {"ProcessingError", "Failed to export question paper: ", {"ValidationError"}}, [&] {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        py::dict data = importable_paper(self.attr("current_question_paper"));
        py::object text = M("json").attr("dumps")(data, py::arg("indent") = 4, py::arg("ensure_ascii") = false);
        py::object folder = M("os").attr("path").attr("dirname")(output_path);
        if (pyglue::truth(folder)) M("os").attr("makedirs")(folder, py::arg("exist_ok") = true);
        pyglue::write_text_atomic(output_path, text);
        pyglue::print(pyglue::cat("Question paper exported to: ", output_path));
    });
}

}  // namespace

void init_paper_json(FacadeClass& cls) {
    cls.def_static("create_rubric_from_dict", &create_rubric_from_dict, py::arg("criteria_data"),
                   "Build a Rubric from a list of {'statement': ..., 'mark': ...} dicts.");
    cls.def("question_paper_from_json", &question_paper_from_json, py::arg("json_data"),
            "Build a QuestionPaper (with optional rubrics and reference answers) from JSON text or a dict.");
    cls.def("_question_paper_from_json", &question_paper_from_json_unconfigured, py::arg("json_data"));
    cls.def("_validate_question_json", &validate_question_json, py::arg("q_data"));
    cls.def("_create_rubric_from_json", &create_rubric_from_json, py::arg("rubric_data"));
    cls.def("export_question_paper", &export_question_paper, py::arg("output_path"),
            "Write the current question paper, with its rubrics and reference answers, as the JSON that "
            "question_paper_from_json reads (all or nothing: a failed write leaves any earlier file as it was).");
}

}  // namespace quorvan::facade
