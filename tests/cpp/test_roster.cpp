#include <gtest/gtest.h>

#include "roster.hpp"

using namespace quorvan::core;

namespace {

std::string problems_of(const Roster& r) {
    std::string out;
    for (const auto& p : r.problems) out += p + "\n";
    return out;
}

}  // namespace

TEST(Roster, ReadsTheColumnsWhateverTheirCaseOrderOrNeighbours) {
    const Roster r = parse_roster(" Name ;Notes; FILE ;Student ID;E-mail;Section\r\n"
                                  "Anna Roy;late;scans/anna*.pdf;12;x;8B\r\n");
    ASSERT_TRUE(r.problems.empty()) << problems_of(r);
    EXPECT_EQ(r.separator, ';');
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0].file, "scans/anna*.pdf");
    EXPECT_EQ(r.rows[0].student_id, "12");
    EXPECT_EQ(r.rows[0].name, "Anna Roy");
    EXPECT_EQ(r.rows[0].section, "8B");
    EXPECT_EQ(r.rows[0].email, "");  // "E-mail" is not the email column
    EXPECT_EQ(r.rows[0].line, 2);
}

TEST(Roster, ByteOrderMarkQuotesAndLineBreaksInFields) {
    const Roster r = parse_roster("\xEF\xBB\xBF" "file,student_id,name,email\n"
                                  "a.pdf,1,\"Roy, Anna\",anna@school.org\n"
                                  "\n"
                                  "b.pdf,2,\"Ben \"\"the\"\"\nBrave\",\n"
                                  "c.pdf,3,Chloé\n");
    ASSERT_TRUE(r.problems.empty()) << problems_of(r);
    EXPECT_EQ(r.separator, ',');
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[0].name, "Roy, Anna");
    EXPECT_EQ(r.rows[0].email, "anna@school.org");
    EXPECT_EQ(r.rows[1].name, "Ben \"the\"\nBrave");
    EXPECT_EQ(r.rows[1].line, 4);
    EXPECT_EQ(r.rows[2].line, 6);  // the line break inside quotes counts
    EXPECT_EQ(r.rows[2].name, "Chloé");
}

TEST(Roster, EveryProblemIsListedWithItsLine) {
    const Roster r = parse_roster("file;student_id;name\n"
                                  ";1;Anna\n"
                                  "b.pdf;;\n"
                                  "c.pdf;3;Roy; Chloe\n"
                                  "d.pdf;4;Dev\n"
                                  "e.pdf;4;Eve\n");
    EXPECT_EQ(problems_of(r),
              "line 2: no file\n"
              "line 3: no student_id and no name\n"
              "line 4: 4 cells but the header has 3 (a value with ';' in it needs quotes)\n"
              "line 6: student_id 4 is on line 5 with another name (Dev)\n");
}

struct BadRoster {
    const char* text;
    const char* problem;
};

void PrintTo(const BadRoster& b, std::ostream* os) { *os << b.problem; }

class BadRosters : public ::testing::TestWithParam<BadRoster> {};

TEST_P(BadRosters, AreRefusedWithTheReason) {
    const Roster r = parse_roster(GetParam().text);
    ASSERT_FALSE(r.problems.empty());
    EXPECT_NE(problems_of(r).find(GetParam().problem), std::string::npos) << problems_of(r);
}

INSTANTIATE_TEST_SUITE_P(
    Roster, BadRosters,
    ::testing::Values(BadRoster{"", "the roster is empty"}, BadRoster{" \n\n", "the roster is empty"},
                      BadRoster{"student_id,name\n1,Anna\n", "line 1: no column file"},
                      BadRoster{"file,email\na.pdf,x@y\n", "line 1: no column student_id or name"},
                      BadRoster{"file,name,Name\na.pdf,A,B\n", "the column name is there twice"},
                      BadRoster{"file,name\na.pdf,\"Anna\nb.pdf,Ben\n", "line 2: a quote opened here is never closed"},
                      BadRoster{"file,name\na.pdf,Ren\xE9\n", "line 2: not UTF-8 text"},
                      BadRoster{"file,name\na.pdf,Ren\xC3", "line 2: not UTF-8 text"}));

TEST(Roster, AnIdOrANameAloneIsEnough) {
    const Roster r = parse_roster("file,name\na.pdf,Anna\n");
    ASSERT_TRUE(r.problems.empty()) << problems_of(r);
    EXPECT_EQ(r.rows.at(0).name, "Anna");
    const Roster ids = parse_roster("file,student_id,name\na.pdf,7,\n");
    ASSERT_TRUE(ids.problems.empty()) << problems_of(ids);
    EXPECT_EQ(ids.rows.at(0).student_id, "7");
}

namespace {

RosterRow row(int line, const std::string& file, const std::string& id, const std::string& name = "") {
    RosterRow r;
    r.line = line;
    r.file = file;
    r.student_id = id;
    r.name = name.empty() ? "Student " + id : name;
    return r;
}

}  // namespace

TEST(RosterMatch, ExactPathBeforeFileNameBeforeGlob) {
    const std::vector<RosterRow> rows = {row(2, "*.pdf", "glob"), row(3, "anna.pdf", "name"),
                                         row(4, "class/anna.pdf", "given"), row(5, "ben.pdf", "ben"),
                                         row(6, "../elsewhere/carl.pdf", "carl")};
    const std::vector<std::string> resolved = {"", "/w/anna.pdf", "/w/class/anna.pdf", "/w/ben.pdf",
                                               "/w/class/carl.pdf"};
    const std::vector<SheetPath> sheets = {{"class/anna.pdf", "/w/class/anna.pdf"},
                                           {"class/ben.pdf", "/w/class/ben.pdf"},
                                           {"other/dora.pdf", "/w/other/dora.pdf"},
                                           {"class/carl.pdf", "/w/class/carl.pdf"}};
    const RosterMatch m = match_roster(rows, resolved, sheets);
    ASSERT_TRUE(m.problems.empty());
    EXPECT_EQ(m.row_of_sheet, (std::vector<std::optional<std::size_t>>{2, 3, 0, 4}));
    // anna.pdf lost to the exact path but did match: no row is left over
    EXPECT_TRUE(m.unmatched_rows.empty());
}

TEST(RosterMatch, GlobsMatchThePathAsGivenOrTheFileName) {
    const std::vector<RosterRow> rows = {row(2, "scans/anna*.pdf", "1"), row(3, "ben_?.pdf", "2"),
                                         row(4, "[cC]arl.pdf", "3"), row(5, "nobody*.pdf", "4")};
    const std::vector<SheetPath> sheets = {{"scans/anna_p1.pdf", "/x/scans/anna_p1.pdf"},
                                           {"/abs/ben_2.pdf", "/abs/ben_2.pdf"},
                                           {"Carl.pdf", "/x/Carl.pdf"},
                                           {"other/anna.pdf", "/x/other/anna.pdf"}};
    const RosterMatch m = match_roster(rows, {}, sheets);
    ASSERT_TRUE(m.problems.empty());
    EXPECT_EQ(m.row_of_sheet, (std::vector<std::optional<std::size_t>>{0, 1, 2, std::nullopt}));
    EXPECT_EQ(m.unmatched_rows, (std::vector<std::size_t>{3}));
}

TEST(RosterMatch, TwoStudentsForOneSheetIsAProblemTheSameStudentTwiceIsNot) {
    const std::vector<RosterRow> rows = {row(2, "a*.pdf", "1"), row(3, "*b.pdf", "2"), row(4, "c*.pdf", "3"),
                                         row(5, "*c.pdf", "3")};
    const std::vector<SheetPath> sheets = {{"ab.pdf", "/ab.pdf"}, {"cc.pdf", "/cc.pdf"}};
    const RosterMatch m = match_roster(rows, {}, sheets);
    ASSERT_EQ(m.problems.size(), 1u);
    EXPECT_EQ(m.problems[0], "ab.pdf is matched by lines 2, 3, which name different students");
    EXPECT_FALSE(m.row_of_sheet[0].has_value());
    EXPECT_EQ(m.row_of_sheet[1], std::optional<std::size_t>(2));
}

TEST(Roster, FirstAndLastNamesGiveTheNameAndCanvassSortingName) {
    const Roster r = parse_roster("file,First Name,last_name,name\n"
                                  "a.pdf,Anna,Roy,\n"
                                  "b.pdf,Ben,Okafor,Benjamin Okafor\n"
                                  "c.pdf,,Dubois,\n");
    ASSERT_TRUE(r.problems.empty()) << problems_of(r);
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[0].name, "Anna Roy");
    EXPECT_EQ(r.rows[0].sort_name, "Roy, Anna");
    EXPECT_EQ(r.rows[1].name, "Benjamin Okafor");  // the name column, where given, is the name
    EXPECT_EQ(r.rows[1].sort_name, "Okafor, Ben");
    EXPECT_EQ(r.rows[2].name, "Dubois");
    EXPECT_EQ(r.rows[2].sort_name, "");

    const Roster half = parse_roster("file,first_name\na.pdf,Anna\n");
    EXPECT_EQ(problems_of(half), "line 1: the column first_name without last_name\n");
}
