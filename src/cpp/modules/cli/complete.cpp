// quorvan complete: the rubrics and reference answers an exported (perhaps
// hand-edited) paper lacks, written into the file. Only the questions that
// need something go through the library, so every rubric, reference answer
// and text already in the file stays exactly as it was.
#include <algorithm>
#include <iterator>
#include <vector>

#include "../shared/rubric_json.hpp"
#include "paper_file.hpp"
#include "app/files.hpp"

namespace quorvan::cli {

namespace {

using Kind = PaperProblem::Kind;

// What one question of the file lacks.
struct Want {
    Py_ssize_t index = 0;
    bool rubric = false;
    bool reference = false;
};

bool usable_rubric(const py::object& rubric) {
    return pyglue::truth(rubric) && py::len(rubric.attr("criteria")) > 0;
}

bool usable_text(const py::object& text) {
    return PyUnicode_Check(text.ptr()) && pyglue::truth(text.attr("strip")());
}

// q[key] = value. A key q lacks goes just before `before` when q has that, so
// a completed question reads in the order the exporter writes.
void put(py::dict q, const char* key, py::object value, const char* before) {
    py::str k(key);
    if (q.contains(k) || !before || !q.contains(py::str(before))) {
        q[k] = value;
        return;
    }
    py::list items(q.attr("items")());
    q.clear();
    for (py::handle item : items) {
        py::object name = item[py::int_(0)];
        if (name.equal(py::str(before))) q[k] = value;
        q[name] = item[py::int_(1)];
    }
}

// What still stands between the paper and marking; the command's exit status.
int report_readiness(const Session& s, py::handle path, py::handle data) {
    std::vector<PaperProblem> problems = paper_problems(data);
    if (problems.empty()) {
        s.say(pyglue::cat(path, ": ", paper_totals(data), ", ready for marking"));
        return 0;
    }
    s.say(pyglue::cat("Still blocking marking in ", path, ":"));
    for (const auto& line : problem_lines(problems)) s.say(line);
    return 1;
}

}  // namespace

void add_complete_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "complete", py::arg("help") = "write the rubrics and reference answers a question paper file lacks",
        py::arg("description") = "Write the missing rubrics (for questions with marks) and then the missing "
                                 "reference answers into a question paper file, keeping everything already in it. "
                                 "Exit status 0 when the paper is then ready for marking, 1 when not.");
    p.attr("add_argument")("paper", py::arg("metavar") = "PAPER.json");
    add_model_options(p);
}

CompleteOptions complete_options(py::object parser, py::object args) {
    CompleteOptions o;
    o.model = model_settings(parser, args);
    o.paper = args.attr("paper");
    return o;
}

int run_complete(const CompleteOptions& o, py::object parser) {
    Session s(parser, o.model);
    const py::object& path = o.paper;
    py::object data = read_paper_json(s, path);

    std::vector<PaperProblem> problems = paper_problems(data);
    std::vector<PaperProblem> layout;
    std::copy_if(problems.begin(), problems.end(), std::back_inserter(layout),
                 [](const PaperProblem& p) { return p.kind == Kind::layout; });
    if (!layout.empty()) refuse_paper(s, path, "cannot be completed", layout);

    py::list questions(data["questions"]);
    std::vector<Want> wants(py::len(questions));
    std::vector<bool> no_marks(wants.size(), false);
    for (std::size_t i = 0; i < wants.size(); ++i) wants[i].index = static_cast<Py_ssize_t>(i);
    for (const auto& p : problems) {
        if (p.question < 0) continue;
        if (p.kind == Kind::marks) no_marks[p.question] = true;
        if (p.kind == Kind::rubric) wants[p.question].rubric = true;
        if (p.kind == Kind::reference) wants[p.question].reference = true;
    }
    // A rubric is written for a question's marks: none without them.
    std::vector<Want> todo;
    for (const auto& w : wants) {
        if (!no_marks[w.index] && (w.rubric || w.reference)) todo.push_back(w);
    }
    if (todo.empty()) {
        s.say(pyglue::cat("Nothing to complete in ", path,
                          ": every question with marks has a rubric and a reference answer"));
        return report_readiness(s, path, data);
    }

    py::object stem = app::without_extension(path);
    s.start_log(pyglue::cat(stem, ".complete.log"));
    py::object facade, paper;
    try {
        facade = s.configure(pyglue::cat(stem, ".usage.log"));
        warm_up(facade.attr("llm_service"));
        py::dict part;
        for (const char* key : {"subject", "language", "class_level"}) {
            if (data.contains(py::str(key))) part[key] = py::object(data[key]);
        }
        py::list chosen;
        for (const auto& w : todo) chosen.append(py::object(questions[w.index]));
        part["questions"] = chosen;
        paper = facade.attr("question_paper_from_json")(part);
        // The paper holds only the questions that lack something, so the
        // generators' own choice (no rubric yet; then no reference answer but
        // a rubric) is exactly what is missing, in one batch each.
        if (std::any_of(todo.begin(), todo.end(), [](const Want& w) { return w.rubric; })) {
            facade.attr("generate_rubrics")(paper);
        }
        facade.attr("generate_reference_answers")(paper);
        s.end_redirect();

        bool changed = false;
        for (const auto& w : todo) {
            py::dict q(questions[w.index]);
            py::object q_id = q["q_id"];
            py::object question = paper.attr("get_question")(q_id);
            py::list done, missing;
            if (w.rubric) {
                py::object rubric = question.attr("rubric");
                if (usable_rubric(rubric)) {
                    put(q, "rubric", paper_file::rubric_json(rubric), "reference_answer");
                    const Py_ssize_t n = py::len(rubric.attr("criteria"));
                    done.append(pyglue::cat("rubric (", n, n == 1 ? " criterion)" : " criteria)"));
                } else {
                    missing.append("rubric");
                }
            }
            if (w.reference) {
                py::object reference = question.attr("reference_answer");
                if (usable_text(reference)) {
                    put(q, "reference_answer", reference, nullptr);
                    done.append("reference answer");
                } else {
                    missing.append("reference answer");
                }
            }
            if (py::len(done)) {
                changed = true;
                s.say(pyglue::cat("Completed ", q_id, ": ", py::str(", ").attr("join")(done)));
            }
            if (py::len(missing)) {
                s.say(pyglue::cat("Could not complete ", q_id, ": ", py::str(", ").attr("join")(missing), " (see ",
                                  s.log_path(), ")"));
            }
        }
        if (changed) {
            py::object text = M("json").attr("dumps")(data, py::arg("indent") = 4, py::arg("ensure_ascii") = false);
            app::write_text_atomic(path, text);
            s.say(pyglue::cat("Written to ", path));
        }
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.complain(pyglue::cat("quorvan complete: ", error));
        s.complain(pyglue::cat("The library's progress lines are in ", s.log_path()));
        if (facade && pyglue::truth(facade.attr("llm_service"))) s.report_usage(facade.attr("llm_service"));
        return 1;
    }
    const int status = report_readiness(s, path, data);
    s.report_usage(facade.attr("llm_service"));
    return status;
}

}  // namespace quorvan::cli
