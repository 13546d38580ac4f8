"""The question paper pipeline with its collaborators replaced: intake, generation, reports and files."""

import asyncio
import json
import os
from unittest import mock

import pytest

import quorvan_core.question_paper_service as qps
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from quorvan_core.llm_service import LLMService
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient

P = "[QuestionPaperService] "
NO_PAPER = "Question paper cannot be None."


class Stop(BaseException):
    """Not an ordinary error: every guard must let it through."""


class MyStr(str):
    pass


def rubric(*marks):
    return Rubric([Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])


def paper(*questions, subject="Biology", class_level="Grade 8"):
    """questions: (q_id, text, max_marks[, rubric[, reference_answer]])"""
    qp = QuestionPaper(subject=subject, language="English", class_level=class_level)
    for q_id, text, marks, *rest in questions:
        q = Question(q_id=q_id, text=text, max_marks=marks)
        q.rubric, q.reference_answer = (rest + [None, None])[:2]
        qp.add_question(q)
    return qp


def printed(capsys, *lines):
    assert capsys.readouterr().out == "".join(line + "\n" for line in lines)


@pytest.fixture
def llm():
    return mock.Mock()


@pytest.fixture
def service(llm):
    return qps.QuestionPaperService(extractor_client=mock.Mock(), llm_service=llm)


@pytest.fixture
def pdf(tmp_path):
    (tmp_path / "paper.pdf").write_bytes(b"%PDF-1.4\n")
    return "paper.pdf"


# ------------------------------------------------------------------ construction


def test_construction_loads_dotenv_and_keeps_the_collaborators_given():
    extractor, llm = object(), object()
    with mock.patch.object(qps, "load_dotenv") as load_dotenv:
        service = qps.QuestionPaperService(extractor, llm_service=llm)
    load_dotenv.assert_called_once_with()
    assert qps.load_dotenv.__module__ == "dotenv.main"
    assert vars(service) == {"extractor_client": extractor, "llm_service": llm, "extracted_texts": None,
                             "processed_subject": None, "processed_language": None, "processed_class_level": None}


@pytest.mark.parametrize("setter, attr, cls_name", [("set_extractor_client", "extractor_client", "ExtractorClient"),
                                                    ("set_llm_service", "llm_service", "LLMService")])
def test_setters_accept_instances_of_the_module_class_only(service, setter, attr, cls_name):
    before = getattr(service, attr)
    with pytest.raises(TypeError, match=f"^{attr} must be an instance of {cls_name}$"):
        getattr(service, setter)(mock.Mock())
    assert getattr(service, attr) is before
    fake = type("Sub", (object,), {})
    with mock.patch.object(qps, cls_name, fake):  # looked up on the module at each call
        getattr(service, setter)(fake())
    assert type(getattr(service, attr)) is fake


def test_setters_accept_subclasses(service, api_key):
    extractor = type("MyExtractor", (ExtractorClient,), {})()
    llm = type("MyLLM", (LLMService,), {})()
    service.set_extractor_client(extractor)
    service.set_llm_service(llm)
    assert (service.extractor_client, service.llm_service) == (extractor, llm)


# ------------------------------------------------------------------- intake


@pytest.mark.parametrize("pages, line", [(None, "Processing all pages"), ([], "Processing all pages"),
                                         ([2, 3], "Processing pages: [2, 3]")])
def test_process_pdf(service, llm, pdf, capsys, pages, line):
    texts = {1: "Q1 ...", 2: "Q2 ...", 3: "Q3 ..."}
    service.extractor_client.process_pdf.return_value = texts
    llm.parseQuestionPaper.return_value = paper(("Q1", "a", 2), ("Q2", "b", 3.5))
    with mock.patch.object(qps, "ExtractorClient") as cls:
        result = service.process_pdf(pdf, "Biology", "English", class_level="Grade 8", page_numbers=pages)
    cls.get_recommended_extractor_for_subject.assert_called_once_with("Biology")
    assert service.extractor_client.mock_calls == [
        mock.call.change_extractor(cls.get_recommended_extractor_for_subject.return_value),
        mock.call.process_pdf(pdf, pages)]
    assert service.extractor_client.process_pdf.call_args.args[1] is pages
    llm.parseQuestionPaper.assert_called_once_with(texts, "Biology", "English", "Grade 8")
    assert result is llm.parseQuestionPaper.return_value and service.extracted_texts is texts
    assert (service.processed_subject, service.processed_language, service.processed_class_level) == (
        "Biology", "English", "Grade 8")
    printed(capsys, P + "Processing question paper PDF: paper.pdf", P + "Subject: Biology", P + "Language: English",
            P + "Class Level: Grade 8", P + "Using extractor client", P + "Step 1/2: Extracting text from PDF...",
            P + line, P + "Successfully extracted text from 3 pages", P + "Step 2/2: Parsing questions using AI...",
            P + "Successfully parsed 2 questions", P + "Total marks: 5.5")


@pytest.mark.parametrize("name, value, expected", [
    ("pdf_path", None, "str"), ("subject", MyStr("S"), "str"), ("language", b"L", "str"), ("class_level", 8, "str"),
    ("page_numbers", (2, 3), "list")])
def test_process_pdf_refuses_argument_types_before_the_file_test(service, capsys, name, value, expected):
    args = {"pdf_path": "missing.pdf", "subject": "S", "language": "L", "class_level": "C", name: value}
    with pytest.raises(TypeError) as err:
        service.process_pdf(**args)
    assert str(err.value) == (f"Argument '{name}' has incorrect type (expected {expected}, "
                              f"got {type(value).__name__})")
    printed(capsys)


@pytest.mark.parametrize("path", ["missing.pdf", "."])
def test_process_pdf_needs_an_existing_file(service, capsys, path):
    with pytest.raises(FileNotFoundError) as err:
        service.process_pdf(path, "S", "L", "C")
    assert str(err.value) == f"PDF file not found: {path}" and err.value.__context__ is None
    printed(capsys)
    assert service.extractor_client.mock_calls == [] and service.extracted_texts is None


@pytest.mark.parametrize("stage", ["recommend", "change_extractor", "process_pdf", "len"])
def test_extraction_failure_is_wrapped_and_parsing_never_starts(service, llm, pdf, capsys, stage):
    service.extracted_texts = previous = {9: "old"}
    cause = ValueError("bad page")
    with mock.patch.object(qps, "ExtractorClient") as cls:
        if stage == "recommend":
            cls.get_recommended_extractor_for_subject.side_effect = cause
        elif stage == "len":
            service.extractor_client.process_pdf.return_value = None
        else:
            getattr(service.extractor_client, stage).side_effect = cause
        with pytest.raises(RuntimeError) as err:
            service.process_pdf(pdf, "S", "L", "C")
    if stage == "len":
        assert str(err.value) == "Failed to extract text from PDF: object of type 'NoneType' has no len()"
    else:
        assert str(err.value) == "Failed to extract text from PDF: bad page" and err.value.__context__ is cause
        assert service.extracted_texts is previous
    assert err.value.__cause__ is None and llm.mock_calls == []
    assert capsys.readouterr().out.endswith(P + "Processing all pages\n")


@pytest.mark.parametrize("parse_ok", [False, True])
def test_parse_failure_is_wrapped(service, llm, pdf, capsys, parse_ok):
    service.extractor_client.process_pdf.return_value = {1: "text"}
    if parse_ok:  # the record fails after the model answered
        llm.parseQuestionPaper.return_value.get_question_ids.side_effect = KeyError("ids")
    else:
        llm.parseQuestionPaper.side_effect = ValueError("model said no")
    with pytest.raises(RuntimeError) as err:
        service.process_pdf(pdf, "S", "L", "C")
    assert str(err.value) == "Failed to parse questions: " + ("'ids'" if parse_ok else "model said no")
    assert err.value.__cause__ is None and err.value.__context__ is not None
    assert service.extracted_texts == {1: "text"}
    assert service.processed_subject == ("S" if parse_ok else None)
    assert capsys.readouterr().out.endswith(P + "Step 2/2: Parsing questions using AI...\n")


@pytest.mark.parametrize("broken", ["extractor", "parser"])
def test_non_ordinary_errors_pass_through_process_pdf(service, llm, pdf, broken):
    service.extractor_client.process_pdf.return_value = {1: "text"}
    (service.extractor_client.process_pdf if broken == "extractor" else llm.parseQuestionPaper).side_effect = Stop()
    with pytest.raises(Stop):
        service.process_pdf(pdf, "S", "L", "C")


# ---------------------------------------------------------------- generation

RUBRICS = {"method": "generate_rubrics_for_all_questions", "batch": "generate_rubrics_batch", "op": "generateRubric",
           "fallback": "_generate_rubrics_sync_fallback", "key": "rubric", "noun": "rubric", "plural": "rubrics"}
REFS = {"method": "generate_reference_answers_for_all_questions", "batch": "generate_ref_answers_batch",
        "op": "generateRefAnswer", "fallback": "_generate_ref_answers_sync_fallback", "key": "ref_answer",
        "noun": "reference answer", "plural": "reference answers"}


def run_all(service, llm, kind, qp, records, coroutine):
    """Runs the all-questions method, blocking or as a coroutine, with the batch answering records(items)."""
    if coroutine:
        setattr(llm, kind["batch"] + "_async", mock.AsyncMock(side_effect=records))
        return asyncio.run(getattr(service, kind["method"] + "_async")(qp))
    getattr(llm, kind["batch"] + "_sync").side_effect = records
    return getattr(service, kind["method"])(qp)


def succeed(kind, make):
    return lambda items: [{"q_id": i["q_id"], "success": True, kind["key"]: make(i)} for i in items]


@pytest.mark.parametrize("coroutine", [False, True])
def test_rubrics_for_the_questions_that_need_one(service, llm, capsys, coroutine):
    kept = rubric(2)
    qp = paper(("Q1", "Define osmosis.", 2, kept), ("Q2", "Name two gases.", 3, rubric()), ("Q3", "Explain.", 10))
    new = {"Q2": rubric(1, 2), "Q3": rubric(2.5, 2.5, 2.5, 2.5)}
    result = run_all(service, llm, RUBRICS, qp, succeed(RUBRICS, lambda i: new[i["q_id"]]), coroutine)
    batch = getattr(llm, "generate_rubrics_batch_" + ("async" if coroutine else "sync"))
    assert [list(item.items()) for item in batch.call_args.args[0]] == [
        [("q_id", q), ("question", t), ("max_marks", m), ("class_level", "Grade 8"), ("subject", "Biology")]
        for q, t, m in [("Q2", "Name two gases.", 3.0), ("Q3", "Explain.", 10.0)]]
    assert list(result) == ["Q2", "Q3"] and all(result[q] is new[q] is qp.get_question(q).rubric for q in new)
    assert qp.get_question("Q1").rubric is kept
    printed(capsys, P + "Generating rubrics for all 3 questions...", P + "  Skipping Q1 - rubric already exists",
            P + f"Processing 2 questions with {'async ' if coroutine else ''}batch processing...",
            P + "  Generated rubric for Q2 with 2 criteria (3.0 marks)",
            P + "  Generated rubric for Q3 with 4 criteria (10.0 marks)", P + "Generated rubrics for 2 questions")


@pytest.mark.parametrize("coroutine", [False, True])
def test_reference_answers_for_the_questions_that_need_one(service, llm, capsys, coroutine):
    qp = paper(("Q1", "t1", 2, None, "An answer"), ("Q2", "t2", 2, rubric(2), " \n "), ("Q3", "t3", 2, rubric()),
               ("Q4", "t4", 2), ("Q5", "t5", 2, rubric(2), ""))
    result = run_all(service, llm, REFS, qp, succeed(REFS, lambda i: "Answer to " + i["question"]), coroutine)
    batch = getattr(llm, "generate_ref_answers_batch_" + ("async" if coroutine else "sync"))
    items = batch.call_args.args[0]
    assert [list(item) for item in items] == [["q_id", "question", "rubric", "class_level", "subject"]] * 2
    assert [i["q_id"] for i in items] == ["Q2", "Q5"] and items[0]["rubric"] is qp.get_question("Q2").rubric
    assert result == {"Q2": "Answer to t2", "Q5": "Answer to t5"}
    assert [qp.get_question(q).reference_answer for q in ["Q1", "Q2", "Q5"]] == ["An answer", *result.values()]
    no_rubric = " - no rubric available (generate rubric first)"
    printed(capsys, P + "Generating reference answers for all 5 questions...",
            P + "  Skipping Q1 - reference answer already exists", P + "  Skipping Q3" + no_rubric,
            P + "  Skipping Q4" + no_rubric,
            P + f"Processing 2 questions with {'async ' if coroutine else ''}batch processing...",
            P + "  Generated reference answer for Q2 (12 characters)",
            P + "  Generated reference answer for Q5 (12 characters)", P + "Generated reference answers for 2 questions")


@pytest.mark.parametrize("coroutine", [False, True])
@pytest.mark.parametrize("kind, skip, none_left", [
    (RUBRICS, "rubric already exists", "No rubrics to generate - all questions already have rubrics"),
    (REFS, "reference answer already exists",
     "No reference answers to generate - all questions already have reference answers or missing rubrics")])
def test_nothing_to_generate_makes_no_model_call(service, llm, capsys, coroutine, kind, skip, none_left):
    qp = paper(("Q1", "t", 2, rubric(1, 1), "A"), ("Q2", "t", 3, rubric(3), "B"))
    assert run_all(service, llm, kind, qp, lambda items: [], coroutine) == {}
    assert getattr(llm, kind["batch"] + ("_async" if coroutine else "_sync")).call_count == 0
    printed(capsys, P + f"Generating {kind['plural']} for all 2 questions...", P + f"  Skipping Q1 - {skip}",
            P + f"  Skipping Q2 - {skip}", P + none_left)


@pytest.mark.parametrize("coroutine", [False, True])
@pytest.mark.parametrize("kind", [RUBRICS, REFS])
def test_a_failed_item_is_reported_and_left_out(service, llm, capsys, coroutine, kind):
    qp = paper(*[(q, "t", 2, None if kind is RUBRICS else rubric(2)) for q in ["Q1", "Q2", "Q3"]])
    value = rubric(2) if kind is RUBRICS else "Answer."
    ok = {"success": True, kind["key"]: value}
    records = [{"q_id": "Q1", **ok}, {"q_id": "Q2", "success": False, "error": "boom"}, {"q_id": "Q3", **ok}]
    result = run_all(service, llm, kind, qp, lambda items: records, coroutine)
    assert list(result) == ["Q1", "Q3"]
    q2 = qp.get_question("Q2")
    assert (q2.rubric is None, q2.reference_answer) == (kind is RUBRICS, None)
    done = " with 1 criteria (2.0 marks)" if kind is RUBRICS else " (7 characters)"
    assert capsys.readouterr().out.splitlines()[-4:] == [
        P + f"  Generated {kind['noun']} for Q1{done}", P + f"  Error generating {kind['noun']} for Q2: boom",
        P + f"  Generated {kind['noun']} for Q3{done}", P + f"Generated {kind['plural']} for 2 questions"]


@pytest.mark.parametrize("kind, first, lines", [
    (RUBRICS, rubric(0.5, 1.5), ["Using sync fallback for rubric generation...", "  Generating rubric for Q1...",
                                 "    Generated rubric with 2 criteria (2.0 marks)", "  Generating rubric for Q2...",
                                 "    Error generating rubric for Q2: bad"]),
    (REFS, "Sugar.", ["Using sync fallback for reference answer generation...",
                      "  Generating reference answer for Q1...", "    Generated reference answer (6 characters)",
                      "  Generating reference answer for Q2...", "    Error generating reference answer for Q2: bad"])])
def test_a_failing_batch_falls_back_to_one_question_at_a_time(service, llm, capsys, kind, first, lines):
    r = rubric(2)
    qp = paper(("Q1", "t1", 2, None if kind is RUBRICS else r), ("Q2", "t2", 3, None if kind is RUBRICS else r))
    getattr(llm, kind["batch"] + "_sync").side_effect = ConnectionError("loop closed")
    getattr(llm, kind["op"]).side_effect = [first, ValueError("bad")]
    assert getattr(service, kind["method"])(qp) == {"Q1": first}
    assert qp.get_question("Q1").rubric is (first if kind is RUBRICS else r)
    second = {"max_marks": 3.0} if kind is RUBRICS else {"rubric": r}
    assert getattr(llm, kind["op"]).call_args_list[1] == mock.call(question="t2", class_level="Grade 8",
                                                                   subject="Biology", **second)
    printed(capsys, P + f"Generating {kind['plural']} for all 2 questions...",
            P + "Processing 2 questions with batch processing...",
            P + "Error in batch processing, falling back to sync processing: loop closed", *[P + x for x in lines])


def test_the_fallback_is_looked_up_on_the_instance(llm):
    class Mine(qps.QuestionPaperService):
        def _generate_rubrics_sync_fallback(self, question_paper, questions_to_process):
            return [item["q_id"] for item in questions_to_process]

    llm.generate_rubrics_batch_sync.side_effect = RuntimeError("no loop")
    assert Mine(None, llm).generate_rubrics_for_all_questions(paper(("Q1", "t", 2))) == ["Q1"]


@pytest.mark.parametrize("kind", [RUBRICS, REFS])
def test_only_ordinary_batch_errors_fall_back_and_coroutines_never(service, llm, kind):
    qp = paper(("Q1", "t", 2, None if kind is RUBRICS else rubric(2)))
    getattr(llm, kind["batch"] + "_sync").side_effect = Stop()
    with pytest.raises(Stop):
        getattr(service, kind["method"])(qp)
    setattr(llm, kind["batch"] + "_async", mock.AsyncMock(side_effect=ConnectionError("down")))
    with pytest.raises(ConnectionError):
        asyncio.run(getattr(service, kind["method"] + "_async")(qp))
    assert getattr(llm, kind["op"]).call_count == 0


@pytest.mark.parametrize("bad", [{"q_id": "Q9", "success": True, "rubric": rubric(1)}, {"q_id": "Q2", "success": True}])
def test_errors_while_storing_leave_the_method_after_earlier_results_are_kept(service, llm, bad):
    qp = paper(("Q1", "t", 2), ("Q2", "t", 2))
    first = rubric(2)
    llm.generate_rubrics_batch_sync.return_value = [{"q_id": "Q1", "success": True, "rubric": first}, bad]
    with pytest.raises(KeyError):
        service.generate_rubrics_for_all_questions(qp)
    assert qp.get_question("Q1").rubric is first and qp.get_question("Q2").rubric is None


@pytest.mark.parametrize("kind", [RUBRICS, REFS])
@pytest.mark.parametrize("items", [None, ()])
def test_fallbacks_take_a_list_of_items_only(service, capsys, kind, items):
    with pytest.raises(TypeError) as err:
        getattr(service, kind["fallback"])(paper(("Q1", "t", 2)), items)
    assert str(err.value) == ("Argument 'questions_to_process' has incorrect type "
                              f"(expected list, got {type(items).__name__})")
    printed(capsys)


def test_rubric_for_one_question_replaces_the_old_one(service, llm, capsys):
    qp = paper(("Q1", "Define osmosis.", 4, rubric(4)))
    llm.generateRubric.return_value = new = rubric(1, 1, 1.5, 0.5)
    assert service.generate_rubric_for_question(qp, q_id="Q1") is new is qp.get_question("Q1").rubric
    llm.generateRubric.assert_called_once_with(question="Define osmosis.", max_marks=4.0, class_level="Grade 8",
                                               subject="Biology")
    printed(capsys, P + "Generating rubric for question Q1...", P + "Generated rubric with 4 criteria (4.0 marks)")


def test_reference_answer_for_one_question_replaces_the_old_one(service, llm, capsys):
    r = rubric(2)
    qp = paper(("Q1", "Define osmosis.", 2, r, "Old answer"))
    llm.generateRefAnswer.return_value = "Water moves in."
    assert service.generate_reference_answer_for_question(qp, "Q1") == "Water moves in."
    assert qp.get_question("Q1").reference_answer == "Water moves in."
    llm.generateRefAnswer.assert_called_once_with(question="Define osmosis.", rubric=r, class_level="Grade 8",
                                                  subject="Biology")
    printed(capsys, P + "Generating reference answer for question Q1...",
            P + "Generated reference answer (15 characters)")


SINGLE = [("generate_rubric_for_question", "generateRubric", "rubric"),
          ("generate_reference_answer_for_question", "generateRefAnswer", "reference answer")]


@pytest.mark.parametrize("method, op, noun", SINGLE)
def test_one_question_needs_a_known_id_of_type_str(service, llm, capsys, method, op, noun):
    with pytest.raises(ValueError) as err:
        getattr(service, method)(paper(("Q1", "t", 2, rubric(2))), "Q9")
    assert str(err.value) == f"can not generate {noun}. Question ID 'Q9' not found in question paper"
    for q_id in [None, MyStr("Q1"), 1]:
        with pytest.raises(TypeError, match=rf"^Argument 'q_id' has incorrect type \(expected str, got "):
            getattr(service, method)(None, q_id)
    printed(capsys)
    assert llm.mock_calls == []


@pytest.mark.parametrize("r", [None, rubric()])
def test_reference_answer_for_one_question_needs_a_rubric(service, llm, capsys, r):
    with pytest.raises(ValueError) as err:
        service.generate_reference_answer_for_question(paper(("Q1", "t", 2, r)), "Q1")
    assert str(err.value) == "No rubric available for question Q1. Generate rubric first."
    printed(capsys)
    assert llm.mock_calls == []


@pytest.mark.parametrize("method, op, noun", SINGLE)
def test_one_question_failure_is_wrapped_and_the_question_kept(service, llm, capsys, method, op, noun):
    old = rubric(2)
    qp = paper(("Q1", "t", 2, old, "Old"))
    getattr(llm, op).side_effect = cause = ValueError("boom")
    with pytest.raises(RuntimeError) as err:
        getattr(service, method)(qp, "Q1")
    assert str(err.value) == f"Failed to generate {noun} for question Q1: boom"
    assert err.value.__context__ is cause and err.value.__cause__ is None
    assert (qp.get_question("Q1").rubric, qp.get_question("Q1").reference_answer) == (old, "Old")
    assert capsys.readouterr().out.count("\n") == 1


@pytest.mark.parametrize("answer", [["a", "b"], None, 7])
def test_a_reference_answer_that_is_no_string_is_refused_before_it_is_stored(service, llm, capsys, answer):
    qp = paper(("Q1", "t", 2, rubric(2), "Old"))
    llm.generateRefAnswer.return_value = answer
    with pytest.raises(RuntimeError) as err:
        service.generate_reference_answer_for_question(qp, "Q1")
    assert str(err.value) == ("Failed to generate reference answer for question Q1: reference answer is not a "
                              f"string: {type(answer).__name__}")
    assert qp.get_question("Q1").reference_answer == "Old"
    printed(capsys, P + "Generating reference answer for question Q1...")


@pytest.mark.parametrize("method, extra", [
    ("generate_rubrics_for_all_questions", ()), ("generate_reference_answers_for_all_questions", ()),
    ("generate_rubric_for_question", ("Q1",)), ("generate_reference_answer_for_question", ("Q1",)),
    ("generate_rubrics_for_all_questions_async", ()), ("generate_reference_answers_for_all_questions_async", ())])
def test_a_missing_paper_is_refused_by_every_generation_method(service, llm, capsys, method, extra):
    with pytest.raises(ValueError, match=f"^{NO_PAPER}$"):
        result = getattr(service, method)(None, *extra)
        assert asyncio.iscoroutine(result)  # a coroutine starts work only when awaited
        asyncio.run(result)
    printed(capsys)
    assert llm.mock_calls == []


# ------------------------------------------------------- reports and files


def report_paper(subject="Biology", class_level="Grade 8"):
    r = rubric(1.5, 0.5)
    r.criteria[0].set_fulfill(True)
    return paper(("Q1", "Définissez la photosynthèse — प्रकाश संश्लेषण.", 2, r, "Plants make sugar."),
                 ("Q2", "Explain osmosis.", 3, rubric()), subject=subject, class_level=class_level)


def test_input_data_format(service):
    data = service.get_input_data_format(report_paper(), answer_pages="1-2")
    expected = {"class": "Grade 8", "subject": "Biology", "answer_pages": "1-2", "questions": [
        {"qid": "Q1", "question": "Définissez la photosynthèse — प्रकाश संश्लेषण.", "max_marks": 2.0,
         "student_answer": "", "ref_answer": "Plants make sugar.",
         "rubric": [{"statement": "Point 0", "mark": 1.5, "is_fulfilled": True},
                    {"statement": "Point 1", "mark": 0.5, "is_fulfilled": False}]},
        {"qid": "Q2", "question": "Explain osmosis.", "max_marks": 3.0, "student_answer": "", "ref_answer": "",
         "rubric": []}]}
    assert json.dumps(data) == json.dumps(expected)  # key order included
    assert service.get_input_data_format(report_paper())["answer_pages"] == ""


@pytest.mark.parametrize("fmt", [{}, {"format": "json"}, {"format": "JSON"}, {"format": "Json"}])
def test_json_file_is_the_standard_encoding_of_the_input_data(service, capsys, fmt):
    qp = report_paper()
    service.save_to_file(qp, "out/paper.json", "1-2", **fmt)
    expected = json.dumps(service.get_input_data_format(qp, "1-2"), indent=4, ensure_ascii=False)
    with open("out/paper.json", "rb") as f:
        assert f.read() == expected.encode("utf-8")
    printed(capsys, P + "Saved processed data to: out/paper.json")


@pytest.mark.parametrize("fmt", ["text", "txt", ""])
@pytest.mark.parametrize("subject, class_level, header", [
    ("Biology", "Grade 8", "Subject: Biology\nClass Level: Grade 8\n"), ("", "", "")])
def test_text_file(service, capsys, fmt, subject, class_level, header):
    service.save_to_file(report_paper(subject, class_level), "paper.txt", format=fmt)
    rule = "-" * 40 + "\n\n"
    with open("paper.txt", encoding="utf-8", newline="") as f:
        assert f.read() == ("PROCESSED QUESTION PAPER\n" + "=" * 50 + "\n\n" + header
                            + "Total Questions: 2\nTotal Marks: 5.0\n\n"
                            + "Question 1: Q1\nMarks: 2.0\nText: Définissez la photosynthèse — प्रकाश संश्लेषण.\n"
                            + "Reference Answer: Plants make sugar.\n" + rule
                            + "Question 2: Q2\nMarks: 3.0\nText: Explain osmosis.\n" + rule)
    printed(capsys, P + "Saved processed data to: paper.txt")


@pytest.mark.parametrize("path, created", [("paper.json", ["paper.json"]),
                                           ("a/b/paper.json", ["a", "a/b", "a/b/paper.json"])])
def test_missing_folders_are_created(service, tmp_path, path, created):
    for _ in range(2):  # the second time the folders exist already
        service.save_to_file(report_paper(), path)
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == created


@pytest.mark.parametrize("args, error", [
    ({"question_paper": None}, ValueError), ({"output_path": b"new/p.json"}, TypeError),
    ({"answer_pages": 1}, TypeError), ({"format": None}, TypeError), ({"format": MyStr("json")}, TypeError)])
def test_save_refuses_bad_arguments_before_touching_the_disk(service, tmp_path, capsys, args, error):
    with pytest.raises(error):
        service.save_to_file(**{"question_paper": report_paper(), "output_path": "new/p.json", **args})
    assert list(tmp_path.iterdir()) == []
    printed(capsys)


@pytest.mark.parametrize("fmt", ["json", "text"])
@pytest.mark.parametrize("breakage", ["unencodable", "record", "replace"])
def test_a_failed_save_keeps_the_previous_file_and_leaves_no_other(service, tmp_path, capsys, fmt, breakage):
    service.save_to_file(report_paper(), "out/paper.out", format=fmt)
    before = (tmp_path / "out" / "paper.out").read_bytes()
    capsys.readouterr()
    bad = report_paper()
    bad.add_question(Question(q_id="Q3", text="lone \ud800 surrogate", max_marks=1))
    if breakage == "record":
        bad.get_question("Q3").text = "Fine."
        real = bad.get_question
        bad.get_question = lambda q_id: real(q_id) if q_id != "Q3" else {}["Q3"]
    with mock.patch("os.replace", side_effect=OSError(28, "No space left on device")) if breakage == "replace" \
            else mock.patch.dict({}):
        for path in ["out/paper.out", "out/fresh.out"]:
            with pytest.raises((UnicodeEncodeError, KeyError, OSError)):
                service.save_to_file(bad, path, format=fmt)
    assert os.listdir(tmp_path / "out") == ["paper.out"]
    assert (tmp_path / "out" / "paper.out").read_bytes() == before
    printed(capsys)


def test_input_data_needs_a_paper_and_a_str(service):
    with pytest.raises(ValueError, match=f"^{NO_PAPER}$"):
        service.get_input_data_format(None)
    with pytest.raises(TypeError, match=r"^Argument 'answer_pages' has incorrect type \(expected str, got NoneType\)$"):
        service.get_input_data_format(report_paper(), None)


@pytest.mark.parametrize("texts, pages", [({2: "b", 1: "a"}, [2, 1]), (None, []), ({}, [])])
def test_summary(service, texts, pages):
    qp = paper(("Q2", "Second question.", 3), ("Q1", "First question.", 2.5))
    qp.get_all_questions = mock.Mock(wraps=qp.get_all_questions)
    service.extracted_texts = texts
    summary = service.get_summary(qp)
    assert list(summary.items()) == [("total_questions", 2), ("total_marks", 5.5), ("question_ids", ["Q2", "Q1"]),
                                     ("marks_distribution", {"Q2": 3.0, "Q1": 2.5}), ("extracted_pages", pages)]
    assert list(summary["marks_distribution"]) == ["Q2", "Q1"] and qp.get_all_questions.call_count == 1


SHORT = "Question Q1 has very short text (possible OCR issue)"
NO_MARKS = "Question Q1 has no marks assigned"


@pytest.mark.parametrize("text, marks, issues, warnings", [
    ("  0123456789 \n", 1, [], []), (" 012345678 ", 1, [], [SHORT]), ("Q1", 0, [NO_MARKS], [SHORT]),
    ("Long enough text", -2, [NO_MARKS, "Total marks is 0"], [])])
def test_validation(service, text, marks, issues, warnings):
    report = service.validate_processing(paper(("Q1", text, marks), ("Q2", "A normal question.", 2)))
    assert list(report.items()) == [("valid", not issues), ("issues", issues), ("warnings", warnings),
                                    ("total_marks", marks + 2.0), ("question_count", 2)]


def test_summary_and_validation_of_a_missing_paper(service, capsys):
    assert service.get_summary(None) == {"error": "No question paper provided"}
    assert list(service.validate_processing(None).items()) == [("valid", False),
                                                              ("error", "No question paper provided")]
    service.print_summary(None)
    printed(capsys, P + "Error: No question paper provided")


def test_print_summary(service, capsys):
    qp = paper(("Q1", "x" * 81, 2), ("Q2", "y" * 80, 0), ("Q3", "short", 1.5))
    service.extracted_texts = {1: "a", 2: "b"}
    service.print_summary(qp)
    printed(capsys, P + "\n" + "=" * 60, P + "QUESTION PAPER PROCESSING SUMMARY", P + "=" * 60,
            P + "Total Questions: 3", P + "Total Marks: 3.5", P + "Processed Pages: [1, 2]",
            P + "Validation: Issues found", P + "   Question Q2 has no marks assigned", P + "Warnings:",
            P + "   Question Q3 has very short text (possible OCR issue)", P + "\nQuestions Overview:",
            P + "   Q1: " + "x" * 80 + "... (2.0 marks)", P + "   Q2: " + "y" * 80 + " (0.0 marks)",
            P + "   Q3: short (1.5 marks)", P + "=" * 60)


def test_print_summary_prints_each_item_with_one_call(service):
    with mock.patch("builtins.print") as print_:
        service.print_summary(paper(("Q1", "Define photosynthesis.", 2)))
    assert print_.call_args_list == [mock.call(P + line) for line in [
        "\n" + "=" * 60, "QUESTION PAPER PROCESSING SUMMARY", "=" * 60, "Total Questions: 1", "Total Marks: 2.0",
        "Processed Pages: []", "Validation: Passed", "\nQuestions Overview:",
        "   Q1: Define photosynthesis. (2.0 marks)", "=" * 60]]


def test_print_summary_asks_the_instance_for_summary_and_validation(capsys):
    class Mine(qps.QuestionPaperService):
        def get_summary(self, question_paper):
            return {"error": "custom"}

    Mine(None, None).print_summary(paper(("Q1", "Define photosynthesis.", 2)))
    printed(capsys, P + "Error: custom")
