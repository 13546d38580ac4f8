// quorvan paper: question paper PDF -> questions, rubrics, reference answers -> importable JSON.
#include <stdexcept>
#include <string>

#include "class_run.hpp"
#include "cli.hpp"

namespace quorvan::cli {

namespace {

py::str pad(py::handle value, int width) {
    return pyglue::str(value).attr("ljust")(width);
}

py::object preview(py::handle text, Py_ssize_t width) {
    py::str s = pyglue::str(text).attr("replace")("\n", " ");
    if (PyUnicode_GetLength(s.ptr()) <= width) return s;
    return pyglue::cat(py::str(s)[py::slice(0, width - 3, 1)], "...");
}

void print_paper(const Session& s, py::object paper, py::object output) {
    py::list ids = paper.attr("get_question_ids")();
    s.say(pyglue::cat("Question paper: ", paper.attr("subject"), ", ", paper.attr("language"), ", ",
                      paper.attr("class_level"), " - ", py::int_(py::len(ids)), " questions, ",
                      paper.attr("get_total_marks")(), " marks"));
    py::list warnings;
    bool without_marks = false, incomplete = false;
    int id_width = 4;
    for (py::handle q_id : ids) id_width = std::max<int>(id_width, PyUnicode_GetLength(pyglue::str(q_id).ptr()) + 2);
    for (py::handle q_id : ids) {
        py::object question = paper.attr("get_question")(q_id);
        py::object rubric = question.attr("rubric");
        const Py_ssize_t criteria = pyglue::truth(rubric) ? py::len(rubric.attr("criteria")) : 0;
        s.say(pyglue::cat("  ", pad(q_id, id_width), pad(pyglue::cat(question.attr("max_marks"), " marks"), 12),
                          pad(pyglue::cat(py::int_(criteria), criteria == 1 ? " criterion" : " criteria"), 13),
                          preview(question.attr("text"), 60)));
        if (!(py::cast<double>(question.attr("max_marks")) > 0)) {
            without_marks = true;
            warnings.append(pyglue::cat(q_id, " has no marks: set its \"max_marks\" in ", output,
                                        " before marking"));
        }
        if (criteria == 0) {
            incomplete = true;
            warnings.append(pyglue::cat(q_id, " has no rubric: its answers cannot be marked"));
        }
        py::object reference = question.attr("reference_answer");
        if (!pyglue::truth(reference) || !pyglue::truth(reference.attr("strip")())) {
            incomplete = true;
            warnings.append(pyglue::cat(q_id, " has no reference answer: its answers cannot be marked"));
        }
    }
    if (py::len(warnings)) {
        s.say(py::str("Warnings:"));
        for (py::handle w : warnings) s.say(pyglue::cat("  ", w));
        if (without_marks) {
            s.say(pyglue::cat("Set the missing \"max_marks\" in ", output, ", then run: quorvan complete ", output,
                              " (it writes the missing rubrics and reference answers)"));
        } else if (incomplete) {
            s.say(pyglue::cat("To write the missing rubrics and reference answers, run: quorvan complete ", output));
        }
    }
    s.say(pyglue::cat("Exported to ", output, " (edit it by hand if needed, then: quorvan mark --paper ", output,
                      " SHEETS... -o RESULTS)"));
}

}  // namespace

void add_paper_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "paper", py::arg("help") = "read a question paper PDF and export it with rubrics and reference answers",
        py::arg("description") = "Read a question paper PDF, split it into questions, write a rubric and a "
                                 "reference answer for each, and export it as JSON for `quorvan mark` (the file "
                                 "may be edited by hand before marking).");
    p.attr("add_argument")("pdf", py::arg("metavar") = "PAPER.pdf");
    p.attr("add_argument")("--subject", py::arg("required") = true);
    p.attr("add_argument")("--language", py::arg("default") = "English",
                           py::arg("help") = "language of the questions (default: English)");
    p.attr("add_argument")("--class-level", py::arg("required") = true, py::arg("dest") = "class_level");
    p.attr("add_argument")("--pages", py::arg("help") = "pages to read, e.g. 1,2 or 1-3 (default: all)");
    p.attr("add_argument")("-o", "--output", py::arg("required") = true, py::arg("metavar") = "PAPER.json");
    p.attr("add_argument")("--force", py::arg("action") = "store_true",
                           py::arg("help") = "replace PAPER.json if it already exists");
    add_model_options(p);
}

PaperOptions paper_options(py::object parser, py::object args) {
    PaperOptions o;
    o.model = model_settings(parser, args);
    o.pdf = args.attr("pdf");
    o.output = args.attr("output");
    o.subject = args.attr("subject");
    o.language = args.attr("language");
    o.class_level = args.attr("class_level");
    o.pages = args.attr("pages");
    o.force = pyglue::truth(args.attr("force"));
    return o;
}

int run_paper(const PaperOptions& o, py::object parser) {
    Session s(parser, o.model);
    const py::object& pdf = o.pdf;
    if (!app::is_file(pdf)) s.usage_error("question paper not found: " + py::str(pdf).cast<std::string>());

    py::object pages = py::none();
    if (!o.pages.is_none()) {
        try {
            py::list numbers;  // the library takes a list of ints
            for (int page : core::parse_page_list(o.pages.cast<std::string>())) numbers.append(page);
            pages = numbers;
        } catch (const std::invalid_argument& e) {
            s.usage_error(e.what());
        }
    }

    const py::object& output = o.output;
    // Before any model call: a refusal then costs nothing.
    if (!o.force && app::lexists(output)) {
        s.usage_error(py::str(output).cast<std::string>() + " already exists; add --force to replace it");
    }
    // Every step calls the model: without a key nothing is written, not even a log.
    M("Quorvan");  // reads the .env file beside the command, as the run would
    if (!pyglue::truth(M("os").attr("environ").attr("get")("OPENAI_API_KEY"))) {
        s.complain(py::str("quorvan paper: OPENAI_API_KEY is not set (in the environment or a .env file): "
                           "the paper is read and its rubrics written by the model; nothing was written"));
        return 1;
    }
    py::object stem = app::without_extension(output);
    py::object folder = app::folder_of(output);
    try {
        if (pyglue::truth(folder)) app::make_folders(folder);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.usage_error("cannot create the output folder: " + py::str(e.value()).cast<std::string>());
    }

    s.start_log(pyglue::cat(stem, ".log"));
    py::object facade;
    try {
        facade = s.configure(pyglue::cat(stem, ".usage.log"));
        warm_up(facade.attr("llm_service"));
        py::object paper = facade.attr("process_question_paper")(pdf, o.subject, o.language, o.class_level,
                                                                 pages);
        // A rubric shares out a question's marks: a question whose marks were
        // not found gets none (nor, without a rubric, a reference answer).
        py::list ids = paper.attr("get_question_ids")();
        py::list with_marks;
        for (py::handle q_id : ids) {
            if (py::cast<double>(paper.attr("get_question")(q_id).attr("max_marks")) > 0) with_marks.append(q_id);
        }
        if (py::len(with_marks) == py::len(ids)) {
            facade.attr("generate_rubrics")(paper);  // all of them, in one batch
        } else if (py::len(with_marks) > 0) {
            facade.attr("generate_rubrics")(paper, py::arg("question_ids") = with_marks);
        }
        facade.attr("generate_reference_answers")(paper);  // those with a rubric
        facade.attr("export_question_paper")(output);
        s.end_redirect();
        print_paper(s, paper, output);
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.complain(pyglue::cat("quorvan paper: ", error));
        s.complain(pyglue::cat("The library's progress lines are in ", s.log_path()));
        if (facade && pyglue::truth(facade.attr("llm_service"))) s.report_usage(facade.attr("llm_service"));
        return 1;
    }
    s.report_usage(facade.attr("llm_service"));
    return 0;
}

}  // namespace quorvan::cli
