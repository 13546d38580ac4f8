#include "records.hpp"

#include "text.hpp"

namespace pyglue {

py::str record_repr(py::handle self, std::initializer_list<std::pair<const char*, py::object>> fields) {
    py::list parts;
    for (const auto& [name, value] : fields) parts.append(cat(name, "=", py::object(py::repr(value))));
    return cat(py::type::handle_of(self).attr("__name__"), "(", join(", ", parts), ")");
}

}  // namespace pyglue
