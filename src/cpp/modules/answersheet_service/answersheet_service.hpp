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

inline constexpr const char* kRecordsMissing = "Answersheet and question paper cannot be None";

// The shared input test of the methods that need both records: ValueError
// with the message and its final period.
void need_records(py::handle answersheet, py::handle question_paper);

using pyglue::contains;

void init_intake(ServiceClass& cls);
void init_evaluation(ServiceClass& cls);
void init_reporting(ServiceClass& cls);

}  // namespace quorvan::sheets
