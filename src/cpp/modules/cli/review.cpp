// quorvan review: a teacher's page for a marked class, served on 127.0.0.1.
//
// The page is static (HTML, CSS, JavaScript shipped in the package); what it
// shows comes from a small JSON API over the results store, and every change
// the teacher makes is stored as an event before the class file, the reports
// and the hand-back files are written again from the store. Only the one
// browser that was given the address may use it: every request must carry the
// random token, and a Host header other than 127.0.0.1:PORT (a page of another
// site, a DNS name rebound to this machine) is refused.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agreement.hpp"
#include "class_view.hpp"
#include "cli.hpp"
#include "pdf_document.hpp"
#include "png_image.hpp"
#include "review.hpp"

namespace quorvan::cli {

namespace {

// A request the teacher's page (or whoever sent it) got wrong: its status and
// a short message the page shows as it is.
struct Refusal : std::runtime_error {
    int status;
    Refusal(int s, const std::string& message) : std::runtime_error(message), status(s) {}
};

// Compares in time that depends only on the length (the token's length is no secret).
bool same_secret(const std::string& given, const std::string& secret) {
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        diff |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
    }
    return diff == 0;
}

void send_text(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void send_json(httplib::Response& res, int status, const py::object& data) {
    res.status = status;
    // Escaped to ASCII: text stored before it was checked (a lone surrogate)
    // is still sent, as JSON may carry it, instead of failing every time.
    res.set_content(utf8(M("json").attr("dumps")(data, py::arg("ensure_ascii") = true)),
                    "application/json; charset=utf-8");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
    py::dict body;
    body["error"] = py::str(message);
    send_json(res, status, body);
}

py::object opt(const std::optional<double>& v) { return v ? py::object(py::float_(*v)) : py::object(py::none()); }

py::list int_list(const std::vector<int>& v) {
    py::list out;
    for (int i : v) out.append(i);
    return out;
}

py::list flag_list(const std::vector<core::Flag>& flags) {
    py::list out;
    for (const auto& f : flags) {
        py::dict d;
        d["kind"] = py::str(f.kind);
        d["note"] = py::str(f.note);
        out.append(d);
    }
    return out;
}

// A stored change as the page reads it; `with_id` for the changes just made.
py::dict event_json(const core::Event& e, bool with_id) {
    py::dict d;
    if (with_id) d["id"] = py::int_(e.id);
    d["q_id"] = py::str(e.q_id);
    d["field"] = py::str(e.field);
    d["old"] = M("json").attr("loads")(py::str(e.old_value));
    d["new"] = M("json").attr("loads")(py::str(e.new_value));
    d["reviewer"] = py::str(e.reviewer);
    d["at"] = py::str(e.at);
    return d;
}

}  // namespace

// ------------------------------------------------------------------ state

ReviewServer::ReviewServer(std::unique_ptr<ResultsFolder> folder, std::string reviewer, std::string token, py::object page_folder)
    : folder_(std::move(folder)), reviewer_(std::move(reviewer)), token_(std::move(token)) {
    auto read = [&](const char* name) { return app::read_bytes(app::join(page_folder, name)); };
    index_html_ = read("index.html");
    css_ = read("review.css");
    js_ = read("review.js");
    const std::string mark = "{{token}}";
    for (auto at = index_html_.find(mark); at != std::string::npos; at = index_html_.find(mark, at)) {
        index_html_.replace(at, mark.size(), token_);
        at += token_.size();
    }
}

core::ResultsStore& ReviewServer::store() const { return *folder_->store; }
const ClassPaper& ReviewServer::paper() const { return *folder_->paper; }

core::SheetRecord ReviewServer::sheet_of(const py::object& given) const {
    if (!PyLong_Check(given.ptr()) || PyBool_Check(given.ptr())) throw Refusal(400, "'sheet' must be a sheet's id (a number)");
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(given.ptr(), &overflow);
    if (overflow != 0 || id < 0) throw Refusal(400, "'sheet' must be a sheet's id (a number from 1)");
    auto sheet = store().sheet(id);
    if (!sheet) throw Refusal(404, "no sheet with id " + std::to_string(id));
    return *sheet;
}

// The sheet's name as the teacher knows the student: the identity the store
// holds, else the file name as the class file shows it.
py::dict ReviewServer::who(const core::SheetRecord& sheet, const py::object& file_name) const {
    py::dict d;
    d["file"] = file_name;
    d["student_id"] = py::str(sheet.identity.student_id);
    d["name"] = py::str(sheet.identity.empty() ? utf8(file_name)
                        : !sheet.identity.name.empty() ? sheet.identity.name
                                                       : sheet.identity.student_id);
    return d;
}

// Badges of one answer: what a teacher should know before trusting its mark.
static py::list badges(const core::AnswerRecord* a, const core::Reviewed& r) {
    py::list out;
    if (r.stale) out.append("changed_paper");
    if (r.state == "unmarked") out.append("not_marked");
    if (r.overridden) out.append("overridden");
    if (r.approved) out.append("approved");
    if (r.look_again) out.append("look_again");
    if (a) {
        for (const auto& f : a->flags) {
            if (f.kind != "look_again") {
                out.append("suspect");
                break;
            }
        }
    }
    return out;
}

py::dict ReviewServer::class_json() const {
    py::dict out;
    py::list questions;
    double maximum = 0;
    for (const auto& q : paper().questions) {
        py::dict d;
        d["q_id"] = py::str(q.id);
        d["max"] = py::float_(q.max_marks);
        questions.append(d);
        maximum += q.max_marks;
    }
    out["questions"] = questions;
    out["maximum"] = py::float_(maximum);
    out["reviewer"] = py::str(reviewer_);
    out["outdir"] = folder_->view.outdir;
    out["read_only"] = py::bool_(folder_->read_only);
    py::list rows;
    const auto sheets = store().sheets();
    const auto names = display_names(sheets);
    std::size_t answers_n = 0, answers_reviewed = 0, answers_approved = 0, sheets_reviewed = 0, sheets_approved = 0;
    for (const auto& sheet : sheets) {
        const auto answers = store().answers(sheet.id);
        const auto decisions = store().decisions(sheet.id);
        const Standing st = assess(paper(), sheet, answers, decisions);
        py::dict row = who(sheet, names.at(sheet.id));
        row["sheet"] = py::int_(sheet.id);
        row["status"] = py::str(sheet.status);
        row["failure"] = py::str(sheet.failure);
        row["flags"] = flag_list(sheet.flags);
        auto whole = decisions.find("");
        const bool approved = !answers.empty() && core::sheet_approved(answers, decisions);
        row["approved"] = py::bool_(approved);
        row["sheet_decision"] = py::bool_(whole != decisions.end() && whole->second.any());
        py::list cells;
        double total = 0;
        bool complete = sheet.parsed && sheet.status != "failed";
        bool reviewed = whole != decisions.end() && whole->second.any();
        for (std::size_t i = 0; i < paper().questions.size(); ++i) {
            const PaperQuestion& q = paper().questions[i];
            py::dict cell;
            cell["q_id"] = py::str(q.id);
            if (st.answers.empty()) {  // not read: nothing to open
                cell["answered"] = py::bool_(false);
                cell["state"] = py::str("unread");
                cell["awarded"] = py::none();
                cell["badges"] = py::list();
                cells.append(cell);
                complete = false;
                continue;
            }
            const core::Reviewed& r = st.answers[i];
            const core::AnswerRecord* a = core::answer_for(answers, q.id);
            if (r.state == "marked") total += *r.awarded;
            if (r.state == "unmarked") complete = false;
            if (r.answered || r.teacher_marked) ++answers_n;
            if (r.reviewed()) {
                ++answers_reviewed;
                reviewed = true;
            }
            if (r.approved) ++answers_approved;
            cell["answered"] = py::bool_(r.answered);
            cell["state"] = py::str(r.state);
            cell["awarded"] = opt(r.awarded);
            cell["badges"] = badges(a, r);
            cells.append(cell);
        }
        if (reviewed || approved) ++sheets_reviewed;
        if (approved) ++sheets_approved;
        row["cells"] = cells;
        row["total"] = sheet.parsed ? py::object(py::float_(total)) : py::object(py::none());
        row["complete"] = py::bool_(complete);
        rows.append(row);
    }
    out["sheets"] = rows;
    py::dict counts;
    counts["answers"] = py::int_(answers_n);
    counts["answers_reviewed"] = py::int_(answers_reviewed);
    counts["answers_approved"] = py::int_(answers_approved);
    counts["sheets"] = py::int_(sheets.size());
    counts["sheets_reviewed"] = py::int_(sheets_reviewed);
    counts["sheets_approved"] = py::int_(sheets_approved);
    out["counts"] = counts;
    return out;
}

// Pages of the sheet's PDF, for choosing where an answer the parse missed is;
// 0 when it cannot be opened now.
static int sheet_pages(const core::SheetRecord& sheet) {
    try {
        py::gil_scoped_release unlocked;
        return core::PdfDocument::open(sheet.path_resolved, sheet.path_given).page_count();
    } catch (const core::PdfError&) {
        return 0;
    }
}

py::dict ReviewServer::answer_json(const core::SheetRecord& sheet, const std::string& q_id) const {
    const PaperQuestion* q = paper().find(q_id);
    if (!q) throw Refusal(404, "the paper has no question " + q_id);
    if (!sheet.parsed) throw Refusal(404, "the sheet was not read: " + (sheet.failure.empty() ? "not marked yet" : sheet.failure));
    const auto answers = store().answers(sheet.id);
    const core::AnswerRecord none{q_id};
    const core::AnswerRecord* found_answer = core::answer_for(answers, q_id);
    const core::AnswerRecord* a = found_answer ? found_answer : &none;
    const auto decisions = store().decisions(sheet.id);
    const core::Decision* decision = core::decision_for(decisions, q_id);
    const core::Reviewed r = core::review_of(found_answer, decision, q->key);

    const auto sheets = store().sheets();
    py::dict out = who(sheet, display_names(sheets).at(sheet.id));
    out["sheet"] = py::int_(sheet.id);
    out["q_id"] = py::str(q_id);
    out["question"] = q->question.attr("text");
    py::object reference = q->question.attr("reference_answer");
    out["reference_answer"] = pyglue::truth(reference) ? reference : py::str("");
    out["max"] = py::float_(q->max_marks);
    out["text"] = py::str(a->text);
    out["pages"] = int_list(a->pages);
    out["status"] = py::str(r.answered ? a->status : "not_answered");
    out["answered"] = py::bool_(r.answered);
    out["state"] = py::str(r.state);
    out["sheet_pages"] = py::int_(sheet_pages(sheet));
    out["failure"] = py::str(a->failure);
    out["flags"] = flag_list(a->flags);
    out["sheet_flags"] = flag_list(sheet.flags);
    // How the pages shown were read, so a page read badly is looked at as an image.
    py::dict reading;
    for (const auto& p : store().page_reading(sheet.id)) {
        py::dict d;
        d["method"] = py::str(p.method);
        d["reliable"] = py::bool_(p.reliable);
        d["note"] = py::str(p.note);
        reading[py::str(std::to_string(p.page))] = d;
    }
    out["page_reading"] = reading;
    out["badges"] = badges(found_answer, r);

    py::list criteria;
    py::object rubric = q->question.attr("rubric");
    if (pyglue::truth(rubric)) {
        for (py::handle c : py::object(rubric.attr("criteria"))) {
            py::dict d;
            d["statement"] = c.attr("statement");
            d["mark"] = py::float_(py::cast<double>(c.attr("mark")));
            criteria.append(d);
        }
    }
    out["criteria"] = criteria;

    py::dict model;
    model["awarded"] = opt(r.model_awarded);
    model["criteria_met"] = int_list(r.answered ? a->criteria_met : std::vector<int>{});
    model["feedback"] = py::str(r.answered ? a->feedback : std::string());
    out["model"] = model;

    py::dict teacher;
    if (decision) {
        teacher["awarded"] = opt(decision->awarded);
        teacher["criteria_met"] = decision->criteria_met ? py::object(int_list(*decision->criteria_met)) : py::object(py::none());
        teacher["feedback"] = decision->feedback ? py::object(py::str(*decision->feedback)) : py::object(py::none());
        teacher["approved"] = decision->approved ? py::object(py::bool_(*decision->approved)) : py::object(py::none());
        teacher["reviewer"] = py::str(decision->reviewer);
        teacher["at"] = py::str(decision->at);
    }
    out["decision"] = decision && decision->any() ? py::object(teacher) : py::object(py::none());

    py::dict reviewed;
    reviewed["awarded"] = opt(r.awarded);
    reviewed["criteria_met"] = int_list(r.criteria_met);
    reviewed["criteria_by_teacher"] = py::bool_(r.criteria_by_teacher);
    reviewed["mark_by_teacher"] = py::bool_(r.teacher_marked);
    reviewed["mark_typed"] = py::bool_(r.mark_typed);
    reviewed["feedback"] = py::str(r.feedback);
    reviewed["shown_feedback"] = py::str(shown_feedback(r));
    reviewed["overridden"] = py::bool_(r.overridden);
    reviewed["approved"] = py::bool_(r.approved);
    reviewed["look_again"] = py::bool_(r.look_again);
    out["reviewed"] = reviewed;
    out["sheet_approved"] = py::bool_(core::sheet_approved(answers, decisions));

    py::list history;
    for (const auto& e : store().events(sheet.id)) {
        if (e.q_id != q_id && !e.q_id.empty()) continue;
        history.append(event_json(e, false));
    }
    out["history"] = history;
    return out;
}

// ---------------------------------------------------------------- changes

// The changes a request asks for, checked against the paper before anything
// is stored: a mark within 0..maximum, ticks of criteria that exist (the mark
// then follows them), feedback as text, approval as true or false.
std::vector<core::Change> ReviewServer::changes_for(const core::SheetRecord& sheet, const std::string& q_id,
                                                    const std::string& field, const py::object& value) const {
    py::object dumps = M("json").attr("dumps");
    auto json = [&](const py::object& v) { return utf8(dumps(v)); };
    if (q_id.empty()) {
        if (field != "approved") throw Refusal(400, "only 'approved' can be decided for a sheet as a whole");
    } else if (!sheet.parsed) {
        throw Refusal(404, "the sheet was not read: " + (sheet.failure.empty() ? "not marked yet" : sheet.failure));
    }
    const PaperQuestion* q = q_id.empty() ? nullptr : paper().find(q_id);
    if (!q_id.empty() && !q) throw Refusal(404, "the paper has no question " + q_id);
    const bool clear = value.is_none();
    if (field == "awarded") {
        if (clear) return {{q_id, "awarded", "null"}};
        // Typed as the teacher typed it ("2,5" is two and a half), or a number.
        std::optional<double> typed;
        if (PyUnicode_Check(value.ptr())) {
            typed = core::typed_mark(utf8(value), q->max_marks);
        } else if ((PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr())) {
            const double v = py::cast<double>(value);
            if (v >= 0 && v <= q->max_marks) typed = v;
        }
        const double v = typed.value_or(0);
        if (!typed) {
            throw Refusal(400, "the mark for " + q_id + " must be a number from 0 to " +
                                   utf8(M("builtins").attr("format")(py::float_(q->max_marks), "g")) + " (got " +
                                   json(value) + ")");
        }
        return {{q_id, "awarded", json(py::float_(v))}};
    }
    if (field == "criteria_met") {
        // Unticking everything back to the model's ticks leaves its mark too.
        if (clear) return {{q_id, "criteria_met", "null"}, {q_id, "awarded", "null"}};
        py::object rubric = q->question.attr("rubric");
        if (!pyglue::truth(rubric)) throw Refusal(400, q_id + " has no rubric to tick");
        std::vector<double> marks;
        for (py::handle c : py::object(rubric.attr("criteria"))) marks.push_back(py::cast<double>(c.attr("mark")));
        if (!PyList_Check(value.ptr())) throw Refusal(400, "'criteria_met' must be a list of criterion positions");
        std::set<long long> ticked;
        for (py::handle i : value) {
            if (!PyLong_Check(i.ptr()) || PyBool_Check(i.ptr())) {
                throw Refusal(400, "'criteria_met' must be a list of criterion positions");
            }
            const long long p = py::cast<long long>(i);
            if (p < 0 || p >= static_cast<long long>(marks.size())) {
                throw Refusal(400, q_id + " has no criterion " + std::to_string(p) + " (0 to " +
                                       std::to_string(marks.size() - 1) + ")");
            }
            ticked.insert(p);
        }
        double sum = 0;
        py::list positions;
        for (long long p : ticked) {
            sum += marks[p];
            positions.append(p);
        }
        sum = std::min(sum, q->max_marks);
        return {{q_id, "criteria_met", json(positions)}, {q_id, "awarded", json(py::float_(sum))}};
    }
    if (field == "feedback") {
        if (clear) return {{q_id, "feedback", "null"}};
        if (!PyUnicode_Check(value.ptr())) throw Refusal(400, "'feedback' must be text");
        if (py::len(value) > 20000) throw Refusal(400, "the feedback is too long (at most 20000 characters)");
        return {{q_id, "feedback", json(value)}};
    }
    if (field == "approved") {
        if (clear) return {{q_id, "approved", "null"}};
        if (!PyBool_Check(value.ptr())) throw Refusal(400, "'approved' must be true or false");
        return {{q_id, "approved", json(value)}};
    }
    throw Refusal(400, "unknown field '" + field + "' (awarded, criteria_met, feedback or approved)");
}

// Stores the changes as the reviewer's events, then writes every view of the
// sheet again from the store. A view that cannot be written does not undo
// the decision: the page is told why.
py::dict ReviewServer::apply(const core::SheetRecord& sheet, const std::string& q_id,
                             const std::vector<core::Change>& changes, bool undo) {
    py::dict out;
    std::vector<core::Event> events;
    try {
        events = store().record_changes(sheet.id, changes, reviewer_, !q_id.empty() && paper().find(q_id));
    } catch (const std::invalid_argument& e) {
        throw Refusal(400, e.what());
    }
    if (undo) {
        for (const auto& e : events) undone_.insert(e.id);
    }
    py::list stored;
    for (const auto& e : events) {
        stored.append(event_json(e, true));
    }
    out["events"] = stored;
    out["warning"] = py::none();
    try {
        write_outputs(folder_->view, {sheet.id});
    } catch (py::error_already_set&) {
        py::object e = pyglue::caught();
        out["warning"] = pyglue::cat("the decision is stored, but the files were not all written again: ", e);
    } catch (const std::exception& e) {
        out["warning"] = py::str(std::string("the decision is stored, but the files were not all written again: ") + e.what());
    }
    if (!q_id.empty()) out["answer"] = answer_json(*store().sheet(sheet.id), q_id);
    return out;
}

// The latest change to the answer (the events one request made) not taken
// back yet, as the changes that take it back; it counts as taken back.
std::vector<core::Change> ReviewServer::undo_for(const core::SheetRecord& sheet, const std::string& q_id) {
    std::vector<core::Event> all, mine;
    for (auto& e : store().events(sheet.id)) {
        if (e.q_id != q_id) continue;
        all.push_back(e);
        if (!undone_.count(e.id)) mine.push_back(std::move(e));
    }
    if (mine.empty()) throw Refusal(400, "nothing to undo for " + (q_id.empty() ? std::string("the sheet") : q_id));
    const core::Event& last = mine.back();
    std::vector<const core::Event*> group;
    for (auto e = mine.rbegin(); e != mine.rend() && e->at == last.at && e->reviewer == last.reviewer; ++e) {
        group.push_back(&*e);
    }
    const std::int64_t first = group.back()->id;
    std::vector<core::Change> back;
    for (const core::Event* e : group) {
        // What the teacher had decided for the field before: the value of its
        // change before this one, or none (the model's stands again).
        std::string before = "null";
        for (const auto& earlier : all) {
            if (earlier.id < first && earlier.field == e->field) before = earlier.new_value;
        }
        back.push_back({q_id, e->field, before});
        undone_.insert(e->id);
    }
    return back;
}

// "Keep my mark": the teacher's decision stated again, which takes the
// look-again flag away.
std::vector<core::Change> ReviewServer::keep_for(const core::SheetRecord& sheet, const std::string& q_id) const {
    const auto answers = store().answers(sheet.id);
    const core::AnswerRecord* a = core::answer_for(answers, q_id);
    const bool flagged = a && std::any_of(a->flags.begin(), a->flags.end(),
                                          [](const core::Flag& f) { return f.kind == core::kLookAgain; });
    if (!flagged) throw Refusal(400, q_id + " has no look-again flag to clear");
    const auto decisions = store().decisions(sheet.id);
    const core::Decision* d = core::decision_for(decisions, q_id);
    py::object dumps = M("json").attr("dumps");
    if (d && d->awarded) return {{q_id, "awarded", utf8(dumps(py::float_(*d->awarded)))}};
    if (d && d->criteria_met) return {{q_id, "criteria_met", utf8(dumps(int_list(*d->criteria_met)))}};
    if (d && d->feedback) return {{q_id, "feedback", utf8(dumps(py::str(*d->feedback)))}};
    if (d && d->approved) return {{q_id, "approved", *d->approved ? "true" : "false"}};
    throw Refusal(400, q_id + " has no decision of yours to keep");
}

py::object ReviewServer::agreement_json() const { return agreement_report(store(), paper()); }

// ---------------------------------------------------------------- serving

namespace {

// Text that is stored as it came and can be read back: no lone surrogates
// (not text at all), no NUL (cut short by the C strings on the way).
void need_text_that_keeps(py::handle v, const std::string& what) {
    if (PyUnicode_Check(v.ptr())) {
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
        if (!bytes) {
            PyErr_Clear();
            throw Refusal(400, what + " holds a lone surrogate, which is not text");
        }
        if (std::string_view(bytes, static_cast<std::size_t>(size)).find('\0') != std::string_view::npos) {
            throw Refusal(400, what + " holds a NUL character");
        }
    } else if (PyList_Check(v.ptr())) {
        for (py::handle item : v) need_text_that_keeps(item, what);
    } else if (PyDict_Check(v.ptr())) {
        for (auto item : py::reinterpret_borrow<py::dict>(v)) {
            need_text_that_keeps(item.first, what);
            need_text_that_keeps(item.second, what);
        }
    }
}

py::object body_of(const httplib::Request& req) {
    py::object data;
    try {
        data = M("json").attr("loads")(py::str(req.body));
    } catch (py::error_already_set&) {
        pyglue::caught();
        throw Refusal(400, "the request body is not JSON");
    }
    if (!PyDict_Check(data.ptr())) throw Refusal(400, "the request body must be a JSON object");
    for (auto item : py::reinterpret_borrow<py::dict>(data)) {
        need_text_that_keeps(item.first, "a field's name");
        need_text_that_keeps(item.second, "'" + utf8(item.first) + "'");
    }
    return data;
}

std::string text_field(const py::object& body, const char* name, bool required) {
    py::object v = body.attr("get")(name);
    if (v.is_none()) {
        if (required) throw Refusal(400, std::string("'") + name + "' is missing");
        return "";
    }
    if (!PyUnicode_Check(v.ptr())) throw Refusal(400, std::string("'") + name + "' must be text");
    return utf8(v);
}

py::object query_int(const httplib::Request& req, const char* name) {
    if (!req.has_param(name)) throw Refusal(400, std::string("'") + name + "' is missing");
    const std::string v = req.get_param_value(name);
    if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos) {
        throw Refusal(400, std::string("'") + name + "' must be a number");
    }
    return py::int_(std::stoll(v));
}

}  // namespace

void ReviewServer::route(httplib::Server& srv) {
    using httplib::Request;
    using httplib::Response;
    // Handler threads take the GIL for Python work; writes also take one
    // mutex first (never while holding the GIL), so two changes never
    // interleave their events and files.
    auto handle = [this](bool writes, auto body) {
        return [this, writes, body](const Request& req, Response& res) {
            std::unique_lock<std::mutex> lock(write_mutex_, std::defer_lock);
            if (writes) lock.lock();
            py::gil_scoped_acquire gil;
            try {
                if (writes && folder_->read_only) {
                    throw Refusal(409, "the results store cannot be written (read-only): the page shows the marks, "
                                       "but no change can be stored");
                }
                body(req, res);
            } catch (const Refusal& e) {
                send_error(res, e.status, e.what());
            } catch (py::error_already_set& e) {
                send_error(res, 500, utf8(pyglue::str(e.value())));
            } catch (const std::exception& e) {
                send_error(res, 500, e.what());
            }
        };
    };
    auto asset = [](Response& res, const std::string& content, const char* type) {
        res.status = 200;
        res.set_content(content, type);
    };
    srv.Get("/", handle(false, [this, asset](const Request&, Response& res) {
                asset(res, index_html_, "text/html; charset=utf-8");
            }));
    srv.Get("/review.css", handle(false, [this, asset](const Request&, Response& res) {
                asset(res, css_, "text/css; charset=utf-8");
            }));
    srv.Get("/review.js", handle(false, [this, asset](const Request&, Response& res) {
                asset(res, js_, "text/javascript; charset=utf-8");
            }));
    srv.Get("/api/class", handle(false, [this](const Request&, Response& res) { send_json(res, 200, class_json()); }));
    srv.Get("/api/answer", handle(false, [this](const Request& req, Response& res) {
                const auto sheet = sheet_of(query_int(req, "sheet"));
                if (!req.has_param("q")) throw Refusal(400, "'q' is missing");
                send_json(res, 200, answer_json(sheet, req.get_param_value("q")));
            }));
    srv.Get("/api/page.png", handle(false, [this](const Request& req, Response& res) {
                const auto sheet = sheet_of(query_int(req, "sheet"));
                const long long page = py::cast<long long>(query_int(req, "page"));
                std::string png;
                {
                    py::gil_scoped_release unlocked;
                    png = page_png(sheet, page);
                }
                res.status = 200;
                res.set_content(png, "image/png");
            }));
    srv.Get("/api/agreement", handle(false, [this](const Request&, Response& res) { send_json(res, 200, agreement_json()); }));

    srv.Post("/api/change", handle(true, [this](const Request& req, Response& res) {
                 py::object body = body_of(req);
                 const auto sheet = sheet_of(body.attr("get")("sheet"));
                 const std::string q_id = text_field(body, "q_id", true);
                 const std::string field = text_field(body, "field", true);
                 if (!pyglue::truth(body.attr("__contains__")("value"))) throw Refusal(400, "'value' is missing");
                 const auto changes = changes_for(sheet, q_id, field, body["value"]);
                 send_json(res, 200, apply(sheet, q_id, changes));
             }));
    srv.Post("/api/approve", handle(true, [this](const Request& req, Response& res) {
                 py::object body = body_of(req);
                 const auto sheet = sheet_of(body.attr("get")("sheet"));
                 const std::string q_id = text_field(body, "q_id", false);
                 py::object value = body.attr("get")("value", true);
                 const auto changes = changes_for(sheet, q_id, "approved", value);
                 send_json(res, 200, apply(sheet, q_id, changes));
             }));
    srv.Post("/api/undo", handle(true, [this](const Request& req, Response& res) {
                 py::object body = body_of(req);
                 const auto sheet = sheet_of(body.attr("get")("sheet"));
                 const std::string q_id = text_field(body, "q_id", false);
                 send_json(res, 200, apply(sheet, q_id, undo_for(sheet, q_id), true));
             }));
    srv.Post("/api/keep", handle(true, [this](const Request& req, Response& res) {
                 py::object body = body_of(req);
                 const auto sheet = sheet_of(body.attr("get")("sheet"));
                 const std::string q_id = text_field(body, "q_id", true);
                 send_json(res, 200, apply(sheet, q_id, keep_for(sheet, q_id)));
             }));
    srv.Post("/api/clear", handle(true, [this](const Request& req, Response& res) {
                 py::object body = body_of(req);
                 const auto sheet = sheet_of(body.attr("get")("sheet"));
                 const std::string q_id = text_field(body, "q_id", false);
                 const auto decisions = store().decisions(sheet.id);
                 auto found = decisions.find(q_id);
                 std::vector<core::Change> changes;
                 if (found != decisions.end()) {
                     const core::Decision& d = found->second;
                     if (d.awarded) changes.push_back({q_id, "awarded", "null"});
                     if (d.criteria_met) changes.push_back({q_id, "criteria_met", "null"});
                     if (d.feedback) changes.push_back({q_id, "feedback", "null"});
                     if (d.approved) changes.push_back({q_id, "approved", "null"});
                 }
                 if (changes.empty()) throw Refusal(400, "no decision of yours stands here to clear");
                 send_json(res, 200, apply(sheet, q_id, changes));
             }));
}

// The token the one-time address set as a cookie, or "".
static std::string cookie_token(const httplib::Request& req) {
    const std::string name = "quorvan_token=";
    for (std::size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
        const std::string cookies = req.get_header_value("Cookie", i);
        for (std::size_t at = 0; at < cookies.size();) {
            while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
            const std::size_t end = std::min(cookies.find(';', at), cookies.size());
            if (cookies.compare(at, name.size(), name) == 0) return cookies.substr(at + name.size(), end - at - name.size());
            at = end;
        }
    }
    return "";
}

bool ReviewServer::admit(const httplib::Request& req, httplib::Response& res) const {
    // A page of another site may send requests here, and a DNS name rebound
    // to 127.0.0.1 makes them same-origin for the browser: only the exact
    // address printed is served.
    if (req.get_header_value_count("Host") != 1 || req.get_header_value("Host") != host_) {
        send_text(res, 403, "Forbidden: this page is served at http://" + host_ + "/ only.");
        return false;
    }
    if (req.method != "GET" && req.method != "POST") {
        send_text(res, 405, "Method not allowed.");
        return false;
    }
    // The address the browser is started with: it sets the token as a
    // cookie and is void after its first use, so the token itself never
    // stands on a command line (where every user of the machine sees it).
    if (req.path == "/open") {
        if (!once_.empty() && same_secret(req.get_param_value("once"), once_) && !once_used_.exchange(true)) {
            res.status = 303;
            res.set_header("Location", "/");
            res.set_header("Set-Cookie", "quorvan_token=" + token_ + "; HttpOnly; SameSite=Strict; Path=/");
            return false;
        }
        send_text(res, 403, "Forbidden: this address opens the page once; open the address `quorvan review` printed.");
        return false;
    }
    std::string given = req.get_param_value("token");
    if (given.empty()) given = req.get_header_value("X-Quorvan-Token");
    if (given.empty()) given = cookie_token(req);
    if (!same_secret(given, token_)) {
        send_text(res, 403, "Forbidden: open the address `quorvan review` printed, with its token.");
        return false;
    }
    return true;
}

// The page drawn at a screen's resolution, kept once drawn. Without the GIL:
// Poppler work never holds up the other requests' Python work.
std::string ReviewServer::page_png(const core::SheetRecord& sheet, long long page) {
    const auto key = std::make_pair(sheet.id, page);
    {
        std::lock_guard<std::mutex> lock(pages_mutex_);
        auto found = pages_.find(key);
        if (found != pages_.end()) return found->second;
    }
    std::string png;
    try {
        std::lock_guard<std::mutex> drawing(render_mutex_);
        auto doc = core::PdfDocument::open(sheet.path_resolved, sheet.path_given);
        doc.check_page(page);
        const auto bytes = core::encode_png(doc.render(static_cast<int>(page), 110, 3));
        png.assign(bytes.begin(), bytes.end());
    } catch (const core::PdfError& e) {
        throw Refusal(404, e.what());
    }
    std::lock_guard<std::mutex> lock(pages_mutex_);
    return pages_.emplace(key, std::move(png)).first->second;
}

int ReviewServer::serve(Session& s, int port, bool open_browser) {
    httplib::Server srv;
    srv.set_payload_max_length(64 * 1024);
    // Enough workers, and short waits for a client that stops sending, that a
    // few stalled connections cannot hold the page up for everyone.
    srv.new_task_queue = [] { return new httplib::ThreadPool(32); };
    srv.set_read_timeout(5, 0);
    srv.set_write_timeout(5, 0);
    srv.set_keep_alive_timeout(2);
    // Only SO_REUSEADDR: the library's default adds SO_REUSEPORT, with which a
    // second server binds the same port and the two split the requests.
    srv.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const void*>(&yes), sizeof yes);
    });
    srv.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
                               : httplib::Server::HandlerResponse::Handled;
    });
    srv.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    });
    route(srv);

    int bound = 0;
    {
        py::gil_scoped_release unlocked;
        if (port == 0) {
            bound = srv.bind_to_any_port("127.0.0.1");
        } else {
            bound = srv.bind_to_port("127.0.0.1", port) ? port : -1;
        }
    }
    if (bound <= 0) {
        s.complain(port ? pyglue::cat("quorvan review: cannot listen on 127.0.0.1:", port,
                                      ": the port is in use (or not ours to use); choose another with --port, "
                                      "or --port 0 for any free one")
                        : py::str("quorvan review: cannot listen on 127.0.0.1: no free port"));
        return 1;
    }
    host_ = "127.0.0.1:" + std::to_string(bound);
    const std::string url = "http://" + host_ + "/?token=" + token_;
    s.say(pyglue::cat("Reviewing ", py::int_(store().sheets().size()), " answer sheets in ", folder_->view.outdir,
                      " as ", py::str(reviewer_)));
    s.say(py::str("Review page: " + url));
    if (folder_->read_only) {
        s.say(py::str("The results store cannot be written: the page shows the marks; changes are refused."));
    }
    s.say(py::str("Press Ctrl-C to stop."));
    if (open_browser) {
        try {
            once_ = utf8(M("os").attr("urandom")(24).attr("hex")());
            M("webbrowser").attr("open")(py::str("http://" + host_ + "/open?once=" + once_));
        } catch (py::error_already_set&) {
            py::object e = pyglue::caught();
            s.complain(pyglue::cat("quorvan review: could not open a browser (", e, "); open the address above"));
        }
    }

    std::atomic<bool> ended{false};
    std::thread listener;
    {
        py::gil_scoped_release unlocked;
        listener = std::thread([&] {
            srv.listen_after_bind();
            ended = true;
        });
    }
    auto stop = [&] {
        py::gil_scoped_release unlocked;
        srv.stop();
        listener.join();
    };
    try {
        // Ctrl-C and SIGTERM reach Python's handlers on this thread only:
        // asked for between short sleeps without the GIL.
        while (!ended) {
            {
                py::gil_scoped_release unlocked;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    } catch (...) {
        stop();
        throw;
    }
    stop();
    pyglue::raise_new(PyExc_OSError, py::str("the review server stopped unexpectedly"));
}

// -------------------------------------------------------------- command

namespace {

// Standard output taken into a log for as long as it lives.
class LibraryLog {
public:
    explicit LibraryLog(py::object path) {
        file_ = M("builtins").attr("open")(path, "a", py::arg("encoding") = "utf-8",
                                           py::arg("errors") = "backslashreplace");
        redirect_ = M("contextlib").attr("redirect_stdout")(M("_RunLog")(file_));
        redirect_.attr("__enter__")();
    }
    ~LibraryLog() {
        try {
            redirect_.attr("__exit__")(py::none(), py::none(), py::none());
            file_.attr("close")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("closing the review's log");
        }
    }
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;

private:
    py::object file_, redirect_;
};

}  // namespace

void add_review_parser(py::object sub) {
    py::object p = sub.attr("add_parser")(
        "review", py::arg("help") = "review and override the marks of a marked class in the browser",
        py::arg("description") = "Serve a page on this computer (127.0.0.1 only) where the teacher sees the whole "
                                 "class, opens each answer with its pages, ticks criteria, overrides marks and "
                                 "feedback and approves answers or sheets. Every change is kept in OUTDIR's store "
                                 "and the class file and reports are written again. Stop with Ctrl-C.");
    p.attr("add_argument")("outdir", py::arg("metavar") = "OUTDIR",
                           py::arg("help") = "a results folder written by quorvan mark");
    p.attr("add_argument")("--port", py::arg("type") = M("int"), py::arg("default") = 0,
                           py::arg("help") = "port to listen on (default: any free port)");
    p.attr("add_argument")("--no-browser", py::arg("action") = "store_true", py::arg("dest") = "no_browser",
                           py::arg("help") = "only print the page's address, do not open a browser");
    p.attr("add_argument")("--reviewer", py::arg("metavar") = "NAME",
                           py::arg("help") = "name kept with every change (default: your user name)");
}

ReviewOptions review_options(py::object parser, py::object args) {
    ReviewOptions o;
    long long port = -1;  // one too large for a number is out of range too
    try {
        port = py::cast<long long>(args.attr("port"));
    } catch (const py::cast_error&) {
    }
    if (port < 0 || port > 65535) parser.attr("error")("--port must be from 0 (any free port) to 65535");
    o.port = static_cast<int>(port);
    o.outdir = args.attr("outdir");
    o.open_browser = !pyglue::truth(args.attr("no_browser"));
    o.reviewer = args.attr("reviewer");
    return o;
}

int run_review(const ReviewOptions& o, py::object parser) {
    Session s(parser);
    const py::object& outdir = o.outdir;
    const py::str db = app::join(outdir, "marking.db");
    if (!app::is_file(db)) {
        s.usage_error("no marked class in " + utf8(outdir) + " (no marking.db): run quorvan mark first");
    }
    py::object reviewer = o.reviewer;
    if (reviewer.is_none()) {
        try {
            reviewer = M("getpass").attr("getuser")();
        } catch (py::error_already_set&) {
            pyglue::caught();
            reviewer = py::str("teacher");
        }
    }
    if (!pyglue::truth(reviewer.attr("strip")())) s.usage_error("--reviewer must not be empty");
    std::unique_ptr<ResultsFolder> opened;
    try {
        // A store that cannot be written is shown; changes to it are refused.
        opened = open_results_folder(outdir, store_is_read_only(app::native(db).native()));
    } catch (const std::runtime_error& e) {
        s.usage_error(e.what());
    }
    const std::string token = utf8(M("os").attr("urandom")(24).attr("hex")());
    py::object folder = app::join(app::folder_of(M("quorvan_core").attr("__file__")), "review");
    const bool read_only = opened->read_only;
    ReviewServer server(std::move(opened), utf8(reviewer), token, folder);
    // The library's own lines (a report saved) go to the folder's log, as
    // while marking, not onto the terminal that shows the page's address.
    py::object log_file = app::join(outdir, "marking.log");
    const bool ours = !app::is_link(log_file) && (app::is_file(log_file) || !app::lexists(log_file));
    LibraryLog log(ours && !read_only ? log_file : M("os").attr("devnull"));
    return server.serve(s, o.port, o.open_browser);
}

}  // namespace quorvan::cli
