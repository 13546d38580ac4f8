"""A question paper PDF through the real extractor and model service, against the stand-in over HTTP."""

import asyncio
import json
from collections import Counter

import pytest

from quorvan_core.llm_service import LLMService
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from quorvan_core.question_paper_service import QuestionPaperService
from tests.support.pdfs import write_text_pdf

pytestmark = pytest.mark.e2e

QUESTIONS = [("Q1", "Define photosynthesis.", 2), ("Q2", "Explain how water moves through a plant.", 5),
             ("Q3", "Name the gas plants release in daylight and say why.", 3)]


def pages():
    lines = [f"{q_id}. {text} [{marks} marks]" for q_id, text, marks in QUESTIONS]
    return ["Biology - Grade 8\n" + "\n".join(lines[:2]), lines[2]]


@pytest.mark.parametrize("coroutine", [False, True])
def test_question_paper_from_pdf_to_saved_files(standin, tmp_path, coroutine):
    pdf = write_text_pdf(tmp_path / "paper.pdf", pages())
    service = QuestionPaperService(extractor_client=ExtractorClient(extractor_type="local"), llm_service=LLMService())

    paper = service.process_pdf(str(pdf), "Biology", "English", "Grade 8")
    assert service.extractor_client.backend == "local" and sorted(service.extracted_texts) == [1, 2]
    assert [(q, paper.get_question(q).text, paper.get_question(q).max_marks) for q in paper.get_question_ids()] == [
        (q, t, float(m)) for q, t, m in QUESTIONS]

    if coroutine:
        async def generate():
            return (await service.generate_rubrics_for_all_questions_async(paper),
                    await service.generate_reference_answers_for_all_questions_async(paper))
        rubrics, answers = asyncio.run(generate())
    else:
        rubrics = service.generate_rubrics_for_all_questions(paper)
        answers = service.generate_reference_answers_for_all_questions(paper)
    ids = [q for q, _, _ in QUESTIONS]
    assert list(rubrics) == list(answers) == ids
    for q_id, _, marks in QUESTIONS:
        question = paper.get_question(q_id)
        assert question.rubric is rubrics[q_id] and sum(c.mark for c in question.rubric.criteria) == marks
        assert question.reference_answer == answers[q_id] and answers[q_id].strip()
    schemas = Counter(r["response_format"]["json_schema"]["name"] for r in standin.requests)
    assert schemas == {"QuestionPaperResponse": 1, "RubricResponse": 3, "ReferenceAnswerResponse": 3}
    # everything is in place now: a second run asks the model nothing
    assert service.generate_rubrics_for_all_questions(paper) == {}
    assert service.generate_reference_answers_for_all_questions(paper) == {}
    assert len(standin.requests) == 7

    service.save_to_file(paper, "out/paper.json", answer_pages="1-2")
    service.save_to_file(paper, "out/paper.txt", format="text")
    with open("out/paper.json", encoding="utf-8") as f:
        data = json.load(f)
    assert (data["class"], data["subject"], data["answer_pages"]) == ("Grade 8", "Biology", "1-2")
    assert [(q["qid"], q["max_marks"], sum(c["mark"] for c in q["rubric"]), q["ref_answer"])
            for q in data["questions"]] == [(q, float(m), m, answers[q]) for q, _, m in QUESTIONS]
    with open("out/paper.txt", encoding="utf-8") as f:
        text = f.read()
    assert "Total Questions: 3\nTotal Marks: 10.0\n" in text
    assert all(f"Question {i}: {q}\nMarks: {float(m)}\nText: {t}\nReference Answer: {answers[q]}\n" in text
               for i, (q, t, m) in enumerate(QUESTIONS, 1))

    summary = service.get_summary(paper)
    assert (summary["total_marks"], summary["extracted_pages"]) == (10.0, [1, 2])
    assert service.validate_processing(paper)["valid"] is True
