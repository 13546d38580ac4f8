// The class run's views: everything a person reads about a marked class is
// written from the results store, never read back as data.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli.hpp"
#include "decisions.hpp"
#include "results_store.hpp"

namespace quorvan::cli {

// One question of the paper being marked against.
struct PaperQuestion {
    py::object q_id;      // str
    py::object question;  // the Question record
    std::string id;
    std::string fingerprint;  // of what its marking depends on
    double max_marks = 0;
    core::QuestionKey key;    // what deciding its mark needs
};

// The paper with the fingerprints a re-run compares against.
struct ClassPaper {
    py::object paper;  // QuestionPaper
    std::vector<PaperQuestion> questions;
    std::string canonical_json;
    std::string fingerprint;  // of canonical_json
    std::string parse_key;    // of the question ids: what finding the answers depends on

    const PaperQuestion* find(const std::string& id) const;
};

ClassPaper describe_paper(py::object paper);

// How a stored sheet stands against the paper: each question's answer as
// the teacher's decisions leave it (none for a sheet not read), a cell per
// question (the mark that counts, 0 when not answered, "" when not marked),
// the total, why any answer is not marked, and the status that follows.
struct Standing {
    std::vector<core::Reviewed> answers;
    std::vector<py::object> cells;
    py::object total;
    std::vector<std::string> unmarked;  // "Q3 not marked: ..."
    std::string status;                 // pending, marked, incomplete, failed
};

// Marks as the teacher's decisions leave them: a mark the teacher gave
// counts even where the model gave none (or the parse found no answer).
Standing assess(const ClassPaper& paper, const core::SheetRecord& sheet,
                const std::vector<core::AnswerRecord>& answers,
                const std::map<std::string, core::Decision>& decisions);

// The feedback a student reads: a mark the teacher typed says so.
std::string shown_feedback(const core::Reviewed& r);

// The sheet as records (Answersheet of Answer), each marked answer with its
// evaluated rubric and feedback, as the pipeline's reports read them: the
// model's marking, or with `decisions` what the teacher decided (then each
// counted answer also carries its evaluation_result: the mark that counts).
// Empty answers are left out: they were not answered.
py::object sheet_records(const ClassPaper& paper, const std::vector<core::AnswerRecord>& answers,
                         const std::map<std::string, core::Decision>* decisions = nullptr);

// Writes the class file (all sheets in the store) and, for the given sheet
// ids, their reports in the chosen formats. All or nothing per file.
struct ClassView {
    const ClassPaper* paper = nullptr;
    core::ResultsStore* store = nullptr;
    py::object pipeline;  // AnswersheetService: validation notes and reports
    py::object outdir;
    py::object paper_path;  // the --paper file: never written
    std::vector<std::string> formats;

    py::object csv_path() const;
    void write_class_file() const;
    // A report that would replace a file this command did not write is not
    // written: the reason is kept for the sheet (refused) and its row.
    void write_reports(const core::SheetRecord& sheet) const;
    std::vector<std::string> refused(std::int64_t sheet_id) const;
    // Why the file `name` in the results folder may not be replaced ("it is a
    // symbolic link", ...), or "" when it may.
    std::string not_ours(const std::string& name) const;
    // Header and rows of the class file, as printed and as written.
    std::vector<py::list> table() const;
    py::list header() const;
    // Some sheet has a known owner: the class file names them.
    bool has_identities() const;
    // Writes the file `name` (relative to the results folder) all or nothing,
    // recording it as ours in the store.
    void replace_file(const std::string& name, const std::function<void(py::object)>& write) const;
    // The sheet's row is made again at the next write: its results changed.
    void forget(std::int64_t sheet_id) const { rows_.erase(sheet_id); }

private:
    // Rows by sheet id, without the file name (which depends on the others):
    // a class file rewritten after every sheet recomputes only that sheet.
    mutable std::map<std::int64_t, py::list> rows_;
    mutable std::map<std::int64_t, std::vector<std::string>> refused_;
    py::list row_of(const core::SheetRecord& sheet) const;
};

// Each sheet's name in the class file: its file name, or the path as given
// where two sheets share a file name.
std::map<std::int64_t, py::object> display_names(const std::vector<core::SheetRecord>& sheets);

// A failed model call as a teacher can act on it, after the step that made it:
// "rate limited (429) after 5 tries", "timed out", ...; any other error as its
// own text.
py::str describe_failure(py::handle error, const char* step);

// The text a spreadsheet shows as text, never as a formula.
std::string spreadsheet_safe(std::string cell);

// A cell of the class file as CSV text: str() of its value, "" for None.
std::string csv_cell(py::handle cell);

}  // namespace quorvan::cli
