#include <gtest/gtest.h>

#include "rate_window.hpp"

using namespace quorvan::core;

// ------------------------------------------------------------ reset durations

class ResetDuration : public ::testing::TestWithParam<std::pair<const char*, double>> {};

TEST_P(ResetDuration, ReadsOpenAIDurations) {
    auto [text, seconds] = GetParam();
    auto v = parse_reset_duration(text);
    ASSERT_TRUE(v.has_value()) << text;
    EXPECT_NEAR(*v, seconds, 1e-9) << text;
}

INSTANTIATE_TEST_SUITE_P(Forms, ResetDuration,
                         ::testing::Values(std::pair{"6m0s", 360.0}, std::pair{"1.5s", 1.5},
                                           std::pair{"250ms", 0.25}, std::pair{"1h2m3s", 3723.0},
                                           std::pair{"2m30.5s", 150.5}, std::pair{"20us", 20e-6},
                                           std::pair{"0s", 0.0}, std::pair{" 2.5 ", 2.5}, std::pair{"7", 7.0},
                                           std::pair{".5s", 0.5}));

class BadResetDuration : public ::testing::TestWithParam<const char*> {};

TEST_P(BadResetDuration, IsRefused) { EXPECT_FALSE(parse_reset_duration(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Forms, BadResetDuration,
                         ::testing::Values("", "s", "-1s", "1.5x", "1s2", "inf", "nan", "3 s", "1e3s", "m5"));

// ------------------------------------------------------------ the window

TEST(TokenWindow, AdmitsWhileTheReservationFits) {
    TokenWindow w(1000, 60.0);
    auto a = w.enqueue();
    EXPECT_EQ(w.admit(a, 600, 0.0), 0.0);
    auto b = w.enqueue();
    EXPECT_EQ(w.admit(b, 400, 1.0), 0.0);
    EXPECT_EQ(w.used(2.0), 1000);
}

TEST(TokenWindow, WaitsUntilEnoughOfTheOldestHaveLeft) {
    TokenWindow w(1000, 60.0);
    w.admit(w.enqueue(), 300, 0.0);
    w.admit(w.enqueue(), 300, 10.0);
    w.admit(w.enqueue(), 300, 20.0);
    auto d = w.enqueue();
    // 900 used: 500 more fit once the first two have gone (at 70).
    EXPECT_DOUBLE_EQ(w.admit(d, 500, 30.0), 40.0);
    EXPECT_EQ(w.admit(d, 500, 70.0), 0.0);
    EXPECT_EQ(w.used(70.0), 800);
}

TEST(TokenWindow, AnEntryExactlyAWindowOldHasLeft) {
    TokenWindow w(100, 5.0);
    w.admit(w.enqueue(), 100, 0.0);
    EXPECT_EQ(w.used(4.999), 100);
    EXPECT_EQ(w.used(5.0), 0);
}

TEST(TokenWindow, SettlingReplacesTheEstimateAndRestartsItsClock) {
    TokenWindow w(1000, 60.0);
    auto a = w.enqueue();
    w.admit(a, 900, 0.0);
    w.settle(a, 200, 3.0);
    EXPECT_EQ(w.used(3.0), 200);
    auto b = w.enqueue();
    EXPECT_EQ(w.admit(b, 800, 10.0), 0.0);
    // Counted from the answer at 3, so still inside at 62.
    EXPECT_EQ(w.used(62.0), 1000);
    EXPECT_EQ(w.used(63.0), 800);
}

TEST(TokenWindow, ACallLongerThanTheWindowIsCountedFromItsAnswer) {
    TokenWindow w(1000, 10.0);
    auto a = w.enqueue();
    w.admit(a, 500, 0.0);
    EXPECT_EQ(w.used(12.0), 0);
    w.settle(a, 700, 12.0);
    EXPECT_EQ(w.used(12.0), 700);
}

TEST(TokenWindow, ACallAboveTheWholeLimitGoesAloneIntoAnEmptyWindow) {
    TokenWindow w(1000, 60.0);
    w.admit(w.enqueue(), 100, 0.0);
    auto big = w.enqueue();
    EXPECT_DOUBLE_EQ(w.admit(big, 5000, 1.0), 59.0);
    EXPECT_EQ(w.admit(big, 5000, 60.0), 0.0);
    auto next = w.enqueue();
    EXPECT_GT(w.admit(next, 1, 61.0), 0.0);  // nothing else until it has left
    EXPECT_EQ(w.admit(next, 1, 120.0), 0.0);
}

TEST(TokenWindow, CallsGoInTheOrderTheyAsked) {
    TokenWindow w(1000, 60.0);
    w.admit(w.enqueue(), 900, 0.0);
    auto big = w.enqueue();
    auto small = w.enqueue();
    EXPECT_GT(w.admit(big, 500, 1.0), 0.0);
    // The small one would fit, but the large one asked first.
    EXPECT_GT(w.admit(small, 50, 1.0), 0.0);
    EXPECT_EQ(w.used(1.0), 900);
    w.leave(big);  // cancelled
    EXPECT_EQ(w.admit(small, 50, 1.0), 0.0);
}

TEST(TokenWindow, RetryAfterHoldsEveryCall) {
    TokenWindow w(1000, 60.0);
    w.hold_until(12.0);
    auto a = w.enqueue();
    EXPECT_DOUBLE_EQ(w.admit(a, 1, 10.0), 2.0);
    w.hold_until(11.0);  // an earlier hold does not shorten it
    EXPECT_DOUBLE_EQ(w.admit(a, 1, 10.5), 1.5);
    EXPECT_EQ(w.admit(a, 1, 12.0), 0.0);
}

TEST(TokenWindow, NoTokensLeftOnTheServerWaitsForItsReset) {
    TokenWindow w(1000000, 60.0);
    w.note_server(0, 6.0, 0, 100.0);
    auto a = w.enqueue();
    EXPECT_DOUBLE_EQ(w.admit(a, 10, 101.0), 5.0);
    EXPECT_EQ(w.admit(a, 10, 106.0), 0.0);
}

TEST(TokenWindow, TheServersBucketRefillsSteadilyUntilItsReset) {
    TokenWindow w(1000000, 60.0);
    // 1000 of 4000 left, full again in 30 s: 100 tokens a second.
    w.note_server(1000, 30.0, 4000, 0.0);
    auto a = w.enqueue();
    EXPECT_EQ(w.admit(a, 800, 0.0), 0.0);
    auto b = w.enqueue();
    // 200 left now; 500 more take 3 s.
    EXPECT_DOUBLE_EQ(w.admit(b, 700, 0.0), 5.0);
    EXPECT_EQ(w.admit(b, 700, 5.0), 0.0);
}

TEST(TokenWindow, TheServersWordLapsesAtItsReset) {
    TokenWindow w(1000000, 60.0);
    w.note_server(10, 2.0, 0, 0.0);
    auto a = w.enqueue();
    EXPECT_DOUBLE_EQ(w.admit(a, 500, 0.5), 1.5);
    EXPECT_EQ(w.admit(a, 500, 2.0), 0.0);
}

TEST(TokenWindow, WaitForLooksWithoutReserving) {
    TokenWindow w(1000, 60.0);
    w.admit(w.enqueue(), 800, 0.0);
    EXPECT_DOUBLE_EQ(w.wait_for(300, 10.0), 50.0);
    EXPECT_EQ(w.wait_for(200, 10.0), 0.0);
    EXPECT_EQ(w.used(10.0), 800);
}
