#include <gtest/gtest.h>

#include <limits>

#include "retry.hpp"

using namespace quorvan::core;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BackoffDelay, DoublesUpToTheCapThenJitter) {
    EXPECT_DOUBLE_EQ(backoff_delay(1, 0.5, 30.0, 1.0), 0.5);
    EXPECT_DOUBLE_EQ(backoff_delay(4, 0.5, 30.0, 1.0), 4.0);
    EXPECT_DOUBLE_EQ(backoff_delay(1LL << 40, 0.5, 30.0, 1.0), 30.0);  // no overflow
    EXPECT_DOUBLE_EQ(backoff_delay(9, 1.0, 30.0, 0.5), 15.0);
    EXPECT_DOUBLE_EQ(backoff_delay(3, 1.0, 30.0, 7.0), 4.0);  // a factor above 1 counts as 1
}

TEST(BackoffDelay, BadInputsGiveZeroNotNaN) {
    EXPECT_EQ(backoff_delay(2, -1.0, 30.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, kNaN, 30.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, 1.0, -5.0, 1.0), 0.0);
    EXPECT_EQ(backoff_delay(2, 1.0, 30.0, kNaN), 0.0);
}

TEST(ParseDelayNumber, DecimalNumbersOnly) {
    EXPECT_EQ(parse_delay_number(" 1.5\t"), 1.5);
    EXPECT_EQ(parse_delay_number("-3"), -3.0);  // parsed; retry_wait ignores it
    for (const char* text : {"", "  ", "2s", "inf", "nan", "Wed, 21 Oct 2015 07:28:00 GMT"}) {
        EXPECT_FALSE(parse_delay_number(text)) << text;
    }
}

TEST(RetryWait, LargerOfBackoffAndCappedHint) {
    EXPECT_EQ(retry_wait(0.75, std::nullopt), 0.75);
    EXPECT_EQ(retry_wait(0.75, 3.0), 3.0);
    EXPECT_EQ(retry_wait(5.0, 3.0), 5.0);
    EXPECT_EQ(retry_wait(0.75, 600.0), kMaxServerDelay);
    EXPECT_EQ(retry_wait(0.75, -2.0), 0.75);
    EXPECT_EQ(retry_wait(0.75, kNaN), 0.75);
}
