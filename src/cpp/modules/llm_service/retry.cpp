// The retry policy of the two call paths and the per-call usage a caller can
// collect through the call_usage context variable.
#include <cmath>
#include <optional>
#include <string>

#include "llm_service.hpp"
#include "retry.hpp"
#include "usage.hpp"

namespace quorvan::llm {

namespace {

bool is_instance_of(const py::object& obj, const py::object& module, const char* name) {
    py::object type = py::getattr(module, name, py::none());
    if (type.is_none()) return false;
    int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

double seconds_of(const py::object& v, const char* arg) {
    return py::cast<double>(pyglue::need_float(v, arg));
}

}  // namespace

// How long the server asked us to wait, read as openai's client reads it:
// retry-after-ms first, then Retry-After as seconds or as an HTTP date.
std::optional<double> server_hint(const py::object& error) {
    try {
        py::object response = py::getattr(error, "response", py::none());
        if (response.is_none()) return std::nullopt;
        py::object headers = py::getattr(response, "headers", py::none());
        if (headers.is_none()) return std::nullopt;
        py::object get = headers.attr("get");

        py::object ms = get("retry-after-ms");
        if (py::isinstance<py::str>(ms)) {
            if (auto v = core::parse_delay_number(ms.cast<std::string>())) return *v / 1000.0;
        }
        py::object after = get("retry-after");
        if (!py::isinstance<py::str>(after)) return std::nullopt;
        if (auto v = core::parse_delay_number(after.cast<std::string>())) return v;
        py::object date = M("parsedate_tz")(after);
        if (date.is_none()) return std::nullopt;
        double at = py::cast<double>(py::float_(M("mktime_tz")(date)));
        double now = py::cast<double>(py::float_(M("time").attr("time")()));
        return at - now;
    } catch (...) {
        // A header we cannot read leaves the plain backoff.
        pyglue::caught();
        return std::nullopt;
    }
}

namespace {

// openai's own retries are turned off so that every try goes through this
// service's semaphore, rate window and usage log.
void set_retry_policy(py::object self, py::object retries, py::object timeout) {
    py::object n = pyglue::need_int(retries, "retries");
    py::object t = timeout.is_none() ? py::none() : pyglue::need_float(timeout, "timeout");
    if (py::cast<long long>(n) < 0) pyglue::raise_new(PyExc_ValueError, "retries must be at least 0");
    if (!t.is_none()) {
        double seconds = py::cast<double>(t);
        if (!std::isfinite(seconds) || seconds <= 0.0) {
            pyglue::raise_new(PyExc_ValueError, "timeout must be a positive number of seconds");
        }
    }

    py::kwargs options;
    options["max_retries"] = 0;
    if (!t.is_none()) options["timeout"] = t;
    // Both new clients are made before either is stored: a failure changes nothing.
    py::object replaced[2];
    const char* names[2] = {"client", "async_client"};
    for (int i = 0; i < 2; ++i) {
        py::object client = self.attr(names[i]);
        py::object with_options = py::getattr(client, "with_options", py::none());
        replaced[i] = with_options.is_none() ? client : with_options(**options);
    }
    for (int i = 0; i < 2; ++i) self.attr(names[i]) = replaced[i];
    self.attr("max_retries") = n;
    self.attr("request_timeout") = t;
}

}  // namespace

long long retries_of(const py::object& self) {
    long long n = py::cast<long long>(pyglue::need_int(self.attr("max_retries"), "max_retries"));
    return n < 0 ? 0 : n;
}

bool is_transient(const py::object& error) {
    py::object openai = M("openai");
    // APITimeoutError is an APIConnectionError: no answer came, the request may be sent again.
    if (is_instance_of(error, openai, "APIConnectionError") || is_instance_of(error, openai, "APITimeoutError")) {
        return true;
    }
    if (!is_instance_of(error, openai, "APIStatusError")) return false;
    py::object status = py::getattr(error, "status_code", py::none());
    if (!PyLong_Check(status.ptr())) return false;
    long long code = py::cast<long long>(status);
    return code == 408 || code == 409 || code == 429 || code >= 500;
}

double retry_wait_of(const py::object& self, const py::object& error, long long attempt) {
    double base = seconds_of(self.attr("retry_base_delay"), "retry_base_delay");
    double cap = seconds_of(self.attr("retry_max_delay"), "retry_max_delay");
    // Jitter spreads the tries of many calls that failed together.
    double jitter = py::cast<double>(py::float_(M("random").attr("uniform")(0.5, 1.0)));
    return core::retry_wait(core::backoff_delay(attempt, base, cap, jitter), server_hint(error));
}

void note_tries(const py::object& error, long long tries) {
    py::int_ n(tries);
    if (PyObject_SetAttrString(error.ptr(), "tries", n.ptr()) < 0) PyErr_Clear();  // e.g. a __slots__ error
}

void note_call_usage(const py::object& self, const py::object& task_name, const py::object& input_tokens,
                     const py::object& output_tokens, bool ok) {
    py::object sink = M("call_usage").attr("get")();
    if (!PyList_Check(sink.ptr())) return;
    // Truncated and priced exactly as _log_token_usage adds them to the totals.
    py::object in = pyglue::need_int(input_tokens, "input_tokens");
    py::object out = pyglue::need_int(output_tokens, "output_tokens");
    py::dict entry;
    entry["task"] = task_name;
    entry["model"] = self.attr("model");
    entry["input_tokens"] = in;
    entry["output_tokens"] = out;
    entry["cost"] = py::float_(priced(self, py::cast<std::int64_t>(in), py::cast<std::int64_t>(out)));
    entry["ok"] = py::bool_(ok);
    sink.attr("append")(entry);
}

double priced(const py::object& self, std::int64_t input_tokens, std::int64_t output_tokens) {
    const double in = py::cast<double>(pyglue::need_float(self.attr("input_price_per_million"), "input_price_per_million"));
    const double out =
        py::cast<double>(pyglue::need_float(self.attr("output_price_per_million"), "output_price_per_million"));
    return core::call_cost(input_tokens, output_tokens, in, out);
}

void init_retry(py::module_& m, ServiceClass& cls) {
    m.attr("call_usage") = py::module_::import("contextvars")
                               .attr("ContextVar")("call_usage", py::arg("default") = py::none());

    // Class-level defaults: an instance reads them until it sets its own, and
    // a new service's __dict__ keeps exactly the attributes it always had.
    cls.attr("max_retries") = py::int_(0);
    cls.attr("request_timeout") = py::none();
    cls.attr("retry_base_delay") = py::float_(0.5);
    cls.attr("retry_max_delay") = py::float_(30.0);
    // Prompts estimated above this many tokens are refused unsent (None: no cap).
    cls.attr("max_prompt_tokens") = py::int_(100000);
    // For calls made outside the service (the vision model reading pages for
    // the extractor): logged, added to the totals and to call_usage as the
    // service's own calls are, so no call goes uncounted.
    cls.def(
        "_count_call",
        [](py::object self, py::object task_name, py::object model, py::object input_tokens,
           py::object output_tokens, py::object ok, py::object additional_info) {
            pyglue::need_str(task_name, "task_name");
            pyglue::need_str(model, "model");
            pyglue::need_str(additional_info, "additional_info");
            const bool succeeded = pyglue::truth(ok);
            py::object out = succeeded ? output_tokens : py::object(py::int_(0));
            self.attr("_log_token_usage")(succeeded ? py::object(task_name) : pyglue::cat(task_name, "_FAILED"),
                                          input_tokens, out, model, additional_info);
            note_call_usage(self, task_name, input_tokens, out, succeeded);
        },
        py::arg("task_name"), py::arg("model"), py::arg("input_tokens"), py::arg("output_tokens"), py::arg("ok"),
        py::arg("additional_info") = "");
    cls.def("set_retry_policy", &set_retry_policy, py::arg("retries"), py::arg("timeout") = py::none(),
            "Retry transient model failures up to `retries` more times, each try limited to `timeout` "
            "seconds when given; the openai clients stop retrying on their own.");
}

}  // namespace quorvan::llm
