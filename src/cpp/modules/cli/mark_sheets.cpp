// quorvan mark: the sheets of a run. Which paths on the command line are
// answer sheets, and what this run does with each, decided from the store
// before any model call.
#include <cstring>
#include <map>

#include "decisions.hpp"
#include "mark_run.hpp"

namespace quorvan::cli::marking {

namespace {

// Why a path is no file to read as a sheet: "" for a regular file (or a link
// to one), "missing" when nothing is there, else what it is.
std::string not_a_sheet(const py::object& p) {
    const app::Entry target = app::look(p);
    if (target.error) {
        const app::Entry entry = app::look(p, false);
        if (entry.error) return "missing";
        const bool link = entry.kind == app::Kind::link;
        if (link && target.error == ELOOP) return "a symbolic link that loops";
        if (link && target.error == ENOENT) return "a broken symbolic link (its target does not exist)";
        return "cannot be read: " + std::string(std::strerror(target.error));
    }
    switch (target.kind) {
        case app::Kind::file: return "";
        case app::Kind::folder: return "a folder, not a file";
        case app::Kind::fifo: return "a named pipe (FIFO), not a file";
        case app::Kind::socket: return "a socket, not a file";
        default: return "a device, not a file";
    }
}

std::string join_ids(const std::vector<std::string>& ids) {
    std::string out;
    for (const auto& id : ids) out += (out.empty() ? "" : ", ") + id;
    return out;
}

}  // namespace

// The sheets named on the command line: files as given, folders as their PDFs
// in name order; one sheet per file, however often it is named. An entry of a
// folder named *.pdf that is no file (a folder, a broken or looping link, a
// FIFO, a device) is no sheet: it has no bytes and no identity to store, so it
// gets no row in the class file, but each is named on stderr and counted in
// the summary, and the run's exit status says not all went well.
std::vector<SheetJob> collect_sheets(const Session& s, py::object arguments, std::size_t& skipped) {
    std::vector<py::object> found;
    for (py::handle arg : arguments) {
        py::object a = py::reinterpret_borrow<py::object>(arg);
        if (app::is_folder(a)) {
            py::list pdfs, odd;
            std::vector<py::str> entries;
            try {
                entries = app::list_folder(a);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
                s.usage_error("cannot read the folder " + utf8(a) + ": " + utf8(e.value().attr("strerror")));
            }
            for (const py::str& entry : entries) {
                if (!pyglue::truth(entry.attr("lower")().attr("endswith")(".pdf"))) continue;
                py::object full = app::join(a, entry);
                // The store, the class file and the reports name sheets in UTF-8.
                const bool named = app::utf8_name(entry);
                const std::string why = named ? not_a_sheet(full) : "its name is not UTF-8 text; rename it to mark it";
                if (!named) full = app::readable(full);
                if (why.empty()) {
                    pdfs.append(full);
                } else {
                    odd.append(py::make_tuple(full, py::str(why == "missing" ? "it is no longer there" : why)));
                }
            }
            odd.attr("sort")();
            for (py::handle entry : odd) {
                s.complain(pyglue::cat("quorvan mark: skipped ", entry[py::int_(0)], ": ", entry[py::int_(1)]));
                ++skipped;
            }
            if (py::len(pdfs) == 0) s.usage_error("no answer sheets (.pdf files) in folder: " + utf8(a));
            pdfs.attr("sort")();
            for (py::handle f : pdfs) found.push_back(py::reinterpret_borrow<py::object>(f));
            continue;
        }
        const std::string why = not_a_sheet(a);
        if (why == "missing") s.usage_error("no such answer sheet or folder: " + utf8(a));
        if (!why.empty()) s.usage_error("cannot mark " + utf8(a) + ": it is " + why);
        found.push_back(a);
    }
    std::vector<SheetJob> jobs;
    std::map<std::string, bool> seen;
    for (const auto& f : found) {
        SheetJob job;
        job.path = f;
        job.resolved = utf8(app::real_path(f));
        if (seen[job.resolved]) continue;
        seen[job.resolved] = true;
        jobs.push_back(std::move(job));
    }
    return jobs;
}

// What this run does with a sheet, decided from the store before any call.
void plan_sheet(Run& run, SheetJob& job, bool force) {
    core::ResultsStore& store = *run.store;
    const std::string stem = utf8(app::without_extension(app::base_name(job.path)));
    job.record = store.add_sheet(utf8(job.path), job.resolved, stem);
    const core::SheetRecord& rec = job.record;
    try {
        py::gil_scoped_release unlocked;
        job.sha = core::sha256_file(job.resolved);
    } catch (const std::runtime_error& e) {
        // Unreadable: it fails alone, and is read again next time.
        store.reset_sheet(rec.id, "");
        job.unreadable = e.what();
        return;
    }
    // A sheet that failed before is tried again: its old failure no longer
    // stands (a failure of this run is stored when it happens).
    if (rec.status == "failed") store.set_status(rec.id, "pending", "", rec.paper_fingerprint);
    const bool known = !rec.sha256.empty();
    if (force && known) {
        job.plan = "marking again from scratch (--force)";
    } else if (known && rec.sha256 != job.sha) {
        job.plan = "marking again: the PDF changed since it was marked";
    } else if (rec.status == "failed") {
        job.plan = "trying again: it failed before (" + rec.failure + ")";
    } else if (known && !rec.parsed) {
        job.plan = "reading again: it was not read to the end before";
    } else if (rec.parsed && rec.parse_key != run.paper.parse_key) {
        job.plan = "reading again: the paper's questions changed";
    } else if (rec.parsed) {
        job.needs_parse = false;
        std::vector<std::string> missing, changed;
        for (const auto& a : store.answers(rec.id)) {
            const PaperQuestion* q = run.paper.find(a.q_id);
            if (!q || core::blank_answer(a.text)) continue;  // an empty answer is not marked
            if (a.status == "marked" && a.question_fingerprint == q->fingerprint) continue;
            (a.status == "marked" ? changed : missing).push_back(a.q_id);
            job.to_mark.push_back(a.q_id);
        }
        if (job.to_mark.empty()) {
            job.kept = true;
            job.plan = "kept: marked before with the same PDF and paper";
        } else {
            std::string why;
            if (!missing.empty()) why = join_ids(missing) + " not marked before";
            if (!changed.empty()) why += (why.empty() ? "" : "; ") + join_ids(changed) + " changed in the paper";
            job.plan = "continuing: " + why;
        }
        return;
    }
    // What stands for other bytes or other questions is gone; a forced or
    // repeated read replaces the answers only once it succeeds, so a failed
    // re-run loses nothing.
    if (known && (rec.sha256 != job.sha || (rec.parsed && rec.parse_key != run.paper.parse_key))) {
        store.reset_sheet(rec.id, job.sha);
    }
}

// What this run will do, before it does it.
void print_plan(const Run& run) {
    std::size_t fresh = 0, kept = 0, again = 0;
    for (const auto& job : run.jobs) {
        if (job.plan.empty()) {
            ++fresh;
            continue;
        }
        if (job.kept) {
            ++kept;
        } else {
            ++again;
        }
        run.session->say(pyglue::cat("  ", job.name, ": ", py::str(job.plan)));
    }
    if (kept + again == 0) return;
    run.session->say(pyglue::cat(py::int_(run.jobs.size()), " answer sheets: ", py::int_(fresh), " new, ",
                                 py::int_(kept), " kept, ", py::int_(again), " to mark again or continue"));
}


}  // namespace quorvan::cli::marking
