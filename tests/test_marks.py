"""One mark wherever it is read: the evaluation, the rubric and the sheet's reports agree on it."""

import asyncio
from unittest import mock

import pytest

import quorvan_core.answersheet_service as asm
import quorvan_core.llm_service as llm
from quorvan_core.datastructures.answersheet import Answer, Answersheet
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from tests.support.fake_openai import response


@pytest.fixture
def service(api_key):
    return llm.LLMService()


def answer_with(service, is_async, rubric, fulfilled, model_total):
    parsed = llm.EvaluationResponse(fulfilled_criteria=fulfilled, awarded_marks=model_total, feedback="ok")

    def sync_call(**kwargs):
        return response(parsed=parsed)

    async def async_call(**kwargs):
        return response(parsed=parsed)

    service._make_api_call = sync_call
    service._make_api_call_async = async_call
    if is_async:
        return asyncio.run(service.evaluateAnswer_async("a", "q", rubric, "r"))
    return service.evaluateAnswer("a", "q", rubric, "r")


def rubric_of(*marks):
    rubric = Rubric([Criterion(f"Point {i}", 1.0) for i in range(len(marks))])
    for criterion, mark in zip(rubric.criteria, marks):
        criterion.mark = mark  # a mark set after construction is kept as given
    return rubric


def sheet_reports(rubric):
    paper = QuestionPaper(subject="Science", language="English", class_level="Grade 8")
    paper.add_question(Question(q_id="Q1", text="q", max_marks=10.0))
    sheet = Answersheet(subject="Science", language="English", class_level="Grade 8")
    answer = Answer("Q1", "a", [1])
    answer.set_eval_rubric(rubric)
    sheet.add_answer("Q1", answer)
    pipeline = asm.AnswersheetService(mock.Mock(), mock.Mock())
    record = pipeline.get_answersheet_format(sheet, paper)[0]
    summary = pipeline.get_summary(sheet, paper)
    return record["obtained_marks"], summary["obtained_marks"], summary["attempted_details"]["Q1"]["obtained_marks"]


@pytest.mark.parametrize("is_async", [False, True], ids=["blocking", "coroutine"])
@pytest.mark.parametrize("marks, fulfilled, number", [
    ((2, 1, 3), [0, 2], int),        # all-int marks add up to an int
    ((2, 1.5, 3), [0, 1], float),    # one float mark makes the sum a float
    ((2, 1, 0.5), [0, 1], float),    # an unmet float mark: an int awarded, a float total
])
def test_the_mark_follows_the_criteria_marks_and_not_the_model_total(service, is_async, marks, fulfilled, number):
    result = answer_with(service, is_async, rubric_of(*marks), fulfilled, model_total=99)
    expected = sum(marks[i] for i in fulfilled)
    awarded = result["awarded_marks"]
    assert awarded == expected and type(awarded) is type(expected)  # as sum() gives it
    if is_async:
        assert result["total_marks"] == sum(marks) and type(result["total_marks"]) is number
    marked = result["rubric"]
    # The rubric documents floats; the reports show the rubric's marks.
    assert marked.get_awarded_marks() == expected and type(marked.get_awarded_marks()) is float
    assert marked.total_marks() == sum(marks) and type(marked.total_marks()) is float
    assert all(value == expected and type(value) is float for value in sheet_reports(marked))


def test_a_mark_that_is_no_number_fails_as_sum_would():
    rubric = rubric_of(1, 2)
    rubric.criteria[1].mark = "two"
    rubric.criteria[1].set_fulfill(True)
    with pytest.raises(TypeError, match="unsupported operand"):
        rubric.get_awarded_marks()
