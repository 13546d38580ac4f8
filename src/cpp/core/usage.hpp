// Token accounting of model calls: prices, the usage record and the console line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan::core {

// The model asked when nobody names another.
inline constexpr const char* kDefaultModel = "gpt-5-mini-2025-08-07";

// US dollars per thousand tokens.
inline constexpr double kInputPricePer1k = 0.00015;
inline constexpr double kOutputPricePer1k = 0.0006;

// US dollars per million tokens, as price lists quote them; the defaults are
// the two constants above.
inline constexpr double kInputPricePerMillion = 0.15;
inline constexpr double kOutputPricePerMillion = 0.6;

// Cost of one call, computed as input/1000*price_in + output/1000*price_out.
double call_cost(std::int64_t input_tokens, std::int64_t output_tokens);
// The same at other prices per million tokens. Converted to prices per
// thousand first, so the default prices give exactly the cost above.
double call_cost(std::int64_t input_tokens, std::int64_t output_tokens, double input_per_million,
                 double output_per_million);

// The cost with six decimals, as Python's format(cost, ".6f").
std::string format_cost(double cost);

// Banner written when a service starts its usage log.
std::string_view session_banner();

// The multi-line record of one call; info is appended as " | INFO: <info>" when not empty.
std::string usage_record(std::string_view task, std::string_view model, std::int64_t input_tokens,
                         std::int64_t output_tokens, double cost, std::string_view info);

// "-> <task>: <total> tokens ($<cost>)"
std::string console_line(std::string_view task, std::int64_t total_tokens, double cost);

// Chat-format overhead: 4 tokens a message, 1 more when it carries a name, 2 to close.
inline constexpr int kTokensPerMessage = 4;
inline constexpr int kTokensPerName = 1;
inline constexpr int kTokensReplyPrimer = 2;

}  // namespace quorvan::core
