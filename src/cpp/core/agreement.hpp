// How closely the model's marks follow a teacher's, on the answers both
// marked: the figures a teacher checks before trusting a run on a class.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace quorvan::core {

// One answer marked by both: the model's mark and the teacher's.
struct MarkPair {
    double model = 0;
    double teacher = 0;
};

// Shares are fractions 0..1. Every figure is empty when there are no pairs.
struct Agreement {
    std::size_t n = 0;
    std::optional<double> exact;          // same mark (within kSameMark)
    std::optional<double> within_one;     // |model - teacher| <= 1
    std::optional<double> mean_abs_diff;  // mean |model - teacher|
    std::optional<double> qwk;            // quadratic weighted kappa on whole marks
};

// Marks are decimals that went through JSON and text: 2.5 and 2.4999999999
// are the same mark.
inline constexpr double kSameMark = 1e-6;

Agreement agreement(const std::vector<MarkPair>& pairs);

// Cohen's kappa with quadratic weights of two raters' whole-mark categories,
// the categories running from the lowest to the highest mark either gave.
// When both gave every answer one and the same mark there is a single
// category and kappa's formula is 0/0; they agree on every answer, so that is
// 1. Empty input (nothing to compare) has no kappa. Throws
// std::invalid_argument when the two lists differ in length.
std::optional<double> quadratic_weighted_kappa(const std::vector<long long>& a, const std::vector<long long>& b);

// A mark as a whole mark for kappa: halves round up (marks are not negative).
long long whole_mark(double mark);

}  // namespace quorvan::core
