// quorvan_core.answersheet_service: one student's answer sheet from PDF to an
// evaluated Answersheet, and its reports.
#pragma once

#include "pyglue.hpp"

namespace quorvan::sheets {
namespace py = pybind11;

struct AnswersheetServiceTag {};
using ServiceClass = py::class_<AnswersheetServiceTag>;

// This extension module; collaborators are looked up on it at each use.
extern pyglue::Module M;

inline constexpr const char* kPrefix = "[AnswersheetService]: ";

// One progress line, prefixed with the class name.
template <typename... Ts>
void say(const Ts&... parts) {
    pyglue::print(pyglue::cat(kPrefix, parts...));
}

void init_intake(ServiceClass& cls);
void init_evaluation(ServiceClass& cls);
void init_reporting(ServiceClass& cls);

}  // namespace quorvan::sheets
