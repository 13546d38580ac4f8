// Everything a results folder shows about its class, written from the store:
// after every run of `quorvan mark`, and again after every change a teacher
// makes. The commands that work on a folder already marked (review,
// agreement, export) open it from the store alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "class_view.hpp"

namespace quorvan::cli {

// The class view of a results folder: the paper, the store, the reports'
// pipeline, the folder and the report formats.
using OutputsContext = ClassView;

// The class file, the reports of `changed_sheets`, and every other view of
// the class the store feeds. All or nothing per file; a file this library did
// not write is never replaced.
void write_outputs(const OutputsContext& ctx, const std::vector<std::int64_t>& changed_sheets);

// A results folder made by `quorvan mark`, opened without the paper file or
// the model: the paper of its latest run comes from the store, the formats
// from the reports it wrote.
struct ResultsFolder {
    std::unique_ptr<core::ResultsStore> store;
    std::unique_ptr<ClassPaper> paper;
    OutputsContext view;
    std::string db_path;
    bool read_only = false;  // opened only to read: nothing is stored or written
};

// Throws std::runtime_error with a message for the user when `outdir` holds
// no results (no marking.db) or its paper cannot be read. `read_only` opens
// the store only to read (see ResultsStore::Access).
std::unique_ptr<ResultsFolder> open_results_folder(py::object outdir, bool read_only = false);

// The results folder's store cannot be written (the file, or the folder its
// journal lives in): only reading it is possible.
bool store_is_read_only(const std::string& db_path);

// The question paper record of the paper's canonical JSON as the store keeps it.
py::object paper_from_canonical(const std::string& canonical_json);

}  // namespace quorvan::cli
