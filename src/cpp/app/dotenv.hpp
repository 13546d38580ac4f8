// Loading the .env file that holds the application's keys.
#pragma once

#include <pybind11/pybind11.h>

namespace app {
namespace py = pybind11;

// load_dotenv() as Python code calls it. python-dotenv looks for .env by
// walking up from the calling Python file; called from C++ with no such file
// above it (code read from stdin, an embedded interpreter) that walk fails,
// and the search then starts from the working directory instead.
__attribute__((visibility("default"))) py::object call_load_dotenv(py::handle load_dotenv);

}  // namespace app
