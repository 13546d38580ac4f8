// quorvan_core.llm_service: the only gateway to the language model.
#pragma once

#include <cstdint>
#include <optional>

#include "pyglue.hpp"
#include "usage.hpp"

namespace quorvan::core {
class TokenWindow;
}

namespace quorvan::llm {
namespace py = pybind11;

struct LLMServiceTag {};
using ServiceClass = py::class_<LLMServiceTag>;

// This extension module; collaborators are looked up on it at each use.
extern pyglue::Module M;

inline constexpr const char* kModel = core::kDefaultModel;

void init_response_models(py::module_& m);
void init_service_core(ServiceClass& cls);
void init_prompt_ops(ServiceClass& cls);
void init_batches(ServiceClass& cls);
void init_retry(py::module_& m, ServiceClass& cls);
void init_injection(ServiceClass& cls);
void init_pacing(py::module_& m, ServiceClass& cls);

// Student text as it may stand in a prompt (core::neutralise_student_text);
// the same object when nothing needed changing.
py::str neutralised(const py::str& text);

// ---- retry policy and per-call usage (retry.cpp), used by the two call paths

// Extra tries after a transient failure: self.max_retries, never below 0.
long long retries_of(const py::object& self);
// openai's timeout, connection and retryable status errors (408, 409, 429, 5xx).
bool is_transient(const py::object& error);
// Seconds to wait after failed try number `attempt` (from 1) ended with error.
double retry_wait_of(const py::object& self, const py::object& error, long long attempt);
// How long a failed try's server asked to wait (retry-after-ms, Retry-After).
std::optional<double> server_hint(const py::object& error);
// error.tries = tries, when the object takes attributes.
void note_tries(const py::object& error, long long tries);
// Appends the numbers of one try to the list in call_usage, when there is one.
void note_call_usage(const py::object& self, const py::object& task_name, const py::object& input_tokens,
                     const py::object& output_tokens, bool ok);

// The cost of one call at the service's prices per million tokens
// (input_price_per_million, output_price_per_million).
double priced(const py::object& self, std::int64_t input_tokens, std::int64_t output_tokens);

// ---- token pacing (pacing.cpp)

// tokens_per_minute as given: an int of at least 1 (None is checked by the caller).
long long checked_tokens_per_minute(const py::object& value);
// The output tokens a call is expected to write: self.expected_output_tokens, never below 0.
long long expected_output_of(const py::object& self);

// One try's place in the service's token window; does nothing when the
// service has no token limit. A place never let through is given up on
// destruction (a cancelled call).
class TokenTurn {
public:
    explicit TokenTurn(const py::object& self);
    ~TokenTurn();
    TokenTurn(const TokenTurn&) = delete;
    TokenTurn& operator=(const TokenTurn&) = delete;

    bool on() const { return window_ != nullptr; }
    // Seconds to sleep before asking again; 0 once `tokens` are reserved.
    double next_wait(long long tokens);
    // The answer came: its usage and the server's rate-limit headers.
    void answered(const py::object& headers, long long tokens);
    // The try failed: settled with what the server counted, if it said, else
    // the reservation; its headers and a 429's Retry-After slow what follows.
    // `raw` is the raw response when one came (py::none() otherwise).
    void failed(const py::object& error, const py::object& raw);

private:
    py::object pacer_;
    core::TokenWindow* window_ = nullptr;
    std::uint64_t ticket_ = 0;
    long long reserved_ = 0;
    bool admitted_ = false;
    bool settled_ = false;
};

// Places the packaged tiktoken encoding files in tiktoken's cache folder when
// they are missing there, so encodings load without a network.
void seed_tiktoken_cache();

}  // namespace quorvan::llm
