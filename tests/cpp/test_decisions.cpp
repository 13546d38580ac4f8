// The teacher's changes: stored as events, never rewritten; what stands is
// the latest per answer and field, and every view reads marks through it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decisions.hpp"
#include "pdf_maker.hpp"
#include "results_store.hpp"

using namespace quorvan::core;
using namespace quorvan_test;

namespace {

class DecisionsTest : public TempDirTest {
protected:
    std::string db() const { return (dir_ / "marking.db").string(); }

    // A sheet with two answers, q1 marked 1.5 of 2 (criteria 0 and 2), q2 not marked yet.
    std::int64_t marked_sheet(ResultsStore& store) {
        const auto sheet = store.add_sheet("ada.pdf", "/class/ada.pdf", "ada");
        store.store_parse(sheet.id, "sha", "key", {{"q1", "Paris", {1}}, {"q2", "4", {2}}}, {});
        store.store_mark(sheet.id, "q1", "fp", {0, 2}, 1.5, 2, "Right city.", {});
        return sheet.id;
    }

    // The result code of one statement run on a connection of its own.
    int raw_exec(const std::string& sql) {
        sqlite3* raw = nullptr;
        sqlite3_open(db().c_str(), &raw);
        const int rc = sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(raw);
        return rc;
    }
};

std::vector<std::string> olds_and_news(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.q_id + " " + e.field + ": " + e.old_value + " -> " + e.new_value);
    return out;
}

}  // namespace

TEST_F(DecisionsTest, EachChangeRecordsWhatStoodBeforeIt) {
    ResultsStore store(db());
    const auto id = marked_sheet(store);
    store.record_changes(id, {{"q1", "awarded", "2.0"}, {"q1", "criteria_met", "[2, 1, 0, 1]"}}, "ms.roy");
    store.record_changes(id, {{"q1", "awarded", "1"}, {"q1", "feedback", "\"Good \\\"city\\\"\""},
                              {"q2", "awarded", "0"}, {"", "approved", "true"}}, "mr.sen");
    store.record_changes(id, {{"q1", "awarded", "null"}}, "ms.roy");
    EXPECT_EQ(olds_and_news(store.events(id)), (std::vector<std::string>{
        "q1 awarded: 1.5 -> 2",
        "q1 criteria_met: [0, 2] -> [0, 1, 2]",
        "q1 awarded: 2 -> 1",
        "q1 feedback: \"Right city.\" -> \"Good \\\"city\\\"\"",
        "q2 awarded: null -> 0",
        " approved: false -> true",
        "q1 awarded: 1 -> null",
    }));
    const auto all = store.events();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[2].reviewer, "mr.sen");
    EXPECT_EQ(all[0].at.size(), 24u);  // 2026-01-02T03:04:05.678Z

    const auto d = store.decisions(id);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_FALSE(d.at("q1").awarded);  // cleared: the model's mark stands again
    EXPECT_EQ(d.at("q1").criteria_met, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(d.at("q1").feedback, "Good \"city\"");
    EXPECT_EQ(d.at("q2").awarded, 0.0);
    EXPECT_EQ(d.at("").approved, true);
}

TEST_F(DecisionsTest, EventsAreNeverRewritten) {
    {
        ResultsStore store(db());
        store.record_changes(marked_sheet(store), {{"q1", "awarded", "2"}}, "ms.roy");
    }
    EXPECT_EQ(raw_exec("UPDATE events SET new_value = '0'"), SQLITE_CONSTRAINT);
    EXPECT_EQ(raw_exec("DELETE FROM events"), SQLITE_CONSTRAINT);
    ResultsStore store(db());
    EXPECT_EQ(store.events().at(0).new_value, "2");
}

struct BadChange {
    Change change;
    std::string message;
};

class RefusedChange : public DecisionsTest, public ::testing::WithParamInterface<BadChange> {};

TEST_P(RefusedChange, NothingOfTheBatchIsStored) {
    ResultsStore store(db());
    const auto id = marked_sheet(store);
    try {
        store.record_changes(id, {{"q1", "awarded", "1"}, GetParam().change}, "ms.roy");
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
    EXPECT_TRUE(store.events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RefusedChange,
    ::testing::Values(
        BadChange{{"q1", "awarded", "-1"}, "awarded of question 'q1' must be a finite number of marks, 0 or more, not -1"},
        BadChange{{"q1", "awarded", "\"2\""}, "awarded of question 'q1' must be a number of marks, not \"2\""},
        BadChange{{"q1", "awarded", "2,"}, "awarded of question 'q1' is not JSON: 2,"},
        BadChange{{"q1", "criteria_met", "[0, -1]"},
                  "criteria_met of question 'q1' must be a list of criterion positions (0, 1, ...), not [0, -1]"},
        BadChange{{"q1", "feedback", "3"}, "feedback of question 'q1' must be text, not 3"},
        BadChange{{"q1", "approved", "1"}, "approved of question 'q1' must be true or false, not 1"},
        BadChange{{"q1", "maximum", "3"},
                  "maximum of question 'q1' is not a field a teacher changes (awarded, criteria_met, feedback, approved)"},
        BadChange{{"q9", "awarded", "1"}, "sheet 1 has no answer to question 'q9'"},
        BadChange{{"", "awarded", "1"}, "only a question's awarded can be changed, not the sheet's"}),
    [](const ::testing::TestParamInfo<BadChange>& info) { return "case" + std::to_string(info.index); });

TEST_F(DecisionsTest, MarkingAgainKeepsTheDecisionAndAsksForAnotherLook) {
    ResultsStore store(db());
    const auto id = marked_sheet(store);
    store.record_changes(id, {{"q1", "awarded", "2"}}, "ms.roy");
    // The paper changed: the model marks the answer again.
    store.store_mark(id, "q1", "fp-2", {0}, 0.5, 2, "Partly.", {});
    auto answers = store.answers(id);
    const QuestionKey q1{"fp-2", 2, {}};
    Reviewed r = review_of(&answers[0], decision_for(store.decisions(id), "q1"), q1);
    EXPECT_EQ(r.awarded, 2.0);
    EXPECT_TRUE(r.look_again);
    EXPECT_EQ(answers[0].flags.at(0).note, "q1: marked again since the teacher's decision: look again");
    EXPECT_EQ(answers[0].awarded, 0.5);  // the model's own mark is kept for comparison

    // An answer without a decision is simply marked again.
    store.store_mark(id, "q2", "fp-2", {}, 0, 1, "", {});
    EXPECT_TRUE(store.answers(id)[1].flags.empty());

    // The teacher looks again and approves: the flag goes, the decision stays.
    store.record_changes(id, {{"q1", "approved", "true"}}, "ms.roy");
    answers = store.answers(id);
    r = review_of(&answers[0], decision_for(store.decisions(id), "q1"), q1);
    EXPECT_FALSE(r.look_again);
    EXPECT_TRUE(r.approved);
    EXPECT_EQ(r.awarded, 2.0);
}

TEST_F(DecisionsTest, IdentitiesReadBack) {
    ResultsStore store(db());
    const auto id = marked_sheet(store);
    EXPECT_TRUE(store.sheet(id)->identity.empty());
    const Identity who{"S-17", "अनन्या शर्मा", "a@school.example", "8B", "roster"};
    store.set_identity(id, who);
    EXPECT_EQ(store.sheet(id)->identity, who);
}

TEST(ReviewOf, TheTeachersValuesWinFieldByField) {
    const QuestionKey q{"fp", 2, {1, 0.5, 0.5}};
    AnswerRecord marked;
    marked.q_id = "q1";
    marked.text = "Plants make food from light.";
    marked.status = "marked";
    marked.question_fingerprint = "fp";
    marked.awarded = 1.5;
    marked.criteria_met = {0, 2};
    marked.feedback = "model";
    Reviewed r = review_of(&marked, nullptr, q);
    EXPECT_EQ(r.awarded, 1.5);
    EXPECT_EQ(r.state, "marked");
    EXPECT_FALSE(r.overridden || r.approved || r.teacher_marked);

    Decision only_feedback;
    only_feedback.feedback = "teacher";
    r = review_of(&marked, &only_feedback, q);
    EXPECT_EQ(r.awarded, 1.5);
    EXPECT_EQ(r.feedback, "teacher");
    EXPECT_TRUE(r.overridden && r.feedback_by_teacher);
    EXPECT_FALSE(r.teacher_marked);

    AnswerRecord failed = marked;
    failed.status = "failed";
    failed.failure = "timed out";
    r = review_of(&failed, nullptr, q);
    EXPECT_FALSE(r.awarded);  // a failed marking gives no mark
    EXPECT_EQ(r.state, "unmarked");
    EXPECT_EQ(r.why, "timed out");
    Decision mark;
    mark.awarded = 1.0;
    r = review_of(&failed, &mark, q);
    EXPECT_EQ(r.awarded, 1.0);  // the teacher marks what the model could not
    EXPECT_TRUE(r.teacher_marked);
}

TEST(ReviewOf, ATypedMarkIsTheTeachersAndSilencesTheModelsFeedback) {
    const QuestionKey q{"fp", 4, {3, 1}};
    AnswerRecord a;
    a.q_id = "q3";
    a.text = "Copper conducts.";
    a.status = "marked";
    a.question_fingerprint = "fp";
    a.awarded = 4;
    a.criteria_met = {0, 1};
    a.feedback = "Both points made.";

    Decision typed;
    typed.awarded = 2.25;
    Reviewed r = review_of(&a, &typed, q);
    EXPECT_EQ(r.awarded, 2.25);
    EXPECT_TRUE(r.teacher_marked && r.mark_typed);
    EXPECT_FALSE(r.criteria_by_teacher);  // the ticks shown are the model's
    EXPECT_EQ(r.criteria_met, (std::vector<int>{0, 1}));
    EXPECT_EQ(r.feedback, "");  // never the model's words for a mark it did not give

    typed.feedback = "See me.";
    EXPECT_EQ(review_of(&a, &typed, q).feedback, "See me.");

    // Ticks whose sum is the mark: the teacher marked by the criteria.
    Decision ticked;
    ticked.criteria_met = std::vector<int>{1};
    ticked.awarded = 1;
    r = review_of(&a, &ticked, q);
    EXPECT_TRUE(r.teacher_marked && r.criteria_by_teacher);
    EXPECT_FALSE(r.mark_typed);
    EXPECT_EQ(r.feedback, "Both points made.");
    // ...then a typed mark over the teacher's own ticks.
    ticked.awarded = 2;
    EXPECT_TRUE(review_of(&a, &ticked, q).mark_typed);
}

TEST(ReviewOf, AnEmptyOrMissingAnswerIsNotAnsweredUntilTheTeacherMarksIt) {
    const QuestionKey q{"fp", 4, {3, 1}};
    Reviewed r = review_of(nullptr, nullptr, q);
    EXPECT_EQ(r.state, "not_answered");
    EXPECT_FALSE(r.answered || r.awarded);

    // Marked before empty answers were left out: the model's mark of nothing does not count.
    AnswerRecord blank;
    blank.q_id = "q2";
    blank.text = " -- ";
    blank.status = "marked";
    blank.question_fingerprint = "fp";
    blank.awarded = 1;
    blank.criteria_met = {1};
    blank.feedback = "Some idea.";
    r = review_of(&blank, nullptr, q);
    EXPECT_EQ(r.state, "not_answered");
    EXPECT_FALSE(r.awarded || r.model_awarded);
    EXPECT_TRUE(r.criteria_met.empty() && r.feedback.empty());

    Decision mark;
    mark.awarded = 3;
    r = review_of(nullptr, &mark, q);
    EXPECT_EQ(r.state, "marked");
    EXPECT_EQ(r.awarded, 3.0);

    // Marked against another version of the question: no mark counts yet.
    AnswerRecord stale = blank;
    stale.text = "Copper.";
    stale.question_fingerprint = "old";
    r = review_of(&stale, nullptr, q);
    EXPECT_EQ(r.state, "unmarked");
    EXPECT_TRUE(r.stale);
    EXPECT_EQ(r.why, "the question changed since it was marked");
}

struct Blank {
    std::string text;
    bool blank;
};
class BlankAnswer : public ::testing::TestWithParam<Blank> {};
TEST_P(BlankAnswer, OnlyBlanksAndPunctuation) { EXPECT_EQ(blank_answer(GetParam().text), GetParam().blank); }
INSTANTIATE_TEST_SUITE_P(
    Texts, BlankAnswer,
    ::testing::Values(Blank{"", true}, Blank{"  \n\t ", true}, Blank{"...", true}, Blank{"- / ?", true},
                      Blank{"\xe2\x80\x94 \xe2\x80\xa6", true},       // em dash, ellipsis
                      Blank{"\xc2\xa0\xe3\x80\x82\xef\xbc\x9f", true},  // no-break space, ideographic full stop, fullwidth ?
                      Blank{"\xe0\xa5\xa4", true},                   // danda
                      Blank{"0", false}, Blank{"x", false}, Blank{"No.", false},
                      Blank{"\xe6\xb0\xb4", false},                  // a Chinese word
                      Blank{"\xe0\xa4\x9c\xe0\xa4\xb2", false},    // a Hindi word
                      Blank{"\xc3\xa9", false}),
    [](const ::testing::TestParamInfo<Blank>& info) { return "case" + std::to_string(info.index); });

struct Typed {
    std::string text;
    std::optional<double> mark;
};
class TypedMark : public ::testing::TestWithParam<Typed> {};
TEST_P(TypedMark, ADecimalPointOrCommaWithinTheRange) { EXPECT_EQ(typed_mark(GetParam().text, 30), GetParam().mark); }
INSTANTIATE_TEST_SUITE_P(
    Texts, TypedMark,
    ::testing::Values(Typed{"2.5", 2.5}, Typed{"2,5", 2.5}, Typed{" 3 ", 3.0}, Typed{"0", 0.0}, Typed{"30", 30.0},
                      Typed{"2.", std::nullopt}, Typed{".5", std::nullopt}, Typed{"2,5,0", std::nullopt},
                      Typed{"2.5.", std::nullopt}, Typed{"30.5", std::nullopt}, Typed{"-1", std::nullopt},
                      Typed{"1e1", std::nullopt}, Typed{"", std::nullopt}, Typed{"2 5", std::nullopt},
                      Typed{"nan", std::nullopt}, Typed{"\xef\xbc\x92", std::nullopt}),
    [](const ::testing::TestParamInfo<Typed>& info) { return "case" + std::to_string(info.index); });

TEST(SheetApproved, AsAWholeOrAnswerByAnswer) {
    AnswerRecord q1, q2;
    q1.q_id = "q1";
    q2.q_id = "q2";
    const std::vector<AnswerRecord> answers{q1, q2};
    std::map<std::string, Decision> d;
    EXPECT_FALSE(sheet_approved(answers, d));
    d["q1"].approved = true;
    EXPECT_FALSE(sheet_approved(answers, d));
    d["q2"].approved = true;
    EXPECT_TRUE(sheet_approved(answers, d));
    d[""].approved = false;  // withdrawn for the sheet as a whole
    EXPECT_FALSE(sheet_approved(answers, d));
    d[""].approved = true;
    EXPECT_TRUE(sheet_approved({}, d));
    EXPECT_FALSE(sheet_approved({}, {}));
}
