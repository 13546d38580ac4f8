// Descriptions of a question paper that change nothing: the input-data dict,
// the saved JSON or text file, the summary, the validation report and the
// printed summary.
#include <string>

#include "question_paper_service.hpp"
#include "app/files.hpp"

namespace quorvan::qp {

namespace {

constexpr Py_ssize_t kPreviewLength = 80;

py::str key_str(const char* k) { return py::str(k); }

py::dict no_paper() {
    py::dict d;
    d["error"] = "No question paper provided";
    return d;
}

py::object get_input_data_format(py::object /*self*/, py::object paper, py::object answer_pages) {
    pyglue::need_str(answer_pages, "answer_pages");
    need_paper(paper);
    py::dict data;
    data["class"] = paper.attr("class_level");
    data["subject"] = paper.attr("subject");
    data["answer_pages"] = answer_pages;
    py::list questions;
    for (py::handle q_id : py::object(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        py::list criteria;
        py::object rubric = question.attr("rubric");
        if (pyglue::truth(rubric) && py::len(rubric.attr("criteria")) > 0) {
            for (py::handle criterion : py::object(rubric.attr("criteria"))) {
                py::dict c;
                c["statement"] = criterion.attr("statement");
                c["mark"] = criterion.attr("mark");
                c["is_fulfilled"] = criterion.attr("is_fulfilled");
                criteria.append(c);
            }
        }
        py::object answer = question.attr("reference_answer");
        py::dict entry;
        entry["qid"] = question.attr("q_id");
        entry["question"] = question.attr("text");
        entry["max_marks"] = question.attr("max_marks");
        entry["student_answer"] = "";
        entry["ref_answer"] = pyglue::truth(answer) ? answer : py::str("");
        entry["rubric"] = criteria;
        questions.append(entry);
    }
    data["questions"] = questions;
    return data;
}

// The plain-text report, whole: nothing is written until every line is known.
py::str text_report(const py::object& paper) {
    py::list out;
    auto line = [&out](py::str text) { out.append(pyglue::cat(text, "\n")); };
    line(py::str("PROCESSED QUESTION PAPER"));
    line(pyglue::cat(std::string(50, '='), "\n"));
    py::object subject = paper.attr("subject");
    if (pyglue::truth(subject)) line(pyglue::cat("Subject: ", subject));
    py::object class_level = paper.attr("class_level");
    if (pyglue::truth(class_level)) line(pyglue::cat("Class Level: ", class_level));
    line(pyglue::cat("Total Questions: ", py::len(paper.attr("get_question_ids")())));
    line(pyglue::cat("Total Marks: ", paper.attr("get_total_marks")(), "\n"));
    long i = 1;
    for (py::handle q_id : py::object(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        line(pyglue::cat("Question ", i++, ": ", question.attr("q_id")));
        line(pyglue::cat("Marks: ", question.attr("max_marks")));
        line(pyglue::cat("Text: ", question.attr("text")));
        py::object answer = question.attr("reference_answer");
        if (pyglue::truth(answer)) line(pyglue::cat("Reference Answer: ", answer));
        line(pyglue::cat(std::string(40, '-'), "\n"));
    }
    return pyglue::join("", out);
}

void save_to_file(py::object self, py::object paper, py::object output_path, py::object answer_pages,
                  py::object format) {
    pyglue::need_str(output_path, "output_path");
    pyglue::need_str(answer_pages, "answer_pages");
    pyglue::need_str(format, "format");
    need_paper(paper);

    py::object os = M("os");
    py::object folder = os.attr("path").attr("dirname")(output_path);
    if (pyglue::truth(folder)) os.attr("makedirs")(folder, py::arg("exist_ok") = true);

    py::object text;
    // Any case of "json" is JSON, as the answer sheet pipeline reads it.
    if (format.attr("lower")().equal(py::str("json"))) {
        py::object data = self.attr("get_input_data_format")(paper, answer_pages);
        text = M("json").attr("dumps")(data, py::arg("indent") = 4, py::arg("ensure_ascii") = false);
    } else {
        text = text_report(paper);
    }
    // All or nothing: an error on the way leaves the previous file as it was.
    app::write_text_atomic(output_path, text);
    say("Saved processed data to: ", output_path);
}

py::object get_summary(py::object self, py::object paper) {
    if (!pyglue::truth(paper)) return no_paper();
    py::object questions = paper.attr("get_all_questions")();
    py::dict summary;
    summary["total_questions"] = py::len(questions);
    summary["total_marks"] = paper.attr("get_total_marks")();
    summary["question_ids"] = paper.attr("get_question_ids")();
    py::dict distribution;
    for (py::handle q_id : questions) distribution[q_id] = questions[q_id].attr("max_marks");
    summary["marks_distribution"] = distribution;
    // The pages of this instance's last extraction, whichever paper they came from.
    py::object texts = self.attr("extracted_texts");
    py::list pages;
    if (pyglue::truth(texts)) {
        PyObject* keys = PySequence_List(py::object(texts.attr("keys")()).ptr());
        if (!keys) throw py::error_already_set();
        pages = py::reinterpret_steal<py::list>(keys);
    }
    summary["extracted_pages"] = pages;
    return summary;
}

py::object validate_processing(py::object /*self*/, py::object paper) {
    if (!pyglue::truth(paper)) {
        py::dict d;
        d["valid"] = false;
        d["error"] = "No question paper provided";
        return d;
    }
    py::list issues, warnings;
    py::int_ zero(0);
    for (py::handle q_id : py::object(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        if (py::object(question.attr("max_marks")) <= zero) {
            issues.append(pyglue::cat("Question ", q_id, " has no marks assigned"));
        }
        if (py::len(question.attr("text").attr("strip")()) < 10) {
            warnings.append(pyglue::cat("Question ", q_id, " has very short text (possible OCR issue)"));
        }
    }
    py::object total = paper.attr("get_total_marks")();
    if (total.equal(zero)) issues.append(py::str("Total marks is 0"));
    py::dict report;
    report["valid"] = py::bool_(issues.empty());
    report["issues"] = issues;
    report["warnings"] = warnings;
    report["total_marks"] = total;
    report["question_count"] = py::len(paper.attr("get_question_ids")());
    return report;
}

void print_summary(py::object self, py::object paper) {
    py::object summary = self.attr("get_summary")(paper);
    if (summary.contains("error")) {
        say("Error: ", summary[key_str("error")]);
        return;
    }
    const std::string rule(60, '=');
    say("\n", rule);
    say("QUESTION PAPER PROCESSING SUMMARY");
    say(rule);
    say("Total Questions: ", summary[key_str("total_questions")]);
    say("Total Marks: ", summary[key_str("total_marks")]);
    say("Processed Pages: ", summary[key_str("extracted_pages")]);

    py::object report = self.attr("validate_processing")(paper);
    if (pyglue::truth(report[key_str("valid")])) {
        say("Validation: Passed");
    } else {
        say("Validation: Issues found");
        for (py::handle issue : py::object(report[key_str("issues")])) say("   ", issue);
    }
    py::object warnings = report[key_str("warnings")];
    if (pyglue::truth(warnings)) {
        say("Warnings:");
        for (py::handle warning : warnings) say("   ", warning);
    }

    say("\nQuestions Overview:");
    py::object distribution = summary[key_str("marks_distribution")];
    for (py::handle pair : py::object(distribution.attr("items")())) {
        py::object q_id = pair[py::int_(0)];
        py::object marks = pair[py::int_(1)];
        py::object text = paper.attr("get_question")(q_id).attr("text");
        py::object preview = text;
        if (py::len(text) > static_cast<size_t>(kPreviewLength)) {
            py::object head = py::reinterpret_steal<py::object>(
                PySlice_New(nullptr, py::int_(kPreviewLength).ptr(), nullptr));
            preview = pyglue::cat(py::object(text[head]), "...");
        }
        say("   ", q_id, ": ", preview, " (", marks, " marks)");
    }
    say(rule);
}

}  // namespace

void init_reporting(ServiceClass& cls) {
    cls.def("get_input_data_format", &get_input_data_format, py::arg("question_paper"), py::arg("answer_pages") = "",
            "The paper as input data for marking: every question with an empty student answer.");
    cls.def("save_to_file", &save_to_file, py::arg("question_paper"), py::arg("output_path"),
            py::arg("answer_pages") = "", py::arg("format") = "json",
            "Save the paper as JSON input data (format \"json\", any case) or as a text report.");
    cls.def("get_summary", &get_summary, py::arg("question_paper"),
            "Question count, total marks, ids, marks per question and the pages last extracted.");
    cls.def("validate_processing", &validate_processing, py::arg("question_paper"),
            "Issues (questions without marks, a zero total) and warnings (very short question texts).");
    cls.def("print_summary", &print_summary, py::arg("question_paper"),
            "Print the summary, the validation result and an overview of the questions.");
}

}  // namespace quorvan::qp
