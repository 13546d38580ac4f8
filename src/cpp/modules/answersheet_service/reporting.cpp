// Reports on a marked answer sheet: per-question records, the saved file
// (JSON or text), the summary, the plausibility check and the printed summary.
// They only read the records and what the evaluation stored on the answers.
#include "answersheet_service.hpp"
#include "app/files.hpp"

namespace quorvan::sheets {

namespace {

constexpr Py_ssize_t kPreviewLength = 60;

// The marks awarded under an evaluated rubric, asked of the rubric itself so
// that a replaced or subclassed rubric reports its own (Rubric's method sums
// through marks::awarded_marks).
py::object rubric_marks(const py::object& rubric) { return rubric.attr("get_awarded_marks")(); }

// The marks awarded under the answer's evaluated rubric; 0 until evaluated.
py::object obtained_marks(const py::object& answer) {
    py::object rubric = answer.attr("eval_rubric");
    if (pyglue::truth(rubric)) return rubric_marks(rubric);
    return py::int_(0);
}

// The attribute, or None when the object has none (as hasattr sees it: only
// AttributeError means absent).
py::object optional_attr(const py::object& obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

// ------------------------------------------------------------ records

py::dict sheet_record(const py::object& question, const py::object& answer) {
    const bool attempted = pyglue::truth(answer);
    py::dict record;
    record["qid"] = question.attr("q_id");
    record["question"] = question.attr("text");
    record["ref_answer"] = question.attr("reference_answer");
    if (attempted) {
        record["student_answer"] = answer.attr("text");
        record["answer_pages"] = answer.attr("pages");
        py::object rubric = answer.attr("eval_rubric");
        record["rubric"] = pyglue::truth(rubric) ? py::object(rubric.attr("to_list")()) : py::object(py::list());
    } else {
        record["student_answer"] = "";
        record["answer_pages"] = py::list();
        record["rubric"] = py::list();
    }
    record["max_marks"] = question.attr("max_marks");
    if (attempted) {
        record["obtained_marks"] = obtained_marks(answer);
        record["feedback"] = answer.attr("feedback");
    } else {
        record["obtained_marks"] = 0;
        record["feedback"] = "";
    }
    return record;
}

py::list answersheet_format(py::object /*self*/, py::object answersheet, py::object question_paper) {
    need_records(answersheet, question_paper);
    py::list records;
    for (py::handle q_id : py::object(question_paper.attr("get_question_ids")())) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object answer = py::none();
        if (contains(answersheet.attr("get_question_ids")(), q_id)) answer = answersheet.attr("get_answer")(q_id);
        records.append(sheet_record(question, answer));
    }
    return records;
}

// --------------------------------------------------------------- files

// The marks of an answer: from its evaluation_result when it carries one,
// else from what the evaluation stored on it (eval_rubric and feedback), so
// that a marked sheet's report shows its marks.
void evaluation_lines(py::list& out, const py::object& question, const py::object& answer) {
    py::object result = optional_attr(answer, "evaluation_result");
    if (pyglue::truth(result)) {
        out.append(pyglue::cat("Evaluation: ", result.attr("get")("awarded_marks", 0), "/",
                               result.attr("get")("total_marks", question.attr("max_marks")), " marks\n"));
        if (contains(result, py::str("feedback"))) {
            out.append(pyglue::cat("Feedback: ", result[py::str("feedback")], "\n"));
        }
        return;
    }
    py::object rubric = answer.attr("eval_rubric");
    if (!pyglue::truth(rubric)) return;
    out.append(pyglue::cat("Evaluation: ", rubric_marks(rubric), "/", question.attr("max_marks"),
                           " marks\n"));
    py::object feedback = answer.attr("feedback");
    if (!feedback.is_none()) out.append(pyglue::cat("Feedback: ", feedback, "\n"));
}

py::str text_report(const py::object& answersheet, const py::object& question_paper) {
    py::list out;
    out.append(py::str("PROCESSED STUDENT ANSWERSHEET\n"));
    out.append(py::str("==================================================\n\n"));
    py::object subject = question_paper.attr("subject");
    if (pyglue::truth(subject)) out.append(pyglue::cat("Subject: ", subject, "\n"));
    py::object class_level = question_paper.attr("class_level");
    if (pyglue::truth(class_level)) out.append(pyglue::cat("Class: ", class_level, "\n"));
    out.append(pyglue::cat("Total Questions: ", py::len(question_paper.attr("get_question_ids")()), "\n"));
    out.append(pyglue::cat("Attempted Questions: ", py::len(answersheet.attr("get_question_ids")()), "\n\n"));

    for (py::handle q_id : py::object(question_paper.attr("get_question_ids")())) {
        py::object question = question_paper.attr("get_question")(q_id);
        out.append(pyglue::cat("Question: ", question.attr("q_id"), "\n"));
        out.append(pyglue::cat("Max Marks: ", question.attr("max_marks"), "\n"));
        out.append(pyglue::cat("Question Text: ", question.attr("text"), "\n"));
        if (contains(answersheet.attr("get_question_ids")(), q_id)) {
            py::object answer = answersheet.attr("get_answer")(q_id);
            out.append(pyglue::cat("Student Answer (Pages ", answer.attr("pages"), "): ", answer.attr("text"), "\n"));
            evaluation_lines(out, question, answer);
            out.append(py::str("Status: \u2705 Attempted\n"));
        } else {
            out.append(py::str("Student Answer: [Not attempted or not found]\n"));
            out.append(py::str("Status: \u274c Not attempted\n"));
        }
        out.append(py::str("----------------------------------------\n\n"));
    }
    return pyglue::join("", out);
}

void save_to_file(py::object self, py::object answersheet, py::object question_paper, py::object output_path,
                  py::object format) {
    pyglue::need_str(output_path, "output_path");
    pyglue::need_str(format, "format");
    need_records(answersheet, question_paper);
    py::object os = M("os");
    py::object folder = os.attr("path").attr("dirname")(output_path);
    if (pyglue::truth(folder)) os.attr("makedirs")(folder, py::arg("exist_ok") = true);

    // The whole text first: a failing record leaves the previous file untouched.
    py::object text;
    if (format.attr("lower")().equal(py::str("json"))) {
        py::object data = self.attr("get_answersheet_format")(answersheet, question_paper);
        text = M("json").attr("dumps")(data, py::arg("indent") = 4, py::arg("ensure_ascii") = false);
    } else {
        text = text_report(answersheet, question_paper);
    }
    app::write_text_atomic(output_path, text);
    say("Saved processed answersheet data to: ", output_path);
}

// ------------------------------------------------------------- summary

py::dict get_summary(py::object /*self*/, py::object answersheet, py::object question_paper) {
    if (!pyglue::truth(answersheet) || !pyglue::truth(question_paper)) {
        py::dict error;
        error["error"] = kRecordsMissing;
        return error;
    }
    py::object total_questions = py::int_(py::len(question_paper.attr("get_question_ids")()));
    py::object attempted_questions = py::int_(py::len(answersheet.attr("get_question_ids")()));

    py::dict attempted_details;
    for (py::handle q_id : py::object(answersheet.attr("get_question_ids")())) {
        py::object answer = answersheet.attr("get_answer")(q_id);
        py::dict details;
        details["pages"] = answer.attr("pages");
        details["answer_length"] = py::int_(py::len(answer.attr("text")));
        details["question_marks"] = question_paper.attr("get_question")(q_id).attr("max_marks");
        details["obtained_marks"] = obtained_marks(answer);
        attempted_details[q_id] = details;
    }

    // Python's sum(): an empty paper or an unmarked sheet totals the integer 0.
    py::object total_marks = py::int_(0);
    for (py::handle q_id : py::object(question_paper.attr("get_question_ids")())) {
        total_marks = total_marks + question_paper.attr("get_question")(q_id).attr("max_marks");
    }
    py::object obtained = py::int_(0);
    for (py::handle q_id : py::object(answersheet.attr("get_question_ids")())) {
        obtained = obtained + obtained_marks(answersheet.attr("get_answer")(q_id));
    }

    py::dict summary;
    summary["total_questions"] = total_questions;
    summary["attempted_questions"] = attempted_questions;
    summary["total_marks"] = total_marks;
    summary["obtained_marks"] = obtained;
    summary["unattempted_questions"] = total_questions - attempted_questions;
    summary["attempted_details"] = attempted_details;
    return summary;
}

py::dict validate_processing(py::object /*self*/, py::object answersheet, py::object question_paper) {
    if (!pyglue::truth(answersheet) || !pyglue::truth(question_paper)) {
        py::dict error;
        error["valid"] = false;
        error["error"] = kRecordsMissing;
        return error;
    }
    py::list issues;
    py::list warnings;
    for (py::handle q_id : py::object(answersheet.attr("get_question_ids")())) {
        py::object answer = answersheet.attr("get_answer")(q_id);
        if (py::len(answer.attr("text").attr("strip")()) <= 4) {
            warnings.append(pyglue::cat("Answer for ", q_id, " is very short (possible OCR issue)"));
        }
        if (!pyglue::truth(answer.attr("pages"))) {
            issues.append(pyglue::cat("Answer for ", q_id, " has no page numbers"));
        }
    }
    py::int_ total_count(py::len(question_paper.attr("get_question_ids")()));
    py::int_ attempted_count(py::len(answersheet.attr("get_question_ids")()));
    py::object attempt_rate = py::int_(0);
    if (py::cast<Py_ssize_t>(total_count) > 0) attempt_rate = attempted_count / total_count * py::int_(100);
    if (attempt_rate < py::int_(50)) {
        py::object rate = py::module_::import("builtins").attr("format")(attempt_rate, ".1f");
        warnings.append(pyglue::cat("Low attempt rate: ", rate, "% (possible parsing issues)"));
    }

    py::dict validation;
    validation["valid"] = py::bool_(issues.empty());
    validation["issues"] = issues;
    validation["warnings"] = warnings;
    validation["attempt_rate"] = attempt_rate;
    validation["attempted_count"] = attempted_count;
    validation["total_count"] = total_count;
    return validation;
}

constexpr const char* kRule = "============================================================";

void print_summary(py::object self, py::object answersheet, py::object question_paper) {
    py::object summary = self.attr("get_summary")(answersheet, question_paper);
    if (contains(summary, py::str("error"))) {
        say("Error: ", summary[py::str("error")]);
        return;
    }
    say("\n", kRule);
    say("ANSWERSHEET PROCESSING SUMMARY");
    say(kRule);
    for (py::handle key : summary) {
        if (py::str(key).equal(py::str("attempted_details"))) continue;
        py::object label = key.attr("replace")("_", " ").attr("title")();
        say(label, ": ", summary[key]);
    }

    py::object validation = self.attr("validate_processing")(answersheet, question_paper);
    if (pyglue::truth(validation[py::str("valid")])) {
        say("Validation: Passed");
    } else {
        say("Validation: Issues found");
        for (py::handle issue : py::object(validation[py::str("issues")])) say("   ", issue);
    }
    py::object warnings = validation[py::str("warnings")];
    if (pyglue::truth(warnings)) {
        say("Warnings:");
        for (py::handle warning : warnings) say("   ", warning);
    }

    say("\nAttempted Questions Overview:");
    for (py::handle item : py::object(summary[py::str("attempted_details")].attr("items")())) {
        py::object q_id = item[py::int_(0)];
        py::object details = item[py::int_(1)];
        py::object text = question_paper.attr("get_question")(q_id).attr("text");
        py::object preview = text;
        if (py::len(text) > static_cast<size_t>(kPreviewLength)) {
            PyObject* head = PySequence_GetSlice(text.ptr(), 0, kPreviewLength);
            if (!head) throw py::error_already_set();
            preview = pyglue::cat(py::reinterpret_steal<py::object>(head), "...");
        }
        say(q_id, " : ", preview);
        for (py::handle entry : py::object(details.attr("items")())) {
            say("    ", py::object(entry[py::int_(0)]), ": ", py::object(entry[py::int_(1)]));
        }
    }
    say(kRule);
}

}  // namespace

void init_reporting(ServiceClass& cls) {
    cls.def("get_answersheet_format", &answersheet_format, py::arg("answersheet"), py::arg("question_paper"),
            "One record per question of the paper, attempted or not, with the marks stored on its answer.");
    cls.def("save_to_file", &save_to_file, py::arg("answersheet"), py::arg("question_paper"),
            py::arg("output_path"), py::arg("format") = "json",
            "Save the marked sheet as JSON (format 'json', any case) or as a text report (any other format).");
    cls.def("get_summary", &get_summary, py::arg("answersheet"), py::arg("question_paper"),
            "Question counts, marks and per-answer details.");
    cls.def("validate_processing", &validate_processing, py::arg("answersheet"), py::arg("question_paper"),
            "Plausibility of the parse: answers without pages, very short answers, a low attempt rate.");
    cls.def("print_summary", &print_summary, py::arg("answersheet"), py::arg("question_paper"),
            "Print the summary, the validation and an overview of the attempted questions.");
}

}  // namespace quorvan::sheets
