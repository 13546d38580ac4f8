// Reading a question paper file for marking.
#include "cli.hpp"

namespace quorvan::cli {

py::object load_paper_for_marking(const Session& s, py::object path) {
    if (!pyglue::truth(M("os").attr("path").attr("isfile")(path))) {
        s.usage_error("question paper file not found: " + pyglue::str(path).cast<std::string>());
    }
    py::object f = M("builtins").attr("open")(path, py::arg("encoding") = "utf-8-sig");
    py::object text = f.attr("read")();
    f.attr("close")();
    return M("json").attr("loads")(text);
}

}  // namespace quorvan::cli
