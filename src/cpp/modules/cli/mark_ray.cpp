// quorvan mark --ray: the reading of each sheet (text layer, OCR, the check of
// what a reader sees, and the images of the pages the vision model is to
// read) runs as a Ray task on a cluster's workers. The model calls and the
// results store stay with the command: the one pacer of the model service
// keeps the account's limits for the whole run, and only the command writes
// the store.
//
// A task gets the sheet's bytes, not its path, so a worker needs no shared
// folder, and sends back plain data (texts, hidden words, how each page was
// read, PNGs). The command sends those PNGs to the vision model.
#include <algorithm>

#include "pdf_document.hpp"
#include "png_image.hpp"

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


// ------------------------------------------------------------- the worker

// The pages a reader sends to the vision model: every page OCR read for
// 'vision', those it read with too little confidence for 'auto'.
bool for_vision(const std::string& reader, py::handle page) {
    if (reader == "local" || utf8(page["method"]) != "ocr") return false;
    return reader == "vision" || !pyglue::truth(page["reliable"]);
}

// Those pages drawn as the vision model sees them: {page: PNG}, or, for a
// page that could not be drawn, {page: why}, which the command reports as
// the vision model's failure on that page, as it would its own.
py::dict draw_pages(const py::object& path, const py::object& shown, const py::list& pages, const std::string& reader,
                    const py::object& dpi) {
    py::dict images;
    std::vector<int> numbers;
    for (py::handle page : pages) {
        if (for_vision(reader, page)) numbers.push_back(py::cast<int>(page["page"]));
    }
    if (numbers.empty()) return images;
    const std::string file = app::native(path).native();
    const std::string name = utf8(shown);
    const double resolution = py::cast<double>(dpi);
    std::vector<std::vector<unsigned char>> drawn(numbers.size());
    std::vector<std::string> failed(numbers.size());
    {
        py::gil_scoped_release nogil;
        try {
            const core::PdfDocument doc = core::PdfDocument::open(file, name);
            for (std::size_t i = 0; i < numbers.size(); ++i) {
                try {
                    drawn[i] = core::encode_png(doc.render(numbers[i], resolution, 3));
                } catch (const core::PdfError& e) {
                    failed[i] = e.what();
                }
            }
        } catch (const core::PdfError& e) {
            std::fill(failed.begin(), failed.end(), std::string(e.what()));
        }
    }
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (failed[i].empty()) {
            images[py::int_(numbers[i])] = py::bytes(reinterpret_cast<const char*>(drawn[i].data()), drawn[i].size());
        } else {
            images[py::int_(numbers[i])] = py::reinterpret_steal<py::str>(
                PyUnicode_DecodeUTF8(failed[i].data(), static_cast<Py_ssize_t>(failed[i].size()), "replace"));
        }
    }
    return images;
}

// The sheet read on a worker as the command reads it with the local backend
// and its reader set to 'local': no page leaves the worker. The pages the
// command's reader (`reader`) sends to the vision model are drawn here too.
// Returns ("read", texts, hidden, pages, images) or ("failed", type name,
// message, limit), the message naming the sheet as the command does.
py::tuple read_on_worker(py::bytes pdf, py::str shown, py::object page_numbers, py::object dpi,
                         py::object min_confidence, bool check_visibility, py::object limits,
                         const std::string& reader) {
    py::object folder = app::make_temporary_folder("quorvan-ray-");
    py::object path = app::join(folder, app::base_name(shown));
    py::tuple result;
    py::object error;
    try {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(pdf.ptr(), &data, &size) < 0) throw py::error_already_set();
        app::write_bytes(path, std::string_view(data, static_cast<std::size_t>(size)));
        py::object local = M("ExtractorClient")("local", py::arg("reader") = "local",
                                                py::arg("min_confidence") = min_confidence);
        local.attr("set_dpi")(dpi);
        py::object bounds = limits.is_none() ? py::object(py::none()) : M("ReadLimits")(*limits);
        py::object read = local.attr("read_pdf")(path, page_numbers, py::arg("check_visibility") = check_visibility,
                                                 py::arg("limits") = bounds);
        py::list pages = read.attr("pages");
        result = py::make_tuple("read", read.attr("texts"), read.attr("hidden"), pages,
                                draw_pages(path, shown, pages, reader, dpi));
    } catch (...) {
        error = pyglue::current_exception();
    }
    app::remove_tree(folder);
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
        const py::bytes pdf(app::read_bytes(pdf_path));
        py::object bounds = py::none();
        if (!limits.is_none()) {
            bounds = py::make_tuple(limits.attr("max_pages"), limits.attr("max_chars"), limits.attr("timeout"),
                                    limits.attr("memory_mb"));
        }
        py::object ref = task.attr("remote")(pdf, pdf_path, page_numbers, extractor.attr("dpi"),
                                             extractor.attr("min_confidence"), pyglue::truth(check_visibility), bounds,
                                             extractor.attr("reader"));
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
        // The pages the run's reader sends to the vision model go to it from
        // here, from the images the worker drew, so that the model is called
        // from the command alone and the sheet reads as it does without Ray.
        return extractor.attr("_settle_rendered")(pdf_path, found[1], found[2], found[3], found[4]);
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

std::size_t start_ray(Session& s, const MarkOptions& o, Run& run) {
    py::object ray = M("ray");
    py::object address = o.ray;
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
          py::arg("reader") = "local",
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
