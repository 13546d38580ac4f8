// quorvan_core.llm_service: the only gateway to the language model.
#pragma once

#include <cstdint>

#include "pyglue.hpp"

namespace quorvan::llm {
namespace py = pybind11;

struct LLMServiceTag {};
using ServiceClass = py::class_<LLMServiceTag>;

// This extension module; collaborators are looked up on it at each use.
extern pyglue::Module M;

inline constexpr const char* kModel = "gpt-5-mini-2025-08-07";

void init_response_models(py::module_& m);
void init_service_core(ServiceClass& cls);
void init_prompt_ops(ServiceClass& cls);
void init_batches(ServiceClass& cls);
void init_retry(py::module_& m, ServiceClass& cls);
void init_injection(ServiceClass& cls);

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
// error.tries = tries, when the object takes attributes.
void note_tries(const py::object& error, long long tries);
// Appends the numbers of one try to the list in call_usage, when there is one.
void note_call_usage(const py::object& self, const py::object& task_name, const py::object& input_tokens,
                     const py::object& output_tokens, bool ok);

// The cost of one call at the service's prices per million tokens
// (input_price_per_million, output_price_per_million).
double priced(const py::object& self, std::int64_t input_tokens, std::int64_t output_tokens);

// Places the packaged tiktoken encoding files in tiktoken's cache folder when
// they are missing there, so encodings load without a network.
void seed_tiktoken_cache();

}  // namespace quorvan::llm
