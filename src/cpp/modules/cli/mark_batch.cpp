// quorvan mark --batch: the model's calls of a class run sent as batches, at
// batch prices, in stages: every sheet's parse first (its pages read here,
// exactly as online), then the marking of every answer the parses found.
//
// The sheets go through the very coroutines of an online run
// (mark_marking.cpp); only the model service's calls are answered otherwise.
// The service's async client is replaced by one whose transport answers from
// the store: a call whose answer a batch brought back is made through the
// service as usual (counted, checked and stored the same way); a call without
// one is held, its sheet or answer left for a later pass, and its request (the
// body the openai client built, byte for byte what it would send online) goes
// into the next batch. A pass that holds calls submits them and exits, or with
// --wait waits for them; the next pass polls the batch, stores its results and
// runs the sheets again. Every step is in the store, so a restart anywhere
// continues.
#include <algorithm>
#include <map>
#include <set>

#include "mark_batch.hpp"

namespace quorvan::cli::marking {

namespace {

using pyglue::Coro;

// Batches a request goes into before its failure stands as the online
// path's would; the next invocation gives it as many again.
constexpr int kMaxTries = 3;
constexpr const char* kContinue =
    "Run the same command again to continue once it is done, or add --wait to wait for it here.";

// One custom_id per distinct request, made from its body with the keys
// sorted: the same request made twice (a restart, two equal answers) is one
// line with one answer.
std::string custom_id_of(const py::object& body) {
    py::object text = M("json").attr("dumps")(body, py::arg("sort_keys") = true, py::arg("ensure_ascii") = false,
                                              py::arg("separators") = py::make_tuple(",", ":"));
    return "quorvan-" + core::sha256_hex(utf8(text)).substr(0, 40);
}

std::string stage_of(const py::object& task_name) {
    return utf8(task_name) == "parse_answersheet" ? "reading" : "marking";
}

[[noreturn]] void raise_waiting(const char* why) { pyglue::raise(M("_BatchWaiting")(py::str(why))); }

// The transport of the replaying client: the stored answer to the request;
// for one that failed in every batch it went into, its last answer (which
// then fails the checks as it would online) or else a 400 with the cause;
// otherwise the request is held (raised, and found again behind the
// client's connection error).
py::object answer_from_store(BatchCalls* calls, const py::object& request) {
    py::object body = M("json").attr("loads")(request.attr("content"));
    const std::string id = custom_id_of(body);
    M("_batch_served").attr("set")(py::str(id));
    const auto line = calls->store->batch_line(id);
    py::object httpx = M("httpx");
    const bool given_up = line && line->state == "failed" && line->tries >= kMaxTries;
    if (line && (line->state == "done" || (given_up && !line->response.empty()))) {
        py::dict headers;
        headers["content-type"] = "application/json";
        return httpx.attr("Response")(200, py::arg("content") = py::bytes(line->response),
                                      py::arg("headers") = headers);
    }
    if (given_up) {
        py::dict error, payload;
        error["message"] = py::str("no answer in " + std::to_string(line->tries) + " batches; the last: " + line->error);
        error["type"] = "batch_error";
        error["param"] = py::none();
        error["code"] = py::none();
        payload["error"] = error;
        return httpx.attr("Response")(400, py::arg("json") = payload);
    }
    py::object waiting = M("_BatchWaiting")(py::str("held for the next batch"));
    waiting.attr("custom_id") = py::str(id);
    waiting.attr("body") = M("json").attr("dumps")(body, py::arg("ensure_ascii") = false);
    pyglue::raise(waiting);
}

// The _BatchWaiting raised for the request, behind the errors it caused.
py::object held_request(const py::object& error) {
    py::object waiting = M("_BatchWaiting");
    py::object e = error;
    for (int depth = 0; e && !e.is_none() && depth < 16; ++depth) {
        if (py::isinstance(e, waiting) && py::hasattr(e, "custom_id")) return e;
        py::object next = py::getattr(e, "__cause__", py::none());
        e = next.is_none() ? py::getattr(e, "__context__", py::none()) : next;
    }
    return py::object();
}

void hold(BatchCalls* calls, const std::string& id, const std::string& stage, const std::string& body) {
    calls->held.emplace(id, Held{stage, body});
}

// A stored answer that did not hold up goes into the next batch while it has
// tries left; true when it does.
bool hold_again(BatchCalls* calls, const std::string& id, const std::string& stage, const std::string& why) {
    calls->store->fail_batch_line(id, why);
    const auto line = calls->store->batch_line(id);
    if (!line || line->tries >= kMaxTries) return false;
    hold(calls, id, stage, line->body);
    return true;
}

// The service's _make_api_call_async for the batch run. The request is first
// built and looked up through the replaying client; only a call with an
// answer (or one given up on) reaches the service's own method, which makes
// it through the same client, counting, pacing and retrying as ever.
Coro call_through_batch(BatchCalls* calls, py::object task_name, py::object messages, py::object response_format,
                        py::object additional_info) {
    py::object service = calls->service;
    const std::string stage = stage_of(task_name);
    py::object error;
    M("_batch_served").attr("set")(py::none());
    {
        py::object parse = calls->replay.attr("beta").attr("chat").attr("completions").attr("parse");
        py::object looking = parse(py::arg("model") = service.attr("model"), py::arg("messages") = messages,
                                   py::arg("response_format") = response_format);
        try {
            py::object answer = co_await looking;
        } catch (...) {
            error = pyglue::caught();
        }
    }
    if (error) {
        py::object waiting = held_request(error);
        if (waiting) {
            hold(calls, utf8(waiting.attr("custom_id")), stage, utf8(waiting.attr("body")));
            raise_waiting("held for the next batch");
        }
    }
    py::object served = M("_batch_served").attr("get")();
    if (!served.is_none()) {
        const std::string id = utf8(served);
        if (error && !py::isinstance(error, M("openai").attr("APIStatusError"))) {
            // Not JSON, not the schema, cut short: the stored answer does not
            // hold up, and is asked for again in the next batch.
            if (hold_again(calls, id, stage, utf8(pyglue::cat("the answer did not hold up: ", error)))) {
                raise_waiting("held for the next batch");
            }
        } else if (!error) {
            // The same request asked again by the same sheet: its answer was
            // refused (an index out of range, say), so the batch is asked anew.
            py::object asked = M("_batch_asked").attr("get")();
            if (asked.is_none()) {
                asked = py::set();
                M("_batch_asked").attr("set")(asked);
            }
            if (asked.contains(served)) {
                if (hold_again(calls, id, stage, "the answer was refused and asked for again")) {
                    raise_waiting("held for the next batch");
                }
            }
            asked.attr("add")(served);
        }
    }
    py::object call = calls->original(service, py::arg("task_name") = task_name, py::arg("messages") = messages,
                                      py::arg("response_format") = response_format,
                                      py::arg("additional_info") = additional_info);
    py::object response = co_await call;
    co_return response;
}

// The sheets of a pass, as they were named, planned again by the next one.
std::vector<SheetJob> named_again(const std::vector<SheetJob>& jobs) {
    std::vector<SheetJob> again;
    for (const auto& job : jobs) {
        SheetJob next;
        next.path = job.path;
        next.resolved = job.resolved;
        next.roster = job.roster;
        again.push_back(std::move(next));
    }
    return again;
}

// The run's service set for batches: its prices cut by the discount, its
// calls through the store, no per-minute pacing (nothing it sends goes out).
void use_batches(BatchCalls& calls, Run& run, double discount) {
    py::object service = run.service;
    const double share = 1.0 - discount;
    py::object full_in = service.attr("input_price_per_million"), full_out = service.attr("output_price_per_million");
    for (const char* price : {"input_price_per_million", "output_price_per_million"}) {
        service.attr(price) = py::float_(py::cast<double>(service.attr(price)) * share);
    }
    // Pages the vision model reads are calls made online, at the full prices.
    py::object count_call = py::type::handle_of(service).attr("_count_call");
    service.attr("_count_call") = py::cpp_function(
        [service = py::object(service), count_call, full_in, full_out](py::args a, py::kwargs k) {
            py::object in = service.attr("input_price_per_million"), out = service.attr("output_price_per_million");
            service.attr("input_price_per_million") = full_in;
            service.attr("output_price_per_million") = full_out;
            py::object error;
            try {
                count_call(service, *a, **k);
            } catch (...) {
                error = pyglue::caught();
            }
            service.attr("input_price_per_million") = in;
            service.attr("output_price_per_million") = out;
            if (error) pyglue::raise(error);
        });
    service.attr("requests_per_minute") = py::int_(1000000000);
    calls.store = run.store;
    calls.service = service;
    calls.original = py::type::handle_of(service).attr("_make_api_call_async");
    py::object real = service.attr("async_client");
    BatchCalls* shared = &calls;
    py::object transport = M("httpx").attr("MockTransport")(
        py::cpp_function([shared](py::object request) { return answer_from_store(shared, request); }));
    calls.replay = M("openai").attr("AsyncOpenAI")(
        py::arg("api_key") = real.attr("api_key"), py::arg("base_url") = real.attr("base_url"),
        py::arg("max_retries") = 0, py::arg("http_client") = M("httpx").attr("AsyncClient")(py::arg("transport") = transport));
    service.attr("async_client") = calls.replay;
    service.attr("_make_api_call_async") = py::cpp_function(
        [shared](py::object task_name, py::object messages, py::object response_format, py::object additional_info) {
            return pyglue::make_coroutine(
                call_through_batch(shared, task_name, messages, response_format, additional_info),
                "LLMService._make_api_call_async");
        },
        py::arg("task_name"), py::arg("messages"), py::arg("response_format"), py::arg("additional_info") = "");
}

py::str sheets_word(std::size_t n) { return py::str(n == 1 ? " answer sheet" : " answer sheets"); }

// Reads a sheet for the answer-sheet pipeline as an extractor does: the
// reading an earlier pass kept, or the run's reader's, noted for keeping.
struct KeptReader {
    py::object inner = py::none();  // the run's reader; None when the reading was kept
    py::object read;   // the PdfReading, kept or read in this pass

    py::object read_pdf(const py::object& pdf_path, const py::object& page_numbers, const py::object& check_visibility,
                        const py::object& limits, const py::object& cancel) {
        if (inner.is_none()) return read;
        read = inner.attr("read_pdf")(pdf_path, page_numbers, py::arg("check_visibility") = check_visibility,
                                      py::arg("limits") = limits, py::arg("cancel") = cancel);
        return read;
    }
};

// How the run reads its sheets: a reading kept under other settings is not
// this run's.
std::string reading_settings(const Run& run) {
    py::object extractor = run.reading.extractor;
    py::object limits = run.reading.limits;
    py::list settings;
    for (const char* name : {"backend", "reader", "dpi", "min_confidence", "model"}) {
        settings.append(py::getattr(extractor, name, py::none()));
    }
    settings.append(py::bool_(run.reading.check_visibility));
    for (const char* name : {"max_pages", "max_chars", "timeout", "memory_mb"}) {
        settings.append(limits.is_none() ? py::object(py::none()) : py::object(limits.attr(name)));
    }
    return utf8(M("json").attr("dumps")(settings));
}

std::string kept_key(const Run& run, const SheetJob& job) { return job.sha + " " + run.reading.kept_settings; }

}  // namespace

py::object sheet_reader(Run& run, const SheetJob& job, py::list& calls) {
    if (run.reading.kept_settings.empty()) return run.reading.extractor;
    KeptReader reader;
    if (auto kept = run.store->kept_reading(kept_key(run, job))) {
        py::object json = M("json");
        py::dict reading = json.attr("loads")(kept->reading);
        py::dict texts;
        for (py::handle page : py::list(reading["texts"])) texts[page[py::int_(0)]] = page[py::int_(1)];
        // Calls made by an earlier pass: counted for the sheet, not made or logged again.
        reader.read = M("PdfReading")(texts, reading["hidden"], reading["pages"], py::list());
        for (py::handle call : py::list(json.attr("loads")(kept->usage))) calls.append(call);
        return py::cast(std::move(reader));
    }
    reader.inner = run.reading.extractor;
    return py::cast(std::move(reader));
}

void keep_reading(Run& run, const SheetJob& job, const py::object& reader, const py::list& calls) {
    if (run.reading.kept_settings.empty() || !py::isinstance<KeptReader>(reader)) return;
    const auto& kept = py::cast<const KeptReader&>(reader);
    if (kept.inner.is_none() || !kept.read) return;  // kept already, or never read
    py::object read = kept.read;
    py::list texts;
    for (auto item : py::dict(read.attr("texts"))) texts.append(py::make_tuple(item.first, item.second));
    py::dict reading;
    reading["texts"] = texts;
    reading["hidden"] = read.attr("hidden");
    reading["pages"] = read.attr("pages");
    py::object dumps = M("json").attr("dumps");
    run.store->keep_reading(kept_key(run, job), {utf8(dumps(reading)), utf8(dumps(calls))});
}

bool waits_for_batch(const py::object& error) {
    py::object waiting = M("_BatchWaiting");
    py::object e = error;
    for (int depth = 0; e && !e.is_none() && depth < 16; ++depth) {
        if (py::isinstance(e, waiting)) return true;
        py::object next = py::getattr(e, "__cause__", py::none());
        e = next.is_none() ? py::getattr(e, "__context__", py::none()) : next;
    }
    return false;
}

int run_batch(Session& s, const MarkOptions& o, Run& run, std::vector<SheetJob> jobs) {
    const bool wait = o.wait;
    const std::int64_t queue_tokens = o.batch_queue_tokens.value_or(0);
    BatchCalls calls;
    use_batches(calls, run, o.batch_discount.value_or(0.5));
    core::ResultsStore& store = *run.store;
    const py::object client = run.service.attr("client");
    const py::object outdir = o.output_dir;
    // A new invocation tries again what failed in every batch before it.
    store.retry_batch_lines(kMaxTries);
    run.reading.kept_settings = reading_settings(run);
    if (!connect_cluster(s, o, run)) return 1;
    const auto started = std::chrono::steady_clock::now();
    const std::size_t skipped = run.tally.skipped;
    for (;;) {
        if (auto open = store.open_batch()) {
            Polled polled = Polled::ended;
            try {
                polled = poll_batch(s, run, client, *open, wait);
            } catch (...) {
                py::object error = pyglue::caught();
                s.end_redirect();
                return ended(s, outdir, pyglue::cat("quorvan mark: cannot follow the batch ", py::str(open->batch_id),
                                                    ": ", error));
            }
            if (polled == Polled::interrupted) {
                s.end_redirect();
                s.say(pyglue::cat("Stopped waiting; batch ", py::str(open->batch_id),
                                  " goes on at the model service."));
                s.say(py::str(kContinue));
                return 130;
            }
            if (polled == Polled::running) {
                s.end_redirect();
                s.say(py::str(kContinue));
                return 0;
            }
            // Every open batch of a stage is collected before the pass that
            // uses them: a pass before then would send their lines again.
            continue;
        }

        // A pass: every sheet as online, the calls answered or held.
        calls.held.clear();
        run.jobs.clear();
        run.tally = Tally{};
        run.tally.skipped = skipped;
        run.tally.tty = s.terminal_is_tty();
        run.stop = Stopping{};
        std::vector<SheetJob> named = named_again(jobs);
        plan_run(run, jobs, false);
        jobs = std::move(named);
        if (auto status = write_first_class_file(s, run)) return *status;
        if (auto status = run_sheets(s, o, run)) return *status;
        if (run.stop.signal || calls.held.empty()) {
            // Everything the batches brought is stored: their lines are done with.
            if (!run.stop.signal) store.clear_batch_lines();
            return end_run(s, run, started);
        }

        std::size_t waiting = 0;
        for (const auto& job : run.jobs) waiting += job.waiting ? 1 : 0;
        write_class_file_quietly(run);
        std::vector<core::BatchRecord> made;
        std::int64_t again = 0;  // requests sent before, without an answer that stands
        std::int64_t left = 0;   // requests that wait for room in the batch queue
        try {
            made = submit_held(store, client, calls, queue_tokens, again, left);
        } catch (...) {
            py::object error = pyglue::caught();
            s.end_redirect();
            return ended(s, outdir, pyglue::cat("quorvan mark: cannot submit the batch: ", error));
        }
        if (run.tally.tty) s.say(py::str(""));
        py::object sent_again = again ? pyglue::cat(", ", py::int_(again), " of them sent again") : py::str("");
        if (made.size() == 1) {
            const core::BatchRecord& rec = made.front();
            s.say(pyglue::cat("Submitted batch ", py::str(rec.batch_id), ": ", py::int_(rec.total), " requests (",
                              py::str(rec.stage), ") for ", py::int_(waiting), sheets_word(waiting), sent_again, "."));
        } else {
            // More requests than one batch takes: several batches, each on its line.
            std::int64_t total = 0;
            for (const auto& rec : made) total += rec.total;
            s.say(pyglue::cat("Submitted ", py::int_(made.size()), " batches: ", py::int_(total), " requests for ",
                              py::int_(waiting), sheets_word(waiting), sent_again, "."));
            for (const auto& rec : made) {
                s.say(pyglue::cat("  batch ", py::str(rec.batch_id), ": ", py::int_(rec.total), " requests (",
                                  py::str(rec.stage), ")"));
            }
        }
        if (left > 0) {
            s.say(pyglue::cat(py::int_(left), left == 1 ? " request waits" : " requests wait",
                              " for room in the batch queue (--batch-queue-tokens ", py::int_(queue_tokens),
                              "): sent once these batches have ended."));
        }
        if (!wait) {
            s.end_redirect();
            s.say(py::str(kContinue));
            s.report_usage(run.service);
            return 0;
        }
    }
}

void batch_options(py::object command_parser, py::object args, MarkOptions& o) {
    py::object discount = args.attr("batch_discount");
    py::object queue = args.attr("batch_queue_tokens");
    o.batch = pyglue::truth(args.attr("batch"));
    o.wait = pyglue::truth(args.attr("wait"));
    if (!o.batch) {
        if (!queue.is_none()) {
            command_parser.attr("error")("--batch-queue-tokens is the account's batch queue: it needs --batch");
        }
        if (o.wait) command_parser.attr("error")("--wait waits for batches: it needs --batch");
        if (!discount.is_none()) {
            command_parser.attr("error")("--batch-discount is the price of batches: it needs --batch");
        }
        return;
    }
    if (!discount.is_none()) {
        const double d = py::cast<double>(discount);
        // Checked this way round so that nan is refused too.
        if (!(d >= 0 && d < 1)) command_parser.attr("error")("--batch-discount must be at least 0 and below 1");
        o.batch_discount = d;
    }
    if (!queue.is_none()) {
        o.batch_queue_tokens = whole_number(command_parser, queue, "--batch-queue-tokens");
        if (*o.batch_queue_tokens < 1) command_parser.attr("error")("--batch-queue-tokens must be at least 1");
    }
    if (o.force) {
        command_parser.attr("error")(
            "--force cannot be used with --batch: each run of a batch continues the one before, and --force "
            "would start it over every time");
    }
}

namespace {

// The HTTP library the openai client is built on: httpx2 in recent releases,
// httpx before.
void bind_http_library(py::module_& m) {
    py::object http;
    for (const char* name : {"httpx2", "httpx"}) {
        try {
            http = py::module_::import(name);
            break;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ImportError)) throw;
        }
    }
    m.attr("httpx") = http ? http : py::none();
}

}  // namespace

void init_batch(py::module_& m) {
    m.attr("_BatchWaiting") = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "quorvan_core.cli._BatchWaiting", "A model call held for a batch: its answer comes with the batch.",
        PyExc_Exception, nullptr));
    py::object contextvar = py::module_::import("contextvars").attr("ContextVar");
    // The request the replaying client last looked up, and those a sheet has
    // asked for, in the task that asked.
    m.attr("_batch_served") = contextvar("quorvan_batch_served", py::arg("default") = py::none());
    m.attr("_batch_asked") = contextvar("quorvan_batch_asked", py::arg("default") = py::none());
    pyglue::bind_made(m, {"httpx"}, &bind_http_library);
    py::class_<KeptReader>(m, "_KeptReader")
        .def("read_pdf", &KeptReader::read_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
             py::kw_only(), py::arg("check_visibility") = true, py::arg("limits") = py::none(),
             py::arg("cancel") = py::none());
}

}  // namespace quorvan::cli::marking
