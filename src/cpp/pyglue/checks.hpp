// Argument and result checks: the TypeError a caller sees for a wrong type.
#pragma once

#include "export.hpp"

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

// TypeError: Argument 'pdf_path' has incorrect type (expected str, got NoneType)
[[noreturn]] PYGLUE_API void raise_arg_type(const char* arg, const char* expected, py::handle got);

PYGLUE_API void need_str(py::handle v, const char* arg);           // type(v) is str
PYGLUE_API void need_str_instance(py::handle v, const char* arg);  // isinstance(v, str)
PYGLUE_API void need_opt_str(py::handle v, const char* arg);       // None or type(v) is str
PYGLUE_API void need_list(py::handle v, const char* arg);          // type(v) is list
PYGLUE_API void need_opt_list(py::handle v, const char* arg);      // None or type(v) is list
PYGLUE_API void need_dict(py::handle v, const char* arg);          // type(v) is dict
PYGLUE_API py::object need_int(py::handle v, const char* arg);      // any real number, truncated
PYGLUE_API py::object need_opt_int(py::handle v, const char* arg);  // None or need_int
PYGLUE_API py::object need_float(py::handle v, const char* arg);    // any real number, as float
inline bool truth(py::handle v) { return py::bool_(py::reinterpret_borrow<py::object>(v)); }

// A method documented to return a dict: v itself when it is exactly a dict or
// None, else TypeError "Expected dict, got list".
PYGLUE_API py::object need_dict_result(py::object v);

}  // namespace pyglue
