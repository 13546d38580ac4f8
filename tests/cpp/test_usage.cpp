#include <gtest/gtest.h>

#include "usage.hpp"

using namespace quorvan::core;

TEST(CallCost, PricesPerThousandTokens) {
    EXPECT_DOUBLE_EQ(call_cost(1200, 300), 0.00018 + 0.00018);
    EXPECT_EQ(call_cost(0, 0), 0.0);
    // Same operations, in the same order, as the Python expression.
    EXPECT_EQ(call_cost(1234, 567), 1234 / 1000.0 * 0.00015 + 567 / 1000.0 * 0.0006);
}

TEST(CallCost, PricesPerMillionTokens) {
    // The default prices per million give the very same double as per thousand.
    for (std::int64_t in : {0, 1, 999, 1234, 987654321}) {
        for (std::int64_t out : {0, 7, 567, 123456}) {
            EXPECT_EQ(call_cost(in, out, kInputPricePerMillion, kOutputPricePerMillion), call_cost(in, out));
        }
    }
    EXPECT_DOUBLE_EQ(call_cost(2'000'000, 500'000, 2.5, 10.0), 5.0 + 5.0);
    EXPECT_EQ(call_cost(1000, 1000, 0.0, 0.0), 0.0);
    EXPECT_DOUBLE_EQ(call_cost(1'000'000, 0, 1.0, 100.0), 1.0);
}

TEST(FormatCost, SixDecimalsRounded) {
    EXPECT_EQ(format_cost(0.00036), "0.000360");
    EXPECT_EQ(format_cost(0.0), "0.000000");
    EXPECT_EQ(format_cost(0.0000005), "0.000000");  // 5e-7 is stored just below the half
    EXPECT_EQ(format_cost(12.3456789), "12.345679");
}

TEST(UsageRecord, LayoutWithAndWithoutInfo) {
    const std::string expected =
        "\n\n*********************\nTASK: generate_rubric | \nMODEL: m | \nINPUT_TOKENS: 1200 | \n"
        "OUTPUT_TOKENS: 300 | \nTOTAL_TOKENS: 1500 | \nCOST: $0.000360";
    EXPECT_EQ(usage_record("generate_rubric", "m", 1200, 300, call_cost(1200, 300), ""), expected);
    EXPECT_EQ(usage_record("generate_rubric", "m", 1200, 300, call_cost(1200, 300), "Max marks: 5.0"),
              expected + " | INFO: Max marks: 5.0");
}

TEST(ConsoleLine, TotalAndCost) {
    EXPECT_EQ(console_line("generate_rubric", 1500, 0.00036), "-> generate_rubric: 1500 tokens ($0.000360)");
}

TEST(SessionBanner, RulesOfTwentyOne) {
    EXPECT_EQ(session_banner(),
              "\n\n=====================\nNEW LLM HANDLER SESSION STARTED\n=====================\n");
}
