"""An answer sheet PDF marked end to end: the local extractor, the real model service and openai client
against the stand-in, then saved and summarised."""

import asyncio
import json

import pytest

from quorvan_core.answersheet_service import AnswersheetService
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from quorvan_core.llm_service import LLMService
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support.pdfs import write_text_pdf

P = "[AnswersheetService]: "
QUESTIONS = [  # id, text, criterion marks, reference answer
    ("Q1", "Define photosynthesis.", [2.0, 2.0],
     "Photosynthesis lets green plants turn sunlight, water and carbon dioxide into glucose and oxygen."),
    ("Q2", "Explain osmosis with an example.", [2.0, 2.0, 2.0],
     "Osmosis moves water molecules through a semipermeable membrane from dilute solution toward "
     "concentrated solution, like raisins swelling when soaked."),
    ("Q3", "Name two gases found in air.", [2.0], "Nitrogen and oxygen."),
]
# Each answer restates its reference answer. The second runs onto page 2, where over half its content
# words stand, so it earns full marks only if both pages reach the marking. Q3 is left unanswered.
PAGES = [f"Q1. {QUESTIONS[0][3]}\nQ2. Osmosis moves water molecules through a semipermeable membrane",
         "from dilute solution toward concentrated solution, like raisins swelling when soaked."]


def paper():
    made = QuestionPaper(subject="Biology", language="English", class_level="Grade 8")
    for q_id, text, marks, reference in QUESTIONS:
        question = Question(q_id=q_id, text=text, max_marks=sum(marks))
        question.set_rubric(Rubric([Criterion(statement=f"{q_id} point {i}", mark=m) for i, m in enumerate(marks)]))
        question.set_reference_answer(reference)
        made.add_question(question)
    return made


@pytest.mark.e2e
@pytest.mark.parametrize("entry", ["process_pdf", "process_pdf_async"])
def test_answer_sheet_marked_saved_and_summarised(entry, standin, tmp_path, capsys):
    pdf = str(write_text_pdf(tmp_path / "sheet.pdf", PAGES))
    question_paper, coroutine = paper(), entry == "process_pdf_async"
    service = AnswersheetService(extractor_client=ExtractorClient(extractor_type="local"), llm_service=LLMService())
    sheet = asyncio.run(service.process_pdf_async(pdf, question_paper)) if coroutine else \
        service.process_pdf(pdf, question_paper)

    assert sorted(service.extracted_texts) == [1, 2]
    assert [(q, sheet.get_answer(q).pages) for q in sheet.get_question_ids()] == [("Q1", [1]), ("Q2", [1, 2])]
    assert sheet.get_answer("Q2").text.endswith("raisins swelling when soaked.")
    full = {q: question_paper.get_question(q).max_marks for q in ("Q1", "Q2")}
    for q_id, marks in full.items():
        answer, rubric = sheet.get_answer(q_id), question_paper.get_question(q_id).rubric
        assert answer.eval_rubric.get_awarded_marks() == rubric.total_marks() == marks
        assert all(c.is_fulfilled for c in answer.eval_rubric.criteria)
        assert not any(c.is_fulfilled for c in rubric.criteria)  # the paper's own rubric stays unmarked
        assert answer.feedback.startswith("You ")

    # The service's own lines; "-> task: tokens" lines are the model service's.
    lines = [line for line in capsys.readouterr().out.splitlines() if not line.startswith("-> ")]
    assert lines == [
        P + "Starting complete answersheet processing" + " (async)" * coroutine + "...",
        P + "Processing PDF: " + pdf, P + "Questions: 3", P + "Step 1/3: Extracting text from PDF...",
        P + "Processing all pages", P + "Successfully extracted text from 2 pages",
        P + "Step 2/3: Parsing student answers using " + ("async AI processing..." if coroutine else "AI..."),
        P * (not coroutine) + "Successfully parsed 2 student answers",
        P + "Step 3/3: Evaluating all answers" + " using concurrent async processing" * coroutine + "...",
        *[P + "Evaluating all 2 student answers using concurrent processing..."][coroutine:],
        P + "  Processing 2 evaluations concurrently...",
        *(P + f"    {q_id}: Awarded {marks}/{marks} marks" for q_id, marks in full.items()),
        P + "Evaluated 2 answers successfully using concurrent processing",
        P + "Complete " + "async " * coroutine + "answersheet processing finished successfully!"]
    assert sorted(r["response_format"]["json_schema"]["name"] for r in standin.requests) == [
        "AnswersheetResponse", "EvaluationResponse", "EvaluationResponse"]

    service.save_to_file(sheet, question_paper, "results/sheet.json")
    saved = json.loads((tmp_path / "results" / "sheet.json").read_text(encoding="utf-8"))
    assert [(r["qid"], r["answer_pages"], r["obtained_marks"], r["student_answer"] == "") for r in saved] == [
        ("Q1", [1], full["Q1"], False), ("Q2", [1, 2], full["Q2"], False), ("Q3", [], 0, True)]
    service.save_to_file(sheet, question_paper, "results/sheet.txt", "txt")
    report = (tmp_path / "results" / "sheet.txt").read_text(encoding="utf-8")
    for q_id, marks in full.items():
        assert f"Evaluation: {marks}/{marks} marks\nFeedback: {sheet.get_answer(q_id).feedback}\n" in report
    assert report.count("Status: ✅ Attempted\n") == 2 and report.count("Status: ❌ Not attempted\n") == 1

    summary = service.get_summary(sheet, question_paper)
    assert [summary[k] for k in ("attempted_questions", "unattempted_questions", "obtained_marks")] == [
        2, 1, sum(full.values())]
    assert service.validate_processing(sheet, question_paper)["warnings"] == []
    service.print_summary(sheet, question_paper)
    printed = capsys.readouterr().out.splitlines()
    assert P + f"Obtained Marks: {sum(full.values())}" in printed and P + "Validation: Passed" in printed
