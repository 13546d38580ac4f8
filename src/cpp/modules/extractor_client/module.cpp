#include "extractor.hpp"

namespace quorvan::extractor {

pyglue::Module M;

namespace {

void init_page_transcription(py::module_& m) {
    py::object pydantic;
    try {
        pydantic = py::module_::import("pydantic");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("PageTranscription") = py::none();
        return;
    }
    py::kwargs fields;
    fields["__doc__"] = "Structured response for page transcription";
    fields["__module__"] = kModuleName;
    fields["text"] = py::make_tuple(py::module_::import("builtins").attr("str"), py::ellipsis());
    m.attr("PageTranscription") = pydantic.attr("create_model")("PageTranscription", **fields);
}

struct PdfReading {
    py::object texts;
    py::object hidden;
    py::object pages;
    py::object calls;
};

void init_pdf_reading(py::module_& m) {
    py::class_<PdfReading>(m, "PdfReading", py::dynamic_attr(),
                           "What ExtractorClient.read_pdf read: texts, {page number: text a reader sees}; "
                           "hidden, one dict per page whose text layer held words no reader sees; pages, how "
                           "each page was read; calls, the vision model calls made.")
        .def(py::init([](py::object texts, py::object hidden, py::object pages, py::object calls) {
                 pyglue::need_dict(texts, "texts");
                 pyglue::need_list(hidden, "hidden");
                 pyglue::need_opt_list(pages, "pages");
                 pyglue::need_opt_list(calls, "calls");
                 return PdfReading{texts, hidden, pages.is_none() ? py::object(py::list()) : pages,
                                   calls.is_none() ? py::object(py::list()) : calls};
             }),
             py::arg("texts"), py::arg("hidden"), py::arg("pages") = py::none(), py::arg("calls") = py::none())
        .def_readwrite("texts", &PdfReading::texts)
        .def_readwrite("hidden", &PdfReading::hidden)
        .def_readwrite("pages", &PdfReading::pages)
        .def_readwrite("calls", &PdfReading::calls)
        .def("__repr__", [](py::object self) {
            return pyglue::cat("PdfReading(pages=", py::list(self.attr("texts")), ", hidden=",
                               self.attr("hidden"), ")");
        });
}

struct ReadLimits {
    py::object max_pages, max_chars, timeout, memory_mb;
};

void init_read_limits(py::module_& m) {
    py::class_<ReadLimits>(m, "ReadLimits", py::dynamic_attr(),
                           "Limits a PDF is read within, in a process of its own: pages read, characters of "
                           "text, seconds and MB of memory. Given to ExtractorClient.read_pdf(limits=...).")
        .def(py::init([](py::object max_pages, py::object max_chars, py::object timeout, py::object memory_mb) {
                 ReadLimits r{pyglue::need_int(max_pages, "max_pages"), pyglue::need_int(max_chars, "max_chars"),
                              pyglue::need_float(timeout, "timeout"), pyglue::need_int(memory_mb, "memory_mb")};
                 check_read_limits(r.max_pages, r.max_chars, r.timeout, r.memory_mb);
                 return r;
             }),
             py::arg("max_pages") = 300, py::arg("max_chars") = 1000000, py::arg("timeout") = 120.0,
             py::arg("memory_mb") = 2048)
        .def_readwrite("max_pages", &ReadLimits::max_pages)
        .def_readwrite("max_chars", &ReadLimits::max_chars)
        .def_readwrite("timeout", &ReadLimits::timeout)
        .def_readwrite("memory_mb", &ReadLimits::memory_mb)
        .def("__repr__", [](py::object self) {
            return pyglue::cat("ReadLimits(max_pages=", self.attr("max_pages"), ", max_chars=",
                               self.attr("max_chars"), ", timeout=", self.attr("timeout"), ", memory_mb=",
                               self.attr("memory_mb"), ")");
        });

    // A PDF over one of its limits: it was not read.
    PyObject* error = PyErr_NewExceptionWithDoc(
        "quorvan_core.ocr_extractor.extractor_client.ReadLimitError",
        "A PDF that was not read because reading it went over a limit of ReadLimits; the attribute limit says "
        "which: 'pages', 'chars', 'time' or 'memory'.",
        PyExc_ValueError, nullptr);
    if (!error) throw py::error_already_set();
    m.attr("ReadLimitError") = py::reinterpret_steal<py::object>(error);
}

}  // namespace

}  // namespace quorvan::extractor

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

PYBIND11_MODULE(extractor_client, m) {
    using namespace quorvan::extractor;
    M.set(m);

    // Collaborators, looked up on the module at each use.
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "warnings", "warnings");
    pyglue::bind(m, "base64", "base64");
    // The OpenAI backend is optional: without openai (or pydantic) the module
    // still loads and the local backend works; asking for "openai" then says
    // which package is missing.
    pyglue::bind_optional(m, "OpenAI", "openai", "OpenAI");
    pyglue::bind_made(m, {"PageTranscription"}, &init_page_transcription);
    init_pdf_reading(m);
    init_read_limits(m);

    // Types already warned about: the fallback is announced once per process.
    m.attr("_warned_types") = py::set();

    RecommendationClass rec(
        m, "ExtractorRecommendation", py::dynamic_attr(),
        "The extractor suggested for a subject; handed to ExtractorClient.change_extractor.");
    init_recommendation(rec);

    ClientClass cls(m, "ExtractorClient", py::dynamic_attr(),
                    "Turns the pages of a PDF into text: Poppler's text layer with Tesseract OCR for scanned "
                    "pages, or the OpenAI vision model for handwriting.");
    init_client(cls);
    init_extraction(cls);
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
