// quorvan mark, shared by its parts: the sheets of the run and what each
// needs (mark_sheets.cpp), how a sheet is read and marked (mark_marking.cpp,
// mark_reading.cpp), the progress and summary lines (mark_progress.cpp), and
// the command itself, from its options to its outputs (mark.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "class_run.hpp"
#include "class_view.hpp"
#include "cli.hpp"
#include "identities.hpp"
#include "injection.hpp"

namespace quorvan::cli::marking {

// os.path.join(a, b)
py::object join(const py::object& a, const py::object& b);

// One answer sheet of the run and what this run does with it.
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
    bool waiting = false;  // a model call of it waits for a batch (--batch): not finished in this pass
};

// How every sheet is read and marked.
struct Reading {
    py::object pipeline;   // the facade's answer-sheet pipeline
    py::object extractor;  // one, switched once before any sheet is read
    py::object executor;   // the threads that read the PDFs
    py::object limits;     // every sheet is read within them, in a process of its own
    bool check_visibility = true;  // mark only the text a reader of the sheet sees
    py::object ray;        // the Ray module while the reading runs on a cluster (--ray)
    std::size_t cluster_cpus = 0;  // the cluster's CPUs, once connected
    // --batch: how the sheets are read, which with a sheet's SHA-256 keys the
    // readings kept between passes ("" keeps none).
    std::string kept_settings;
};

// What ends the run before every sheet is done.
struct Stopping {
    py::object all;           // the sheets' gathered work, cancelled to stop
    int signal = 0;           // SIGINT or SIGTERM
    long refused_status = 0;  // 401 or 403: the model service refused the key
    bool stopped() const { return signal != 0 || refused_status != 0; }
};

// The sheets counted as they finish, and how progress is shown.
struct Tally {
    std::size_t done = 0, marked = 0, failed = 0;
    std::size_t refused_reports = 0;  // reports not written over a file not ours
    std::size_t skipped = 0;          // entries named .pdf that are no file
    bool tty = false;                 // a progress bar on the terminal
    std::chrono::steady_clock::time_point class_file_written;
};

struct Run {
    Session* session = nullptr;
    core::ResultsStore* store = nullptr;
    ClassPaper paper;
    ClassView view;
    py::object facade;   // configured only when the run reads or marks a sheet
    py::object service;  // the one model service (none until then); its usage ends the output
    Reading reading;
    Stopping stop;
    Tally tally;
    std::vector<SheetJob> jobs;
};

// ---- mark_sheets.cpp: which files are sheets, and what each one needs

// The sheets named on the command line; entries skipped are counted.
std::vector<SheetJob> collect_sheets(const Session& s, py::object arguments, std::size_t& skipped);
// What this run does with a sheet, decided from the store before any call.
void plan_sheet(Run& run, SheetJob& job, bool force);
// What this run will do, before it does it.
void print_plan(const Run& run);

// ---- mark_reading.cpp: what a read sheet holds

// True when a page of the sheet, as read, holds any text.
bool has_text(const py::object& sheet);
// The flag of what was read too badly to trust without a look.
inline constexpr const char* kUnreliableReading = "unreliable_reading";
// How each page of the sheet was read, as the reading reported it.
std::vector<core::PageReading> page_reading(const py::object& sheet);
// A flag per page read badly and not read again.
std::vector<core::Flag> reading_flags(const std::vector<core::PageReading>& pages);
// The parse, stored as found: each answer's text and pages, and its flags
// (among them, answers written on pages read badly).
std::vector<core::FoundAnswer> found_answers(const py::object& sheet, const std::vector<core::PageReading>& pages);
// A flag per page whose text a reader cannot see.
std::vector<core::Flag> hidden_text_flags(const py::object& sheet);
// Who the sheet's first page says wrote it, unless the roster said it.
void note_identity(core::ResultsStore& store, std::int64_t id, const py::object& sheet);

// ---- mark_marking.cpp: every sheet as its own coroutine on one loop

pyglue::Coro mark_all(Run* run);

// ---- mark_ray.cpp: the reading spread over a Ray cluster (--ray)

inline constexpr const char* kRayMissing =
    "--ray needs Ray, which is not installed here: pip install quorvan_core[ray]";
// Imports Ray, before anything is done; a usage error when it is missing.
void require_ray(const Session& s);
// Connects to the cluster (o.ray: its address, or None for Ray's own
// default) and has every sheet read there; returns the cluster's CPUs, 0
// when it cannot be reached (said on stderr).
std::size_t start_ray(Session& s, const MarkOptions& o, Run& run);
void stop_ray(Run& run) noexcept;
// _read_on_worker, the task, and the reader the pipeline is handed.
void init_ray_reading(py::module_& m);

// ---- mark_progress.cpp: a line per finished sheet and the closing summary

// Stores the sheet's standing, writes its reports and prints its line.
void finish_sheet(Run& run, SheetJob& job);
void print_results(const Run& run, double seconds);

// ---- mark.cpp: the run's steps, shared with the batch path

void plan_run(Run& run, std::vector<SheetJob>& jobs, bool force);
std::optional<int> write_first_class_file(Session& s, Run& run);
std::optional<int> run_sheets(Session& s, const MarkOptions& o, Run& run);
int end_run(Session& s, Run& run, std::chrono::steady_clock::time_point started);
void write_class_file_quietly(const Run& run);
int ended(const Session& s, const py::object& outdir, py::handle first_line);

// ---- mark_batch*.cpp: the model's calls as batches (--batch, --wait)

// The run in stages: its sheets' parses, then their answers' marking, sent
// as batches; each invocation continues where the last one stopped.
// The reading on the Ray cluster (--ray), connected once for the run; false
// when it cannot be reached (said on stderr).
bool connect_cluster(Session& s, const MarkOptions& o, Run& run);
int run_batch(Session& s, const MarkOptions& o, Run& run, std::vector<SheetJob> jobs);
// --batch, --wait, --batch-discount and --batch-queue-tokens into `o`, whose
// force is read already: the options that need --batch, or that it cannot take.
void batch_options(py::object command_parser, py::object args, MarkOptions& o);
// True when the error (or one behind it) is a model call held for a batch:
// nothing failed, the call's answer comes with the batch.
bool waits_for_batch(const py::object& error);
// The reader of a sheet for this pass: with --batch, the reading an earlier
// pass kept (the usage of its vision calls added to `calls`), else the run's
// reader, watched so that what it reads can be kept.
py::object sheet_reader(Run& run, const SheetJob& job, py::list& calls);
// A sheet left for a later pass keeps what this pass read, with the usage of
// the vision calls made to read it: the later pass neither reads it nor
// sends its pages to the model again.
void keep_reading(Run& run, const SheetJob& job, const py::object& reader, const py::list& calls);
// The module's pieces of the batch path, made once at import.
void init_batch(py::module_& m);

}  // namespace quorvan::cli::marking
