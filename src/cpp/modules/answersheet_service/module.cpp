#include "answersheet_service.hpp"

namespace quorvan::sheets {

pyglue::Module M;

namespace {

// References only: the facade owns both collaborators.
void service_init(py::handle self, py::object extractor_client, py::object llm_service) {
    self.attr("extractor_client") = extractor_client;
    self.attr("llm_service") = llm_service;
    self.attr("extracted_texts") = py::none();
}

}  // namespace

void need_records(py::handle answersheet, py::handle question_paper) {
    if (!pyglue::truth(answersheet) || !pyglue::truth(question_paper)) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat(kRecordsMissing, "."));
    }
}

}  // namespace quorvan::sheets

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(answersheet_service, m) {
    using namespace quorvan::sheets;
    M.set(m);
    m.doc() = "One student's answer sheet from PDF to an evaluated Answersheet, with its reports.";
    pyglue::init_coroutines(m);

    // Collaborators, looked up on the module at each use.
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "asyncio", "asyncio");
    pyglue::bind(m, "functools", "functools");
    pyglue::bind(m, "json", "json");
    pyglue::bind(m, "sys", "sys");
    pyglue::bind(m, "threading", "threading");
    pyglue::bind(m, "functools", "functools");
    pyglue::bind(m, "Path", "pathlib", "Path");
    pyglue::bind(m, "Dict", "typing", "Dict");
    pyglue::bind(m, "List", "typing", "List");
    pyglue::bind(m, "Optional", "typing", "Optional");
    pyglue::bind(m, "Any", "typing", "Any");
    pyglue::bind(m, "ExtractorClient", "quorvan_core.ocr_extractor.extractor_client", "ExtractorClient");
    pyglue::bind(m, "LLMService", "quorvan_core.llm_service", "LLMService");
    pyglue::bind(m, "QuestionPaper", "quorvan_core.datastructures.question_paper", "QuestionPaper");
    pyglue::bind(m, "Question", "quorvan_core.datastructures.question_paper", "Question");
    pyglue::bind(m, "Answer", "quorvan_core.datastructures.answersheet", "Answer");
    pyglue::bind(m, "Answersheet", "quorvan_core.datastructures.answersheet", "Answersheet");
    pyglue::bind(m, "Rubric", "quorvan_core.datastructures.rubric", "Rubric");
    pyglue::bind(m, "Criterion", "quorvan_core.datastructures.rubric", "Criterion");

    ServiceClass cls(m, "AnswersheetService", py::dynamic_attr(),
                     "Takes one student's answer sheet from PDF to an evaluated Answersheet: text "
                     "extraction, parsing into answers per question, marking against the rubrics, and "
                     "reports.");
    pyglue::def_init(cls, &service_init, py::arg("extractor_client"), py::arg("llm_service"));
    init_intake(cls);
    init_evaluation(cls);
    init_reporting(cls);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
