// quorvan_core.quorvan: the facade most callers touch. One configuration
// record, the facade's error classes, and Quorvan, which builds the model
// service, the extractor and both pipelines and runs every workflow.
#pragma once

#include <initializer_list>

#include "pyglue.hpp"

namespace quorvan::facade {
namespace py = pybind11;

struct ConfigTag {};
struct FacadeTag {};
using ConfigClass = py::class_<ConfigTag>;
using FacadeClass = py::class_<FacadeTag>;

// This extension module; collaborators (and the facade's own classes) are
// looked up on it at each use.
extern pyglue::Module M;

void init_errors(py::module_& m);
void init_config(ConfigClass& cls);
// The model service's settings a QurovanConfig may name (model, prices,
// timeout, max_retries): passed to LLMService by keyword when not None.
extern const char* const kServiceSettings[5];
void init_lifecycle(FacadeClass& cls);
void init_workflows(FacadeClass& cls);
void init_corrections(FacadeClass& cls);
void init_paper_switch(FacadeClass& cls);
void init_paper_json(FacadeClass& cls);
void init_persistence(FacadeClass& cls);
void init_example(py::module_& m);

// ------------------------------------------------------------ shared helpers

// isinstance(obj, <module attribute name>)
bool is_a(py::handle obj, const char* class_name);

// raise <module attribute name>(message), with context when given.
[[noreturn]] void fail(const char* class_name, py::handle message, py::handle context = py::handle());
[[noreturn]] inline void fail(const char* class_name, const char* message) {
    fail(class_name, py::str(message));
}

// self.last_processing_summary.update({key: entry})
void record(py::handle self, const char* key, py::object entry);

// {"status": "error", "error": message}
py::dict error_entry(py::handle message);

// How a guarded block reports an ordinary error e: facade errors named in
// `keep` leave unchanged; anything else becomes error(prefix + str(e)) with e
// as its context, after summary_key (when given) records the failure.
struct Guard {
    const char* error;
    const char* prefix;
    std::initializer_list<const char*> keep = {};
    const char* summary_key = nullptr;
};

template <typename F>
auto guarded(py::handle self, const Guard& g, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        py::object e = pyglue::caught();
        for (const char* name : g.keep) {
            if (is_a(e, name)) throw;
        }
        py::str message = pyglue::cat(g.prefix, e);
        if (g.summary_key) record(self, g.summary_key, error_entry(message));
        fail(g.error, message, e);
    }
}

// Like guarded, for a block whose every ordinary error is only reported:
// on_error(e) runs and the block ends normally.
template <typename F, typename H>
void reported(F&& body, H&& on_error) {
    pyglue::report_errors(std::forward<F>(body), std::forward<H>(on_error));
}

}  // namespace quorvan::facade
