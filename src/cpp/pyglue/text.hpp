// Text as Python builds it: str(), concatenation, joining, clipping and `in`.
// Everything stays a Python string (no UTF-8 round trip, lone surrogates survive).
#pragma once

#include "export.hpp"

#include <pybind11/pybind11.h>

#include <string_view>
#include <type_traits>

namespace pyglue {
namespace py = pybind11;

// str(obj)
PYGLUE_API py::str str(py::handle obj);

// sep.join(items): items is any iterable of str.
PYGLUE_API py::str join(const char* sep, py::handle items);

namespace detail {
template <typename T>
py::object piece(const T& v) {
    if constexpr (std::is_base_of_v<py::handle, T>) {
        return str(v);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        std::string_view s(v);
        return py::str(s.data(), s.size());
    } else if constexpr (std::is_arithmetic_v<T>) {
        return str(py::cast(v));
    } else {
        return str(py::object(v));  // attribute and item accessors
    }
}
}  // namespace detail

// Concatenation of the str() of every piece, as Python would build it.
template <typename... Ts>
py::str cat(const Ts&... parts) {
    py::list items;
    (items.append(detail::piece(parts)), ...);
    return join("", items);
}

// text cut to width characters plus an ellipsis when longer; anything that is
// not a str comes back unchanged, so a repr never fails on a replaced value.
PYGLUE_API py::object clip(py::handle text, Py_ssize_t width);

// item in container, as Python's `in` (with its fallback to iteration).
PYGLUE_API bool contains(py::handle container, py::handle item);

}  // namespace pyglue
