#include "llm_service.hpp"

namespace quorvan::llm {

pyglue::Module M;

namespace {

// A required field: (annotation, ...)
py::object field(py::object type) { return py::make_tuple(type, py::ellipsis()); }

}  // namespace

void init_response_models(py::module_& m) {
    py::object create_model = py::module_::import("pydantic").attr("create_model");
    py::object List = py::module_::import("typing").attr("List");
    py::object str_t = py::module_::import("builtins").attr("str");
    py::object float_t = py::module_::import("builtins").attr("float");
    py::object int_t = py::module_::import("builtins").attr("int");
    const char* mod_name = "quorvan_core.llm_service";

    auto make = [&](const char* name, const char* doc, py::kwargs fields) {
        fields["__doc__"] = doc;
        fields["__module__"] = mod_name;
        py::object model = create_model(name, **fields);
        m.attr(name) = model;
        return model;
    };
    auto kw = [](std::initializer_list<std::pair<const char*, py::object>> items) {
        py::kwargs k;
        for (auto& [n, v] : items) k[n] = field(v);
        return k;
    };

    py::object criterion = make("CriterionModel", "Model for a single criterion",
                                kw({{"statement", str_t}, {"mark", float_t}}));
    make("RubricResponse", "Structured response for rubric generation",
         kw({{"criteria", List[criterion]}}));
    make("ReferenceAnswerResponse", "Structured response for reference answer generation",
         kw({{"reference_answer", str_t}}));
    // awarded_marks is asked for so the model totals what it judged, but never
    // read: the mark is the sum of the criteria it says are met (marks.hpp), so
    // a slip in the model's arithmetic cannot change a mark.
    make("EvaluationResponse", "Structured response for answer evaluation",
         kw({{"fulfilled_criteria", List[int_t]}, {"awarded_marks", float_t}, {"feedback", str_t}}));
    py::object question = make("QuestionModel", "Model for a single question",
                               kw({{"q_id", str_t}, {"question_text", str_t}, {"max_marks", float_t}}));
    make("QuestionPaperResponse", "Structured response for question paper parsing",
         kw({{"questions", List[question]}}));
    py::object ref = make("ReferenceAnswerModel", "Model for a single reference answer",
                          kw({{"q_id", str_t}, {"reference_answer", str_t}}));
    make("ReferenceAnswerKeysResponse", "Structured response for reference answer generation",
         kw({{"reference_answers", List[ref]}}));
    py::object answer = make("StudentAnswerModel", "Model for a single student answer",
                             kw({{"q_id", str_t}, {"answer_text", str_t}, {"page_numbers", List[int_t]}}));
    make("AnswersheetResponse", "Structured response for answersheet parsing",
         kw({{"answers", List[answer]}}));
}

}  // namespace quorvan::llm

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(llm_service, m) {
    using namespace quorvan::llm;
    M.set(m);
    pyglue::init_coroutines(m);

    // Collaborators, looked up on the module at each use.
    pyglue::bind(m, "OpenAI", "openai", "OpenAI");
    pyglue::bind(m, "AsyncOpenAI", "openai", "AsyncOpenAI");
    pyglue::bind(m, "openai", "openai");  // its error classes tell transient failures
    pyglue::bind(m, "random", "random");
    pyglue::bind(m, "parsedate_tz", "email.utils", "parsedate_tz");
    pyglue::bind(m, "mktime_tz", "email.utils", "mktime_tz");
    pyglue::bind(m, "tiktoken", "tiktoken");
    pyglue::bind(m, "asyncio", "asyncio");
    pyglue::bind(m, "time", "time");
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "logging", "logging");
    pyglue::bind(m, "copy", "copy");
    pyglue::bind(m, "json", "json");
    pyglue::bind(m, "threading", "threading");
    pyglue::bind(m, "tempfile", "tempfile");
    pyglue::bind(m, "ThreadPoolExecutor", "concurrent.futures", "ThreadPoolExecutor");
    pyglue::bind(m, "as_completed", "concurrent.futures", "as_completed");
    pyglue::bind(m, "BaseModel", "pydantic", "BaseModel");
    pyglue::bind(m, "QuestionPaper", "quorvan_core.datastructures.question_paper", "QuestionPaper");
    pyglue::bind(m, "Question", "quorvan_core.datastructures.question_paper", "Question");
    pyglue::bind(m, "Rubric", "quorvan_core.datastructures.rubric", "Rubric");
    pyglue::bind(m, "Criterion", "quorvan_core.datastructures.rubric", "Criterion");
    pyglue::bind(m, "Answersheet", "quorvan_core.datastructures.answersheet", "Answersheet");
    pyglue::bind(m, "Answer", "quorvan_core.datastructures.answersheet", "Answer");

    // pydantic is imported, and the models made, when one is first asked for.
    pyglue::bind_made(m, {"CriterionModel", "RubricResponse", "ReferenceAnswerResponse", "EvaluationResponse",
                          "QuestionModel", "QuestionPaperResponse", "ReferenceAnswerModel",
                          "ReferenceAnswerKeysResponse", "StudentAnswerModel", "AnswersheetResponse"},
                      &init_response_models);

    // The model answered, but not with something that can be used.
    PyObject* answer_error = PyErr_NewExceptionWithDoc(
        "quorvan_core.llm_service.ModelAnswerError",
        "The model's answer cannot be used: a refusal, or criteria that the rubric does not have.",
        PyExc_ValueError, nullptr);
    if (!answer_error) throw py::error_already_set();
    m.attr("ModelAnswerError") = py::reinterpret_steal<py::object>(answer_error);

    // A prompt refused before it was sent: larger than the service's cap.
    PyObject* too_large = PyErr_NewExceptionWithDoc(
        "quorvan_core.llm_service.PromptTooLargeError",
        "A prompt whose estimated size is above LLMService.max_prompt_tokens; it was not sent. Attributes: "
        "estimate and cap (tokens).",
        PyExc_ValueError, nullptr);
    if (!too_large) throw py::error_already_set();
    m.attr("PromptTooLargeError") = py::reinterpret_steal<py::object>(too_large);

    ServiceClass cls(m, "LLMService", py::dynamic_attr(),
                     "Handles LLM operations using OpenAI for rubric generation, reference answer "
                     "creation and answer evaluation.");
    init_service_core(cls);
    init_prompt_ops(cls);
    init_batches(cls);
    init_retry(m, cls);
    init_injection(cls);
    init_pacing(m, cls);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
