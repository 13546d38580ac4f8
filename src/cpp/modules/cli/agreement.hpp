// `quorvan agreement`: a teacher's own marks imported next to the model's,
// and how closely the two agree.
#pragma once

#include "class_view.hpp"
#include "options.hpp"
#include "results_store.hpp"

namespace quorvan::cli {

// On the answers both the model and the teacher marked: {"overall": figures,
// "questions": {q_id: figures, ...} in paper order, "criteria": [...],
// "largest_differences": [...]}. Figures are {"n", "exact", "within_one",
// "mean_abs_diff", "qwk"}, shares as fractions 0..1, None where nothing was
// compared. "criteria" has one entry per rubric criterion of a question the
// teacher ticked criteria on: {"question", "index" (0-based), "statement",
// "n", "model_only", "teacher_only"}. "largest_differences" lists up to ten
// disagreeing answers, the largest first: {"sheet_id", "sheet", "student_id",
// "name", "question", "model", "teacher"}.
py::dict agreement_report(core::ResultsStore& store, const ClassPaper& paper);

void add_agreement_parser(py::object subparsers);
int run_agreement(const AgreementOptions& o, py::object parser);

}  // namespace quorvan::cli
