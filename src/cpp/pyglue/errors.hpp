// Errors, one family for every module. A guard is either a lambda wrapper
// (wrap_errors) or, where a lambda cannot hold the body (a co_await), a
// catch (...) that calls caught() or rewrap():
//     try { r = co_await f(); } catch (...) { error = pyglue::caught(); }
// "Ordinary" errors are those `except Exception` catches; KeyboardInterrupt,
// SystemExit and GeneratorExit always pass through a guard unchanged.
// The core's C++ exceptions become Python errors in one translator, the same
// whether they leave a binding or are caught by a guard.
#pragma once

#include "export.hpp"
#include "text.hpp"

#include <pybind11/pybind11.h>

#include <exception>

namespace pyglue {
namespace py = pybind11;

// The Python exception object for the C++ exception being handled; call only
// inside a catch block.
PYGLUE_API py::object current_exception();
// isinstance(exc, Exception): the errors a guard may catch; others pass through.
PYGLUE_API bool is_ordinary(py::handle exc);
// Raise exc itself (its traceback kept), as `raise exc` would.
[[noreturn]] PYGLUE_API void raise(py::handle exc);
// Raise type(message) with __context__ set to context (when given) and
// __cause__ left unset, as `raise New(...)` inside `except` does.
[[noreturn]] PYGLUE_API void raise_new(py::handle type, py::handle message, py::handle context = py::handle());
[[noreturn]] inline void raise_new(py::handle type, const char* message, py::handle context = py::handle()) {
    raise_new(type, py::str(message), context);
}

// Inside catch (...): the ordinary error being handled, as a Python object;
// anything else is rethrown.
PYGLUE_API py::object caught();
// Inside catch (...): raise type(prefix + str(e)) with the ordinary error e
// being handled as its context; anything else is rethrown.
[[noreturn]] PYGLUE_API void rewrap(py::handle type, py::handle prefix);

// Run body; an ordinary error becomes type(prefix + str(e)) with e as its
// context; other errors pass through unchanged.
template <typename F>
auto wrap_errors(py::handle type, const char* prefix, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rewrap(type, py::str(prefix));
    }
}

// The same guard with a prefix built at run time (one that names an id, say).
template <typename F>
auto wrap_errors(py::handle type, py::handle prefix, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rewrap(type, prefix);
    }
}

// Run body; an ordinary error e is handed to on_error(e) and the call ends
// normally; other errors pass through unchanged.
template <typename F, typename H>
void report_errors(F&& body, H&& on_error) {
    try {
        body();
    } catch (...) {
        on_error(caught());
    }
}

// The core's exceptions (PdfError, OcrError, StoreError, HandbackError,
// ReadStopped) as Python sees them: RuntimeError(what()), the message decoded
// with replacement so a file name in a foreign encoding still reads. Sets the
// Python error and returns true for one of them, else false.
PYGLUE_API bool set_core_error(std::exception_ptr error);

// Registers that translation with pybind11, once per process (Module::set
// calls it at import).
PYGLUE_API void init_errors();

namespace detail {
// The Python error being raised, normalised, as an object (None when none is).
PYGLUE_API py::object fetch_error();
}  // namespace detail

}  // namespace pyglue
