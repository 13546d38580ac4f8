// quorvan export: a marked class's totals as a gradebook file for Moodle,
// Canvas or any spreadsheet. Read from the store alone, with the teacher's
// decisions standing over the model's marks; only approved sheets unless
// --all. A file that could put a grade on the wrong student is not written.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "class_view.hpp"
#include "app/files.hpp"
#include "cli.hpp"
#include "decisions.hpp"
#include "csv.hpp"
#include "gradebook.hpp"

namespace quorvan::cli {

namespace {

// What the sheet's paper says: its total marks, its questions and a name for
// the grade column ("Science Class 8").
struct PaperTotals {
    double maximum = 0;
    std::map<std::string, core::QuestionKey> questions;  // by id, each as its marking was fingerprinted
    std::string item;
};

PaperTotals paper_totals(const std::string& canonical_json) {
    PaperTotals p;
    py::object data = M("json").attr("loads")(py::str(canonical_json));
    py::object dumps = M("json").attr("dumps");
    for (py::handle q : py::object(data["questions"])) {
        p.maximum += py::cast<double>(q["max_marks"]);
        core::QuestionKey key;
        // The fingerprint the marking compared against, made as the paper makes it.
        key.fingerprint = core::sha256_hex(utf8(dumps(q, py::arg("sort_keys") = true, py::arg("ensure_ascii") = false,
                                                      py::arg("separators") = py::make_tuple(",", ":"))));
        key.max_marks = py::cast<double>(q["max_marks"]);
        for (py::handle c : py::object(q["criteria"])) key.criterion_marks.push_back(py::cast<double>(c["mark"]));
        p.questions.emplace(utf8(q["q_id"]), std::move(key));
    }
    p.item = utf8(py::str(" ").attr("join")(py::make_tuple(data["subject"], data["class_level"])).attr("strip")());
    return p;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

// The same student twice would be imported twice, the second grade over the first.
std::string student_key(const core::Identity& who) {
    return who.student_id.empty() ? "name:" + who.name : "id:" + who.student_id;
}

}  // namespace

void add_export_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "export", py::arg("help") = "write the approved totals as a gradebook file (CSV, Moodle, Canvas)",
        py::arg("description") = "Write the totals of the approved sheets in OUTDIR (with --all: of every marked "
                                 "sheet), the teacher's changes included, as a gradebook file keyed by the students "
                                 "the roster names.");
    p.attr("add_argument")("outdir", py::arg("metavar") = "OUTDIR");
    p.attr("add_argument")("--to", py::arg("required") = true,
                           py::arg("choices") = py::make_tuple("csv", "moodle", "canvas"),
                           py::arg("help") = "csv (every identity field and the percentage), moodle (grade "
                                             "import) or canvas (gradebook import)");
    p.attr("add_argument")("-o", "--output", py::arg("required") = true, py::arg("metavar") = "FILE");
    p.attr("add_argument")("--all", py::arg("action") = "store_true",
                           py::arg("help") = "every marked sheet, approved or not");
    p.attr("add_argument")("--force", py::arg("action") = "store_true",
                           py::arg("help") = "replace FILE if it already exists");
    p.attr("add_argument")("--item", py::arg("metavar") = "NAME",
                           py::arg("help") = "name of the grade column (default: the paper's subject and "
                                             "class level)");
}

ExportOptions export_options(py::object args) {
    ExportOptions o;
    o.outdir = args.attr("outdir");
    o.output = args.attr("output");
    o.to = args.attr("to").cast<std::string>();
    o.all = pyglue::truth(args.attr("all"));
    o.force = pyglue::truth(args.attr("force"));
    o.item = args.attr("item");
    return o;
}

int run_export(const ExportOptions& o, py::object parser) {
    Session s(parser);
    const py::object& outdir = o.outdir;
    const py::object& target = o.output;
    const std::string& format = o.to;
    const bool all = o.all;

    if (!app::is_folder(outdir)) s.usage_error("no such results folder: " + utf8(outdir));
    const py::str db = app::join(outdir, "marking.db");
    if (!app::is_file(db)) {
        s.usage_error(utf8(outdir) + " holds no marking.db: mark a class into it with quorvan mark first");
    }
    if (app::is_folder(target)) s.usage_error("-o " + utf8(target) + " is a folder, not a file");
    if (app::lexists(target)) {
        for (const char* own : {"marking.db", "class_results.csv", "marking.log", "usage.log"}) {
            py::object mine = app::join(outdir, own);
            if (app::exists(mine) && app::exists(target) && app::same_file(mine, target)) {
                s.usage_error("will not write " + utf8(target) + ": it is the results folder's " + own);
            }
        }
        if (!o.force) {
            s.usage_error(utf8(target) + " already exists: --force replaces it");
        }
        // A pipe, a device or a socket would be replaced by a file, or fed a
        // gradebook: only a file is ever replaced.
        if (!app::is_file(target)) {
            s.usage_error("will not write " + utf8(target) + ": it is not a regular file (a pipe, a device, a "
                          "socket or a broken link); give the path of a file");
        }
    }

    std::unique_ptr<core::ResultsStore> store;
    try {
        store = std::make_unique<core::ResultsStore>(app::native(db).native(), core::ResultsStore::Access::read);
    } catch (const core::StoreError& e) {
        s.usage_error(e.what());
    }

    const auto sheets = store->sheets();
    const auto names = display_names(sheets);
    std::vector<core::GradeEntry> entries;
    std::vector<std::string> unnamed, left_out, flagged;
    std::size_t waiting = 0;
    std::map<std::string, PaperTotals> papers;
    std::set<std::string> items;
    std::set<double> maxima;
    std::map<std::string, std::vector<std::string>> by_student;
    for (const auto& sheet : sheets) {
        const std::string name = utf8(names.at(sheet.id));
        const auto answers = store->answers(sheet.id);
        const auto decisions = store->decisions(sheet.id);
        const bool approved = core::sheet_approved(answers, decisions);
        if (!approved && !all) {
            ++waiting;
            continue;
        }
        if (!approved && sheet.status != "marked") {
            left_out.push_back(name + " (" + (sheet.status == "failed" ? "failed" : sheet.status) + ")");
            continue;
        }
        auto paper = papers.find(sheet.paper_fingerprint);
        if (paper == papers.end()) {
            const auto json = store->paper_json(sheet.paper_fingerprint);
            if (!json) {
                left_out.push_back(name + " (not marked against any paper)");
                continue;
            }
            paper = papers.emplace(sheet.paper_fingerprint, paper_totals(*json)).first;
            // Two tests of one class are two grade items: the date the paper was
            // first marked against tells them apart.
            const std::string seen = store->paper_first_seen(sheet.paper_fingerprint);
            if (seen.size() >= 10) {
                std::string& item = paper->second.item;
                item += (item.empty() ? "" : " ") + ("(" + seen.substr(0, 10) + ")");
            }
        }
        double total = 0;
        std::vector<std::string> unmarked;
        bool look_again = false;
        for (const auto& [q_id, key] : paper->second.questions) {
            const core::Reviewed r = core::review_of(core::answer_for(answers, q_id), core::decision_for(decisions, q_id), key);
            look_again = look_again || r.look_again;
            if (r.state == "marked") {
                total += *r.awarded;
            } else if (r.state == "unmarked") {
                unmarked.push_back(q_id);
            }
        }
        // Marked again by the model after the teacher approved: the teacher
        // has not seen what now stands.
        if (look_again && !all) {
            left_out.push_back(name + " (approved, but marked again since: look again in quorvan review, or "
                               "export it anyway with --all)");
            continue;
        }
        if (look_again) flagged.push_back(name);
        if (!unmarked.empty()) {
            left_out.push_back(name + " (no mark for " + joined(unmarked) + ")");
            continue;
        }
        if (sheet.identity.empty()) {
            unnamed.push_back(name);
            continue;
        }
        core::GradeEntry e;
        e.who = sheet.identity;
        e.file = name;
        e.total = total;
        e.maximum = paper->second.maximum;
        items.insert(paper->second.item);
        maxima.insert(e.maximum);
        by_student[student_key(e.who)].push_back(name);
        entries.push_back(std::move(e));
    }

    // Everything that would put a grade on no one, or on the wrong one.
    std::vector<std::string> problems;
    if (!unnamed.empty()) {
        problems.push_back("no student is known for " + joined(unnamed) +
                           ": give quorvan mark the class's --roster (sheets already marked are not marked again)");
    }
    for (const auto& [key, files] : by_student) {
        if (files.size() > 1) problems.push_back("one student for several sheets: " + joined(files));
    }
    if (maxima.size() > 1 || items.size() > 1) {
        problems.push_back("the sheets were marked against different papers: mark them against one paper first");
    }
    if (format == "moodle" && !entries.empty() && core::moodle_identifier(entries).empty()) {
        std::vector<std::string> lacking;
        for (const auto& e : entries) {
            if (e.who.student_id.empty() && e.who.email.empty()) lacking.push_back(e.file);
        }
        if (lacking.empty()) {
            problems.push_back("Moodle needs every student's ID number or every student's email address; these "
                               "students have one or the other, not the same one");
        } else {
            problems.push_back("Moodle finds students by ID number or email address; none is known for " +
                               joined(lacking) + " (give them in the --roster of quorvan mark)");
        }
    }
    if (!problems.empty()) {
        std::string text = "nothing written to " + utf8(target) + ":";
        for (const auto& p : problems) text += "\n  - " + p;
        s.usage_error(text);
    }
    for (const auto& why : left_out) s.complain(py::str("quorvan export: not exported: " + why));
    for (const auto& name : flagged) {
        s.complain(py::str("quorvan export: " + name + " was approved, but the model marked it again since: "
                           "exported with --all; look again in quorvan review"));
    }
    if (entries.empty()) {
        s.complain(py::str(all ? "quorvan export: nothing to export: no sheet in " + utf8(outdir) + " is fully marked"
                               : "quorvan export: nothing to export: no sheet in " + utf8(outdir) +
                                     " is approved yet (approve them in quorvan review, or export every marked "
                                     "total with --all)"));
        return 1;
    }

    std::string item = *items.begin();
    if (!o.item.is_none()) item = utf8(o.item);
    if (item.empty()) item = "Total";
    const core::GradebookFormat kind = format == "moodle"   ? core::GradebookFormat::moodle
                                       : format == "canvas" ? core::GradebookFormat::canvas
                                                            : core::GradebookFormat::csv;
    // Spreadsheet programs need the mark to read a plain CSV as UTF-8; the
    // platforms' importers read UTF-8 as it is.
    std::string csv = kind == core::GradebookFormat::csv ? "\xef\xbb\xbf" : "";
    for (auto row : core::gradebook_table(kind, entries, item)) {
        for (auto& cell : row) cell = spreadsheet_safe(std::move(cell));
        csv += core::csv_record(row);
    }
    try {
        app::write_text_atomic(target, py::str(csv));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.complain(pyglue::cat("quorvan export: cannot write ", target, ": ", e.value()));
        return 1;
    }
    const std::size_t n = entries.size();
    std::string how = format;
    if (kind == core::GradebookFormat::moodle) how += ", users found by " + core::moodle_identifier(entries);
    s.say(pyglue::cat("Exported ", py::int_(n), n == 1 ? " student" : " students", " to ", target, " (", py::str(how),
                      "; \"", py::str(item), "\" out of ", py::str(core::plain_number(*maxima.begin())), ")."));
    if (waiting) {
        s.say(pyglue::cat(py::int_(waiting), waiting == 1 ? " sheet is" : " sheets are",
                          " not approved yet and not exported (--all exports every marked total)."));
    }
    return left_out.empty() ? 0 : 1;
}

}  // namespace quorvan::cli
