#include "quorvan.hpp"
#include "app/dotenv.hpp"

namespace quorvan::facade {

pyglue::Module M;

namespace {

constexpr const char* kModuleName = "quorvan_core.quorvan";

constexpr const char* kFacadeDoc = R"(
    Main class for processing question papers and answer sheets.

    This class provides a unified interface for:
    - Processing question paper PDFs
    - Generating rubrics and reference answers
    - Processing and evaluating answer sheet PDFs
    - Managing question papers at runtime

    Example:
        config = QurovanConfig(extractor_type="aws", openai_api_key="your-key")
        quorvan = Quorvan()
        quorvan.configure(config)

        question_paper = quorvan.process_question_paper(
            "question.pdf", "Math", "English", "Grade 10"
        )
        quorvan.generate_rubrics(question_paper)
        quorvan.generate_reference_answers(question_paper)

        answersheet = quorvan.process_answersheet("answer.pdf")
    )";

py::object new_error(py::module_& m, const char* name, const char* doc, py::handle base) {
    std::string qualified = std::string(kModuleName) + "." + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr);
    if (!cls) throw py::error_already_set();
    py::object type = py::reinterpret_steal<py::object>(cls);
    m.attr(name) = type;
    return type;
}

// python-dotenv is optional: without it the environment is taken as it is.
void load_dotenv_once(py::module_& m) {
    try {
        // Imported here, not at first use: it is used at once.
        m.attr("load_dotenv") = py::module_::import("dotenv").attr("load_dotenv");
        app::call_load_dotenv(m.attr("load_dotenv"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
}

}  // namespace

void init_errors(py::module_& m) {
    py::object base = new_error(m, "QurovanError", "Base exception for Quorvan errors.", PyExc_Exception);
    new_error(m, "ConfigurationError", "Raised when there's an error in configuration.", base);
    new_error(m, "ProcessingError", "Raised when there's an error during processing.", base);
    new_error(m, "ValidationError", "Raised when validation fails.", base);
}

bool is_a(py::handle obj, const char* class_name) {
    return py::isinstance(obj, M(class_name));
}

void fail(const char* class_name, py::handle message, py::handle context) {
    pyglue::raise_new(M(class_name), message, context);
}

void record(py::handle self, const char* key, py::object entry) {
    py::dict update;
    update[key] = std::move(entry);
    self.attr("last_processing_summary").attr("update")(update);
}

py::dict error_entry(py::handle message) {
    py::dict entry;
    entry["status"] = "error";
    entry["error"] = message;
    return entry;
}

}  // namespace quorvan::facade

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(quorvan, m) {
    using namespace quorvan::facade;
    M.set(m);
    m.doc() = "The Quorvan facade: configuration, error classes and the Quorvan class that runs the "
              "question paper and answer sheet workflows.";

    load_dotenv_once(m);

    // Collaborators, looked up on the module at each use.
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "json", "json");
    pyglue::bind(m, "ExtractorClient", "quorvan_core.ocr_extractor.extractor_client", "ExtractorClient");
    pyglue::bind(m, "LLMService", "quorvan_core.llm_service", "LLMService");
    pyglue::bind(m, "QuestionPaperService", "quorvan_core.question_paper_service", "QuestionPaperService");
    pyglue::bind(m, "AnswersheetService", "quorvan_core.answersheet_service", "AnswersheetService");
    pyglue::bind(m, "Question", "quorvan_core.datastructures.question_paper", "Question");
    pyglue::bind(m, "QuestionPaper", "quorvan_core.datastructures.question_paper", "QuestionPaper");
    pyglue::bind(m, "Answer", "quorvan_core.datastructures.answersheet", "Answer");
    pyglue::bind(m, "Answersheet", "quorvan_core.datastructures.answersheet", "Answersheet");
    pyglue::bind(m, "Rubric", "quorvan_core.datastructures.rubric", "Rubric");
    pyglue::bind(m, "Criterion", "quorvan_core.datastructures.rubric", "Criterion");

    init_errors(m);

    ConfigClass config(m, "QurovanConfig", py::dynamic_attr(),
                       "    Configuration object for Quorvan module.\n    \n"
                       "    This class holds all configuration parameters needed to initialize\n"
                       "    the various components of the Quorvan system.\n    ");
    init_config(config);

    FacadeClass facade(m, "Quorvan", py::dynamic_attr(), kFacadeDoc);
    init_lifecycle(facade);
    init_workflows(facade);
    init_corrections(facade);
    init_paper_json(facade);
    init_paper_switch(facade);
    init_persistence(facade);

    init_example(m);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
