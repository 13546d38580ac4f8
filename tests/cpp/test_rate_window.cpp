#include <gtest/gtest.h>

#include "rate_window.hpp"

using namespace quorvan::core;

TEST(RateWindow, AdmitsWhileUnderLimit) {
    auto r = check_rate_window({0.0, 10.0}, 30.0, 3);
    EXPECT_EQ(r.wait, 0.0);
    EXPECT_EQ(r.kept, (std::vector<std::size_t>{0, 1}));
}

TEST(RateWindow, WaitsUntilOldestLeaves) {
    auto r = check_rate_window({0.0, 10.0}, 30.0, 2);
    EXPECT_DOUBLE_EQ(r.wait, 30.0);
}

TEST(RateWindow, EntryExactlySixtySecondsOldIsDropped) {
    auto r = check_rate_window({0.0, 10.0, 60.0}, 70.0, 2);
    EXPECT_EQ(r.kept, (std::vector<std::size_t>{2}));
    EXPECT_EQ(r.wait, 0.0);
}

TEST(RateWindow, OldestIsSmallestNotFirst) {
    auto r = check_rate_window({20.0, 5.0, 30.0}, 40.0, 3);
    EXPECT_DOUBLE_EQ(r.wait, 25.0);  // 5.0 leaves at 65.0
}

TEST(RateWindow, EmptyWindowNeverWaits) {
    EXPECT_EQ(check_rate_window({}, 1000.0, 1).wait, 0.0);
}
