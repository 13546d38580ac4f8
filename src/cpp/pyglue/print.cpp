#include "print.hpp"

namespace pyglue {

void print(py::handle line) {
    py::module_::import("builtins").attr("print")(line);
}

}  // namespace pyglue
