// Making another question paper the current one.
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

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

}  // namespace

void init_paper_switch(FacadeClass& cls) {
    cls.def("change_question_paper", &change_question_paper, py::arg("question_paper"),
            "Make another question paper the current one.");
}

}  // namespace quorvan::facade
