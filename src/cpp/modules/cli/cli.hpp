// The quorvan command's shared pieces.
#pragma once

#include <cerrno>
#include <string>

#include "app/paths.hpp"
#include "options.hpp"
#include "pyglue.hpp"

namespace quorvan::cli {
namespace py = pybind11;

extern pyglue::Module M;

// A Python object's text (its str()) as UTF-8.
inline std::string utf8(py::handle s) { return pyglue::str(s).cast<std::string>(); }

// A file's bytes as text, as open(encoding="utf-8-sig", errors=errors) reads
// them (a byte order mark dropped); a UnicodeDecodeError under "strict".
inline py::str utf8_sig_text(const std::string& bytes, const char* errors = "strict") {
    PyObject* text = PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "utf-8-sig", errors);
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

int main_entry(py::object argv);

// The options of every command that asks the model, the same in each.
void add_model_options(py::object parser);

// Each command: its parser, added to `quorvan`'s subparsers, and its run.
void add_paper_parser(py::object subparsers);
int run_paper(const PaperOptions& o, py::object parser);
void add_mark_parser(py::object subparsers);
int run_mark(const MarkOptions& o, py::object parser);
void add_export_parser(py::object subparsers);
int run_export(const ExportOptions& o, py::object parser);

// One command run: the model's settings, the terminal, and the log that takes
// the library's own progress lines so the terminal shows only the command's.
class Session {
public:
    // `parser` is the command's own, which reports usage errors.
    explicit Session(py::object parser, ModelSettings settings = ModelSettings());
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    [[noreturn]] void usage_error(const std::string& message) const {
        parser_.attr("error")(message);
        throw std::logic_error("argparse error() returned");
    }
    void say(py::handle text, const char* end = "\n") const;  // to the terminal
    void complain(py::handle text) const;                      // to stderr
    bool terminal_is_tty() const { return pyglue::truth(terminal_.attr("isatty")()); }

    void start_log(py::object path, const char* mode = "w");
    void end_redirect() noexcept;
    const py::object& log_path() const { return log_path_; }

    // The facade (a new one, or the one given) configured for this run.
    py::object configure(py::object usage_log, py::object facade = py::object());
    // The model service's usage; with no service (a run that called no
    // model), none, at the prices and model the run would have used.
    void report_usage(py::object service) const;

private:
    ModelSettings settings_;
    py::object parser_, errors_, log_, redirect_, log_path_;
    mutable py::object terminal_;  // devnull once nobody reads it
};

// Loads what the model client needs for its first call ahead of time.
void warm_up(py::object service);

// A question paper file for marking: read with or without a UTF-8 byte order
// mark, parsed as JSON and checked against its own marks. Returns the parsed
// data (a dict, as question_paper_from_json takes it). Any problem ends the
// command with exit status 2, every problem listed at once, each with its
// question id; a file that is not JSON gets advice to run `quorvan paper`.
py::object load_paper_for_marking(const Session& s, py::object path);

}  // namespace quorvan::cli
