// The class file and the per-sheet reports, written from the results store.
#include "class_view.hpp"
#include "app/files.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

#include "class_run.hpp"
#include "csv.hpp"
#include "decisions.hpp"

namespace quorvan::cli {

namespace {

py::str canonical(py::handle data) {
    return M("json").attr("dumps")(data, py::arg("sort_keys") = true, py::arg("ensure_ascii") = false,
                                   py::arg("separators") = py::make_tuple(",", ":"));
}

// The question as its marking sees it: a change to any of these marks its
// answers again.
py::dict question_entry(const py::object& question) {
    py::dict entry;
    entry["q_id"] = question.attr("q_id");
    entry["question_text"] = question.attr("text");
    entry["max_marks"] = py::float_(py::cast<double>(question.attr("max_marks")));
    py::list criteria;
    py::object rubric = question.attr("rubric");
    if (pyglue::truth(rubric)) {
        for (py::handle c : py::object(rubric.attr("criteria"))) {
            py::dict criterion;
            criterion["statement"] = c.attr("statement");
            criterion["mark"] = py::float_(py::cast<double>(c.attr("mark")));
            criteria.append(criterion);
        }
    }
    entry["criteria"] = criteria;
    py::object reference = question.attr("reference_answer");
    entry["reference_answer"] = pyglue::truth(reference) ? reference : py::str("");
    return entry;
}

// A mark as the class file shows it: sums of criteria such as 0.1 + 0.2 come
// out as 0.3, not 0.30000000000000004.
py::object number(double value) { return py::float_(std::round(value * 100.0) / 100.0); }

py::str format_marks(double value) { return M("builtins").attr("format")(py::float_(value), "g"); }

}  // namespace

std::map<std::int64_t, py::object> display_names(const std::vector<core::SheetRecord>& sheets) {
    std::map<std::string, int> seen;
    std::vector<std::string> bases;
    for (const auto& s : sheets) {
        bases.push_back(s.path_given.substr(s.path_given.rfind('/') + 1));
        ++seen[bases.back()];
    }
    std::map<std::int64_t, py::object> names;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        names[sheets[i].id] = py::str(seen[bases[i]] > 1 ? sheets[i].path_given : bases[i]);
    }
    return names;
}

const PaperQuestion* ClassPaper::find(const std::string& id) const {
    for (const auto& q : questions) {
        if (q.id == id) return &q;
    }
    return nullptr;
}

ClassPaper describe_paper(py::object paper) {
    ClassPaper p;
    p.paper = paper;
    py::list entries, ids;
    for (py::handle q_id : py::object(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        py::dict entry = question_entry(question);
        entries.append(entry);
        ids.append(q_id);
        PaperQuestion q;
        q.q_id = py::reinterpret_borrow<py::object>(q_id);
        q.question = question;
        q.id = utf8(q_id);
        q.fingerprint = core::sha256_hex(utf8(canonical(entry)));
        q.max_marks = py::cast<double>(question.attr("max_marks"));
        q.key.fingerprint = q.fingerprint;
        q.key.max_marks = q.max_marks;
        for (py::handle c : py::list(entry["criteria"])) q.key.criterion_marks.push_back(py::cast<double>(c["mark"]));
        p.questions.push_back(std::move(q));
    }
    py::dict data;
    data["subject"] = paper.attr("subject");
    data["language"] = paper.attr("language");
    data["class_level"] = paper.attr("class_level");
    data["questions"] = entries;
    p.canonical_json = utf8(canonical(data));
    p.fingerprint = core::sha256_hex(p.canonical_json);
    p.parse_key = core::sha256_hex(utf8(canonical(ids)));
    return p;
}

Standing assess(const ClassPaper& paper, const core::SheetRecord& sheet,
                const std::vector<core::AnswerRecord>& answers,
                const std::map<std::string, core::Decision>& decisions) {
    Standing st;
    st.total = number(0);
    if (sheet.status == "failed" || !sheet.parsed) {
        st.status = sheet.status == "failed" ? "failed" : "pending";
        st.cells.assign(paper.questions.size(), py::str(""));
        st.total = py::str("");
        return st;
    }
    const bool same_questions = sheet.parse_key == paper.parse_key;
    double total = 0;
    for (const auto& q : paper.questions) {
        core::Reviewed r = core::review_of(core::answer_for(answers, q.id), core::decision_for(decisions, q.id), q.key);
        if (r.state == "not_answered" && !same_questions) {
            r.state = "unmarked";
            r.why = "the sheet was read against other questions";
        }
        if (r.state == "marked") {
            st.cells.push_back(number(*r.awarded));
            total += *r.awarded;
        } else if (r.state == "not_answered") {
            st.cells.push_back(number(0));
        } else {
            st.cells.push_back(py::str(""));
            st.unmarked.push_back(q.id + " not marked: " + r.why);
        }
        st.answers.push_back(std::move(r));
    }
    st.total = number(total);
    st.status = st.unmarked.empty() ? "marked" : "incomplete";
    return st;
}

std::string shown_feedback(const core::Reviewed& r) {
    if (!r.mark_typed) return r.feedback;
    return r.feedback.empty() ? "Mark set by the teacher." : "Mark set by the teacher. " + r.feedback;
}

py::object sheet_records(const ClassPaper& paper, const std::vector<core::AnswerRecord>& answers,
                         const std::map<std::string, core::Decision>* decisions) {
    py::object p = paper.paper;
    py::object sheet = M("Answersheet")(py::arg("subject") = p.attr("subject"),
                                        py::arg("language") = p.attr("language"),
                                        py::arg("class_level") = p.attr("class_level"));
    std::vector<const core::AnswerRecord*> order;
    for (const auto& a : answers) order.push_back(&a);
    // An answer the teacher marked where the parse found none.
    std::vector<core::AnswerRecord> unfound;
    if (decisions) {
        for (const auto& q : paper.questions) {
            const core::Decision* d = core::decision_for(*decisions, q.id);
            if (d && d->awarded && !core::answer_for(answers, q.id)) unfound.push_back(core::AnswerRecord{q.id});
        }
        for (const auto& a : unfound) order.push_back(&a);
    }
    for (const core::AnswerRecord* a : order) {
        const PaperQuestion* q = paper.find(a->q_id);
        const core::Decision* d = decisions ? core::decision_for(*decisions, a->q_id) : nullptr;
        core::QuestionKey loose;
        const core::Reviewed r = core::review_of(a, d, q ? q->key : loose);
        if (r.state == "not_answered") continue;
        py::list pages;
        for (int page : a->pages) pages.append(page);
        py::object answer = M("Answer")(py::arg("q_id") = py::str(a->q_id), py::arg("text") = py::str(a->text),
                                        py::arg("pages") = pages);
        const bool counts = q && r.state == "marked";
        if (counts && pyglue::truth(q->question.attr("rubric"))) {
            py::object rubric = M("copy").attr("deepcopy")(q->question.attr("rubric"));
            std::set<int> met(r.criteria_met.begin(), r.criteria_met.end());
            int position = 0;
            for (py::handle c : py::object(rubric.attr("criteria"))) c.attr("set_fulfill")(py::bool_(met.count(position++) > 0));
            answer.attr("set_eval_rubric")(rubric);
            answer.attr("set_feedback")(py::str(shown_feedback(r)));
        }
        if (counts && decisions) {
            py::dict result;
            result["awarded_marks"] = number(*r.awarded);
            result["total_marks"] = py::float_(q->max_marks);
            result["feedback"] = py::str(shown_feedback(r));
            answer.attr("evaluation_result") = result;
            answer.attr("marked_by") = py::str(r.teacher_marked ? "teacher" : "model");
        }
        sheet.attr("add_answer")(py::str(a->q_id), answer);
    }
    return sheet;
}

py::object ClassView::csv_path() const { return app::join(outdir, "class_results.csv"); }

bool ClassView::has_identities() const {
    for (const auto& sheet : store->sheets()) {
        if (!sheet.identity.empty()) return true;
    }
    return false;
}

py::list ClassView::header() const {
    py::list h;
    h.append("file");
    if (has_identities()) {
        h.append("student_id");
        h.append("name");
    }
    for (const auto& q : paper->questions) h.append(pyglue::cat(q.q_id, " (", format_marks(q.max_marks), ")"));
    for (const char* name : {"total", "maximum", "percentage", "warnings", "status"}) h.append(name);
    return h;
}

py::list ClassView::row_of(const core::SheetRecord& sheet) const {
    const auto answers = store->answers(sheet.id);
    const auto decisions = store->decisions(sheet.id);
    const Standing st = assess(*paper, sheet, answers, decisions);
    py::object maximum = paper->paper.attr("get_total_marks")();
    py::list row;
    for (const auto& cell : st.cells) row.append(cell);
    row.append(st.total);
    row.append(maximum);
    row.append(PyUnicode_Check(st.total.ptr())
                   ? py::str("")
                   : py::str(core::percent(py::cast<double>(st.total), py::cast<double>(maximum))));
    py::list notes;
    if (st.status == "failed") notes.append(py::str(sheet.failure));
    if (st.status == "pending") notes.append(py::str("not marked yet"));
    for (const auto& u : st.unmarked) notes.append(py::str(u));
    if (auto r = refused_.find(sheet.id); r != refused_.end()) {
        for (const auto& why : r->second) notes.append(py::str(why));
    }
    // What a person should look at before trusting the marks.
    for (const auto& flag : sheet.flags) notes.append(py::str(flag.note));
    for (const auto& a : answers) {
        for (const auto& flag : a.flags) notes.append(py::str(flag.note));
    }
    if (st.status == "marked" || st.status == "incomplete") {
        py::object records = sheet_records(*paper, answers, &decisions);
        py::dict validation = pipeline.attr("validate_processing")(records, paper->paper);
        for (py::handle w : validation["issues"]) notes.append(w);
        // A short answer on pages read from their own text is what the
        // student typed, not a misreading.
        std::set<int> typed;
        for (const auto& p : store->page_reading(sheet.id)) {
            if (p.method == "text") typed.insert(p.page);
        }
        std::set<std::string> typed_answers;
        for (const auto& a : answers) {
            if (!a.pages.empty() && std::all_of(a.pages.begin(), a.pages.end(), [&](int p) { return typed.count(p) > 0; })) {
                typed_answers.insert("Answer for " + a.q_id + " is very short (possible OCR issue)");
            }
        }
        for (py::handle w : validation["warnings"]) {
            if (!typed_answers.count(utf8(py::str(w)))) notes.append(w);
        }
    }
    row.append(py::str("; ").attr("join")(notes));
    row.append(py::str(st.status));
    return row;
}

std::vector<py::list> ClassView::table() const {
    std::vector<py::list> rows;
    rows.push_back(header());
    const auto sheets = store->sheets();
    const auto names = display_names(sheets);
    const bool identities = has_identities();
    for (const auto& sheet : sheets) {
        auto cached = rows_.find(sheet.id);
        if (cached == rows_.end()) cached = rows_.emplace(sheet.id, row_of(sheet)).first;
        py::list row;
        row.append(names.at(sheet.id));
        if (identities) {
            row.append(py::str(sheet.identity.student_id));
            row.append(py::str(sheet.identity.name));
        }
        for (py::handle cell : cached->second) row.append(cell);
        rows.push_back(row);
    }
    return rows;
}

// A results folder from before the store kept a record of its files holds
// class files and reports of ours that no record names: recognised by their
// form (the class file's header, a report's opening line or its records), so
// such a folder keeps working, while anything else of that name stays.
static bool written_before_the_store(const py::object& path, const std::string& name, std::int64_t size) {
    auto ends_with = [&](const char* tail) {
        const std::string t(tail);
        return name.size() > t.size() && name.compare(name.size() - t.size(), t.size(), t) == 0;
    };
    if (size > (8 << 20)) return false;
    try {
        // Line ends as text mode reads them: CRLF and CR as LF.
        std::string bytes = app::read_bytes(path);
        std::string::size_type at = 0;
        while ((at = bytes.find('\r', at)) != std::string::npos) {
            bytes.replace(at, at + 1 < bytes.size() && bytes[at + 1] == '\n' ? 2 : 1, "\n");
            ++at;
        }
        py::object text = utf8_sig_text(bytes, "replace");
        if (name == "class_results.csv") return pyglue::truth(text.attr("startswith")("file,"));
        if (ends_with(".txt")) return pyglue::truth(text.attr("startswith")("PROCESSED STUDENT ANSWERSHEET\n"));
        if (ends_with(".json")) {
            py::object records = M("json").attr("loads")(text);
            if (!PyList_Check(records.ptr()) || py::len(records) == 0) return false;
            for (py::handle r : records) {
                if (!PyDict_Check(r.ptr()) || !r.contains(py::str("qid"))) return false;
            }
            return true;
        }
    } catch (py::error_already_set&) {
        pyglue::caught();
    }
    return false;
}

// The rule for replacing a file in the results folder: nothing there yet, or
// a regular file (not a symlink, not the paper) whose size and SHA-256 are
// what the store recorded when it last wrote that name. A teacher's own file
// of that name, a link planted there, or a report edited by hand since, stay
// as they are. Renames replace a name without following a link at it.
std::string ClassView::not_ours(const std::string& name) const {
    py::object path = app::join(outdir, name);
    const app::Entry entry = app::look(path, false);
    if (entry.error == ENOENT) return "";
    if (entry.error) app::raise_os_error(entry.error, path);
    if (entry.kind == app::Kind::link) return "it is a symbolic link";
    if (entry.kind == app::Kind::folder) return "it is a folder";
    if (entry.kind != app::Kind::file) return "it is not a regular file";
    if (paper_path && !paper_path.is_none() && app::exists(paper_path) && app::same_file(path, paper_path)) {
        return "it is the question paper";
    }
    const std::int64_t size = entry.size;
    const auto records = store->written(name);
    if (records.empty() && written_before_the_store(path, name, size)) return "";
    std::string sha;
    for (const auto& recorded : records) {
        if (recorded.size != size) continue;
        if (sha.empty()) {
            const std::string file = app::native(path).native();
            py::gil_scoped_release unlocked;
            sha = core::sha256_file(file);
        }
        if (sha == recorded.sha256) return "";
    }
    return "it is a file quorvan mark did not write (or one changed since)";
}

// `write` fills a new file of ours (O_EXCL: never one planted there) beside
// the target; it is recorded in the store, then renamed over `name`.
void ClassView::replace_file(const std::string& name, const std::function<void(py::object)>& write) const {
    py::object path = app::join(outdir, name);
    py::object partial = app::new_file_beside(path, ".partial");
    try {
        write(partial);
        core::ResultsStore::WrittenFile file;
        const app::Entry written = app::look(partial, false);
        if (written.error) app::raise_os_error(written.error, partial);
        file.size = written.size;
        const std::string p = app::native(partial).native();
        {
            py::gil_scoped_release unlocked;
            file.sha256 = core::sha256_file(p);
        }
        store->record_written(name, file);
        app::replace(partial, path);
    } catch (...) {
        // The file half written goes; the error that made it useless stays.
        ::unlink(app::native(partial).c_str());
        throw;
    }
}

void ClassView::write_class_file() const {
    const std::string name = "class_results.csv";
    if (const std::string why = not_ours(name); !why.empty()) {
        pyglue::raise_new(PyExc_OSError, pyglue::cat("cannot write ", csv_path(), ": ", py::str(why),
                                                     "; it is left as it is"));
    }
    // The byte order mark makes spreadsheet programs read the file as UTF-8.
    std::string csv = "\xef\xbb\xbf";
    for (const auto& row : table()) {
        std::vector<std::string> cells;
        for (py::handle cell : row) cells.push_back(spreadsheet_safe(csv_cell(cell)));
        csv += core::csv_record(cells);
    }
    const py::str text(csv);
    replace_file(name, [&](py::object partial) { app::write_text_atomic(partial, text, false); });
}

std::vector<std::string> ClassView::refused(std::int64_t sheet_id) const {
    auto r = refused_.find(sheet_id);
    return r == refused_.end() ? std::vector<std::string>{} : r->second;
}

void ClassView::write_reports(const core::SheetRecord& sheet) const {
    refused_.erase(sheet.id);
    if (!sheet.parsed) return;
    const auto decisions = store->decisions(sheet.id);
    py::object records = sheet_records(*paper, store->answers(sheet.id), &decisions);
    for (const auto& format : formats) {
        const std::string name = sheet.report_name + "." + format;
        if (const std::string why = not_ours(name); !why.empty()) {
            refused_[sheet.id].push_back("report " + name + " not written: " + why);
            continue;
        }
        replace_file(name, [&](py::object partial) {
            if (format != "json") {
                // The pipeline says where it saved: a temporary name, and no
                // line for a command's output (the store records the file).
                py::object quiet = M("contextlib").attr("redirect_stdout")(M("io").attr("StringIO")());
                quiet.attr("__enter__")();
                try {
                    pipeline.attr("save_to_file")(records, paper->paper, partial, py::str(format));
                } catch (...) {
                    quiet.attr("__exit__")(py::none(), py::none(), py::none());
                    throw;
                }
                quiet.attr("__exit__")(py::none(), py::none(), py::none());
                return;
            }
            // The pipeline's records count the ticks; a mark the teacher set
            // apart from them is the one that stands.
            py::list data = pipeline.attr("get_answersheet_format")(records, paper->paper);
            for (py::handle record : data) {
                py::object q_id = record["qid"];
                py::object marked_by = py::str("");
                if (pyglue::truth(records.attr("get_question_ids")().attr("__contains__")(q_id))) {
                    py::object answer = records.attr("get_answer")(q_id);
                    py::object result = py::getattr(answer, "evaluation_result", py::none());
                    if (!result.is_none()) {
                        record["obtained_marks"] = result["awarded_marks"];
                        record["feedback"] = result["feedback"];
                        marked_by = answer.attr("marked_by");
                    }
                }
                record["marked_by"] = marked_by;
            }
            app::write_text_atomic(partial, M("json").attr("dumps")(data, py::arg("indent") = 4,
                                                                    py::arg("ensure_ascii") = false));
        });
    }
}

py::str describe_failure(py::handle error, const char* step) {
    py::object openai = M("openai");
    py::object answer_error = py::getattr(M("llm_service_module"), "ModelAnswerError", py::none());
    py::object too_large = py::getattr(M("llm_service_module"), "PromptTooLargeError", py::none());
    py::object e = py::reinterpret_borrow<py::object>(error);
    std::set<PyObject*> seen;
    while (e && !e.is_none() && seen.insert(e.ptr()).second) {
        py::object tries = py::getattr(e, "tries", py::none());
        py::str after = py::str("");
        if (!tries.is_none() && py::cast<long long>(tries) > 1) after = pyglue::cat(" after ", tries, " tries");
        if (py::isinstance(e, openai.attr("APIStatusError"))) {
            const long status = py::cast<long>(e.attr("status_code"));
            const char* what = status == 429 ? "rate limited" : status >= 500 ? "server error"
                               : status == 408                 ? "request timed out"
                                                               : "refused by the model service";
            return pyglue::cat(step, what, " (", py::int_(status), ")", after);
        }
        // Its text is the short cause already ("the model refused: ...").
        if (!answer_error.is_none() && py::isinstance(e, answer_error)) return pyglue::cat(step, e, after);
        if (!too_large.is_none() && py::isinstance(e, too_large)) return pyglue::cat(step, e);
        if (py::isinstance(e, openai.attr("APITimeoutError"))) return pyglue::cat(step, "timed out", after);
        if (py::isinstance(e, openai.attr("APIConnectionError"))) return pyglue::cat(step, "connection failed", after);
        py::object next = py::getattr(e, "__cause__", py::none());
        if (next.is_none()) next = py::getattr(e, "__context__", py::none());
        e = next;
    }
    // A model service's error text that lost its type on the way (wrapped into
    // another exception's message) is summarised too: the server's body is no
    // cause a teacher can act on, and it may echo what was sent.
    py::str text = pyglue::str(error);
    py::object found = M("re").attr("search")(R"(Error code: (\d{3}) - )", text);
    if (!found.is_none()) {
        const long status = py::cast<long>(M("int")(found.attr("group")(1)));
        return pyglue::cat(step, status == 429 ? "rate limited" : status >= 500 ? "server error"
                                                                                  : "refused by the model service",
                           " (", py::int_(status), ")");
    }
    return text;
}

std::string spreadsheet_safe(std::string cell) {
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos) {
        cell.insert(0, 1, '\'');
    }
    return cell;
}

std::string csv_cell(py::handle cell) {
    if (cell.is_none()) return "";
    // A number is written as str() writes it; text that cannot be UTF-8 fails
    // as writing it to a file would.
    py::str text = pyglue::str(cell);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace quorvan::cli
