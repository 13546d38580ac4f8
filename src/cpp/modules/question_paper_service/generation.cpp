// Rubrics and reference answers: for every question that needs one, through
// the model service's batches (blocking with a one-by-one fallback, or as a
// coroutine without), and for one chosen question.
#include <string>

#include "../shared/method_names.hpp"
#include "question_paper_service.hpp"

namespace quorvan::qp {

using pyglue::Coro;

namespace {

py::str key(const char* k) { return py::str(k); }

// A rubric that can mark something: present and with at least one criterion.
bool usable_rubric(const py::object& rubric) {
    return pyglue::truth(rubric) && py::len(rubric.attr("criteria")) > 0;
}

// One kind of generated content, as the selection, the batches, the fallback
// and the single-question methods see it.
struct Kind {
    const char* noun;           // "rubric"
    const char* plural;         // "rubrics"
    const char* nothing_to_do;  // line when every question is skipped
    const char* batch_sync;
    const char* batch_async;
    const char* fallback;       // method of the service itself
    const char* operation;      // single prompt operation of the model service
    const char* keys[4];        // its keywords, taken from the work item
    const char* result_key;     // where a success record keeps the result
    const char* setter;         // method of Question storing the result
    bool needs_rubric;
    // Whether the selection rule leaves the question out (its skip line printed).
    bool (*skipped)(const py::object& q_id, const py::object& question);
    // Adds what the model is told besides the question text and the class.
    void (*add_input)(py::dict& request, const py::object& question);
    // What the success lines say about a result.
    py::str (*detail)(const py::object& value);
};

// --------------------------------------------------------------- rubrics

bool rubric_skipped(const py::object& q_id, const py::object& question) {
    if (!usable_rubric(question.attr("rubric"))) return false;
    say("  Skipping ", q_id, " - rubric already exists");
    return true;
}

void rubric_input(py::dict& request, const py::object& question) { request["max_marks"] = question.attr("max_marks"); }

// " with 4 criteria (10.0 marks)"
py::str rubric_detail(const py::object& value) {
    return pyglue::cat(" with ", py::len(value.attr("criteria")), " criteria (", value.attr("total_marks")(),
                       " marks)");
}

const Kind kRubric{"rubric",
                   "rubrics",
                   "No rubrics to generate - all questions already have rubrics",
                   methods::kGenerateRubricsBatchSync,
                   methods::kGenerateRubricsBatchAsync,
                   "_generate_rubrics_sync_fallback",
                   methods::kGenerateRubric,
                   {"question", "max_marks", "class_level", "subject"},
                   "rubric",
                   "set_rubric",
                   false,
                   &rubric_skipped,
                   &rubric_input,
                   &rubric_detail};

// ----------------------------------------------------- reference answers

bool ref_answer_skipped(const py::object& q_id, const py::object& question) {
    py::object answer = question.attr("reference_answer");
    // Blanks alone do not count as an answer.
    if (pyglue::truth(answer) && pyglue::truth(answer.attr("strip")())) {
        say("  Skipping ", q_id, " - reference answer already exists");
        return true;
    }
    if (!usable_rubric(question.attr("rubric"))) {
        say("  Skipping ", q_id, " - no rubric available (generate rubric first)");
        return true;
    }
    return false;
}

void ref_answer_input(py::dict& request, const py::object& question) { request["rubric"] = question.attr("rubric"); }

// " (120 characters)"
py::str ref_answer_detail(const py::object& value) { return pyglue::cat(" (", py::len(value), " characters)"); }

const Kind kRefAnswer{"reference answer",
                      "reference answers",
                      "No reference answers to generate - all questions already have reference answers or missing "
                      "rubrics",
                      methods::kGenerateRefAnswersBatchSync,
                      methods::kGenerateRefAnswersBatchAsync,
                      "_generate_ref_answers_sync_fallback",
                      methods::kGenerateRefAnswer,
                      {"question", "rubric", "class_level", "subject"},
                      "ref_answer",
                      "set_reference_answer",
                      true,
                      &ref_answer_skipped,
                      &ref_answer_input,
                      &ref_answer_detail};

// ---------------------------------------------------------------- shared

// The work item of one question, or None when the selection rule skips it.
py::object work_item(const Kind& kind, const py::object& paper, const py::object& q_id, const py::object& question) {
    if (kind.skipped(q_id, question)) return py::none();
    py::dict item;
    item["q_id"] = q_id;
    item["question"] = question.attr("text");
    kind.add_input(item, question);
    item["class_level"] = paper.attr("class_level");
    item["subject"] = paper.attr("subject");
    return item;
}

// Steps shared by the blocking and the coroutine forms up to the batch call:
// the announcement, the selection and its skip lines.
py::list select(const Kind& kind, const py::object& paper) {
    say("Generating ", kind.plural, " for all ", py::len(paper.attr("get_question_ids")()), " questions...");
    py::list items;
    for (py::handle id : py::object(paper.attr("get_question_ids")())) {
        py::object q_id = py::reinterpret_borrow<py::object>(id);
        py::object item = work_item(kind, paper, q_id, paper.attr("get_question")(q_id));
        if (!item.is_none()) items.append(item);
    }
    return items;
}

// Stores every successful record on its question; failures are reported and
// left out. Errors here are not caught: what was stored before stays.
py::dict store(const Kind& kind, const py::object& paper, const py::object& records) {
    py::dict result;
    for (py::handle record : records) {
        if (pyglue::truth(record[key("success")])) {
            py::object q_id = record[key("q_id")];
            py::object value = record[key(kind.result_key)];
            py::object question = paper.attr("get_question")(q_id);
            result[q_id] = value;
            question.attr(kind.setter)(value);
            say("  Generated ", kind.noun, " for ", q_id, kind.detail(value));
        } else {
            say("  Error generating ", kind.noun, " for ", record[key("q_id")], ": ", record[key("error")]);
        }
    }
    say("Generated ", kind.plural, " for ", py::len(result), " questions");
    return result;
}

py::object for_all_questions(py::object self, const Kind& kind, py::object paper) {
    need_paper(paper);
    py::list items = select(kind, paper);
    if (items.empty()) {
        say(kind.nothing_to_do);
        return py::dict();
    }
    say("Processing ", items.size(), " questions with batch processing...");
    py::object records;
    try {
        records = self.attr("llm_service").attr(kind.batch_sync)(items);
    } catch (...) {
        py::object error = pyglue::caught();
        say("Error in batch processing, falling back to sync processing: ", error);
        return self.attr(kind.fallback)(paper, items);
    }
    return store(kind, paper, records);
}

Coro for_all_questions_async(py::object self, const Kind* kind, py::object paper) {
    need_paper(paper);
    py::list items = select(*kind, paper);
    if (items.empty()) {
        say(kind->nothing_to_do);
        co_return py::dict();
    }
    say("Processing ", items.size(), " questions with async batch processing...");
    // No fallback here: a failing batch leaves the coroutine.
    py::object pending = self.attr("llm_service").attr(kind->batch_async)(items);
    py::object records = co_await pending;
    co_return store(*kind, paper, records);
}

py::dict sync_fallback(py::object self, const Kind& kind, py::object paper, py::object items) {
    pyglue::need_list(items, "questions_to_process");
    say("Using sync fallback for ", kind.noun, " generation...");
    py::dict result;
    for (py::handle item : items) {
        py::object q_id = item[key("q_id")];
        py::object question = paper.attr("get_question")(q_id);
        try {
            say("  Generating ", kind.noun, " for ", q_id, "...");
            py::dict kwargs;
            for (const char* k : kind.keys) kwargs[key(k)] = item[key(k)];
            py::object value = self.attr("llm_service").attr(kind.operation)(**kwargs);
            result[q_id] = value;
            question.attr(kind.setter)(value);
            say("    Generated ", kind.noun, kind.detail(value));
        } catch (...) {
            py::object error = pyglue::caught();
            say("    Error generating ", kind.noun, " for ", q_id, ": ", error);
        }
    }
    return result;
}

py::object for_question(py::object self, const Kind& kind, py::object paper, py::object q_id) {
    pyglue::need_str(q_id, "q_id");
    need_paper(paper);
    if (!py::object(paper.attr("get_question_ids")()).contains(q_id)) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("can not generate ", kind.noun, ". Question ID '", q_id,
                                                        "' not found in question paper"));
    }
    py::object question = paper.attr("get_question")(q_id);
    if (kind.needs_rubric && !usable_rubric(question.attr("rubric"))) {
        pyglue::raise_new(PyExc_ValueError,
                          pyglue::cat("No rubric available for question ", q_id, ". Generate rubric first."));
    }
    say("Generating ", kind.noun, " for question ", q_id, "...");

    py::str failed = pyglue::cat("Failed to generate ", kind.noun, " for question ", q_id, ": ");
    return pyglue::wrap_errors(PyExc_RuntimeError, failed, [&] {
        py::dict kwargs;
        kwargs["question"] = question.attr("text");
        kind.add_input(kwargs, question);
        kwargs["class_level"] = paper.attr("class_level");
        kwargs["subject"] = paper.attr("subject");
        py::object value = self.attr("llm_service").attr(kind.operation)(**kwargs);
        // Checked before storing, so a bad answer never replaces a good one.
        if (kind.needs_rubric && !PyUnicode_Check(value.ptr())) {
            pyglue::raise_new(PyExc_TypeError, pyglue::cat("reference answer is not a string: ",
                                                           py::type::handle_of(value).attr("__name__")));
        }
        question.attr(kind.setter)(value);
        say("Generated ", kind.noun, kind.detail(value));
        return value;
    });
}

struct Docs {
    const char* all;
    const char* fallback;
    const char* one;
    const char* all_async;
};

void def_kind(ServiceClass& cls, const Kind* kind, const char* all, const char* one, const char* all_async,
              const Docs& docs) {
    cls.def(
        all, [kind](py::object self, py::object paper) { return for_all_questions(self, *kind, paper); },
        py::arg("question_paper"), docs.all);
    cls.def(
        kind->fallback,
        [kind](py::object self, py::object paper, py::object items) { return sync_fallback(self, *kind, paper, items); },
        py::arg("question_paper"), py::arg("questions_to_process"), docs.fallback);
    cls.def(
        one, [kind](py::object self, py::object paper, py::object q_id) { return for_question(self, *kind, paper, q_id); },
        py::arg("question_paper"), py::arg("q_id"), docs.one);
    std::string qualname = std::string("QuestionPaperService.") + all_async;
    cls.def(
        all_async,
        [kind, qualname](py::object self, py::object paper) {
            return pyglue::make_coroutine(for_all_questions_async(self, kind, paper), qualname);
        },
        py::arg("question_paper"), docs.all_async);
}

}  // namespace

void init_generation(ServiceClass& cls) {
    def_kind(cls, &kRubric, "generate_rubrics_for_all_questions", "generate_rubric_for_question",
             "generate_rubrics_for_all_questions_async",
             {"Generate a rubric for every question without one, in one batch; one by one if the batch fails.",
              "Generate the rubrics of these work items one at a time, reporting and skipping failures.",
              "Generate a new rubric for one question, replacing any it has.",
              "Coroutine: generate a rubric for every question without one, in one batch, on the caller's loop."});
    def_kind(cls, &kRefAnswer, "generate_reference_answers_for_all_questions",
             "generate_reference_answer_for_question", "generate_reference_answers_for_all_questions_async",
             {"Generate a reference answer for every question with a rubric and no answer, in one batch; one by "
              "one if the batch fails.",
              "Generate the reference answers of these work items one at a time, reporting and skipping failures.",
              "Generate a new reference answer for one question that has a rubric, replacing any it has.",
              "Coroutine: generate a reference answer for every question with a rubric and no answer, in one "
              "batch, on the caller's loop."});
}

}  // namespace quorvan::qp
