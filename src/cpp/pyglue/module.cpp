#include "module.hpp"

#include <map>
#include <memory>
#include <string>

namespace pyglue {

namespace {

// What an attribute not yet on the module becomes when it is first looked up.
struct Pending {
    std::string module;            // imported
    std::string name;              // taken from it, "" for the module itself
    bool optional = false;         // None when the import fails
    void (*make)(py::module_&) = nullptr;  // or: made, with its siblings, by this
};

// The pending attributes of one module. Modules are never unloaded, so
// neither is this.
struct Pendings {
    PyObject* module = nullptr;
    std::map<std::string, Pending, std::less<>> names;
};

py::object resolve(Pendings& p, const std::string& attr, const Pending& what) {
    py::module_ m = py::reinterpret_borrow<py::module_>(p.module);
    if (what.make) {
        // Its siblings are made too: none of them is pending any more.
        for (auto it = p.names.begin(); it != p.names.end();) {
            it = it->second.make == what.make ? p.names.erase(it) : std::next(it);
        }
        what.make(m);
        return m.attr(attr.c_str());
    }
    py::object value;
    try {
        py::object mod = py::module_::import(what.module.c_str());
        value = what.name.empty() ? mod : py::getattr(mod, what.name.c_str());
    } catch (py::error_already_set& e) {
        if (!what.optional || !e.matches(PyExc_ImportError)) throw;
        value = py::none();
    }
    p.names.erase(attr);
    m.attr(attr.c_str()) = value;
    return value;
}

// The module's __getattr__ and __dir__ (module attribute lookup falls back to
// them), installed with its first pending attribute.
Pendings& pendings_of(py::module_& m) {
    py::object existing = py::getattr(m, "__getattr__", py::none());
    if (py::isinstance<py::capsule>(py::getattr(existing, "__self__", py::none()))) {
        return *static_cast<Pendings*>(py::reinterpret_borrow<py::capsule>(existing.attr("__self__")).get_pointer());
    }
    auto* p = new Pendings{m.ptr(), {}};  // lives as long as the module: for ever
    py::capsule owner(p, "quorvan.pending_attributes");
    py::dict globals = m.attr("__dict__");
    // Bound to the capsule, so that the table is found again from the function.
    py::object types = py::module_::import("types");
    py::cpp_function getattr_fn(
        [](py::capsule self, py::str attr) -> py::object {
            auto* table = static_cast<Pendings*>(self.get_pointer());
            const std::string name = attr;
            auto it = table->names.find(name);
            if (it == table->names.end()) {
                py::str module_name = py::reinterpret_borrow<py::module_>(table->module).attr("__name__");
                PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name.ptr(), attr.ptr());
                throw py::error_already_set();
            }
            const Pending what = it->second;
            return resolve(*table, name, what);
        },
        py::arg("self"), py::arg("name"));
    py::cpp_function dir_fn(
        [](py::capsule self) {
            auto* table = static_cast<Pendings*>(self.get_pointer());
            py::list names = py::list(py::reinterpret_borrow<py::module_>(table->module).attr("__dict__"));
            for (const auto& [name, _] : table->names) names.append(py::str(name));
            names.attr("sort")();
            return names;
        },
        py::arg("self"));
    globals["__getattr__"] = types.attr("MethodType")(getattr_fn, owner);
    globals["__dir__"] = types.attr("MethodType")(dir_fn, owner);
    return *p;
}

void add(py::module_& m, const char* as_name, Pending what) {
    // Set already (an earlier bind under the same name): the last one counts.
    if (PyDict_DelItemString(m.attr("__dict__").ptr(), as_name) != 0) PyErr_Clear();
    pendings_of(m).names[as_name] = std::move(what);
}

}  // namespace

void bind(py::module_& m, const char* as_name, const char* module, const char* name) {
    add(m, as_name, Pending{module, name ? name : "", false, nullptr});
}

void bind_optional(py::module_& m, const char* as_name, const char* module, const char* name) {
    add(m, as_name, Pending{module, name ? name : "", true, nullptr});
}

void bind_made(py::module_& m, std::initializer_list<const char*> names, void (*make)(py::module_&)) {
    for (const char* name : names) add(m, name, Pending{"", "", false, make});
}

}  // namespace pyglue
