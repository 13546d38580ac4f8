#include <gtest/gtest.h>

#include <stdexcept>

#include "agreement.hpp"

using namespace quorvan::core;

namespace {
std::vector<MarkPair> pairs(const std::vector<double>& model, const std::vector<double>& teacher) {
    std::vector<MarkPair> out;
    for (std::size_t i = 0; i < model.size(); ++i) out.push_back({model[i], teacher[i]});
    return out;
}
}  // namespace

TEST(Kappa, PerfectAgreementIsOne) {
    EXPECT_DOUBLE_EQ(*quadratic_weighted_kappa({0, 1, 2, 3, 3}, {0, 1, 2, 3, 3}), 1.0);
}

TEST(Kappa, ReversedOrderIsMinusOne) {
    // Observed weighted disagreement 4 + 0 + 4 = 8; expected (sum of (i-j)^2 over 3x3) / 3 = 12 / 3 = 4.
    EXPECT_DOUBLE_EQ(*quadratic_weighted_kappa({0, 1, 2}, {2, 1, 0}), -1.0);
}

TEST(Kappa, AgreementAsByChanceIsZero) {
    // Every combination once: observed 2, expected 2.
    EXPECT_NEAR(*quadratic_weighted_kappa({0, 0, 1, 1}, {0, 1, 0, 1}), 0.0, 1e-12);
}

TEST(Kappa, HandComputedTable) {
    // Categories 1..3; observed 1 + 1 = 2; expected (9 + 3 + 10) / 4 = 5.5; 1 - 2/5.5 = 7/11.
    EXPECT_NEAR(*quadratic_weighted_kappa({1, 2, 3, 3}, {1, 3, 3, 2}), 7.0 / 11.0, 1e-12);
}

TEST(Kappa, DistantDisagreementWeighsMoreThanNear) {
    const double near = *quadratic_weighted_kappa({0, 1, 2, 3, 4}, {0, 1, 2, 4, 4});
    const double far = *quadratic_weighted_kappa({0, 1, 2, 3, 4}, {0, 1, 2, 0, 4});
    EXPECT_GT(near, far);
    EXPECT_LT(near, 1.0);
}

TEST(Kappa, CategoriesRunOverBothRaters) {
    // Categories 0..4 though nobody gave 1..3: observed 16 + 16, expected
    // (16*2*2 + 16*2*2) / 4 = 32, so kappa is 0, not a table of two categories' 1 - 2/2.
    EXPECT_NEAR(*quadratic_weighted_kappa({0, 0, 4, 4}, {4, 0, 4, 0}), 0.0, 1e-12);
}

TEST(Kappa, OneMarkForEveryAnswerByBothIsAgreement) {
    EXPECT_DOUBLE_EQ(*quadratic_weighted_kappa({2, 2, 2}, {2, 2, 2}), 1.0);
}

TEST(Kappa, EachRaterConstantButApartIsNoBetterThanChance) {
    EXPECT_NEAR(*quadratic_weighted_kappa({1, 1}, {2, 2}), 0.0, 1e-12);
}

TEST(Kappa, NothingToCompareHasNoKappa) { EXPECT_FALSE(quadratic_weighted_kappa({}, {}).has_value()); }

TEST(Kappa, ListsOfDifferentLengthAreRefused) {
    EXPECT_THROW(quadratic_weighted_kappa({1, 2}, {1}), std::invalid_argument);
}

// The worked example in the literature on Cohen's kappa: 50 answers, both
// raters "yes" on 20, only the first on 5, only the second on 10, both "no"
// on 15; p_o = 0.7, p_e = 0.5, kappa = 0.4. With two categories quadratic
// weights are the unweighted kappa's.
TEST(Kappa, PublishedTwoCategoryExample) {
    std::vector<long long> a, b;
    auto add = [&](int count, long long x, long long y) {
        for (int i = 0; i < count; ++i) a.push_back(x), b.push_back(y);
    };
    add(20, 1, 1);
    add(5, 1, 0);
    add(10, 0, 1);
    add(15, 0, 0);
    EXPECT_NEAR(*quadratic_weighted_kappa(a, b), 0.4, 1e-12);
}

TEST(WholeMark, HalvesRoundUp) {
    EXPECT_EQ(whole_mark(2.5), 3);
    EXPECT_EQ(whole_mark(2.49), 2);
    EXPECT_EQ(whole_mark(0.5), 1);
    EXPECT_EQ(whole_mark(0.0), 0);
    EXPECT_EQ(whole_mark(7.0), 7);
}

TEST(Agreement, HandComputedFigures) {
    // diffs 0, 0.5, 1, 2: exact 1/4, within one 3/4, mean 3.5/4.
    const auto a = agreement(pairs({2, 1.5, 3, 0}, {2, 2, 2, 2}));
    EXPECT_EQ(a.n, 4u);
    EXPECT_DOUBLE_EQ(*a.exact, 0.25);
    EXPECT_DOUBLE_EQ(*a.within_one, 0.75);
    EXPECT_DOUBLE_EQ(*a.mean_abs_diff, 0.875);
    // Whole marks {2, 2, 3, 0} against {2, 2, 2, 2}: with one rater constant
    // the observed disagreement (1 + 4) is what chance expects (4 + 1): 0.
    EXPECT_NEAR(*a.qwk, 0.0, 1e-12);
}

TEST(Agreement, MarksThatWentThroughTextAreTheSame) {
    const auto a = agreement(pairs({2.0000000001, 1.0 + 1e-9}, {2, 1}));
    EXPECT_DOUBLE_EQ(*a.exact, 1.0);
    EXPECT_DOUBLE_EQ(*a.qwk, 1.0);
}

TEST(Agreement, ExactlyOneApartIsWithinOne) {
    const auto a = agreement(pairs({3, 0.5, 4}, {2, 1.5, 2.5}));
    EXPECT_DOUBLE_EQ(*a.exact, 0.0);
    EXPECT_DOUBLE_EQ(*a.within_one, 2.0 / 3.0);
}

TEST(Agreement, NothingToCompareHasNoFigures) {
    const auto a = agreement({});
    EXPECT_EQ(a.n, 0u);
    EXPECT_FALSE(a.exact || a.within_one || a.mean_abs_diff || a.qwk);
}
