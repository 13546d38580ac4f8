// `quorvan agreement OUTDIR [--teacher-marks marks.csv] [--json]`: imports a
// teacher's marks as decisions and reports how the model's marks agree.
#include "agreement.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The core's figures; the name alone would find this module's header.
#include "../../core/agreement.hpp"
#include "decisions.hpp"
#include "outputs.hpp"

namespace quorvan::cli {

namespace {

namespace calib = quorvan::core;

// Lone surrogates (from a file's bytes) written as escapes rather than refused.
std::string utf8_escaped(py::handle s) {
    py::bytes b = pyglue::str(s).attr("encode")("utf-8", "backslashreplace");
    return std::string(b);
}

py::str marks_text(double value) { return M("builtins").attr("format")(py::float_(value), "g"); }

py::object optional_number(const std::optional<double>& v) { return v ? py::object(py::float_(*v)) : py::none(); }

py::dict figures(const calib::Agreement& a) {
    py::dict d;
    d["n"] = py::int_(a.n);
    d["exact"] = optional_number(a.exact);
    d["within_one"] = optional_number(a.within_one);
    d["mean_abs_diff"] = optional_number(a.mean_abs_diff);
    d["qwk"] = optional_number(a.qwk);
    return d;
}

// An answer whose model mark counts: marked against the question as the paper
// has it now (the class file shows no mark for one marked against an older
// version, so neither does the comparison).
const core::AnswerRecord* model_marked(const core::AnswerRecord& a, const PaperQuestion* q) {
    if (!q || a.status != "marked" || !a.awarded || a.question_fingerprint != q->fingerprint) return nullptr;
    if (core::blank_answer(a.text)) return nullptr;  // not answered: the model's mark of nothing does not count
    return &a;
}

struct Compared {
    std::size_t sheet_index = 0, question_index = 0;
    std::int64_t sheet_id = 0;
    std::string q_id;
    double model = 0, teacher = 0;
};

struct CriterionCount {
    std::size_t n = 0, model_only = 0, teacher_only = 0;
};

}  // namespace

py::dict agreement_report(core::ResultsStore& store, const ClassPaper& paper) {
    const auto sheets = store.sheets();
    const auto names = display_names(sheets);
    std::map<std::string, std::size_t> question_index;
    for (std::size_t i = 0; i < paper.questions.size(); ++i) question_index[paper.questions[i].id] = i;

    std::vector<Compared> compared;
    std::map<std::size_t, std::vector<CriterionCount>> criteria;  // by question index
    for (std::size_t s = 0; s < sheets.size(); ++s) {
        const auto decisions = store.decisions(sheets[s].id);
        if (decisions.empty()) continue;
        for (const auto& a : store.answers(sheets[s].id)) {
            const PaperQuestion* q = paper.find(a.q_id);
            auto d = decisions.find(a.q_id);
            if (d == decisions.end() || !model_marked(a, q)) continue;
            const std::size_t qi = question_index.at(a.q_id);
            if (d->second.awarded) compared.push_back({s, qi, sheets[s].id, a.q_id, *a.awarded, *d->second.awarded});
            if (d->second.criteria_met && pyglue::truth(q->question.attr("rubric"))) {
                auto& counts = criteria[qi];
                if (counts.empty()) counts.resize(py::len(q->question.attr("rubric").attr("criteria")));
                const std::set<int> model(a.criteria_met.begin(), a.criteria_met.end());
                const std::set<int> teacher(d->second.criteria_met->begin(), d->second.criteria_met->end());
                for (std::size_t c = 0; c < counts.size(); ++c) {
                    const bool m = model.count(static_cast<int>(c)) > 0, t = teacher.count(static_cast<int>(c)) > 0;
                    ++counts[c].n;
                    if (m && !t) ++counts[c].model_only;
                    if (t && !m) ++counts[c].teacher_only;
                }
            }
        }
    }

    py::dict report;
    std::vector<calib::MarkPair> all;
    for (const auto& c : compared) all.push_back({c.model, c.teacher});
    report["overall"] = figures(calib::agreement(all));
    py::dict questions;
    for (std::size_t i = 0; i < paper.questions.size(); ++i) {
        std::vector<calib::MarkPair> of_question;
        for (const auto& c : compared) {
            if (c.question_index == i) of_question.push_back({c.model, c.teacher});
        }
        questions[paper.questions[i].q_id] = figures(calib::agreement(of_question));
    }
    report["questions"] = questions;

    py::list criteria_list;
    for (const auto& [qi, counts] : criteria) {
        const PaperQuestion& q = paper.questions[qi];
        py::list statements = py::list(q.question.attr("rubric").attr("criteria"));
        for (std::size_t c = 0; c < counts.size(); ++c) {
            py::dict entry;
            entry["question"] = q.q_id;
            entry["index"] = py::int_(c);
            entry["statement"] = statements[c].attr("statement");
            entry["n"] = py::int_(counts[c].n);
            entry["model_only"] = py::int_(counts[c].model_only);
            entry["teacher_only"] = py::int_(counts[c].teacher_only);
            criteria_list.append(entry);
        }
    }
    report["criteria"] = criteria_list;

    std::vector<const Compared*> apart;
    for (const auto& c : compared) {
        if (std::fabs(c.model - c.teacher) > calib::kSameMark) apart.push_back(&c);
    }
    // Largest first; ties in class order, then paper order (stable sort).
    std::stable_sort(apart.begin(), apart.end(), [](const Compared* x, const Compared* y) {
        return std::fabs(x->model - x->teacher) > std::fabs(y->model - y->teacher) + calib::kSameMark;
    });
    py::list largest;
    for (std::size_t i = 0; i < apart.size() && i < 10; ++i) {
        const Compared& c = *apart[i];
        const core::SheetRecord& sheet = sheets[c.sheet_index];
        py::dict entry;
        entry["sheet_id"] = py::int_(c.sheet_id);
        entry["sheet"] = names.at(c.sheet_id);
        entry["student_id"] = py::str(sheet.identity.student_id);
        entry["name"] = py::str(sheet.identity.name);
        entry["question"] = paper.questions[c.question_index].q_id;
        entry["model"] = py::float_(c.model);
        entry["teacher"] = py::float_(c.teacher);
        largest.append(entry);
    }
    report["largest_differences"] = largest;
    return report;
}

namespace {

// ----------------------------------------------------------- the text report

py::str share(py::handle v) {
    if (v.is_none()) return py::str("-");
    return pyglue::cat(M("builtins").attr("format")(py::float_(py::cast<double>(v) * 100), ".0f"), "%");
}

py::str fixed(py::handle v) {
    if (v.is_none()) return py::str("-");
    return M("builtins").attr("format")(v, ".2f");
}

const char* const kRow = "  {:<10} {:>7} {:>6} {:>9} {:>10} {:>6}";

py::str row(py::handle label, py::handle f) {
    py::list cells;
    cells.append(py::str(label));
    cells.append(pyglue::str(f["n"]));
    cells.append(share(f["exact"]));
    cells.append(share(f["within_one"]));
    cells.append(fixed(f["mean_abs_diff"]));
    cells.append(fixed(f["qwk"]));
    return py::str(kRow).attr("format")(*cells);
}

// The sheet as a teacher knows it: its name in the class file and, where
// known, whose it is.
py::str who(py::handle entry) {
    py::list parts;
    if (pyglue::truth(entry["student_id"])) parts.append(entry["student_id"]);
    if (pyglue::truth(entry["name"])) parts.append(entry["name"]);
    if (py::len(parts) == 0) return pyglue::str(entry["sheet"]);
    return pyglue::cat(entry["sheet"], " (", py::str(" ").attr("join")(parts), ")");
}

void print_report(const Session& s, const py::dict& report) {
    py::dict overall = report["overall"];
    if (py::cast<std::size_t>(overall["n"]) == 0) {
        s.say(py::str("Nothing to compare: no answer has both the model's mark and a teacher's mark. Import the "
                      "teacher's marks with: quorvan agreement OUTDIR --teacher-marks marks.csv"));
        return;
    }
    s.say(pyglue::cat("Model against teacher on ", overall["n"], " answers both marked:"));
    s.say(py::str(kRow).attr("format")("", "answers", "exact", "within 1", "mean diff", "QWK"));
    s.say(row(py::str("all"), overall));
    for (auto item : py::dict(report["questions"])) s.say(row(item.first, item.second));
    s.say(py::str("  (QWK, quadratic weighted kappa: 1 = the same marks, 0 = no closer than chance, below 0 = "
                  "further apart than chance; large differences count more than small ones.)"));

    py::list criteria = report["criteria"];
    bool heading = false;
    for (py::handle c : criteria) {
        if (!heading) {
            s.say(py::str("Criteria, where the teacher ticked them (model ticked / teacher did not, and the reverse):"));
            heading = true;
        }
        s.say(pyglue::cat("  ", c["question"], " criterion ", py::int_(py::cast<long>(c["index"]) + 1), " (",
                          pyglue::clip(c["statement"], 50), "): ", c["model_only"], " / ", c["teacher_only"], " of ",
                          c["n"]));
    }

    py::list largest = report["largest_differences"];
    if (py::len(largest) == 0) {
        s.say(py::str("The model and the teacher gave the same mark on every answer."));
        return;
    }
    s.say(py::str("Largest differences:"));
    for (py::handle d : largest) {
        s.say(pyglue::cat("  ", who(d), " ", d["question"], ": model ", marks_text(py::cast<double>(d["model"])),
                          ", teacher ", marks_text(py::cast<double>(d["teacher"]))));
    }
}

// ------------------------------------------------------ the teacher's marks

struct Problem {
    long line;
    std::string text;
};

struct Row {
    long line = 0;
    std::int64_t sheet_id = 0;
    const PaperQuestion* question = nullptr;
    double mark = 0;
};

// A mark as a teacher's spreadsheet writes it: 3, 2.5, or 2,5 (a decimal
// comma, in files that separate columns with ';').
std::optional<double> parse_mark(const std::string& text) {
    std::string t = text;
    std::replace(t.begin(), t.end(), ',', '.');
    py::object found = M("re").attr("fullmatch")(R"([+-]?(\d+(\.\d*)?|\.\d+))", py::str(t));
    if (found.is_none()) return std::nullopt;
    return py::cast<double>(M("float")(py::str(t)));
}

std::string lower(std::string s) {
    for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// Which sheets a value of the sheet column names: the file name, the path as
// given to quorvan mark, the path resolved (a path resolved here too), or the
// student id.
std::vector<std::int64_t> sheets_named(const std::vector<core::SheetRecord>& sheets, py::object value) {
    const std::string v = utf8_escaped(value);
    std::string resolved;
    try {
        resolved = utf8_escaped(app::real_path(value));
    } catch (py::error_already_set&) {
        pyglue::caught();
    }
    std::vector<std::int64_t> found;
    for (const auto& s : sheets) {
        const bool named = utf8_escaped(app::base_name(py::str(s.path_given))) == v || s.path_given == v ||
                           s.path_resolved == v || s.path_resolved == resolved ||
                           (!s.identity.student_id.empty() && s.identity.student_id == v);
        if (named) found.push_back(s.id);
    }
    return found;
}

const PaperQuestion* question_named(const ClassPaper& paper, const std::string& value) {
    if (const PaperQuestion* q = paper.find(value)) return q;
    const PaperQuestion* found = nullptr;
    for (const auto& q : paper.questions) {
        if (lower(q.id) == lower(value)) {
            if (found) return nullptr;  // two ids differ only in case: ask for the exact one
            found = &q;
        }
    }
    return found;
}

struct Import {
    std::vector<Row> rows;
    std::vector<Problem> problems;
};

Import read_teacher_marks(py::object file, const ClassPaper& paper, const std::vector<core::SheetRecord>& sheets,
                          const std::map<std::int64_t, py::object>& names) {
    Import out;
    py::object text;
    try {
        text = utf8_sig_text(app::read_bytes(file));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_UnicodeDecodeError)) {
            out.problems.push_back({0, "it is not UTF-8 text (save it from the spreadsheet as CSV UTF-8)"});
        } else if (e.matches(PyExc_OSError)) {
            out.problems.push_back({0, "cannot be read: " + utf8_escaped(e.value())});
        } else {
            throw;
        }
        return out;
    }
    py::list lines = text.attr("splitlines")();
    if (py::len(lines) == 0) {
        out.problems.push_back({0, "it is empty; it needs the header sheet,question,mark and a line per answer"});
        return out;
    }
    // A file from a spreadsheet set to a decimal comma separates with ';'.
    py::str first = lines[0];
    const bool semicolons = py::cast<long>(first.attr("count")(";")) > py::cast<long>(first.attr("count")(","));
    py::object reader = M("csv").attr("reader")(M("io").attr("StringIO")(text),
                                               py::arg("delimiter") = semicolons ? ";" : ",");
    py::object header;
    try {
        header = M("builtins").attr("next")(reader);
    } catch (py::error_already_set& e) {
        if (!e.matches(M("csv").attr("Error"))) throw;
        out.problems.push_back({1, "not CSV: " + utf8_escaped(e.value())});
        return out;
    }
    std::map<std::string, std::size_t> column;
    std::size_t position = 0;
    for (py::handle name : header) column.emplace(lower(utf8_escaped(py::str(name).attr("strip")())), position++);
    std::vector<std::string> missing;
    for (const char* name : {"sheet", "question", "mark"}) {
        if (!column.count(name)) missing.push_back(name);
    }
    if (!missing.empty()) {
        std::string list;
        for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
        out.problems.push_back({1, "the header lacks the column" + std::string(missing.size() > 1 ? "s " : " ") + list +
                                       " (the header is sheet,question,mark)"});
        return out;
    }
    std::map<std::pair<std::int64_t, std::string>, long> seen;
    std::map<std::int64_t, bool> read;
    for (const auto& sheet : sheets) read[sheet.id] = sheet.parsed;
    while (true) {
        py::object fields;
        try {
            fields = M("builtins").attr("next")(reader, py::none());
        } catch (py::error_already_set& e) {
            if (!e.matches(M("csv").attr("Error"))) throw;
            out.problems.push_back({py::cast<long>(reader.attr("line_num")), "not CSV: " + utf8_escaped(e.value())});
            break;
        }
        if (fields.is_none()) break;
        const long line = py::cast<long>(reader.attr("line_num"));
        py::list cells = fields;
        bool blank = true;
        for (py::handle c : cells) blank = blank && !pyglue::truth(py::str(c).attr("strip")());
        if (blank) continue;
        auto cell = [&](const char* name) -> py::str {
            const std::size_t i = column.at(name);
            return i < py::len(cells) ? py::str(py::str(cells[i]).attr("strip")()) : py::str("");
        };
        py::str sheet_value = cell("sheet"), question_value = cell("question"), mark_value = cell("mark");
        const std::size_t before = out.problems.size();
        auto problem = [&](const std::string& text) { out.problems.push_back({line, text}); };

        std::int64_t sheet_id = 0;
        if (!pyglue::truth(sheet_value)) {
            problem("no sheet");
        } else {
            const auto found = sheets_named(sheets, sheet_value);
            if (found.empty()) {
                problem("no sheet " + utf8_escaped(M("builtins").attr("repr")(sheet_value)) +
                        " in this results folder (give its file name, path or student id)");
            } else if (found.size() > 1) {
                std::string which;
                for (auto id : found) which += (which.empty() ? "" : ", ") + utf8_escaped(names.at(id));
                problem(utf8_escaped(M("builtins").attr("repr")(sheet_value)) + " names " + std::to_string(found.size()) +
                        " sheets (" + which + "): give the path instead");
            } else {
                sheet_id = found.front();
            }
        }
        const PaperQuestion* q = nullptr;
        if (!pyglue::truth(question_value)) {
            problem("no question");
        } else if (!(q = question_named(paper, utf8_escaped(question_value)))) {
            std::string ids;
            for (const auto& pq : paper.questions) ids += (ids.empty() ? "" : ", ") + pq.id;
            problem("no question " + utf8_escaped(M("builtins").attr("repr")(question_value)) + " on the paper (it has " +
                    ids + ")");
        }
        std::optional<double> mark;
        if (!pyglue::truth(mark_value)) {
            problem("no mark (leave out the answers you did not mark)");
        } else if (!(mark = parse_mark(utf8_escaped(mark_value)))) {
            problem("the mark " + utf8_escaped(M("builtins").attr("repr")(mark_value)) + " is not a number");
        } else if (q && (*mark < 0 || *mark > q->max_marks + calib::kSameMark)) {
            problem("the mark " + utf8_escaped(mark_value) + " is outside 0.." + utf8_escaped(marks_text(q->max_marks)) + " of " +
                    q->id);
        }
        if (out.problems.size() != before) continue;
        // The teacher may mark an answer the parse did not find (written where
        // it did not look); a sheet not read has nothing to set a mark on.
        if (!read.at(sheet_id)) {
            problem(utf8_escaped(names.at(sheet_id)) + " was not read, so " + q->id +
                    " has no answer to mark yet (mark the sheet first)");
            continue;
        }
        auto [at, fresh] = seen.emplace(std::make_pair(sheet_id, q->id), line);
        if (!fresh) {
            problem(q->id + " of " + utf8_escaped(names.at(sheet_id)) + " is on line " + std::to_string(at->second) +
                    " too");
            continue;
        }
        out.rows.push_back({line, sheet_id, q, *mark});
    }
    if (out.rows.empty() && out.problems.empty()) {
        out.problems.push_back({0, "it has no marks, only the header"});
    }
    return out;
}

py::object reviewer_of(const py::object& given) {
    if (!given.is_none()) return given;
    try {
        return M("getpass").attr("getuser")();
    } catch (py::error_already_set&) {
        pyglue::caught();
        return py::str("teacher");
    }
}

int import_marks(const Session& s, const OutputsContext& ctx, core::ResultsStore& store, const ClassPaper& paper,
                 const py::object& file, const py::object& reviewer_given, bool quiet) {
    const auto sheets = store.sheets();
    const auto names = display_names(sheets);
    Import in = read_teacher_marks(file, paper, sheets, names);
    if (!in.problems.empty()) {
        std::stable_sort(in.problems.begin(), in.problems.end(),
                         [](const Problem& a, const Problem& b) { return a.line < b.line; });
        s.complain(pyglue::cat("quorvan agreement: ", file, " refused, nothing stored:"));
        for (const auto& p : in.problems) {
            s.complain(py::str(p.line > 0 ? "  line " + std::to_string(p.line) + ": " + p.text : "  " + p.text));
        }
        return 2;
    }
    const std::string reviewer = utf8_escaped(reviewer_of(reviewer_given));
    // In paper order per sheet, sheets in class order.
    std::map<std::int64_t, std::vector<const Row*>> by_sheet;
    for (const auto& r : in.rows) by_sheet[r.sheet_id].push_back(&r);
    std::vector<std::int64_t> changed;
    std::vector<py::str> lines;
    std::size_t stored = 0, stood = 0;
    for (const auto& sheet : sheets) {
        auto found = by_sheet.find(sheet.id);
        if (found == by_sheet.end()) continue;
        auto rows = found->second;
        std::stable_sort(rows.begin(), rows.end(), [&](const Row* a, const Row* b) {
            return a->question - paper.questions.data() < b->question - paper.questions.data();
        });
        const auto decisions = store.decisions(sheet.id);
        std::map<std::string, const core::AnswerRecord*> answers;
        const auto records = store.answers(sheet.id);
        for (const auto& a : records) answers[a.q_id] = &a;
        std::vector<core::Change> changes;
        py::list shown;
        for (const Row* r : rows) {
            auto d = decisions.find(r->question->id);
            if (d != decisions.end() && d->second.awarded && std::fabs(*d->second.awarded - r->mark) <= calib::kSameMark) {
                ++stood;  // imported before: the same mark needs no second event
                continue;
            }
            changes.push_back({r->question->id, "awarded", utf8_escaped(M("json").attr("dumps")(py::float_(r->mark)))});
            py::str entry = pyglue::cat(r->question->q_id, " ", marks_text(r->mark));
            auto a = answers.find(r->question->id);
            if (a != answers.end() && model_marked(*a->second, r->question)) {
                entry = pyglue::cat(entry, " (model ", marks_text(*a->second->awarded), ")");
            }
            shown.append(entry);
        }
        if (changes.empty()) continue;
        store.record_changes(sheet.id, changes, reviewer, true);
        stored += changes.size();
        changed.push_back(sheet.id);
        lines.push_back(pyglue::cat("  ", names.at(sheet.id), ": ", py::str(", ").attr("join")(shown)));
    }
    write_outputs(ctx, changed);

    auto tell = [&](py::handle line) { quiet ? s.complain(line) : s.say(line); };
    if (stored == 0) {
        tell(pyglue::cat("Nothing new stored: the ", py::int_(stood), " marks in ", file,
                         " stand already as the teacher's."));
    } else {
        tell(pyglue::cat("Stored ", py::int_(stored), " teacher's mark", stored == 1 ? "" : "s", " on ",
                         py::int_(changed.size()), " sheet", changed.size() == 1 ? "" : "s", " (reviewer ",
                         py::str(reviewer), "):"));
        for (const auto& l : lines) tell(l);
        if (stood > 0) tell(pyglue::cat(py::int_(stood), " more stood already and were left as they are."));
    }
    return 0;
}

}  // namespace

void add_agreement_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "agreement", py::arg("help") = "compare the model's marks with a teacher's",
        py::arg("description") =
            "Report how closely the model's marks agree with a teacher's on the answers both marked: exact "
            "agreement, within one mark, mean difference and quadratic weighted kappa, overall and per question. "
            "With --teacher-marks, first store the teacher's marks from a CSV file (columns sheet,question,mark) "
            "as the teacher's decisions.");
    p.attr("add_argument")("outdir", py::arg("metavar") = "OUTDIR",
                           py::arg("help") = "results folder written by quorvan mark");
    p.attr("add_argument")("--teacher-marks", py::arg("metavar") = "MARKS.csv", py::arg("dest") = "teacher_marks",
                           py::arg("help") = "CSV with the columns sheet (file name, path or student id), "
                                             "question and mark: stored as the teacher's marks");
    p.attr("add_argument")("--reviewer", py::arg("help") = "who the imported marks are from (default: your user name)");
    p.attr("add_argument")("--json", py::arg("action") = "store_true",
                           py::arg("help") = "print the figures as one JSON object");
}

AgreementOptions agreement_options(py::object args) {
    AgreementOptions o;
    o.outdir = args.attr("outdir");
    o.teacher_marks = args.attr("teacher_marks");
    o.reviewer = args.attr("reviewer");
    o.json = pyglue::truth(args.attr("json"));
    return o;
}

int run_agreement(const AgreementOptions& o, py::object parser) {
    Session s(parser);
    const py::object& outdir = o.outdir;
    // Opening a store creates one: a mistyped folder must not become an empty results folder.
    if (!app::is_file(app::join(outdir, "marking.db"))) {
        s.usage_error(utf8_escaped(outdir) + " is not a results folder of quorvan mark (it has no marking.db)");
    }
    std::unique_ptr<ResultsFolder> folder;
    try {
        // Comparing only reads: a store that cannot be written is compared as it stands.
        folder = open_results_folder(outdir, o.teacher_marks.is_none());
    } catch (const std::runtime_error& e) {
        s.usage_error(e.what());
    }
    try {
        OutputsContext& ctx = folder->view;
        core::ResultsStore& store = *folder->store;
        const ClassPaper& paper = *folder->paper;
        const bool json = o.json;
        if (!o.teacher_marks.is_none()) {
            const int status = import_marks(s, ctx, store, paper, o.teacher_marks, o.reviewer, json);
            if (status != 0) return status;
        }
        py::dict report = agreement_report(store, paper);
        if (json) {
            py::dict shown;
            shown["overall"] = report["overall"];
            shown["questions"] = report["questions"];
            s.say(M("json").attr("dumps")(shown, py::arg("ensure_ascii") = false));
        } else {
            if (!o.teacher_marks.is_none()) s.say(py::str(""));
            print_report(s, report);
        }
        return 0;
    } catch (const core::StoreError& e) {
        s.complain(py::str(std::string("quorvan agreement: ") + e.what()));
        return 1;
    }
}

}  // namespace quorvan::cli
