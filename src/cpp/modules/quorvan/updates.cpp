// Runtime corrections of rubrics and reference answers, the current paper
// switch, and question papers imported from JSON.
#include <cmath>

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

// --------------------------------------------------- rubric / answer updates

struct Update {
    const char* summary_key;
    const char* failure_prefix;
    const char* plural;    // "rubrics"
    const char* one;       // "rubric"
    const char* One;       // "Rubric"
    void (*apply)(py::handle question_paper, py::handle q_id, py::handle value);
};

void apply_rubric(py::handle question_paper, py::handle q_id, py::handle rubric) {
    if (!is_a(rubric, "Rubric")) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Rubric for ", q_id, " must be a Rubric instance"));
    }
    question_paper.attr("get_question")(q_id).attr("set_rubric")(rubric);
}

void apply_reference_answer(py::handle question_paper, py::handle q_id, py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Reference answer for ", q_id, " must be a string"));
    }
    if (!pyglue::truth(text.attr("strip")())) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Reference answer for ", q_id, " cannot be empty"));
    }
    // Stored as given: leading or trailing blanks may be deliberate.
    question_paper.attr("get_question")(q_id).attr("set_reference_answer")(text);
}

constexpr Update kRubricUpdate{"rubric_update", "Failed to update rubrics: ", "rubrics", "rubric", "Rubric",
                               &apply_rubric};
constexpr Update kReferenceAnswerUpdate{"reference_answer_update", "Failed to update reference answers: ",
                                        "reference answers", "reference answer", "Reference answer",
                                        &apply_reference_answer};

void update_questions(const Update& u, py::object self, py::object question_paper, py::object data,
                      const char* data_arg) {
    pyglue::need_dict(data, data_arg);

    const Guard guard{"ProcessingError", u.failure_prefix, {"ValidationError"}, u.summary_key};
    guarded(self, guard, [&] {
        self.attr("_validate_configured")();
        if (!is_a(question_paper, "QuestionPaper")) {
            fail("ValidationError", "question_paper must be a QuestionPaper instance");
        }
        py::list question_ids(data.attr("keys")());
        self.attr("_validate_question_ids_for_paper")(question_ids, question_paper);
        pyglue::print(pyglue::cat("Updating ", u.plural, " for ", py::len(question_ids), " questions..."));

        long updated = 0;
        py::list failed;
        for (py::handle pair : py::iter(data.attr("items")())) {
            py::object q_id = pair[py::int_(0)];
            py::object value = pair[py::int_(1)];
            reported(
                [&] {
                    pyglue::print(pyglue::cat("Updating ", u.one, " for question ", q_id, "..."));
                    u.apply(question_paper, q_id, value);
                    ++updated;
                    pyglue::print(pyglue::cat("   ", u.One, " updated for ", q_id));
                },
                [&](py::handle e) {
                    failed.append(q_id);
                    pyglue::print(pyglue::cat("   Failed to update ", u.one, " for ", q_id, ": ", e));
                });
        }

        py::dict entry;
        entry["status"] = "completed";
        entry["target_questions"] = question_ids;
        entry["updated_count"] = py::int_(updated);
        entry["failed_count"] = py::int_(py::len(failed));
        entry["failed_questions"] = failed;
        record(self, u.summary_key, entry);

        pyglue::print(pyglue::cat(u.One, " update completed!"));
        pyglue::print(pyglue::cat("Updated: ", updated, "/", py::len(question_ids), " questions"));
        if (py::len(failed) > 0) pyglue::print(pyglue::cat("Failed to update ", u.plural, " for: ", failed));
    });
}

// ------------------------------------------------------------ rubric builders

py::object create_rubric_from_dict(py::object criteria_data) {
    pyglue::need_list(criteria_data, "criteria_data");
    return guarded(py::handle(), {"ValidationError", "Failed to create rubric: ", {"ValidationError"}}, [&] {
        py::list criteria;
        long i = 0;
        for (py::handle element : py::iter(criteria_data)) {
            if (!PyDict_Check(element.ptr())) fail("ValidationError", pyglue::cat("Criterion ", i, " must be a dictionary"));
            if (!pyglue::contains(element, py::str("statement")) || !pyglue::contains(element, py::str("mark"))) {
                fail("ValidationError", pyglue::cat("Criterion ", i, " must have 'statement' and 'mark' fields"));
            }
            Number mark = finite_float(item(element, "mark"));
            if (!mark.value || as_double(mark.value) < 0) {
                fail("ValidationError", pyglue::cat("Criterion ", i, " mark must be a non-negative number"),
                     mark.refusal);
            }
            criteria.append(M("Criterion")(py::arg("statement") = pyglue::str(item(element, "statement")),
                                           py::arg("mark") = mark.value));
            ++i;
        }
        return M("Rubric")(py::arg("criteria") = criteria);
    });
}

void update_rubrics_from_dict(py::object self, py::object question_paper, py::object rubrics_dict_data) {
    pyglue::need_dict(rubrics_dict_data, "rubrics_dict_data");
    const Guard guard{"ProcessingError", "Failed to update rubrics from dict: ", {"ValidationError", "ProcessingError"}};
    guarded(self, guard, [&] {
        // Every rubric is built before any question changes.
        py::dict rubrics_data;
        for (py::handle pair : py::iter(rubrics_dict_data.attr("items")())) {
            py::object q_id = pair[py::int_(0)];
            rubrics_data[q_id] = self.attr("create_rubric_from_dict")(pair[py::int_(1)]);
        }
        self.attr("update_rubrics_for_questions")(question_paper, rubrics_data);
    });
}

// ------------------------------------------------------------ paper switch

py::object change_question_paper(py::object self, py::object question_paper) {
    return guarded(self, {"ProcessingError", "Failed to change question paper: "}, [&] {
        self.attr("_validate_configured")();
        if (!is_a(question_paper, "QuestionPaper")) {
            fail("ValidationError", "question_paper must be a QuestionPaper instance");
        }
        if (!pyglue::truth(question_paper.attr("get_question_ids")())) {
            fail("ValidationError", "Question paper must contain at least one question");
        }
        pyglue::print("Changing question paper...");
        self.attr("current_question_paper") = question_paper;
        pyglue::print("Question paper changed successfully!");
        pyglue::print(pyglue::cat("New question paper has ", py::len(question_paper.attr("get_question_ids")()),
                                  " questions"));
        pyglue::print(pyglue::cat("Total marks: ", question_paper.attr("get_total_marks")()));
        py::dict entry;
        entry["status"] = "success";
        entry["total_questions"] = py::int_(py::len(question_paper.attr("get_question_ids")()));
        entry["total_marks"] = question_paper.attr("get_total_marks")();
        entry["subject"] = question_paper.attr("subject");
        entry["class_level"] = question_paper.attr("class_level");
        record(self, "question_paper_change", entry);
        return question_paper;
    });
}

// -------------------------------------------------------------- JSON import

py::object question_paper_from_json(py::object self, py::object json_data) {
    const Guard guard{"ValidationError", "Failed to create QuestionPaper from JSON: ", {"ValidationError"}};
    return guarded(self, guard, [&] {
        self.attr("_validate_configured")();
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
    });
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
    py::list criteria;
    for (py::handle element : py::iter(criteria_data)) {
        if (!PyDict_Check(element.ptr())) fail("ValidationError", "Each criterion must be a dictionary");
        if (!pyglue::contains(element, py::str("statement")) || !pyglue::contains(element, py::str("mark"))) {
            fail("ValidationError", "Each criterion must have 'statement' and 'mark' fields");
        }
        Number mark = finite_float(item(element, "mark"));
        if (!mark.value || as_double(mark.value) < 0) {
            fail("ValidationError", py::str("Criterion mark must be a non-negative number"), mark.refusal);
        }
        criteria.append(M("Criterion")(py::arg("statement") = pyglue::str(item(element, "statement")),
                                       py::arg("mark") = mark.value));
    }
    return M("Rubric")(py::arg("criteria") = criteria);
}

}  // namespace

void init_updates(FacadeClass& cls) {
    cls.def(
        "update_rubrics_for_questions",
        [](py::object self, py::object question_paper, py::object rubrics_data) {
            update_questions(kRubricUpdate, self, question_paper, rubrics_data, "rubrics_data");
        },
        py::arg("question_paper"), py::arg("rubrics_data"), "Replace the rubrics of the given questions.");
    cls.def(
        "update_reference_answers_for_questions",
        [](py::object self, py::object question_paper, py::object reference_answers_data) {
            update_questions(kReferenceAnswerUpdate, self, question_paper, reference_answers_data,
                             "reference_answers_data");
        },
        py::arg("question_paper"), py::arg("reference_answers_data"),
        "Replace the reference answers of the given questions.");
    cls.def_static("create_rubric_from_dict", &create_rubric_from_dict, py::arg("criteria_data"),
                   "Build a Rubric from a list of {'statement': ..., 'mark': ...} dicts.");
    cls.def("update_rubrics_from_dict", &update_rubrics_from_dict, py::arg("question_paper"),
            py::arg("rubrics_dict_data"), "Replace rubrics given as lists of criterion dicts, per question id.");
    cls.def("change_question_paper", &change_question_paper, py::arg("question_paper"),
            "Make another question paper the current one.");
    cls.def("question_paper_from_json", &question_paper_from_json, py::arg("json_data"),
            "Build a QuestionPaper (with optional rubrics and reference answers) from JSON text or a dict.");
    cls.def("_validate_question_json", &validate_question_json, py::arg("q_data"));
    cls.def("_create_rubric_from_json", &create_rubric_from_json, py::arg("rubric_data"));
}

}  // namespace quorvan::facade
