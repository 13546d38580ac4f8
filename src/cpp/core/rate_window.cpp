#include "rate_window.hpp"

#include <algorithm>

namespace quorvan::core {

RateCheck check_rate_window(const std::vector<double>& timestamps, double now, long long limit) {
    RateCheck r;
    double oldest = 0.0;
    for (std::size_t i = 0; i < timestamps.size(); ++i) {
        if (now - timestamps[i] < kRateWindowSeconds) {
            if (r.kept.empty() || timestamps[i] < oldest) oldest = timestamps[i];
            r.kept.push_back(i);
        }
    }
    if (!r.kept.empty() && static_cast<long long>(r.kept.size()) >= limit) {
        r.wait = std::max(0.0, kRateWindowSeconds - (now - oldest));
    }
    return r;
}

}  // namespace quorvan::core
