// quorvan mark: a line per finished sheet (with a progress bar on a
// terminal), the class file kept current, and the closing summary.
#include <algorithm>
#include <cstdio>

#include "mark_run.hpp"

namespace quorvan::cli::marking {

void finish_sheet(Run& run, SheetJob& job) {
    core::ResultsStore& store = *run.store;
    core::SheetRecord rec = *store.sheet(job.record.id);
    const auto answers = store.answers(rec.id);
    const Standing st = assess(run.paper, rec, answers, store.decisions(rec.id));
    if (rec.status != "failed") store.set_status(rec.id, st.status, "", run.paper.fingerprint);
    rec = *store.sheet(rec.id);
    run.view.forget(rec.id);
    run.view.write_reports(rec);
    const auto refused = run.view.refused(rec.id);
    run.tally.refused_reports += refused.size();
    for (const auto& why : refused) run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(why)));
    // The store already holds the result; the class file, a view of all
    // sheets, follows at most once a second and once more at the end.
    const auto now = std::chrono::steady_clock::now();
    if (now - run.tally.class_file_written >= std::chrono::seconds(1)) {
        run.view.write_class_file();
        run.tally.class_file_written = now;
    }

    ++run.tally.done;
    if (st.status == "marked") {
        ++run.tally.marked;
    } else {
        ++run.tally.failed;
    }
    py::str head = pyglue::cat("  ", py::str(st.status).attr("ljust")(11),
                               shown_with_name(job.name, rec.identity).attr("ljust")(24), " ");
    py::str line;
    if (st.status == "failed") {
        line = pyglue::cat(head, py::str(rec.failure));
    } else {
        py::object maximum = run.paper.paper.attr("get_total_marks")();
        line = pyglue::cat(head, st.total, "/", maximum, " (",
                           core::percent(py::cast<double>(st.total), py::cast<double>(maximum)), "%)");
    }
    pyglue::print(line);  // the log's record of the sheet
    if (run.tally.tty) {
        run.session->say(pyglue::cat("\r\033[K", line, "\n",
                                     core::progress_bar(run.tally.done, run.jobs.size(), run.tally.marked, run.tally.failed)),
                         "");
    } else {
        run.session->say(line);
    }
    if (st.status == "failed") run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(rec.failure)));
    for (const auto& u : st.unmarked) run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(u)));
}

void print_results(const Run& run, double seconds) {
    const Session& s = *run.session;
    const std::size_t total = run.jobs.size();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
    if (run.tally.failed == 0) {
        s.say(pyglue::cat("Marked all ", py::int_(total), " answer sheets in ", elapsed, " s."));
    } else {
        s.say(pyglue::cat("Marked ", py::int_(run.tally.marked), " of ", py::int_(total), " answer sheets in ", elapsed,
                          " s; ", py::int_(run.tally.failed), " not fully marked."));
    }
    if (run.tally.skipped) {
        s.say(pyglue::cat("Skipped ", py::int_(run.tally.skipped), run.tally.skipped == 1 ? " entry" : " entries",
                          " named .pdf that ", run.tally.skipped == 1 ? "is" : "are", " not a file to read (see stderr)."));
    }
    if (run.tally.refused_reports) {
        s.say(pyglue::cat("Not written: ", py::int_(run.tally.refused_reports),
                          run.tally.refused_reports == 1 ? " report" : " reports",
                          ", in whose place is a file quorvan mark did not write (see warnings)."));
    }
    // The class as a table, widths from the values: file, the questions,
    // total, maximum, percentage and status (warnings follow below it).
    std::vector<py::list> table = run.view.table();
    const Py_ssize_t columns = py::len(table[0]);
    auto shown = [&](Py_ssize_t c) { return c != columns - 2; };
    std::vector<Py_ssize_t> widths(columns, 0);
    for (const auto& cells : table) {
        for (Py_ssize_t c = 0; c < columns; ++c) {
            widths[c] = std::max(widths[c], PyUnicode_GetLength(pyglue::str(cells[c]).ptr()));
        }
    }
    for (const auto& cells : table) {
        py::list padded;
        for (Py_ssize_t c = 0; c < columns; ++c) {
            if (shown(c)) padded.append(pyglue::str(cells[c]).attr("ljust")(widths[c]));
        }
        s.say(pyglue::cat("  ", py::str("  ").attr("join")(padded).attr("rstrip")()));
    }
    for (std::size_t r = 1; r < table.size(); ++r) {
        if (pyglue::truth(table[r][columns - 2])) s.say(pyglue::cat("  ", table[r][0], ": ", table[r][columns - 2]));
    }
    s.say(pyglue::cat("Results: ", run.view.csv_path(), "   Reports: ", run.view.outdir, "   Log: ", s.log_path()));
}


}  // namespace quorvan::cli::marking
