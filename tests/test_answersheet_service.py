"""AnswersheetService with the model service and the extractor replaced: intake, marking and reports."""

import asyncio
import json
import os
from unittest import mock

import pytest

import quorvan_core.answersheet_service as asm
from quorvan_core.datastructures.answersheet import Answer, Answersheet
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric

P, RULE, MISSING = "[AnswersheetService]: ", "=" * 60, "Answersheet and question paper cannot be None"


def out(*lines):
    """Expected stdout; a line given as a 1-tuple is printed without the class prefix."""
    return "".join((line[0] if isinstance(line, tuple) else P + line) + "\n" for line in lines)


def rubric(*marks, fulfilled=()):
    made = Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])
    for i in fulfilled:
        made.criteria[i].set_fulfill(True)
    return made


def make_paper(*questions, subject="Biology", class_level="Grade 8"):
    paper = QuestionPaper(subject=subject, language="English", class_level=class_level)
    for q_id, text, max_marks, marking, reference in questions:
        question = Question(q_id=q_id, text=text, max_marks=max_marks)
        question.rubric, question.reference_answer = marking, reference
        paper.add_question(question)
    return paper


def make_sheet(*answers):
    sheet = Answersheet(subject="Biology", language="English", class_level="Grade 8")
    for q_id, text, pages in answers:
        sheet.add_answer(q_id, Answer(q_id=q_id, text=text, pages=pages))
    return sheet


def paper3():
    return make_paper(("Q1", "Define photosynthesis.", 10.0, rubric(5.0, 5.0), "Plants make sugar from light."),
                      ("Q2", "Explain osmosis.", 5.0, rubric(2.5, 2.5), "Water crosses a membrane."),
                      ("Q3", "Name two gases in air.", 2.0, None, None))


def sheet3():
    return make_sheet(("Q1", "Leaves turn light into sugar.", [1]), ("Q2", "Water moves.", [1, 2]),
                      ("Q3", "N2, O2", [2]))


@pytest.fixture
def llm():
    return mock.Mock(spec_set=["parseAnswersheet", "parseAnswersheet_async", "evaluate_answers_batch_sync",
                               "evaluate_answers_batch_async", "evaluateAnswer", "evaluateAnswer_async"])


@pytest.fixture
def service(llm):
    return asm.AnswersheetService(mock.Mock(), llm)


def run(result):
    return asyncio.run(result) if asyncio.iscoroutine(result) else result


def test_construction_keeps_the_given_objects():
    extractor, llm = object(), object()
    for made in (asm.AnswersheetService(extractor_client=extractor, llm_service=llm),
                 type("Sub", (asm.AnswersheetService,), {})(extractor, llm)):
        assert list(vars(made).items()) == [("extractor_client", extractor), ("llm_service", llm),
                                            ("extracted_texts", None)]


# -------------------------------------------------------------------- intake

MODES = {  # opening, parse step, parse success, evaluation step, closing
    "blocking": ("Starting complete answersheet processing...", "Step 2/3: Parsing student answers using AI...",
                 "Successfully parsed 3 student answers", "Step 3/3: Evaluating all answers...",
                 "Complete answersheet processing finished successfully!"),
    "coroutine": ("Starting complete answersheet processing (async)...",
                  "Step 2/3: Parsing student answers using async AI processing...",
                  ("Successfully parsed 3 student answers",),
                  "Step 3/3: Evaluating all answers using concurrent async processing...",
                  "Complete async answersheet processing finished successfully!"),
}
both_modes = pytest.mark.parametrize("mode", list(MODES))


class Recording(asm.AnswersheetService):
    """Records the evaluation step, which both entry points must reach through self."""

    def evaluate_all_answers(self, answersheet, question_paper):
        self.evaluated = ("blocking", answersheet, question_paper)

    async def _evaluate_all_answers_async(self, answersheet, question_paper):
        self.evaluated = ("coroutine", answersheet, question_paper)


def process(service, mode, paper, pages=None):
    if mode == "blocking":
        return service.process_pdf("sheet.pdf", paper, pages)
    return asyncio.run(service.process_pdf_async("sheet.pdf", question_paper=paper, page_numbers=pages))


@pytest.fixture
def intake(llm, tmp_path):
    (tmp_path / "sheet.pdf").write_bytes(b"%PDF-1.4\n")
    llm.parseAnswersheet.return_value = parsed = sheet3()
    llm.parseAnswersheet_async = mock.AsyncMock(return_value=parsed)
    service = Recording(mock.Mock(), llm)
    service.extractor_client.process_pdf.return_value = {1: "one", 2: "two", 3: "three", 4: "four"}
    with mock.patch("quorvan_core.answersheet_service.ExtractorClient") as extractor_class:
        yield service, extractor_class


@both_modes
@pytest.mark.parametrize("pages, pages_line", [(None, "Processing all pages"), ([], "Processing all pages"),
                                               ([1, 2], "Processing pages: [1, 2]")])
def test_intake_steps_and_lines(mode, pages, pages_line, intake, llm, capsys):
    service, extractor_class = intake
    paper = paper3()
    paper.subject = "Chemistry"  # the parsed sheet says Biology: the paper's subject decides
    steps = mock.Mock()
    steps.attach_mock(extractor_class.get_recommended_extractor_for_subject, "recommend")
    steps.attach_mock(service.extractor_client.change_extractor, "change")
    steps.attach_mock(service.extractor_client.process_pdf, "extract")
    parsed = llm.parseAnswersheet.return_value
    assert process(service, mode, paper, pages) is parsed
    recommended = extractor_class.get_recommended_extractor_for_subject.return_value
    assert steps.mock_calls == [mock.call.recommend("Chemistry"), mock.call.change(recommended),
                                mock.call.extract("sheet.pdf", pages)]
    assert service.extractor_client.process_pdf.call_args.args[1] is pages
    texts = service.extractor_client.process_pdf.return_value
    assert service.extracted_texts is texts and service.evaluated == (mode, parsed, paper)
    (llm.parseAnswersheet if mode == "blocking" else llm.parseAnswersheet_async).assert_called_once_with(texts, paper)
    start, parse, parsed_line, evaluate, done = MODES[mode]
    assert capsys.readouterr().out == out(
        start, "Processing PDF: sheet.pdf", "Questions: 3", "Step 1/3: Extracting text from PDF...", pages_line,
        "Successfully extracted text from 4 pages", parse, parsed_line, evaluate, done)


class Halt(BaseException):
    """Not an ordinary error: no guard may catch it."""


def failing(where, names, cause):
    """Makes the named methods of where(service, extractor_class) raise cause."""
    def breaks(service, cls):
        for name in names:
            mocked = (mock.AsyncMock if name.endswith("async") else mock.Mock)(side_effect=cause)
            setattr(where(service, cls), name, mocked)
        return cause
    return breaks


def extractor_class(service, cls):
    return cls


def extractor(service, cls):
    return service.extractor_client


def model(service, cls):
    return service.llm_service


EXTRACTING, PARSING = "Failed to extract text from PDF: ", "Failed to parse answers: "
PARSE = ["parseAnswersheet", "parseAnswersheet_async"]
EVALUATE = ["evaluate_all_answers", "_evaluate_all_answers_async"]
INTAKE_FAILURES = {  # how the run breaks, the error, the last line printed, whether extracted_texts was replaced
    "no file": (lambda s, cls: os.remove("sheet.pdf"), FileNotFoundError, "PDF file not found: sheet.pdf", None,
                False),
    "no recommendation": (failing(extractor_class, ["get_recommended_extractor_for_subject"], LookupError("no such")),
                          RuntimeError, EXTRACTING + "no such", "pages", False),
    "switch refused": (failing(extractor, ["change_extractor"], ValueError("needs a key")), RuntimeError,
                       EXTRACTING + "needs a key", "pages", False),
    "unreadable": (failing(extractor, ["process_pdf"], OSError("cannot read page 3")), RuntimeError,
                   EXTRACTING + "cannot read page 3", "pages", False),
    "pages not counted": (lambda s, cls: setattr(s.extractor_client.process_pdf, "return_value", 7), RuntimeError,
                          EXTRACTING + "object of type 'int' has no len()", "pages", True),
    "parse fails": (failing(model, PARSE, ValueError("model said no")), RuntimeError, PARSING + "model said no",
                    "parse", True),
    "parse halted": (failing(model, PARSE, Halt("stop")), Halt, "stop", "parse", True),
    "evaluation fails": (failing(lambda s, cls: s, EVALUATE, ConnectionError("model down")), ConnectionError,
                         "model down", "evaluate", True),
}


@both_modes
@pytest.mark.parametrize("breaks, error, message, last, replaced", INTAKE_FAILURES.values(), ids=INTAKE_FAILURES)
def test_intake_failure(mode, breaks, error, message, last, replaced, intake, capsys):
    service, cls = intake
    service.extracted_texts = before = {9: "old"}
    cause = breaks(service, cls)
    with pytest.raises(error) as raised:
        process(service, mode, paper3())
    assert str(raised.value) == message
    if error is RuntimeError:  # wrapped: the cause is the context, never the explicit cause
        assert str(raised.value.__context__) == message.split(": ", 1)[1] and raised.value.__cause__ is None
    elif cause is not None:
        assert raised.value is cause
    assert service.extracted_texts is (service.extractor_client.process_pdf.return_value if replaced else before)
    printed = capsys.readouterr().out
    if last is None:
        assert printed == ""
    else:
        line = {"pages": "Processing all pages", "parse": MODES[mode][1], "evaluate": MODES[mode][3]}[last]
        assert printed.endswith(P + line + "\n")


ARGUMENT_ERRORS = [  # call (records passed as None: the type check must come first), argument, got, expected
    (lambda s: s.process_pdf(None, None), "pdf_path", "NoneType", "str"),
    (lambda s: s.process_pdf(type("Path", (str,), {})("x.pdf"), None), "pdf_path", "Path", "str"),
    (lambda s: s.process_pdf("x.pdf", None, (1, 2)), "page_numbers", "tuple", "list"),
    (lambda s: s.process_pdf_async(b"x.pdf", None), "pdf_path", "bytes", "str"),
    (lambda s: s.process_pdf_async("x.pdf", None, page_numbers=1), "page_numbers", "int", "list"),
    (lambda s: s.evaluate_answer_by_qid(1, None, None), "q_id", "int", "str"),
    (lambda s: s.evaluate_answer_by_qid_async(None, None, None), "q_id", "NoneType", "str"),
    (lambda s: s._evaluate_single_answer_sync(1.0, None, None), "q_id", "float", "str"),
    (lambda s: s._evaluate_single_answer(None, None, None), "q_id", "NoneType", "str"),
    (lambda s: s._evaluate_single_answer_async(["Q1"], None, None), "q_id", "list", "str"),
    (lambda s: s.save_to_file(None, None, None), "output_path", "NoneType", "str"),
    (lambda s: s.save_to_file(None, None, "out/r.json", format=None), "format", "NoneType", "str"),
]


@pytest.mark.parametrize("call, arg, got, expected", ARGUMENT_ERRORS)
def test_argument_types_are_checked_on_call(call, arg, got, expected, service, capsys, tmp_path):
    with pytest.raises(TypeError) as error:
        call(service)
    assert str(error.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert capsys.readouterr().out == "" and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call", [
    lambda s, a, q: s.evaluate_all_answers(a, q), lambda s, a, q: s.evaluate_all_answers_async(a, question_paper=q),
    lambda s, a, q: s.evaluate_answer_by_qid("Q1", a, q), lambda s, a, q: s.evaluate_answer_by_qid_async("Q1", a, q),
    lambda s, a, q: s.get_answersheet_format(a, q), lambda s, a, q: s.save_to_file(a, q, "out/r.json")])
@pytest.mark.parametrize("sheet, paper", [(None, paper3()), (sheet3(), None)])
def test_missing_records_raise_before_anything(call, sheet, paper, service, llm, capsys, tmp_path):
    with pytest.raises(ValueError) as error:
        run(call(service, sheet, paper))
    assert str(error.value) == MISSING + "."
    assert capsys.readouterr().out == "" and list(tmp_path.iterdir()) == [] and llm.mock_calls == []


def test_reports_of_missing_records(service, capsys):
    assert list(service.get_summary(None, paper3()).items()) == [("error", MISSING)]
    assert list(service.validate_processing(sheet3(), None).items()) == [("valid", False), ("error", MISSING)]
    service.print_summary(answersheet=None, question_paper=paper3())
    assert capsys.readouterr().out == out("Error: " + MISSING)


# ------------------------------------------------------------ all answers

ALL = {  # how each way of marking every answer is run, and whether it opens with a count line
    "evaluate_all_answers": (lambda s, a, q: s.evaluate_all_answers(a, q), True),
    "_evaluate_all_answers_sync": (lambda s, a, q: s._evaluate_all_answers_sync(a, q), False),
    "_evaluate_all_answers_async": (lambda s, a, q: asyncio.run(s._evaluate_all_answers_async(a, q)), False),
    "evaluate_all_answers_async": (lambda s, a, q: asyncio.run(s.evaluate_all_answers_async(a, q)), False),
}
all_ways = pytest.mark.parametrize("way", list(ALL))


def answer_batch(llm, way, records):
    """The batch the way must use answers with records (the other one is a Mock that fails if awaited)."""
    if way.endswith("async"):
        llm.evaluate_answers_batch_async = mock.AsyncMock(side_effect=records)
        return llm.evaluate_answers_batch_async
    llm.evaluate_answers_batch_sync.side_effect = records
    return llm.evaluate_answers_batch_sync


def selection_paper():
    return make_paper(("Q1", "Define photosynthesis.", 10.0, rubric(5.0, 5.0), "Plants make sugar."),
                      ("Q2", "Explain osmosis.", 5.0, rubric(), "Water crosses."),
                      ("Q3", "Name a gas.", 1.0, rubric(1.0), "   \n"), ("Q4", "Name a metal.", 1.0, None, None),
                      ("Q5", "Name a planet.", 2.0, rubric(2.0), "Mars."), ("Q6", "Unanswered.", 1.0, None, None))


@all_ways
def test_marking_every_answer(way, service, llm, capsys):
    paper = selection_paper()
    sheet = make_sheet(("Q4", "Iron", [1]), ("Q1", "Light makes sugar.", [1]), ("Q2", "Osmosis.", [1]),
                       ("Q3", "Oxygen", [2]), ("Q5", "Mars", [2]))
    sheet.get_answer("Q2").set_feedback("kept")
    marked = rubric(5.0, 5.0, fulfilled=[0, 1])

    def records(items):
        # An answer the paper lacks arrives after the items were collected: storing it half succeeds.
        sheet.add_answer("Q9", Answer(q_id="Q9", text="late", pages=[3]))
        return [{"q_id": "Q1", "success": True, "evaluation": {"rubric": marked, "awarded_marks": 7.5,
                                                               "feedback": "Good.", "total_marks": 10.0}},
                {"q_id": 3, "success": False, "error": "timeout"}, {"success": False}, {"q_id": "Q8"},
                {"q_id": "Q5", "success": True, "evaluation": {}}, {"q_id": "Q2", "success": True}, "garbage",
                {"q_id": "Q9", "success": True, "evaluation": {"rubric": marked, "feedback": "Late."}}]

    batch = answer_batch(llm, way, records)
    call, opening = ALL[way]
    result = call(service, sheet, paper)
    items = batch.call_args.args[0]
    question = paper.get_question
    assert items == [{"q_id": q, "student_answer": sheet.get_answer(q).text, "question": question(q).text,
                      "rubric": question(q).rubric, "reference_answer": question(q).reference_answer}
                     for q in ("Q1", "Q5")]
    assert list(items[0]) == ["q_id", "student_answer", "question", "rubric", "reference_answer"]
    assert items[0]["rubric"] is paper.get_question("Q1").rubric
    assert result == {"Q1": {"rubric": marked, "awarded_marks": 7.5, "feedback": "Good."},
                      "Q5": {"rubric": None, "awarded_marks": 0, "feedback": ""}}
    assert list(result["Q1"]) == ["rubric", "awarded_marks", "feedback"]
    stored = {q: (sheet.get_answer(q).eval_rubric, sheet.get_answer(q).feedback) for q in sheet.get_question_ids()}
    assert stored == {"Q4": (None, None), "Q1": (marked, "Good."), "Q2": (None, "kept"), "Q3": (None, None),
                      "Q5": (None, ""), "Q9": (marked, "Late.")}
    assert capsys.readouterr().out == out(
        *["Evaluating all 5 student answers using concurrent processing..."][:opening],
        "  Skipping Q4 - no rubric available", "  Skipping Q2 - no rubric available",
        "  Skipping Q3 - no reference answer available", "  Processing 2 evaluations concurrently...",
        "    Q1: Awarded 7.5/10.0 marks", "    Error evaluating answer for 3: timeout",
        "    Error evaluating answer for unknown: Unknown error", "    Error evaluating answer for Q8: Unknown error",
        "    Q5: Awarded 0/2.0 marks", "    Error processing result for Q2: 'evaluation'",
        "    Error processing result for unknown: 'str' object has no attribute 'get'",
        "    Error processing result for Q9: \"Question ID 'Q9' not found in question paper\"",
        "Evaluated 2 answers successfully using concurrent processing")


@all_ways
def test_nothing_to_mark_calls_no_model(way, service, llm, capsys):
    call, opening = ALL[way]
    answer_batch(llm, way, AssertionError("no batch expected"))
    assert call(service, make_sheet(("Q4", "Iron", [1]), ("Q2", "Osmosis.", [1])), selection_paper()) == {}
    assert capsys.readouterr().out == out(
        *["Evaluating all 2 student answers using concurrent processing..."][:opening],
        "  Skipping Q4 - no rubric available", "  Skipping Q2 - no rubric available",
        "No valid questions found for evaluation")


@all_ways
def test_failures_outside_the_records_leave_the_method(way, service, llm):
    call, _ = ALL[way]
    answer_batch(llm, way, AssertionError("no batch expected"))
    sheet = sheet3()
    sheet.add_answer("Q7", Answer(q_id="Q7", text="stray", pages=[1]))
    with pytest.raises(KeyError, match="Q7"):
        call(service, sheet, paper3())
    cause = ConnectionError("batch down")
    answer_batch(llm, way, cause)
    with pytest.raises(ConnectionError) as error:
        call(service, sheet3(), paper3())
    assert error.value is cause


# ------------------------------------------------------------- one answer

SINGLE = {  # runs as a coroutine, lines before and after the marking, the "Evaluating" line
    "evaluate_answer_by_qid": (False, ["Evaluating answer for question Q1 using batch processing..."],
                               ["Evaluation completed for Q1"], "  Evaluating Q1 using batch processing..."),
    "evaluate_answer_by_qid_async": (True, [], [], "  Evaluating Q1 using batch processing..."),
    "_evaluate_single_answer_sync": (False, [], [], "  Evaluating Q1 using batch processing..."),
    "_evaluate_single_answer_async": (True, [], [], "  Evaluating Q1 using batch processing..."),
    "_evaluate_single_answer": (False, [], [], "  Evaluating Q1..."),
}


def answer_single(llm, way, evaluation):
    if SINGLE[way][0]:
        llm.evaluateAnswer_async = mock.AsyncMock(side_effect=evaluation)
        return llm.evaluateAnswer_async
    llm.evaluateAnswer.side_effect = evaluation
    return llm.evaluateAnswer


@pytest.mark.parametrize("way", list(SINGLE))
@pytest.mark.parametrize("marking, reference, evaluation, expected", [
    (rubric(4.0, 6.0), "Ref.", {"rubric": "marked", "awarded_marks": 7.5, "feedback": "Close.", "total_marks": 10.0},
     {"rubric": "marked", "awarded_marks": 7.5, "feedback": "Close."}),
    (rubric(4.0, 6.0), "Ref.", {}, {"rubric": None, "awarded_marks": 0, "feedback": ""}),
    (None, None, None, "no rubric"), (rubric(), "Ref.", None, "no rubric"),
    (rubric(1.0), "", None, "no reference answer"), (rubric(1.0), " \t", None, "no reference answer")])
def test_marking_one_answer(way, marking, reference, evaluation, expected, service, llm, capsys):
    paper = make_paper(("Q1", "Define photosynthesis.", 10.0, marking, reference), ("Q2", "Other.", 1.0, None, None))
    sheet = make_sheet(("Q1", "Light makes sugar.", [1]), ("Q2", "Other.", [1]))
    call = answer_single(llm, way, lambda **kwargs: evaluation)
    result = run(getattr(service, way)("Q1", answersheet=sheet, question_paper=paper))
    _, before, after, evaluating = SINGLE[way]
    if isinstance(expected, str):  # skipped: no model call, nothing stored
        assert list(result.items()) == [("qid", "Q1"), ("status", "skipped"), ("reason", expected)]
        assert llm.mock_calls == [] and sheet.get_answer("Q1").eval_rubric is None
        assert capsys.readouterr().out == out(*before, f"  Skipping Q1 - {expected} available", *after)
        return
    assert result == expected and list(result) == ["rubric", "awarded_marks", "feedback"]
    assert call.call_args == mock.call(student_answer="Light makes sugar.", question="Define photosynthesis.",
                                       rubric=marking, reference_answer="Ref.")
    assert call.call_args.kwargs["rubric"] is marking
    assert (sheet.get_answer("Q1").eval_rubric, sheet.get_answer("Q1").feedback) == (expected["rubric"],
                                                                                     expected["feedback"])
    assert capsys.readouterr().out == out(*before, evaluating, f"    Awarded: {expected['awarded_marks']}/10.0 marks",
                                          *after)


@pytest.mark.parametrize("way", ["evaluate_answer_by_qid", "evaluate_answer_by_qid_async"])
@pytest.mark.parametrize("q_id, where", [("Q3", "answersheet"), ("Q9", "question paper")])
def test_unknown_question_id(way, q_id, where, service, llm, capsys):
    sheet = make_sheet(("Q1", "Light.", [1]), ("Q9", "Stray.", [1]))
    with pytest.raises(ValueError) as error:
        run(getattr(service, way)(q_id, sheet, paper3()))
    assert str(error.value) == f"Question ID '{q_id}' not found in {where}"
    assert capsys.readouterr().out == "" and llm.mock_calls == []


@pytest.mark.parametrize("way, wrapped", [("evaluate_answer_by_qid", True), ("evaluate_answer_by_qid_async", False),
                                          ("_evaluate_single_answer_sync", False)])
def test_a_failed_single_marking(way, wrapped, service, llm, capsys):
    sheet = sheet3()
    sheet.get_answer("Q1").set_feedback("earlier")
    cause = RuntimeError("Failed to evaluate answer: quota")
    answer_single(llm, way, cause)
    with pytest.raises(RuntimeError) as error:
        run(getattr(service, way)("Q1", sheet, paper3()))
    if wrapped:
        assert str(error.value) == "Failed to evaluate answer for question Q1: Failed to evaluate answer: quota"
        assert error.value.__context__ is cause and error.value.__cause__ is None
    else:
        assert error.value is cause
    assert sheet.get_answer("Q1").feedback == "earlier" and "Evaluation completed" not in capsys.readouterr().out


@pytest.mark.parametrize("helper, call, wrapped", [
    ("_evaluate_all_answers_sync", lambda s: s.evaluate_all_answers(sheet3(), paper3()), False),
    ("_evaluate_all_answers_async", lambda s: asyncio.run(s.evaluate_all_answers_async(sheet3(), paper3())), False),
    ("_evaluate_single_answer_sync", lambda s: s.evaluate_answer_by_qid("Q1", sheet3(), paper3()), True),
    ("_evaluate_single_answer_async", lambda s: asyncio.run(s.evaluate_answer_by_qid_async("Q1", sheet3(), paper3())),
     False)])
def test_public_results_are_the_helpers_dicts_or_none(helper, call, wrapped, service):
    def helper_returns(value):
        setattr(service, helper, (mock.AsyncMock if helper.endswith("async") else mock.Mock)(return_value=value))

    for value in ({"Q1": "x"}, None):
        helper_returns(value)
        assert call(service) is value
    helper_returns(["Q1"])
    with pytest.raises(RuntimeError if wrapped else TypeError) as error:
        call(service)
    assert str(error.value) == "Failed to evaluate answer for question Q1: " * wrapped + "Expected dict, got list"


# ----------------------------------------------------------------- reports


def marked():
    paper = make_paper(("Q1", "Définissez la photosynthèse.", 10.0, rubric(5.0, 5.0), "Les plantes ∑."),
                       ("Q2", "Explain osmosis.", 5.0, None, None),
                       ("Q3", "Name two gases in air.", 2.0, rubric(2.0), "Nitrogen and oxygen."),
                       ("Q4", "Name a metal.", 1.0, rubric(1.0), "Iron."))
    sheet = make_sheet(("Q1", "La lumière fait du sucre.", [1, 2]), ("Q2", "Water moves.", [2]), ("Q4", "Gold", [3]))
    sheet.get_answer("Q1").set_eval_rubric(rubric(5.0, 5.0, fulfilled=[1]))
    sheet.get_answer("Q1").set_feedback("Très bien — ∑.")
    sheet.get_answer("Q4").set_eval_rubric(rubric(1.0, fulfilled=[0]))  # marked, no feedback stored
    return sheet, paper


EXPECTED_RECORDS = [
    {"qid": "Q1", "question": "Définissez la photosynthèse.", "ref_answer": "Les plantes ∑.",
     "student_answer": "La lumière fait du sucre.", "answer_pages": [1, 2],
     "rubric": rubric(5.0, 5.0, fulfilled=[1]).to_list(), "max_marks": 10.0, "obtained_marks": 5.0,
     "feedback": "Très bien — ∑."},
    {"qid": "Q2", "question": "Explain osmosis.", "ref_answer": None, "student_answer": "Water moves.",
     "answer_pages": [2], "rubric": [], "max_marks": 5.0, "obtained_marks": 0, "feedback": None},
    {"qid": "Q3", "question": "Name two gases in air.", "ref_answer": "Nitrogen and oxygen.", "student_answer": "",
     "answer_pages": [], "rubric": [], "max_marks": 2.0, "obtained_marks": 0, "feedback": ""},
    {"qid": "Q4", "question": "Name a metal.", "ref_answer": "Iron.", "student_answer": "Gold", "answer_pages": [3],
     "rubric": rubric(1.0, fulfilled=[0]).to_list(), "max_marks": 1.0, "obtained_marks": 1.0, "feedback": None},
]


@pytest.mark.parametrize("fmt", ["json", "JSON", "Json"])
@pytest.mark.parametrize("path", ["r.json", "out/deeper/r.json"])
def test_json_file(fmt, path, service, capsys, tmp_path):
    assert service.get_answersheet_format(*marked()) == EXPECTED_RECORDS
    service.save_to_file(*marked(), path, fmt)
    assert (tmp_path / path).read_bytes() == json.dumps(EXPECTED_RECORDS, indent=4, ensure_ascii=False).encode()
    assert sorted(p.name for p in tmp_path.rglob("*")) == sorted(["r.json"] + path.split("/")[:-1])
    assert capsys.readouterr().out == out("Saved processed answersheet data to: " + path)


def text_report(subject_lines, q1_lines):
    end = "-" * 40 + "\n\n"
    return "".join([
        "PROCESSED STUDENT ANSWERSHEET\n", "=" * 50 + "\n\n", *subject_lines, "Total Questions: 4\n",
        "Attempted Questions: 3\n\n",
        "Question: Q1\nMax Marks: 10.0\nQuestion Text: Définissez la photosynthèse.\n",
        "Student Answer (Pages [1, 2]): La lumière fait du sucre.\n", *q1_lines, "Status: ✅ Attempted\n", end,
        "Question: Q2\nMax Marks: 5.0\nQuestion Text: Explain osmosis.\n",
        "Student Answer (Pages [2]): Water moves.\n", "Status: ✅ Attempted\n", end,
        "Question: Q3\nMax Marks: 2.0\nQuestion Text: Name two gases in air.\n",
        "Student Answer: [Not attempted or not found]\n", "Status: ❌ Not attempted\n", end,
        "Question: Q4\nMax Marks: 1.0\nQuestion Text: Name a metal.\n", "Student Answer (Pages [3]): Gold\n",
        "Evaluation: 1.0/1.0 marks\n", "Status: ✅ Attempted\n", end])


STORED = ["Evaluation: 5.0/10.0 marks\n", "Feedback: Très bien — ∑.\n"]  # the marks the evaluation stored


@pytest.mark.parametrize("fmt", ["txt", "text", "pdf"])
@pytest.mark.parametrize("subject, class_level, subject_lines", [
    ("Biologie", "Grade 8", ["Subject: Biologie\n", "Class: Grade 8\n"]), ("", "", [])])
@pytest.mark.parametrize("evaluation_result, feedback, q1_lines", [
    (None, "Très bien — ∑.", STORED), ({}, "Très bien — ∑.", STORED),
    (None, "", ["Evaluation: 5.0/10.0 marks\n", "Feedback: \n"]),
    ({"awarded_marks": 3, "feedback": "Given."}, "ignored", ["Evaluation: 3/10.0 marks\n", "Feedback: Given.\n"]),
    ({"total_marks": 12}, "ignored", ["Evaluation: 0/12 marks\n"])])
def test_text_report(fmt, subject, class_level, subject_lines, evaluation_result, feedback, q1_lines, service,
                     capsys, tmp_path):
    sheet, paper = marked()
    paper.subject, paper.class_level = subject, class_level
    sheet.get_answer("Q1").feedback = feedback
    if evaluation_result is not None:
        sheet.get_answer("Q1").evaluation_result = evaluation_result
    service.save_to_file(sheet, paper, output_path="report.txt", format=fmt)
    assert (tmp_path / "report.txt").read_text(encoding="utf-8") == text_report(subject_lines, q1_lines)
    assert capsys.readouterr().out == out("Saved processed answersheet data to: report.txt")


@pytest.mark.parametrize("fmt, spoil, error", [("json", ("feedback", object()), TypeError),
                                               ("txt", ("eval_rubric", object()), AttributeError)])
def test_a_failed_save_keeps_the_previous_file(fmt, spoil, error, service, capsys, tmp_path):
    sheet, paper = marked()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "r").write_text("previous", encoding="utf-8")
    setattr(sheet.get_answer("Q4"), *spoil)  # the last question fails, after the others were written
    with pytest.raises(error):
        service.save_to_file(sheet, paper, "out/r", fmt)
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["r"]
    assert (tmp_path / "out" / "r").read_text(encoding="utf-8") == "previous" and capsys.readouterr().out == ""


def test_summary(service):
    summary = service.get_summary(*marked())
    details = [("Q1", [1, 2], 25, 10.0, 5.0), ("Q2", [2], 12, 5.0, 0), ("Q4", [3], 4, 1.0, 1.0)]
    assert list(summary.items()) == [
        ("total_questions", 4), ("attempted_questions", 3), ("total_marks", 18.0), ("obtained_marks", 6.0),
        ("unattempted_questions", 1),
        ("attempted_details", {q: {"pages": p, "answer_length": n, "question_marks": m, "obtained_marks": o}
                               for q, p, n, m, o in details})]
    assert [list(d) for d in summary["attempted_details"].values()] == [
        ["pages", "answer_length", "question_marks", "obtained_marks"]] * 3
    empty = service.get_summary(make_sheet(), make_paper())
    assert list(empty.values()) == [0, 0, 0, 0, 0, {}] and type(empty["total_marks"]) is int
    sheet, paper = marked()
    sheet.add_answer("Q7", Answer(q_id="Q7", text="stray", pages=[1]))
    with pytest.raises(KeyError, match="Q7"):
        service.get_summary(sheet, paper)


def questions(n):
    return [(f"Q{i}", f"Question {i}", 1.0, None, None) for i in range(1, n + 1)]


@pytest.mark.parametrize("attempted, total, rate, rate_text", [
    (3, 10, 30.0, "30.0"), (1, 3, 1 / 3 * 100, "33.3"), (5, 10, 50.0, None), (4, 4, 100.0, None), (0, 0, 0, "0.0")])
def test_attempt_rate(attempted, total, rate, rate_text, service):
    sheet = make_sheet(*[(f"Q{i}", "A full answer", [1]) for i in range(1, attempted + 1)])
    validation = service.validate_processing(sheet, make_paper(*questions(total)))
    assert list(validation.items()) == [
        ("valid", True), ("issues", []),
        ("warnings", [f"Low attempt rate: {rate_text}% (possible parsing issues)"] if rate_text else []),
        ("attempt_rate", rate), ("attempted_count", attempted), ("total_count", total)]
    assert type(validation["attempt_rate"]) is type(rate)


def test_short_answers_and_missing_pages(service):
    sheet = make_sheet(("Q1", "  abcd \n", [1]), ("Q2", "abcde", []), ("Q3", "", [2]), ("Q4", "enough", [1]))
    sheet.get_answer("Q4").pages = None
    validation = service.validate_processing(sheet, make_paper(*questions(4)))
    assert validation["valid"] is False
    assert validation["issues"] == ["Answer for Q2 has no page numbers", "Answer for Q4 has no page numbers"]
    assert validation["warnings"] == ["Answer for Q1 is very short (possible OCR issue)",
                                      "Answer for Q3 is very short (possible OCR issue)"]


class Validation(asm.AnswersheetService):
    """print_summary must take the validation from self."""

    def validate_processing(self, answersheet, question_paper):
        return {"valid": False, "issues": ["Answer for Q2 has no page numbers", "second issue"], "warnings": []}


@pytest.mark.parametrize("service_class", [asm.AnswersheetService, Validation])
def test_print_summary(service_class, llm, capsys):
    sheet, paper = marked()
    paper.get_question("Q1").text, paper.get_question("Q2").text = "x" * 61, "y" * 60
    service_class(mock.Mock(), llm).print_summary(sheet, paper)
    checks = ["Validation: Issues found", "   Answer for Q2 has no page numbers", "   second issue"] \
        if service_class is Validation else ["Validation: Passed", "Warnings:",
                                             "   Answer for Q4 is very short (possible OCR issue)"]
    assert capsys.readouterr().out == out(
        "\n" + RULE, "ANSWERSHEET PROCESSING SUMMARY", RULE, "Total Questions: 4", "Attempted Questions: 3",
        "Total Marks: 18.0", "Obtained Marks: 6.0", "Unattempted Questions: 1", *checks,
        "\nAttempted Questions Overview:", "Q1 : " + "x" * 60 + "...", "    pages: [1, 2]", "    answer_length: 25",
        "    question_marks: 10.0", "    obtained_marks: 5.0", "Q2 : " + "y" * 60, "    pages: [2]",
        "    answer_length: 12", "    question_marks: 5.0", "    obtained_marks: 0", "Q4 : Name a metal.",
        "    pages: [3]", "    answer_length: 4", "    question_marks: 1.0", "    obtained_marks: 1.0", RULE)


def test_print_summary_of_an_empty_sheet(service, capsys):
    service.print_summary(make_sheet(), make_paper(*questions(2)))
    assert capsys.readouterr().out == out(
        "\n" + RULE, "ANSWERSHEET PROCESSING SUMMARY", RULE, "Total Questions: 2", "Attempted Questions: 0",
        "Total Marks: 2.0", "Obtained Marks: 0", "Unattempted Questions: 2", "Validation: Passed", "Warnings:",
        "   Low attempt rate: 0.0% (possible parsing issues)", "\nAttempted Questions Overview:", RULE)
