// QurovanConfig: every setting of the system in one mutable record.
#include "quorvan.hpp"

namespace quorvan::facade {

namespace {

constexpr const char* kCredentials[] = {"openai_api_key", "aws_access_key_id",     "aws_secret_access_key",
                                        "gemini_api_key", "mathpix_app_id",        "mathpix_app_key"};

// to_dict's keys, in order; the logging switch is deliberately not among them.
constexpr const char* kDictKeys[] = {"extractor_type", "extractor_region", "openai_api_key",
                                     "aws_access_key_id", "aws_secret_access_key", "gemini_api_key",
                                     "mathpix_app_id", "mathpix_app_key", "token_log_file", "dpi"};

void config_init(py::handle self, py::object extractor_type, py::object extractor_region,
                 py::object openai_api_key, py::object aws_access_key_id, py::object aws_secret_access_key,
                 py::object gemini_api_key, py::object mathpix_app_id, py::object mathpix_app_key,
                 py::object token_log_file, py::object enable_llm_token_logging, py::object dpi) {
    // Every check before the first attribute is written.
    pyglue::need_str(extractor_type, "extractor_type");
    pyglue::need_str(extractor_region, "extractor_region");
    const py::object credentials[] = {openai_api_key, aws_access_key_id, aws_secret_access_key,
                                      gemini_api_key, mathpix_app_id,    mathpix_app_key};
    for (std::size_t i = 0; i < std::size(credentials); ++i) {
        pyglue::need_opt_str(credentials[i], kCredentials[i]);
    }
    pyglue::need_str(token_log_file, "token_log_file");
    py::bool_ logging_enabled(pyglue::truth(enable_llm_token_logging));
    py::object dpi_value = pyglue::need_int(dpi, "dpi");

    self.attr("extractor_type") = extractor_type;
    self.attr("extractor_region") = extractor_region;
    for (std::size_t i = 0; i < std::size(credentials); ++i) {
        self.attr(kCredentials[i]) = credentials[i];
    }
    self.attr("token_log_file") = token_log_file;
    self.attr("enable_llm_token_logging") = logging_enabled;
    self.attr("dpi") = dpi_value;
}

py::dict to_dict(py::object self) {
    py::dict out;
    for (const char* key : kDictKeys) out[key] = self.attr(key);
    return out;
}

}  // namespace

void init_config(ConfigClass& cls) {
    pyglue::def_init(cls, &config_init, py::arg("extractor_type") = "aws", py::arg("extractor_region") = "us-east-1",
                     py::arg("openai_api_key") = py::none(), py::arg("aws_access_key_id") = py::none(),
                     py::arg("aws_secret_access_key") = py::none(), py::arg("gemini_api_key") = py::none(),
                     py::arg("mathpix_app_id") = py::none(), py::arg("mathpix_app_key") = py::none(),
                     py::arg("token_log_file") = "llm_token_usage.log",
                     py::arg("enable_llm_token_logging") = false, py::arg("dpi") = 150);
    cls.def("to_dict", &to_dict, "The settings as a new dict (credentials in clear, logging switch left out).");
}

}  // namespace quorvan::facade
