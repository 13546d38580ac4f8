// The texts sent to the model, byte for byte: leading line breaks, the
// eight-blank indentation, lines of blanks and trailing blanks are part of
// them. {{name}} marks where a value goes (see render.hpp).
#pragma once

#include <string_view>

namespace quorvan::core::prompts {

// Building blocks of the user prompts.
inline constexpr std::string_view kPageBlock = R"TPL(
--- Page {{page_num}} ---
{{text}}
)TPL";

inline constexpr std::string_view kQuestionEntry = R"TPL(- {{q_id}}: {{text}}
)TPL";

inline constexpr std::string_view kCriterionLine = R"TPL(- {{statement}} ({{mark}} marks))TPL";

inline constexpr std::string_view kNumberedCriterionLine = R"TPL({{index}}: {{statement}} ({{mark}} marks))TPL";

inline constexpr std::string_view kQuestionPaperSystem = R"TPL(You are an expert {{subject}} educator with experience in parsing question papers. You can accurately identify questions, clean OCR text, and determine appropriate mark allocations for {{subject}} questions.)TPL";

inline constexpr std::string_view kQuestionPaperPrompt = R"TPL(
        Parse the following OCR-extracted text from a {{subject}} question paper and extract all questions.
        
        Subject: {{subject}}
        Target Language: {{language}}
        
        OCR Text:
        {{combined_text}}
        
        Instructions:
        1. Identify all questions in the text
        2. If the text is multilingual, focus only on questions in {{language}} language
        3. For each question, determine:
           - A unique question ID (e.g., "Q1", "1a", "2(i)", etc. based on the numbering in the paper)
           - The complete question text (clean up OCR errors where possible)
           - The maximum marks for the question (look for marks mentioned like "[5 marks]", "(10)", "2x4", "2x3=6", etc.)
        4. Ignore headers, instructions, or non-question content
        5. If marks are not explicitly mentioned, keep the marks as 0
        6. Clean up the question text to remove OCR artifacts while preserving mathematical symbols and formatting
        7. Ensure question IDs follow the original numbering scheme from the paper
        
        Return only the questions that are clearly identifiable and in {{language}} language.
        )TPL";

inline constexpr std::string_view kRubricSystem = R"TPL(You are an expert educator of CBSE curriculum in India, creating assessment rubrics. Generate criteria that are clear, specific, and appropriate for the given academic level.)TPL";

inline constexpr std::string_view kRubricPrompt = R"TPL(
        Create a detailed **marking rubric** for evaluating student answers for the below question:
        
        ### Question Details
        Question: {{question}}
        Reference Answer: {{reference_answer}}
        Class Level: {{class_level}}
        Subject: {{subject}}
        Maximum Marks: {{max_marks}}
        
        ### Rubric Requirements
        1. Include **key evaluation criteria** that cover all important aspects of the question.
        2. Criteria must be **specific, measurable, concise, short and non-overlapping**.
        3. Criteria must have appropriate mark allocations that sum to {{max_marks}}
        4. Ensure the rubric is **appropriate for class {{class_level}}** students.
        5. Follow **best assessment practices** for {{subject}}.
        6. Include **one criterion for word limit or clarity of expression**, unless:
            - The question is **objective**, or
            - The **maximum marks < 3** 
        7. If maximum marks is less than 3, create only one criterion and it can not be related to word limit.
        8. For **objective questions**, focus only on **accuracy and correctness**, *do not* include explanation of criteria or the answer.
        9. Use the **reference answer (if provided)** to guide the content and focus of criteria.
        10. Each criterion should assess a unique aspect of the answer, avoid overlap or repetition between criteria.
        11. Allocate marks proportionally to the importance or difficulty of each criterion, ensuring logical balance.
        12. Phrase each criterion as an **observable outcome or measurable behavior**, such as “Demonstrates understanding of…” or “Accurately identifies…”.

        ### Each criterion should have:
        - A clear statement describing what to look for
        - no explanation of mark allocation

        Ensure the criteria are clear, complete, and consistent.
        )TPL";

inline constexpr std::string_view kReferenceAnswerSystem = R"TPL(You are an expert {{subject}} teacher creating reference answers. Write comprehensive, accurate answers appropriate for the specified class level.)TPL";

inline constexpr std::string_view kReferenceAnswerPrompt = R"TPL(
        Generate a comprehensive reference answer for the following question:
        
        ### Question Details
        Question: {{question}}
        Class Level: {{class_level}}
        Subject: {{subject}}
        
        ### Rubric Criteria
        Use the following rubric criteria as a guide to ensure full coverage:
        {{rubric_text}}
        
        ### Reference answer requirements:
        1. Write an answer that is **appropriate in depth and tone** for class {{class_level}} students.
        2. Address **every point** mentioned in the rubric criteria clearly and accurately.
        3. Ensure the response is **organized, coherent, and logically structured**.
        4. Use appropriate {{subject}} terminology
        5. For **objective questions**, give **only the correct answer**, in the format:  
            Example - **(a) The mitochondria produce energy for the cell.**  
            Do **not** elaborate or provide explanations for objective questions.
        6. The **word count and level of detail** should be suitable for the **marks allocated**.
        7. Maintain **clarity, precision, and correctness** throughout.
        8. For questions worth fewer than 3 marks, keep the answer **brief and factual**, without long elaboration.
        9. generate the answer in **plain text format**, avoiding markdown or special formatting.

        
        - The answer should serve as an example response that would fulfill all rubric criteria.
        - Provide only the **final reference answer**, without any introductory or explanatory text.
        )TPL";

inline constexpr std::string_view kEvaluationSystem = R"TPL(You are an expert educator evaluating student work. Be fair, consistent, and provide constructive feedback.)TPL";

inline constexpr std::string_view kEvaluationPrompt = R"TPL(
        Evaluate the following student answer against the given rubric:
        
        ### Question
        {{question}}

        ### Reference Answer
        {{reference_answer}}

        ### Student Answer
        {{student_answer}}

        ### Rubric Criteria
        {{rubric_text}}
        

        ### Evaluation Guidelines
        For each criterion, determine if the student's answer fulfills it based on:
        1. Accuracy of content
        2. Completeness of the response
        3. Appropriate use of terminology
        
        **Provide:**
        1. List of criterion indices (0-based) that are fulfilled
        2. Total awarded marks, summing the marks of fulfilled criteria
        3. A short constructive feedback explaining the evaluation

        ### Feedback Generation Rules
        Provide **concise, constructive feedback** in a supportive, second-person tone.

        **Feedback Requirements:**
        1. Write **2–4 sentences** of feedback total.
        2. Always address the student directly using “you” or “your”.
        3. Begin with at least one **positive observation** (what was done well).
        4. Then mention **specific areas for improvement**.
        5. Avoid generic statements like “good answer” or “needs improvement”.
        6. Reference the rubric criteria explicitly or implicitly.
        7. Use **neutral and encouraging** language - avoid harsh or evaluative terms.
        8. If the student meets all criteria, acknowledge this explicitly (e.g., “You met all the requirements…”).
        9. If the student misses several criteria, summarize key gaps rather than listing all.
        10. Do not restate the entire rubric or question; focus only on the student’s response.
        11. generate feedback in plain text without markdown formatting.

        Be fair but rigorous in your assessment.
        )TPL";

inline constexpr std::string_view kReferenceKeysPrompt = R"TPL(
        Extract the reference answer for the following question from the provided OCR text:

        Questions: 
        {{questions_list}}

        OCR Text:
        {{combined_text}}

        ## Instructions:
        1. Identify the reference answer that corresponds to the question above.
        2. Clean up any OCR artifacts while preserving the original meaning.
        3. Return the cleaned reference answer text.
        4. Look for question numbers, labels, or context clues to match answers to questions.
        )TPL";

inline constexpr std::string_view kAnswersheetSystem = R"TPL(You are an expert at parsing student answersheets. You can accurately identify student responses, clean OCR text, and match answers to specific questions based on context and numbering.)TPL";

inline constexpr std::string_view kAnswersheetPrompt = R"TPL(
        Parse the following OCR-extracted text from a student's answersheet and identify student answers to specific questions.
        
        ### Available Questions (format -> <question_id>: <question_text>):
        {{questions_list}}
        
        ### Student Answersheet OCR Text:
        {{combined_text}}
        
        ### Instructions:
        1. Identify student answers that correspond to the questions listed above
        2. For each answer found, determine:
           - The **question ID** it corresponds to (must match one from the available questions)
           - The **student's answer text** (clean up OCR errors where possible)
           - The **page numbers** where this answer appears
        3. Look for question numbers, labels, or context clues to match answers to questions
        4. If an answer spans multiple pages, include all relevant page numbers
        5. Clean up the answer text to remove OCR artifacts while preserving the student's actual response
        6. If a question is attempted but the answer is unclear due to OCR issues, include it with a note
        7. If an answer cannot be confidently matched to a question, keep it's question ID as "Unknown"
        8. Ignore any content that does not appear to be a student answer (e.g. instructions, question text)
        9. Do not shorten, summarize, or paraphrase student answers. Preserve all original content and structure, except for minor OCR corrections (spacing, punctuation, broken words).

        ### Mathpix Markdown Conversion Rules
        1. Convert all Mathpix Markdown content into **clear, readable plain text**:
            - Convert inline or block LaTeX equations (e.g., `$E=mc^2$`, `$$\frac{a}{b}$$`) into **plain math expressions** (e.g., “E = mc²”, “a/b”).
            - Convert Markdown tables (`|`, `---`) into **text tables or bullet lists**, maintaining logical column order and data grouping.
            - Keep lists, numbered steps, and indented structures intact (e.g., “1.”, “(a)”, “Step 1:”).
            - Preserve mathematical symbols and relationships (`=`, `+`, `−`, `×`, `/`, `→`, `≥`, `∑`, etc.).
            - Remove all Markdown formatting symbols (`$`, `$$`, `|`, `**`, `_`, `\`, etc.).
        2. Do **not** summarize, paraphrase, or simplify math expressions — represent them exactly in plain text.
        3. Correct minor OCR issues (e.g., spacing, broken words, punctuation) while preserving the student’s original meaning.
        4. Retain line breaks and paragraph separations to preserve visual and logical flow.
        )TPL";

}  // namespace quorvan::core::prompts
