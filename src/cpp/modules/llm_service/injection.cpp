// Student text in prompts: the core's neutralisation and signs of an answer
// that addresses the marker, for the prompt operations and for Python.
#include "injection.hpp"

#include "llm_service.hpp"

namespace quorvan::llm {

namespace {

// Lone surrogates pass through as they came: the text is the caller's, and a
// prompt with them fails where it would have failed before.
std::string utf8_of(const py::str& text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw py::error_already_set();
    py::bytes owned = py::reinterpret_steal<py::bytes>(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

py::str str_of(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

}  // namespace

py::str neutralised(const py::str& text) {
    const std::string given = utf8_of(text);
    std::string out = core::neutralise_student_text(given);
    if (out == given) return text;  // the very object: ordinary answers reach the prompt untouched
    return str_of(out);
}

py::list injection_signs_of(const py::str& text) {
    py::list signs;
    for (const std::string& sign : core::injection_signs(utf8_of(text))) signs.append(str_of(sign));
    return signs;
}

void init_injection(ServiceClass& cls) {
    cls.def_static(
        "neutralise_student_text",
        [](py::object text) {
            pyglue::need_str(text, "text");
            return neutralised(py::reinterpret_borrow<py::str>(text));
        },
        py::arg("text"),
        "The student's text as it is put into a prompt: lines that imitate the prompt's headings, labels or "
        "criteria are quoted with \"> \"; other text comes back unchanged.");
    cls.def_static(
        "injection_signs",
        [](py::object text) {
            pyglue::need_str(text, "text");
            return injection_signs_of(py::reinterpret_borrow<py::str>(text));
        },
        py::arg("text"),
        "Why an answer looks like it addresses the marker (imitates the prompt, tells the marker to ignore "
        "the rubric, asks for full marks, ...), as short reasons; an empty list for an ordinary answer.");
}

}  // namespace quorvan::llm
