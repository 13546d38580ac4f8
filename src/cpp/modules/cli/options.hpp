// Each command's arguments as the run sees them: read from argparse's
// namespace once, where they are parsed, and checked there, so that a bad
// value is a usage error (exit status 2) before any work starts.
//
// Paths and other text from the command line stay Python str objects: they
// may hold surrogate escapes of undecodable bytes, which os functions and the
// messages take as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pyglue.hpp"

namespace quorvan::cli {
namespace py = pybind11;

// The model service's settings of a command that asks the model: an option
// given beats its environment variable, which beats the default.
struct ModelSettings {
    py::object model = py::none();  // None: the service's default model
    std::optional<double> input_price, output_price;  // per million tokens; unset: the service's defaults
    std::string extractor = "local";
    long long dpi = 150;
    long long max_concurrent = 5;
    long long requests_per_minute = 50;
    bool verbose = false;
    // quorvan mark has --retries and --timeout; the other commands honour
    // only the environment's, and leave the service's policy alone without them.
    bool retry_options = false;
    long long retries = 4;
    double timeout = 180.0;
    std::optional<long long> env_retries;
    std::optional<double> env_timeout;
    std::optional<long long> tokens_per_minute;  // one token window for the whole run
    std::optional<long long> max_prompt_tokens;
};

struct PaperOptions {
    ModelSettings model;
    py::object pdf, output;
    py::object subject, language, class_level;  // handed to the library as given
    py::object pages = py::none();               // None: every page; else the list as given
    bool force = false;
};

struct CompleteOptions {
    ModelSettings model;
    py::object paper;
};

struct CheckOptions {
    py::object paper;
};

struct MarkOptions {
    ModelSettings model;
    py::object paper;
    py::object sheets;  // a list of str: files and folders
    py::object output_dir;
    py::object roster = py::none();
    std::string format = "both";
    std::size_t workers = 2;
    bool force = false;
    std::string reader = "auto";
    bool visibility_check = true;
    long long max_pages = 300;
    long long max_chars = 1000000;
    double read_timeout = 120.0;
    long long read_memory = 2048;
    bool batch = false;
    bool wait = false;
    std::optional<double> batch_discount;
    std::optional<std::int64_t> batch_queue_tokens;
    py::object ray = py::none();  // None: no Ray; "": a local cluster; else its address
};

struct ExportOptions {
    py::object outdir, output;
    std::string to;
    bool all = false;
    bool force = false;
    py::object item = py::none();  // None: the paper's own item name
};

struct AgreementOptions {
    py::object outdir;
    py::object teacher_marks = py::none();  // None: compare only
    py::object reviewer = py::none();       // None: the user's name
    bool json = false;
};

struct ReviewOptions {
    py::object outdir;
    int port = 0;
    bool open_browser = true;
    py::object reviewer = py::none();  // None: the user's name
};

// The settings every command that asks the model shares, checked: the
// environment's first, then --dpi, --max-concurrent and --requests-per-minute.
ModelSettings model_settings(py::object parser, py::object args);
// A whole-number option that must be at least 1 (a usage error otherwise), e.g. "max_pages".
long long positive_option(py::object parser, py::object args, const char* name);
// `value` (a Python int) as a C++ number; one too large for it is a usage
// error naming `what` ("--workers", "QUORVAN_RETRIES").
long long whole_number(py::object parser, py::handle value, const std::string& what);

PaperOptions paper_options(py::object parser, py::object args);
CompleteOptions complete_options(py::object parser, py::object args);
CheckOptions check_options(py::object args);
MarkOptions mark_options(py::object parser, py::object args);
ExportOptions export_options(py::object args);
AgreementOptions agreement_options(py::object args);
ReviewOptions review_options(py::object parser, py::object args);

}  // namespace quorvan::cli
