// Sliding one-minute admission window of the asynchronous request path.
#pragma once

#include <cstddef>
#include <vector>

namespace quorvan::core {

inline constexpr double kRateWindowSeconds = 60.0;

struct RateCheck {
    std::vector<std::size_t> kept;  // positions of the entries still inside the window, in order
    double wait = 0.0;              // seconds until the oldest kept entry leaves; 0 = admit now
};

// Entries strictly younger than the window are kept (an entry exactly 60 s old
// is dropped). When `limit` or more remain, wait until the oldest leaves.
RateCheck check_rate_window(const std::vector<double>& timestamps, double now, long long limit);

}  // namespace quorvan::core
