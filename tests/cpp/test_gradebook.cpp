#include <gtest/gtest.h>

#include "gradebook.hpp"

using namespace quorvan::core;

namespace {

GradeEntry entry(std::string id, std::string name, std::string email, double total, double maximum = 10) {
    GradeEntry e;
    e.who.student_id = std::move(id);
    e.who.name = std::move(name);
    e.who.email = std::move(email);
    e.who.section = "8B";
    e.file = e.who.name + ".pdf";
    e.total = total;
    e.maximum = maximum;
    return e;
}

using Table = std::vector<std::vector<std::string>>;

}  // namespace

TEST(Gradebook, PlainNumbers) {
    EXPECT_EQ(plain_number(8), "8");
    EXPECT_EQ(plain_number(8.5), "8.5");
    EXPECT_EQ(plain_number(2.0 / 3.0), "0.67");
    EXPECT_EQ(plain_number(1234567), "1234567");
    EXPECT_EQ(plain_number(66.666, 1), "66.7");
    EXPECT_EQ(plain_number(-0.001), "0");
}

TEST(Gradebook, CsvHasEveryIdentityFieldAndThePercentage) {
    EXPECT_EQ(gradebook_table(GradebookFormat::csv, {entry("12", "Anna", "a@s.org", 7.5)}, "Science"),
              (Table{{"student_id", "name", "email", "section", "total", "maximum", "percentage", "file"},
                     {"12", "Anna", "a@s.org", "8B", "7.5", "10", "75.0", "Anna.pdf"}}));
}

TEST(Gradebook, MoodleFindsUsersByIdNumberElseByEmail) {
    const std::vector<GradeEntry> ids = {entry("12", "Anna", "", 7), entry("13", "Ben", "b@s.org", 9.25)};
    EXPECT_EQ(gradebook_table(GradebookFormat::moodle, ids, "Science Class 8"),
              (Table{{"ID number", "Science Class 8"}, {"12", "7"}, {"13", "9.25"}}));
    const std::vector<GradeEntry> emails = {entry("", "Anna", "a@s.org", 7), entry("13", "Ben", "b@s.org", 9)};
    EXPECT_EQ(gradebook_table(GradebookFormat::moodle, emails, "Test"),
              (Table{{"Email address", "Test"}, {"a@s.org", "7"}, {"b@s.org", "9"}}));
    EXPECT_EQ(moodle_identifier({entry("", "Anna", "a@s.org", 7), entry("13", "Ben", "", 9)}), "");
}

TEST(Gradebook, CanvasPointsPossibleThenOneRowPerStudent) {
    EXPECT_EQ(gradebook_table(GradebookFormat::canvas, {entry("12", "Anna", "anna", 7, 15)}, "Science Class 8"),
              (Table{{"Student", "ID", "SIS User ID", "SIS Login ID", "Section", "Science Class 8"},
                     {"Points Possible", "", "", "", "", "15"},
                     {"Anna", "", "12", "anna", "8B", "7"}}));
}
