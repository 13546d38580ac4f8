// Saving and printing through the pipelines, and the packaged JSON example.
// (The paper's own JSON, read and written, is paper_json.cpp.)
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

// The format test ignores case; the value is handed on unchanged.
void check_format(py::handle format) {
    py::object lowered = format.attr("lower")();
    if (!lowered.equal(py::str("json")) && !lowered.equal(py::str("txt"))) {
        fail("ValidationError", "Format must be 'json' or 'txt'");
    }
}

void check_answersheet(py::handle answersheet) {
    if (!is_a(answersheet, "Answersheet")) fail("ValidationError", "answersheet must be an Answersheet instance");
}

void save_question_paper(py::object self, py::object output_path, py::object format) {
    pyglue::need_str(output_path, "output_path");
    pyglue::need_str(format, "format");
    guarded(self, {"ProcessingError", "Failed to save question paper: ", {"ValidationError"}}, [&] {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        check_format(format);
        self.attr("question_paper_service")
            .attr("save_to_file")(py::arg("question_paper") = self.attr("current_question_paper"),
                                  py::arg("output_path") = output_path, py::arg("format") = format);
    });
}

void save_answersheet(py::object self, py::object answersheet, py::object output_path, py::object format) {
    pyglue::need_str(output_path, "output_path");
    pyglue::need_str(format, "format");
    guarded(self, {"ProcessingError", "Failed to save answersheet: ", {"ValidationError"}}, [&] {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        check_answersheet(answersheet);
        check_format(format);
        self.attr("answersheet_service")
            .attr("save_to_file")(py::arg("answersheet") = answersheet,
                                  py::arg("question_paper") = self.attr("current_question_paper"),
                                  py::arg("output_path") = output_path, py::arg("format") = format);
    });
}

// The two summaries report a failure in one line and never raise.
void print_question_paper_summary(py::object self) {
    reported(
        [&] {
            self.attr("_validate_configured")();
            self.attr("_validate_question_paper_loaded")();
            self.attr("question_paper_service").attr("print_summary")(self.attr("current_question_paper"));
        },
        [](py::handle e) { pyglue::print(pyglue::cat("Error printing summary: ", e)); });
}

void print_answersheet_summary(py::object self, py::object answersheet) {
    reported(
        [&] {
            self.attr("_validate_configured")();
            self.attr("_validate_question_paper_loaded")();
            check_answersheet(answersheet);
            self.attr("answersheet_service")
                .attr("print_summary")(answersheet, self.attr("current_question_paper"));
        },
        [](py::handle e) { pyglue::print(pyglue::cat("Error printing answersheet summary: ", e)); });
}

// ------------------------------------------------------------ the example

py::dict criterion(const char* statement, double mark) {
    py::dict c;
    c["statement"] = statement;
    c["mark"] = py::float_(mark);
    return c;
}

py::dict example_question(const char* q_id, const char* text, long max_marks,
                          std::initializer_list<py::dict> criteria, const char* reference_answer) {
    py::list criteria_list;
    for (const py::dict& c : criteria) criteria_list.append(c);
    py::dict rubric;
    rubric["criteria"] = criteria_list;
    py::dict q;
    q["q_id"] = q_id;
    q["question_text"] = text;
    q["max_marks"] = py::int_(max_marks);
    q["rubric"] = rubric;
    q["reference_answer"] = reference_answer;
    return q;
}

py::dict example_data() {
    py::list questions;
    questions.append(example_question(
        "Q1", "Solve for x: 2x + 5 = 15", 3,
        {criterion("Correct algebraic manipulation", 2.0), criterion("Clear presentation", 1.0)},
        "2x + 5 = 15\n2x = 15 - 5\n2x = 10\nx = 5"));
    questions.append(example_question(
        "Q2", "What is the area of a circle with radius 5 cm?", 2,
        {criterion("Correct formula usage", 1.0), criterion("Correct calculation", 1.0)},
        "Area = \u03c0r\u00b2 = \u03c0 \u00d7 5\u00b2 = 25\u03c0 \u2248 78.54 cm\u00b2"));
    py::dict data;
    data["subject"] = "Mathematics";
    data["class_level"] = "Grade 10";
    data["questions"] = questions;
    return data;
}

void example_json_workflow() {
    reported(
        [] {
            py::object config = M("QurovanConfig")(py::arg("extractor_type") = "aws",
                                                   py::arg("openai_api_key") = M("os").attr("getenv")("OPENAI_API_KEY"));
            py::object quorvan = M("Quorvan")();
            quorvan.attr("configure")(config);
            py::object question_paper = quorvan.attr("question_paper_from_json")(example_data());
            quorvan.attr("change_question_paper")(question_paper);
            quorvan.attr("process_answersheet")("student_answer.pdf");
            pyglue::print("JSON workflow completed successfully!");
        },
        [](py::handle e) { pyglue::print(pyglue::cat("Error in JSON workflow: ", e)); });
}

}  // namespace

void init_persistence(FacadeClass& cls) {
    cls.def("save_question_paper", &save_question_paper, py::arg("output_path"), py::arg("format") = "json",
            "Save the current question paper as JSON or text.");
    cls.def("save_answersheet", &save_answersheet, py::arg("answersheet"), py::arg("output_path"),
            py::arg("format") = "json", "Save an evaluated answer sheet, with the current paper, as JSON or text.");
    cls.def("print_question_paper_summary", &print_question_paper_summary,
            "Print the current question paper's summary.");
    cls.def("print_answersheet_summary", &print_answersheet_summary, py::arg("answersheet"),
            "Print an answer sheet's summary against the current question paper.");
}

void init_example(py::module_& m) {
    m.def("example_json_workflow", &example_json_workflow,
          "Configure, import a question paper with rubrics from JSON, and mark student_answer.pdf.");
}

}  // namespace quorvan::facade
