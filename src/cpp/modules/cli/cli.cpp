// quorvan_core.cli: the `quorvan` command. `quorvan paper` turns a question
// paper PDF into an importable paper with rubrics and reference answers;
// `quorvan mark` marks a class of answer sheets against it, all sheets at once
// on one event loop so every model call shares one concurrency bound and one
// per-minute limit.
#include <cmath>
#include <csignal>
#include <string>
#include <vector>

#include "agreement.hpp"
#include "class_run.hpp"
#include "cli.hpp"
#include "paper_file.hpp"
#include "review.hpp"
#include "usage.hpp"

namespace quorvan::cli::marking {
// quorvan mark --batch (mark_batch.cpp).
void init_batch(pybind11::module_& m);
}  // namespace quorvan::cli::marking

namespace quorvan::cli {

pyglue::Module M;

// ------------------------------------------------------------------ parser

void add_model_options(py::object parser) {
    parser.attr("add_argument")("--extractor", py::arg("default") = "local",
                                py::arg("choices") = py::make_tuple("local", "openai"),
                                py::arg("help") = "text extraction: local (text layer, OCR for scans) or openai "
                                                  "(pages read by the vision model; default: local)");
    parser.attr("add_argument")("--dpi", py::arg("type") = M("int"), py::arg("default") = 150,
                                py::arg("help") = "resolution for OCR and page images (default: 150)");
    parser.attr("add_argument")("--max-concurrent", py::arg("type") = M("int"), py::arg("default") = 5,
                                py::arg("help") = "model requests in flight at once (default: 5)");
    parser.attr("add_argument")("--requests-per-minute", py::arg("type") = M("int"), py::arg("default") = 50,
                                py::arg("help") = "model requests started per minute at most (default: 50)");
    parser.attr("add_argument")("--model", py::arg("help") = "the model to ask (default: $QUORVAN_MODEL, else "
                                                             "gpt-5-mini-2025-08-07)");
    parser.attr("add_argument")("--verbose", py::arg("action") = "store_true",
                                py::arg("help") = "show the library's progress lines instead of logging them");
}

namespace {

struct Parsers {
    py::object main;
    py::object commands;  // name -> its parser
};

Parsers build_parser() {
    Parsers p;
    p.main = M("argparse").attr("ArgumentParser")(
        py::arg("prog") = "quorvan",
        py::arg("description") = "Mark students' answer sheets with a language model: read a question paper, "
                                 "write its rubrics and reference answers, then mark a class of answer sheets.");
    py::object sub = p.main.attr("add_subparsers")(py::arg("dest") = "command", py::arg("metavar") = "COMMAND");
    sub.attr("required") = true;

    // Each command's parser is built in the command's own file; `quorvan
    // --help` lists them in this order.
    add_paper_parser(sub);
    add_mark_parser(sub);
    add_check_parser(sub);
    add_complete_parser(sub);
    add_review_parser(sub);
    add_export_parser(sub);
    add_schema_parser(sub);
    add_agreement_parser(sub);

    p.commands = sub.attr("choices");
    return p;
}

}  // namespace

// A bad value in the environment is a usage error (exit status 2) like a bad option.
ModelSettings model_settings(py::object parser, py::object args) {
    ModelSettings m;
    py::object environ = M("os").attr("environ");
    // A number from the environment, at least 0 (more than 0 when `positive`), or None when unset.
    auto from_env = [&](const char* name, const char* type, const char* what, bool positive) -> py::object {
        py::object text = environ.attr("get")(name);
        if (text.is_none()) return py::none();
        py::object value;
        try {
            value = M(type)(text);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
        const double v = value ? py::cast<double>(value) : -1.0;
        if (!value || !std::isfinite(v) || v < 0 || (positive && v == 0)) {
            parser.attr("error")(pyglue::cat(name, " must be ", what, ", not ", py::repr(text)));
        }
        return value;
    };
    auto price = [&](const char* name) -> std::optional<double> {
        py::object value = from_env(name, "float", "a number of US dollars, at least 0", false);
        if (value.is_none()) return std::nullopt;
        return py::cast<double>(value);
    };
    const bool model_given = !args.attr("model").is_none();
    m.model = model_given ? args.attr("model") : environ.attr("get")("QUORVAN_MODEL");
    if (!m.model.is_none() && !pyglue::truth(m.model.attr("strip")())) {
        parser.attr("error")(model_given ? "--model must name a model, not be empty"
                                         : "QUORVAN_MODEL must name a model, not be empty");
    }
    m.input_price = price("QUORVAN_INPUT_PRICE");
    m.output_price = price("QUORVAN_OUTPUT_PRICE");
    py::object retries = from_env("QUORVAN_RETRIES", "int", "a whole number, at least 0", false);
    py::object timeout = from_env("QUORVAN_TIMEOUT", "float", "a number of seconds, more than 0", true);
    m.retry_options = py::hasattr(args, "retries");
    if (m.retry_options) {
        // Checked with the command's own limits, after these.
        py::object r = args.attr("retries"), t = args.attr("timeout");
        if (!r.is_none()) m.retries = whole_number(parser, r, "--retries");
        else if (!retries.is_none()) m.retries = whole_number(parser, retries, "QUORVAN_RETRIES");
        if (!t.is_none()) m.timeout = py::cast<double>(t);
        else if (!timeout.is_none()) m.timeout = py::cast<double>(timeout);
    } else {
        if (!retries.is_none()) m.env_retries = whole_number(parser, retries, "QUORVAN_RETRIES");
        if (!timeout.is_none()) m.env_timeout = py::cast<double>(timeout);
    }
    m.extractor = args.attr("extractor").cast<std::string>();
    m.verbose = pyglue::truth(args.attr("verbose"));
    m.dpi = positive_option(parser, args, "dpi");
    m.max_concurrent = positive_option(parser, args, "max_concurrent");
    m.requests_per_minute = positive_option(parser, args, "requests_per_minute");
    return m;
}

long long whole_number(py::object parser, py::handle value, const std::string& what) {
    try {
        return py::cast<long long>(value);
    } catch (const py::cast_error&) {
        parser.attr("error")(what + " is too large");
        throw;  // not reached: error() exits
    }
}

long long positive_option(py::object parser, py::object args, const char* name) {
    std::string option = name;
    for (auto& c : option) c = c == '_' ? '-' : c;
    const auto value = whole_number(parser, args.attr(name), "--" + option);
    if (value < 1) parser.attr("error")("--" + option + " must be at least 1");
    return value;
}

namespace {

// The signal that interrupted the command (SIGINT unless told otherwise).
int interrupted_by = SIGINT;

// SIGTERM ends the command as Ctrl-C does: quietly, with what was done kept.
void on_terminate(int signum, py::object) {
    interrupted_by = signum;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

// The results store, the class file and the reports name their files in
// UTF-8: a name that is not UTF-8 text is refused where it is given, before
// anything is read or written.
void check_names(const std::string& command, py::object parser, py::object args) {
    std::vector<const char*> options;
    if (command == "mark") options = {"output_dir", "roster", "sheets"};
    if (command == "export") options = {"outdir", "output"};
    if (command == "agreement") options = {"outdir"};
    if (command == "review") options = {"outdir"};
    for (const char* option : options) {
        py::object value = args.attr(option);
        py::list values = PyList_Check(value.ptr()) ? py::list(value) : py::list();
        if (!PyList_Check(value.ptr()) && !value.is_none()) values.append(value);
        for (py::handle v : values) {
            if (app::utf8_name(v)) continue;
            parser.attr("error")(pyglue::cat("cannot use ", app::readable(v), ": its name is not UTF-8 text; rename it"));
        }
    }
}

}  // namespace

int main_entry(py::object argv) {
    py::object signal = M("signal");
    try {
        signal.attr("signal")(SIGTERM, M("_on_terminate"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not the main thread: leave signals alone
    }
    try {
        Parsers parsers = build_parser();
        py::object args = parsers.main.attr("parse_args")(argv);
        const std::string command = args.attr("command").cast<std::string>();
        py::object command_parser = parsers.commands[py::str(command)];
        check_names(command, command_parser, args);
        // Each command's arguments are read and checked here, once; its run sees only them.
        if (command == "paper") return run_paper(paper_options(command_parser, args), command_parser);
        if (command == "check") return run_check(check_options(args), command_parser);
        if (command == "complete") return run_complete(complete_options(command_parser, args), command_parser);
        if (command == "schema") return run_schema(command_parser);
        if (command == "export") return run_export(export_options(args), command_parser);
        if (command == "agreement") return run_agreement(agreement_options(args), command_parser);
        if (command == "review") return run_review(review_options(command_parser, args), command_parser);
        return run_mark(mark_options(command_parser, args), command_parser);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        M("builtins").attr("print")("quorvan: interrupted", py::arg("file") = M("sys").attr("stderr"));
        return 128 + interrupted_by;
    }
}

// --------------------------------------------------------------- shared

Session::Session(py::object parser, ModelSettings settings)
    : settings_(std::move(settings)), parser_(std::move(parser)) {
    terminal_ = M("sys").attr("stdout");
    errors_ = M("sys").attr("stderr");
}

Session::~Session() { end_redirect(); }

void Session::say(py::handle text, const char* end) const {
    try {
        M("builtins").attr("print")(text, py::arg("end") = end, py::arg("file") = terminal_, py::arg("flush") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_BrokenPipeError)) throw;
        // Nobody reads the terminal any more (`| head`): the work goes on and
        // its results still reach the files; the rest of the lines go nowhere.
        py::object os = M("os");
        py::object devnull = os.attr("open")(os.attr("devnull"), os.attr("O_WRONLY"));
        try {
            os.attr("dup2")(devnull, terminal_.attr("fileno")());
        } catch (py::error_already_set&) {
            pyglue::caught();
        }
        os.attr("close")(devnull);
        terminal_ = M("builtins").attr("open")(os.attr("devnull"), "w");
    }
}

void Session::complain(py::handle text) const {
    M("builtins").attr("print")(text, py::arg("file") = errors_, py::arg("flush") = true);
}

void Session::start_log(py::object path, const char* mode) {
    log_path_ = path;
    log_ = M("builtins").attr("open")(path, mode, py::arg("encoding") = "utf-8",
                                      py::arg("errors") = "backslashreplace");
    if (settings_.verbose) return;
    redirect_ = M("contextlib").attr("redirect_stdout")(M("_RunLog")(log_));
    redirect_.attr("__enter__")();
}

void Session::end_redirect() noexcept {
    try {
        if (redirect_) {
            py::object r = std::move(redirect_);
            redirect_ = py::object();
            r.attr("__exit__")(py::none(), py::none(), py::none());
        }
        if (log_) {
            py::object l = std::move(log_);
            log_ = py::object();
            l.attr("close")();
        }
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("closing the command's log");
    }
}

// The facade, configured for this run. Its one model service, which both
// pipelines already hold, writes the run's usage log and keeps its limits.
py::object Session::configure(py::object usage_log, py::object facade) {
    if (!facade) facade = M("Quorvan")();
    py::dict settings;
    const ModelSettings& m = settings_;
    if (!m.model.is_none()) settings["model"] = m.model;
    if (m.input_price) settings["input_price_per_million"] = py::float_(*m.input_price);
    if (m.output_price) settings["output_price_per_million"] = py::float_(*m.output_price);
    py::object config = M("QurovanConfig")(py::arg("extractor_type") = py::str(m.extractor),
                                           py::arg("dpi") = py::int_(m.dpi), py::arg("token_log_file") = usage_log,
                                           py::arg("enable_llm_token_logging") = true, **settings);
    facade.attr("configure")(config);
    py::object service = facade.attr("llm_service");
    if (m.tokens_per_minute) {
        // One token window for the whole run: every sheet's calls go through this service.
        service.attr("_set_limits")(py::int_(m.max_concurrent), py::int_(m.requests_per_minute),
                                    py::arg("tokens_per_minute") = py::int_(*m.tokens_per_minute));
    } else {
        service.attr("_set_limits")(py::int_(m.max_concurrent), py::int_(m.requests_per_minute));
    }
    if (!m.retry_options && (m.env_retries || m.env_timeout)) {
        service.attr("set_retry_policy")(py::int_(m.env_retries.value_or(0)),
                                         m.env_timeout ? py::object(py::float_(*m.env_timeout)) : py::none());
    }
    if (m.retry_options && py::hasattr(service, "set_retry_policy")) {
        service.attr("set_retry_policy")(py::int_(m.retries), py::float_(m.timeout));
    }
    if (m.max_prompt_tokens) service.attr("max_prompt_tokens") = py::int_(*m.max_prompt_tokens);
    return facade;
}

// openai imports its structured-output resources on first use, close to a
// second; pay that before the work starts rather than inside the first call,
// and not at all in a run that makes none.
void warm_up(py::object service) {
    for (const char* client : {"client", "async_client"}) {
        try {
            service.attr(client).attr("beta").attr("chat").attr("completions");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_AttributeError)) throw;
        }
    }
    // The async client's first request loads anyio's asyncio backend and asks
    // the platform on a worker thread: tens of milliseconds on the event loop
    // in the middle of the first sheet's marking.
    try {
        py::module_::import("anyio._backends._asyncio");
        py::module_::import("anyio.streams.stapled");
        py::module_::import("openai._base_client").attr("get_platform")();
    } catch (py::error_already_set&) {
        pyglue::caught();
    }
}

// " at $0.15/$0.60 per million tokens (input/output)": the prices the cost was
// reckoned at, with cents always shown and smaller fractions when a price has them.
py::str prices_used(const py::object& in, const py::object& out) {
    if (in.is_none() || out.is_none()) return py::str("");
    auto dollars = [](const py::object& price) {
        std::string text = py::cast<std::string>(M("builtins").attr("format")(price, ".6f"));
        while (text.size() > 3 && text.back() == '0' && text[text.size() - 3] != '.') text.pop_back();
        return "$" + text;
    };
    return py::str(" at " + dollars(in) + "/" + dollars(out) + " per million tokens (input/output)");
}

void Session::report_usage(py::object service) const {
    py::object usage, model, in, out;
    if (service && !service.is_none()) {
        usage = service.attr("get_total_usage")();
        model = service.attr("model");
        in = py::getattr(service, "input_price_per_million", py::none());
        out = py::getattr(service, "output_price_per_million", py::none());
    } else {
        // What a service made for this run would say before its first call.
        usage = py::dict(py::arg("total_tokens") = 0, py::arg("total_input_tokens") = 0,
                         py::arg("total_output_tokens") = 0, py::arg("total_cost") = 0.0);
        const ModelSettings& m = settings_;
        model = m.model.is_none() ? py::str(core::kDefaultModel) : m.model;
        in = py::float_(m.input_price.value_or(core::kInputPricePerMillion));
        out = py::float_(m.output_price.value_or(core::kOutputPricePerMillion));
    }
    say(pyglue::cat("Token usage: ", usage["total_tokens"], " tokens (", usage["total_input_tokens"], " in, ",
                    usage["total_output_tokens"], " out), cost $",
                    M("builtins").attr("format")(usage["total_cost"], ".6f"), prices_used(in, out)));
    py::object base_url = M("os").attr("environ").attr("get")("OPENAI_BASE_URL");
    say(pyglue::cat("Model: ", model, " at ", pyglue::truth(base_url) ? base_url : py::str("the OpenAI API")));
}

// The log's lines: each with the time and the sheet it belongs to, written
// whole and flushed at once, so sheets marked together never run into one
// another and a killed run leaves every finished line.
struct RunLog {
    py::object file;
    py::str pending = py::str("");

    explicit RunLog(py::object f) : file(std::move(f)) {}

    py::int_ write(py::str text) {
        pending = pyglue::cat(pending, text);
        py::list lines = pending.attr("split")("\n");
        const Py_ssize_t complete = py::len(lines) - 1;
        if (complete == 0) return py::int_(py::len(text));
        py::str stamp = M("time").attr("strftime")("%Y-%m-%d %H:%M:%S");
        py::object sheet = M("log_sheet").attr("get")();
        py::str prefix = pyglue::truth(sheet) ? pyglue::cat(stamp, " [", sheet, "] ") : pyglue::cat(stamp, " ");
        py::list out;
        for (Py_ssize_t i = 0; i < complete; ++i) out.append(pyglue::cat(prefix, lines[i], "\n"));
        pending = lines[complete];
        file.attr("write")(py::str("").attr("join")(out));
        file.attr("flush")();
        return py::int_(py::len(text));
    }
    void flush() { file.attr("flush")(); }
};

}  // namespace quorvan::cli

namespace quorvan {
void set_signatures_from_stub(pybind11::module_& m);  // signatures.cpp
}

namespace quorvan::cli::marking {
void init_ray_reading(pybind11::module_& m);  // mark_ray.cpp
}

PYBIND11_MODULE(cli, m) {
    using namespace quorvan::cli;
    M.set(m);
    m.doc() = "The quorvan command: quorvan paper (question paper to rubrics), quorvan mark (a class of sheets) "
             "and quorvan review (the teacher's page).";
    pyglue::init_coroutines(m);

    pyglue::bind(m, "argparse", "argparse");
    pyglue::bind(m, "copy", "copy");
    pyglue::bind(m, "gc", "gc");
    pyglue::bind(m, "getpass", "getpass");
    pyglue::bind(m, "webbrowser", "webbrowser");
    pyglue::bind(m, "quorvan_core", "quorvan_core");
    pyglue::bind(m, "openai", "openai");
    pyglue::bind(m, "signal", "signal");
    pyglue::bind(m, "unicodedata", "unicodedata");
    pyglue::bind(m, "float", "builtins", "float");
    pyglue::bind(m, "llm_service_module", "quorvan_core.llm_service");
    pyglue::bind(m, "Answersheet", "quorvan_core.datastructures.answersheet", "Answersheet");
    pyglue::bind(m, "Answer", "quorvan_core.datastructures.answersheet", "Answer");
    pyglue::bind(m, "QuestionPaper", "quorvan_core.datastructures.question_paper", "QuestionPaper");
    pyglue::bind(m, "Question", "quorvan_core.datastructures.question_paper", "Question");
    pyglue::bind(m, "Rubric", "quorvan_core.datastructures.rubric", "Rubric");
    pyglue::bind(m, "Criterion", "quorvan_core.datastructures.rubric", "Criterion");
    pyglue::bind(m, "AnswersheetService", "quorvan_core.answersheet_service", "AnswersheetService");
    m.attr("log_sheet") = py::module_::import("contextvars").attr("ContextVar")("quorvan_log_sheet",
                                                                                 py::arg("default") = "");
    m.def("_on_terminate", &on_terminate, py::arg("signum"), py::arg("frame"));
    py::class_<RunLog>(m, "_RunLog", py::dynamic_attr())
        .def(py::init<py::object>(), py::arg("file"))
        .def("write", &RunLog::write, py::arg("text"))
        .def("flush", &RunLog::flush)
        .def("isatty", [](RunLog&) { return false; })
        .def_property_readonly("encoding", [](RunLog&) { return "utf-8"; });
    pyglue::bind(m, "asyncio", "asyncio");
    pyglue::bind(m, "builtins", "builtins");
    pyglue::bind(m, "contextlib", "contextlib");
    pyglue::bind(m, "csv", "csv");
    pyglue::bind(m, "io", "io");
    pyglue::bind(m, "json", "json");
    pyglue::bind(m, "os", "os");
    pyglue::bind(m, "stat", "stat");
    pyglue::bind(m, "re", "re");
    pyglue::bind(m, "errno", "errno");
    pyglue::bind(m, "getpass", "getpass");
    pyglue::bind(m, "sys", "sys");
    pyglue::bind(m, "time", "time");
    pyglue::bind(m, "int", "builtins", "int");
    pyglue::bind(m, "ThreadPoolExecutor", "concurrent.futures", "ThreadPoolExecutor");
    pyglue::bind(m, "Quorvan", "quorvan_core.quorvan", "Quorvan");
    pyglue::bind(m, "QurovanConfig", "quorvan_core.quorvan", "QurovanConfig");
    pyglue::bind(m, "QurovanError", "quorvan_core.quorvan", "QurovanError");
    pyglue::bind(m, "ValidationError", "quorvan_core.quorvan", "ValidationError");
    pyglue::bind(m, "ExtractorClient", "quorvan_core.ocr_extractor.extractor_client", "ExtractorClient");
    pyglue::bind(m, "ReadLimits", "quorvan_core.ocr_extractor.extractor_client", "ReadLimits");
    pyglue::bind(m, "ReadLimitError", "quorvan_core.ocr_extractor.extractor_client", "ReadLimitError");
    pyglue::bind(m, "PdfReading", "quorvan_core.ocr_extractor.extractor_client", "PdfReading");
    pyglue::bind(m, "tempfile", "tempfile");
    pyglue::bind(m, "shutil", "shutil");
    pyglue::bind(m, "logging", "logging");
    pyglue::bind(m, "socket", "socket");
    // quorvan mark --ray; Ray itself is imported only when asked for.
    quorvan::cli::marking::init_ray_reading(m);

    marking::init_batch(m);  // quorvan mark --batch

    m.def("main", &main_entry, py::arg("argv") = py::none(),
          "Run the quorvan command with argv (default: sys.argv[1:]); returns the exit status: 0 when every "
          "sheet was marked, 1 when something failed, 2 for usage errors (raised as SystemExit).");
    m.def(
        "parser", [] { return build_parser().main; },
        "The quorvan command's argparse parser, each command a subparser: what the user guide's command pages are "
        "written from, so that their options and help never disagree with the command's.");
    quorvan::set_signatures_from_stub(m);  // help() shows the stub's typed signatures
}
