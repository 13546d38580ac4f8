#include "question_paper_service.hpp"

namespace quorvan::qp {

pyglue::Module M;

void need_paper(py::handle question_paper) {
    if (!pyglue::truth(question_paper)) pyglue::raise_new(PyExc_ValueError, "Question paper cannot be None.");
}

}  // namespace quorvan::qp

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(question_paper_service, m) {
    using namespace quorvan::qp;
    M.set(m);
    m.doc() = "The question paper pipeline: PDF to QuestionPaper, rubrics and reference answers, reports.";
    pyglue::init_coroutines(m);

    // Collaborators, looked up on the module at each use. Imported by their
    // package names: the package folder is never put on sys.path.
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "sys", "sys");
    pyglue::bind(m, "json", "json");
    pyglue::bind(m, "asyncio", "asyncio");
    pyglue::bind(m, "load_dotenv", "dotenv", "load_dotenv");
    pyglue::bind(m, "ExtractorClient", "quorvan_core.ocr_extractor.extractor_client", "ExtractorClient");
    pyglue::bind(m, "LLMService", "quorvan_core.llm_service", "LLMService");
    pyglue::bind(m, "QuestionPaper", "quorvan_core.datastructures.question_paper", "QuestionPaper");
    pyglue::bind(m, "Question", "quorvan_core.datastructures.question_paper", "Question");
    pyglue::bind(m, "Rubric", "quorvan_core.datastructures.rubric", "Rubric");

    ServiceClass cls(m, "QuestionPaperService", py::dynamic_attr(),
                     "Turns a question paper PDF into a QuestionPaper, generates its rubrics and reference "
                     "answers, and reports on it.");
    init_intake(cls);
    init_generation(cls);
    init_reporting(cls);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
