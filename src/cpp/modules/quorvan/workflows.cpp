// The marking workflows, the accessors and the input validators.
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

py::dict success_entry(std::initializer_list<std::pair<const char*, py::object>> fields) {
    py::dict entry;
    entry["status"] = "success";
    for (const auto& [key, value] : fields) entry[key] = value;
    return entry;
}

py::object question_ids_of(py::handle question_paper) { return question_paper.attr("get_question_ids")(); }

// ---------------------------------------------------------- question paper

py::object process_question_paper(py::object self, py::object pdf_path, py::object subject, py::object language,
                                  py::object class_level, py::object page_numbers) {
    pyglue::need_str(pdf_path, "pdf_path");
    pyglue::need_str(subject, "subject");
    pyglue::need_str(language, "language");
    pyglue::need_str(class_level, "class_level");
    pyglue::need_opt_list(page_numbers, "page_numbers");

    const Guard guard{"ProcessingError", "Failed to process question paper: ", {}, "question_paper_processing"};
    return guarded(self, guard, [&] {
        self.attr("_validate_configured")();
        self.attr("_validate_file_path")(pdf_path);
        self.attr("_validate_question_paper_inputs")(subject, language, class_level);
        pyglue::print("Starting question paper processing workflow...");
        py::object question_paper = self.attr("question_paper_service").attr("process_pdf")(
            py::arg("pdf_path") = pdf_path, py::arg("subject") = subject, py::arg("language") = language,
            py::arg("class_level") = class_level, py::arg("page_numbers") = page_numbers);
        // Current before anything else can fail: a later failure keeps the new paper.
        self.attr("current_question_paper") = question_paper;
        py::object summary = self.attr("question_paper_service").attr("get_summary")(question_paper);
        record(self, "question_paper_processing",
               success_entry({{"pdf_path", pdf_path}, {"subject", subject}, {"language", language},
                              {"class_level", class_level}, {"processed_pages", page_numbers},
                              {"summary", summary}}));
        pyglue::print("Question paper processing completed successfully!");
        pyglue::print(pyglue::cat("Extracted ", py::len(question_ids_of(question_paper)), " questions"));
        return question_paper;
    });
}

// -------------------------------------------- rubrics and reference answers

// The texts and calls in which the two generation workflows differ.
struct Generation {
    const char* summary_key;
    const char* failure_prefix;
    const char* start_line;
    const char* what;  // "rubrics" / "reference answers"
    const char* one;   // "rubric" / "reference answer"
    const char* for_question;
    const char* for_all;
    const char* done_line;
};

constexpr Generation kRubrics{"rubric_generation",
                              "Failed to generate rubrics: ",
                              "Starting rubric generation workflow...",
                              "rubrics",
                              "rubric",
                              "generate_rubric_for_question",
                              "generate_rubrics_for_all_questions",
                              "Rubric generation completed successfully!"};

constexpr Generation kReferenceAnswers{"reference_answer_generation",
                                       "Failed to generate reference answers: ",
                                       "Starting reference answer generation workflow...",
                                       "reference answers",
                                       "reference answer",
                                       "generate_reference_answer_for_question",
                                       "generate_reference_answers_for_all_questions",
                                       "Reference answer generation completed successfully!"};

py::object generate(const Generation& g, py::object self, py::object question_paper, py::object question_ids) {
    pyglue::need_opt_list(question_ids, "question_ids");

    const Guard guard{"ProcessingError", g.failure_prefix, {}, g.summary_key};
    return guarded(self, guard, [&] {
        self.attr("_validate_configured")();
        if (!is_a(question_paper, "QuestionPaper")) {
            fail("ValidationError", "question_paper must be a QuestionPaper instance");
        }
        pyglue::print(g.start_line);
        py::object results = py::dict();
        if (pyglue::truth(question_ids)) {
            self.attr("_validate_question_ids_for_paper")(question_ids, question_paper);
            pyglue::print(pyglue::cat("Generating ", g.what, " for ", py::len(question_ids), " specific questions..."));
            long done = 0;
            for (py::handle q_id : py::iter(question_ids)) {
                // One question's failure is reported and the others go on.
                reported(
                    [&] {
                        py::object value = self.attr("question_paper_service").attr(g.for_question)(question_paper, q_id);
                        results[q_id] = value;
                        ++done;
                    },
                    [&](py::handle e) {
                        pyglue::print(pyglue::cat("Warning: Failed to generate ", g.one, " for ", q_id, ": ", e));
                    });
            }
            pyglue::print(pyglue::cat("Generated ", g.what, " for ", done, "/", py::len(question_ids), " questions"));
        } else {
            pyglue::print(pyglue::cat("Generating ", g.what, " for all questions..."));
            results = self.attr("question_paper_service").attr(g.for_all)(question_paper);
        }
        py::object target = pyglue::truth(question_ids) ? question_ids : py::str("all");
        py::object total = py::int_(py::len(question_ids_of(question_paper)));
        record(self, g.summary_key, success_entry({{"target_questions", target}, {"total_questions", total}}));
        pyglue::print(g.done_line);
        return pyglue::need_dict_result(results);
    });
}

// --------------------------------------------------------------- answersheet

py::object process_answersheet(py::object self, py::object pdf_path, py::object page_numbers) {
    pyglue::need_str(pdf_path, "pdf_path");
    pyglue::need_opt_list(page_numbers, "page_numbers");

    const Guard guard{"ProcessingError", "Failed to process answersheet: ", {}, "answersheet_processing"};
    return guarded(self, guard, [&] {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        self.attr("_validate_file_path")(pdf_path);
        pyglue::print("Starting answersheet processing workflow...");
        py::object service = self.attr("answersheet_service");
        py::object answersheet =
            service.attr("process_pdf")(py::arg("pdf_path") = pdf_path,
                                        py::arg("question_paper") = self.attr("current_question_paper"),
                                        py::arg("page_numbers") = page_numbers);
        py::object summary =
            self.attr("answersheet_service").attr("get_summary")(answersheet, self.attr("current_question_paper"));
        py::object validation = self.attr("answersheet_service")
                                    .attr("validate_processing")(answersheet, self.attr("current_question_paper"));
        record(self, "answersheet_processing",
               success_entry({{"pdf_path", pdf_path}, {"processed_pages", page_numbers}, {"summary", summary},
                              {"validation", validation}}));
        pyglue::print("Answersheet processing completed successfully!");
        pyglue::print(pyglue::cat("Processed ", summary.attr("get")("attempted_questions", 0), " student answers"));
        pyglue::print(pyglue::cat("Attempt rate: ", validation.attr("get")("attempt_rate", 0), "%"));
        if (pyglue::truth(validation.attr("get")("warnings"))) {
            pyglue::print("Validation warnings:");
            for (py::handle warning : py::iter(validation[py::str("warnings")])) {
                pyglue::print(pyglue::cat("   \u2022 ", warning));
            }
        }
        return answersheet;
    });
}

// ----------------------------------------------------------------- accessors

py::object get_token_usage_summary(py::object self) {
    py::object service = self.attr("llm_service");
    if (!pyglue::truth(service)) {
        py::dict out;
        out["status"] = "not_configured";
        return out;
    }
    return pyglue::need_dict_result(service.attr("get_total_usage")());
}

// ---------------------------------------------------------------- validators

void validate_file_path(py::object /*self*/, py::object pdf_path) {
    pyglue::need_str(pdf_path, "pdf_path");
    if (!pyglue::truth(pdf_path)) fail("ValidationError", "PDF path must be a non-empty string");
    if (!pyglue::truth(M("os").attr("path").attr("isfile")(pdf_path))) {
        fail("ValidationError", pyglue::cat("PDF file not found: ", pdf_path));
    }
    if (!pyglue::truth(pdf_path.attr("lower")().attr("endswith")(".pdf"))) {
        fail("ValidationError", pyglue::cat("File must be a PDF: ", pdf_path));
    }
}

void validate_question_paper_inputs(py::object /*self*/, py::object subject, py::object language,
                                    py::object class_level) {
    pyglue::need_str(subject, "subject");
    pyglue::need_str(language, "language");
    pyglue::need_str(class_level, "class_level");
    // Only the empty string fails: blanks are a value.
    if (!pyglue::truth(subject)) fail("ValidationError", "Subject must be a non-empty string");
    if (!pyglue::truth(language)) fail("ValidationError", "Language must be a non-empty string");
    if (!pyglue::truth(class_level)) fail("ValidationError", "Class level must be a non-empty string");
}

void validate_question_paper_loaded(py::object self) {
    if (!pyglue::truth(self.attr("current_question_paper"))) {
        fail("ValidationError", "No question paper loaded. Call process_question_paper() first.");
    }
}

// Unknown ids in their order (duplicates kept), against the ids available.
void check_ids_known(py::handle question_ids, py::handle question_paper) {
    py::set available(question_ids_of(question_paper));
    py::list invalid;
    for (py::handle q_id : py::iter(question_ids)) {
        if (!pyglue::contains(available, q_id)) invalid.append(q_id);
    }
    if (py::len(invalid) > 0) {
        fail("ValidationError",
             pyglue::cat("Invalid question IDs: ", invalid, ". Available IDs: ", py::list(available)));
    }
}

void validate_question_ids(py::object self, py::object question_ids) {
    pyglue::need_list(question_ids, "question_ids");
    if (!pyglue::truth(question_ids)) fail("ValidationError", "question_ids must be a non-empty list");
    check_ids_known(question_ids, self.attr("current_question_paper"));
}

void validate_question_ids_for_paper(py::object /*self*/, py::object question_ids, py::object question_paper) {
    pyglue::need_list(question_ids, "question_ids");
    if (!pyglue::truth(question_ids)) fail("ValidationError", "question_ids must be a non-empty list");
    if (!is_a(question_paper, "QuestionPaper")) {
        fail("ValidationError", "question_paper must be a QuestionPaper instance");
    }
    check_ids_known(question_ids, question_paper);
}

}  // namespace

void init_workflows(FacadeClass& cls) {
    cls.def("process_question_paper", &process_question_paper, py::arg("pdf_path"), py::arg("subject"),
            py::arg("language"), py::arg("class_level"), py::arg("page_numbers") = py::none(),
            "Turn a question paper PDF into a QuestionPaper and make it the current paper.");
    cls.def(
        "generate_rubrics",
        [](py::object self, py::object question_paper, py::object question_ids) {
            return generate(kRubrics, self, question_paper, question_ids);
        },
        py::arg("question_paper"), py::arg("question_ids") = py::none(),
        "Generate rubrics for the given questions, or for all questions that lack one.");
    cls.def(
        "generate_reference_answers",
        [](py::object self, py::object question_paper, py::object question_ids) {
            return generate(kReferenceAnswers, self, question_paper, question_ids);
        },
        py::arg("question_paper"), py::arg("question_ids") = py::none(),
        "Generate reference answers for the given questions, or for all that need one.");
    cls.def("process_answersheet", &process_answersheet, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
            "Extract, parse and evaluate an answer sheet PDF against the current question paper.");
    cls.def(
        "get_current_question_paper", [](py::object self) { return self.attr("current_question_paper"); },
        "The question paper being worked on, or None.");
    cls.def(
        "get_processing_summary", [](py::object self) { return self.attr("last_processing_summary").attr("copy")(); },
        "A shallow copy of the outcome of the last run of each workflow.");
    cls.def("get_token_usage_summary", &get_token_usage_summary,
            "The model service's running token and cost totals.");
    cls.def("_validate_file_path", &validate_file_path, py::arg("pdf_path"));
    cls.def("_validate_question_paper_inputs", &validate_question_paper_inputs, py::arg("subject"),
            py::arg("language"), py::arg("class_level"));
    cls.def("_validate_question_paper_loaded", &validate_question_paper_loaded);
    cls.def("_validate_question_ids", &validate_question_ids, py::arg("question_ids"));
    cls.def("_validate_question_ids_for_paper", &validate_question_ids_for_paper, py::arg("question_ids"),
            py::arg("question_paper"));
}

}  // namespace quorvan::facade
