"""The whole road through the facade: real PDFs, the real pipelines and openai client, the model stand-in."""

import json
import re
from collections import Counter

import pytest

import quorvan_core.quorvan as quorvan
from tests.support.facade import clean_env  # noqa: F401
from tests.support.pdfs import write_text_pdf

pytestmark = pytest.mark.e2e

QUESTIONS = [("Q1", "State Newton's first law of motion.", 3), ("Q2", "Define velocity.", 2)]
ANSWERS = ["Q1. An object stays at rest or in uniform motion unless a force acts on it.",
           "Q2. Velocity is speed in a given direction."]


def facade_lines(out):
    """The facade's own lines: the pipelines and the service prefix theirs."""
    return [line for line in out.splitlines() if not line.startswith(("[", "-> "))]


def test_marking_run(clean_env, standin, capsys):
    write_text_pdf("paper.pdf", ["Physics - Grade 9\n" + "\n".join(f"{q}. {t} [{m} marks]" for q, t, m in QUESTIONS)])
    write_text_pdf("answers.pdf", ANSWERS)
    f = quorvan.Quorvan()
    f.configure(quorvan.QurovanConfig(extractor_type="local"))
    paper = f.process_question_paper("paper.pdf", "Physics", "English", "Grade 9")
    rubrics = f.generate_rubrics(paper)
    references = f.generate_reference_answers(paper, ["Q2", "Q1"])
    sheet = f.process_answersheet("answers.pdf")

    assert facade_lines(capsys.readouterr().out) == [
        "Configuring Quorvan...", "Initializing LLM handler...", "LLM handler initialized",
        "Initializing local extractor client...", "Extractor client initialized",
        "Initializing question paper handler...", "Initializing answersheet handler...", "All handlers initialized",
        "Quorvan configured successfully!",
        "Starting question paper processing workflow...", "Question paper processing completed successfully!",
        "Extracted 2 questions",
        "Starting rubric generation workflow...", "Generating rubrics for all questions...",
        "Rubric generation completed successfully!",
        "Starting reference answer generation workflow...", "Generating reference answers for 2 specific questions...",
        "Generated reference answers for 2/2 questions", "Reference answer generation completed successfully!",
        "Starting answersheet processing workflow...", "Answersheet processing completed successfully!",
        "Processed 2 student answers", "Attempt rate: 100.0%"]
    assert [(q, paper.get_question(q).text, paper.get_question(q).max_marks) for q in paper.get_question_ids()] == [
        (q, t, float(m)) for q, t, m in QUESTIONS]
    for q_id, _, marks in QUESTIONS:
        question = paper.get_question(q_id)
        assert question.rubric is rubrics[q_id] and question.rubric.total_marks() == marks
        assert question.reference_answer == references[q_id]
    for page, (q_id, _, marks) in enumerate(QUESTIONS, 1):
        answer = sheet.get_answer(q_id)
        assert answer.pages == [page] and 0 < answer.eval_rubric.get_awarded_marks() <= marks and answer.feedback
    summary = f.get_processing_summary()
    assert list(summary) == ["question_paper_processing", "rubric_generation", "reference_answer_generation",
                             "answersheet_processing"]
    assert all(entry["status"] == "success" for entry in summary.values())
    assert summary["answersheet_processing"]["validation"]["attempt_rate"] == 100.0

    f.save_question_paper("out/paper.json", "JSON")  # any case: the pipeline reads it without case too
    f.save_answersheet(sheet, "out/sheet.txt", "txt")
    with open("out/paper.json", encoding="utf-8") as saved:
        assert [q["qid"] for q in json.load(saved)["questions"]] == ["Q1", "Q2"]
    with open("out/sheet.txt", encoding="utf-8") as saved:
        text = saved.read()
    assert ANSWERS[1][4:] in text and not text.lstrip().startswith("{")

    usage = f.get_token_usage_summary()
    assert usage["total_tokens"] == usage["total_input_tokens"] + usage["total_output_tokens"] > 0
    assert usage["log_file"] == "llm_token_usage.log"
    schemas = Counter(r["response_format"]["json_schema"]["name"] for r in standin.requests)
    assert schemas == {"QuestionPaperResponse": 1, "RubricResponse": 2, "ReferenceAnswerResponse": 2,
                       "AnswersheetResponse": 1, "EvaluationResponse": 2}


def transcribe(pages):
    """The vision model's answer: the text written on the page it is shown."""
    def answer(body):
        prompt = body["messages"][-1]["content"][0]["text"]
        return {"text": pages[int(re.search(r"page (\d+)", prompt).group(1)) - 1]}
    return answer


@pytest.mark.parametrize("with_sheet", [True, False])
def test_example_json_workflow(clean_env, standin, capsys, with_sheet):
    if with_sheet:
        pages = ["Q1. 2x + 5 = 15, 2x = 10, so x = 5", "Q2. Area = pi r^2 = 25 pi = 78.54 cm2"]
        write_text_pdf("student_answer.pdf", pages)
        # The paper's subject, Mathematics, selects the vision backend: the stand-in reads the page back.
        standin.set_answer("PageTranscription", transcribe(pages))
    assert quorvan.example_json_workflow() is None
    lines = facade_lines(capsys.readouterr().out)
    assert lines[:9] == ["Configuring Quorvan...", "Initializing LLM handler...", "LLM handler initialized",
                         "Initializing aws extractor client...", "Extractor client initialized",
                         "Initializing question paper handler...", "Initializing answersheet handler...",
                         "All handlers initialized", "Quorvan configured successfully!"]
    if with_sheet:
        assert lines[-4:] == ["Answersheet processing completed successfully!", "Processed 2 student answers",
                              "Attempt rate: 100.0%", "JSON workflow completed successfully!"]
        schemas = Counter(r["response_format"]["json_schema"]["name"] for r in standin.requests)
        assert schemas == {"PageTranscription": 2, "AnswersheetResponse": 1, "EvaluationResponse": 2}
    else:
        assert lines[-1] == ("Error in JSON workflow: Failed to process answersheet: "
                             "PDF file not found: student_answer.pdf")
        assert standin.requests == []
