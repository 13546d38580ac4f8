// Two more views of the results store: the class report (class_report.html)
// and each marked student's hand-back (feedback/<student>.pdf). Marks are read
// as the teacher's decisions leave them (review_of), like the class file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "class_view.hpp"

namespace quorvan::cli {

// Writes OUTDIR/class_report.html from every sheet in the store. A file of that
// name this library did not write stays as it is (said on stderr).
void write_class_report(const ClassView& view);

// Writes the hand-backs of the given sheets that are marked, and removes
// hand-backs of ours that no marked sheet stands behind any more (a sheet
// marked again that is now incomplete, a student whose name became known).
// A file of that name we did not write stays as it is (said on stderr).
void write_handbacks(const ClassView& view, const std::vector<std::int64_t>& sheets);

// Each marked sheet's hand-back file name, "feedback/<student>.pdf": the
// student's name (else id) when the store knows it, else the sheet's report
// name; made safe as a file name and unique in the folder.
std::map<std::int64_t, std::string> handback_names(const std::vector<core::SheetRecord>& sheets);

}  // namespace quorvan::cli
