// Printing goes through builtins.print, looked up at call time, so that
// redirected or patched output sees every line.
#pragma once

#include "export.hpp"

#include <pybind11/pybind11.h>

#include <string>

namespace pyglue {
namespace py = pybind11;

PYGLUE_API void print(py::handle line);
inline void print(const char* line) { print(py::str(line)); }
inline void print(const std::string& line) { print(py::str(line)); }

}  // namespace pyglue
