// quorvan mark: a class of answer sheets against one question paper.
//
// Every sheet runs as its own coroutine on one event loop: its PDF is read on a
// worker thread (the extractor releases the GIL), then the parse and the
// evaluations go through the one model service, whose semaphore and per-minute
// window bound all sheets' calls together. A sheet that fails is reported in its
// row and never stops the others; the results file is rewritten after every
// sheet, so what is done stays done if the run is cut short.
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "class_run.hpp"
#include "cli.hpp"

namespace quorvan::cli {

using pyglue::Coro;

namespace {

struct Run {
    Session* session = nullptr;
    py::object facade, service, pipeline, extractor, paper, loop, executor;
    py::list q_ids;
    py::object outdir, csv_path;
    std::vector<py::object> paths;
    std::vector<std::string> names;
    std::vector<py::object> rows;
    std::vector<std::string> formats;  // "json", "txt"
    bool resume = false, tty = false;
    std::size_t done = 0, marked = 0, failed = 0;
};

py::object join(const py::object& a, const py::object& b) { return M("os").attr("path").attr("join")(a, b); }

py::str display_name(const py::object& path) { return M("os").attr("path").attr("basename")(path); }

// The sheets named on the command line: files as given, folders as their PDFs
// in name order.
std::vector<py::object> collect_sheets(const Session& s, py::object arguments) {
    py::object path = M("os").attr("path");
    std::vector<py::object> sheets;
    for (py::handle arg : arguments) {
        py::object a = py::reinterpret_borrow<py::object>(arg);
        if (pyglue::truth(path.attr("isdir")(a))) {
            py::list found;
            for (py::handle entry : M("os").attr("listdir")(a)) {
                py::object full = join(a, py::reinterpret_borrow<py::object>(entry));
                if (pyglue::truth(entry.attr("lower")().attr("endswith")(".pdf")) &&
                    pyglue::truth(path.attr("isfile")(full))) {
                    found.append(full);
                }
            }
            if (py::len(found) == 0) s.usage_error("no answer sheets (.pdf files) in folder: " + py::str(a).cast<std::string>());
            found.attr("sort")();
            for (py::handle f : found) sheets.push_back(py::reinterpret_borrow<py::object>(f));
        } else if (pyglue::truth(path.attr("isfile")(a))) {
            sheets.push_back(a);
        } else {
            s.usage_error("no such answer sheet or folder: " + py::str(a).cast<std::string>());
        }
    }
    return sheets;
}

py::dict empty_row(const Run& run, std::size_t i, const char* status) {
    py::dict row;
    row["file"] = display_name(run.paths[i]);
    for (py::handle q : run.q_ids) row[q] = py::str("");
    row["total"] = py::str("");
    row["maximum"] = py::str("");
    row["percentage"] = py::str("");
    row["warnings"] = py::str("");
    row["status"] = py::str(status);
    return row;
}

void set_totals(py::dict& row, py::object total, py::object maximum) {
    row["total"] = total;
    row["maximum"] = maximum;
    row["percentage"] = py::str(core::percent(py::cast<double>(total), py::cast<double>(maximum)));
}

// A sheet marked by an earlier run, read back from its JSON report.
py::object kept_row(const Run& run, std::size_t i) {
    py::object report = join(run.outdir, py::str(run.names[i] + ".json"));
    if (!pyglue::truth(M("os").attr("path").attr("isfile")(report))) return py::object();
    try {
        py::object file = M("builtins").attr("open")(report, py::arg("encoding") = "utf-8");
        py::object records = M("json").attr("load")(file);
        file.attr("close")();
        py::dict row = empty_row(run, i, "kept");
        py::object total = py::float_(0.0), maximum = py::float_(0.0);
        for (py::handle record : records) {
            py::object q_id = record[py::str("qid")];
            maximum = maximum + record[py::str("max_marks")];
            if (!pyglue::truth(record[py::str("student_answer")])) continue;
            total = total + record[py::str("obtained_marks")];
            if (row.contains(q_id)) row[q_id] = record[py::str("obtained_marks")];
        }
        set_totals(row, total, maximum);
        return std::move(row);
    } catch (py::error_already_set& e) {
        if (!pyglue::is_ordinary(e.value())) throw;
        return py::object();  // unreadable: mark the sheet again
    }
}

py::dict marked_row(const Run& run, std::size_t i, py::object sheet, py::object evaluated) {
    py::dict row = empty_row(run, i, "marked");
    py::object answered = sheet.attr("get_question_ids")();
    py::list unmarked;
    for (py::handle q_id : run.q_ids) {
        if (!answered.contains(q_id)) continue;  // not attempted: left empty
        if (evaluated.contains(q_id)) {
            row[q_id] = sheet.attr("get_answer")(q_id).attr("eval_rubric").attr("get_awarded_marks")();
        } else {
            unmarked.append(q_id);
        }
    }
    py::dict summary = run.pipeline.attr("get_summary")(sheet, run.paper);
    py::dict validation = run.pipeline.attr("validate_processing")(sheet, run.paper);
    set_totals(row, summary["obtained_marks"], summary["total_marks"]);
    py::list notes;
    for (py::handle w : validation["issues"]) notes.append(w);
    for (py::handle w : validation["warnings"]) notes.append(w);
    if (py::len(unmarked)) {
        notes.append(pyglue::cat("not marked: ", py::str(", ").attr("join")(unmarked)));
        row["status"] = py::str("incomplete");
    }
    row["warnings"] = py::str("; ").attr("join")(notes);
    return row;
}

void write_results(const Run& run) {
    py::object buffer = M("io").attr("StringIO")();
    py::object writer = M("csv").attr("writer")(buffer);
    py::list header;
    header.append("file");
    for (py::handle q : run.q_ids) header.append(q);
    for (const char* h : {"total", "maximum", "percentage", "warnings", "status"}) header.append(h);
    writer.attr("writerow")(header);
    for (const auto& row : run.rows) {
        py::list values;
        for (py::handle h : header) values.append(row[h]);
        writer.attr("writerow")(values);
    }
    pyglue::write_text_atomic(run.csv_path, buffer.attr("getvalue")());
}

py::str sheet_line(const py::object& row) {
    py::object status = row["status"];
    py::object file = row["file"];
    py::str head = pyglue::cat("  ", pyglue::str(status).attr("ljust")(11), pyglue::str(file).attr("ljust")(24), " ");
    if (py::str(status).cast<std::string>() == "failed") return pyglue::cat(head, row["warnings"]);
    return pyglue::cat(head, row["total"], "/", row["maximum"], " (", row["percentage"], "%)");
}

void finish_sheet(Run& run, std::size_t i, py::object row) {
    run.rows[i] = row;
    ++run.done;
    const std::string status = py::str(row["status"]).cast<std::string>();
    if (status == "marked" || status == "kept") {
        ++run.marked;
    } else {
        ++run.failed;
    }
    write_results(run);
    py::str line = sheet_line(row);
    if (run.tty) {
        run.session->say(pyglue::cat("\r\033[K", line, "\n",
                                     core::progress_bar(run.done, run.paths.size(), run.marked, run.failed)),
                         "");
    } else {
        run.session->say(line);
    }
}

Coro mark_one(Run* run, std::size_t i) {
    py::object row;
    py::object error;
    if (run->resume) row = kept_row(*run, i);
    if (!row) {
        try {
            py::object reading = run->loop.attr("run_in_executor")(run->executor, run->extractor.attr("process_pdf"),
                                                                   run->paths[i], py::none());
            py::object texts = co_await reading;
            py::object parsing = run->service.attr("parseAnswersheet_async")(texts, run->paper);
            py::object sheet = co_await parsing;
            py::object evaluating = run->pipeline.attr("evaluate_all_answers_async")(sheet, run->paper);
            py::object evaluated = co_await evaluating;
            for (const auto& format : run->formats) {
                py::object report = join(run->outdir, py::str(run->names[i] + "." + format));
                run->pipeline.attr("save_to_file")(sheet, run->paper, report, format);
            }
            row = marked_row(*run, i, sheet, evaluated);
        } catch (...) {
            error = pyglue::current_exception();
            if (!pyglue::is_ordinary(error)) throw;
        }
    }
    if (error) {
        py::dict failed = empty_row(*run, i, "failed");
        failed["warnings"] = pyglue::str(error);
        row = failed;
    }
    finish_sheet(*run, i, row);
    co_return py::none();
}

Coro mark_all(Run* run) {
    run->loop = M("asyncio").attr("get_running_loop")();
    py::object recommended =
        M("ExtractorClient").attr("get_recommended_extractor_for_subject")(run->paper.attr("subject"));
    run->extractor.attr("change_extractor")(recommended);
    py::list sheets;
    for (std::size_t i = 0; i < run->paths.size(); ++i) {
        sheets.append(pyglue::make_coroutine(mark_one(run, i), "mark_sheet"));
    }
    py::object all = M("asyncio").attr("gather")(*sheets);
    co_await all;
    co_return py::none();
}

void print_results(const Run& run, double seconds) {
    const Session& s = *run.session;
    const std::size_t total = run.paths.size();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
    if (run.failed == 0) {
        s.say(pyglue::cat("Marked all ", py::int_(total), " answer sheets in ", elapsed, " s."));
    } else {
        s.say(pyglue::cat("Marked ", py::int_(run.marked), " of ", py::int_(total), " answer sheets in ", elapsed,
                          " s; ", py::int_(run.failed), " not fully marked."));
    }
    // The results as a table, widths from the values.
    std::vector<py::list> table;
    py::list header;
    header.append("file");
    for (py::handle q : run.q_ids) header.append(q);
    for (const char* h : {"total", "maximum", "%", "status"}) header.append(h);
    table.push_back(header);
    for (const auto& row : run.rows) {
        py::list cells;
        cells.append(row["file"]);
        for (py::handle q : run.q_ids) cells.append(row[q]);
        for (const char* key : {"total", "maximum", "percentage", "status"}) cells.append(row[py::str(key)]);
        table.push_back(cells);
    }
    std::vector<Py_ssize_t> widths(py::len(header), 0);
    for (const auto& cells : table) {
        for (std::size_t c = 0; c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], PyUnicode_GetLength(pyglue::str(cells[c]).ptr()));
        }
    }
    for (const auto& cells : table) {
        py::list padded;
        for (std::size_t c = 0; c < widths.size(); ++c) padded.append(pyglue::str(cells[c]).attr("ljust")(widths[c]));
        s.say(pyglue::cat("  ", py::str("  ").attr("join")(padded).attr("rstrip")()));
    }
    for (const auto& row : run.rows) {
        if (pyglue::truth(row["warnings"])) s.say(pyglue::cat("  ", row["file"], ": ", row["warnings"]));
    }
    s.say(pyglue::cat("Results: ", run.csv_path, "   Reports: ", run.outdir, "   Log: ", s.log_path()));
}

}  // namespace

int run_mark(py::object args, py::object parser) {
    Session s(args, parser);
    py::object os = M("os");
    py::object path = os.attr("path");

    py::object paper_file = args.attr("paper");
    if (!pyglue::truth(path.attr("isfile")(paper_file))) {
        s.usage_error("question paper file not found: " + py::str(paper_file).cast<std::string>());
    }
    py::object paper_text;
    try {
        py::object f = M("builtins").attr("open")(paper_file, py::arg("encoding") = "utf-8");
        paper_text = f.attr("read")();
        f.attr("close")();
    } catch (py::error_already_set& e) {
        if (!pyglue::is_ordinary(e.value())) throw;
        s.usage_error("cannot read " + py::str(paper_file).cast<std::string>() + ": " +
                      py::str(e.value()).cast<std::string>());
    }

    Run run;
    run.session = &s;
    run.paths = collect_sheets(s, args.attr("sheets"));
    std::vector<std::string> stems;
    for (const auto& p : run.paths) {
        stems.push_back(path.attr("splitext")(display_name(p))[py::int_(0)].cast<std::string>());
    }
    run.names = core::unique_names(stems);
    const std::string format = args.attr("format").cast<std::string>();
    if (format == "json" || format == "both") run.formats.push_back("json");
    if (format == "txt" || format == "both") run.formats.push_back("txt");
    run.resume = pyglue::truth(args.attr("resume"));
    run.tty = s.terminal_is_tty();

    run.outdir = args.attr("output_dir");
    try {
        os.attr("makedirs")(run.outdir, py::arg("exist_ok") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot create the output folder: " + py::str(e.value()).cast<std::string>());
    }
    run.csv_path = join(run.outdir, py::str("class_results.csv"));

    s.start_log(join(run.outdir, py::str("marking.log")));
    try {
        run.facade = s.configure(join(run.outdir, py::str("usage.log")));
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: ", error));
        return 1;
    }
    try {
        run.paper = run.facade.attr("question_paper_from_json")(paper_text);
        run.facade.attr("change_question_paper")(run.paper);
    } catch (...) {
        py::object error = pyglue::current_exception();
        if (!pyglue::is_ordinary(error)) throw;
        s.end_redirect();
        s.usage_error("cannot use " + py::str(paper_file).cast<std::string>() + " as a question paper: " +
                      py::str(error).cast<std::string>());
    }
    run.service = run.facade.attr("llm_service");
    run.pipeline = run.facade.attr("answersheet_service");
    run.extractor = run.facade.attr("extractor_client");
    run.q_ids = run.paper.attr("get_question_ids")();
    for (std::size_t i = 0; i < run.paths.size(); ++i) run.rows.push_back(empty_row(run, i, "pending"));
    write_results(run);

    if (run.tty) s.say(py::str(core::progress_bar(0, run.paths.size(), 0, 0)), "");
    const auto started = std::chrono::steady_clock::now();
    run.executor = M("ThreadPoolExecutor")(py::arg("max_workers") = args.attr("workers"));
    try {
        M("asyncio").attr("run")(pyglue::make_coroutine(mark_all(&run), "mark_class"));
    } catch (...) {
        run.executor.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
        throw;
    }
    run.executor.attr("shutdown")(py::arg("wait") = true);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    s.end_redirect();
    if (run.tty) s.say(py::str(""));
    print_results(run, seconds);
    s.report_usage(run.service);
    return run.failed == 0 ? 0 : 1;
}

}  // namespace quorvan::cli
