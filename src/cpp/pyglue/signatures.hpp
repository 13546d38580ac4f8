// Readable signatures for help(): pybind11 writes `object` for every
// parameter, since every argument arrives as a py::object and is checked by
// our own need_* helpers. Each module replaces the first docstring line of
// its public callables with the typed line its stub file declares, so help()
// and inspect.getdoc() show what mypy sees, while argument checking and its
// messages stay exactly as they are.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pyglue {
namespace py = pybind11;

struct Signature {
    const char* path;  // attribute path from the module: "LLMService.set_retry_policy"
    const char* line;  // "set_retry_policy(self, retries: int, timeout: float | None = None) -> None"
};

namespace detail {
// The PyCFunction behind a function, method, static method or instancemethod.
inline PyCFunctionObject* c_function(py::handle f) {
    py::object target = py::reinterpret_borrow<py::object>(f);
    for (int i = 0; i < 2 && !PyCFunction_Check(target.ptr()); ++i) {
        target = py::getattr(target, "__func__", py::none());
    }
    return PyCFunction_Check(target.ptr()) ? reinterpret_cast<PyCFunctionObject*>(target.ptr()) : nullptr;
}
}  // namespace detail

// Sets the first docstring line of each listed callable (looked up on the
// class dict, so that static methods and methods are found as defined).
// pybind11 owns the docstring (strdup/free), so it is replaced the same way.
inline void set_signatures(py::module_& m, std::initializer_list<Signature> table) {
    for (const Signature& s : table) {
        std::string_view path(s.path);
        py::object owner = m;
        py::object found;
        std::size_t start = 0;
        for (;;) {
            const std::size_t dot = path.find('.', start);
            const std::string part(path.substr(start, dot == std::string_view::npos ? path.npos : dot - start));
            if (dot == std::string_view::npos) {
                py::object dict = py::getattr(owner, "__dict__");
                found = dict.contains(part) ? py::object(dict[py::str(part)]) : py::getattr(owner, part.c_str());
                break;
            }
            owner = py::getattr(owner, part.c_str());
            start = dot + 1;
        }
        PyCFunctionObject* func = detail::c_function(found);
        if (!func) throw std::runtime_error(std::string("no C++ function to sign at ") + s.path);
        const char* old = func->m_ml->ml_doc;
        std::string doc = s.line;
        if (old) {
            const char* rest = std::strchr(old, '\n');  // pybind11's own first line ends here
            if (rest) doc += rest;
        }
        char* fresh = static_cast<char*>(std::malloc(doc.size() + 1));
        if (!fresh) throw std::bad_alloc();
        std::memcpy(fresh, doc.c_str(), doc.size() + 1);
        std::free(const_cast<char*>(old));
        func->m_ml->ml_doc = fresh;
    }
}

}  // namespace pyglue
