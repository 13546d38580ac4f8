#include "checks.hpp"

#include "errors.hpp"
#include "text.hpp"

namespace pyglue {

void raise_arg_type(const char* arg, const char* expected, py::handle got) {
    raise_new(PyExc_TypeError, cat("Argument '", arg, "' has incorrect type (expected ", expected,
                                   ", got ", py::type::handle_of(got).attr("__name__"), ")"));
}

void need_str(py::handle v, const char* arg) {
    if (!PyUnicode_CheckExact(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_str_instance(py::handle v, const char* arg) {
    if (!PyUnicode_Check(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_opt_str(py::handle v, const char* arg) {
    if (!v.is_none() && !PyUnicode_CheckExact(v.ptr())) raise_arg_type(arg, "str", v);
}

void need_list(py::handle v, const char* arg) {
    if (!PyList_CheckExact(v.ptr())) raise_arg_type(arg, "list", v);
}

void need_opt_list(py::handle v, const char* arg) {
    if (!v.is_none() && !PyList_CheckExact(v.ptr())) raise_arg_type(arg, "list", v);
}

void need_dict(py::handle v, const char* arg) {
    if (!PyDict_CheckExact(v.ptr())) raise_arg_type(arg, "dict", v);
}

static bool is_real_number(py::handle v) {
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return true;
    py::object real = py::module_::import("numbers").attr("Real");
    return py::isinstance(v, real);
}

py::object need_int(py::handle v, const char* arg) {
    if (PyLong_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (!is_real_number(v)) raise_arg_type(arg, "int", v);
    PyObject* r = PyNumber_Long(v.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object need_opt_int(py::handle v, const char* arg) {
    if (v.is_none()) return py::none();
    return need_int(v, arg);
}

py::object need_float(py::handle v, const char* arg) {
    if (PyFloat_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (!is_real_number(v)) raise_arg_type(arg, "float", v);
    PyObject* r = PyNumber_Float(v.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object need_dict_result(py::object v) {
    if (v.is_none() || PyDict_CheckExact(v.ptr())) return v;
    raise_new(PyExc_TypeError, cat("Expected dict, got ", py::type::handle_of(v).attr("__name__")));
}

}  // namespace pyglue
