#include <gtest/gtest.h>

#include <set>
#include <string>

#include "prompt_templates.hpp"
#include "render.hpp"

using namespace quorvan::core;

TEST(Render, FillsFieldsAndKeepsLiteralText) {
    EXPECT_EQ(render("a {{x}} b {{y}}{{x}}", {{"x", "1"}, {"y", "2"}}), "a 1 b 21");
    EXPECT_EQ(render("", {}), "");
    EXPECT_EQ(render("no fields", {}), "no fields");
}

TEST(Render, InsertedTextIsNotExpandedAgain) {
    EXPECT_EQ(render("[{{answer}}]", {{"answer", "{{answer}} and {{other}}"}}), "[{{answer}} and {{other}}]");
}

TEST(Render, UnknownFieldAndUnclosedFieldAreErrors) {
    EXPECT_THROW(render("{{missing}}", {}), std::out_of_range);
    EXPECT_THROW(split_template("text {{open"), std::invalid_argument);
}

TEST(Render, SingleBracesAreLiteral) {
    EXPECT_EQ(render(R"($$\frac{a}{b}$$ {{v}})", {{"v", "x"}}), R"($$\frac{a}{b}$$ x)");
}

static std::set<std::string> fields(std::string_view tpl) {
    std::set<std::string> out;
    for (const auto& p : split_template(tpl)) {
        if (p.is_field) out.insert(std::string(p.text));
    }
    return out;
}

TEST(PromptTemplates, FieldsOfEachTemplate) {
    using namespace prompts;
    using S = std::set<std::string>;
    EXPECT_EQ(fields(kPageBlock), (S{"page_num", "text"}));
    EXPECT_EQ(fields(kRubricPrompt), (S{"question", "reference_answer", "class_level", "subject", "max_marks"}));
    EXPECT_EQ(fields(kReferenceAnswerPrompt), (S{"question", "class_level", "subject", "rubric_text"}));
    EXPECT_EQ(fields(kEvaluationPrompt), (S{"question", "reference_answer", "student_answer", "rubric_text"}));
    EXPECT_EQ(fields(kQuestionPaperPrompt), (S{"subject", "language", "combined_text"}));
    EXPECT_EQ(fields(kQuestionPaperSystem), (S{"subject"}));
    EXPECT_EQ(fields(kReferenceKeysPrompt), (S{"questions_list", "combined_text"}));
    EXPECT_EQ(fields(kAnswersheetPrompt), (S{"questions_list", "combined_text"}));
    EXPECT_EQ(fields(kRubricSystem), S{});
}

TEST(PromptTemplates, UserPromptsStartWithALineBreakAndEndInEightBlanks) {
    using namespace prompts;
    for (auto tpl : {kRubricPrompt, kReferenceAnswerPrompt, kEvaluationPrompt, kQuestionPaperPrompt,
                     kReferenceKeysPrompt, kAnswersheetPrompt}) {
        EXPECT_EQ(tpl.substr(0, 9), "\n        ");
        EXPECT_EQ(tpl.substr(tpl.size() - 9), "\n        ");
    }
}

TEST(PromptTemplates, PageBlockLayout) {
    EXPECT_EQ(render(prompts::kPageBlock, {{"page_num", "2"}, {"text", "body"}}), "\n--- Page 2 ---\nbody\n");
}
