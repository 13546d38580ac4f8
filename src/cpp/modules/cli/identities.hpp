// Who the sheets of a class run belong to: the teacher's roster (--roster),
// else what a sheet's first page says in a labelled line.
#pragma once

#include <optional>
#include <vector>

#include "cli.hpp"
#include "results_store.hpp"
#include "roster.hpp"

namespace quorvan::cli {

// Reads the roster at `path` and matches it to the sheets: the identity of
// each sheet a row names (source "roster"), in the order of `sheets`. Anything
// wrong with the file or a sheet claimed by two students ends the command as a
// usage error (exit status 2) before any model call, every problem listed with
// its line; a row that names no sheet is only a warning on stderr.
std::vector<std::optional<core::Identity>> read_roster(const Session& s, const py::object& path,
                                                       const std::vector<core::SheetPath>& sheets);

// The name and id the first page of a read sheet (its `extracted_texts`)
// gives, with source "sheet"; empty when it gives neither.
core::Identity identity_on_sheet(const py::object& sheet);

// "Anna Roy (anna.pdf)" where a name is known, else the sheet's own name.
py::str shown_with_name(const py::object& sheet_name, const core::Identity& who);

}  // namespace quorvan::cli
