#include "outputs.hpp"

#include "handback.hpp"

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace quorvan::cli {

void write_outputs(const OutputsContext& ctx, const std::vector<std::int64_t>& changed_sheets) {
    for (const auto id : changed_sheets) {
        ctx.forget(id);
        if (auto sheet = ctx.store->sheet(id)) ctx.write_reports(*sheet);
    }
    ctx.write_class_file();
    write_class_report(ctx);
    write_handbacks(ctx, changed_sheets);
}

py::object paper_from_canonical(const std::string& canonical_json) {
    py::object data = M("json").attr("loads")(py::str(canonical_json));
    py::object paper = M("QuestionPaper")(py::arg("subject") = data["subject"], py::arg("language") = data["language"],
                                          py::arg("class_level") = data["class_level"]);
    for (py::handle q : data["questions"]) {
        py::object question = M("Question")(py::arg("q_id") = q["q_id"], py::arg("text") = q["question_text"],
                                            py::arg("max_marks") = q["max_marks"]);
        py::list criteria;
        for (py::handle c : q["criteria"]) {
            criteria.append(M("Criterion")(py::arg("statement") = c["statement"], py::arg("mark") = c["mark"]));
        }
        if (py::len(criteria) > 0) question.attr("rubric") = M("Rubric")(py::arg("criteria") = criteria);
        py::object reference = q["reference_answer"];
        if (pyglue::truth(reference)) question.attr("reference_answer") = reference;
        paper.attr("add_question")(question);
    }
    return paper;
}

bool store_is_read_only(const std::string& db_path) {
    const std::string folder = std::filesystem::path(db_path).parent_path().string();
    return access(db_path.c_str(), W_OK) != 0 || access(folder.empty() ? "." : folder.c_str(), W_OK) != 0;
}

std::unique_ptr<ResultsFolder> open_results_folder(py::object outdir, bool read_only) {
    py::object db = app::join(outdir, "marking.db");
    if (!app::is_file(db)) {
        throw std::runtime_error(utf8(outdir) + " holds no marked class (no marking.db): run quorvan mark -o " +
                                 utf8(outdir) + " first");
    }
    auto folder = std::make_unique<ResultsFolder>();
    folder->db_path = app::native(db).native();
    folder->read_only = read_only;
    folder->store = std::make_unique<core::ResultsStore>(
        folder->db_path, read_only ? core::ResultsStore::Access::read : core::ResultsStore::Access::write);
    const std::string fingerprint = folder->store->current_paper();
    const std::optional<std::string> canonical = fingerprint.empty() ? std::nullopt : folder->store->paper_json(fingerprint);
    if (!canonical) throw std::runtime_error(utf8(outdir) + " holds no marked class yet: run quorvan mark first");
    folder->paper = std::make_unique<ClassPaper>(describe_paper(paper_from_canonical(*canonical)));
    ClassView& view = folder->view;
    view.paper = folder->paper.get();
    view.store = folder->store.get();
    view.pipeline = M("AnswersheetService")(py::arg("extractor_client") = py::none(), py::arg("llm_service") = py::none());
    view.outdir = outdir;
    view.paper_path = py::none();
    // The formats the folder's reports were written in.
    for (const char* format : {"json", "txt"}) {
        for (const auto& sheet : folder->store->sheets()) {
            if (!folder->store->written(sheet.report_name + "." + format).empty()) {
                view.formats.push_back(format);
                break;
            }
        }
    }
    return folder;
}

}  // namespace quorvan::cli
