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
// quorvan mark --batch: the options that need it, or that it cannot take (mark_batch.cpp).
void check_batch_options(pybind11::object command_parser, pybind11::object args);
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

// The model service's settings of a command that asks the model: an option
// given beats its environment variable, which beats the default. A bad value
// in the environment is a usage error (exit status 2) like a bad option.
void settle_model_settings(py::object command_parser, py::object args) {
    if (!py::hasattr(args, "model")) return;
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
            command_parser.attr("error")(pyglue::cat(name, " must be ", what, ", not ", py::repr(text)));
        }
        return value;
    };
    // None: the service's default model.
    const bool model_given = !args.attr("model").is_none();
    if (!model_given) args.attr("model") = environ.attr("get")("QUORVAN_MODEL");
    py::object model = args.attr("model");
    if (!model.is_none() && !pyglue::truth(model.attr("strip")())) {
        command_parser.attr("error")(model_given ? "--model must name a model, not be empty"
                                                 : "QUORVAN_MODEL must name a model, not be empty");
    }
    // Prices per million tokens; None: the service's defaults.
    args.attr("input_price") = from_env("QUORVAN_INPUT_PRICE", "float", "a number of US dollars, at least 0", false);
    args.attr("output_price") = from_env("QUORVAN_OUTPUT_PRICE", "float", "a number of US dollars, at least 0", false);
    py::object retries = from_env("QUORVAN_RETRIES", "int", "a whole number, at least 0", false);
    py::object timeout = from_env("QUORVAN_TIMEOUT", "float", "a number of seconds, more than 0", true);
    if (py::hasattr(args, "retries")) {
        if (args.attr("retries").is_none()) args.attr("retries") = retries.is_none() ? py::int_(4) : retries;
        if (args.attr("timeout").is_none()) args.attr("timeout") = timeout.is_none() ? py::float_(180.0) : timeout;
    } else {
        // Commands without the options still honour the environment.
        args.attr("env_retries") = retries;
        args.attr("env_timeout") = timeout;
    }
}

// Positive integers, refused as usage errors (exit status 2).
void check_limits(py::object command_parser, py::object args) {
    auto option = [](std::string name) {
        for (auto& c : name) c = c == '_' ? '-' : c;
        return "--" + name;
    };
    for (const char* name : {"dpi", "max_concurrent", "requests_per_minute", "workers", "max_pages", "max_chars",
                             "max_prompt_tokens"}) {
        if (!py::hasattr(args, name)) continue;
        if (py::cast<long long>(args.attr(name)) < 1) command_parser.attr("error")(option(name) + " must be at least 1");
    }
    if (py::hasattr(args, "tokens_per_minute") && !args.attr("tokens_per_minute").is_none() &&
        py::cast<long long>(args.attr("tokens_per_minute")) < 1) {
        command_parser.attr("error")("--tokens-per-minute must be at least 1");
    }
    if (py::hasattr(args, "retries") && py::cast<long long>(args.attr("retries")) < 0) {
        command_parser.attr("error")("--retries must be at least 0");
    }
    if (py::hasattr(args, "timeout") && !(py::cast<double>(args.attr("timeout")) > 0)) {
        command_parser.attr("error")("--timeout must be more than 0 seconds");
    }
    if (py::hasattr(args, "batch")) marking::check_batch_options(command_parser, args);
    if (py::hasattr(args, "read_timeout")) {
        const double t = py::cast<double>(args.attr("read_timeout"));
        // Checked this way round so that nan and inf are refused too.
        if (!(t > 0 && t <= 86400)) command_parser.attr("error")("--read-timeout must be more than 0 and at most 86400 seconds");
    }
    // Below this the reading process cannot even load its libraries.
    if (py::hasattr(args, "read_memory") && py::cast<long long>(args.attr("read_memory")) < 100) {
        command_parser.attr("error")("--read-memory must be at least 100 (MB)");
    }
}

// The signal that interrupted the command (SIGINT unless told otherwise).
int interrupted_by = SIGINT;

// SIGTERM ends the command as Ctrl-C does: quietly, with what was done kept.
void on_terminate(int signum, py::object) {
    interrupted_by = signum;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
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
        settle_model_settings(command_parser, args);
        check_limits(command_parser, args);
        if (command == "paper") return run_paper(args, command_parser);
        if (command == "check") return run_check(args, command_parser);
        if (command == "complete") return run_complete(args, command_parser);
        if (command == "schema") return run_schema(args, command_parser);
        if (command == "export") return run_export(args, command_parser);
        if (command == "agreement") return run_agreement(args, command_parser);
        if (command == "review") return run_review(args, command_parser);
        return run_mark(args, command_parser);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        M("builtins").attr("print")("quorvan: interrupted", py::arg("file") = M("sys").attr("stderr"));
        return 128 + interrupted_by;
    }
}

// --------------------------------------------------------------- shared

Session::Session(py::object args, py::object parser) : args_(std::move(args)), parser_(std::move(parser)) {
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
    if (pyglue::truth(args_.attr("verbose"))) return;
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
    if (!args_.attr("model").is_none()) settings["model"] = args_.attr("model");
    if (!args_.attr("input_price").is_none()) settings["input_price_per_million"] = args_.attr("input_price");
    if (!args_.attr("output_price").is_none()) settings["output_price_per_million"] = args_.attr("output_price");
    py::object config = M("QurovanConfig")(py::arg("extractor_type") = args_.attr("extractor"),
                                           py::arg("dpi") = args_.attr("dpi"), py::arg("token_log_file") = usage_log,
                                           py::arg("enable_llm_token_logging") = true, **settings);
    facade.attr("configure")(config);
    py::object service = facade.attr("llm_service");
    if (py::hasattr(args_, "tokens_per_minute") && !args_.attr("tokens_per_minute").is_none()) {
        // One token window for the whole run: every sheet's calls go through this service.
        service.attr("_set_limits")(args_.attr("max_concurrent"), args_.attr("requests_per_minute"),
                                    py::arg("tokens_per_minute") = args_.attr("tokens_per_minute"));
    } else {
        service.attr("_set_limits")(args_.attr("max_concurrent"), args_.attr("requests_per_minute"));
    }
    if (!py::hasattr(args_, "retries")) {
        py::object retries = args_.attr("env_retries"), timeout = args_.attr("env_timeout");
        if (!retries.is_none() || !timeout.is_none()) {
            service.attr("set_retry_policy")(retries.is_none() ? py::int_(0) : retries, timeout);
        }
    }
    if (py::hasattr(args_, "retries") && py::hasattr(service, "set_retry_policy")) {
        service.attr("set_retry_policy")(args_.attr("retries"), args_.attr("timeout"));
    }
    if (py::hasattr(args_, "max_prompt_tokens")) service.attr("max_prompt_tokens") = args_.attr("max_prompt_tokens");
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
        auto setting = [&](const char* name, py::object fallback) {
            py::object given = py::getattr(args_, name, py::none());
            return given.is_none() ? fallback : given;
        };
        model = setting("model", py::str(core::kDefaultModel));
        in = setting("input_price", py::float_(core::kInputPricePerMillion));
        out = setting("output_price", py::float_(core::kOutputPricePerMillion));
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
