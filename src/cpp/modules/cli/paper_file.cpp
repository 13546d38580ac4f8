// Question paper files: read with advice for whatever is not one, checked for
// everything that would stop marking, every problem reported at once.
#include "paper_file.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace quorvan::cli {

namespace {

using Kind = PaperProblem::Kind;

const char* const kMakeOne = "quorvan paper PAPER.pdf --subject SUBJECT --class-level LEVEL -o paper.json";

// s as UTF-8 for a message; a path may hold lone surrogates (undecodable
// bytes of a file name), shown escaped rather than failing.
std::string text_of(py::handle s) {
    py::bytes b = pyglue::str(s).attr("encode")("utf-8", "backslashreplace");
    return std::string(b);
}

// A value as the file writes it ("four", null, [1, 2]), cut short.
py::object shown(py::handle v) {
    return pyglue::clip(M("json").attr("dumps")(v, py::arg("ensure_ascii") = false), 40);
}

// d[key], or a null object when d has no such key.
py::object field(py::handle d, const char* key) {
    py::str k(key);
    PyObject* v = PyDict_GetItemWithError(d.ptr(), k.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// Marks as JSON writes numbers: an int or a finite float. true and "4" are
// refused although float() takes them: the file's format says number.
std::optional<double> json_number(py::handle v) {
    if (PyBool_Check(v.ptr())) return std::nullopt;
    if (PyFloat_Check(v.ptr())) {
        const double d = PyFloat_AS_DOUBLE(v.ptr());
        if (std::isfinite(d)) return d;
        return std::nullopt;
    }
    if (PyLong_Check(v.ptr())) {
        const double d = PyLong_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return d;
    }
    return std::nullopt;
}

bool is_text(py::handle v) { return PyUnicode_Check(v.ptr()) && pyglue::truth(v.attr("strip")()); }

// "\"subject\" is empty" or "\"subject\" must be text, not 5".
py::str text_fault(const char* name, py::handle v) {
    if (PyUnicode_Check(v.ptr())) return pyglue::cat("\"", name, "\" is empty");
    return pyglue::cat("\"", name, "\" must be text, not ", shown(v));
}

bool same_marks(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b)); }

// A sum for people: round(total, 9) keeps 5 as 5 and 5.0 as 5.0 but shows
// 0.1 + 0.2 as 0.3.
py::object rounded(py::handle total) { return M("builtins").attr("round")(total, 9); }

// "2", "2 and 5", "2, 5 and 7"
py::str positions(py::handle numbers) {
    py::list parts;
    for (py::handle n : numbers) parts.append(pyglue::str(n));
    const Py_ssize_t n = py::len(parts);
    if (n == 1) return py::str(py::object(parts[0]));
    py::object head = py::str(", ").attr("join")(py::object(parts[py::slice(0, n - 1, 1)]));
    return pyglue::cat(head, " and ", py::object(parts[n - 1]));
}

class Checker {
public:
    std::vector<PaperProblem> problems;

    void paper(py::handle data) {
        unencodable(data, "the paper");
        if (!PyDict_Check(data.ptr())) {
            add(Kind::layout, -1,
                pyglue::cat("the file holds ", shown(data),
                            ", not a question paper (an object with \"subject\", \"class_level\" and \"questions\")"));
            return;
        }
        for (const char* name : {"subject", "class_level"}) {
            py::object v = field(data, name);
            if (!v) {
                add(Kind::layout, -1, pyglue::cat("\"", name, "\" is missing"));
            } else if (!is_text(v)) {
                add(Kind::layout, -1, text_fault(name, v));
            }
        }
        py::object language = field(data, "language");
        if (language && !is_text(language)) {
            add(Kind::layout, -1, pyglue::cat(text_fault("language", language), " (leave it out for English)"));
        }
        py::object questions = field(data, "questions");
        if (!questions) {
            add(Kind::layout, -1, py::str("\"questions\" is missing"));
            return;
        }
        if (!PyList_Check(questions.ptr())) {
            add(Kind::layout, -1, pyglue::cat("\"questions\" must be a list of questions, not ", shown(questions)));
            return;
        }
        if (py::len(questions) == 0) {
            add(Kind::layout, -1, py::str("\"questions\" is empty: a paper needs at least one question"));
            return;
        }
        // Where each id is used (positions from 1), for the repeats.
        py::dict where;
        Py_ssize_t n = 0;
        for (py::handle q : questions) {
            ++n;
            if (!PyDict_Check(q.ptr())) continue;
            py::object id = field(q, "q_id");
            if (id && is_text(id)) where.attr("setdefault")(id, py::list()).attr("append")(n);
        }
        Py_ssize_t i = 0;
        for (py::handle q : questions) question(i++, q, where);
    }

private:
    void add(Kind kind, Py_ssize_t question, py::str text) { problems.push_back({kind, question, std::move(text)}); }

    // Text no file or model can take (a lone surrogate: "\ud800" escapes of
    // broken UTF-16) fails the run that sends it; it is found here first.
    void unencodable(py::handle v, const std::string& where) {
        if (PyUnicode_Check(v.ptr())) {
            Py_ssize_t size = 0;
            if (PyUnicode_AsUTF8AndSize(v.ptr(), &size) == nullptr) {
                PyErr_Clear();
                add(Kind::layout, -1,
                    py::str(where + " holds a character that is not text (" + text_of(pyglue::clip(v, 40)) +
                            "): a lone surrogate, left by broken UTF-16; type that text again"));
            }
        } else if (PyDict_Check(v.ptr())) {
            for (auto item : py::reinterpret_borrow<py::dict>(v)) {
                unencodable(item.first, where + "'s key " + text_of(item.first));
                unencodable(item.second, where == "the paper" ? "\"" + text_of(item.first) + "\""
                                                              : where + " \"" + text_of(item.first) + "\"");
            }
        } else if (PyList_Check(v.ptr())) {
            Py_ssize_t i = 0;
            for (py::handle item : v) unencodable(item, where + " [" + std::to_string(++i) + "]");
        }
    }

    void question(Py_ssize_t i, py::handle q, const py::dict& where) {
        const Py_ssize_t n = i + 1;
        if (!PyDict_Check(q.ptr())) {
            add(Kind::layout, i,
                pyglue::cat("question ", n, " must be an object with \"q_id\", \"question_text\", \"max_marks\", "
                            "\"rubric\" and \"reference_answer\", not ", shown(q)));
            return;
        }
        py::object id = field(q, "q_id");
        py::object label = pyglue::cat("question ", n);
        if (id && is_text(id)) {
            // A repeated id alone would not say which of its questions is meant.
            label = py::len(where[id]) > 1 ? py::object(pyglue::cat(id, " (question ", n, ")")) : id;
        }
        auto say = [&](Kind kind, py::str text) { add(kind, i, pyglue::cat(label, ": ", text)); };

        if (!id) {
            say(Kind::layout, py::str("\"q_id\" is missing"));
        } else if (!is_text(id)) {
            say(Kind::layout, text_fault("q_id", id));
        } else {
            py::list at(where[id]);
            if (py::len(at) > 1 && at[0].cast<Py_ssize_t>() == n) {
                say(Kind::layout, pyglue::cat("the same id as question", py::len(at) > 2 ? "s " : " ",
                                              positions(at[py::slice(1, py::len(at), 1)]),
                                              "; each question needs its own id"));
            }
        }

        py::object text = field(q, "question_text");
        if (!text) {
            say(Kind::layout, py::str("\"question_text\" is missing"));
        } else if (!is_text(text)) {
            say(Kind::layout, text_fault("question_text", text));
        }

        std::optional<double> maximum;
        py::object marks = field(q, "max_marks");
        if (!marks) {
            say(Kind::marks, py::str("\"max_marks\" is missing: set the question's marks"));
        } else if (auto value = json_number(marks); !value) {
            say(Kind::marks, pyglue::cat("\"max_marks\" must be a number, not ", shown(marks)));
        } else if (*value <= 0) {
            say(Kind::marks, pyglue::cat("\"max_marks\" is ", marks, ": set the question's marks (a number above 0)"));
        } else {
            maximum = value;
        }

        py::object rubric = field(q, "rubric");
        // The importer takes a false value (null, {}) for no rubric.
        if (!rubric || !pyglue::truth(rubric)) {
            say(Kind::rubric, py::str("no rubric criteria"));
        } else if (!PyDict_Check(rubric.ptr())) {
            say(Kind::layout, pyglue::cat("\"rubric\" must be an object with a \"criteria\" list, not ", shown(rubric)));
        } else if (py::object criteria = field(rubric, "criteria"); !criteria || !PyList_Check(criteria.ptr())) {
            say(Kind::layout, py::str("\"rubric\" must hold a \"criteria\" list"));
        } else if (py::len(criteria) == 0) {
            say(Kind::rubric, py::str("no rubric criteria"));
        } else {
            criteria_of(i, label, criteria, marks, maximum);
        }

        py::object reference = field(q, "reference_answer");
        if (!reference || reference.is_none() || (PyUnicode_Check(reference.ptr()) && !is_text(reference))) {
            say(Kind::reference, py::str("no reference answer"));
        } else if (!PyUnicode_Check(reference.ptr())) {
            say(Kind::layout, text_fault("reference_answer", reference));
        }
    }

    void criteria_of(Py_ssize_t i, const py::object& label, py::handle criteria, const py::object& marks,
                     std::optional<double> maximum) {
        auto say = [&](Kind kind, py::str text) { add(kind, i, pyglue::cat(label, ": ", text)); };
        bool summable = true;
        py::object total = py::int_(0);
        Py_ssize_t m = 0;
        for (py::handle c : criteria) {
            ++m;
            if (!PyDict_Check(c.ptr())) {
                say(Kind::layout, pyglue::cat("criterion ", m, " must be an object with \"statement\" and \"mark\", not ",
                                              shown(c)));
                summable = false;
                continue;
            }
            py::object statement = field(c, "statement");
            if (!statement) {
                say(Kind::layout, pyglue::cat("criterion ", m, " has no \"statement\""));
            } else if (!PyUnicode_Check(statement.ptr())) {
                say(Kind::layout, pyglue::cat("criterion ", m, ": ", text_fault("statement", statement)));
            } else if (!is_text(statement)) {
                // Imports, but says nothing to mark by.
                say(Kind::content, pyglue::cat("criterion ", m, ": ", text_fault("statement", statement)));
            }
            py::object mark = field(c, "mark");
            if (!mark) {
                say(Kind::layout, pyglue::cat("criterion ", m, " has no \"mark\""));
                summable = false;
            } else if (auto value = json_number(mark); !value || *value < 0) {
                say(Kind::layout, pyglue::cat("criterion ", m, ": \"mark\" must be a number, 0 or more, not ", shown(mark)));
                summable = false;
            } else {
                total = total + mark;
            }
        }
        if (summable && maximum && !same_marks(py::cast<double>(total), *maximum)) {
            say(Kind::content, pyglue::cat("criteria add up to ", rounded(total), " marks, max_marks is ", marks));
        }
    }
};

[[noreturn]] void not_a_paper(const Session& s, const std::string& name, const char* why) {
    s.usage_error(name + " is not a question paper file (" + why +
                  "). A question paper file is the JSON that quorvan paper writes:\n  " + kMakeOne);
}

}  // namespace

// ------------------------------------------------------------------ reading

py::object read_paper_json(const Session& s, py::handle path) {
    const std::string name = text_of(path);
    if (app::is_folder(path)) s.usage_error(name + " is a folder, not a question paper file");
    if (!app::is_file(path)) s.usage_error("question paper file not found: " + name);

    std::string raw;
    try {
        raw = app::read_bytes(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot read " + name + ": " + text_of(e.value()));
    }

    // A PDF may have a few bytes before its header.
    if (std::string_view(raw).substr(0, 1024).find("%PDF-") != std::string_view::npos) {
        const bool taken = app::base_name(path).equal(py::str("paper.json"));
        s.usage_error(name + " is a PDF, not a question paper file. Make one from it first:\n  quorvan paper " + name +
                      " --subject SUBJECT --class-level LEVEL -o " + (taken ? "question_paper.json" : "paper.json"));
    }
    if (raw.rfind("\xff\xfe", 0) == 0 || raw.rfind("\xfe\xff", 0) == 0) {
        s.usage_error(name + " is UTF-16 text: save it as UTF-8 (question paper files are UTF-8 JSON)");
    }
    py::object text;
    try {
        text = utf8_sig_text(raw);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        not_a_paper(s, name, "it is not UTF-8 text");
    }
    if (pyglue::contains(text, py::str("\0", 1))) not_a_paper(s, name, "it is not text");
    if (!pyglue::truth(text.attr("strip")())) not_a_paper(s, name, "it is empty");

    py::object json = M("json");
    try {
        return json.attr("loads")(text);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_RecursionError)) not_a_paper(s, name, "its JSON is nested too deeply");
        if (!e.matches(json.attr("JSONDecodeError"))) throw;
        py::object error = e.value();
        // Wrong from the first character: not an attempt at JSON at all.
        const Py_ssize_t first = py::len(text) - py::len(text.attr("lstrip")(" \t\n\r"));
        if (py::cast<Py_ssize_t>(error.attr("pos")) == first) not_a_paper(s, name, "it is not JSON");
        s.usage_error(name + " is not valid JSON: " + text_of(error.attr("msg")) + " (line " +
                      text_of(error.attr("lineno")) + ", column " + text_of(error.attr("colno")) +
                      "). Fix it there, or make the file again:\n  " + kMakeOne);
    }
}

std::vector<PaperProblem> paper_problems(py::handle data) {
    Checker checker;
    checker.paper(data);
    return std::move(checker.problems);
}

py::str paper_totals(py::handle data) {
    py::object questions = py::reinterpret_borrow<py::object>(data)["questions"];
    py::object total = py::int_(0);
    for (py::handle q : questions) total = total + py::reinterpret_borrow<py::object>(q)["max_marks"];
    const Py_ssize_t n = py::len(questions);
    return pyglue::cat(n, n == 1 ? " question, " : " questions, ", rounded(total), " marks");
}

std::vector<py::str> problem_lines(const std::vector<PaperProblem>& problems) {
    std::vector<py::str> lines;
    for (const auto& p : problems) lines.push_back(pyglue::cat("  - ", p.text));
    return lines;
}

void refuse_paper(const Session& s, py::handle path, const char* verdict, const std::vector<PaperProblem>& problems) {
    py::list lines;
    lines.append(pyglue::cat(path, " ", verdict, ":"));
    for (const auto& line : problem_lines(problems)) lines.append(line);
    const bool completable = std::any_of(problems.begin(), problems.end(), [](const PaperProblem& p) {
        return p.kind == Kind::rubric || p.kind == Kind::reference;
    });
    const bool other = std::any_of(problems.begin(), problems.end(), [](const PaperProblem& p) {
        return p.kind != Kind::rubric && p.kind != Kind::reference;
    });
    if (completable) {
        lines.append(pyglue::cat(other ? "Once the rest is fixed, " : "", "quorvan complete ", path,
                                 " writes the missing rubrics and reference answers."));
    }
    s.usage_error(text_of(py::str("\n").attr("join")(lines)));
}

py::object load_paper_for_marking(const Session& s, py::object path) {
    py::object data = read_paper_json(s, path);
    std::vector<PaperProblem> problems = paper_problems(data);
    if (!problems.empty()) refuse_paper(s, path, "cannot be used for marking", problems);
    return data;
}

// ----------------------------------------------------------------- commands

void add_check_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "check", py::arg("help") = "check that a question paper file is ready for marking",
        py::arg("description") = "Check a question paper file as quorvan mark reads it: every problem that would "
                                 "stop marking is listed (exit status 2), or the paper is ready (0).");
    p.attr("add_argument")("paper", py::arg("metavar") = "PAPER.json");
}

CheckOptions check_options(py::object args) {
    CheckOptions o;
    o.paper = args.attr("paper");
    return o;
}

int run_check(const CheckOptions& o, py::object parser) {
    Session s(parser);
    const py::object& path = o.paper;
    py::object data = load_paper_for_marking(s, path);
    s.say(pyglue::cat(path, ": ", paper_totals(data), ", ready for marking"));
    return 0;
}

void add_schema_parser(py::object sub) {
    sub.attr("add_parser")("schema", py::arg("help") = "print the JSON Schema of question paper files",
                           py::arg("description") = "Print the JSON Schema (draft 2020-12) of the question paper "
                                                    "files that quorvan paper writes and quorvan mark reads.");
}

int run_schema(py::object parser) {
    Session s(parser);
    py::object file = app::join(app::join(app::folder_of(M.get("__file__")), "_data"), "paper.schema.json");
    // The file's text exactly as it is.
    const std::string text = app::read_bytes(file);
    s.say(py::str(text), "");
    return 0;
}

}  // namespace quorvan::cli
