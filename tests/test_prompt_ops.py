"""Prompt operations, blocking and as coroutines: what is sent, how answers are read, how failures look."""

import asyncio
from unittest import mock

import pytest

import quorvan_core.llm_service as llm
from quorvan_core.datastructures.answersheet import Answersheet
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from tests.support import expected_prompts as P
from tests.support.fake_openai import FakeClient, response


def make_rubric(*marks, fulfilled=()):
    rubric = Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])
    for i in fulfilled:
        rubric.criteria[i].set_fulfill(True)
    return rubric


def make_paper(*questions, subject="Science", language="English", class_level="Grade 8"):
    paper = QuestionPaper(subject=subject, language=language, class_level=class_level)
    for q_id, text, marks in questions:
        paper.add_question(Question(q_id=q_id, text=text, max_marks=marks))
    return paper


PAPER_QUESTIONS = [("Q1", "Define photosynthesis.", 2.0), ("Q2", "Explain osmosis with an example.", 4.0)]


class Calls:
    """Replaces the service's two call methods, recording their keyword arguments."""

    def __init__(self, service, parsed):
        self.sync = []
        self.async_ = []
        self.parsed = parsed

        def sync_call(**kwargs):
            self.sync.append(kwargs)
            return response(parsed=self.parsed)

        async def async_call(**kwargs):
            self.async_.append(kwargs)
            return response(parsed=self.parsed)

        service._make_api_call = sync_call
        service._make_api_call_async = async_call

    def only(self):
        calls = self.sync + self.async_
        assert len(calls) == 1
        return calls[0]


@pytest.fixture
def service(api_key):
    return llm.LLMService()


def run(service, name, is_async, *args, **kwargs):
    if is_async:
        return asyncio.run(getattr(service, name + "_async")(*args, **kwargs))
    return getattr(service, name)(*args, **kwargs)


both = pytest.mark.parametrize("is_async", [False, True], ids=["blocking", "coroutine"])


def system_user(call):
    return [(m["role"], m["content"]) for m in call["messages"]]


# --------------------------------------------------------------- exact prompts


@both
def test_rubric_prompt(service, is_async):
    calls = Calls(service, llm.RubricResponse(criteria=[{"statement": "States the law", "mark": 4}]))
    rubric = run(service, "generateRubric", is_async, "State Newton's first law.", 4, "Grade 9", "Physics")
    call = calls.only()
    assert system_user(call) == [
        ("system", P.RUBRIC_SYSTEM),
        ("user", P.fill(P.RUBRIC_PROMPT, question="State Newton's first law.", reference_answer="Not provided",
                        class_level="Grade 9", subject="Physics", max_marks="4.0")),
    ]
    assert call["task_name"] == "generate_rubric" and call["response_format"] is llm.RubricResponse
    assert call["additional_info"] == "Question marks: 4.0, Subject: Physics"
    assert isinstance(rubric, Rubric) and [(c.statement, c.mark) for c in rubric.criteria] == [("States the law", 4.0)]
    assert type(rubric.criteria[0].mark) is float


def test_rubric_prompt_uses_the_reference_answer_when_given(service):
    calls = Calls(service, llm.RubricResponse(criteria=[]))
    service.generateRubric("Q?", 2.5, "7", "Maths", reference_answer="It is 4.")
    assert "        Reference Answer: It is 4.\n" in calls.only()["messages"][1]["content"]
    assert "Maximum Marks: 2.5\n" in calls.only()["messages"][1]["content"]


@both
def test_reference_answer_prompt(service, is_async):
    calls = Calls(service, llm.ReferenceAnswerResponse(reference_answer="Plants make food from light."))
    rubric = make_rubric(2.0, 1.5)
    answer = run(service, "generateRefAnswer", is_async, "Define photosynthesis.", rubric, "Grade 8", "Biology")
    call = calls.only()
    assert system_user(call) == [
        ("system", P.fill(P.REFERENCE_ANSWER_SYSTEM, subject="Biology")),
        ("user", P.fill(P.REFERENCE_ANSWER_PROMPT, question="Define photosynthesis.", class_level="Grade 8",
                        subject="Biology", rubric_text="- Point 0 (2.0 marks)\n- Point 1 (1.5 marks)")),
    ]
    assert (call["task_name"], call["response_format"]) == ("generate_reference_answer", llm.ReferenceAnswerResponse)
    assert call["additional_info"] == "Question type: Biology, Class: Grade 8"
    assert answer == "Plants make food from light."


@both
def test_evaluation_prompt(service, is_async):
    calls = Calls(service, llm.EvaluationResponse(fulfilled_criteria=[0], awarded_marks=2, feedback="Good."))
    run(service, "evaluateAnswer", is_async, "Plants use light.", "Define photosynthesis.", make_rubric(2.0, 1.0),
        "Photosynthesis makes glucose.")
    call = calls.only()
    assert system_user(call) == [
        ("system", P.EVALUATION_SYSTEM),
        ("user", P.fill(P.EVALUATION_PROMPT, question="Define photosynthesis.",
                        reference_answer="Photosynthesis makes glucose.", student_answer="Plants use light.",
                        rubric_text="0: Point 0 (2.0 marks)\n1: Point 1 (1.0 marks)")),
    ]
    assert (call["task_name"], call["response_format"]) == ("evaluate_answer", llm.EvaluationResponse)
    assert call["additional_info"] == "Max marks: 3.0"


@both
def test_question_paper_prompt_orders_pages(service, is_async):
    calls = Calls(service, llm.QuestionPaperResponse(questions=[]))
    run(service, "parseQuestionPaper", is_async, {3: "c", 1: "a", 2: "b"}, "Chemistry", "Hindi", "Class 10")
    call = calls.only()
    pages = "".join(P.fill(P.PAGE_BLOCK, page_num=n, text=t) for n, t in [(1, "a"), (2, "b"), (3, "c")])
    assert pages == "\n--- Page 1 ---\na\n\n--- Page 2 ---\nb\n\n--- Page 3 ---\nc\n"
    assert system_user(call) == [
        ("system", P.fill(P.QUESTION_PAPER_SYSTEM, subject="Chemistry")),
        ("user", P.fill(P.QUESTION_PAPER_PROMPT, subject="Chemistry", language="Hindi", combined_text=pages)),
    ]
    assert (call["task_name"], call["response_format"]) == ("parse_question_paper", llm.QuestionPaperResponse)
    assert call["additional_info"] == "Subject: Chemistry, Language: Hindi, Class: Class 10, Pages: 3"


def test_reference_keys_prompt_sends_only_the_user_message(service):
    calls = Calls(service, llm.ReferenceAnswerKeysResponse(reference_answers=[]))
    paper = make_paper(*PAPER_QUESTIONS)
    service.parseReferenceAnswers({1: "1. Light to sugar."}, paper)
    call = calls.only()
    questions = "- Q1: Define photosynthesis.\n\n- Q2: Explain osmosis with an example.\n"
    assert system_user(call) == [
        ("user", P.fill(P.REFERENCE_KEYS_PROMPT, questions_list=questions,
                        combined_text="\n--- Page 1 ---\n1. Light to sugar.\n")),
    ]
    assert call == {"task_name": "extract_reference_answer", "messages": call["messages"],
                    "response_format": llm.ReferenceAnswerKeysResponse}


@both
def test_answersheet_prompt(service, is_async):
    calls = Calls(service, llm.AnswersheetResponse(answers=[]))
    paper = make_paper(*PAPER_QUESTIONS)
    run(service, "parseAnswersheet", is_async, {2: "Q2 water moves", 1: "Q1 light"}, paper)
    call = calls.only()
    assert system_user(call) == [
        ("system", P.ANSWERSHEET_SYSTEM),
        ("user", P.fill(P.ANSWERSHEET_PROMPT,
                        questions_list="- Q1: Define photosynthesis.\n\n- Q2: Explain osmosis with an example.\n",
                        combined_text="\n--- Page 1 ---\nQ1 light\n\n--- Page 2 ---\nQ2 water moves\n")),
    ]
    assert (call["task_name"], call["response_format"]) == ("parse_answersheet", llm.AnswersheetResponse)
    assert call["additional_info"] == "Questions available: 2, Pages: 2"


# ----------------------------------------------------------------- conversions


@both
def test_evaluation_marks_a_copy_from_the_model_indices(service, is_async):
    calls = Calls(service, llm.EvaluationResponse(fulfilled_criteria=[2, 0], awarded_marks=99, feedback="Fb."))
    rubric = make_rubric(2.0, 1.0, 2.0, fulfilled=[1])
    result = run(service, "evaluateAnswer", is_async, "a", "q", rubric, "r")
    marked = result["rubric"]
    assert [c.is_fulfilled for c in marked.criteria] == [True, False, True]
    assert [c.is_fulfilled for c in rubric.criteria] == [False, True, False]  # the caller's rubric is untouched
    assert marked is not rubric and marked.criteria[0] is not rubric.criteria[0]
    assert result["awarded_marks"] == 4.0 and result["feedback"] == "Fb."
    if is_async:
        assert list(result) == ["rubric", "awarded_marks", "feedback", "total_marks", "fulfilled_criteria_indices"]
        assert result["total_marks"] == 5.0
        assert result["fulfilled_criteria_indices"] is calls.parsed.fulfilled_criteria
    else:
        assert list(result) == ["rubric", "awarded_marks", "feedback"]


@both
def test_evaluation_with_nothing_fulfilled_awards_integer_zero(service, is_async):
    Calls(service, llm.EvaluationResponse(fulfilled_criteria=[], awarded_marks=0, feedback=""))
    result = run(service, "evaluateAnswer", is_async, "a", "q", make_rubric(1.0, fulfilled=[0]), "r")
    assert result["awarded_marks"] == 0 and type(result["awarded_marks"]) is int
    assert result["rubric"].criteria[0].is_fulfilled is False


@both
def test_evaluation_of_an_empty_rubric(service, is_async):
    calls = Calls(service, llm.EvaluationResponse(fulfilled_criteria=[], awarded_marks=0, feedback="f"))
    result = run(service, "evaluateAnswer", is_async, "a", "q", Rubric([]), "")
    assert calls.only()["additional_info"] == "Max marks: 0"
    assert result["awarded_marks"] == 0
    assert "### Reference Answer\n        \n" in calls.only()["messages"][1]["content"]


@both
def test_question_paper_conversion(service, is_async):
    Calls(service, llm.QuestionPaperResponse(questions=[
        {"q_id": "Q1", "question_text": "Define force.", "max_marks": 2},
        {"q_id": "2(i)", "question_text": "State Ohm's law.", "max_marks": 0},
    ]))
    paper = run(service, "parseQuestionPaper", is_async, {1: "x"}, "Physics", "English", "Grade 9")
    assert isinstance(paper, QuestionPaper)
    assert (paper.subject, paper.language, paper.class_level) == ("Physics", "English", "Grade 9")
    assert paper.get_question_ids() == ["Q1", "2(i)"]
    assert [(q.text, q.max_marks) for q in paper.get_all_questions().values()] == [
        ("Define force.", 2.0), ("State Ohm's law.", 0.0)]


@both
def test_answersheet_keeps_only_answers_to_questions_of_the_paper(service, is_async):
    Calls(service, llm.AnswersheetResponse(answers=[
        {"q_id": "Q2", "answer_text": "Water moves.", "page_numbers": [1, 2]},
        {"q_id": "Unknown", "answer_text": "stray", "page_numbers": [2]},
        {"q_id": "Q9", "answer_text": "nope", "page_numbers": [3]},
        {"q_id": "Q1", "answer_text": "Light.", "page_numbers": [1]},
    ]))
    paper = make_paper(*PAPER_QUESTIONS, subject="Biology", language="English", class_level="8")
    sheet = run(service, "parseAnswersheet", is_async, {1: "p1", 2: "p2"}, paper)
    assert isinstance(sheet, Answersheet)
    assert (sheet.subject, sheet.language, sheet.class_level) == ("Biology", "English", "8")
    assert sheet.get_question_ids() == ["Q2", "Q1"]
    assert (sheet.get_answer("Q2").text, sheet.get_answer("Q2").pages) == ("Water moves.", [1, 2])


def test_reference_answers_are_stored_on_the_paper(service):
    Calls(service, llm.ReferenceAnswerKeysResponse(reference_answers=[
        {"q_id": "Q2", "reference_answer": "first"},
        {"q_id": "Q7", "reference_answer": "not on the paper"},
        {"q_id": "Q2", "reference_answer": "second"},
    ]))
    paper = make_paper(*PAPER_QUESTIONS)
    assert service.parseReferenceAnswers({1: "key"}, paper) == {"Q2": "second"}
    assert paper.get_question("Q2").reference_answer == "second"
    assert paper.get_question("Q1").reference_answer is None


def test_reference_answer_failure_is_printed_not_raised(service, capsys):
    service.client = FakeClient(ConnectionError("service down"))
    paper = make_paper(*PAPER_QUESTIONS)
    assert service.parseReferenceAnswers({1: "key"}, paper) == {}
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "[LLMService]: Failed to extract reference answer for Q2: service down"
    assert out[0].startswith("-> extract_reference_answer_FAILED: ")


def test_reference_answer_failure_while_storing_names_that_answer(service, capsys):
    Calls(service, llm.ReferenceAnswerKeysResponse(reference_answers=[
        {"q_id": "Q1", "reference_answer": "kept"}, {"q_id": "Q2", "reference_answer": "breaks"}]))
    paper = make_paper(*PAPER_QUESTIONS)
    paper.add_reference_answer = mock.Mock(side_effect=[None, ValueError("read-only")])
    assert service.parseReferenceAnswers({1: "key"}, paper) == {"Q1": "kept"}
    assert capsys.readouterr().out == "[LLMService]: Failed to extract reference answer for Q2: read-only\n"


# -------------------------------------------------------------------- failures

OPERATIONS = [
    ("generateRubric", ("q", 5, "c", "s"), "Failed to generate rubric: ", "generate_rubric"),
    ("generateRefAnswer", ("q", make_rubric(1.0), "c", "s"), "Failed to generate reference answer: ",
     "generate_reference_answer"),
    ("evaluateAnswer", ("a", "q", make_rubric(1.0), "r"), "Failed to evaluate answer: ", "evaluate_answer"),
    ("parseQuestionPaper", ({1: "t"}, "s", "l", "c"), "Failed to parse question paper: ", "parse_question_paper"),
    ("parseAnswersheet", ({1: "t"}, make_paper(*PAPER_QUESTIONS)), "Failed to parse answersheet: ",
     "parse_answersheet"),
]
ASYNC_PREFIX = {"generateRefAnswer": "Failed to generate reference answer (async): "}


@both
@pytest.mark.parametrize("name, args, prefix, task", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_model_failure_is_wrapped_and_accounted(service, capsys, is_async, name, args, prefix, task):
    cause = ConnectionError("connection refused")
    service.client = FakeClient(cause)
    service.async_client = FakeClient(cause, is_async=True)
    with pytest.raises(RuntimeError) as raised:
        run(service, name, is_async, *args)
    expected_prefix = ASYNC_PREFIX.get(name, prefix) if is_async else prefix
    assert str(raised.value) == expected_prefix + "connection refused"
    assert raised.value.__context__ is cause and raised.value.__cause__ is None
    assert capsys.readouterr().out.startswith(f"-> {task}_FAILED: ")
    assert service._request_semaphore._value == 5


@both
def test_conversion_failure_is_wrapped(service, is_async):
    Calls(service, None)  # a refusal: the client hands back no parsed answer
    with pytest.raises(RuntimeError, match=r"^Failed to generate rubric: 'NoneType' object has no attribute 'criteria'$"):
        run(service, "generateRubric", is_async, "q", 5, "c", "s")


@both
@pytest.mark.parametrize("name, args, error", [
    ("generateRefAnswer", ("q", object(), "c", "s"), AttributeError),  # a rubric without criteria
    ("parseQuestionPaper", ({1: "a", "x": "b"}, "s", "l", "c"), TypeError),  # page keys that do not sort
    ("parseAnswersheet", ({1: "a"}, mock.Mock(get_question_ids=mock.Mock(side_effect=LookupError("ids")))),
     LookupError),
])
def test_errors_while_building_the_prompt_are_not_wrapped(service, is_async, name, args, error):
    calls = Calls(service, None)
    with pytest.raises(error):
        run(service, name, is_async, *args)
    assert calls.sync == calls.async_ == []


@pytest.mark.parametrize("name, args, message", [
    ("generateRubric", ("q", "5", "c", "s"), "Argument 'max_marks' has incorrect type (expected float, got str)"),
    ("generateRubric", ("q", 5, "c", "s", None), "Argument 'reference_answer' has incorrect type (expected str, got NoneType)"),
    ("generateRefAnswer", ("q", None, 7, "s"), "Argument 'class_level' has incorrect type (expected str, got int)"),
    ("evaluateAnswer", (None, "q", None, "r"), "Argument 'student_answer' has incorrect type (expected str, got NoneType)"),
    ("parseQuestionPaper", ([], "s", "l", "c"), "Argument 'extracted_texts' has incorrect type (expected dict, got list)"),
    ("parseAnswersheet", (None, None), "Argument 'extracted_texts' has incorrect type (expected dict, got NoneType)"),
])
@pytest.mark.parametrize("suffix", ["", "_async"])
def test_argument_checks_happen_at_the_call(service, name, args, message, suffix):
    calls = Calls(service, None)
    with pytest.raises(TypeError) as raised:
        getattr(service, name + suffix)(*args)  # no await: the coroutine is never even made
    assert str(raised.value) == message
    assert calls.sync == calls.async_ == []


def test_parse_reference_answers_checks_its_argument(service):
    with pytest.raises(TypeError, match="'extracted_texts'"):
        service.parseReferenceAnswers("text", make_paper())


def test_keyword_arguments_by_documented_names(service):
    calls = Calls(service, llm.RubricResponse(criteria=[]))
    service.generateRubric(question="q", max_marks=True, class_level="c", subject="s", reference_answer="r")
    assert calls.only()["additional_info"] == "Question marks: 1.0, Subject: s"
