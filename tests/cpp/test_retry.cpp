#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "retry.hpp"

using namespace quorvan::core;

TEST(BackoffDelay, DoublesFromTheBaseUpToTheCap) {
    EXPECT_DOUBLE_EQ(backoff_delay(1, 0.5, 30.0, 1.0), 0.5);
    EXPECT_DOUBLE_EQ(backoff_delay(2, 0.5, 30.0, 1.0), 1.0);
    EXPECT_DOUBLE_EQ(backoff_delay(4, 0.5, 30.0, 1.0), 4.0);
    EXPECT_DOUBLE_EQ(backoff_delay(7, 0.5, 30.0, 1.0), 30.0);
    EXPECT_DOUBLE_EQ(backoff_delay(1LL << 40, 0.5, 30.0, 1.0), 30.0);  // no overflow
}

TEST(BackoffDelay, JitterScalesTheCappedDelay) {
    EXPECT_DOUBLE_EQ(backoff_delay(3, 1.0, 30.0, 0.5), 2.0);
    EXPECT_DOUBLE_EQ(backoff_delay(9, 1.0, 30.0, 0.5), 15.0);
    EXPECT_DOUBLE_EQ(backoff_delay(3, 1.0, 30.0, 7.0), 4.0);  // a factor above 1 is taken as 1
}

TEST(BackoffDelay, BadInputsGiveZeroNotNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(backoff_delay(0, 0.5, 30.0, 1.0), 0.5);
    EXPECT_EQ(backoff_delay(2, -1.0, 30.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, nan, 30.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, 1.0, -5.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, 1.0, 30.0, nan), 0.0);
    EXPECT_EQ(backoff_delay(2000, std::numeric_limits<double>::max(), 30.0, 1.0), 30.0);
}

TEST(ParseDelayNumber, DecimalNumbersOnly) {
    EXPECT_EQ(parse_delay_number("2"), 2.0);
    EXPECT_EQ(parse_delay_number(" 1.5\t"), 1.5);
    EXPECT_EQ(parse_delay_number("-3"), -3.0);  // parsed; retry_wait ignores it
    EXPECT_EQ(parse_delay_number("1e2"), 100.0);
    EXPECT_FALSE(parse_delay_number(""));
    EXPECT_FALSE(parse_delay_number("  "));
    EXPECT_FALSE(parse_delay_number("2s"));
    EXPECT_FALSE(parse_delay_number("inf"));
    EXPECT_FALSE(parse_delay_number("nan"));
    EXPECT_FALSE(parse_delay_number("Wed, 21 Oct 2015 07:28:00 GMT"));
}

TEST(RetryWait, LargerOfBackoffAndCappedHint) {
    EXPECT_EQ(retry_wait(0.75, std::nullopt), 0.75);
    EXPECT_EQ(retry_wait(0.75, 3.0), 3.0);
    EXPECT_EQ(retry_wait(5.0, 3.0), 5.0);
    EXPECT_EQ(retry_wait(0.75, 600.0), kMaxServerDelay);
    EXPECT_EQ(retry_wait(0.75, 0.0), 0.75);
    EXPECT_EQ(retry_wait(0.75, -2.0), 0.75);
    EXPECT_EQ(retry_wait(0.75, std::numeric_limits<double>::quiet_NaN()), 0.75);
    EXPECT_EQ(retry_wait(-1.0, std::nullopt), 0.0);
}
