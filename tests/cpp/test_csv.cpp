#include <gtest/gtest.h>

#include "csv.hpp"

using quorvan::core::csv_record;
using quorvan::core::csv_text;

struct CsvCase {
    std::vector<std::string> cells;
    std::string expected;
};

class CsvRecord : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvRecord, IsWhatSpreadsheetsRead) { EXPECT_EQ(csv_record(GetParam().cells), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cells, CsvRecord,
    ::testing::Values(CsvCase{{"file", "Q1", "total"}, "file,Q1,total\r\n"},
                      CsvCase{{"a,b", "c"}, "\"a,b\",c\r\n"},
                      CsvCase{{"she said \"no\""}, "\"she said \"\"no\"\"\"\r\n"},
                      CsvCase{{"two\nlines", "cr\rhere"}, "\"two\nlines\",\"cr\rhere\"\r\n"},
                      CsvCase{{" spaced ", "'=SUM(A1)", "\xc3\xa9t\xc3\xa9"}, " spaced ,'=SUM(A1),\xc3\xa9t\xc3\xa9\r\n"},
                      CsvCase{{"", ""}, ",\r\n"},
                      CsvCase{{""}, "\"\"\r\n"},   // one empty cell is not an empty line
                      CsvCase{{}, "\r\n"},
                      CsvCase{{"semi;colon", "tab\there"}, "semi;colon,tab\there\r\n"}));

TEST(CsvText, JoinsRecordsInOrder) {
    EXPECT_EQ(csv_text({{"file", "total"}, {"alice.pdf", "7.5"}, {"b, c.pdf", ""}}),
              "file,total\r\nalice.pdf,7.5\r\n\"b, c.pdf\",\r\n");
    EXPECT_EQ(csv_text({}), "");
}
