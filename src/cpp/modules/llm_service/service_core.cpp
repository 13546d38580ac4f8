// LLMService construction, usage log, token estimates, rate limit and the two
// call paths every prompt operation goes through.
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "llm_service.hpp"
#include "rate_window.hpp"
#include "usage.hpp"

namespace quorvan::llm {

using pyglue::Coro;

namespace {

constexpr const char* kLogFormat = "%(asctime)s | %(message)s";
constexpr const char* kLogDateFormat = "%Y-%m-%d %H:%M:%S";

// tiktoken caches a download under the sha1 of its URL.
struct CachedEncoding {
    const char* file;
    const char* cache_key;
};
constexpr CachedEncoding kEncodings[] = {
    {"o200k_base.tiktoken", "fb374d419588a4632f3f557e76b4b70aebbca790"},
    {"cl100k_base.tiktoken", "9b5ad71b2ce5302211f9c61530b329a4922fc6a4"},
};

std::string fs_path(py::handle p) {
    return M("os").attr("fsencode")(p).cast<std::string>();
}

std::int64_t as_i64(py::handle v) { return py::cast<std::int64_t>(v); }

py::object checked_price(const py::object& v, const char* arg) {
    py::object price = pyglue::need_float(v, arg);
    const double p = py::cast<double>(price);
    if (!std::isfinite(p) || p < 0.0) {
        pyglue::raise_new(PyExc_ValueError,
                          (std::string(arg) + " must be a finite number of US dollars, at least 0").c_str());
    }
    return price;
}

// ------------------------------------------------------------ construction

struct Limits {
    py::object max_requests, per_minute, tokens;
};

Limits checked_limits(py::object max_concurrent_requests, py::object requests_per_minute,
                      py::object tokens_per_minute) {
    py::object max_requests = pyglue::need_int(max_concurrent_requests, "max_concurrent_requests");
    py::object per_minute = pyglue::need_int(requests_per_minute, "requests_per_minute");
    py::object tokens = pyglue::need_opt_int(tokens_per_minute, "tokens_per_minute");
    // A semaphore or window of no permits would stall every asynchronous call forever.
    if (py::cast<long long>(max_requests) < 1) {
        pyglue::raise_new(PyExc_ValueError, "max_concurrent_requests must be at least 1");
    }
    if (py::cast<long long>(per_minute) < 1) {
        pyglue::raise_new(PyExc_ValueError, "requests_per_minute must be at least 1");
    }
    if (!tokens.is_none()) checked_tokens_per_minute(tokens);
    return {max_requests, per_minute, tokens};
}

void apply_limits(const py::object& self, const Limits& limits) {
    self.attr("max_concurrent_requests") = limits.max_requests;
    self.attr("requests_per_minute") = limits.per_minute;
    self.attr("_request_semaphore") = M("asyncio").attr("Semaphore")(limits.max_requests);
    // No token limit is the class's default: a service without one keeps the
    // instance attributes it always had.
    py::object d = py::getattr(self, "__dict__", py::none());
    if (!limits.tokens.is_none() || (!d.is_none() && d.contains("tokens_per_minute"))) {
        self.attr("tokens_per_minute") = limits.tokens;
    }
}

void service_init(py::handle self_h, py::object token_log_file, py::object max_concurrent_requests,
                  py::object requests_per_minute, py::object enable_logging, py::object model,
                  py::object input_price_per_million, py::object output_price_per_million, py::object timeout,
                  py::object max_retries, py::object tokens_per_minute) {
    py::object self = py::reinterpret_borrow<py::object>(self_h);
    pyglue::need_str(token_log_file, "token_log_file");
    const Limits limits = checked_limits(max_concurrent_requests, requests_per_minute, tokens_per_minute);
    bool logging_enabled = pyglue::truth(enable_logging);
    pyglue::need_str(model, "model");
    if (PyUnicode_GetLength(model.ptr()) == 0) pyglue::raise_new(PyExc_ValueError, "model must not be empty");
    py::object price_in = checked_price(input_price_per_million, "input_price_per_million");
    py::object price_out = checked_price(output_price_per_million, "output_price_per_million");
    py::object retries = pyglue::need_int(max_retries, "max_retries");
    if (py::cast<long long>(retries) < 0) pyglue::raise_new(PyExc_ValueError, "max_retries must be at least 0");
    py::object seconds = timeout.is_none() ? py::none() : pyglue::need_float(timeout, "timeout");
    if (!seconds.is_none()) {
        const double t = py::cast<double>(seconds);
        if (!std::isfinite(t) || t <= 0.0) {
            pyglue::raise_new(PyExc_ValueError, "timeout must be a positive number of seconds");
        }
    }

    py::object api_key = M("os").attr("getenv")("OPENAI_API_KEY");
    if (!pyglue::truth(api_key)) {
        pyglue::raise_new(PyExc_ValueError, "OPENAI_API_KEY environment variable is required");
    }
    self.attr("client") = M("OpenAI")(py::arg("api_key") = api_key);
    self.attr("async_client") = M("AsyncOpenAI")(py::arg("api_key") = api_key);

    self.attr("model") = model;
    self.attr("token_log_file") = token_log_file;
    self.attr("is_logging_enabled") = py::bool_(logging_enabled);
    apply_limits(self, limits);
    self.attr("_rate_limit_timestamps") = py::list();

    seed_tiktoken_cache();
    py::object tiktoken = M("tiktoken");
    py::object encoding = py::none();
    try {
        encoding = tiktoken.attr("encoding_for_model")(self.attr("model"));
    } catch (...) {
        pyglue::caught();
        try {
            encoding = tiktoken.attr("get_encoding")("cl100k_base");
        } catch (...) {
            // No encoding at all (offline, no cache): counting falls back to
            // the characters/4 estimate instead of refusing to start.
            pyglue::caught();
            encoding = py::none();
        }
    }
    self.attr("encoding") = encoding;

    self.attr("_setup_token_logger")();

    self.attr("total_input_tokens") = py::int_(0);
    self.attr("total_output_tokens") = py::int_(0);
    self.attr("total_cost") = py::float_(0.0);

    // The defaults live on the class: a service made with them keeps the
    // instance attributes it always had.
    py::handle cls = py::type::handle_of(self);
    if (!price_in.equal(cls.attr("input_price_per_million"))) self.attr("input_price_per_million") = price_in;
    if (!price_out.equal(cls.attr("output_price_per_million"))) self.attr("output_price_per_million") = price_out;
    if (py::cast<long long>(retries) != 0 || !seconds.is_none()) {
        self.attr("set_retry_policy")(retries, seconds);
    }
}

void setup_token_logger(py::object self) {
    py::object logging = M("logging");
    py::object logger = logging.attr("getLogger")("token_usage");
    self.attr("token_logger") = logger;
    logger.attr("setLevel")(logging.attr("INFO"));

    // Detach every handler, earlier instances' included, and close them so no
    // file stays open behind a detached handler.
    py::object handlers = logger.attr("handlers");
    auto removed = py::reinterpret_steal<py::list>(PySequence_List(handlers.ptr()));  // a copy
    if (!removed) throw py::error_already_set();
    for (py::handle h : removed) logger.attr("removeHandler")(h);
    for (py::handle h : removed) h.attr("close")();

    py::object handler =
        logging.attr("FileHandler")(self.attr("token_log_file"), py::arg("encoding") = "utf-8");
    handler.attr("setLevel")(logging.attr("INFO"));
    handler.attr("setFormatter")(
        logging.attr("Formatter")(kLogFormat, py::arg("datefmt") = kLogDateFormat));
    logger.attr("addHandler")(handler);

    self.attr("log_to_file")(py::str(std::string(core::session_banner())), "info");
}

void log_to_file(py::object self, py::object msg, py::object logger_level) {
    pyglue::need_str(msg, "msg");
    pyglue::need_str(logger_level, "logger_level");
    if (!pyglue::truth(self.attr("is_logging_enabled"))) return;
    py::object logger = self.attr("token_logger");
    std::string level = logger_level.attr("lower")().cast<std::string>();
    if (level == "debug") {
        logger.attr("debug")(msg);
    } else if (level == "info") {
        logger.attr("info")(msg);
    } else if (level == "warning" || level == "warn") {
        logger.attr("warning")(msg);
    } else if (level == "error") {
        logger.attr("error")(msg);
    } else if (level == "critical") {
        logger.attr("critical")(msg);
    } else {
        logger.attr("info")(pyglue::cat("[", logger_level.attr("upper")(), "] ", msg));
    }
}

// ---------------------------------------------------------- token estimates

py::object count_tokens(py::object self, py::object text) {
    pyglue::need_str(text, "text");
    try {
        py::object tokens = self.attr("encoding").attr("encode")(text);
        return py::int_(py::len(tokens));
    } catch (...) {
        pyglue::caught();
        return py::int_(PyUnicode_GetLength(text.ptr()) / 4);
    }
}

py::object count_message_tokens(py::object self, py::object messages) {
    pyglue::need_list(messages, "messages");
    py::object count_tokens_m = self.attr("_count_tokens");
    py::object total = py::int_(0);
    for (py::handle message : py::list(messages)) {
        py::object content = message.attr("get")("content", "");
        py::object n = count_tokens_m(content);
        total = total + py::int_(core::kTokensPerMessage) + n;
        if (py::reinterpret_borrow<py::object>(message).contains("name")) {
            total = total + py::int_(core::kTokensPerName);
        }
    }
    return total + py::int_(core::kTokensReplyPrimer);
}

// --------------------------------------------------------------- rate limit

Coro enforce_rate_limit(py::object self) {
    for (;;) {
        py::object now = M("time").attr("time")();
        py::list window(self.attr("_rate_limit_timestamps"));
        std::vector<double> times;
        times.reserve(window.size());
        for (py::handle ts : window) times.push_back(py::cast<double>(ts));
        py::object limit = self.attr("requests_per_minute");
        auto check = core::check_rate_window(times, py::cast<double>(now), py::cast<long long>(limit));

        py::list kept;
        for (std::size_t i : check.kept) kept.append(window[i]);
        self.attr("_rate_limit_timestamps") = kept;

        if (check.wait > 0.0) {
            // Sleep exactly until the oldest entry leaves, then look again:
            // others may have been admitted meanwhile.
            py::object sleeping = M("asyncio").attr("sleep")(check.wait);
            co_await sleeping;
            continue;
        }
        // Recorded at the actual admission, after any sleep.
        kept.append(now);
        co_return py::none();
    }
}

// ----------------------------------------------------------- usage account

void log_token_usage(py::object self, py::object task_name, py::object input_tokens,
                     py::object output_tokens, py::object model, py::object additional_info) {
    pyglue::need_str(task_name, "task_name");
    py::object in = pyglue::need_int(input_tokens, "input_tokens");
    py::object out = pyglue::need_int(output_tokens, "output_tokens");
    pyglue::need_str(model, "model");
    pyglue::need_str(additional_info, "additional_info");

    const std::int64_t in_n = as_i64(in), out_n = as_i64(out);
    const double cost = priced(self, in_n, out_n);

    // Pool threads report at once: each update is a few C-level steps under
    // the GIL with no Python code in between, so no update is lost.
    self.attr("total_input_tokens") = py::object(self.attr("total_input_tokens")) + in;
    self.attr("total_output_tokens") = py::object(self.attr("total_output_tokens")) + out;
    self.attr("total_cost") = py::object(self.attr("total_cost")) + py::float_(cost);

    std::string record = core::usage_record(task_name.cast<std::string>(), model.cast<std::string>(),
                                            in_n, out_n, cost, additional_info.cast<std::string>());
    self.attr("log_to_file")(py::str(record), "info");
    pyglue::print(core::console_line(task_name.cast<std::string>(), in_n + out_n, cost));
}

// --------------------------------------------------------------- the calls

// ------------------------------------------------------ the prompt's count
//
// The prompt's token count is used only when the call fails or the answer
// reports no usage, and counting a long prompt with tiktoken takes about a
// twentieth of a quick call. So it is left until needed whenever counting
// earlier could not be told apart from counting later: the counting methods
// are this class's own (not overridden on a subclass or patched on the
// instance), the encoding is a real tiktoken Encoding (or none), and every
// message is a dict with str content, which is all that counting reads.

// LLMService._count_tokens and _count_message_tokens as defined here; strong
// references kept for the life of the process (no destructor after Python's).
PyObject* g_count_tokens = nullptr;
PyObject* g_count_message_tokens = nullptr;

bool is_own_method(const py::object& self, const char* name, PyObject* own) {
    py::object d = py::getattr(self, "__dict__", py::none());
    if (!d.is_none() && d.contains(name)) return false;
    py::object found = py::getattr(py::type::handle_of(self), name, py::none());
    return found.ptr() == own;
}

bool count_can_wait(const py::object& self, const py::object& messages) {
    if (!g_count_tokens || !PyList_CheckExact(messages.ptr())) return false;
    for (py::handle m : messages) {
        if (!PyDict_CheckExact(m.ptr())) return false;
        PyObject* content = PyDict_GetItemString(m.ptr(), "content");  // borrowed
        if (content && !PyUnicode_CheckExact(content)) return false;
    }
    if (!is_own_method(self, "_count_message_tokens", g_count_message_tokens) ||
        !is_own_method(self, "_count_tokens", g_count_tokens)) {
        return false;
    }
    py::object encoding = self.attr("encoding");
    if (encoding.is_none()) return true;
    py::object encoding_type = py::getattr(M("tiktoken"), "Encoding", py::none());
    if (encoding_type.is_none() || py::type::handle_of(encoding).ptr() != encoding_type.ptr()) return false;
    py::object d = py::getattr(encoding, "__dict__", py::none());
    return d.is_none() || !d.contains("encode");
}

// The prompt's count, made now if it was left for later.
py::object counted(const py::object& self, const py::object& messages, py::object& input_tokens) {
    if (!input_tokens) input_tokens = self.attr("_count_message_tokens")(messages);
    return input_tokens;
}

// ------------------------------------------------------ the prompt's cap
//
// A prompt above max_prompt_tokens (None: no cap) is refused before it is
// sent: a PDF of thousands of pages would otherwise cost a call the model
// cannot take. A token is at least one byte of UTF-8, so a prompt whose bytes
// fit under the cap is let through without counting, where counting can wait.

long long utf8_bytes(PyObject* text) {
    Py_ssize_t n = 0;
    if (!PyUnicode_AsUTF8AndSize(text, &n)) {
        PyErr_Clear();  // lone surrogates: four bytes a character at most
        return 4LL * PyUnicode_GetLength(text);
    }
    return n;
}

void check_prompt_size(const py::object& self, const py::object& messages, bool can_wait, py::object& estimate) {
    py::object cap = py::getattr(self, "max_prompt_tokens", py::none());
    if (cap.is_none()) return;
    const long long limit = py::cast<long long>(pyglue::need_int(cap, "max_prompt_tokens"));
    if (can_wait && !estimate) {
        long long bound = core::kTokensReplyPrimer;
        for (py::handle m : messages) {
            bound += core::kTokensPerMessage + core::kTokensPerName;
            PyObject* content = PyDict_GetItemString(m.ptr(), "content");  // borrowed; str, as can_wait says
            if (content) bound += utf8_bytes(content);
        }
        if (bound <= limit) return;
    }
    if (!estimate) estimate = self.attr("_count_message_tokens")(messages);
    const long long tokens = py::cast<long long>(estimate);
    if (tokens <= limit) return;
    py::str grouped("{:,}");
    py::object error = M("PromptTooLargeError")(pyglue::cat(
        "the prompt has an estimated ", grouped.attr("format")(estimate), " tokens, more than the cap of ",
        grouped.attr("format")(py::int_(limit)), " (max_prompt_tokens); it was not sent"));
    error.attr("estimate") = estimate;
    error.attr("cap") = py::int_(limit);
    pyglue::raise(error);
}

py::object output_tokens_of(py::object self, py::object response, py::object& input_tokens,
                            const py::object& messages) {
    py::object usage = py::getattr(response, "usage", py::none());
    if (pyglue::truth(usage)) {
        py::object out = usage.attr("completion_tokens");
        input_tokens = usage.attr("prompt_tokens");
        return out;
    }
    counted(self, messages, input_tokens);
    py::object content = response.attr("choices")[py::int_(0)].attr("message").attr("content");
    if (!pyglue::truth(content)) content = py::str("");
    return self.attr("_count_tokens")(content);
}

// With `raw`, the raw response comes back (its headers feed the token pacing);
// its parse() gives what the plain call returns.
py::object parse_call(py::object client, py::object self, py::object messages, py::object response_format,
                      bool raw = false) {
    py::object completions = client.attr("beta").attr("chat").attr("completions");
    if (raw) completions = completions.attr("with_raw_response");
    py::object parse = completions.attr("parse");
    py::object timeout = self.attr("request_timeout");
    if (timeout.is_none()) {
        return parse(py::arg("model") = self.attr("model"), py::arg("messages") = messages,
                     py::arg("response_format") = response_format);
    }
    return parse(py::arg("model") = self.attr("model"), py::arg("messages") = messages,
                 py::arg("response_format") = response_format, py::arg("timeout") = timeout);
}

// The answer's usage (prompt + completion, as the server counted them) and
// rate-limit headers into the token window.
void settle_answer(TokenTurn& turn, const py::object& raw, const py::object& input_tokens,
                   const py::object& output_tokens) {
    const long long spent = py::cast<long long>(pyglue::need_int(input_tokens, "input_tokens")) +
                            py::cast<long long>(pyglue::need_int(output_tokens, "output_tokens"));
    turn.answered(py::getattr(raw, "headers", py::none()), spent);
}

// Every failed try is a call the service made, so each goes to the usage log,
// the totals and call_usage on its own, with the try named when there may be
// more than one.
void log_failure(py::object self, py::object task_name, py::object input_tokens, py::object error,
                 long long attempt, long long retries) {
    py::str info = retries > 0 ? pyglue::cat("Error: ", error, " (try ", attempt, " of ", retries + 1, ")")
                               : pyglue::cat("Error: ", error);
    self.attr("_log_token_usage")(pyglue::cat(task_name, "_FAILED"), input_tokens, 0, self.attr("model"), info);
    note_call_usage(self, task_name, input_tokens, py::int_(0), false);
}

// After a failed try: true when another try should follow; otherwise the
// error is marked with the number of tries made and the caller raises it.
bool try_again(const py::object& error, long long attempt, long long retries) {
    if (attempt <= retries && is_transient(error)) return true;
    note_tries(error, attempt);
    return false;
}

py::object make_api_call(py::object self, py::object task_name, py::object messages,
                         py::object response_format, py::object additional_info) {
    pyglue::need_str(task_name, "task_name");
    pyglue::need_list(messages, "messages");
    pyglue::need_str(additional_info, "additional_info");

    const long long retries = retries_of(self);
    py::object estimate;  // the prompt's count; null: left until needed
    const bool can_wait = count_can_wait(self, messages);
    if (!can_wait) estimate = self.attr("_count_message_tokens")(messages);
    check_prompt_size(self, messages, can_wait, estimate);
    for (long long attempt = 1;; ++attempt) {
        TokenTurn turn(self);
        if (turn.on()) {
            const long long need = py::cast<long long>(counted(self, messages, estimate)) + expected_output_of(self);
            // Looked up at each use so tests can patch the module's time.
            for (double wait = turn.next_wait(need); wait > 0.0; wait = turn.next_wait(need)) {
                M("time").attr("sleep")(wait);
            }
        }
        py::object input_tokens = estimate;
        py::object output_tokens;
        py::object response;
        py::object raw = py::none();
        py::object error;
        try {
            if (turn.on()) {
                raw = parse_call(self.attr("client"), self, messages, response_format, true);
                response = raw.attr("parse")();
            } else {
                response = parse_call(self.attr("client"), self, messages, response_format);
            }
            output_tokens = output_tokens_of(self, response, input_tokens, messages);
            if (turn.on()) settle_answer(turn, raw, input_tokens, output_tokens);
            self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"),
                                          additional_info);
        } catch (...) {
            error = pyglue::caught();
        }
        if (!error) {
            note_call_usage(self, task_name, input_tokens, output_tokens, true);
            return response;
        }
        turn.failed(error, raw);
        if (!input_tokens) input_tokens = estimate = self.attr("_count_message_tokens")(messages);
        log_failure(self, task_name, input_tokens, error, attempt, retries);
        if (!try_again(error, attempt, retries)) pyglue::raise(error);  // the same object
        M("time").attr("sleep")(retry_wait_of(self, error, attempt));
    }
}

Coro make_api_call_async(py::object self, py::object task_name, py::object messages,
                         py::object response_format, py::object additional_info) {
    const long long retries = retries_of(self);
    py::object estimate;  // the prompt's count; null: left until needed
    // Refused before waiting for a permit: no call is made for it.
    const bool can_wait = count_can_wait(self, messages);
    check_prompt_size(self, messages, can_wait, estimate);
    for (long long attempt = 1;; ++attempt) {
        py::object input_tokens;
        py::object output_tokens;
        py::object response;
        py::object error;
        {
            // Every try waits for a permit and a place in the rate window again,
            // so retries count against both bounds like any other call.
            py::object semaphore = self.attr("_request_semaphore");
            py::object acquiring = semaphore.attr("acquire")();
            co_await acquiring;
            pyglue::Permit permit(semaphore);  // released on every exit, cancellation included

            // The tokens are reserved before the request's place in the
            // per-minute window: a request is sent as soon as it has that.
            TokenTurn turn(self);
            if (turn.on()) {
                const long long need =
                    py::cast<long long>(counted(self, messages, estimate)) + expected_output_of(self);
                for (;;) {
                    const double wait = turn.next_wait(need);
                    if (wait <= 0.0) break;
                    py::object pausing = M("asyncio").attr("sleep")(wait);
                    co_await pausing;
                }
            }

            py::object limiting = self.attr("_enforce_rate_limit")();
            co_await limiting;

            if (attempt == 1 && !estimate && !count_can_wait(self, messages)) {
                estimate = self.attr("_count_message_tokens")(messages);
            }
            input_tokens = estimate;
            py::object raw = py::none();
            try {
                if (turn.on()) {
                    py::object call = parse_call(self.attr("async_client"), self, messages, response_format, true);
                    py::object got = co_await call;
                    raw = got;
                    response = raw.attr("parse")();
                } else {
                    py::object call = parse_call(self.attr("async_client"), self, messages, response_format);
                    py::object got = co_await call;
                    response = got;
                }
                output_tokens = output_tokens_of(self, response, input_tokens, messages);
                if (turn.on()) settle_answer(turn, raw, input_tokens, output_tokens);
                self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"),
                                              additional_info);
            } catch (...) {
                error = pyglue::caught();
            }
            if (error) turn.failed(error, raw);
        }  // the permit is not held while waiting to try again
        if (!error) {
            note_call_usage(self, task_name, input_tokens, output_tokens, true);
            co_return response;
        }
        if (!input_tokens) input_tokens = estimate = self.attr("_count_message_tokens")(messages);
        log_failure(self, task_name, input_tokens, error, attempt, retries);
        if (!try_again(error, attempt, retries)) pyglue::raise(error);
        py::object sleeping = M("asyncio").attr("sleep")(retry_wait_of(self, error, attempt));
        co_await sleeping;
    }
}

py::dict get_total_usage(py::object self) {
    py::dict d;
    py::object in = self.attr("total_input_tokens");
    py::object out = self.attr("total_output_tokens");
    d["total_input_tokens"] = in;
    d["total_output_tokens"] = out;
    d["total_tokens"] = in + out;
    d["total_cost"] = self.attr("total_cost");
    d["log_file"] = self.attr("token_log_file");
    return d;
}

}  // namespace

void seed_tiktoken_cache() {
    try {
        py::object os = M("os");
        py::object path = os.attr("path");
        py::object environ = os.attr("environ");
        py::object cache_dir;
        if (environ.contains("TIKTOKEN_CACHE_DIR")) {
            cache_dir = environ["TIKTOKEN_CACHE_DIR"];
        } else if (environ.contains("DATA_GYM_CACHE_DIR")) {
            cache_dir = environ["DATA_GYM_CACHE_DIR"];
        } else {
            cache_dir = path.attr("join")(M("tempfile").attr("gettempdir")(), "data-gym-cache");
        }
        if (!pyglue::truth(cache_dir)) return;  // caching switched off
        py::object source_dir =
            path.attr("join")(path.attr("dirname")(M.get("__file__")), "_data", "tiktoken");

        namespace fs = std::filesystem;
        const fs::path cache(fs_path(cache_dir));
        const fs::path source(fs_path(source_dir));
        const std::string suffix = ".quorvan-" + std::to_string(M("os").attr("getpid")().cast<long>());
        for (const auto& enc : kEncodings) {
            std::error_code ec;
            const fs::path target = cache / enc.cache_key;
            if (fs::exists(target, ec)) continue;
            fs::create_directories(cache, ec);
            const fs::path partial = target.string() + suffix;
            if (!fs::copy_file(source / enc.file, partial, fs::copy_options::overwrite_existing, ec)) {
                fs::remove(partial, ec);
                continue;
            }
            fs::rename(partial, target, ec);  // whole file or none, for concurrent starts
            if (ec) fs::remove(partial, ec);
        }
    } catch (...) {
        // An unwritable cache only costs the offline fallback.
        pyglue::caught();
    }
}

void init_service_core(ServiceClass& cls) {
    cls.attr("input_price_per_million") = py::float_(core::kInputPricePerMillion);
    cls.attr("output_price_per_million") = py::float_(core::kOutputPricePerMillion);
    pyglue::def_init(cls, &service_init, py::arg("token_log_file") = "llm_token_usage.log",
                     py::arg("max_concurrent_requests") = 5, py::arg("requests_per_minute") = 50,
                     py::arg("enable_logging") = false, py::kw_only(), py::arg("model") = kModel,
                     py::arg("input_price_per_million") = core::kInputPricePerMillion,
                     py::arg("output_price_per_million") = core::kOutputPricePerMillion,
                     py::arg("timeout") = py::none(), py::arg("max_retries") = 0,
                     py::arg("tokens_per_minute") = py::none());
    // For a service built by someone else (the facade) whose user sets the
    // limits: the same checks as at construction. Before any call is made.
    cls.def(
        "_set_limits",
        [](py::object self, py::object max_concurrent_requests, py::object requests_per_minute,
           py::object tokens_per_minute) {
            apply_limits(self, checked_limits(max_concurrent_requests, requests_per_minute, tokens_per_minute));
        },
        py::arg("max_concurrent_requests"), py::arg("requests_per_minute"), py::arg("tokens_per_minute") = py::none());
    cls.def("_setup_token_logger", &setup_token_logger);
    cls.def("log_to_file", &log_to_file, py::arg("msg"), py::arg("logger_level") = "info");
    cls.def("_count_tokens", &count_tokens, py::arg("text"));
    cls.def("_count_message_tokens", &count_message_tokens, py::arg("messages"));
    cls.def("_enforce_rate_limit", [](py::object self) {
        return pyglue::make_coroutine(enforce_rate_limit(self), "LLMService._enforce_rate_limit");
    });
    cls.def("_log_token_usage", &log_token_usage, py::arg("task_name"), py::arg("input_tokens"),
            py::arg("output_tokens"), py::arg("model"), py::arg("additional_info") = "");
    cls.def("_make_api_call", &make_api_call, py::arg("task_name"), py::arg("messages"),
            py::arg("response_format"), py::arg("additional_info") = "");
    cls.def(
        "_make_api_call_async",
        [](py::object self, py::object task_name, py::object messages, py::object response_format,
           py::object additional_info) {
            pyglue::need_str(task_name, "task_name");
            pyglue::need_list(messages, "messages");
            pyglue::need_str(additional_info, "additional_info");
            return pyglue::make_coroutine(
                make_api_call_async(self, task_name, messages, response_format, additional_info),
                "LLMService._make_api_call_async");
        },
        py::arg("task_name"), py::arg("messages"), py::arg("response_format"), py::arg("additional_info") = "");
    cls.def("get_total_usage", &get_total_usage);

    // To tell our own counting methods from replacements.
    g_count_tokens = py::getattr(cls, "_count_tokens").release().ptr();
    g_count_message_tokens = py::getattr(cls, "_count_message_tokens").release().ptr();
}

}  // namespace quorvan::llm
