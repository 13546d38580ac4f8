// quorvan mark: every sheet runs as its own coroutine on one event loop
// through the answer-sheet pipeline: its PDF is read on a worker thread, the
// parse and each answer's marking are stored the moment they arrive, and all
// calls share the model service's concurrency bound and per-minute window.
#include <algorithm>
#include <csignal>

#include "decisions.hpp"
#include "mark_run.hpp"

namespace quorvan::cli::marking {

using pyglue::Coro;

namespace {

core::CallUsage usage_of(const py::list& calls) {
    core::CallUsage u;
    for (py::handle call : calls) {
        u.model = utf8(call[py::str("model")]);
        u.input_tokens += py::cast<std::int64_t>(call[py::str("input_tokens")]);
        u.output_tokens += py::cast<std::int64_t>(call[py::str("output_tokens")]);
        u.cost += py::cast<double>(call[py::str("cost")]);
        ++u.calls;
    }
    return u;
}

// A fresh list that the model service fills with this task's calls.
py::list track_calls() {
    py::list calls;
    py::object service_module = M("llm_service_module");
    if (py::hasattr(service_module, "call_usage")) service_module.attr("call_usage").attr("set")(calls);
    return calls;
}

// A refused API key (401) or access (403) ends the run at once: every other
// call would be refused as well. No new call starts; what is stored stays.
void stop_if_refused(Run* run, const py::object& error) {
    if (run->stop.refused_status || run->stop.signal || !run->stop.all) return;
    py::object status_error = M("openai").attr("APIStatusError");
    py::object e = error;
    for (int depth = 0; e && !e.is_none() && depth < 16; ++depth) {
        if (py::isinstance(e, status_error)) {
            const long status = py::cast<long>(e.attr("status_code"));
            if (status != 401 && status != 403) return;
            run->stop.refused_status = status;
            run->stop.all.attr("cancel")();
            return;
        }
        py::object next = py::getattr(e, "__cause__", py::none());
        e = next.is_none() ? py::getattr(e, "__context__", py::none()) : next;
    }
}

Coro mark_question(Run* run, SheetJob* job, py::object records, std::string q_id) {
    py::list calls = track_calls();
    const PaperQuestion* q = run->paper.find(q_id);
    py::object result, error;
    try {
        py::object marking = run->reading.pipeline.attr("evaluate_answer_by_qid_async")(q->q_id, records, run->paper.paper);
        result = co_await marking;
    } catch (...) {
        error = pyglue::caught();
    }
    const std::int64_t id = job->record.id;
    if (error && waits_for_batch(error)) {
        job->waiting = true;
        co_return py::none();
    }
    if (!error && pyglue::contains(result, py::str("reason"))) {
        run->store->store_mark_failure(id, q_id, q->fingerprint, utf8(result[py::str("reason")]), usage_of(calls));
        co_return py::none();
    }
    if (!error) {
        try {
            std::vector<int> met;
            int position = 0;
            for (py::handle c : py::object(result[py::str("rubric")].attr("criteria"))) {
                if (pyglue::truth(c.attr("is_fulfilled"))) met.push_back(position);
                ++position;
            }
            run->store->store_mark(id, q_id, q->fingerprint, met, py::cast<double>(result[py::str("awarded_marks")]),
                                   q->max_marks, utf8(result[py::str("feedback")]), usage_of(calls));
            co_return py::none();
        } catch (py::error_already_set& e) {
            // Python's errors only: a store that cannot be written ends the run.
            if (!pyglue::is_ordinary(e.value())) throw;
            error = e.value();
        }
    }
    stop_if_refused(run, error);
    run->store->store_mark_failure(id, q_id, q->fingerprint, utf8(describe_failure(error, "")), usage_of(calls));
    co_return py::none();
}

Coro mark_sheet(Run* run, SheetJob* job) {
    M("log_sheet").attr("set")(job->name);
    const std::int64_t id = job->record.id;
    if (!job->unreadable.empty()) {
        run->store->set_status(id, "failed", job->unreadable, run->paper.fingerprint);
        finish_sheet(*run, *job);
        co_return py::none();
    }
    if (job->needs_parse) {
        py::list calls = track_calls();
        py::object error;
        std::vector<core::FoundAnswer> found;
        std::vector<core::Flag> sheet_flags;
        std::vector<core::PageReading> pages;
        bool text_but_no_answer = false;
        py::object reader = sheet_reader(*run, *job, calls);
        try {
            py::object reading = run->reading.pipeline.attr("read_answersheet_async")(
                job->path, run->paper.paper, py::none(), reader, run->reading.executor,
                py::arg("check_visibility") = run->reading.check_visibility, py::arg("limits") = run->reading.limits);
            py::object sheet = co_await reading;
            if (!job->roster) note_identity(*run->store, id, sheet);
            pages = page_reading(sheet);
            found = found_answers(sheet, pages);
            sheet_flags = hidden_text_flags(sheet);
            for (auto& flag : reading_flags(pages)) sheet_flags.push_back(std::move(flag));
            text_but_no_answer = found.empty() && has_text(sheet);
            // An empty answer is no answer: never stored, never sent to be marked.
            found.erase(std::remove_if(found.begin(), found.end(),
                                       [](const core::FoundAnswer& f) { return core::blank_answer(f.text); }),
                        found.end());
        } catch (...) {
            error = pyglue::caught();
        }
        if (error && waits_for_batch(error)) {
            keep_reading(*run, *job, reader, calls);
            job->waiting = true;
            co_return py::none();
        }
        if (error) {
            stop_if_refused(run, error);
            run->store->set_status(id, "failed", utf8(describe_failure(error, "Failed to parse answersheet: ")),
                                   run->paper.fingerprint);
            finish_sheet(*run, *job);
            co_return py::none();
        }
        run->store->store_parse(id, job->sha, run->paper.parse_key, found, usage_of(calls), sheet_flags, pages);
        if (text_but_no_answer) {
            // More likely a parse gone wrong than a blank sheet: not counted
            // as marked, and read again by the next run.
            run->store->set_status(id, "failed", "no answers found on a sheet with text", run->paper.fingerprint);
            finish_sheet(*run, *job);
            co_return py::none();
        }
        // Read now: an earlier run's failure no longer stands.
        if (run->store->sheet(id)->status == "failed") run->store->set_status(id, "pending", "", run->paper.fingerprint);
        job->to_mark.clear();
        for (const auto& f : found) {
            if (run->paper.find(f.q_id)) job->to_mark.push_back(f.q_id);
        }
    }
    if (!job->to_mark.empty()) {
        py::object records = sheet_records(run->paper, run->store->answers(id));
        py::list marking;
        for (const auto& q_id : job->to_mark) {
            marking.append(pyglue::make_coroutine(mark_question(run, job, records, q_id), "mark_answer"));
        }
        py::object all = M("asyncio").attr("gather")(*marking);
        co_await all;
    }
    if (job->waiting) co_return py::none();  // finished in a later pass
    finish_sheet(*run, *job);
    co_return py::none();
}

}  // namespace

Coro mark_all(Run* run) {
    py::object loop = M("asyncio").attr("get_running_loop")();
    py::list sheets;
    for (auto& job : run->jobs) sheets.append(pyglue::make_coroutine(mark_sheet(run, &job), "mark_sheet"));
    run->stop.all = M("asyncio").attr("gather")(*sheets);
    // On SIGINT or SIGTERM no new call starts: the sheets' work is cancelled,
    // and what was stored stays stored for the next run.
    auto stop = py::cpp_function([run](int signum) {
        if (run->stop.signal) return;
        run->stop.signal = signum;
        run->stop.all.attr("cancel")();
    });
    for (int signum : {SIGINT, SIGTERM}) loop.attr("add_signal_handler")(signum, stop, signum);
    py::object error;
    try {
        co_await run->stop.all;
    } catch (...) {
        // CancelledError too: a run stopped by a signal or a refusal ends so.
        error = pyglue::current_exception();
    }
    for (int signum : {SIGINT, SIGTERM}) loop.attr("remove_signal_handler")(signum);
    const bool stopped = run->stop.stopped();
    if (error && !(stopped && py::isinstance(error, M("asyncio").attr("CancelledError")))) {
        pyglue::raise(error);
    }
    co_return py::none();
}


}  // namespace quorvan::cli::marking
