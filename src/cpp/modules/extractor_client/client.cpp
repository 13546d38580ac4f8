// ExtractorClient configuration: types, backends, dpi, and the subject
// recommendation that the pipelines hand back to change_extractor.
#include <string>
#include <vector>

#include "extractor.hpp"
#include "subjects.hpp"

namespace quorvan::extractor {

namespace {

constexpr const char* kKnownTypes[] = {"local", "openai", "aws", "gemini", "mathpix"};

std::string str_of(py::handle s) { return py::cast<std::string>(s); }

[[noreturn]] void raise_unknown_type(py::handle type) {
    pyglue::raise_new(PyExc_ValueError,
                      pyglue::cat("Unknown extractor type ", py::repr(type),
                                  "; expected one of 'local', 'openai', 'aws', 'gemini', 'mathpix'"));
}

void require_openai(py::handle api_key) {
    const std::string missing = openai_missing(api_key);
    if (!missing.empty()) {
        pyglue::raise_new(PyExc_ValueError, ("Extractor type 'openai' needs " + missing).c_str());
    }
}

// Types without a backend here are read by another one; said once per type
// and process, on stderr through warnings, never on stdout.
void announce_fallback(const std::string& type, const std::string& backend) {
    py::set warned = M("_warned_types");
    if (warned.contains(py::str(type))) return;
    const std::string how = backend == kOpenAI ? "the 'openai' backend (OpenAI vision model)"
                                               : "the 'local' backend (Poppler text layer with Tesseract OCR)";
    M("warnings").attr("warn")(py::str("Extractor type '" + type + "' has no backend here; " + how +
                                       " extracts the pages instead"),
                               py::handle(PyExc_RuntimeWarning), 1);
    warned.add(py::str(type));
}

// The backend for a configured type: the type itself when it has one, else
// the recommended backend when it can run now, else the local one.
std::string settle_backend(py::object self, const std::string& configured, const std::string* recommended) {
    std::string backend = kLocal;
    if (has_backend(configured)) {
        backend = configured;
    } else if (recommended && *recommended == kOpenAI && openai_missing(py::none()).empty()) {
        backend = kOpenAI;
    }
    self.attr("backend") = py::str(backend);
    if (!has_backend(configured)) announce_fallback(configured, backend);
    return backend;
}

py::object validated_dpi(py::handle dpi) {
    py::object v = pyglue::need_int(dpi, "dpi");
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow != 0 || n < kMinDpi || n > kMaxDpi) {
        pyglue::raise_new(PyExc_ValueError, pyglue::cat("dpi must be between ", kMinDpi, " and ", kMaxDpi,
                                                        ", got ", v));
    }
    return v;
}

std::string validated_reader(py::handle reader) {
    pyglue::need_str(reader, "reader");
    const std::string r = str_of(reader);
    if (r != kReaderAuto && r != kReaderLocal && r != kReaderVision) {
        pyglue::raise_new(PyExc_ValueError,
                          pyglue::cat("reader must be 'auto', 'local' or 'vision', got ", py::repr(reader)));
    }
    return r;
}

double validated_min_confidence(py::handle value) {
    py::object v = pyglue::need_float(value, "min_confidence");
    const double d = py::cast<double>(v);
    if (!(d >= 0 && d <= 100)) {
        pyglue::raise_new(PyExc_ValueError,
                          pyglue::cat("min_confidence must be a number from 0 to 100, got ", py::repr(value)));
    }
    return d;
}

// ------------------------------------------------------------- the client

void client_init(py::handle self_h, py::object extractor_type, py::object region, py::object api_key,
                 py::object app_id, py::object app_key, py::object model, py::object reader,
                 py::object min_confidence) {
    py::object self = py::reinterpret_borrow<py::object>(self_h);
    pyglue::need_str(extractor_type, "extractor_type");
    pyglue::need_str(region, "region");
    pyglue::need_opt_str(api_key, "api_key");
    pyglue::need_opt_str(app_id, "app_id");
    pyglue::need_opt_str(app_key, "app_key");
    pyglue::need_str(model, "model");
    if (PyUnicode_GetLength(model.ptr()) == 0) pyglue::raise_new(PyExc_ValueError, "model must not be empty");
    validated_reader(reader);
    validated_min_confidence(min_confidence);
    const std::string type = str_of(extractor_type);
    if (!is_known_type(type)) raise_unknown_type(extractor_type);
    if (type == kOpenAI) require_openai(api_key);

    self.attr("extractor_type") = extractor_type;
    self.attr("region") = region;
    self.attr("api_key") = api_key;
    self.attr("app_id") = app_id;
    self.attr("app_key") = app_key;
    self.attr("dpi") = py::int_(kDefaultDpi);
    // The default model stays on the class, out of the instance's attributes.
    if (!model.equal(py::type::handle_of(self).attr("model"))) self.attr("model") = model;
    py::handle cls = py::type::handle_of(self);
    if (!reader.equal(cls.attr("reader"))) self.attr("reader") = reader;
    if (!min_confidence.equal(cls.attr("min_confidence"))) self.attr("min_confidence") = min_confidence;
    settle_backend(self, type, nullptr);
}

void set_dpi(py::object self, py::object dpi) { self.attr("dpi") = validated_dpi(dpi); }

void change_extractor(py::object self, py::object extractor) {
    if (PyUnicode_CheckExact(extractor.ptr())) {
        // An explicit switch: the new type must be usable as asked.
        const std::string type = str_of(extractor);
        if (!is_known_type(type)) raise_unknown_type(extractor);
        if (type == kOpenAI) require_openai(self.attr("api_key"));
        self.attr("extractor_type") = extractor;
        settle_backend(self, type, nullptr);
        return;
    }
    py::object recommended = py::getattr(extractor, "extractor_type", py::none());
    if (recommended.is_none()) pyglue::raise_arg_type("extractor", "str or ExtractorRecommendation", extractor);
    pyglue::need_str(recommended, "extractor.extractor_type");
    const std::string rec = str_of(recommended);
    if (!is_known_type(rec)) raise_unknown_type(recommended);
    // Advice only: it decides just for configured types that have no backend.
    settle_backend(self, str_of(pyglue::str(self.attr("extractor_type"))), &rec);
}

py::str client_repr(py::object self) {
    return pyglue::cat("<", py::type::handle_of(self).attr("__name__"), " extractor_type=",
                       py::repr(self.attr("extractor_type")), " backend=", py::repr(self.attr("backend")),
                       " dpi=", py::repr(self.attr("dpi")), ">");
}

// ---------------------------------------------------------- recommendation

py::object recommend(py::object subject) {
    pyglue::need_str(subject, "subject");
    const bool notation = core::is_notation_heavy(str_of(subject.attr("casefold")()));
    const std::string missing = openai_missing(py::none());
    const char* type = kLocal;
    py::str reason;
    if (!notation) {
        reason = pyglue::cat(py::repr(subject),
                             " is mostly prose, which the local backend (Poppler text layer with Tesseract "
                             "OCR) reads well");
    } else if (missing.empty()) {
        type = kOpenAI;
        reason = pyglue::cat(py::repr(subject),
                             " is written in formulas and symbols, which the OpenAI vision model transcribes "
                             "more faithfully than OCR");
    } else {
        reason = pyglue::cat(py::repr(subject),
                             " is written in formulas and symbols, but the OpenAI vision model needs ", missing,
                             "; the local backend is used");
    }
    return M("ExtractorRecommendation")(subject, type, reason);
}

void recommendation_init(py::handle self_h, py::object subject, py::object extractor_type, py::object reason) {
    py::object self = py::reinterpret_borrow<py::object>(self_h);
    pyglue::need_str(subject, "subject");
    pyglue::need_str(extractor_type, "extractor_type");
    pyglue::need_str(reason, "reason");
    self.attr("subject") = subject;
    self.attr("extractor_type") = extractor_type;
    self.attr("reason") = reason;
}

py::str recommendation_repr(py::object self) {
    return pyglue::cat(py::type::handle_of(self).attr("__name__"), "(subject=", py::repr(self.attr("subject")),
                       ", extractor_type=", py::repr(self.attr("extractor_type")),
                       ", reason=", py::repr(self.attr("reason")), ")");
}

}  // namespace

bool is_known_type(const std::string& type) {
    for (const char* t : kKnownTypes) {
        if (type == t) return true;
    }
    return false;
}

bool has_backend(const std::string& type) { return type == kLocal || type == kOpenAI; }

py::object openai_key(py::handle api_key) {
    if (pyglue::truth(api_key)) return py::reinterpret_borrow<py::object>(api_key);
    py::object env = M("os").attr("environ").attr("get")("OPENAI_API_KEY");
    return pyglue::truth(env) ? env : py::none();
}

std::string openai_missing(py::handle api_key) {
    std::vector<std::string> parts;
    if (openai_key(api_key).is_none()) {
        parts.push_back("an OpenAI API key (api_key or the OPENAI_API_KEY environment variable)");
    }
    if (M("OpenAI").is_none()) parts.push_back("the 'openai' package, which is not installed");
    if (M("PageTranscription").is_none()) parts.push_back("the 'pydantic' package, which is not installed");
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? " and " : "") + parts[i];
    return out;
}

void init_recommendation(RecommendationClass& cls) {
    pyglue::def_init(cls, &recommendation_init, py::arg("subject"), py::arg("extractor_type"),
                     py::arg("reason") = "");
    cls.def("__repr__", &recommendation_repr);
}

void init_client(ClientClass& cls) {
    pyglue::def_init(cls, &client_init, py::arg("extractor_type") = "local", py::arg("region") = "us-east-1",
                     py::arg("api_key") = py::none(), py::arg("app_id") = py::none(),
                     py::arg("app_key") = py::none(), py::kw_only(), py::arg("model") = kModel,
                     py::arg("reader") = kReaderLocal, py::arg("min_confidence") = kDefaultMinConfidence);
    // The vision model that transcribes pages for the 'openai' backend, and
    // for the local one the pages its reader sends to it.
    cls.attr("model") = py::str(kModel);
    // Nothing leaves the machine unless asked: a library user opts in.
    cls.attr("reader") = py::str(kReaderLocal);
    cls.attr("min_confidence") = py::float_(kDefaultMinConfidence);
    cls.def("set_dpi", &set_dpi, py::arg("dpi"),
            "Resolution (1 to 1200) at which pages are rendered for OCR and for the vision model.");
    cls.def("change_extractor", &change_extractor, py::arg("extractor"),
            "Switch to a type by name, or take a recommendation: it decides only when the configured type "
            "has no backend here.");
    cls.def_static("get_recommended_extractor_for_subject", &recommend, py::arg("subject"),
                   "The extractor suited to a subject's notation, among the backends that can run now.");
    cls.def("__repr__", &client_repr);
}

std::string current_reader(py::object self) { return validated_reader(self.attr("reader")); }

double current_min_confidence(py::object self) { return validated_min_confidence(self.attr("min_confidence")); }

// Shared with extraction: the dpi attribute may have been set directly.
long long current_dpi(py::object self) {
    return py::cast<long long>(validated_dpi(self.attr("dpi")));
}

}  // namespace quorvan::extractor
