// quorvan mark --ray: the reading of each sheet (text layer, OCR, the check of
// what a reader sees) runs as a Ray task on a cluster's workers. The model
// calls and the results store stay with the command: the one pacer of the
// model service keeps the account's limits for the whole run, and only the
// command writes the store.
//
// A task gets the sheet's bytes, not its path, so a worker needs no shared
// folder, and sends back plain data (texts, hidden words, how each page was
// read). Pages the run's reader sends to the vision model are read again by
// the command with its own extractor, which calls the model from here.
#include <algorithm>
#include <set>

#include <pybind11/eval.h>

#include "mark_run.hpp"

namespace quorvan::cli::marking {

namespace {

// A worker lost mid-task (its process killed, its node gone): the sheet is
// read again elsewhere this many times before it fails.
constexpr int kTaskRetries = 3;

// Polled while a task runs, so that Ctrl-C stops the reading at once.
constexpr double kPollSeconds = 0.25;

// How long the head of a cluster named by host:port has to answer.
constexpr double kHeadSeconds = 10.0;

py::object builtin(const char* name) { return M("builtins").attr(name); }

// ------------------------------------------------------------- the worker

// The sheet read on a worker as the command reads it with the local backend
// and its reader set to 'local': no page leaves the worker. Returns
// ("read", texts, hidden, pages) or ("failed", type name, message, limit),
// the message naming the sheet as the command does.
py::tuple read_on_worker(py::bytes pdf, py::str shown, py::object page_numbers, py::object dpi,
                         py::object min_confidence, bool check_visibility, py::object limits) {
    py::object path_module = M("os").attr("path");
    py::object folder = M("tempfile").attr("mkdtemp")(py::arg("prefix") = "quorvan-ray-");
    py::object path = path_module.attr("join")(folder, path_module.attr("basename")(shown));
    py::tuple result;
    py::object error;
    try {
        py::object file = builtin("open")(path, "wb");
        try {
            file.attr("write")(pdf);
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        py::object reader = M("ExtractorClient")("local", py::arg("reader") = "local",
                                                 py::arg("min_confidence") = min_confidence);
        reader.attr("set_dpi")(dpi);
        py::object bounds = limits.is_none() ? py::object(py::none()) : M("ReadLimits")(*limits);
        py::object read = reader.attr("read_pdf")(path, page_numbers, py::arg("check_visibility") = check_visibility,
                                                  py::arg("limits") = bounds);
        result = py::make_tuple("read", read.attr("texts"), read.attr("hidden"), read.attr("pages"));
    } catch (...) {
        error = pyglue::current_exception();
    }
    M("shutil").attr("rmtree")(folder, py::arg("ignore_errors") = true);
    if (error) {
        if (!pyglue::is_ordinary(error)) pyglue::raise(error);
        py::str message = pyglue::str(error).attr("replace")(path, shown);
        result = py::make_tuple("failed", py::type::handle_of(error).attr("__name__"), message,
                                py::getattr(error, "limit", py::none()));
    }
    return result;
}

// A failure sent back by a worker, raised as the same type with the same text.
[[noreturn]] void raise_failure(const py::tuple& failed) {
    const std::string kind = py::cast<std::string>(failed[1]);
    py::object message = failed[2];
    if (kind == "ReadLimitError") {
        py::object error = M("ReadLimitError")(message);
        error.attr("limit") = failed[3];
        pyglue::raise(error);
    }
    py::object type = py::getattr(M("builtins"), kind.c_str(), py::none());
    if (type.is_none() || !PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()),
                                                                        reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        type = py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
    }
    pyglue::raise(type(message));
}

// ------------------------------------------------------------- the command

// Reads sheets for the answer-sheet pipeline as an extractor does
// (read_pdf), each on the cluster.
struct RayReader {
    py::object extractor;  // the run's own: its settings, and the vision model's pages
    py::object task;       // read_on_worker as a Ray remote function

    py::object read_pdf(py::object pdf_path, py::object page_numbers, py::object check_visibility,
                        py::object limits, py::object cancel) {
        // The vision backend reads every page through the model: nothing for
        // a worker to do that the command would not do again.
        if (utf8(extractor.attr("backend")) != "local") {
            return extractor.attr("read_pdf")(pdf_path, page_numbers, py::arg("check_visibility") = check_visibility,
                                              py::arg("limits") = limits, py::arg("cancel") = cancel);
        }
        py::object ray = M("ray");
        py::object file = builtin("open")(pdf_path, "rb");
        py::object pdf;
        try {
            pdf = file.attr("read")();
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        py::object bounds = py::none();
        if (!limits.is_none()) {
            bounds = py::make_tuple(limits.attr("max_pages"), limits.attr("max_chars"), limits.attr("timeout"),
                                    limits.attr("memory_mb"));
        }
        py::object ref = task.attr("remote")(pdf, pdf_path, page_numbers, extractor.attr("dpi"),
                                             extractor.attr("min_confidence"), pyglue::truth(check_visibility), bounds);
        py::tuple found;
        try {
            py::list refs;
            refs.append(ref);
            while (true) {
                py::tuple waited = ray.attr("wait")(refs, py::arg("timeout") = kPollSeconds);
                if (py::len(waited[0]) > 0) break;
                if (!cancel.is_none() && pyglue::truth(cancel.attr("is_set")())) {
                    ray.attr("cancel")(ref, py::arg("force") = true);
                    pyglue::raise_new(PyExc_RuntimeError, "reading cancelled");
                }
            }
            found = ray.attr("get")(ref);
        } catch (py::error_already_set& e) {
            if (!e.matches(ray.attr("exceptions").attr("RayError"))) throw;
            // Retried already where a worker was lost: what is left is said
            // in one line, the first of Ray's own.
            py::object text = pyglue::str(e.value()).attr("strip")().attr("splitlines")();
            py::object first = py::len(text) ? py::object(text[py::int_(0)]) : pyglue::str(py::type::handle_of(e.value()).attr("__name__"));
            pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("the cluster could not read it: ", first), e.value());
        }
        if (utf8(found[0]) != "read") raise_failure(found);
        py::dict texts = found[1];
        py::list hidden = found[2];
        py::list pages = found[3];
        py::list calls;
        finish_with_vision(pdf_path, check_visibility, limits, cancel, texts, hidden, pages, calls);
        return M("PdfReading")(texts, hidden, pages, calls);
    }

    // The pages the run's reader would have sent to the vision model (all
    // those OCR read for 'vision'; those it read with low confidence for
    // 'auto') are read again here, so that the model is called from the
    // command alone and the sheet reads as it does without Ray.
    void finish_with_vision(const py::object& pdf_path, const py::object& check_visibility, const py::object& limits,
                            const py::object& cancel, py::dict& texts, py::list& hidden, py::list& pages,
                            py::list& calls) {
        const std::string reader = utf8(extractor.attr("reader"));
        if (reader == "local") return;
        py::list again;
        std::set<long long> numbers;
        for (py::handle page : pages) {
            if (utf8(page["method"]) != "ocr") continue;
            if (reader == "vision" || !pyglue::truth(page["reliable"])) {
                again.append(page["page"]);
                numbers.insert(py::cast<long long>(page["page"]));
            }
        }
        if (numbers.empty()) return;
        py::object read = extractor.attr("read_pdf")(pdf_path, again, py::arg("check_visibility") = check_visibility,
                                                     py::arg("limits") = limits, py::arg("cancel") = cancel);
        py::dict new_texts = read.attr("texts");
        for (auto item : new_texts) texts[item.first] = item.second;
        py::dict by_page;
        for (py::handle page : py::list(read.attr("pages"))) by_page[page["page"]] = page;
        py::list merged_pages;
        for (py::handle page : pages) {
            py::object number = page["page"];
            merged_pages.append(by_page.contains(number) ? py::object(by_page[number]) : py::reinterpret_borrow<py::object>(page));
        }
        pages = merged_pages;
        // Hidden words stay in page order: those of the pages read again come
        // from the second reading.
        py::list merged_hidden;
        py::list new_hidden = read.attr("hidden");
        std::size_t next = 0;
        auto page_of = [](py::handle entry) { return py::cast<long long>(entry["page"]); };
        for (py::handle entry : hidden) {
            if (numbers.count(page_of(entry))) continue;
            while (next < py::len(new_hidden) && page_of(new_hidden[next]) < page_of(entry)) merged_hidden.append(new_hidden[next++]);
            merged_hidden.append(entry);
        }
        while (next < py::len(new_hidden)) merged_hidden.append(new_hidden[next++]);
        hidden = merged_hidden;
        calls = read.attr("calls");
    }
};

}  // namespace

void require_ray(const Session& s) {
    try {
        M.handle().attr("ray") = py::module_::import("ray");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        s.usage_error(kRayMissing);
    }
}

namespace {

// Ray waits minutes for a head that is not there: a cluster named by
// host:port is tried first, briefly. Other forms (auto, ray://) go to Ray.
void try_head(const std::string& address) {
    const auto colon = address.rfind(':');
    if (address.find("://") != std::string::npos || colon == std::string::npos || colon + 1 == address.size()) return;
    const std::string port = address.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return;
    py::object connection = M("socket").attr("create_connection")(
        py::make_tuple(address.substr(0, colon), std::stoi(port)), py::arg("timeout") = kHeadSeconds);
    connection.attr("close")();
}

}  // namespace

std::size_t start_ray(Session& s, const py::object& args, Run& run) {
    py::object ray = M("ray");
    py::object address = args.attr("ray");
    if (!pyglue::truth(address)) address = py::none();
    py::kwargs options;
    // Ray's own lines stay off the terminal, which shows the command's.
    options["logging_level"] = M("logging").attr("ERROR");
    options["log_to_driver"] = false;
    if (!address.is_none()) options["address"] = address;
    py::object named = address.is_none() ? M("os").attr("environ").attr("get")("RAY_ADDRESS", py::none()) : address;
    try {
        if (pyglue::truth(named)) try_head(utf8(named));
        ray.attr("init")(**options);
    } catch (...) {
        py::object error = pyglue::caught();
        s.end_redirect();
        s.complain(pyglue::cat("quorvan mark: cannot start Ray",
                               pyglue::truth(named) ? pyglue::cat(" at ", named) : py::str(""), ": ", error));
        return 0;
    }
    run.reading.ray = ray;
    RayReader reader;
    reader.extractor = run.reading.extractor;
    reader.task = ray.attr("remote")(py::arg("num_cpus") = 1, py::arg("max_retries") = kTaskRetries)(M("_read_task"));
    run.reading.extractor = py::cast(std::move(reader));
    py::object cpus = ray.attr("cluster_resources")().attr("get")("CPU", 1);
    return std::max<std::size_t>(1, static_cast<std::size_t>(py::cast<double>(cpus)));
}

void stop_ray(Run& run) noexcept {
    if (!run.reading.ray) return;
    try {
        run.reading.ray.attr("shutdown")();
    } catch (...) {
        PyErr_Clear();
    }
    run.reading.ray = py::object();
}

void init_ray_reading(py::module_& m) {
    m.def("_read_on_worker", &read_on_worker, py::arg("pdf"), py::arg("shown"), py::arg("page_numbers"),
          py::arg("dpi"), py::arg("min_confidence"), py::arg("check_visibility"), py::arg("limits"),
          "A sheet read on a Ray worker for quorvan mark --ray.");
    // Ray makes tasks of Python functions alone, not of builtins: the task is
    // a one-line function over the one above. Known by its name here, it is
    // pickled by reference, and each worker imports it from its package.
    py::dict scope;
    scope["read"] = m.attr("_read_on_worker");
    py::object task = py::eval("lambda *args: read(*args)", scope);
    task.attr("__module__") = m.attr("__name__");
    task.attr("__name__") = "_read_task";
    task.attr("__qualname__") = "_read_task";
    task.attr("__doc__") = m.attr("_read_on_worker").attr("__doc__");
    m.attr("_read_task") = task;
    py::class_<RayReader>(m, "_RayReader")
        .def("read_pdf", &RayReader::read_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(),
             py::kw_only(), py::arg("check_visibility") = true, py::arg("limits") = py::none(),
             py::arg("cancel") = py::none());
}

}  // namespace quorvan::cli::marking
