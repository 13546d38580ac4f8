// Quorvan construction, configure and its four steps, readiness.
#include <utility>

#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

// Environment variable <- configuration attribute, in export order.
constexpr std::pair<const char*, const char*> kEnvMappings[] = {
    {"OPENAI_API_KEY", "openai_api_key"},   {"AWS_ACCESS_KEY_ID", "aws_access_key_id"},
    {"AWS_SECRET_ACCESS_KEY", "aws_secret_access_key"}, {"GEMINI_API_KEY", "gemini_api_key"},
    {"MATHPIX_APP_ID", "mathpix_app_id"},   {"MATHPIX_APP_KEY", "mathpix_app_key"},
};

void facade_init(py::handle self) {
    self.attr("config") = py::none();
    self.attr("is_configured") = py::bool_(false);
    self.attr("llm_service") = py::none();
    self.attr("extractor_client") = py::none();
    self.attr("question_paper_service") = py::none();
    self.attr("answersheet_service") = py::none();
    self.attr("current_question_paper") = py::none();
    self.attr("last_processing_summary") = py::dict();
}

void configure(py::object self, py::object config) {
    try {
        if (!is_a(config, "QurovanConfig")) fail("ConfigurationError", "config must be an instance of QurovanConfig");
        pyglue::print("Configuring Quorvan...");
        self.attr("config") = config;
        self.attr("_set_environment_variables")(config);
        self.attr("_initialize_llm_service")(config);
        self.attr("_initialize_extractor_client")(config);
        self.attr("_initialize_handlers")();
        self.attr("is_configured") = py::bool_(true);
        pyglue::print("Quorvan configured successfully!");
    } catch (...) {
        py::object e = pyglue::caught();
        self.attr("is_configured") = py::bool_(false);
        fail("ConfigurationError", pyglue::cat("Failed to configure Quorvan: ", e), e);
    }
}

// Values already in the environment (set there or by .env) win.
void set_environment_variables(py::object /*self*/, py::object config) {
    py::object os = M("os");
    for (const auto& [name, attr] : kEnvMappings) {
        py::object value = config.attr(attr);
        if (!pyglue::truth(value)) continue;
        if (pyglue::truth(os.attr("getenv")(name))) continue;
        os.attr("environ")[name] = value;
    }
}

void initialize_llm_service(py::object self, py::object config) {
    guarded(self, {"ConfigurationError", "Failed to initialize LLM handler: "}, [&] {
        pyglue::print("Initializing LLM handler...");
        // Only the settings the configuration names; the rest keep the service's defaults.
        py::dict settings;
        for (const char* name : kServiceSettings) {
            py::object value = py::getattr(config, name, py::none());
            if (!value.is_none()) settings[name] = value;
        }
        self.attr("llm_service") = M("LLMService")(py::arg("token_log_file") = config.attr("token_log_file"),
                                                   py::arg("enable_logging") = config.attr("enable_llm_token_logging"),
                                                   **settings);
        pyglue::print("LLM handler initialized");
    });
}

void initialize_extractor_client(py::object self, py::object config) {
    guarded(self, {"ConfigurationError", "Failed to initialize extractor client: "}, [&] {
        py::object type = config.attr("extractor_type");
        pyglue::print(pyglue::cat("Initializing ", py::str("{}").format(type), " extractor client..."));

        py::dict kwargs;
        if (type.equal(py::str("openai")) && pyglue::truth(config.attr("openai_api_key"))) {
            kwargs["api_key"] = config.attr("openai_api_key");
        } else if (type.equal(py::str("gemini")) && pyglue::truth(config.attr("gemini_api_key"))) {
            kwargs["api_key"] = config.attr("gemini_api_key");
        } else if (type.equal(py::str("mathpix"))) {
            if (pyglue::truth(config.attr("mathpix_app_id"))) kwargs["app_id"] = config.attr("mathpix_app_id");
            if (pyglue::truth(config.attr("mathpix_app_key"))) kwargs["app_key"] = config.attr("mathpix_app_key");
        }
        py::object model = py::getattr(config, "model", py::none());
        if (!model.is_none()) kwargs["model"] = model;
        self.attr("extractor_client") = M("ExtractorClient")(py::arg("extractor_type") = type,
                                                             py::arg("region") = config.attr("extractor_region"),
                                                             **kwargs);
        self.attr("extractor_client").attr("set_dpi")(config.attr("dpi"));
        pyglue::print("Extractor client initialized");
    });
}

void initialize_handlers(py::object self) {
    guarded(self, {"ConfigurationError", "Failed to initialize handlers: "}, [&] {
        pyglue::print("Initializing question paper handler...");
        self.attr("question_paper_service") =
            M("QuestionPaperService")(py::arg("extractor_client") = self.attr("extractor_client"),
                                      py::arg("llm_service") = self.attr("llm_service"));
        pyglue::print("Initializing answersheet handler...");
        self.attr("answersheet_service") =
            M("AnswersheetService")(py::arg("extractor_client") = self.attr("extractor_client"),
                                    py::arg("llm_service") = self.attr("llm_service"));
        pyglue::print("All handlers initialized");
    });
}

py::object is_ready(py::object self) {
    py::object configured = self.attr("is_configured");
    if (!pyglue::truth(configured)) return configured;
    // All four are read before any is tested, as all([...]) does.
    const py::object components[] = {self.attr("llm_service"), self.attr("extractor_client"),
                                     self.attr("question_paper_service"), self.attr("answersheet_service")};
    for (const py::object& component : components) {
        if (!pyglue::truth(component)) return py::bool_(false);
    }
    return py::bool_(true);
}

void validate_configured(py::object self) {
    if (!pyglue::truth(self.attr("is_configured"))) {
        fail("ConfigurationError", "Quorvan is not configured. Call configure() first.");
    }
    if (!pyglue::truth(self.attr("is_ready")())) {
        fail("ConfigurationError", "Quorvan is not ready. Some components failed to initialize.");
    }
}

py::dict get_configuration_summary(py::object self) {
    py::object config = self.attr("config");
    py::dict out;
    if (!pyglue::truth(config)) {
        out["status"] = "not_configured";
        return out;
    }
    out["status"] = pyglue::truth(self.attr("is_configured")) ? "configured" : "configuration_failed";
    for (const char* key : {"extractor_type", "extractor_region", "token_log_file", "dpi"}) {
        out[key] = config.attr(key);
    }
    out["ready"] = self.attr("is_ready")();
    out["has_question_paper"] = py::bool_(!self.attr("current_question_paper").is_none());
    return out;
}

}  // namespace

void init_lifecycle(FacadeClass& cls) {
    pyglue::def_init(cls, &facade_init);
    cls.def("configure", &configure, py::arg("config"),
            "Export the credentials, then build the model service, the extractor and both pipelines.");
    cls.def("_set_environment_variables", &set_environment_variables, py::arg("config"));
    cls.def("_initialize_llm_service", &initialize_llm_service, py::arg("config"));
    cls.def("_initialize_extractor_client", &initialize_extractor_client, py::arg("config"));
    cls.def("_initialize_handlers", &initialize_handlers);
    cls.def("is_ready", &is_ready, "True when configured and all four components are present.");
    cls.def("_validate_configured", &validate_configured);
    cls.def("get_configuration_summary", &get_configuration_summary,
            "Status and the non-secret settings of the configuration.");
}

}  // namespace quorvan::facade
