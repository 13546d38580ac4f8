#include "agreement.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quorvan::core {

long long whole_mark(double mark) { return static_cast<long long>(std::floor(mark + 0.5)); }

std::optional<double> quadratic_weighted_kappa(const std::vector<long long>& a, const std::vector<long long>& b) {
    if (a.size() != b.size()) throw std::invalid_argument("the two raters' lists differ in length");
    if (a.empty()) return std::nullopt;
    const auto [lo_a, hi_a] = std::minmax_element(a.begin(), a.end());
    const auto [lo_b, hi_b] = std::minmax_element(b.begin(), b.end());
    const long long lo = std::min(*lo_a, *lo_b);
    const long long hi = std::max(*hi_a, *hi_b);
    if (lo == hi) return 1.0;
    const std::size_t k = static_cast<std::size_t>(hi - lo + 1);
    const double n = static_cast<double>(a.size());

    std::vector<double> observed(k * k, 0.0), hist_a(k, 0.0), hist_b(k, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<std::size_t>(a[i] - lo), y = static_cast<std::size_t>(b[i] - lo);
        observed[x * k + y] += 1.0;
        hist_a[x] += 1.0;
        hist_b[y] += 1.0;
    }
    // The weights' common factor 1/(k-1)^2 cancels in the ratio.
    double disagreed = 0, expected = 0;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const double d = static_cast<double>(i) - static_cast<double>(j);
            const double w = d * d;
            disagreed += w * observed[i * k + j];
            expected += w * hist_a[i] * hist_b[j] / n;
        }
    }
    // With two or more categories in use some pair of them lies apart, so the
    // expected disagreement is above 0.
    return 1.0 - disagreed / expected;
}

Agreement agreement(const std::vector<MarkPair>& pairs) {
    Agreement out;
    out.n = pairs.size();
    if (pairs.empty()) return out;
    std::size_t same = 0, near = 0;
    double total_diff = 0;
    std::vector<long long> model, teacher;
    model.reserve(pairs.size());
    teacher.reserve(pairs.size());
    for (const auto& p : pairs) {
        const double diff = std::fabs(p.model - p.teacher);
        if (diff <= kSameMark) ++same;
        if (diff <= 1.0 + kSameMark) ++near;
        total_diff += diff;
        model.push_back(whole_mark(p.model));
        teacher.push_back(whole_mark(p.teacher));
    }
    const double n = static_cast<double>(pairs.size());
    out.exact = same / n;
    out.within_one = near / n;
    out.mean_abs_diff = total_diff / n;
    out.qwk = quadratic_weighted_kappa(model, teacher);
    return out;
}

}  // namespace quorvan::core
