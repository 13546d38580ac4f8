#include "retry.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace quorvan::core {

namespace {
double non_negative(double v) { return std::isnan(v) || v < 0.0 ? 0.0 : v; }
}  // namespace

double backoff_delay(long long attempt, double base, double cap, double jitter) {
    // 2^1000 is still finite; more doublings would change nothing once capped.
    const long long doublings = std::clamp(attempt - 1, 0LL, 1000LL);
    const double grown = non_negative(base) * std::pow(2.0, static_cast<double>(doublings));
    const double capped = std::min(std::isnan(grown) ? 0.0 : grown, non_negative(cap));
    return capped * std::min(non_negative(jitter), 1.0);
}

std::optional<double> parse_delay_number(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                     std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

double retry_wait(double backoff, std::optional<double> server_hint) {
    backoff = non_negative(backoff);
    if (!server_hint || !(*server_hint > 0.0)) return backoff;
    return std::max(backoff, std::min(*server_hint, kMaxServerDelay));
}

}  // namespace quorvan::core
