// The prompt operations: what to ask the model and how to read its answers,
// blocking and as coroutines. Each builds its prompt first (errors there reach
// the caller as they are), then calls the model and converts the answer inside
// a guard that turns any failure into RuntimeError("<operation failed>: <cause>").
#include <string>
#include <utility>

#include "../shared/marks.hpp"
#include "../shared/method_names.hpp"
#include "llm_service.hpp"
#include "prompt_templates.hpp"
#include "render.hpp"

namespace quorvan::llm {

namespace tpl = core::prompts;
using pyglue::Coro;

namespace {

// ------------------------------------------------------------------ text

using Fields = std::initializer_list<std::pair<std::string_view, py::handle>>;

// Renders a template into a Python string; values are inserted as str(value).
py::str render(std::string_view templ, Fields fields) {
    py::list parts;
    for (const auto& piece : core::split_template(templ)) {
        if (!piece.is_field) {
            parts.append(py::str(piece.text.data(), piece.text.size()));
            continue;
        }
        const py::handle* value = nullptr;
        for (const auto& [name, v] : fields) {
            if (name == piece.text) value = &v;
        }
        if (!value) throw std::logic_error("no value for template field " + std::string(piece.text));
        parts.append(pyglue::str(*value));
    }
    return pyglue::join("", parts);
}

// Pages in ascending key order, whatever the dict's order. A student's pages
// are neutralised; a teacher's paper or answer key is sent as written.
enum class Author { teacher, student };

py::str combined_text(const py::object& extracted_texts, Author author = Author::teacher) {
    py::list parts;
    py::object keys = py::module_::import("builtins").attr("sorted")(extracted_texts);
    for (py::handle page : keys) {
        py::object text = extracted_texts[page];
        if (author == Author::student) text = neutralised(pyglue::str(text));
        parts.append(render(tpl::kPageBlock, {{"page_num", page}, {"text", text}}));
    }
    return pyglue::join("", parts);
}

struct QuestionList {
    py::str text;
    py::object last_id;  // id of the last question listed, None for an empty paper
};

QuestionList questions_list(const py::object& question_paper) {
    QuestionList out{py::str(""), py::none()};
    py::list entries;
    for (py::handle q_id : py::object(question_paper.attr("get_question_ids")())) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object id = question.attr("q_id");
        py::object text = question.attr("text");
        entries.append(render(tpl::kQuestionEntry, {{"q_id", id}, {"text", text}}));
        out.last_id = py::reinterpret_borrow<py::object>(q_id);
    }
    out.text = pyglue::join("\n", entries);
    return out;
}

py::str criterion_lines(const py::object& rubric, bool numbered) {
    py::list lines;
    long index = 0;
    for (py::handle criterion : py::object(rubric.attr("criteria"))) {
        py::object statement = criterion.attr("statement");
        py::object mark = criterion.attr("mark");
        if (numbered) {
            py::int_ i(index);
            lines.append(render(tpl::kNumberedCriterionLine, {{"index", i}, {"statement", statement}, {"mark", mark}}));
        } else {
            lines.append(render(tpl::kCriterionLine, {{"statement", statement}, {"mark", mark}}));
        }
        ++index;
    }
    return pyglue::join("\n", lines);
}

py::list messages(const py::object& system, const py::object& user) {
    py::list out;
    if (system) {
        py::dict s;
        s["role"] = "system";
        s["content"] = system;
        out.append(s);
    }
    py::dict u;
    u["role"] = "user";
    u["content"] = user;
    out.append(u);
    return out;
}

[[noreturn]] void raise_model_answer_error(const py::object& message, long long tries = 1) {
    py::object error = M("ModelAnswerError")(message);
    note_tries(error, tries);
    pyglue::raise(error);
}

constexpr Py_ssize_t kRefusalShown = 100;

// The schema-bound answer; a refusal has none, and is said as what it is.
py::object parsed_of(const py::object& response) {
    py::object message = response.attr("choices")[py::int_(0)].attr("message");
    py::object parsed = message.attr("parsed");
    if (parsed.is_none()) {
        py::object refusal = py::getattr(message, "refusal", py::none());
        if (PyUnicode_Check(refusal.ptr()) && PyUnicode_GetLength(refusal.ptr()) > 0) {
            raise_model_answer_error(pyglue::cat("the model refused: ", pyglue::clip(refusal, kRefusalShown)));
        }
    }
    return parsed;
}

py::str listed(const py::list& values) {
    py::list shown;
    for (py::handle v : values) shown.append(pyglue::str(v));
    return pyglue::join(", ", shown);
}

// ------------------------------------------------------------- operations
//
// Each operation is described once: how to build its prompt (before the
// guard), what to send (inside it) and how to read the answer. The blocking
// and the coroutine forms below share these.

struct Request {
    const char* task;
    const char* response_format;
    py::list messages;
    py::object additional_info;  // null: not passed
};

struct RubricOp {
    py::object question, max_marks, class_level, subject, reference_answer;
    py::str user;
    void build() {
        py::object ref = pyglue::truth(reference_answer) ? reference_answer : py::str("Not provided");
        user = render(tpl::kRubricPrompt, {{"question", question}, {"reference_answer", ref},
                                           {"class_level", class_level}, {"subject", subject},
                                           {"max_marks", max_marks}});
    }
    Request request() const {
        return {"generate_rubric", "RubricResponse", messages(py::str(std::string(tpl::kRubricSystem)), user),
                pyglue::cat("Question marks: ", max_marks, ", Subject: ", subject)};
    }
    py::object convert(const py::object& parsed) const {
        py::list criteria;
        py::object criterion_cls = M("Criterion");
        for (py::handle item : py::object(parsed.attr("criteria"))) {
            py::float_ mark(py::object(item.attr("mark")));
            criteria.append(criterion_cls(py::arg("statement") = item.attr("statement"), py::arg("mark") = mark));
        }
        return M("Rubric")(criteria);
    }
};

struct RefAnswerOp {
    py::object question, rubric, class_level, subject;
    py::str user;
    void build() {
        py::str rubric_text = criterion_lines(rubric, false);
        user = render(tpl::kReferenceAnswerPrompt, {{"question", question}, {"class_level", class_level},
                                                    {"subject", subject}, {"rubric_text", rubric_text}});
    }
    Request request() const {
        return {"generate_reference_answer", "ReferenceAnswerResponse",
                messages(render(tpl::kReferenceAnswerSystem, {{"subject", subject}}), user),
                pyglue::cat("Question type: ", subject, ", Class: ", class_level)};
    }
    py::object convert(const py::object& parsed) const {
        py::object answer = parsed.attr("reference_answer");
        if (!PyUnicode_Check(answer.ptr())) {
            pyglue::raise_new(PyExc_TypeError, pyglue::cat("reference answer is not a string: ",
                                                           py::type::handle_of(answer).attr("__name__")));
        }
        return answer;
    }
};

struct EvaluationOp {
    py::object student_answer, question, rubric, reference_answer;
    bool detailed = false;  // the coroutine adds total marks and the raw indices
    py::object copy;
    py::str user;
    void build() {
        // Marking happens on a copy: the caller's rubric is never changed.
        copy = M("copy").attr("deepcopy")(rubric);
        py::str rubric_text = criterion_lines(copy, true);
        py::str answer = neutralised(py::reinterpret_borrow<py::str>(student_answer));
        user = render(tpl::kEvaluationPrompt, {{"question", question}, {"reference_answer", reference_answer},
                                               {"student_answer", answer}, {"rubric_text", rubric_text}});
    }
    Request request() const {
        py::object total = marks::total_marks(copy);
        return {"evaluate_answer", "EvaluationResponse",
                messages(py::str(std::string(tpl::kEvaluationSystem)), user), pyglue::cat("Max marks: ", total)};
    }
    // Indices that name no criterion, or one twice, would mark wrongly as a success.
    py::object problem(const py::object& evaluation) const {
        const Py_ssize_t n = py::len(copy.attr("criteria"));
        py::list missing, repeated;
        py::set seen;
        for (py::handle item : py::object(evaluation.attr("fulfilled_criteria"))) {
            Py_ssize_t index = -1;
            if (PyIndex_Check(item.ptr())) {
                index = PyNumber_AsSsize_t(item.ptr(), nullptr);
                if (index == -1 && PyErr_Occurred()) throw py::error_already_set();
            }
            if (!PyIndex_Check(item.ptr()) || index < 0 || index >= n) {
                missing.append(item);
            } else if (seen.contains(py::int_(index))) {
                if (!repeated.contains(py::int_(index))) repeated.append(py::int_(index));
            } else {
                seen.add(py::int_(index));
            }
        }
        if (py::len(missing) == 0 && py::len(repeated) == 0) return py::object();
        py::list parts;
        if (py::len(missing) > 0) parts.append(pyglue::cat("criteria that do not exist (", listed(missing), ")"));
        if (py::len(repeated) > 0) parts.append(pyglue::cat("criteria more than once (", listed(repeated), ")"));
        return pyglue::cat("the model named ", pyglue::join(" and ", parts));
    }
    py::object convert(const py::object& evaluation) const {
        py::object fulfilled = evaluation.attr("fulfilled_criteria");
        py::object criteria = copy.attr("criteria");
        long index = 0;
        for (py::handle criterion : criteria) {
            const int hit = PySequence_Contains(fulfilled.ptr(), py::int_(index).ptr());
            if (hit < 0) throw py::error_already_set();
            criterion.attr("set_fulfill")(py::bool_(hit == 1));
            ++index;
        }
        py::dict result;
        result["rubric"] = copy;
        result["awarded_marks"] = marks::awarded_marks(copy);
        result["feedback"] = evaluation.attr("feedback");
        if (detailed) {
            result["total_marks"] = marks::total_marks(copy);
            result["fulfilled_criteria_indices"] = fulfilled;
        }
        return result;
    }
};

struct QuestionPaperOp {
    py::object extracted_texts, subject, language, class_level;
    py::str user;
    void build() {
        py::str text = combined_text(extracted_texts);
        user = render(tpl::kQuestionPaperPrompt, {{"subject", subject}, {"language", language}, {"combined_text", text}});
    }
    Request request() const {
        return {"parse_question_paper", "QuestionPaperResponse",
                messages(render(tpl::kQuestionPaperSystem, {{"subject", subject}}), user),
                pyglue::cat("Subject: ", subject, ", Language: ", language, ", Class: ", class_level,
                            ", Pages: ", py::int_(py::len(extracted_texts)))};
    }
    py::object convert(const py::object& parsed) const {
        py::object paper = M("QuestionPaper")(py::arg("subject") = subject, py::arg("language") = language,
                                              py::arg("class_level") = class_level);
        py::object question_cls = M("Question");
        for (py::handle item : py::object(parsed.attr("questions"))) {
            py::float_ marks(py::object(item.attr("max_marks")));
            py::object question = question_cls(py::arg("q_id") = item.attr("q_id"),
                                               py::arg("text") = item.attr("question_text"),
                                               py::arg("max_marks") = marks);
            paper.attr("add_question")(question);
        }
        return paper;
    }
};

struct AnswersheetOp {
    py::object extracted_texts, question_paper;
    py::str user;
    void build() {
        py::str text = combined_text(extracted_texts, Author::student);
        QuestionList list = questions_list(question_paper);
        user = render(tpl::kAnswersheetPrompt, {{"questions_list", list.text}, {"combined_text", text}});
    }
    Request request() const {
        py::object ids = question_paper.attr("get_question_ids")();
        return {"parse_answersheet", "AnswersheetResponse",
                messages(py::str(std::string(tpl::kAnswersheetSystem)), user),
                pyglue::cat("Questions available: ", py::int_(py::len(ids)), ", Pages: ",
                            py::int_(py::len(extracted_texts)))};
    }
    py::object convert(const py::object& parsed) const {
        py::object sheet = M("Answersheet")(py::arg("subject") = question_paper.attr("subject"),
                                            py::arg("language") = question_paper.attr("language"),
                                            py::arg("class_level") = question_paper.attr("class_level"));
        py::object answer_cls = M("Answer");
        py::dict given;  // q_id: the answer made for it so far
        for (py::handle item : py::object(parsed.attr("answers"))) {
            py::object q_id = item.attr("q_id");
            py::object ids = question_paper.attr("get_question_ids")();
            if (!ids.contains(q_id)) continue;  // "Unknown" and ids not on the paper
            py::object text = item.attr("answer_text");
            py::object pages = pages_on_sheet(q_id, item.attr("page_numbers"));
            if (given.contains(q_id)) {
                // A question named twice: both parts are the student's answer.
                py::object earlier = given[q_id];
                text = joined_texts(earlier.attr("text"), text);
                pages = united_pages(earlier.attr("pages"), pages);
            }
            py::object answer = answer_cls(py::arg("q_id") = q_id, py::arg("text") = text, py::arg("pages") = pages);
            given[q_id] = answer;
            sheet.attr("add_answer")(q_id, answer);
        }
        return sheet;
    }

    // The pages the model named that were read from the sheet; the list as
    // given when all were.
    py::object pages_on_sheet(const py::object& q_id, const py::object& pages) const {
        py::list kept, dropped;
        for (py::handle page : pages) (extracted_texts.contains(page) ? kept : dropped).append(page);
        if (py::len(dropped) == 0) return pages;
        pyglue::print(pyglue::cat("[LLMService]: Warning: the answer to ", q_id, " names pages not on the sheet (",
                                  listed(dropped), "); they are dropped"));
        return kept;
    }

    static py::object joined_texts(const py::object& first, const py::object& second) {
        if (!pyglue::truth(first.attr("strip")())) return second;
        if (!pyglue::truth(second.attr("strip")())) return first;
        return pyglue::cat(first, "\n\n", second);
    }

    static py::object united_pages(const py::object& first, const py::object& second) {
        py::set pages;
        for (py::handle p : first) pages.add(p);
        for (py::handle p : second) pages.add(p);
        return py::module_::import("builtins").attr("sorted")(pages);
    }
};

// ------------------------------------------------------------- the calls

py::object call_model(py::object self, const Request& r) {
    py::object method = self.attr("_make_api_call");
    if (r.additional_info) {
        return method(py::arg("task_name") = r.task, py::arg("messages") = r.messages,
                      py::arg("response_format") = M(r.response_format),
                      py::arg("additional_info") = r.additional_info);
    }
    return method(py::arg("task_name") = r.task, py::arg("messages") = r.messages,
                  py::arg("response_format") = M(r.response_format));
}

py::object start_model_call_async(py::object self, const Request& r) {
    return self.attr("_make_api_call_async")(py::arg("task_name") = r.task, py::arg("messages") = r.messages,
                                             py::arg("response_format") = M(r.response_format),
                                             py::arg("additional_info") = r.additional_info);
}

// What is wrong with an answer that parsed, as text; null when it can be used.
template <typename Op>
py::object problem_of(const Op& op, const py::object& parsed) {
    if constexpr (requires { op.problem(parsed); }) {
        return op.problem(parsed);
    } else {
        return py::object();
    }
}

// After an answer that cannot be used: it is asked for again while the
// service's retry budget lasts, otherwise the problem is raised.
void ask_again_or_raise(const py::object& self, const Request& r, const py::object& problem, long long attempt) {
    const long long retries = retries_of(self);
    if (attempt > retries) raise_model_answer_error(problem, attempt);
    pyglue::print(pyglue::cat("[LLMService]: ", r.task, ": ", problem, "; asking again (try ", py::int_(attempt + 1),
                              " of ", py::int_(retries + 1), ")"));
}

template <typename Op>
py::object run_blocking(py::object self, Op op, const char* failure_prefix) {
    op.build();
    return pyglue::wrap_errors(PyExc_RuntimeError, failure_prefix, [&] {
        const Request r = op.request();
        for (long long attempt = 1;; ++attempt) {
            py::object response = call_model(self, r);
            py::object parsed = parsed_of(response);
            py::object problem = problem_of(op, parsed);
            if (!problem) return op.convert(parsed);
            ask_again_or_raise(self, r, problem, attempt);
        }
    });
}

template <typename Op>
Coro run_async(py::object self, Op op, const char* failure_prefix) {
    op.build();
    py::object result;
    py::object error;
    try {
        const Request r = op.request();
        // Each try is a new call: it waits for the semaphore and the rate window again.
        for (long long attempt = 1;; ++attempt) {
            py::object pending = start_model_call_async(self, r);
            py::object response = co_await pending;
            py::object parsed = parsed_of(response);
            py::object problem = problem_of(op, parsed);
            if (!problem) {
                result = op.convert(parsed);
                break;
            }
            ask_again_or_raise(self, r, problem, attempt);
        }
    } catch (...) {
        error = pyglue::caught();
    }
    if (error) pyglue::raise_new(PyExc_RuntimeError, pyglue::cat(failure_prefix, error), error);
    co_return result;
}

// ------------------------------------------------- argument checks, once

RubricOp rubric_op(py::object question, py::object max_marks, py::object class_level, py::object subject,
                   py::object reference_answer) {
    pyglue::need_str(question, "question");
    py::object marks = pyglue::need_float(max_marks, "max_marks");
    pyglue::need_str(class_level, "class_level");
    pyglue::need_str(subject, "subject");
    pyglue::need_str(reference_answer, "reference_answer");
    return RubricOp{question, marks, class_level, subject, reference_answer, {}};
}

RefAnswerOp ref_answer_op(py::object question, py::object rubric, py::object class_level, py::object subject) {
    pyglue::need_str(question, "question");
    pyglue::need_str(class_level, "class_level");
    pyglue::need_str(subject, "subject");
    return RefAnswerOp{question, rubric, class_level, subject, {}};
}

EvaluationOp evaluation_op(py::object student_answer, py::object question, py::object rubric,
                           py::object reference_answer, bool detailed) {
    pyglue::need_str(student_answer, "student_answer");
    pyglue::need_str(question, "question");
    pyglue::need_str(reference_answer, "reference_answer");
    return EvaluationOp{student_answer, question, rubric, reference_answer, detailed, {}, {}};
}

QuestionPaperOp question_paper_op(py::object extracted_texts, py::object subject, py::object language,
                                  py::object class_level) {
    pyglue::need_dict(extracted_texts, "extracted_texts");
    pyglue::need_str(subject, "subject");
    pyglue::need_str(language, "language");
    pyglue::need_str(class_level, "class_level");
    return QuestionPaperOp{extracted_texts, subject, language, class_level, {}};
}

AnswersheetOp answersheet_op(py::object extracted_texts, py::object question_paper) {
    pyglue::need_dict(extracted_texts, "extracted_texts");
    return AnswersheetOp{extracted_texts, question_paper, {}};
}

// ------------------------------------------- answer key: failures printed

py::dict parse_reference_answers(py::object self, py::object extracted_texts, py::object question_paper) {
    pyglue::need_dict(extracted_texts, "extracted_texts");
    py::dict reference_answers;
    QuestionList list = questions_list(question_paper);
    py::str text = combined_text(extracted_texts);
    py::str user = render(tpl::kReferenceKeysPrompt, {{"questions_list", list.text}, {"combined_text", text}});

    // The id named when something fails: the answer being stored, else the
    // last question listed.
    py::object in_hand = list.last_id;
    try {
        Request r{"extract_reference_answer", "ReferenceAnswerKeysResponse", messages(py::object(), user), py::object()};
        py::object parsed = parsed_of(call_model(self, r));
        for (py::handle item : py::object(parsed.attr("reference_answers"))) {
            in_hand = item.attr("q_id");
            py::object ids = question_paper.attr("get_question_ids")();
            if (!ids.contains(in_hand)) continue;
            py::object answer = item.attr("reference_answer");
            question_paper.attr("add_reference_answer")(in_hand, answer);
            reference_answers[in_hand] = answer;
        }
    } catch (...) {
        py::object error = pyglue::caught();
        py::object who = in_hand.is_none() ? py::str("unknown") : in_hand;
        pyglue::print(pyglue::cat("[LLMService]: Failed to extract reference answer for ", who, ": ", error));
    }
    return reference_answers;
}

constexpr const char* kRubricFailed = "Failed to generate rubric: ";
constexpr const char* kRefAnswerFailed = "Failed to generate reference answer: ";
constexpr const char* kRefAnswerAsyncFailed = "Failed to generate reference answer (async): ";
constexpr const char* kEvaluationFailed = "Failed to evaluate answer: ";
constexpr const char* kQuestionPaperFailed = "Failed to parse question paper: ";
constexpr const char* kAnswersheetFailed = "Failed to parse answersheet: ";

std::string qualname(const char* method) { return std::string("LLMService.") + method; }

template <typename Op>
py::object coroutine(py::object self, Op op, const char* prefix, std::string name) {
    return pyglue::make_coroutine(run_async(std::move(self), std::move(op), prefix), std::move(name));
}

}  // namespace

void init_prompt_ops(ServiceClass& cls) {
    // Blocking operations.
    cls.def(
        methods::kGenerateRubric,
        [](py::object self, py::object question, py::object max_marks, py::object class_level, py::object subject,
           py::object reference_answer) {
            return run_blocking(self, rubric_op(question, max_marks, class_level, subject, reference_answer),
                                kRubricFailed);
        },
        py::arg("question"), py::arg("max_marks"), py::arg("class_level"), py::arg("subject"),
        py::arg("reference_answer") = "");
    cls.def(
        methods::kGenerateRefAnswer,
        [](py::object self, py::object question, py::object rubric, py::object class_level, py::object subject) {
            return run_blocking(self, ref_answer_op(question, rubric, class_level, subject), kRefAnswerFailed);
        },
        py::arg("question"), py::arg("rubric"), py::arg("class_level"), py::arg("subject"));
    cls.def(
        methods::kEvaluateAnswer,
        [](py::object self, py::object student_answer, py::object question, py::object rubric,
           py::object reference_answer) {
            return run_blocking(self, evaluation_op(student_answer, question, rubric, reference_answer, false),
                                kEvaluationFailed);
        },
        py::arg("student_answer"), py::arg("question"), py::arg("rubric"), py::arg("reference_answer"));
    cls.def(
        methods::kParseQuestionPaper,
        [](py::object self, py::object extracted_texts, py::object subject, py::object language,
           py::object class_level) {
            return run_blocking(self, question_paper_op(extracted_texts, subject, language, class_level),
                                kQuestionPaperFailed);
        },
        py::arg("extracted_texts"), py::arg("subject"), py::arg("language"), py::arg("class_level"));
    cls.def(methods::kParseReferenceAnswers, &parse_reference_answers, py::arg("extracted_texts"),
            py::arg("question_paper"));
    cls.def(
        methods::kParseAnswersheet,
        [](py::object self, py::object extracted_texts, py::object question_paper) {
            return run_blocking(self, answersheet_op(extracted_texts, question_paper), kAnswersheetFailed);
        },
        py::arg("extracted_texts"), py::arg("question_paper"));

    // Coroutine twins: arguments checked here, at the call; all work on await.
    cls.def(
        methods::kGenerateRubricAsync,
        [](py::object self, py::object question, py::object max_marks, py::object class_level, py::object subject,
           py::object reference_answer) {
            return coroutine(self, rubric_op(question, max_marks, class_level, subject, reference_answer),
                             kRubricFailed, qualname(methods::kGenerateRubricAsync));
        },
        py::arg("question"), py::arg("max_marks"), py::arg("class_level"), py::arg("subject"),
        py::arg("reference_answer") = "");
    cls.def(
        methods::kGenerateRefAnswerAsync,
        [](py::object self, py::object question, py::object rubric, py::object class_level, py::object subject) {
            return coroutine(self, ref_answer_op(question, rubric, class_level, subject), kRefAnswerAsyncFailed,
                             qualname(methods::kGenerateRefAnswerAsync));
        },
        py::arg("question"), py::arg("rubric"), py::arg("class_level"), py::arg("subject"));
    cls.def(
        methods::kEvaluateAnswerAsync,
        [](py::object self, py::object student_answer, py::object question, py::object rubric,
           py::object reference_answer) {
            return coroutine(self, evaluation_op(student_answer, question, rubric, reference_answer, true),
                             kEvaluationFailed, qualname(methods::kEvaluateAnswerAsync));
        },
        py::arg("student_answer"), py::arg("question"), py::arg("rubric"), py::arg("reference_answer"));
    cls.def(
        methods::kParseQuestionPaperAsync,
        [](py::object self, py::object extracted_texts, py::object subject, py::object language,
           py::object class_level) {
            return coroutine(self, question_paper_op(extracted_texts, subject, language, class_level),
                             kQuestionPaperFailed, qualname(methods::kParseQuestionPaperAsync));
        },
        py::arg("extracted_texts"), py::arg("subject"), py::arg("language"), py::arg("class_level"));
    cls.def(
        methods::kParseAnswersheetAsync,
        [](py::object self, py::object extracted_texts, py::object question_paper) {
            return coroutine(self, answersheet_op(extracted_texts, question_paper), kAnswersheetFailed,
                             qualname(methods::kParseAnswersheetAsync));
        },
        py::arg("extracted_texts"), py::arg("question_paper"));
}

}  // namespace quorvan::llm
