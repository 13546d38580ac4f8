// quorvan_core.llm_service: the only gateway to the language model.
#pragma once

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

// Places the packaged tiktoken encoding files in tiktoken's cache folder when
// they are missing there, so encodings load without a network.
void seed_tiktoken_cache();

}  // namespace quorvan::llm
