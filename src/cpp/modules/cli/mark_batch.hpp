// quorvan mark --batch: the Batch API at the model service. Held requests
// go up as JSONL files made into batches; open batches are polled, and their
// results stored when they end (mark_batch_service.cpp). Which calls are held
// and how a pass runs is mark_batch.cpp.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "mark_run.hpp"

namespace quorvan::cli::marking {

constexpr const char* kEndpoint = "/v1/chat/completions";

struct Held {
    std::string stage;  // reading or marking
    std::string body;   // JSON
};

// The model calls of the batch run: answered from the store, or held.
struct BatchCalls {
    core::ResultsStore* store = nullptr;
    py::object service;   // the run's one model service
    py::object original;  // its class's _make_api_call_async
    py::object replay;    // an AsyncOpenAI whose transport answers from the store
    std::map<std::string, Held> held;  // by custom_id, for the next batch
};

enum class Polled { ended, running, interrupted };

// The open batch polled until it ends (once, without `wait`); its results
// stored when it has.
Polled poll_batch(Session& s, Run& run, const py::object& client, core::BatchRecord rec, bool wait);

// The held requests as batches within the service's limits and the batch
// queue's (`queue_tokens`, 0 for none); `again` counts requests sent before,
// `left` those that wait for room in the queue.
std::vector<core::BatchRecord> submit_held(core::ResultsStore& store, const py::object& client,
                                           const BatchCalls& calls, std::int64_t queue_tokens, std::int64_t& again,
                                           std::int64_t& left);

}  // namespace quorvan::cli::marking
