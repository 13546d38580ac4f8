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

}  // namespace

// LLMService's keyword-only settings a configuration may carry, in its order.
const char* const kServiceSettings[5] = {"model", "input_price_per_million", "output_price_per_million", "timeout",
                                         "max_retries"};

namespace {

void config_init(py::handle self, py::object extractor_type, py::object extractor_region,
                 py::object openai_api_key, py::object aws_access_key_id, py::object aws_secret_access_key,
                 py::object gemini_api_key, py::object mathpix_app_id, py::object mathpix_app_key,
                 py::object token_log_file, py::object enable_llm_token_logging, py::object dpi, py::object model,
                 py::object input_price_per_million, py::object output_price_per_million, py::object timeout,
                 py::object max_retries) {
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
    // The model service's settings: None leaves the service's default. Their
    // ranges are the service's to check, when configure creates it.
    pyglue::need_opt_str(model, "model");
    py::object service_settings[] = {
        model,
        input_price_per_million.is_none() ? py::none() : pyglue::need_float(input_price_per_million, "input_price_per_million"),
        output_price_per_million.is_none() ? py::none() : pyglue::need_float(output_price_per_million, "output_price_per_million"),
        timeout.is_none() ? py::none() : pyglue::need_float(timeout, "timeout"),
        pyglue::need_opt_int(max_retries, "max_retries")};

    self.attr("extractor_type") = extractor_type;
    self.attr("extractor_region") = extractor_region;
    for (std::size_t i = 0; i < std::size(credentials); ++i) {
        self.attr(kCredentials[i]) = credentials[i];
    }
    self.attr("token_log_file") = token_log_file;
    self.attr("enable_llm_token_logging") = logging_enabled;
    self.attr("dpi") = dpi_value;
    // Kept out of the instance while unset, so a default configuration has the attributes it always had.
    for (std::size_t i = 0; i < std::size(service_settings); ++i) {
        if (!service_settings[i].is_none()) self.attr(kServiceSettings[i]) = service_settings[i];
    }
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
                     py::arg("enable_llm_token_logging") = false, py::arg("dpi") = 150, py::kw_only(),
                     py::arg("model") = py::none(), py::arg("input_price_per_million") = py::none(),
                     py::arg("output_price_per_million") = py::none(), py::arg("timeout") = py::none(),
                     py::arg("max_retries") = py::none());
    for (const char* name : kServiceSettings) cls.attr(name) = py::none();
    cls.def("to_dict", &to_dict, "The settings as a new dict (credentials in clear, logging switch left out).");
}

}  // namespace quorvan::facade
