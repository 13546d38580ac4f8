// Question paper files as the commands that read them share them: `quorvan
// check`, `quorvan mark` (through load_paper_for_marking) and `quorvan
// complete`, and `quorvan schema`, which prints their format.
#pragma once

#include <vector>

#include "cli.hpp"

namespace quorvan::cli {

// One thing that keeps a paper from being marked.
struct PaperProblem {
    enum class Kind {
        layout,     // the file's shape: fields missing or of the wrong type, repeated ids
        marks,      // a question's max_marks missing, not a number or not above 0
        content,    // imports, but cannot be marked by: criteria marks that do not add up
                    // to max_marks, a blank criterion
        rubric,     // no rubric criteria
        reference,  // no reference answer
    };
    Kind kind;
    Py_ssize_t question;  // index in "questions"; -1 for the paper as a whole
    py::str text;         // "Q2: criteria add up to 5 marks, max_marks is 4"
};

// The parsed JSON of a question paper file (anything JSON: the shape is
// paper_problems' business). A missing file, a PDF, binary bytes or text that
// is not JSON end the command as a usage error that says what to do instead.
py::object read_paper_json(const Session& s, py::handle path);

// Every problem of the parsed data, in file order: the paper's own fields,
// then each question's.
std::vector<PaperProblem> paper_problems(py::handle data);

// "4 questions, 15.0 marks" for data without problems.
py::str paper_totals(py::handle data);

// Ends the command (exit status 2): "PATH <verdict>:" and one line a problem.
[[noreturn]] void refuse_paper(const Session& s, py::handle path, const char* verdict,
                               const std::vector<PaperProblem>& problems);

// Lines for the terminal: "  - Q2: ..." for each problem.
std::vector<py::str> problem_lines(const std::vector<PaperProblem>& problems);

void add_check_parser(py::object subparsers);
int run_check(const CheckOptions& o, py::object parser);
void add_schema_parser(py::object subparsers);
int run_schema(py::object parser);
void add_complete_parser(py::object subparsers);
int run_complete(const CompleteOptions& o, py::object parser);

}  // namespace quorvan::cli
