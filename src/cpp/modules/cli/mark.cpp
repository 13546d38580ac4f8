// quorvan mark: a class of answer sheets against one question paper.
//
// The results store in OUTDIR is the run's only source of truth. Before any
// model call every sheet is compared with what the store holds: a sheet marked
// with the same bytes against the same paper is kept, an incomplete one gets
// only its unmarked answers sent, a changed PDF or a changed question is marked
// again (mark_sheets.cpp). Every sheet then runs as its own coroutine on one
// event loop (mark_marking.cpp). The class file and the reports are written
// from the store after every sheet (mark_progress.cpp).
//
// This file is the command from its options to its outputs: the results
// folder, the facade and its one model service, the run, what is written at
// its end and the exit status.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../shared/extractor_choice.hpp"
#include "class_run.hpp"
#include "folder_lock.hpp"
#include "mark_run.hpp"
#include "outputs.hpp"

namespace quorvan::cli {

namespace marking {

py::object join(const py::object& a, const py::object& b) { return app::join(a, b); }

namespace {

// A log the run appends to: never through a symlink, never into the paper or
// anything but a regular file.
void check_log(const Session& s, const py::object& log, const py::object& paper) {
    const app::Entry entry = app::look(log, false);
    if (entry.error == ENOENT) return;
    if (entry.error) app::raise_os_error(entry.error, log);
    std::string why;
    if (entry.kind == app::Kind::link) {
        why = "it is a symbolic link";
    } else if (entry.kind != app::Kind::file) {
        why = "it is not a regular file";
    } else if (app::same_file(log, paper)) {
        why = "it is the question paper";
    }
    if (!why.empty()) s.usage_error("will not write to " + utf8(log) + ": " + why);
}

}  // namespace

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
        pyglue::caught();
    }
}

// An end of the run with what was marked kept; exit status 1.
int ended(const Session& s, const py::object& outdir, py::handle first_line) {
    s.complain(first_line);
    s.complain(pyglue::cat("What was marked is kept in ", join(outdir, py::str("marking.db")),
                           "; running the same command again continues."));
    return 1;
}

// ------------------------------------------------------------ the folder

// Results of an earlier run in the folder: what a store lost would be
// marked (and paid for) again.
bool holds_results(const py::object& outdir) {
    for (const char* name : {"class_results.csv", "class_report.html", "feedback"}) {
        if (app::lexists(app::join(outdir, name))) return true;
    }
    return false;
}

// The folder's store, opened when it is whole; else `damage` says what is
// wrong with it ("" when there is none yet).
std::unique_ptr<core::ResultsStore> open_whole_store(const std::string& db_path, std::string& damage) {
    damage.clear();
    std::error_code ec;
    if (!std::filesystem::exists(db_path, ec)) return nullptr;
    if (std::filesystem::file_size(db_path, ec) == 0 && !ec) {
        damage = "it is empty";
        return nullptr;
    }
    try {
        auto store = std::make_unique<core::ResultsStore>(db_path);
        damage = store->damage();
        if (damage.empty()) return store;
    } catch (const core::StoreError& e) {
        damage = e.what();
    }
    return nullptr;
}

// The output folder, made when missing, locked for this run, and its store;
// the run's log opened. A folder another run is marking, or whose store is
// lost while its results are there, ends the command (exit status 1);
// anything else wrong here is a usage error (exit status 2).
std::unique_ptr<core::ResultsStore> open_folder(Session& s, const MarkOptions& o,
                                                std::unique_ptr<core::FolderLock>& lock) {
    py::object outdir = o.output_dir;
    try {
        app::make_folders(outdir);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot create the output folder: " + utf8(e.value()));
    }
    std::string held_by;
    try {
        lock = core::FolderLock::take(utf8(join(outdir, py::str("marking.lock"))),
                                      core::this_process(core::utc_now_iso()), held_by);
    } catch (const std::runtime_error& e) {
        s.usage_error(e.what());
    }
    if (!lock) {
        s.complain(py::str("quorvan mark: " + utf8(outdir) + " is being marked by another quorvan mark (" + held_by +
                           "): wait for it to end, or mark into another folder"));
        return nullptr;
    }
    const std::string db_path = utf8(join(outdir, py::str("marking.db")));
    std::string damage;
    std::unique_ptr<core::ResultsStore> store = open_whole_store(db_path, damage);
    if (!damage.empty()) {
        if (!o.force) {
            if (holds_results(outdir)) {
                s.complain(py::str("quorvan mark: " + db_path + ": " + damage + ", while " + utf8(outdir) +
                                   " holds the results of an earlier run: marking now would mark (and pay for) the "
                                   "class again. Put the store back from a copy, or start over with --force (the "
                                   "store is kept aside)."));
                return nullptr;
            }
        } else {
            // Kept aside, never deleted: it may still be mended.
            const std::string aside = db_path + ".damaged-" + core::utc_now_iso(true);
            std::error_code ec;
            std::filesystem::rename(db_path, aside, ec);
            if (ec) s.usage_error("cannot move the damaged store aside: " + ec.message());
            for (const char* tail : {"-wal", "-shm"}) std::filesystem::remove(db_path + tail, ec);
            s.complain(py::str("quorvan mark: " + db_path + ": " + damage + "; kept as " + aside +
                               ", starting over (--force)"));
        }
    }
    try {
        if (!store) store = std::make_unique<core::ResultsStore>(db_path);
    } catch (const core::StoreError& e) {
        s.usage_error(e.what());
    }
    for (const char* log : {"marking.log", "usage.log"}) check_log(s, join(outdir, py::str(log)), o.paper);
    s.start_log(join(outdir, py::str("marking.log")), "a");
    return store;
}

// ------------------------------------------------------------ the run

// Options that contradict each other are a usage error whatever the store
// holds, so they are checked before the run is planned.
void check_reader(Session& s, const MarkOptions& o) {
    if (o.reader == "local" && o.model.extractor == "openai") {
        s.end_redirect();
        s.usage_error("--reader local sends no page image to the model; it cannot be used with --extractor openai");
    }
}

// Who reads scanned pages. The vision model uses the run's own key; with
// --reader local no page image leaves the machine, whatever the paper's
// subject would recommend.
void set_reader(const MarkOptions& o, Run& run) {
    const std::string& reader = o.reader;
    py::object extractor = run.reading.extractor;
    if (reader == "local") extractor.attr("backend") = py::str("local");
    extractor.attr("reader") = py::str(reader);
    if (extractor.attr("api_key").is_none()) {
        py::object key = py::getattr(run.service.attr("client"), "api_key", py::none());
        if (pyglue::truth(key)) extractor.attr("api_key") = key;
    }
}

// The paper and the class view over the store: all a run needs to plan
// itself from what the store holds. The facade is not configured yet (that
// builds the model service, which loads the openai client and the token
// encoding): a run with nothing to read or mark never needs it. A paper the
// facade refuses is a usage error.
void set_up_view(Session& s, const MarkOptions& o, const py::object& paper_data, Run& run) {
    check_reader(s, o);
    run.facade = M("Quorvan")();
    try {
        run.paper = describe_paper(run.facade.attr("_question_paper_from_json")(paper_data));
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.usage_error("cannot use " + utf8(o.paper) + " as a question paper: " + utf8(error));
    }
    run.store->remember_paper(run.paper.fingerprint, run.paper.canonical_json);

    run.view.paper = &run.paper;
    run.view.store = run.store;
    // Reports need no model: until the facade is configured, a pipeline without one writes them.
    run.view.pipeline = M("AnswersheetService")(py::arg("extractor_client") = py::none(),
                                                py::arg("llm_service") = py::none());
    run.view.outdir = o.output_dir;
    run.view.paper_path = o.paper;
    if (const std::string why = run.view.not_ours("class_results.csv"); !why.empty()) {
        s.end_redirect();
        s.usage_error("will not write " + utf8(run.view.csv_path()) + ": " + why);
    }
    const std::string& format = o.format;
    if (format == "json" || format == "both") run.view.formats.push_back("json");
    if (format == "txt" || format == "both") run.view.formats.push_back("txt");
    run.tally.tty = s.terminal_is_tty();
}

// The facade configured for a run that reads or marks: its model service, its
// answer-sheet pipeline and its extractor, switched once before any sheet is
// read. False when the facade cannot be configured (said on stderr).
bool set_up_model(Session& s, const MarkOptions& o, Run& run) {
    if (run.service) return true;
    try {
        s.configure(join(o.output_dir, py::str("usage.log")), run.facade);
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", error));
        return false;
    }
    try {
        run.facade.attr("change_question_paper")(run.paper.paper);
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.usage_error("cannot use " + utf8(o.paper) + " as a question paper: " + utf8(error));
    }
    run.service = run.facade.attr("llm_service");
    run.reading.pipeline = run.facade.attr("answersheet_service");
    run.view.pipeline = run.reading.pipeline;

    // One extractor, switched once before any sheet is read, so that reading
    // sheets at once never switches it under another.
    run.reading.extractor = run.facade.attr("extractor_client");
    run.reading.limits = M("ReadLimits")(py::arg("max_pages") = py::int_(o.max_pages),
                                         py::arg("max_chars") = py::int_(o.max_chars),
                                         py::arg("timeout") = py::float_(o.read_timeout),
                                         py::arg("memory_mb") = py::int_(o.read_memory));
    extraction::use_recommended_extractor(M("ExtractorClient"), run.reading.extractor,
                                          run.paper.paper.attr("subject"));
    run.reading.check_visibility = o.visibility_check;
    set_reader(o, run);
    return true;
}

// Every sheet planned from the store, the roster's names kept, the plan shown.
void plan_run(Run& run, std::vector<SheetJob>& jobs, bool force) {
    for (auto& job : jobs) {
        plan_sheet(run, job, force);
        // Kept sheets too: the roster is the teacher's word on who wrote them.
        if (job.roster) run.store->set_identity(job.record.id, *job.roster);
        run.jobs.push_back(std::move(job));
    }
    const auto names = display_names(run.store->sheets());
    for (auto& job : run.jobs) job.name = names.at(job.record.id);
    print_plan(run);
}

// ------------------------------------------------------------ the end

// The class file and the reports once the sheets are done; the exit status
// when writing them fails, else none.
std::optional<int> write_run_outputs(Session& s, Run& run) {
    if (run.stop.signal) {
        for (const auto& job : run.jobs) run.view.forget(job.record.id);
    }
    try {
        if (run.stop.signal) {
            run.view.write_class_file();
        } else {
            // Every view of the class, the sheets of this run made again.
            std::vector<std::int64_t> ran;
            for (const auto& job : run.jobs) ran.push_back(job.record.id);
            write_outputs(run.view, ran);
        }
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        return ended(s, run.view.outdir, pyglue::cat("quorvan mark: ", cause_of(error)));
    }
    return std::nullopt;
}

// The class file as the store has it, before any sheet is done; the exit
// status when it cannot be written.
std::optional<int> write_first_class_file(Session& s, Run& run) {
    try {
        run.view.write_class_file();
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", cause_of(error)));
        return 1;
    }
    run.tally.class_file_written = std::chrono::steady_clock::now();
    return std::nullopt;
}

// Every planned sheet through its coroutine on one event loop; the exit
// status when the run ends early (an error, a refused key), else none.
std::optional<int> run_sheets(Session& s, const MarkOptions& o, Run& run) {
    // What exists by now lives as long as the run: kept out of the garbage
    // collector's full passes, which would otherwise stall the event loop.
    M("gc").attr("freeze")();
    if (run.tally.tty) s.say(py::str(core::progress_bar(0, run.jobs.size(), 0, 0)), "");
    const py::object outdir = o.output_dir;
    // On a Ray cluster a thread waits on each sheet's task: as many as the cluster reads at once.
    const std::size_t readers = std::max(o.workers, run.reading.cluster_cpus);
    run.reading.executor = M("ThreadPoolExecutor")(py::arg("max_workers") = readers);
    try {
        M("asyncio").attr("run")(pyglue::make_coroutine(mark_all(&run), "mark_class"));
    } catch (...) {
        run.reading.executor.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
        py::object error = pyglue::caught();
        s.end_redirect();
        write_class_file_quietly(run);
        return ended(s, outdir, pyglue::cat("quorvan mark: ", cause_of(error)));
    }
    run.reading.executor.attr("shutdown")(py::arg("wait") = !run.stop.stopped(), py::arg("cancel_futures") = true);
    if (run.stop.refused_status) {
        s.end_redirect();
        write_class_file_quietly(run);
        return ended(s, outdir,
                     py::str(run.stop.refused_status == 401
                                 ? "quorvan mark: the model service refused the API key (401): check OPENAI_API_KEY"
                                 : "quorvan mark: the model service refused access (403): check OPENAI_API_KEY and "
                                   "that it may use the model"));
    }
    return std::nullopt;
}

// The outputs, the summary and the usage once the sheets are done (or the
// run was stopped by a signal); the exit status.
int end_run(Session& s, Run& run, std::chrono::steady_clock::time_point started) {
    const py::object outdir = run.view.outdir;
    if (auto status = write_run_outputs(s, run)) return *status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    s.end_redirect();
    if (run.tally.tty) s.say(py::str(""));
    if (run.stop.signal) {
        std::size_t marked = 0;
        for (const auto& job : run.jobs) {
            if (run.store->sheet(job.record.id)->status == "marked") ++marked;
        }
        s.say(pyglue::cat("Interrupted: ", py::int_(marked), " of ", py::int_(run.jobs.size()),
                          " answer sheets are marked and stored in ", join(outdir, py::str("marking.db")), "."));
        s.say(py::str("Run the same command again to continue where this run stopped."));
        s.report_usage(run.service);
        return 128 + run.stop.signal;
    }
    print_results(run, seconds);
    s.report_usage(run.service);
    return run.tally.failed == 0 && run.tally.skipped == 0 && run.tally.refused_reports == 0 ? 0 : 1;
}

// The reading on the Ray cluster (--ray), connected once for the run; false
// when it cannot be reached (said on stderr).
bool connect_cluster(Session& s, const MarkOptions& o, Run& run) {
    if (o.ray.is_none() || run.reading.ray) return true;
    const std::size_t cpus = start_ray(s, o, run);
    run.reading.cluster_cpus = cpus;
    return cpus != 0;
}

namespace {

// --ray takes an optional ADDRESS: a sheet right after it would be taken for one.
void check_ray_option(const Session& s, const MarkOptions& o) {
    const py::object& address = o.ray;
    if (address.is_none()) return;
    if (pyglue::truth(address) && app::exists(address)) {
        s.usage_error("--ray " + utf8(address) + ": a file or folder, not a cluster address; put --ray after the "
                      "sheets, or write --ray=ADDRESS");
    }
    require_ray(s);
}

// Ray is left as found: a local cluster started for the run stops with it.
struct RayConnection {
    explicit RayConnection(Run& r) : run(&r) {}
    RayConnection(const RayConnection&) = delete;
    RayConnection& operator=(const RayConnection&) = delete;
    RayConnection(RayConnection&&) = delete;
    RayConnection& operator=(RayConnection&&) = delete;
    ~RayConnection() { stop_ray(*run); }
    Run* run;
};

int run_mark_in(const MarkOptions& o, py::object parser) {
    Session s(parser, o.model);
    check_ray_option(s, o);

    py::object paper_data = load_paper_for_marking(s, o.paper);
    std::size_t skipped = 0;
    std::vector<SheetJob> jobs = collect_sheets(s, o.sheets, skipped);
    if (!o.roster.is_none()) {
        std::vector<core::SheetPath> paths;
        for (const auto& job : jobs) paths.push_back({utf8(job.path), job.resolved});
        auto identities = read_roster(s, o.roster, paths);
        for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i].roster = std::move(identities[i]);
    }
    std::unique_ptr<core::FolderLock> lock;
    std::unique_ptr<core::ResultsStore> store = open_folder(s, o, lock);
    if (!store) return 1;

    Run run;
    RayConnection ray_connection{run};
    run.session = &s;
    run.store = store.get();
    run.tally.skipped = skipped;
    set_up_view(s, o, paper_data, run);
    // The model's calls as batches: the same sheets and stores, in stages.
    if (o.batch) {
        if (!set_up_model(s, o, run)) return 1;
        return run_batch(s, o, run, std::move(jobs));
    }
    plan_run(run, jobs, o.force);
    bool calls_ahead = false;
    for (const auto& job : run.jobs) calls_ahead = calls_ahead || (!job.kept && job.unreadable.empty());
    if (calls_ahead && !set_up_model(s, o, run)) return 1;
    if (auto status = write_first_class_file(s, run)) return *status;
    if (calls_ahead) warm_up(run.service);
    bool reading_ahead = false;
    for (const auto& job : run.jobs) {
        reading_ahead = reading_ahead || (job.needs_parse && !job.kept && job.unreadable.empty());
    }
    if (reading_ahead && !connect_cluster(s, o, run)) return 1;

    const auto started = std::chrono::steady_clock::now();
    if (auto status = run_sheets(s, o, run)) return *status;
    return end_run(s, run, started);
}

}  // namespace
}  // namespace marking

void add_mark_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "mark", py::arg("help") = "mark answer sheets against an exported question paper",
        py::arg("description") = "Mark every answer sheet against the question paper; write each sheet's report "
                                 "and OUTDIR/class_results.csv with one row per sheet.");
    p.attr("add_argument")("--paper", py::arg("required") = true, py::arg("metavar") = "PAPER.json");
    p.attr("add_argument")("sheets", py::arg("nargs") = "+", py::arg("metavar") = "SHEET.pdf|FOLDER");
    p.attr("add_argument")("-o", "--output-dir", py::arg("required") = true, py::arg("metavar") = "OUTDIR",
                           py::arg("dest") = "output_dir");
    p.attr("add_argument")("--format", py::arg("default") = "both",
                           py::arg("choices") = py::make_tuple("json", "txt", "both"),
                           py::arg("help") = "report format of each sheet (default: both)");
    p.attr("add_argument")("--roster", py::arg("metavar") = "ROSTER.csv",
                           py::arg("help") = "who each sheet belongs to: a CSV with columns file (name, path "
                                             "or pattern), student_id, name and optionally email, section");
    p.attr("add_argument")("--workers", py::arg("type") = M("int"), py::arg("default") = 2,
                           py::arg("help") = "sheets read from PDF at once (default: 2)");
    p.attr("add_argument")("--force", py::arg("action") = "store_true",
                           py::arg("help") = "mark the named sheets again from scratch, even where OUTDIR "
                                             "holds their marks");
    p.attr("add_argument")("--resume", py::arg("action") = "store_true",
                           py::arg("help") = "accepted for older scripts: a run always continues what "
                                             "OUTDIR holds");
    // No argparse defaults: an option not given falls back to the environment, then to these.
    p.attr("add_argument")("--retries", py::arg("type") = M("int"),
                           py::arg("help") = "tries again after a rate limit, server error, timeout or "
                                             "dropped connection, with growing pauses (default: "
                                             "$QUORVAN_RETRIES, else 4)");
    p.attr("add_argument")("--timeout", py::arg("type") = M("float"),
                           py::arg("help") = "seconds one model call may take (default: $QUORVAN_TIMEOUT, "
                                             "else 180)");
    p.attr("add_argument")("--reader", py::arg("default") = "auto",
                           py::arg("choices") = py::make_tuple("auto", "local", "vision"),
                           py::arg("help") = "who reads scanned pages: auto (OCR, and the vision model again "
                                             "for pages OCR reads with low confidence), local (OCR only: no "
                                             "page image is sent to the model; such pages are flagged) or "
                                             "vision (the vision model reads every scanned page) "
                                             "(default: auto)");
    p.attr("add_argument")("--no-visibility-check", py::arg("action") = "store_true",
                           py::arg("dest") = "no_visibility_check",
                           py::arg("help") = "mark the whole text layer of each sheet, words no reader sees "
                                             "included (by default they are left out and flagged)");
    // Every sheet is read in a process of its own within these limits; a
    // sheet over one fails alone with the reason.
    p.attr("add_argument")("--max-pages", py::arg("type") = M("int"), py::arg("default") = 300,
                           py::arg("help") = "pages of one sheet read at most (default: 300)");
    p.attr("add_argument")("--max-chars", py::arg("type") = M("int"), py::arg("default") = 1000000,
                           py::arg("help") = "characters of text in one sheet at most (default: 1000000)");
    p.attr("add_argument")("--read-timeout", py::arg("type") = M("float"), py::arg("default") = 120.0,
                           py::arg("help") = "seconds reading one sheet may take (default: 120)");
    p.attr("add_argument")("--read-memory", py::arg("type") = M("int"), py::arg("default") = 2048,
                           py::arg("help") = "MB of memory reading one sheet may use (default: 2048)");
    p.attr("add_argument")("--max-prompt-tokens", py::arg("type") = M("int"), py::arg("default") = 100000,
                           py::arg("help") = "a prompt estimated larger than this is not sent; its sheet or "
                                             "answer fails (default: 100000)");
    p.attr("add_argument")("--tokens-per-minute", py::arg("type") = M("int"), py::arg("metavar") = "N",
                           py::arg("help") = "model tokens (prompt and answer) used per minute at most: each "
                                             "call waits until its estimate fits (default: no limit)");
    // The model's calls as batches, at batch prices (mark_batch*.cpp).
    p.attr("add_argument")("--batch", py::arg("action") = "store_true",
                           py::arg("help") = "send the model's calls as batches (reading, then marking), at "
                                             "batch prices: the command submits and exits, and running it "
                                             "again continues until everything is marked");
    p.attr("add_argument")("--wait", py::arg("action") = "store_true",
                           py::arg("help") = "with --batch: wait for each batch here, and go on until "
                                             "everything is marked");
    p.attr("add_argument")("--batch-discount", py::arg("type") = M("float"),
                           py::arg("dest") = "batch_discount", py::arg("metavar") = "SHARE",
                           py::arg("help") = "with --batch: the share taken off the model's prices for "
                                             "batches, 0 to below 1 (default: 0.5)");
    p.attr("add_argument")("--batch-queue-tokens", py::arg("type") = M("int"),
                           py::arg("dest") = "batch_queue_tokens", py::arg("metavar") = "N",
                           py::arg("help") = "with --batch: prompt tokens the account may have waiting in "
                                             "batches (its batch queue limit); requests beyond it are sent "
                                             "once the batches before them have ended (default: no limit)");
    // The reading of every sheet on a Ray cluster's workers; the model calls
    // and the results store stay with the command.
    p.attr("add_argument")("--ray", py::arg("nargs") = "?", py::arg("const") = "", py::arg("default") = py::none(),
                           py::arg("metavar") = "ADDRESS",
                           py::arg("help") = "read the sheets' PDFs (text layer, OCR) as tasks on a Ray "
                                             "cluster: the one at ADDRESS (host:port of its head), else "
                                             "$RAY_ADDRESS, else a local one (needs pip install "
                                             "quorvan_core[ray])");
    add_model_options(p);
}

MarkOptions mark_options(py::object parser, py::object args) {
    MarkOptions o;
    o.model = model_settings(parser, args);
    o.paper = args.attr("paper");
    o.sheets = args.attr("sheets");
    o.output_dir = args.attr("output_dir");
    o.roster = args.attr("roster");
    o.format = args.attr("format").cast<std::string>();
    o.force = pyglue::truth(args.attr("force"));
    o.reader = args.attr("reader").cast<std::string>();
    o.visibility_check = !pyglue::truth(args.attr("no_visibility_check"));
    o.ray = args.attr("ray");
    // In this order, after the model's settings, as the errors have always come.
    o.workers = static_cast<std::size_t>(positive_option(parser, args, "workers"));
    o.max_pages = positive_option(parser, args, "max_pages");
    o.max_chars = positive_option(parser, args, "max_chars");
    o.model.max_prompt_tokens = positive_option(parser, args, "max_prompt_tokens");
    py::object tokens = args.attr("tokens_per_minute");
    if (!tokens.is_none()) {
        o.model.tokens_per_minute = whole_number(parser, tokens, "--tokens-per-minute");
        if (*o.model.tokens_per_minute < 1) parser.attr("error")("--tokens-per-minute must be at least 1");
    }
    if (o.model.retries < 0) parser.attr("error")("--retries must be at least 0");
    if (!(o.model.timeout > 0)) parser.attr("error")("--timeout must be more than 0 seconds");
    marking::batch_options(parser, args, o);
    o.read_timeout = py::cast<double>(args.attr("read_timeout"));
    // Checked this way round so that nan and inf are refused too.
    if (!(o.read_timeout > 0 && o.read_timeout <= 86400)) {
        parser.attr("error")("--read-timeout must be more than 0 and at most 86400 seconds");
    }
    o.read_memory = whole_number(parser, args.attr("read_memory"), "--read-memory");
    // Below this the reading process cannot even load its libraries.
    if (o.read_memory < 100) parser.attr("error")("--read-memory must be at least 100 (MB)");
    return o;
}

// A store that cannot be written (a full disk) ends the command with its cause
// in one line, wherever it happens; what was stored before stays.
int run_mark(const MarkOptions& o, py::object parser) {
    try {
        return marking::run_mark_in(o, parser);
    } catch (const core::StoreError& e) {
        py::object print = M("builtins").attr("print");
        print(py::str(std::string("quorvan mark: ") + e.what()), py::arg("file") = M("sys").attr("stderr"),
              py::arg("flush") = true);
        print(py::str("What was marked is kept; running the same command again continues."),
              py::arg("file") = M("sys").attr("stderr"), py::arg("flush") = true);
        return 1;
    }
}

}  // namespace quorvan::cli
