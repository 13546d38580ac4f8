// Runtime corrections of a paper's rubrics and reference answers, question by
// question, each reported; one that fails leaves the others updated.
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

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

}  // namespace

void init_corrections(FacadeClass& cls) {
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
    cls.def("update_rubrics_from_dict", &update_rubrics_from_dict, py::arg("question_paper"),
            py::arg("rubrics_dict_data"), "Replace rubrics given as lists of criterion dicts, per question id.");
}

}  // namespace quorvan::facade
