from collections.abc import Coroutine
from contextvars import ContextVar
from logging import Logger
from typing import Any

from openai import AsyncOpenAI, OpenAI
from pydantic import BaseModel

from quorvan_core.datastructures.answersheet import Answersheet
from quorvan_core.datastructures.question_paper import QuestionPaper
from quorvan_core.datastructures.rubric import Rubric

# One dict per try of the calls made in a context where it holds a list:
# task, model, input_tokens, output_tokens, cost, ok.
call_usage: ContextVar[list[dict[str, Any]] | None]

class CriterionModel(BaseModel):
    statement: str
    mark: float

class RubricResponse(BaseModel):
    criteria: list[CriterionModel]

class ReferenceAnswerResponse(BaseModel):
    reference_answer: str

class EvaluationResponse(BaseModel):
    fulfilled_criteria: list[int]
    awarded_marks: float
    feedback: str

class QuestionModel(BaseModel):
    q_id: str
    question_text: str
    max_marks: float

class QuestionPaperResponse(BaseModel):
    questions: list[QuestionModel]

class ReferenceAnswerModel(BaseModel):
    q_id: str
    reference_answer: str

class ReferenceAnswerKeysResponse(BaseModel):
    reference_answers: list[ReferenceAnswerModel]

class StudentAnswerModel(BaseModel):
    q_id: str
    answer_text: str
    page_numbers: list[int]

class AnswersheetResponse(BaseModel):
    answers: list[StudentAnswerModel]

class ModelAnswerError(ValueError):
    tries: int

class PromptTooLargeError(ValueError):
    estimate: int
    cap: int

class LLMService:
    client: OpenAI
    async_client: AsyncOpenAI
    model: str
    token_log_file: str
    is_logging_enabled: bool
    max_concurrent_requests: int
    requests_per_minute: int
    encoding: Any
    token_logger: Logger
    total_input_tokens: int
    total_output_tokens: int
    total_cost: float
    input_price_per_million: float
    output_price_per_million: float
    max_retries: int
    request_timeout: float | None
    retry_base_delay: float
    retry_max_delay: float
    max_prompt_tokens: int | None
    tokens_per_minute: int | None
    expected_output_tokens: int
    def __init__(self, token_log_file: str = 'llm_token_usage.log', max_concurrent_requests: int = 5, requests_per_minute: int = 50, enable_logging: bool = False, *, model: str = 'gpt-5-mini-2025-08-07', input_price_per_million: float = 0.15, output_price_per_million: float = 0.6, timeout: float | None = None, max_retries: int = 0, tokens_per_minute: int | None = None) -> None: ...
    def log_to_file(self, msg: str, logger_level: str = 'info') -> None: ...
    def get_total_usage(self) -> dict[str, Any]: ...
    def set_retry_policy(self, retries: int, timeout: float | None = None) -> None: ...
    def generateRubric(self, question: str, max_marks: float, class_level: str, subject: str, reference_answer: str = '') -> Rubric: ...
    def generateRefAnswer(self, question: str, rubric: Rubric, class_level: str, subject: str) -> str: ...
    def evaluateAnswer(self, student_answer: str, question: str, rubric: Rubric, reference_answer: str) -> dict[str, Any]: ...
    def parseQuestionPaper(self, extracted_texts: dict[int, str], subject: str, language: str, class_level: str) -> QuestionPaper: ...
    def parseReferenceAnswers(self, extracted_texts: dict[int, str], question_paper: QuestionPaper) -> dict[str, str]: ...
    def parseAnswersheet(self, extracted_texts: dict[int, str], question_paper: QuestionPaper) -> Answersheet: ...
    def generateRubric_async(self, question: str, max_marks: float, class_level: str, subject: str, reference_answer: str = '') -> Coroutine[Any, Any, Rubric]: ...
    def generateRefAnswer_async(self, question: str, rubric: Rubric, class_level: str, subject: str) -> Coroutine[Any, Any, str]: ...
    def evaluateAnswer_async(self, student_answer: str, question: str, rubric: Rubric, reference_answer: str) -> Coroutine[Any, Any, dict[str, Any]]: ...
    def parseQuestionPaper_async(self, extracted_texts: dict[int, str], subject: str, language: str, class_level: str) -> Coroutine[Any, Any, QuestionPaper]: ...
    def parseAnswersheet_async(self, extracted_texts: dict[int, str], question_paper: QuestionPaper) -> Coroutine[Any, Any, Answersheet]: ...
    def run_concurrent_tasks(self, tasks: list[dict[str, Any]], max_workers: int | None = None) -> list[Any]: ...
    def generate_rubrics_batch(self, questions_data: list[dict[str, Any]], max_workers: int | None = None) -> list[Rubric | str]: ...
    def generate_ref_answers_batch(self, ref_answer_data: list[dict[str, Any]], max_workers: int | None = None) -> list[str]: ...
    def evaluate_answers_batch(self, evaluation_data: list[dict[str, Any]], max_workers: int | None = None) -> list[dict[str, Any] | str]: ...
    def generate_rubrics_batch_async(self, questions_data: list[dict[str, Any]]) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    def generate_ref_answers_batch_async(self, ref_answer_data: list[dict[str, Any]]) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    def evaluate_answers_batch_async(self, evaluation_data: list[dict[str, Any]]) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    def generate_rubrics_batch_sync(self, questions_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def generate_ref_answers_batch_sync(self, ref_answer_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    def evaluate_answers_batch_sync(self, evaluation_data: list[dict[str, Any]]) -> list[dict[str, Any]]: ...
    @staticmethod
    def neutralise_student_text(text: str) -> str: ...
    @staticmethod
    def injection_signs(text: str) -> list[str]: ...
