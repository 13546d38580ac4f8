// quorvan mark --batch: the requests of a pass sent to the Batch API, and
// the batches followed until their results are in the store.
#include <algorithm>
#include <set>

#include "mark_batch.hpp"

namespace quorvan::cli::marking {

namespace {

std::string text_or_empty(const py::object& value) { return value.is_none() ? "" : utf8(value); }

void read_batch(const py::object& b, core::BatchRecord& rec) {
    rec.status = utf8(b.attr("status"));
    rec.output_file_id = text_or_empty(py::getattr(b, "output_file_id", py::none()));
    rec.error_file_id = text_or_empty(py::getattr(b, "error_file_id", py::none()));
    py::object counts = py::getattr(b, "request_counts", py::none());
    if (!counts.is_none()) {
        // A batch that failed before it began counts no requests; it still had its own.
        rec.total = std::max(rec.total, py::cast<std::int64_t>(counts.attr("total")));
        rec.completed = py::cast<std::int64_t>(counts.attr("completed"));
        rec.failed = py::cast<std::int64_t>(counts.attr("failed"));
    }
}

bool has_ended(const std::string& status) {
    return status == "completed" || status == "expired" || status == "failed" || status == "cancelled";
}

// Why a line of a result file has no usable answer; "" when it has one.
std::string line_failure(const py::object& line) {
    py::object error = line.attr("get")("error");
    py::object response = line.attr("get")("response");
    if (!error.is_none()) {
        py::object message = PyDict_Check(error.ptr()) ? error.attr("get")("message", error) : error;
        return utf8(pyglue::cat("the batch failed it: ", message));
    }
    if (!PyDict_Check(response.ptr())) return "the batch gave no response for it";
    py::object status = response.attr("get")("status_code");
    if (status.equal(py::int_(200)) && PyDict_Check(py::object(response.attr("get")("body")).ptr())) return "";
    py::object body = response.attr("get")("body");
    py::object message = py::str("");
    if (PyDict_Check(body.ptr()) && PyDict_Check(py::object(body.attr("get")("error")).ptr())) {
        message = body.attr("get")("error").attr("get")("message", "");
    }
    return utf8(pyglue::cat("status ", status, pyglue::truth(message) ? pyglue::cat(": ", message) : py::str("")));
}

std::vector<core::BatchResult> read_results(const py::object& client, const std::string& file_id) {
    std::vector<core::BatchResult> results;
    if (file_id.empty()) return results;
    py::object text = client.attr("files").attr("content")(file_id).attr("text");
    py::object json = M("json");
    for (py::handle raw : py::object(text.attr("splitlines")())) {
        if (!pyglue::truth(raw.attr("strip")())) continue;
        py::object line;
        try {
            line = json.attr("loads")(raw);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            continue;  // a broken line leaves its request without a result: sent again
        }
        if (!PyDict_Check(line.ptr()) || !PyUnicode_Check(py::object(line.attr("get")("custom_id")).ptr())) continue;
        core::BatchResult r;
        r.custom_id = utf8(line["custom_id"]);
        r.error = line_failure(line);
        r.ok = r.error.empty();
        if (r.ok) r.response = utf8(json.attr("dumps")(line["response"]["body"], py::arg("ensure_ascii") = false));
        results.push_back(std::move(r));
    }
    return results;
}

// Why the service failed a batch as a whole ("" when it does not say).
std::string batch_failure(const py::object& b) {
    py::object errors = py::getattr(b, "errors", py::none());
    py::object data = errors.is_none() ? py::object(py::none()) : py::getattr(errors, "data", py::none());
    if (data.is_none() || py::len(data) == 0) return "";
    py::object message = py::getattr(data[py::int_(0)], "message", py::none());
    return message.is_none() ? "" : utf8(message);
}

// An ended batch's results into the store; its summary line.
py::str collect(core::ResultsStore& store, const py::object& client, core::BatchRecord& rec, const std::string& why) {
    std::vector<core::BatchResult> results = read_results(client, rec.output_file_id);
    for (auto& r : read_results(client, rec.error_file_id)) results.push_back(std::move(r));
    std::string missing = "the batch gave no result for it";
    if (rec.status == "expired") missing = "the batch expired before answering it";
    if (rec.status == "cancelled") missing = "the batch was cancelled before answering it";
    if (rec.status == "failed") missing = why.empty() ? "the batch failed" : "the batch failed: " + why;
    std::int64_t answered = 0;
    for (const auto& r : results) answered += r.ok ? 1 : 0;
    store.store_batch_results(rec.batch_id, results, missing);
    const std::int64_t rest = rec.total - answered;
    py::str line = pyglue::cat("batch ", py::str(rec.batch_id), " ", py::str(rec.status),
                               why.empty() ? py::str("") : pyglue::cat(" (", py::str(why), ")"), ": ",
                               py::int_(answered), " of ", py::int_(rec.total), " requests answered");
    if (rest > 0) line = pyglue::cat(line, "; the other ", py::int_(rest), " go into the next batch");
    return pyglue::cat(line, ".");
}

// Seconds between polls: starting small, growing, capped. QUORVAN_BATCH_POLL
// ("START,CAP") sets both, for tests and impatient people.
struct Backoff {
    double next = 10.0, cap = 300.0;

    Backoff() {
        py::object setting = M("os").attr("environ").attr("get")("QUORVAN_BATCH_POLL");
        if (setting.is_none()) return;
        py::list parts = setting.attr("split")(",");
        try {
            next = py::cast<double>(M("float")(parts[0]));
            cap = py::len(parts) > 1 ? py::cast<double>(M("float")(parts[1])) : next;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            throw py::value_error("QUORVAN_BATCH_POLL must be START,CAP in seconds, not " + utf8(setting));
        }
        next = std::max(next, 0.0);
        cap = std::max(cap, next);
    }
    double take() {
        const double now = next;
        next = std::min(cap, next * 1.5 + 0.001);
        return now;
    }
};

// A batch recorded between the upload of its requests and the service's
// answer naming it is known by this and its file id, with the status
// "creating".
constexpr const char* kUnmade = "unmade:";
constexpr const char* kCreating = "creating";
// The newest batches looked through for one made of a file: it was made
// moments (or one stopped run) ago.
constexpr std::size_t kBatchesLookedAt = 1000;

// The batch the service made of an uploaded file, or None.
py::object batch_of_file(const py::object& client, const std::string& file_id) {
    std::size_t seen = 0;
    // Newest first, page after page.
    for (py::handle b : client.attr("batches").attr("list")(py::arg("limit") = 100)) {
        if (utf8(b.attr("input_file_id")) == file_id) return py::reinterpret_borrow<py::object>(b);
        if (++seen >= kBatchesLookedAt) break;
    }
    return py::none();
}

// The recorded batch takes the id the service gave it.
void name_batch(core::ResultsStore& store, core::BatchRecord& rec, const py::object& b) {
    const std::string recorded = rec.batch_id;
    rec.batch_id = utf8(b.attr("id"));
    store.rename_batch(recorded, rec.batch_id);
    read_batch(b, rec);
    store.update_batch(rec);
}

// The batch of a recorded upload made, once: the client does not try again
// by itself, since a make whose answer was lost may have made it; the
// service is asked first. When that cannot be known, the record stays as it
// is, for the next run to ask again.
void make_batch(core::ResultsStore& store, const py::object& client, core::BatchRecord& rec) {
    py::object b;
    try {
        b = client.attr("with_options")(py::arg("max_retries") = 0)
                .attr("batches")
                .attr("create")(py::arg("input_file_id") = rec.input_file_id, py::arg("endpoint") = kEndpoint,
                                py::arg("completion_window") = "24h");
    } catch (py::error_already_set& e) {
        py::object openai = M("openai");
        if (!py::isinstance(e.value(), openai.attr("APIConnectionError")) &&
            !py::isinstance(e.value(), openai.attr("InternalServerError"))) {
            throw;
        }
        b = batch_of_file(client, rec.input_file_id);
        if (b.is_none()) throw;
    }
    name_batch(store, rec, b);
}

// One batch file, uploaded and recorded, and the batch made of it. The
// record comes first, so that a run stopped before the service's answer
// finds the batch rather than paying for it twice.
core::BatchRecord submit_file(core::ResultsStore& store, const py::object& client, const std::string& jsonl,
                              const std::vector<core::BatchLine>& lines, const std::set<std::string>& stages) {
    py::object file = client.attr("files").attr("create")(
        py::arg("file") = py::make_tuple(py::str("quorvan-batch.jsonl"), py::bytes(jsonl)), py::arg("purpose") = "batch");
    core::BatchRecord rec;
    rec.input_file_id = utf8(file.attr("id"));
    rec.batch_id = kUnmade + rec.input_file_id;
    rec.stage = stages.size() == 2 ? "reading and marking" : *stages.begin();
    rec.status = kCreating;
    rec.total = static_cast<std::int64_t>(lines.size());
    store.record_batch(rec, lines);
    make_batch(store, client, rec);
    return rec;
}

// The service takes at most 50,000 requests and 200 MB in one batch file;
// QUORVAN_BATCH_MAX_REQUESTS lowers the count (for tests).
constexpr std::int64_t kMaxBatchRequests = 50000;
constexpr std::size_t kMaxBatchBytes = 190U * 1024U * 1024U;

std::int64_t max_batch_requests() {
    py::object setting = M("os").attr("environ").attr("get")("QUORVAN_BATCH_MAX_REQUESTS");
    if (setting.is_none()) return kMaxBatchRequests;
    std::int64_t n = 0;
    try {
        n = py::cast<std::int64_t>(M("int")(setting));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    if (n < 1) throw py::value_error("QUORVAN_BATCH_MAX_REQUESTS must be a whole number of at least 1, not " +
                                     utf8(setting));
    return std::min(n, kMaxBatchRequests);
}

// A request's prompt tokens as the service counts them against the batch
// queue, estimated as the model service estimates a prompt.
std::int64_t prompt_tokens(const py::object& service, const py::object& body) {
    py::object messages = body.attr("get")("messages");
    if (PyList_Check(messages.ptr())) {
        try {
            return py::cast<std::int64_t>(service.attr("_count_message_tokens")(messages));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        }
    }
    return static_cast<std::int64_t>(py::len(M("json").attr("dumps")(body))) / 4;
}

}  // namespace

// The open batch polled until it ends (once, without --wait); its results
// stored when it has.
Polled poll_batch(Session& s, Run& run, const py::object& client, core::BatchRecord rec, bool wait) {
    Backoff backoff;
    std::string shown;
    if (rec.status == kCreating) {
        // Its requests were uploaded by a run that stopped before the service named the batch.
        py::object made = batch_of_file(client, rec.input_file_id);
        if (made.is_none()) {
            try {
                make_batch(*run.store, client, rec);
            } catch (py::error_already_set& e) {
                // Refused outright (the upload gone, say): its requests are uploaded again.
                py::object openai = M("openai");
                bool refused = false;
                for (const char* kind : {"BadRequestError", "NotFoundError", "ConflictError", "UnprocessableEntityError"}) {
                    refused = refused || py::isinstance(e.value(), openai.attr(kind));
                }
                if (!refused) throw;
                py::str why = pyglue::cat("the model service would not make it: ", e.value());
                run.store->store_batch_results(rec.batch_id, {}, utf8(why));
                s.say(pyglue::cat("batch ", py::str(rec.batch_id), ": ", why, "; its requests go into the next batch."));
                return Polled::ended;
            }
            s.say(pyglue::cat("batch ", py::str(rec.batch_id), ": made now of the requests the last run uploaded (",
                              py::str(rec.input_file_id), ")."));
        } else {
            name_batch(*run.store, rec, made);
            s.say(pyglue::cat("batch ", py::str(rec.batch_id),
                              ": found at the model service; the last run stopped before noting it."));
        }
    }
    for (;;) {
        py::object b;
        try {
            b = client.attr("batches").attr("retrieve")(rec.batch_id);
        } catch (py::error_already_set& e) {
            py::object openai = M("openai");
            py::object error = e.value();
            const bool passing = py::isinstance(error, openai.attr("APIConnectionError")) ||
                                 py::isinstance(error, openai.attr("RateLimitError")) ||
                                 py::isinstance(error, openai.attr("InternalServerError"));
            if (wait && passing) {
                // The batch runs on at the service: a poll that failed is tried later.
                s.say(pyglue::cat("batch ", py::str(rec.batch_id), ": cannot ask how far it is (", error,
                                  "); asking again later"));
                M("time").attr("sleep")(backoff.take());
                continue;
            }
            if (!py::isinstance(error, openai.attr("NotFoundError"))) throw;
            // Gone from the service (deleted, another account): its requests go again.
            rec.status = "failed";
            run.store->store_batch_results(rec.batch_id, {}, "the model service no longer knows the batch");
            s.say(pyglue::cat("batch ", py::str(rec.batch_id),
                              ": the model service no longer knows it; its requests go into the next batch."));
            return Polled::ended;
        }
        read_batch(b, rec);
        run.store->update_batch(rec);
        if (has_ended(rec.status)) {
            s.say(collect(*run.store, client, rec, rec.status == "failed" ? batch_failure(b) : ""));
            return Polled::ended;
        }
        const std::string progress = "batch " + rec.batch_id + ": " + std::to_string(rec.completed + rec.failed) +
                                     "/" + std::to_string(rec.total) + " requests done (" + rec.status + ")";
        if (progress != shown) s.say(py::str(progress));
        shown = progress;
        if (!wait) return Polled::running;
        try {
            M("time").attr("sleep")(backoff.take());
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_KeyboardInterrupt)) throw;
            return Polled::interrupted;
        }
    }
}

// The held requests as JSONL files within the service's limits, each
// uploaded and made a batch. Each batch is recorded as soon as it is made, so
// a failure halfway leaves the ones made known to the next run. With a queue
// limit (`queue_tokens` > 0, the prompt tokens the account may have waiting
// in batches), only the requests that fit are sent; the rest, counted in
// `left`, are held again by the pass after these batches end. A request
// larger than the whole limit goes alone.
std::vector<core::BatchRecord> submit_held(core::ResultsStore& store, const py::object& client, const BatchCalls& calls,
                                      std::int64_t queue_tokens, std::int64_t& again, std::int64_t& left) {
    py::object json = M("json");
    const std::int64_t max_requests = max_batch_requests();
    std::vector<core::BatchRecord> made;
    std::string jsonl;
    std::set<std::string> stages;
    std::vector<core::BatchLine> lines;
    std::int64_t queued = 0;
    for (const auto& [id, held] : calls.held) {
        py::object body = json.attr("loads")(py::str(held.body));
        if (queue_tokens > 0) {
            const std::int64_t tokens = prompt_tokens(calls.service, body);
            if (queued > 0 && queued + tokens > queue_tokens) {
                ++left;
                continue;
            }
            queued += tokens;
        }
        if (store.batch_line(id)) ++again;
        py::dict line;
        line["custom_id"] = py::str(id);
        line["method"] = "POST";
        line["url"] = kEndpoint;
        line["body"] = body;
        std::string text = utf8(json.attr("dumps")(line, py::arg("ensure_ascii") = false)) + "\n";
        const bool full = static_cast<std::int64_t>(lines.size()) >= max_requests ||
                          (!lines.empty() && jsonl.size() + text.size() > kMaxBatchBytes);
        if (full) {
            made.push_back(submit_file(store, client, jsonl, lines, stages));
            jsonl.clear();
            lines.clear();
            stages.clear();
        }
        jsonl += text;
        stages.insert(held.stage);
        core::BatchLine l;
        l.custom_id = id;
        l.stage = held.stage;
        l.body = held.body;
        lines.push_back(std::move(l));
    }
    if (!lines.empty()) made.push_back(submit_file(store, client, jsonl, lines, stages));
    return made;
}

}  // namespace quorvan::cli::marking
