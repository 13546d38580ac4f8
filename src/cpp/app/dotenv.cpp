#include "dotenv.hpp"

namespace app {

py::object call_load_dotenv(py::handle load_dotenv) {
    py::object load = py::reinterpret_borrow<py::object>(load_dotenv);
    try {
        return load();
    } catch (py::error_already_set& e) {
        // AssertionError from the frame walk; AttributeError when asserts are off.
        if (!e.matches(PyExc_AssertionError) && !e.matches(PyExc_AttributeError)) throw;
        py::object find = py::module_::import("dotenv").attr("find_dotenv");
        return load(find(py::arg("usecwd") = true));
    }
}

}  // namespace app
