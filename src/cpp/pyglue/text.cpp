#include "text.hpp"

namespace pyglue {

py::str str(py::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::str join(const char* sep, py::handle items) {
    PyObject* joined = PyUnicode_Join(py::str(sep).ptr(), items.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

py::object clip(py::handle text, Py_ssize_t width) {
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GetLength(text.ptr()) <= width) {
        return py::reinterpret_borrow<py::object>(text);
    }
    PyObject* head = PyUnicode_Substring(text.ptr(), 0, width);
    if (!head) throw py::error_already_set();
    return cat(py::reinterpret_steal<py::object>(head), "\u2026");
}

bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

}  // namespace pyglue
