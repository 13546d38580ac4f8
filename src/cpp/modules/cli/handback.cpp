// The class report and the hand-back PDFs, written from the results store.
#include "handback.hpp"
#include "app/files.hpp"

#include <algorithm>
#include <ctime>
#include <functional>
#include <set>

#include "class_report.hpp"
#include "decisions.hpp"
#include "handback_pdf.hpp"

namespace quorvan::cli {

namespace {

py::object join(const py::object& a, const std::string& b) { return app::join(a, b); }

void complain(const std::string& line) {
    M("builtins").attr("print")(py::str(line), py::arg("file") = M("sys").attr("stderr"), py::arg("flush") = true);
}

std::string title_of(const ClassPaper& paper) {
    std::string subject = utf8(paper.paper.attr("subject"));
    std::string level = utf8(paper.paper.attr("class_level"));
    if (subject.empty()) return level;
    return level.empty() ? subject : subject + ", " + level;
}

std::vector<core::ReportCriterion> criteria_of(const PaperQuestion& q) {
    std::vector<core::ReportCriterion> out;
    py::object rubric = q.question.attr("rubric");
    if (!pyglue::truth(rubric)) return out;
    for (py::handle c : py::object(rubric.attr("criteria"))) {
        out.push_back({utf8(c.attr("statement")), py::cast<double>(c.attr("mark"))});
    }
    return out;
}

// One sheet against the paper, each answer as the teacher's decisions leave it.
struct Reviewed {
    core::ReportSheet sheet;
    std::vector<core::Reviewed> answers;  // per question; empty when the sheet was not read
};

Reviewed review_sheet(const ClassView& view, const core::SheetRecord& rec, const std::string& name) {
    const ClassPaper& paper = *view.paper;
    const auto answers = view.store->answers(rec.id);
    const Standing st = assess(paper, rec, answers, view.store->decisions(rec.id));
    Reviewed r;
    r.sheet.name = name;
    r.sheet.status = st.status;
    const std::size_t n = paper.questions.size();
    r.sheet.awarded.assign(n, std::nullopt);
    r.sheet.criteria_met.assign(n, {});
    r.sheet.teacher_set.assign(n, false);
    if (rec.status == "failed") r.sheet.notes.push_back(rec.failure);
    if (st.status == "pending") r.sheet.notes.push_back("not marked yet");
    if (st.status == "failed" || st.status == "pending") return r;
    for (std::size_t i = 0; i < n; ++i) {
        const core::Reviewed& a = st.answers[i];
        if (a.state == "marked") {
            r.sheet.awarded[i] = a.awarded;
            r.sheet.criteria_met[i] = a.criteria_met;
            r.sheet.teacher_set[i] = a.mark_typed;
        } else if (a.state == "not_answered") {
            r.sheet.awarded[i] = 0.0;
        }
    }
    for (const auto& u : st.unmarked) r.sheet.notes.push_back(u);
    for (const auto& flag : rec.flags) r.sheet.notes.push_back(flag.note);
    for (const auto& a : answers) {
        for (const auto& flag : a.flags) r.sheet.notes.push_back(flag.note);
    }
    r.answers = st.answers;
    return r;
}

std::string now_utc() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

// A new file of ours next to `target`, filled by `write`, recorded in the
// store under `name`, renamed over it.
void replace_file(const ClassView& view, const std::string& name, const std::function<void(const std::string&)>& write) {
    view.replace_file(name, [&](py::object partial) { write(utf8(partial)); });
}

// Characters no file name should hold on any system a teacher copies to.
std::string safe_file_name(const std::string& wanted) {
    std::string out;
    for (unsigned char c : wanted) {
        if (c < 0x20 || c == 0x7f || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
            out += '_';
        } else {
            out += static_cast<char>(c);
        }
    }
    // No hidden files, no names ending in a space or dot (Windows drops them).
    const auto first = out.find_first_not_of(" .");
    out = first == std::string::npos ? "" : out.substr(first);
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    // Room for "-NN.pdf" within the usual 255-byte limit; cut between characters.
    if (out.size() > 150) {
        std::size_t cut = 150;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::string folded(const std::string& s) { return utf8(py::str(s).attr("casefold")()); }

}  // namespace

std::map<std::int64_t, std::string> handback_names(const std::vector<core::SheetRecord>& sheets) {
    std::map<std::int64_t, std::string> names;
    std::set<std::string> taken;  // compared without case: one file on some file systems
    for (const auto& s : sheets) {
        std::string wanted = safe_file_name(!s.identity.name.empty() ? s.identity.name : s.identity.student_id);
        if (wanted.empty()) wanted = safe_file_name(s.report_name);
        if (wanted.empty()) wanted = "sheet-" + std::to_string(s.id);
        std::string name = wanted;
        for (int n = 2; taken.count(folded(name)); ++n) name = wanted + "-" + std::to_string(n);
        taken.insert(folded(name));
        names[s.id] = "feedback/" + name + ".pdf";
    }
    return names;
}

void write_class_report(const ClassView& view) {
    const std::string name = "class_report.html";
    if (const std::string why = view.not_ours(name); !why.empty()) {
        complain("quorvan: " + utf8(join(view.outdir, name)) + " not written: " + why + "; it is left as it is");
        return;
    }
    const ClassPaper& paper = *view.paper;
    core::ClassReport report;
    report.title = title_of(paper);
    report.generated_at = now_utc();
    for (const auto& q : paper.questions) report.questions.push_back({q.id, q.max_marks, criteria_of(q)});
    const auto sheets = view.store->sheets();
    const auto names = display_names(sheets);
    std::set<std::string> models;
    auto count = [&](const core::CallUsage& u) {
        if (!u.model.empty()) models.insert(u.model);
        report.usage.input_tokens += u.input_tokens;
        report.usage.output_tokens += u.output_tokens;
        report.usage.cost += u.cost;
        report.usage.calls += u.calls;
    };
    for (const auto& rec : sheets) {
        std::string shown = utf8(names.at(rec.id));
        if (!rec.identity.name.empty()) shown = rec.identity.name + " (" + shown + ")";
        report.sheets.push_back(review_sheet(view, rec, shown).sheet);
        count(rec.parse_usage);
        for (const auto& a : view.store->answers(rec.id)) count(a.usage);
    }
    report.usage.models.assign(models.begin(), models.end());
    const std::string html = core::class_report_html(report);
    replace_file(view, name, [&](const std::string& partial) {
        app::write_text_atomic(py::str(partial), py::str(html), false);
    });
}

void write_handbacks(const ClassView& view, const std::vector<std::int64_t>& wanted) {
    py::object folder = join(view.outdir, "feedback");
    const auto sheets = view.store->sheets();
    const ClassPaper& paper = *view.paper;

    // Which sheets stand behind a hand-back now: the marked ones.
    std::map<std::int64_t, Reviewed> marked;
    std::vector<core::SheetRecord> marked_records;
    for (const auto& rec : sheets) {
        Reviewed r = review_sheet(view, rec, "");
        if (r.sheet.status != "marked") continue;
        marked_records.push_back(rec);
        marked.emplace(rec.id, std::move(r));
    }
    const auto names = handback_names(marked_records);

    // The folder must be a folder of its own, not a link to somewhere else.
    const app::Entry entry = app::look(folder, false);
    if (entry.error == ENOENT) {
        if (marked.empty()) return;
        app::make_folder(folder);
    } else if (entry.error) {
        app::raise_os_error(entry.error, folder);
    } else if (entry.kind != app::Kind::folder) {
        complain("quorvan: hand-backs not written: " + utf8(folder) + " is not a folder (a symbolic link or a file)");
        return;
    }

    // Hand-backs of ours that no marked sheet stands behind any more give a
    // student marks that are not theirs: they go.
    std::set<std::string> current;
    for (const auto& [id, n] : names) current.insert(n);
    for (const py::str& name : app::list_folder(folder)) {
        if (!app::utf8_name(name)) continue;  // never a name of ours
        const std::string n = "feedback/" + utf8(name);
        if (n.size() < 4 || n.compare(n.size() - 4, 4, ".pdf") != 0 || current.count(n)) continue;
        if (view.store->written(n).empty() || !view.not_ours(n).empty()) continue;
        app::remove_file(join(view.outdir, n));
    }

    for (std::int64_t id : wanted) {
        auto found = marked.find(id);
        if (found == marked.end()) continue;
        const Reviewed& r = found->second;
        const auto rec = std::find_if(marked_records.begin(), marked_records.end(), [&](const auto& s) { return s.id == id; });
        core::Handback h;
        h.title = title_of(paper);
        h.student_name = !rec->identity.name.empty() ? rec->identity.name : rec->report_name;
        h.student_id = rec->identity.student_id;
        for (std::size_t i = 0; i < paper.questions.size(); ++i) {
            const PaperQuestion& q = paper.questions[i];
            const core::Reviewed& a = r.answers[i];
            core::HandbackQuestion hq;
            hq.q_id = q.id;
            hq.text = utf8(q.question.attr("text"));
            hq.max_marks = q.max_marks;
            hq.awarded = r.sheet.awarded[i];
            h.maximum += q.max_marks;
            h.total += r.sheet.awarded[i].value_or(0);
            if (a.state == "not_answered") {
                hq.note = "Not answered.";
            } else {
                const auto criteria = criteria_of(q);
                const auto& met = a.criteria_met;
                for (std::size_t c = 0; c < criteria.size(); ++c) {
                    const bool is_met = std::find(met.begin(), met.end(), static_cast<int>(c)) != met.end();
                    hq.criteria.push_back({criteria[c].statement, criteria[c].mark, is_met});
                }
                if (a.mark_typed) {
                    hq.note = "Mark set by the teacher.";
                    hq.criteria_by_model = !a.criteria_by_teacher;
                    // The model's ticks of an answer it did not see is nothing to show.
                    if (!a.answered && !a.criteria_by_teacher) hq.criteria.clear();
                }
                hq.feedback = a.feedback;
            }
            h.questions.push_back(std::move(hq));
        }
        const std::string& name = names.at(id);
        if (const std::string why = view.not_ours(name); !why.empty()) {
            complain("quorvan: " + utf8(join(view.outdir, name)) + " not written: " + why + "; it is left as it is");
            continue;
        }
        replace_file(view, name, [&](const std::string& partial) {
            py::gil_scoped_release unlocked;
            core::write_handback_pdf(h, partial);
        });
    }
}

}  // namespace quorvan::cli
