// quorvan mark: a class of answer sheets against one question paper.
//
// The results store in OUTDIR is the run's only source of truth. Before any
// model call every sheet is compared with what the store holds: a sheet marked
// with the same bytes against the same paper is kept, an incomplete one gets
// only its unmarked answers sent, a changed PDF or a changed question is marked
// again. Every sheet then runs as its own coroutine on one event loop through
// the answer-sheet pipeline: its PDF is read on a worker thread, the parse and
// each answer's marking are stored the moment they arrive, and all calls share
// the model service's concurrency bound and per-minute window. The class file
// and the reports are written from the store after every sheet.
#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "../shared/extractor_choice.hpp"
#include "class_run.hpp"
#include "class_view.hpp"
#include "outputs.hpp"
#include "cli.hpp"
#include "identities.hpp"
#include "injection.hpp"

namespace quorvan::cli {

using pyglue::Coro;

namespace {

struct SheetJob {
    py::object path;  // as given on the command line
    std::string resolved, sha;
    core::SheetRecord record;
    py::object name;     // as the class file shows it
    bool needs_parse = true;
    bool kept = false;
    std::vector<std::string> to_mark;
    std::string plan;    // what this run does with it and why ("" for a new sheet)
    std::string unreadable;  // why its bytes could not be read
    std::optional<core::Identity> roster;  // who the --roster says it belongs to
};

struct Run {
    Session* session = nullptr;
    core::ResultsStore* store = nullptr;
    ClassPaper paper;
    ClassView view;
    py::object service, pipeline, extractor, loop, executor, all;
    py::object limits;  // every sheet is read within them, in a process of its own
    std::vector<SheetJob> jobs;
    bool tty = false;
    bool check_visibility = true;  // mark only the text a reader of the sheet sees
    int stop_signal = 0;
    long refused_status = 0;  // 401 or 403: the model service refused the key
    std::size_t done = 0, marked = 0, failed = 0, refused_reports = 0, skipped = 0;
    std::chrono::steady_clock::time_point class_file_written;
};

std::string utf8(py::handle s) { return pyglue::str(s).cast<std::string>(); }

py::object join(const py::object& a, const py::object& b) { return M("os").attr("path").attr("join")(a, b); }

// Why a path is no file to read as a sheet: "" for a regular file (or a link
// to one), "missing" when nothing is there, else what it is.
std::string not_a_sheet(const py::object& p) {
    py::object os = M("os"), stat = M("stat");
    py::object st;
    try {
        st = os.attr("stat")(p);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        py::object error = e.value();
        bool link = false;
        try {
            link = pyglue::truth(stat.attr("S_ISLNK")(os.attr("lstat")(p).attr("st_mode")));
        } catch (py::error_already_set& e2) {
            if (!e2.matches(PyExc_OSError)) throw;
            return "missing";
        }
        py::object code = error.attr("errno");
        if (link && code.equal(M("errno").attr("ELOOP"))) return "a symbolic link that loops";
        if (link && code.equal(M("errno").attr("ENOENT"))) return "a broken symbolic link (its target does not exist)";
        return "cannot be read: " + utf8(error.attr("strerror"));
    }
    py::object mode = st.attr("st_mode");
    if (pyglue::truth(stat.attr("S_ISREG")(mode))) return "";
    if (pyglue::truth(stat.attr("S_ISDIR")(mode))) return "a folder, not a file";
    if (pyglue::truth(stat.attr("S_ISFIFO")(mode))) return "a named pipe (FIFO), not a file";
    if (pyglue::truth(stat.attr("S_ISSOCK")(mode))) return "a socket, not a file";
    return "a device, not a file";
}

// The sheets named on the command line: files as given, folders as their PDFs
// in name order; one sheet per file, however often it is named. An entry of a
// folder named *.pdf that is no file (a folder, a broken or looping link, a
// FIFO, a device) is no sheet: it has no bytes and no identity to store, so it
// gets no row in the class file, but each is named on stderr and counted in
// the summary, and the run's exit status says not all went well.
std::vector<SheetJob> collect_sheets(const Session& s, py::object arguments, std::size_t& skipped) {
    py::object path = M("os").attr("path");
    std::vector<py::object> found;
    for (py::handle arg : arguments) {
        py::object a = py::reinterpret_borrow<py::object>(arg);
        if (pyglue::truth(path.attr("isdir")(a))) {
            py::list pdfs, odd;
            py::object entries;
            try {
                entries = M("os").attr("listdir")(a);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
                s.usage_error("cannot read the folder " + utf8(a) + ": " + utf8(e.value().attr("strerror")));
            }
            for (py::handle entry : entries) {
                if (!pyglue::truth(entry.attr("lower")().attr("endswith")(".pdf"))) continue;
                py::object full = join(a, py::reinterpret_borrow<py::object>(entry));
                const std::string why = not_a_sheet(full);
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
        job.resolved = utf8(path.attr("realpath")(f));
        if (seen[job.resolved]) continue;
        seen[job.resolved] = true;
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::string join_ids(const std::vector<std::string>& ids) {
    std::string out;
    for (const auto& id : ids) out += (out.empty() ? "" : ", ") + id;
    return out;
}

// What this run does with a sheet, decided from the store before any call.
void plan_sheet(Run& run, SheetJob& job, bool force) {
    core::ResultsStore& store = *run.store;
    const std::string stem = utf8(M("os").attr("path").attr("splitext")(
        M("os").attr("path").attr("basename")(job.path))[py::int_(0)]);
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
            if (!q) continue;
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

core::CallUsage usage_of(const py::list& calls) {
    core::CallUsage u;
    for (py::handle call : calls) {
        u.model = utf8(call[py::str("model")]);
        u.input_tokens += py::cast<std::int64_t>(call[py::str("input_tokens")]);
        u.output_tokens += py::cast<std::int64_t>(call[py::str("output_tokens")]);
        u.cost += py::cast<double>(call[py::str("cost")]);
        ++u.calls;
    }
    return u;
}

// A fresh list that the model service fills with this task's calls.
py::list track_calls() {
    py::list calls;
    py::object service_module = M("llm_service_module");
    if (py::hasattr(service_module, "call_usage")) service_module.attr("call_usage").attr("set")(calls);
    return calls;
}

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
    run.refused_reports += refused.size();
    for (const auto& why : refused) run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(why)));
    // The store already holds the result; the class file, a view of all
    // sheets, follows at most once a second and once more at the end.
    const auto now = std::chrono::steady_clock::now();
    if (now - run.class_file_written >= std::chrono::seconds(1)) {
        run.view.write_class_file();
        run.class_file_written = now;
    }

    ++run.done;
    if (st.status == "marked") {
        ++run.marked;
    } else {
        ++run.failed;
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
    if (run.tty) {
        run.session->say(pyglue::cat("\r\033[K", line, "\n",
                                     core::progress_bar(run.done, run.jobs.size(), run.marked, run.failed)),
                         "");
    } else {
        run.session->say(line);
    }
    if (st.status == "failed") run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(rec.failure)));
    for (const auto& u : st.unmarked) run.session->complain(pyglue::cat("quorvan mark: ", job.name, ": ", py::str(u)));
}

// A refused API key (401) or access (403) ends the run at once: every other
// call would be refused as well. No new call starts; what is stored stays.
void stop_if_refused(Run* run, const py::object& error) {
    if (run->refused_status || run->stop_signal || !run->all) return;
    py::object status_error = M("openai").attr("APIStatusError");
    py::object e = error;
    for (int depth = 0; e && !e.is_none() && depth < 16; ++depth) {
        if (py::isinstance(e, status_error)) {
            const long status = py::cast<long>(e.attr("status_code"));
            if (status != 401 && status != 403) return;
            run->refused_status = status;
            run->all.attr("cancel")();
            return;
        }
        py::object next = py::getattr(e, "__cause__", py::none());
        e = next.is_none() ? py::getattr(e, "__context__", py::none()) : next;
    }
}

Coro mark_question(Run* run, SheetJob* job, py::object records, std::string q_id) {
    py::list calls = track_calls();
    const PaperQuestion* q = run->paper.find(q_id);
    py::object result, error;
    try {
        py::object marking = run->pipeline.attr("evaluate_answer_by_qid_async")(q->q_id, records, run->paper.paper);
        result = co_await marking;
    } catch (...) {
        error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
    }
    const std::int64_t id = job->record.id;
    if (!error && pyglue::contains(result, py::str("reason"))) {
        run->store->store_mark_failure(id, q_id, q->fingerprint, utf8(result[py::str("reason")]), usage_of(calls));
        co_return py::none();
    }
    if (!error) {
        try {
            std::vector<int> met;
            int position = 0;
            for (py::handle c : py::object(result[py::str("rubric")].attr("criteria"))) {
                if (pyglue::truth(c.attr("is_fulfilled"))) met.push_back(position);
                ++position;
            }
            run->store->store_mark(id, q_id, q->fingerprint, met, py::cast<double>(result[py::str("awarded_marks")]),
                                   q->max_marks, utf8(result[py::str("feedback")]), usage_of(calls));
            co_return py::none();
        } catch (py::error_already_set& e) {
            if (!pyglue::is_ordinary(e.value())) throw;
            error = e.value();
        }
    }
    stop_if_refused(run, error);
    run->store->store_mark_failure(id, q_id, q->fingerprint, utf8(describe_failure(error, "")), usage_of(calls));
    co_return py::none();
}

// True when a page of the sheet, as read, holds any text.
bool has_text(const py::object& sheet) {
    py::object texts = py::getattr(sheet, "extracted_texts", py::none());
    if (!PyDict_Check(texts.ptr())) return false;
    for (py::handle text : py::dict(texts).attr("values")()) {
        if (PyUnicode_Check(text.ptr()) && pyglue::truth(text.attr("strip")())) return true;
    }
    return false;
}

// An answer that reads as if written to the marker rather than to the
// question: it is still marked, and the teacher is told why to look at it.
std::vector<core::Flag> injection_flags(const std::string& q_id, const std::string& text) {
    const std::vector<std::string> signs = core::injection_signs(text);
    if (signs.empty()) return {};
    std::string why;
    for (const auto& sign : signs) why += (why.empty() ? "" : "; ") + sign;
    return {{"injection", q_id + ": answer may address the marker (" + why + ")"}};
}

// The parse, stored as found: each answer's text and pages, and its flags.
std::vector<core::FoundAnswer> found_answers(const py::object& sheet) {
    std::vector<core::FoundAnswer> found;
    for (py::handle q_id : py::object(sheet.attr("get_question_ids")())) {
        py::object answer = sheet.attr("get_answer")(q_id);
        core::FoundAnswer f;
        f.q_id = utf8(q_id);
        f.text = utf8(answer.attr("text"));
        for (py::handle page : py::object(answer.attr("pages"))) f.pages.push_back(py::cast<int>(page));
        f.flags = injection_flags(f.q_id, f.text);
        found.push_back(std::move(f));
    }
    return found;
}

// Text on the sheet's pages that a reader cannot see, as the reading found
// it (`hidden_text`: one entry per page): a flag per page, with a few of the
// words so that a person can find them.
std::vector<core::Flag> hidden_text_flags(const py::object& sheet) {
    std::vector<core::Flag> flags;
    py::object found = py::getattr(sheet, "hidden_text", py::none());
    if (found.is_none()) return flags;
    for (py::handle entry : found) {
        std::string note = "page " + utf8(pyglue::str(entry["page"])) + ": ";
        const long words = py::cast<long>(entry["words"]);
        std::string kinds;
        for (py::handle kind : py::object(entry["kinds"])) kinds += (kinds.empty() ? "" : ", ") + utf8(kind);
        if (pyglue::truth(entry["replaced"])) {
            note += std::to_string(words) + (words == 1 ? " word" : " words") +
                    " of its text layer not in the page image; what the image shows was marked instead";
        } else {
            note += std::to_string(words) + (words == 1 ? " word" : " words") + " that a reader cannot see (" + kinds +
                    ") not marked";
        }
        std::string sample;
        for (py::handle word : py::object(entry["sample"])) {
            std::string w = utf8(word);
            if (w.size() > 40) w = utf8(py::str(word)[py::slice(0, 37, 1)]) + "...";
            sample += (sample.empty() ? "" : ", ") + ("\"" + w + "\"");
        }
        if (!sample.empty()) note += ": " + sample;
        flags.push_back({"hidden_text", note});
    }
    return flags;
}

// What the sheet's first page says about who wrote it, unless the roster
// said it: a sheet read again after it changed may no longer say it.
void note_identity(core::ResultsStore& store, std::int64_t id, const py::object& sheet) {
    const core::Identity before = store.sheet(id)->identity;
    if (before.source == "roster") return;
    const core::Identity now = identity_on_sheet(sheet);
    if (!(now == before)) store.set_identity(id, now);
}

Coro mark_sheet(Run* run, SheetJob* job) {
    M("log_sheet").attr("set")(job->name);
    const std::int64_t id = job->record.id;
    if (!job->unreadable.empty()) {
        run->store->set_status(id, "failed", job->unreadable, run->paper.fingerprint);
        finish_sheet(*run, *job);
        co_return py::none();
    }
    if (job->needs_parse) {
        py::list calls = track_calls();
        py::object error;
        std::vector<core::FoundAnswer> found;
        std::vector<core::Flag> sheet_flags;
        bool text_but_no_answer = false;
        try {
            py::object reading = run->pipeline.attr("read_answersheet_async")(
                job->path, run->paper.paper, py::none(), run->extractor, run->executor,
                py::arg("check_visibility") = run->check_visibility, py::arg("limits") = run->limits);
            py::object sheet = co_await reading;
            if (!job->roster) note_identity(*run->store, id, sheet);
            found = found_answers(sheet);
            sheet_flags = hidden_text_flags(sheet);
            text_but_no_answer = found.empty() && has_text(sheet);
        } catch (...) {
            error = pyglue::current_exception();
            if (!pyglue::is_ordinary(error)) throw;
        }
        if (error) {
            stop_if_refused(run, error);
            run->store->set_status(id, "failed", utf8(describe_failure(error, "Failed to parse answersheet: ")),
                                   run->paper.fingerprint);
            finish_sheet(*run, *job);
            co_return py::none();
        }
        run->store->store_parse(id, job->sha, run->paper.parse_key, found, usage_of(calls), sheet_flags);
        if (text_but_no_answer) {
            // More likely a parse gone wrong than a blank sheet: not counted
            // as marked, and read again by the next run.
            run->store->set_status(id, "failed", "no answers found on a sheet with text", run->paper.fingerprint);
            finish_sheet(*run, *job);
            co_return py::none();
        }
        // Read now: an earlier run's failure no longer stands.
        if (run->store->sheet(id)->status == "failed") run->store->set_status(id, "pending", "", run->paper.fingerprint);
        job->to_mark.clear();
        for (const auto& f : found) {
            if (run->paper.find(f.q_id)) job->to_mark.push_back(f.q_id);
        }
    }
    if (!job->to_mark.empty()) {
        py::object records = sheet_records(run->paper, run->store->answers(id));
        py::list marking;
        for (const auto& q_id : job->to_mark) {
            marking.append(pyglue::make_coroutine(mark_question(run, job, records, q_id), "mark_answer"));
        }
        py::object all = M("asyncio").attr("gather")(*marking);
        co_await all;
    }
    finish_sheet(*run, *job);
    co_return py::none();
}

Coro mark_all(Run* run) {
    run->loop = M("asyncio").attr("get_running_loop")();
    py::list sheets;
    for (auto& job : run->jobs) sheets.append(pyglue::make_coroutine(mark_sheet(run, &job), "mark_sheet"));
    run->all = M("asyncio").attr("gather")(*sheets);
    // On SIGINT or SIGTERM no new call starts: the sheets' work is cancelled,
    // and what was stored stays stored for the next run.
    auto stop = py::cpp_function([run](int signum) {
        if (run->stop_signal) return;
        run->stop_signal = signum;
        run->all.attr("cancel")();
    });
    for (int signum : {SIGINT, SIGTERM}) run->loop.attr("add_signal_handler")(signum, stop, signum);
    py::object error;
    try {
        co_await run->all;
    } catch (...) {
        error = pyglue::current_exception();
    }
    for (int signum : {SIGINT, SIGTERM}) run->loop.attr("remove_signal_handler")(signum);
    const bool stopped = run->stop_signal || run->refused_status;
    if (error && !(stopped && py::isinstance(error, M("asyncio").attr("CancelledError")))) {
        pyglue::raise(error);
    }
    co_return py::none();
}

void print_results(const Run& run, double seconds) {
    const Session& s = *run.session;
    const std::size_t total = run.jobs.size();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
    if (run.failed == 0) {
        s.say(pyglue::cat("Marked all ", py::int_(total), " answer sheets in ", elapsed, " s."));
    } else {
        s.say(pyglue::cat("Marked ", py::int_(run.marked), " of ", py::int_(total), " answer sheets in ", elapsed,
                          " s; ", py::int_(run.failed), " not fully marked."));
    }
    if (run.skipped) {
        s.say(pyglue::cat("Skipped ", py::int_(run.skipped), run.skipped == 1 ? " entry" : " entries",
                          " named .pdf that ", run.skipped == 1 ? "is" : "are", " not a file to read (see stderr)."));
    }
    if (run.refused_reports) {
        s.say(pyglue::cat("Not written: ", py::int_(run.refused_reports),
                          run.refused_reports == 1 ? " report" : " reports",
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

// A log the run appends to: never through a symlink, never into the paper or
// anything but a regular file.
void check_log(const Session& s, const py::object& log, const py::object& paper) {
    py::object os = M("os");
    py::object st;
    try {
        st = os.attr("lstat")(log);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return;
        throw;
    }
    py::object mode = st.attr("st_mode");
    std::string why;
    if (pyglue::truth(M("stat").attr("S_ISLNK")(mode))) {
        why = "it is a symbolic link";
    } else if (!pyglue::truth(M("stat").attr("S_ISREG")(mode))) {
        why = "it is not a regular file";
    } else if (pyglue::truth(os.attr("path").attr("samefile")(log, paper))) {
        why = "it is the question paper";
    }
    if (!why.empty()) s.usage_error("will not write to " + utf8(log) + ": " + why);
}

// An error that ends the run, as one line: an OSError as its file and cause
// ("results/s.json: No space left on device"), anything else as its text.
py::str cause_of(const py::object& error) {
    if (py::isinstance(error, py::handle(PyExc_OSError))) {
        py::object filename = py::getattr(error, "filename", py::none());
        py::object strerror = py::getattr(error, "strerror", py::none());
        if (!filename.is_none() && !strerror.is_none()) return pyglue::cat(filename, ": ", strerror);
    }
    return pyglue::str(error);
}

void write_class_file_quietly(const Run& run) {
    // Sheets cut short never reached finish_sheet: their rows are made anew.
    for (const auto& job : run.jobs) run.view.forget(job.record.id);
    try {
        run.view.write_class_file();
    } catch (...) {
        if (!pyglue::is_ordinary(pyglue::current_exception())) throw;
    }
}

int run_mark_in(py::object args, py::object parser);

}  // namespace

// A store that cannot be written (a full disk) ends the command with its cause
// in one line, wherever it happens; what was stored before stays.
int run_mark(py::object args, py::object parser) {
    try {
        return run_mark_in(args, parser);
    } catch (const core::StoreError& e) {
        py::object print = M("builtins").attr("print");
        print(py::str(std::string("quorvan mark: ") + e.what()), py::arg("file") = M("sys").attr("stderr"),
              py::arg("flush") = true);
        print(py::str("What was marked is kept; running the same command again continues."),
              py::arg("file") = M("sys").attr("stderr"), py::arg("flush") = true);
        return 1;
    }
}

namespace {

int run_mark_in(py::object args, py::object parser) {
    Session s(args, parser);
    py::object os = M("os");

    py::object paper_data = load_paper_for_marking(s, args.attr("paper"));
    std::size_t skipped = 0;
    std::vector<SheetJob> jobs = collect_sheets(s, args.attr("sheets"), skipped);
    if (!py::getattr(args, "roster", py::none()).is_none()) {
        std::vector<core::SheetPath> paths;
        for (const auto& job : jobs) paths.push_back({utf8(job.path), job.resolved});
        auto identities = read_roster(s, args.attr("roster"), paths);
        for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i].roster = std::move(identities[i]);
    }

    py::object outdir = args.attr("output_dir");
    try {
        os.attr("makedirs")(outdir, py::arg("exist_ok") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot create the output folder: " + utf8(e.value()));
    }
    std::unique_ptr<core::ResultsStore> store;
    try {
        store = std::make_unique<core::ResultsStore>(utf8(join(outdir, py::str("marking.db"))));
    } catch (const core::StoreError& e) {
        s.usage_error(e.what());
    }

    for (const char* log : {"marking.log", "usage.log"}) check_log(s, join(outdir, py::str(log)), args.attr("paper"));
    s.start_log(join(outdir, py::str("marking.log")), "a");
    py::object facade;
    try {
        facade = s.configure(join(outdir, py::str("usage.log")));
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", error));
        return 1;
    }
    Run run;
    run.session = &s;
    run.store = store.get();
    run.skipped = skipped;
    try {
        py::object paper = facade.attr("question_paper_from_json")(paper_data);
        facade.attr("change_question_paper")(paper);
        run.paper = describe_paper(paper);
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.usage_error("cannot use " + utf8(args.attr("paper")) + " as a question paper: " + utf8(error));
    }
    run.store->remember_paper(run.paper.fingerprint, run.paper.canonical_json);
    run.service = facade.attr("llm_service");
    run.pipeline = facade.attr("answersheet_service");
    run.view.paper = &run.paper;
    run.view.store = run.store;
    run.view.pipeline = run.pipeline;
    run.view.outdir = outdir;
    run.view.paper_path = args.attr("paper");
    if (const std::string why = run.view.not_ours("class_results.csv"); !why.empty()) {
        s.end_redirect();
        s.usage_error("will not write " + utf8(run.view.csv_path()) + ": " + why);
    }
    const std::string format = args.attr("format").cast<std::string>();
    if (format == "json" || format == "both") run.view.formats.push_back("json");
    if (format == "txt" || format == "both") run.view.formats.push_back("txt");
    run.tty = s.terminal_is_tty();

    // One extractor, switched once before any sheet is read, so that reading
    // sheets at once never switches it under another.
    run.extractor = facade.attr("extractor_client");
    run.limits = M("ReadLimits")(py::arg("max_pages") = args.attr("max_pages"), py::arg("max_chars") = args.attr("max_chars"),
                                 py::arg("timeout") = args.attr("read_timeout"),
                                 py::arg("memory_mb") = args.attr("read_memory"));
    extraction::use_recommended_extractor(M("ExtractorClient"), run.extractor, run.paper.paper.attr("subject"));

    const bool force = pyglue::truth(args.attr("force"));
    run.check_visibility = !pyglue::truth(args.attr("no_visibility_check"));
    for (auto& job : jobs) {
        plan_sheet(run, job, force);
        // Kept sheets too: the roster is the teacher's word on who wrote them.
        if (job.roster) run.store->set_identity(job.record.id, *job.roster);
        run.jobs.push_back(std::move(job));
    }
    {
        const auto names = display_names(run.store->sheets());
        for (auto& job : run.jobs) job.name = names.at(job.record.id);
    }
    print_plan(run);
    try {
        run.view.write_class_file();
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", cause_of(error)));
        return 1;
    }
    run.class_file_written = std::chrono::steady_clock::now();
    bool calls_ahead = false;
    for (const auto& job : run.jobs) calls_ahead = calls_ahead || (!job.kept && job.unreadable.empty());
    if (calls_ahead) warm_up(run.service);
    // What exists by now lives as long as the run: kept out of the garbage
    // collector's full passes, which would otherwise stall the event loop.
    M("gc").attr("freeze")();

    if (run.tty) s.say(py::str(core::progress_bar(0, run.jobs.size(), 0, 0)), "");
    const auto started = std::chrono::steady_clock::now();
    run.executor = M("ThreadPoolExecutor")(py::arg("max_workers") = args.attr("workers"));
    try {
        M("asyncio").attr("run")(pyglue::make_coroutine(mark_all(&run), "mark_class"));
    } catch (...) {
        run.executor.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        write_class_file_quietly(run);
        s.complain(pyglue::cat("quorvan mark: ", cause_of(error)));
        s.complain(pyglue::cat("What was marked is kept in ", join(outdir, py::str("marking.db")),
                               "; running the same command again continues."));
        return 1;
    }
    const bool stopped = run.stop_signal || run.refused_status;
    run.executor.attr("shutdown")(py::arg("wait") = !stopped, py::arg("cancel_futures") = true);
    if (run.refused_status) {
        s.end_redirect();
        write_class_file_quietly(run);
        s.complain(py::str(run.refused_status == 401
                               ? "quorvan mark: the model service refused the API key (401): check OPENAI_API_KEY"
                               : "quorvan mark: the model service refused access (403): check OPENAI_API_KEY and "
                                 "that it may use the model"));
        s.complain(pyglue::cat("What was marked is kept in ", join(outdir, py::str("marking.db")),
                               "; running the same command again continues."));
        return 1;
    }
    if (run.stop_signal) {
        for (const auto& job : run.jobs) run.view.forget(job.record.id);
    }
    try {
        if (run.stop_signal) {
            run.view.write_class_file();
        } else {
            // Every view of the class, the sheets of this run made again.
            std::vector<std::int64_t> ran;
            for (const auto& job : run.jobs) ran.push_back(job.record.id);
            write_outputs(run.view, ran);
        }
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", cause_of(error)));
        s.complain(pyglue::cat("What was marked is kept in ", join(outdir, py::str("marking.db")),
                               "; running the same command again continues."));
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    s.end_redirect();
    if (run.tty) s.say(py::str(""));
    if (run.stop_signal) {
        std::size_t marked = 0;
        for (const auto& job : run.jobs) {
            if (run.store->sheet(job.record.id)->status == "marked") ++marked;
        }
        s.say(pyglue::cat("Interrupted: ", py::int_(marked), " of ", py::int_(run.jobs.size()),
                          " answer sheets are marked and stored in ", join(outdir, py::str("marking.db")), "."));
        s.say(py::str("Run the same command again to continue where this run stopped."));
        s.report_usage(run.service);
        return 128 + run.stop_signal;
    }
    print_results(run, seconds);
    s.report_usage(run.service);
    return run.failed == 0 && run.skipped == 0 && run.refused_reports == 0 ? 0 : 1;
}

}  // namespace

}  // namespace quorvan::cli
