"""The public API as a user's typed code uses it; checked by `mypy --strict` (scripts/typecheck.sh), never run."""

from __future__ import annotations

import asyncio

from quorvan_core.datastructures.answersheet import Answer, Answersheet
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from quorvan_core.llm_service import LLMService, PromptTooLargeError, call_usage
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, ReadLimits
from quorvan_core.quorvan import ConfigurationError, Quorvan, QurovanConfig


def build_paper() -> QuestionPaper:
    paper = QuestionPaper("Science", "English", "Class 8")
    question = Question("Q1", "What is photosynthesis?", 2)
    question.set_rubric(Rubric([Criterion("Names sunlight", 1.0), Criterion("Names chlorophyll", 1.0)]))
    paper.add_question(question)
    paper.add_reference_answer("Q1", "Plants make food from light.")
    return paper


def total_of(paper: QuestionPaper) -> float:
    marks: float = paper.get_total_marks()
    for q_id in paper.get_question_ids():
        question = paper.get_question(q_id)
        if question is not None and question.rubric is not None:
            marks += question.rubric.total_marks() - question.max_marks
    return marks


def mark_one(service: LLMService, paper: QuestionPaper, sheet: Answersheet) -> float:
    answer: Answer | None = sheet.get_answer("Q1")
    question = paper.get_question("Q1")
    if answer is None or question is None or question.rubric is None:
        return 0.0
    result = service.evaluateAnswer(answer.text, question.text, question.rubric, question.reference_answer or "")
    awarded = result.get("awarded_marks", 0.0)
    return float(awarded)


async def rubrics_together(service: LLMService, paper: QuestionPaper) -> list[Rubric]:
    jobs = [service.generateRubric_async(q.text, q.max_marks, paper.class_level, paper.subject)
            for q in paper.get_all_questions().values()]
    return list(await asyncio.gather(*jobs))


def configured() -> Quorvan:
    config = QurovanConfig(extractor_type="local", model="gpt-5-mini-2025-08-07", input_price_per_million=0.15,
                           output_price_per_million=0.6, timeout=60.0, max_retries=2)
    settings: dict[str, object] = config.to_dict()
    assert "dpi" in settings
    facade = Quorvan()
    try:
        facade.configure(config)
    except ConfigurationError as error:
        raise SystemExit(str(error)) from error
    return facade


def cheaper_service() -> LLMService:
    service = LLMService("usage.log", 3, 20, True, model="local-model", input_price_per_million=0.0,
                         output_price_per_million=0.0, timeout=30.0, max_retries=1)
    service.set_retry_policy(2, timeout=None)
    cost: float = service.total_cost + service.input_price_per_million
    usage = service.get_total_usage()
    print(cost, usage["total_tokens"], service.model)
    return service


def read(client: ExtractorClient, path: str) -> dict[int, str]:
    texts = client.process_pdf(path, [1, 2])
    reading = client.read_pdf(path, limits=ReadLimits(max_pages=10))
    texts.update(reading.texts)
    client.change_extractor(ExtractorClient.get_recommended_extractor_for_subject("Maths"))
    return texts


def collect_usage(service: LLMService, paper: QuestionPaper) -> list[dict[str, object]]:
    token = call_usage.set([])
    try:
        asyncio.run(rubrics_together(service, paper))
    except PromptTooLargeError as error:
        print(error.estimate, error.cap)
    collected = call_usage.get() or []
    call_usage.reset(token)
    return [dict(entry) for entry in collected]


if __name__ == "__main__":
    facade = configured()
    paper = facade.process_question_paper("paper.pdf", "Science", "English", "Class 8")
    rubrics: dict[str, Rubric] = facade.generate_rubrics(paper)
    sheet = facade.process_answersheet("answers.pdf")
    print(total_of(paper), len(rubrics), sheet.answers)
    if facade.llm_service is not None:
        print(mark_one(facade.llm_service, paper, sheet))
    print(cheaper_service().model, read(ExtractorClient(model="vision"), "paper.pdf"))
    print(collect_usage(cheaper_service(), build_paper()))
