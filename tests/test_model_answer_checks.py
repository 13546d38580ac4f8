"""The model's answers are checked before they count: criterion indices, refusals, answers named twice, pages."""

import asyncio

import pytest

import quorvan_core.llm_service as llm
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from tests.support.fake_openai import FakeClient, response
from tests.support.standin import REFUSAL


@pytest.fixture
def service(api_key):
    return llm.LLMService()


def run(service, name, is_async, *args):
    if is_async:
        return asyncio.run(getattr(service, name + "_async")(*args))
    return getattr(service, name)(*args)


both = pytest.mark.parametrize("is_async", [False, True], ids=["blocking", "coroutine"])


def rubric_of(*marks):
    return Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])


def evaluation(*indices, feedback="Fb."):
    return llm.EvaluationResponse(fulfilled_criteria=list(indices), awarded_marks=1, feedback=feedback)


def answering(service, *parsed):
    """Both clients answer with these parsed results in turn; returns the clients."""
    service.client = FakeClient(*(response(parsed=p) for p in parsed))
    service.async_client = FakeClient(*(response(parsed=p) for p in parsed), is_async=True)
    return service.client, service.async_client


def calls_made(clients, is_async):
    return len(clients[1 if is_async else 0].calls)


# -------------------------------------------------------- criterion indices

INVALID = [
    ((0, 3), "the model named criteria that do not exist (3)"),
    ((-1, 1), "the model named criteria that do not exist (-1)"),
    ((2, 0, 2, 2), "the model named criteria more than once (2)"),
    ((7, 1, 1, -2), "the model named criteria that do not exist (7, -2) and criteria more than once (1)"),
]


@both
@pytest.mark.parametrize("indices, problem", INVALID, ids=["out-of-range", "negative", "repeated", "all-three"])
def test_invalid_indices_fail_without_retries(service, capsys, is_async, indices, problem):
    clients = answering(service, evaluation(*indices))
    rubric = rubric_of(1.0, 2.0, 1.0)
    with pytest.raises(RuntimeError) as raised:
        run(service, "evaluateAnswer", is_async, "a", "q", rubric, "r")
    assert str(raised.value) == "Failed to evaluate answer: " + problem
    cause = raised.value.__context__
    assert isinstance(cause, llm.ModelAnswerError) and isinstance(cause, ValueError)
    assert str(cause) == problem and cause.tries == 1
    assert calls_made(clients, is_async) == 1
    assert not any(c.is_fulfilled for c in rubric.criteria)
    assert "asking again" not in capsys.readouterr().out


@both
@pytest.mark.parametrize("indices, problem", INVALID, ids=["out-of-range", "negative", "repeated", "all-three"])
def test_an_invalid_answer_is_asked_again_within_the_retry_budget(service, capsys, is_async, indices, problem):
    service.set_retry_policy(2)
    clients = answering(service, evaluation(*indices), evaluation(2, 0, feedback="Good."))
    result = run(service, "evaluateAnswer", is_async, "a", "q", rubric_of(1.0, 2.0, 1.5), "r")
    assert [c.is_fulfilled for c in result["rubric"].criteria] == [True, False, True]
    assert result["awarded_marks"] == 2.5 and result["feedback"] == "Good."
    assert calls_made(clients, is_async) == 2
    out = capsys.readouterr().out
    assert f"[LLMService]: evaluate_answer: {problem}; asking again (try 2 of 3)\n" in out
    assert out.count("-> evaluate_answer: ") == 2  # both answers were calls, both accounted


@both
def test_an_answer_invalid_every_time_fails_after_the_last_try(service, is_async):
    service.set_retry_policy(2)
    clients = answering(service, evaluation(3), evaluation(0, 0), evaluation(-1), evaluation(0))
    with pytest.raises(RuntimeError) as raised:
        run(service, "evaluateAnswer", is_async, "a", "q", rubric_of(1.0, 1.0), "r")
    assert str(raised.value) == "Failed to evaluate answer: the model named criteria that do not exist (-1)"
    assert raised.value.__context__.tries == 3
    assert calls_made(clients, is_async) == 3  # the fourth, good answer was never asked for


def test_each_try_of_the_coroutine_waits_for_a_permit_and_the_rate_window(service):
    service.set_retry_policy(1)
    _, async_client = answering(service, evaluation(5), evaluation(0))
    seen = []
    enforce = service._enforce_rate_limit

    def counting():
        seen.append(service._request_semaphore._value)  # a permit is held while the window is checked
        return enforce()

    service._enforce_rate_limit = counting
    result = asyncio.run(service.evaluateAnswer_async("a", "q", rubric_of(1.0), "r"))
    assert result["awarded_marks"] == 1.0
    assert seen == [4, 4] and len(service._rate_limit_timestamps) == 2
    assert service._request_semaphore._value == 5 and len(async_client.calls) == 2


@both
def test_well_formed_indices_in_any_order_are_accepted(service, is_async):
    clients = answering(service, evaluation(2, 0))
    result = run(service, "evaluateAnswer", is_async, "a", "q", rubric_of(1.0, 2.0, 4.0), "r")
    assert result["awarded_marks"] == 5.0 and calls_made(clients, is_async) == 1


# ------------------------------------------------------------------ refusals

LONG_REFUSAL = "I cannot help with marking this answer because " + "it contains content I will not assess. " * 5


@both
@pytest.mark.parametrize("name, args, prefix", [
    ("evaluateAnswer", ("a", "q", rubric_of(1.0), "r"), "Failed to evaluate answer: "),
    ("generateRubric", ("q", 5, "c", "s"), "Failed to generate rubric: "),
    ("parseAnswersheet", ({1: "t"}, QuestionPaper(subject="s", language="l", class_level="c")),
     "Failed to parse answersheet: "),
])
@pytest.mark.parametrize("refusal, shown", [
    ("I'm sorry, I can't help.", "I'm sorry, I can't help."),
    (LONG_REFUSAL, LONG_REFUSAL[:100] + "\u2026"),
], ids=["short", "long"])
def test_a_refusal_is_reported_as_one(service, is_async, name, args, prefix, refusal, shown):
    service.set_retry_policy(3)
    clients = (FakeClient(response(refusal=refusal)), FakeClient(response(refusal=refusal), is_async=True))
    service.client, service.async_client = clients
    with pytest.raises(RuntimeError) as raised:
        run(service, name, is_async, *args)
    assert str(raised.value) == f"{prefix}the model refused: {shown}"
    assert isinstance(raised.value.__context__, llm.ModelAnswerError)
    assert calls_made(clients, is_async) == 1  # a refusal is not asked again


@both
def test_a_refusal_through_the_real_client(standin, is_async):
    service = llm.LLMService()
    standin.inject("refusal", schema="EvaluationResponse")
    with pytest.raises(RuntimeError, match=r"^Failed to evaluate answer: the model refused: ") as raised:
        run(service, "evaluateAnswer", is_async, "a", "q", rubric_of(1.0), "r")
    assert str(raised.value).endswith(REFUSAL)


# ----------------------------------------------------- parsed answer sheets

def paper():
    p = QuestionPaper(subject="Biology", language="English", class_level="8")
    for q_id in ("Q1", "Q2", "Q3"):
        p.add_question(Question(q_id=q_id, text=f"Question {q_id}", max_marks=2.0))
    return p


def item(q_id, text, pages):
    return {"q_id": q_id, "answer_text": text, "page_numbers": pages}


PARSES = [
    pytest.param([item("Q1", "Light.", [1]), item("Q2", "Water moves.", [2]), item("Q1", "Oxygen.", [3, 1])],
                 {"Q1": ("Light.\n\nOxygen.", [1, 3]), "Q2": ("Water moves.", [2])}, [], id="named-twice"),
    pytest.param([item("Q2", "a", [3, 2]), item("Q1", "b", [1]), item("Q2", "c", [2]), item("Q2", "d", [1])],
                 {"Q2": ("a\n\nc\n\nd", [1, 2, 3]), "Q1": ("b", [1])}, [], id="named-three-times"),
    pytest.param([item("Q1", "Light.", [1]), item("Q1", "  ", [2])], {"Q1": ("Light.", [1, 2])}, [],
                 id="second-part-blank"),
    pytest.param([item("Q1", "Light.", [0, 1, 4])], {"Q1": ("Light.", [1])},
                 ["[LLMService]: Warning: the answer to Q1 names pages not on the sheet (0, 4); they are dropped"],
                 id="pages-off-the-sheet"),
    pytest.param([item("Q3", "x", [-2]), item("Q3", "y", [3, 9])], {"Q3": ("x\n\ny", [3])},
                 ["[LLMService]: Warning: the answer to Q3 names pages not on the sheet (-2); they are dropped",
                  "[LLMService]: Warning: the answer to Q3 names pages not on the sheet (9); they are dropped"],
                 id="named-twice-off-the-sheet"),
    pytest.param([item("Q9", "not on the paper", [7]), item("Unknown", "stray", [8]), item("Q2", "w", [2, 1])],
                 {"Q2": ("w", [2, 1])}, [], id="ids-the-paper-lacks-skipped"),
]


@both
@pytest.mark.parametrize("answers, expected, warnings", PARSES)
def test_parsed_answers_are_combined_and_their_pages_checked(service, capsys, is_async, answers, expected, warnings):
    answering(service, llm.AnswersheetResponse(answers=answers))
    sheet = run(service, "parseAnswersheet", is_async, {1: "p1", 2: "p2", 3: "p3"}, paper())
    assert {q: (a.text, a.pages) for q, a in sheet.answers.items()} == expected
    assert list(sheet.answers) == list(expected)  # first-named order
    printed = [line for line in capsys.readouterr().out.splitlines() if line.startswith("[LLMService]")]
    assert printed == warnings


@both
def test_a_selection_of_pages_keeps_the_pages_it_read(service, capsys, is_async):
    answering(service, llm.AnswersheetResponse(answers=[item("Q1", "t", [4, 2])]))
    sheet = run(service, "parseAnswersheet", is_async, {2: "p2", 4: "p4"}, paper())
    assert sheet.get_answer("Q1").pages == [4, 2]
    assert "[LLMService]" not in capsys.readouterr().out
