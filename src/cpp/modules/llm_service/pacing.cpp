// Token pacing of the model calls: each try reserves its estimated tokens in
// the service's rolling window before it is sent, and settles them with the
// server's count once the answer (or the failure) is in. The server's
// rate-limit headers and a 429's Retry-After slow every later call too.
#include <cmath>
#include <optional>
#include <string>

#include "llm_service.hpp"
#include "rate_window.hpp"
#include "retry.hpp"

namespace quorvan::llm {

namespace {

using core::TokenWindow;

// The clock of the per-minute window too, so tests can drive both.
double clock_now() { return py::cast<double>(M("time").attr("time")()); }

std::optional<std::string> header(const py::object& headers, const char* name) {
    py::object v = headers.attr("get")(name);
    if (!py::isinstance<py::str>(v)) return std::nullopt;
    return v.cast<std::string>();
}

std::optional<long long> whole_number(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t start = i;
    long long n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (n > (1LL << 52)) return std::nullopt;
        n = n * 10 + (text[i++] - '0');
    }
    if (i == start) return std::nullopt;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i != text.size()) return std::nullopt;
    return n;
}

// x-ratelimit-remaining-tokens with x-ratelimit-reset-tokens (and the limit
// when given) into the window; headers that cannot be read are left alone.
void note_headers(TokenWindow& window, const py::object& headers, double now) {
    if (headers.is_none()) return;
    try {
        auto remaining_text = header(headers, "x-ratelimit-remaining-tokens");
        auto reset_text = header(headers, "x-ratelimit-reset-tokens");
        if (!remaining_text || !reset_text) return;
        auto remaining = whole_number(*remaining_text);
        auto reset = core::parse_reset_duration(*reset_text);
        if (!remaining || !reset) return;
        long long limit = 0;
        if (auto limit_text = header(headers, "x-ratelimit-limit-tokens")) limit = whole_number(*limit_text).value_or(0);
        window.note_server(*remaining, std::min(*reset, core::kMaxServerDelay), limit, now);
    } catch (...) {
        pyglue::caught();
    }
}

py::object headers_of_error(const py::object& error) {
    py::object response = py::getattr(error, "response", py::none());
    if (response.is_none()) return py::none();
    return py::getattr(response, "headers", py::none());
}

// prompt_tokens + completion_tokens of a usage object or dict; nullopt when absent.
std::optional<long long> usage_total(const py::object& usage) {
    if (usage.is_none()) return std::nullopt;
    try {
        py::object in, out;
        if (py::isinstance<py::dict>(usage)) {
            in = usage.attr("get")("prompt_tokens");
            out = usage.attr("get")("completion_tokens");
        } else {
            in = py::getattr(usage, "prompt_tokens", py::none());
            out = py::getattr(usage, "completion_tokens", py::none());
        }
        if (!PyLong_Check(in.ptr()) || !PyLong_Check(out.ptr())) return std::nullopt;
        return py::cast<long long>(in) + py::cast<long long>(out);
    } catch (...) {
        pyglue::caught();
        return std::nullopt;
    }
}

// What the server counted for a failed try, when it said: the usage in the
// body of an answer that could not be used, or on the completion an error
// carries (a length or content-filter stop).
std::optional<long long> counted_by_server(const py::object& error, const py::object& raw) {
    py::object completion = py::getattr(error, "completion", py::none());
    if (!completion.is_none()) {
        if (auto n = usage_total(py::getattr(completion, "usage", py::none()))) return n;
    }
    if (raw.is_none()) return std::nullopt;
    try {
        py::object body = raw.attr("http_response").attr("json")();
        if (py::isinstance<py::dict>(body)) return usage_total(body.attr("get")("usage"));
    } catch (...) {
        pyglue::caught();
    }
    return std::nullopt;
}

}  // namespace

TokenTurn::TokenTurn(const py::object& self) {
    py::object limit = self.attr("tokens_per_minute");
    if (limit.is_none()) return;
    const long long n = checked_tokens_per_minute(limit);
    const double seconds = py::cast<double>(pyglue::need_float(self.attr("_token_window_seconds"), "_token_window_seconds"));
    if (!std::isfinite(seconds) || seconds <= 0.0) {
        pyglue::raise_new(PyExc_ValueError, "_token_window_seconds must be a positive number of seconds");
    }
    // One window a service, made again only when its limit or length changes.
    py::object current = py::getattr(self, "_token_pacer", py::none());
    if (py::isinstance<TokenWindow>(current)) {
        auto& w = current.cast<TokenWindow&>();
        if (w.limit() == n && w.window_seconds() == seconds) pacer_ = current;
    }
    if (!pacer_) {
        pacer_ = py::cast(TokenWindow(n, seconds));
        self.attr("_token_pacer") = pacer_;
    }
    window_ = &pacer_.cast<TokenWindow&>();
    ticket_ = window_->enqueue();
}

TokenTurn::~TokenTurn() {
    // A try that never went (cancelled while waiting) gives up its place.
    if (window_ && !admitted_) window_->leave(ticket_);
}

double TokenTurn::next_wait(long long tokens) {
    const double wait = window_->admit(ticket_, tokens, clock_now());
    if (wait <= 0.0) {
        admitted_ = true;
        reserved_ = tokens;
        return 0.0;
    }
    // Looked at again well before a long wait ends: an answer settled below
    // its estimate may have made room meanwhile.
    return std::min(wait, std::clamp(window_->window_seconds() / 100.0, 0.005, 0.5));
}

void TokenTurn::answered(const py::object& headers, long long tokens) {
    if (!window_ || !admitted_ || settled_) return;
    settled_ = true;
    const double now = clock_now();
    window_->settle(ticket_, tokens, now);
    note_headers(*window_, headers, now);
}

void TokenTurn::failed(const py::object& error, const py::object& raw) {
    if (!window_ || !admitted_ || settled_) return;
    settled_ = true;
    const double now = clock_now();
    window_->settle(ticket_, counted_by_server(error, raw).value_or(reserved_), now);
    py::object headers = raw.is_none() ? headers_of_error(error) : py::getattr(raw, "headers", py::none());
    note_headers(*window_, headers, now);
    py::object status = py::getattr(error, "status_code", py::none());
    if (PyLong_Check(status.ptr()) && py::cast<long long>(status) == 429) {
        // Every call waits out a rate limit, not only this one's next try.
        if (auto hint = server_hint(error); hint && *hint > 0.0) {
            window_->hold_until(now + std::min(*hint, core::kMaxServerDelay));
        }
    }
}

long long checked_tokens_per_minute(const py::object& value) {
    const long long n = py::cast<long long>(pyglue::need_int(value, "tokens_per_minute"));
    if (n < 1) pyglue::raise_new(PyExc_ValueError, "tokens_per_minute must be at least 1");
    return n;
}

long long expected_output_of(const py::object& self) {
    const long long n =
        py::cast<long long>(pyglue::need_int(self.attr("expected_output_tokens"), "expected_output_tokens"));
    return n < 0 ? 0 : n;
}

void init_pacing(py::module_& m, ServiceClass& cls) {
    py::class_<TokenWindow>(m, "_TokenWindow", "Tokens spent in the service's rolling window (token pacing).")
        .def_property_readonly("limit", &TokenWindow::limit)
        .def_property_readonly("window_seconds", &TokenWindow::window_seconds)
        .def("used", [](TokenWindow& w) { return w.used(clock_now()); },
             "Tokens reserved or counted inside the window now.")
        .def("wait_for", [](TokenWindow& w, long long tokens) { return w.wait_for(tokens, clock_now()); },
             py::arg("tokens"), "Seconds a call of this many tokens would wait now, were it next.");
    // Class-level defaults: no token limit, a one-minute window, and the
    // output a call is expected to write when it names no cap of its own.
    cls.attr("tokens_per_minute") = py::none();
    cls.attr("_token_window_seconds") = py::float_(60.0);
    cls.attr("expected_output_tokens") = py::int_(1000);
}

}  // namespace quorvan::llm
