// Waiting between tries of a model call: exponential backoff with jitter, or
// longer when the server says how long to wait.
#pragma once

#include <optional>
#include <string_view>

namespace quorvan::core {

// A server's Retry-After is honoured up to this many seconds; beyond it the
// wait would outlast any useful marking run.
inline constexpr double kMaxServerDelay = 60.0;

// base * 2^(attempt - 1) seconds, at most cap, times jitter (drawn in [0.5, 1]
// by the caller). attempt counts failed tries from 1. Negative or NaN inputs
// count as 0, so the result is always a finite number >= 0.
double backoff_delay(long long attempt, double base, double cap, double jitter);

// Seconds from a Retry-After / retry-after-ms value written as a decimal
// number ("2", " 1.5 "); nullopt for anything else (a date, "inf", "nan").
std::optional<double> parse_delay_number(std::string_view text);

// The wait before the next try: the backoff, or the server's hint when it asks
// for longer (a hint is capped at kMaxServerDelay; a non-positive one is ignored).
double retry_wait(double backoff, std::optional<double> server_hint);

}  // namespace quorvan::core
