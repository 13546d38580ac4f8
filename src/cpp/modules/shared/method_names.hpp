// Names of the model service's methods, shared by the code that defines them
// and the code that calls them, so that a search for one finds both.
#pragma once

namespace quorvan::methods {

// One prompt each, blocking and as a coroutine.
inline constexpr const char* kGenerateRubric = "generateRubric";
inline constexpr const char* kGenerateRubricAsync = "generateRubric_async";
inline constexpr const char* kGenerateRefAnswer = "generateRefAnswer";
inline constexpr const char* kGenerateRefAnswerAsync = "generateRefAnswer_async";
inline constexpr const char* kEvaluateAnswer = "evaluateAnswer";
inline constexpr const char* kEvaluateAnswerAsync = "evaluateAnswer_async";
inline constexpr const char* kParseQuestionPaper = "parseQuestionPaper";
inline constexpr const char* kParseQuestionPaperAsync = "parseQuestionPaper_async";
inline constexpr const char* kParseAnswersheet = "parseAnswersheet";
inline constexpr const char* kParseAnswersheetAsync = "parseAnswersheet_async";
inline constexpr const char* kParseReferenceAnswers = "parseReferenceAnswers";

// Many questions at once: on a thread pool, as a coroutine, and the blocking
// wrapper of the coroutine.
inline constexpr const char* kGenerateRubricsBatch = "generate_rubrics_batch";
inline constexpr const char* kGenerateRubricsBatchAsync = "generate_rubrics_batch_async";
inline constexpr const char* kGenerateRubricsBatchSync = "generate_rubrics_batch_sync";
inline constexpr const char* kGenerateRefAnswersBatch = "generate_ref_answers_batch";
inline constexpr const char* kGenerateRefAnswersBatchAsync = "generate_ref_answers_batch_async";
inline constexpr const char* kGenerateRefAnswersBatchSync = "generate_ref_answers_batch_sync";
inline constexpr const char* kEvaluateAnswersBatch = "evaluate_answers_batch";
inline constexpr const char* kEvaluateAnswersBatchAsync = "evaluate_answers_batch_async";
inline constexpr const char* kEvaluateAnswersBatchSync = "evaluate_answers_batch_sync";

}  // namespace quorvan::methods
