// quorvan_core.question_paper_service: a question paper from PDF to records,
// with rubrics, reference answers, reports and saved files.
#pragma once

#include "pyglue.hpp"

namespace quorvan::qp {
namespace py = pybind11;

struct QuestionPaperServiceTag {};
using ServiceClass = py::class_<QuestionPaperServiceTag>;

// This extension module; collaborators are looked up on it at each use.
extern pyglue::Module M;

inline constexpr const char* kPrefix = "[QuestionPaperService] ";

// One progress line: the prefix, then str() of every piece.
template <typename... Ts>
void say(const Ts&... parts) {
    pyglue::print(pyglue::cat(kPrefix, parts...));
}

// ValueError("Question paper cannot be None.") when the paper tests false.
void need_paper(py::handle question_paper);

void init_intake(ServiceClass& cls);
void init_generation(ServiceClass& cls);
void init_reporting(ServiceClass& cls);

}  // namespace quorvan::qp
