// Construction, the two collaborator setters and process_pdf: extraction with
// the extractor recommended for the subject, then parsing by the model.
#include "../shared/extractor_choice.hpp"
#include "../shared/method_names.hpp"
#include "question_paper_service.hpp"
#include "app/dotenv.hpp"

namespace quorvan::qp {

namespace {

void service_init(py::handle self, py::object extractor_client, py::object llm_service) {
    app::call_load_dotenv(M("load_dotenv"));
    self.attr("extractor_client") = extractor_client;
    self.attr("llm_service") = llm_service;
    self.attr("extracted_texts") = py::none();
    self.attr("processed_subject") = py::none();
    self.attr("processed_language") = py::none();
    self.attr("processed_class_level") = py::none();
}

// isinstance against the class bound on the module, so a patched class decides.
void set_checked(py::object self, py::object value, const char* attr, const char* class_name) {
    int ok = PyObject_IsInstance(value.ptr(), M(class_name).ptr());
    if (ok < 0) throw py::error_already_set();
    if (!ok) pyglue::raise_new(PyExc_TypeError, pyglue::cat(attr, " must be an instance of ", class_name));
    self.attr(attr) = value;
}

py::object process_pdf(py::object self, py::object pdf_path, py::object subject, py::object language,
                       py::object class_level, py::object page_numbers) {
    pyglue::need_str(pdf_path, "pdf_path");
    pyglue::need_str(subject, "subject");
    pyglue::need_str(language, "language");
    pyglue::need_str(class_level, "class_level");
    pyglue::need_opt_list(page_numbers, "page_numbers");

    if (!pyglue::truth(M("os").attr("path").attr("isfile")(pdf_path))) {
        pyglue::raise_new(PyExc_FileNotFoundError, pyglue::cat("PDF file not found: ", pdf_path));
    }

    say("Processing question paper PDF: ", pdf_path);
    say("Subject: ", subject);
    say("Language: ", language);
    say("Class Level: ", class_level);
    say("Using extractor client");
    say("Step 1/2: Extracting text from PDF...");
    if (pyglue::truth(page_numbers)) {
        say("Processing pages: ", page_numbers);
    } else {
        say("Processing all pages");
    }

    pyglue::wrap_errors(PyExc_RuntimeError, "Failed to extract text from PDF: ", [&] {
        py::object client = self.attr("extractor_client");
        extraction::use_recommended_extractor(M("ExtractorClient"), client, subject);
        // An empty page list is passed on as it came, not turned into None.
        self.attr("extracted_texts") = client.attr("process_pdf")(pdf_path, page_numbers);
        say("Successfully extracted text from ", py::len(self.attr("extracted_texts")), " pages");
    });

    say("Step 2/2: Parsing questions using AI...");

    return pyglue::wrap_errors(PyExc_RuntimeError, "Failed to parse questions: ", [&] {
        py::object paper = self.attr("llm_service")
                               .attr(methods::kParseQuestionPaper)(self.attr("extracted_texts"), subject, language, class_level);
        self.attr("processed_subject") = subject;
        self.attr("processed_language") = language;
        self.attr("processed_class_level") = class_level;
        say("Successfully parsed ", py::len(paper.attr("get_question_ids")()), " questions");
        say("Total marks: ", paper.attr("get_total_marks")());
        return paper;
    });
}

}  // namespace

void init_intake(ServiceClass& cls) {
    pyglue::def_init(cls, &service_init, py::arg("extractor_client"), py::arg("llm_service"));
    cls.def(
        "set_extractor_client",
        [](py::object self, py::object extractor_client) {
            set_checked(self, extractor_client, "extractor_client", "ExtractorClient");
        },
        py::arg("extractor_client"), "Replace the text extractor (an ExtractorClient).");
    cls.def(
        "set_llm_service",
        [](py::object self, py::object llm_service) {
            set_checked(self, llm_service, "llm_service", "LLMService");
        },
        py::arg("llm_service"), "Replace the model service (an LLMService).");
    cls.def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("subject"), py::arg("language"),
            py::arg("class_level"), py::arg("page_numbers") = py::none(),
            "Extract the text of a question paper PDF and parse it into a QuestionPaper.");
}

}  // namespace quorvan::qp
