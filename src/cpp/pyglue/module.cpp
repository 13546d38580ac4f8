#include "module.hpp"

namespace pyglue {

void bind(py::module_& m, const char* as_name, const char* module, const char* name) {
    py::object mod = py::module_::import(module);
    m.attr(as_name) = name ? py::getattr(mod, name) : mod;
}

}  // namespace pyglue
