// Late binding: collaborators live on the module object and are looked up at
// each use, so that unittest.mock.patch on the module works.
#pragma once

#include "errors.hpp"
#include "export.hpp"

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

// The extension module object; collaborators are stored on it at import.
class Module {
public:
    void set(py::handle m) {
        m.inc_ref();  // kept for the life of the process
        mod_ = m.ptr();
        init_errors();
    }
    py::object get(const char* name) const { return py::getattr(py::handle(mod_), name); }
    py::object operator()(const char* name) const { return get(name); }
    py::handle handle() const { return py::handle(mod_); }

private:
    PyObject* mod_ = nullptr;
};

// m.<as_name> = import(module) or import(module).<name>
PYGLUE_API void bind(py::module_& m, const char* as_name, const char* module, const char* name = nullptr);

}  // namespace pyglue
