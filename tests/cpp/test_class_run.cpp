#include <gtest/gtest.h>

#include "class_run.hpp"

using namespace quorvan::core;

TEST(PageList, SinglesRangesAndBlanks) {
    EXPECT_EQ(parse_page_list("1,2"), (std::vector<int>{1, 2}));
    EXPECT_EQ(parse_page_list(" 5-7, 2 ,6"), (std::vector<int>{2, 5, 6, 7}));
    EXPECT_EQ(parse_page_list("3-3"), (std::vector<int>{3}));
}

TEST(PageList, RejectsWhatIsNoPage) {
    for (const char* bad : {"", "0", "1,", "a", "2-1", "1-", "-3", "1.5", "1 2", "99999999999"}) {
        EXPECT_THROW(parse_page_list(bad), std::invalid_argument) << bad;
    }
}

TEST(UniqueNames, RepeatedStemsGetNumbers) {
    EXPECT_EQ(unique_names({"a", "b", "a", "a", "a-2"}), (std::vector<std::string>{"a", "b", "a-2", "a-3", "a-2-2"}));
}

TEST(Percent, OneDecimalAndNoMaximum) {
    EXPECT_EQ(percent(14, 20), "70.0");
    EXPECT_EQ(percent(2, 3), "66.7");
    EXPECT_EQ(percent(0, 0), "");
}

TEST(ProgressBar, FillsInProportion) {
    EXPECT_EQ(progress_bar(1, 4, 1, 0, 8), "[##......] 1/4 sheets  1 marked  0 failed");
    EXPECT_EQ(progress_bar(4, 4, 3, 1, 8), "[########] 4/4 sheets  3 marked  1 failed");
    EXPECT_EQ(progress_bar(0, 0, 0, 0, 4), "[####] 0/0 sheets  0 marked  0 failed");
}
