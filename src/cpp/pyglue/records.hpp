// Record classes: state lives in the instance __dict__, never in C++, so a
// record compares, copies, pickles and prints as a Python class would.
#pragma once

#include "export.hpp"

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

namespace pyglue {
namespace py = pybind11;

namespace detail {
template <typename T>
struct call_traits : call_traits<decltype(&std::remove_reference_t<T>::operator())> {};
template <typename C, typename R, typename... A>
struct call_traits<R (C::*)(A...) const> {
    using tail = std::tuple<A...>;
};
template <typename R, typename... A>
struct call_traits<R (*)(A...)> {
    using tail = std::tuple<A...>;
};
template <typename Tag, typename F, typename... A>
struct init_def;
template <typename Tag, typename F, typename Self, typename... A>
struct init_def<Tag, F, std::tuple<Self, A...>> {
    template <typename Cls, typename... Extra>
    static void def(Cls& cls, F f, const Extra&... extra) {
        cls.def(
            "__init__",
            [f](py::detail::value_and_holder& v_h, A... args) {
                if (!v_h.value_ptr()) v_h.value_ptr() = new Tag();
                py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
                f(self, std::move(args)...);
            },
            py::detail::is_new_style_constructor(), extra...);
    }
};
}  // namespace detail

// __init__ whose body receives the instance: f(py::handle self, args...).
// Classes keep their state in the instance __dict__, so Tag is an empty marker.
template <typename Tag, typename F, typename... Extra>
void def_init(py::class_<Tag>& cls, F f, const Extra&... extra) {
    detail::init_def<Tag, F, typename detail::call_traits<F>::tail>::def(cls, std::move(f), extra...);
}

// Pickling and copying by instance __dict__.
template <typename Tag>
void def_dict_reduce(py::class_<Tag>& cls) {
    cls.def("__reduce__", [](py::object self) {
        py::object newobj = py::module_::import("copyreg").attr("__newobj__");
        return py::make_tuple(newobj, py::make_tuple(py::type::of(self)), self.attr("__dict__"));
    });
}

// Value equality: same type and equal instance __dict__. Unhashable, as a
// Python class that defines __eq__ alone.
template <typename Tag>
void def_dict_eq(py::class_<Tag>& cls) {
    cls.def("__eq__", [](py::object self, py::object other) -> py::object {
        if (!py::type::handle_of(self).is(py::type::handle_of(other))) {
            return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        }
        return py::bool_(self.attr("__dict__").equal(other.attr("__dict__")));
    });
    cls.attr("__hash__") = py::none();
}

// A data record: true even when empty (callers test a record's truth to see
// whether it exists), equal by value, copied and pickled by __dict__.
template <typename Tag>
void def_record(py::class_<Tag>& cls) {
    cls.def("__bool__", [](py::object) { return true; });
    def_dict_eq(cls);
    def_dict_reduce(cls);
}

// "TypeName(name=repr(value), ...)", named after type(self) so that a
// subclass shows its own name.
PYGLUE_API py::str record_repr(py::handle self,
                               std::initializer_list<std::pair<const char*, py::object>> fields);

}  // namespace pyglue
