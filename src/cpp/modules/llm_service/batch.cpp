// Many questions at once: a thread pool over the blocking operations, a gather
// of the coroutines, and blocking wrappers that run the gather on a new loop.
#include <string>
#include <utility>
#include <vector>

#include "../shared/method_names.hpp"
#include "llm_service.hpp"

namespace quorvan::llm {

using pyglue::Coro;

namespace {

// One kind of per-question operation, as the three batch styles see it.
struct Kind {
    const char* thread_op;      // blocking operation run on pool threads
    const char* async_op;       // its coroutine twin
    std::vector<const char*> keys;  // item keys, in argument order
    const char* optional_key;   // key defaulting to "" when absent (or null)
    const char* result_key;     // where a success record keeps the result
    const char* item_name;      // name of the per-item coroutine
    const char* batch_async;    // the coroutine batch
    const char* batch_sync;     // its blocking wrapper
};

const Kind kRubrics{methods::kGenerateRubric, methods::kGenerateRubricAsync,
                    {"question", "max_marks", "class_level", "subject", "reference_answer"}, "reference_answer",
                    "rubric", "generate_single_rubric", methods::kGenerateRubricsBatchAsync,
                    methods::kGenerateRubricsBatchSync};
const Kind kRefAnswers{methods::kGenerateRefAnswer, methods::kGenerateRefAnswerAsync,
                       {"question", "rubric", "class_level", "subject"}, nullptr,
                       "ref_answer", "generate_single_ref_answer", methods::kGenerateRefAnswersBatchAsync,
                       methods::kGenerateRefAnswersBatchSync};
const Kind kEvaluations{methods::kEvaluateAnswer, methods::kEvaluateAnswerAsync,
                        {"student_answer", "question", "rubric", "reference_answer"}, nullptr,
                        "evaluation", "evaluate_single_answer", methods::kEvaluateAnswersBatchAsync,
                        methods::kEvaluateAnswersBatchSync};

py::object item_value(const py::object& item, const Kind& kind, const char* key) {
    if (kind.optional_key && std::string(key) == kind.optional_key) {
        return item.attr("get")(key, "");
    }
    return item[py::str(key)];
}

py::dict failure_record(const py::object& item, const py::object& error_text) {
    py::dict record;
    record["q_id"] = item[py::str("q_id")];
    record["success"] = false;
    record["error"] = error_text;
    return record;
}

// --------------------------------------------------------------- thread pool

py::list run_concurrent_tasks(py::object self, py::object tasks, py::object max_workers) {
    pyglue::need_list(tasks, "tasks");
    py::object workers = pyglue::need_opt_int(max_workers, "max_workers");
    if (workers.is_none()) workers = self.attr("max_concurrent_requests");

    const std::size_t n = py::len(tasks);
    py::list results(n);
    for (std::size_t i = 0; i < n; ++i) results[i] = py::none();

    py::object executor = M("ThreadPoolExecutor")(py::arg("max_workers") = workers);
    executor.attr("__enter__")();
    try {
        py::dict future_to_index;
        std::size_t index = 0;
        for (py::handle task : tasks) {
            py::object func = task[py::str("func")];
            py::tuple args = py::reinterpret_steal<py::tuple>(PySequence_Tuple(py::object(task[py::str("args")]).ptr()));
            if (!args) throw py::error_already_set();
            py::object future = executor.attr("submit")(func, *args);
            future_to_index[future] = py::int_(index++);
        }
        for (py::handle future : M("as_completed")(future_to_index)) {
            py::object position = future_to_index[future];
            try {
                results[position] = future.attr("result")();
            } catch (...) {
                py::object error = pyglue::caught();
                results[position] = pyglue::cat("Error in task ", position, ": ", error);
            }
        }
    } catch (...) {
        // Leaving the pool waits for every call already submitted.
        py::object error = pyglue::current_exception();
        executor.attr("__exit__")(py::type::handle_of(error), error, py::getattr(error, "__traceback__", py::none()));
        throw;
    }
    executor.attr("__exit__")(py::none(), py::none(), py::none());
    return results;
}

py::object thread_batch(py::object self, const Kind& kind, py::object data, const char* data_name,
                        py::object max_workers) {
    pyglue::need_list(data, data_name);
    py::object workers = pyglue::need_opt_int(max_workers, "max_workers");
    // The whole task list first: a missing key fails before anything runs.
    py::list tasks;
    py::object func = self.attr(kind.thread_op);
    for (py::handle item_h : data) {
        py::object item = py::reinterpret_borrow<py::object>(item_h);
        py::list args;
        for (const char* key : kind.keys) args.append(item_value(item, kind, key));
        py::dict task;
        task["func"] = func;
        task["args"] = args;
        tasks.append(task);
    }
    return self.attr("run_concurrent_tasks")(tasks, workers);
}

// ------------------------------------------------------------ coroutines

Coro single_item(py::object self, const Kind* kind, py::object item) {
    py::dict record;
    py::object error;
    try {
        py::dict kwargs;
        for (const char* key : kind->keys) kwargs[py::str(key)] = item_value(item, *kind, key);
        py::object pending = self.attr(kind->async_op)(**kwargs);
        py::object result = co_await pending;
        record["q_id"] = item[py::str("q_id")];
        record["success"] = true;
        record[py::str(kind->result_key)] = result;
    } catch (...) {
        error = pyglue::caught();
    }
    if (error) co_return failure_record(item, pyglue::str(error));
    co_return record;
}

Coro coroutine_batch(py::object self, const Kind* kind, py::object data) {
    py::list pending;
    for (py::handle item : data) {
        pending.append(pyglue::make_coroutine(single_item(self, kind, py::reinterpret_borrow<py::object>(item)),
                                              std::string("LLMService.") + kind->batch_async + ".<locals>." +
                                                  kind->item_name));
    }
    py::object gathering = M("asyncio").attr("gather")(*pending, py::arg("return_exceptions") = true);
    py::object results = co_await gathering;

    py::list processed;
    std::size_t i = 0;
    for (py::handle r : results) {
        if (pyglue::is_ordinary(r)) {
            processed.append(failure_record(data[py::int_(i)], pyglue::str(r)));
        } else {
            processed.append(r);
        }
        ++i;
    }
    co_return processed;
}

// --------------------------------------------------------- blocking wrappers

bool loop_running() {
    try {
        M("asyncio").attr("get_running_loop")();
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return false;
    }
}

py::object blocking_batch(py::object self, const Kind& kind, py::object data, const char* data_name) {
    pyglue::need_list(data, data_name);
    try {
        if (loop_running()) {
            pyglue::raise_new(PyExc_RuntimeError,
                              pyglue::cat("Cannot call ", kind.batch_sync, " from within an async context. Use ",
                                          kind.batch_async, " instead."));
        }
        // The calls of this run share a semaphore of the new loop; the one the
        // service held is put back whatever happens.
        py::object kept = self.attr("_request_semaphore");
        self.attr("_request_semaphore") = M("asyncio").attr("Semaphore")(self.attr("max_concurrent_requests"));
        try {
            py::object batch = self.attr(kind.batch_async)(data);
            py::object results = M("asyncio").attr("run")(batch);
            self.attr("_request_semaphore") = kept;
            return results;
        } catch (...) {
            self.attr("_request_semaphore") = kept;
            throw;
        }
    } catch (...) {
        py::object error = pyglue::caught();
        py::list records;
        py::str text = pyglue::cat("Sync wrapper error: ", error);
        for (py::handle item : data) records.append(failure_record(py::reinterpret_borrow<py::object>(item), text));
        return records;
    }
}

}  // namespace

void init_batches(ServiceClass& cls) {
    cls.def("run_concurrent_tasks", &run_concurrent_tasks, py::arg("tasks"), py::arg("max_workers") = py::none());

    struct Names {
        const Kind* kind;
        const char* thread_batch;
        const char* data_name;
    };
    for (const Names& n : {Names{&kRubrics, methods::kGenerateRubricsBatch, "questions_data"},
                           Names{&kRefAnswers, methods::kGenerateRefAnswersBatch, "ref_answer_data"},
                           Names{&kEvaluations, methods::kEvaluateAnswersBatch, "evaluation_data"}}) {
        const Kind* kind = n.kind;
        const char* data_name = n.data_name;
        cls.def(
            n.thread_batch,
            [kind, data_name](py::object self, py::object data, py::object max_workers) {
                return thread_batch(self, *kind, data, data_name, max_workers);
            },
            py::arg(data_name), py::arg("max_workers") = py::none());
        cls.def(
            kind->batch_async,
            [kind, data_name](py::object self, py::object data) {
                pyglue::need_list(data, data_name);
                return pyglue::make_coroutine(coroutine_batch(self, kind, data),
                                              std::string("LLMService.") + kind->batch_async);
            },
            py::arg(data_name));
        cls.def(
            kind->batch_sync,
            [kind, data_name](py::object self, py::object data) { return blocking_batch(self, *kind, data, data_name); },
            py::arg(data_name));
    }
}

}  // namespace quorvan::llm
