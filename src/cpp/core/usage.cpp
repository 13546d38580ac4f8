#include "usage.hpp"

#include <cstdio>

namespace quorvan::core {

double call_cost(std::int64_t input_tokens, std::int64_t output_tokens) {
    const double input_cost = static_cast<double>(input_tokens) / 1000.0 * kInputPricePer1k;
    const double output_cost = static_cast<double>(output_tokens) / 1000.0 * kOutputPricePer1k;
    return input_cost + output_cost;
}

double call_cost(std::int64_t input_tokens, std::int64_t output_tokens, double input_per_million,
                 double output_per_million) {
    const double input_cost = static_cast<double>(input_tokens) / 1000.0 * (input_per_million / 1000.0);
    const double output_cost = static_cast<double>(output_tokens) / 1000.0 * (output_per_million / 1000.0);
    return input_cost + output_cost;
}

std::string format_cost(double cost) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", cost);
    return buf;
}

std::string_view session_banner() {
    return "\n\n=====================\nNEW LLM HANDLER SESSION STARTED\n=====================\n";
}

std::string usage_record(std::string_view task, std::string_view model, std::int64_t input_tokens,
                         std::int64_t output_tokens, double cost, std::string_view info) {
    std::string r = "\n\n*********************\nTASK: ";
    r += task;
    r += " | \nMODEL: ";
    r += model;
    r += " | \nINPUT_TOKENS: " + std::to_string(input_tokens);
    r += " | \nOUTPUT_TOKENS: " + std::to_string(output_tokens);
    r += " | \nTOTAL_TOKENS: " + std::to_string(input_tokens + output_tokens);
    r += " | \nCOST: $" + format_cost(cost);
    if (!info.empty()) {
        r += " | INFO: ";
        r += info;
    }
    return r;
}

std::string console_line(std::string_view task, std::int64_t total_tokens, double cost) {
    std::string r = "-> ";
    r += task;
    r += ": " + std::to_string(total_tokens) + " tokens ($" + format_cost(cost) + ")";
    return r;
}

}  // namespace quorvan::core
