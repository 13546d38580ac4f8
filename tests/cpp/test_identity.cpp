#include <gtest/gtest.h>

#include "identity.hpp"

using namespace quorvan::core;

struct Layout {
    const char* label;
    const char* page;
    const char* student_id;
    const char* name;
};

void PrintTo(const Layout& l, std::ostream* os) { *os << l.label; }

class FirstPages : public ::testing::TestWithParam<Layout> {};

TEST_P(FirstPages, GiveTheLabelledNameAndId) {
    const PageIdentity who = identity_from_page(GetParam().page);
    EXPECT_EQ(who.student_id, GetParam().student_id);
    EXPECT_EQ(who.name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Identity, FirstPages,
    ::testing::Values(
        Layout{"one line, wide gap", "Name: Anna Roy    Roll No. 12\nQ1. Plants make food.", "12", "Anna Roy"},
        Layout{"one line, single space", "Name: Anna Roy Roll No. 12", "12", "Anna Roy"},
        Layout{"a wide gap, then a class", "Name: Alice Fernandes                Class 8B", "", "Alice Fernandes"},
        Layout{"the gap lost, then a class", "Name: Alice Fernandes Class 8B", "", "Alice Fernandes"},
        Layout{"the gap lost, then a section", "Name: Tom Hardy Section B", "", "Tom Hardy"},
        Layout{"the gap lost, then a date", "Name: Uma Rao 12/03/2025", "", "Uma Rao"},
        Layout{"lines of their own", "Science test\nStudent Name:  Ben Okafor\nStudent ID: S-2024/017\n", "S-2024/017",
               "Ben Okafor"},
        Layout{"lower case", "name: chloé dubois\nroll no: 7", "7", "chloé dubois"},
        Layout{"upper case", "NAME: DEV PATEL\tROLL NUMBER: 31", "31", "DEV PATEL"},
        Layout{"bare ID after a value", "Name: Eve Ng ID: 4411", "4411", "Eve Ng"},
        Layout{"other labels end the value", "Name: Farah Khan Class: 8 Section: B\nDate: 3 May", "", "Farah Khan"},
        Layout{"exam date as a label", "Name: Gus Lee   Date: 12/03/2025", "", "Gus Lee"},
        Layout{"name of the student", "Name of the Student: Hana Sato", "", "Hana Sato"},
        Layout{"student's name", "Student's Name: Ivan O'Neil-Smith", "", "Ivan O'Neil-Smith"},
        Layout{"a filled-in blank", "Name: ___Jo Park___  Roll No.: 5.", "5", "Jo Park"},
        Layout{"a table row", "| Name: Kim Yu | Roll No. 9 |", "9", "Kim Yu"},
        Layout{"no labels at all", "Anna Roy\n12\nQ1. Plants make food.", "", ""},
        Layout{"an empty form", "Name: ____________   Roll No. ______\nQ1. ...", "", ""},
        Layout{"a teacher's name is not the student's", "Teacher's Name: Mr Brown\nSchool ID: 77", "", ""},
        Layout{"father's name then the student's", "Father's Name: Raj Roy\nName: Anna Roy", "", "Anna Roy"},
        Layout{"a name with digits is none", "Name: 42 Main Street", "", ""},
        Layout{"an id without a digit is none", "Student ID: pending", "", ""},
        Layout{"two different names", "Name: Anna Roy\nName: Ben Okafor", "", ""},
        Layout{"the same name twice", "Name: Anna Roy\nNAME: anna roy", "", "Anna Roy"},
        Layout{"student id wins over roll no", "Roll No. 12\nStudent ID: 998877", "998877", ""},
        Layout{"two roll numbers", "Roll No. 12\nRoll No. 13", "", ""},
        Layout{"a sentence is no name", "Name: the process by which green plants make food from sunlight and water "
                                        "and carbon dioxide in their leaves",
               "", ""},
        Layout{"name in an answer, mid-line", "Q1. The scientist's name: Darwin", "", ""},
        Layout{"n/a", "Name: N/A\nID: none", "", ""}));

TEST(Identity, PlausibleValues) {
    for (const char* ok : {"Anna", "José María Pérez", "A. K. Roy", "D'Souza"}) EXPECT_TRUE(plausible_name(ok)) << ok;
    for (const char* bad : {"", "12", "Anna (absent)", "a/b", "one two three four five six seven", "n/a", "Name"}) {
        EXPECT_FALSE(plausible_name(bad)) << bad;
    }
    for (const char* ok : {"12", "S-2024/017", "A12.3", "x_1"}) EXPECT_TRUE(plausible_id(ok)) << ok;
    for (const char* bad : {"", "abc", "12 34", "1234567890123456789012345", "12;3"}) EXPECT_FALSE(plausible_id(bad)) << bad;
}
