// Marking: every answer at once through the service's batch evaluation, or one
// answer by question id. Results are stored on the Answer records and returned
// as plain dicts; questions without rubric or reference answer are skipped.
#include <string>
#include <utility>

#include "../shared/method_names.hpp"
#include "answersheet_service.hpp"

namespace quorvan::sheets {

using pyglue::Coro;

namespace {

// Why a question cannot be marked, or nullptr when it can. The rubric is
// tested first: a question lacking both is reported for its rubric.
const char* skip_reason(const py::object& question) {
    py::object rubric = question.attr("rubric");
    if (!pyglue::truth(rubric) || py::len(rubric.attr("criteria")) == 0) return "no rubric";
    py::object reference = question.attr("reference_answer");
    if (!pyglue::truth(reference) || !pyglue::truth(reference.attr("strip")())) return "no reference answer";
    return nullptr;
}

void say_skipping(py::handle q_id, const char* reason) { say("  Skipping ", q_id, " - ", reason, " available"); }

py::dict question_result(py::object rubric, py::object awarded, py::object feedback) {
    py::dict result;
    result["rubric"] = rubric;
    result["awarded_marks"] = awarded;
    result["feedback"] = feedback;
    return result;
}

// ------------------------------------------------------------ all answers

// One evaluation item for every answer whose question can be marked, in the
// answer sheet's order.
py::list collect_items(const py::object& answersheet, const py::object& question_paper) {
    py::list items;
    for (py::handle q_id : py::object(answersheet.attr("get_question_ids")())) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object answer = answersheet.attr("get_answer")(q_id);
        if (const char* reason = skip_reason(question)) {
            say_skipping(q_id, reason);
            continue;
        }
        py::dict item;
        item["q_id"] = q_id;
        item["student_answer"] = answer.attr("text");
        item["question"] = question.attr("text");
        item["rubric"] = question.attr("rubric");
        item["reference_answer"] = question.attr("reference_answer");
        items.append(item);
    }
    return items;
}

// Each batch record on its own: a failed evaluation or a fault while storing
// one result is reported and leaves only that question out.
py::dict store_results(const py::object& answersheet, const py::object& question_paper, const py::object& records) {
    py::dict evaluation_results;
    long evaluated_count = 0;
    for (py::handle record_h : records) {
        py::object record = py::reinterpret_borrow<py::object>(record_h);
        try {
            if (!pyglue::truth(record.attr("get")("success", false))) {
                say("    Error evaluating answer for ", record.attr("get")("q_id", "unknown"), ": ",
                    record.attr("get")("error", "Unknown error"));
                continue;
            }
            py::object q_id = record[py::str("q_id")];
            py::object evaluation = record[py::str("evaluation")];
            py::object answer = answersheet.attr("get_answer")(q_id);
            py::object rubric = evaluation.attr("get")("rubric", py::none());
            answer.attr("set_eval_rubric")(rubric);
            py::object feedback = evaluation.attr("get")("feedback", "");
            answer.attr("set_feedback")(feedback);
            py::object awarded = evaluation.attr("get")("awarded_marks", 0);
            py::object max_marks = question_paper.attr("get_question")(q_id).attr("max_marks");
            say("    ", q_id, ": Awarded ", awarded, "/", max_marks, " marks");
            evaluation_results[q_id] = question_result(rubric, awarded, feedback);
            ++evaluated_count;
        } catch (...) {
            py::object error = pyglue::caught();
            py::object who = py::str("unknown");
            if (PyDict_Check(record.ptr())) who = record.attr("get")("q_id", "unknown");
            say("    Error processing result for ", who, ": ", error);
        }
    }
    say("Evaluated ", evaluated_count, " answers successfully using concurrent processing");
    return evaluation_results;
}

py::object evaluate_all_answers(py::object self, py::object answersheet, py::object question_paper) {
    need_records(answersheet, question_paper);
    say("Evaluating all ", py::len(answersheet.attr("get_question_ids")()),
        " student answers using concurrent processing...");
    return pyglue::need_dict_result(self.attr("_evaluate_all_answers_sync")(answersheet, question_paper));
}

py::object evaluate_all_sync(py::object self, py::object answersheet, py::object question_paper) {
    py::list items = collect_items(answersheet, question_paper);
    if (items.empty()) {
        say("No valid questions found for evaluation");
        return py::dict();
    }
    say("  Processing ", py::len(items), " evaluations concurrently...");
    py::object records = self.attr("llm_service").attr(methods::kEvaluateAnswersBatchSync)(items);
    return store_results(answersheet, question_paper, records);
}

// The blocking twin's job on the caller's event loop.
Coro evaluate_all_async(py::object self, py::object answersheet, py::object question_paper) {
    py::list items = collect_items(answersheet, question_paper);
    if (items.empty()) {
        say("No valid questions found for evaluation");
        co_return py::dict();
    }
    say("  Processing ", py::len(items), " evaluations concurrently...");
    py::object batch = self.attr("llm_service").attr(methods::kEvaluateAnswersBatchAsync)(items);
    py::object records = co_await batch;
    co_return store_results(answersheet, question_paper, records);
}

Coro evaluate_all_answers_async(py::object self, py::object answersheet, py::object question_paper) {
    need_records(answersheet, question_paper);
    py::object evaluating = self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    py::object result = co_await evaluating;
    co_return pyglue::need_dict_result(result);
}

// ------------------------------------------------------------- one answer

// Both ids must be known; the ValueErrors are raised as they are.
void need_known_id(const py::object& q_id, const py::object& answersheet, const py::object& question_paper) {
    if (!contains(answersheet.attr("get_question_ids")(), q_id)) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Question ID '", q_id, "' not found in answersheet"));
    }
    if (!contains(question_paper.attr("get_question_ids")(), q_id)) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("Question ID '", q_id, "' not found in question paper"));
    }
}

// What the single evaluation needs: the records, or the skip record when the
// question cannot be marked.
struct Single {
    py::object question, answer, skipped;

    Single(const py::object& q_id, const py::object& answersheet, const py::object& question_paper,
           const char* evaluating_tail) {
        question = question_paper.attr("get_question")(q_id);
        answer = answersheet.attr("get_answer")(q_id);
        if (const char* reason = skip_reason(question)) {
            say_skipping(q_id, reason);
            py::dict record;
            record["qid"] = q_id;
            record["status"] = "skipped";
            record["reason"] = reason;
            skipped = record;
            return;
        }
        say("  Evaluating ", q_id, evaluating_tail);
    }

    py::dict request() const {
        py::dict kwargs;
        kwargs["student_answer"] = answer.attr("text");
        kwargs["question"] = question.attr("text");
        kwargs["rubric"] = question.attr("rubric");
        kwargs["reference_answer"] = question.attr("reference_answer");
        return kwargs;
    }

    py::dict store(const py::object& evaluation) const {
        py::object rubric = evaluation.attr("get")("rubric", py::none());
        answer.attr("set_eval_rubric")(rubric);
        py::object feedback = evaluation.attr("get")("feedback", "");
        answer.attr("set_feedback")(feedback);
        py::object awarded = evaluation.attr("get")("awarded_marks", 0);
        say("    Awarded: ", awarded, "/", question.attr("max_marks"), " marks");
        return question_result(rubric, awarded, feedback);
    }
};

constexpr const char* kByBatch = " using batch processing...";
constexpr const char* kPlain = "...";

py::object evaluate_single(py::object self, py::object q_id, py::object answersheet, py::object question_paper,
                           const char* evaluating_tail) {
    pyglue::need_str(q_id, "q_id");
    Single single(q_id, answersheet, question_paper, evaluating_tail);
    if (single.skipped) return single.skipped;
    py::object evaluation = self.attr("llm_service").attr(methods::kEvaluateAnswer)(**single.request());
    return single.store(evaluation);
}

Coro evaluate_single_async(py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
    Single single(q_id, answersheet, question_paper, kByBatch);
    if (single.skipped) co_return single.skipped;
    py::object evaluating = self.attr("llm_service").attr(methods::kEvaluateAnswerAsync)(**single.request());
    py::object evaluation = co_await evaluating;
    co_return single.store(evaluation);
}

py::object evaluate_answer_by_qid(py::object self, py::object q_id, py::object answersheet,
                                  py::object question_paper) {
    pyglue::need_str(q_id, "q_id");
    need_records(answersheet, question_paper);
    need_known_id(q_id, answersheet, question_paper);
    say("Evaluating answer for question ", q_id, " using batch processing...");
    py::str failed = pyglue::cat("Failed to evaluate answer for question ", q_id, ": ");
    return pyglue::wrap_errors(PyExc_RuntimeError, failed, [&] {
        py::object result = self.attr("_evaluate_single_answer_sync")(q_id, answersheet, question_paper);
        say("Evaluation completed for ", q_id);
        return pyglue::need_dict_result(result);
    });
}

Coro evaluate_answer_by_qid_async(py::object self, py::object q_id, py::object answersheet,
                                  py::object question_paper) {
    need_records(answersheet, question_paper);
    need_known_id(q_id, answersheet, question_paper);
    py::object evaluating = self.attr("_evaluate_single_answer_async")(q_id, answersheet, question_paper);
    py::object result = co_await evaluating;
    co_return pyglue::need_dict_result(result);
}

py::object coroutine(Coro body, const char* name) {
    return pyglue::make_coroutine(std::move(body), std::string("AnswersheetService.") + name);
}

}  // namespace

void init_evaluation(ServiceClass& cls) {
    cls.def("evaluate_all_answers", &evaluate_all_answers, py::arg("answersheet"), py::arg("question_paper"),
            "Mark every answer whose question has a rubric and a reference answer; returns the results by "
            "question id.");
    cls.def("_evaluate_all_answers_sync", &evaluate_all_sync, py::arg("answersheet"), py::arg("question_paper"));
    cls.def(
        "_evaluate_all_answers_async",
        [](py::object self, py::object answersheet, py::object question_paper) {
            return coroutine(evaluate_all_async(self, answersheet, question_paper), "_evaluate_all_answers_async");
        },
        py::arg("answersheet"), py::arg("question_paper"));
    cls.def(
        "evaluate_all_answers_async",
        [](py::object self, py::object answersheet, py::object question_paper) {
            return coroutine(evaluate_all_answers_async(self, answersheet, question_paper),
                             "evaluate_all_answers_async");
        },
        py::arg("answersheet"), py::arg("question_paper"), "Coroutine twin of evaluate_all_answers.");

    cls.def("evaluate_answer_by_qid", &evaluate_answer_by_qid, py::arg("q_id"), py::arg("answersheet"),
            py::arg("question_paper"), "Mark the answer to one question; returns its result or a skip record.");
    cls.def(
        "_evaluate_single_answer_sync",
        [](py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
            return evaluate_single(self, q_id, answersheet, question_paper, kByBatch);
        },
        py::arg("q_id"), py::arg("answersheet"), py::arg("question_paper"));
    cls.def(
        "_evaluate_single_answer",
        [](py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
            return evaluate_single(self, q_id, answersheet, question_paper, kPlain);
        },
        py::arg("q_id"), py::arg("answersheet"), py::arg("question_paper"));
    cls.def(
        "_evaluate_single_answer_async",
        [](py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
            pyglue::need_str(q_id, "q_id");
            return coroutine(evaluate_single_async(self, q_id, answersheet, question_paper),
                             "_evaluate_single_answer_async");
        },
        py::arg("q_id"), py::arg("answersheet"), py::arg("question_paper"));
    cls.def(
        "evaluate_answer_by_qid_async",
        [](py::object self, py::object q_id, py::object answersheet, py::object question_paper) {
            pyglue::need_str(q_id, "q_id");
            return coroutine(evaluate_answer_by_qid_async(self, q_id, answersheet, question_paper),
                             "evaluate_answer_by_qid_async");
        },
        py::arg("q_id"), py::arg("answersheet"), py::arg("question_paper"),
        "Coroutine twin of evaluate_answer_by_qid.");
}

}  // namespace quorvan::sheets
