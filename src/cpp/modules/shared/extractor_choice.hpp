// The one rule for which extractor backend reads a paper's pages.
#pragma once

#include "pyglue.hpp"

namespace quorvan::extraction {
namespace py = pybind11;

// Switches `client` to the backend recommended for the subject. The class is
// the caller's late-bound ExtractorClient: the advice depends on the subject
// alone, so it is asked of the class, not of the instance being switched.
inline void use_recommended_extractor(const py::object& client_class, const py::object& client,
                                      const py::object& subject) {
    client.attr("change_extractor")(client_class.attr("get_recommended_extractor_for_subject")(subject));
}

}  // namespace quorvan::extraction
