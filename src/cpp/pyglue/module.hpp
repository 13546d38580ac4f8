// Late binding: collaborators live on the module object and are looked up at
// each use, so that unittest.mock.patch on the module works.
#pragma once

#include "errors.hpp"
#include "export.hpp"

#include <pybind11/pybind11.h>

#include <initializer_list>

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

// m.<as_name> = import(module) or import(module).<name>, imported when it is
// first looked up rather than when m is: a command that never calls the model
// never pays for importing openai. The value is then stored on m like any
// attribute (patching and deleting it behave as for a Python module's global).
PYGLUE_API void bind(py::module_& m, const char* as_name, const char* module, const char* name = nullptr);

// As bind, for a collaborator the module can do without: None when its
// package cannot be imported.
PYGLUE_API void bind_optional(py::module_& m, const char* as_name, const char* module, const char* name = nullptr);

// Attributes made together by make(m) when any of them is first looked up
// (classes built at run time, such as pydantic models). make sets every one of
// `names` on m.
PYGLUE_API void bind_made(py::module_& m, std::initializer_list<const char*> names, void (*make)(py::module_&));

}  // namespace pyglue
