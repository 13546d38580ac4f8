#include "errors.hpp"

#include "handback_pdf.hpp"
#include "isolated_read.hpp"
#include "ocr.hpp"
#include "pdf_document.hpp"
#include "results_store.hpp"

#include <new>
#include <stdexcept>

namespace pyglue {

namespace core = quorvan::core;

namespace detail {

py::object fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return py::none();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace detail

namespace {

void set_runtime_error(const char* what) {
    const std::string_view s(what);
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!text) return;  // the decoding error stands in
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

}  // namespace

bool set_core_error(std::exception_ptr error) {  // NOLINT(performance-unnecessary-value-param): as pybind11 hands it over
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const core::PdfError& e) {
        set_runtime_error(e.what());
    } catch (const core::OcrError& e) {
        set_runtime_error(e.what());
    } catch (const core::StoreError& e) {
        set_runtime_error(e.what());
    } catch (const core::HandbackError& e) {
        set_runtime_error(e.what());
    } catch (const core::ReadStopped& e) {
        set_runtime_error(e.what());
    } catch (...) {
        return false;
    }
    return true;
}

void init_errors() {
    static bool registered = false;  // under the GIL
    if (registered) return;
    registered = true;
    // pybind11's translator type takes the pointer by value.
    py::register_exception_translator([](std::exception_ptr error) {  // NOLINT(performance-unnecessary-value-param)
        if (!set_core_error(error)) std::rethrow_exception(error);
    });
}

py::object current_exception() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e.value();
    } catch (py::builtin_exception& e) {
        e.set_error();
        return detail::fetch_error();
    } catch (...) {
        if (set_core_error(std::current_exception())) return detail::fetch_error();
    }
    try {
        throw;
    } catch (std::bad_alloc&) {
        return py::reinterpret_steal<py::object>(PyObject_CallNoArgs(PyExc_MemoryError));
    } catch (std::exception& e) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallOneArg(PyExc_RuntimeError, py::str(e.what()).ptr()));
    } catch (...) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallOneArg(PyExc_RuntimeError, py::str("unknown C++ exception").ptr()));
    }
}

bool is_ordinary(py::handle exc) {
    return PyObject_IsInstance(exc.ptr(), PyExc_Exception) == 1;
}

py::object caught() {
    py::object e = current_exception();
    if (!is_ordinary(e)) throw;
    return e;
}

void rewrap(py::handle type, py::handle prefix) {
    py::object e = caught();
    raise_new(type, cat(prefix, e), e);
}

void raise(py::handle exc) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
    PyObject* tb = PyException_GetTraceback(exc.ptr());  // new reference or NULL
    Py_INCREF(type);
    Py_INCREF(exc.ptr());
    // PyErr_Restore does no implicit chaining: the exception goes out as it is.
    PyErr_Restore(type, exc.ptr(), tb);
    throw py::error_already_set();
}

void raise_new(py::handle type, py::handle message, py::handle context) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(message);
    if (context && !context.is_none()) {
        PyException_SetContext(exc.ptr(), context.inc_ref().ptr());  // steals
    }
    raise(exc);
}

}  // namespace pyglue
