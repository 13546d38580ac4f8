"""quorvan mark when the model's answers cannot be used as they are: criteria that do not exist, refusals, a
question named twice, pages off the sheet, a sheet with text where no answer was found. Real PDFs, the real
command, the stand-in made to misbehave."""

import json
import sqlite3

import pytest

from tests.support.pdfs import write_text_pdf
from tests.support.standin import REFUSAL, _BUILT_IN
from tests.test_class_run import FULL, calls, marks, quorvan, sheet_text, table
from tests.test_fault_tolerance import paper_json

Q2_TEXT = "Explain how the heart pumps blood."
evaluate = _BUILT_IN["EvaluationResponse"]


def q2_answers_badly(indices, bad_tries):
    """The model's evaluation, with `indices` instead for Q2 on its first `bad_tries` tries."""
    seen = []

    def answer(body):
        if Q2_TEXT in body["messages"][-1]["content"]:
            seen.append(1)
            if len(seen) <= bad_tries:
                return {"fulfilled_criteria": indices, "awarded_marks": 4.0, "feedback": "Well done."}
        return evaluate(body)

    return answer


def stored(out, sql, *params):
    with sqlite3.connect(out / "marking.db") as db:
        return db.execute(sql, params).fetchall()


BAD_INDICES = [([0, 7], "criteria that do not exist (7)"), ([-1], "criteria that do not exist (-1)"),
               ([1, 1], "criteria more than once (1)")]


@pytest.mark.parametrize("indices, problem", BAD_INDICES, ids=["out-of-range", "negative", "repeated"])
def test_an_invalid_evaluation_asked_again_and_then_good_is_marked(standin, tmp_path, indices, problem):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    standin.set_answer("EvaluationResponse", q2_answers_badly(indices, bad_tries=1))
    result = quorvan("mark", "--paper", paper, sheet, "-o", out, "--retries", 1)
    assert result.returncode == 0, result.stderr
    row = table(out)["s.pdf"]
    assert row["status"] == "marked" and marks(row) == {"Q1": "2.0", "Q2": "4.0", "Q3": "4.0"}
    assert calls(standin, "EvaluationResponse") == 4
    assert stored(out, "SELECT criteria_met, calls FROM answers WHERE q_id = 'Q2'") == [("[0, 1]", 2)]
    log = (out / "marking.log").read_text(encoding="utf-8")
    assert f"[LLMService]: evaluate_answer: the model named {problem}; asking again (try 2 of 2)" in log


@pytest.mark.parametrize("indices, problem", BAD_INDICES, ids=["out-of-range", "negative", "repeated"])
@pytest.mark.parametrize("retries, after", [(0, ""), (2, " after 3 tries")])
def test_an_evaluation_invalid_every_time_leaves_the_answer_unmarked(standin, tmp_path, indices, problem, retries,
                                                                     after):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    standin.set_answer("EvaluationResponse", q2_answers_badly(indices, bad_tries=100))
    result = quorvan("mark", "--paper", paper, sheet, "-o", out, "--retries", retries)
    assert result.returncode == 1
    cause = f"Q2 not marked: the model named {problem}{after}"
    row = table(out)["s.pdf"]
    assert row["status"] == "incomplete" and marks(row) == {"Q1": "2.0", "Q2": "", "Q3": "4.0"}
    assert cause in row["warnings"].split("; ")
    assert f"quorvan mark: s.pdf: {cause}" in result.stderr
    assert calls(standin, "EvaluationResponse") == 2 + retries + 1
    assert stored(out, "SELECT status, calls FROM answers WHERE q_id = 'Q2'") == [("failed", retries + 1)]

    # the next run asks for the unmarked answer alone
    standin.reset()
    again = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert again.returncode == 0, again.stderr
    assert calls(standin) == ["EvaluationResponse"] and marks(table(out)["s.pdf"])["Q2"] == "4.0"


def test_a_refused_evaluation_is_reported_as_a_refusal(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    standin.inject("refusal", schema="EvaluationResponse")
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)  # retries configured: a refusal is not asked again
    assert result.returncode == 1
    row = table(out)["s.pdf"]
    blank = [q for q, v in marks(row).items() if v == ""]
    assert len(blank) == 1 and row["status"] == "incomplete"
    assert f"{blank[0]} not marked: the model refused: {REFUSAL}" in row["warnings"]
    assert calls(standin, "EvaluationResponse") == 3


def test_a_refused_parse_fails_the_sheet_as_a_refusal(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    standin.inject("refusal", schema="AnswersheetResponse")
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 1
    row = table(out)["s.pdf"]
    assert row["status"] == "failed"
    assert row["warnings"] == f"Failed to parse answersheet: the model refused: {REFUSAL}"


def test_a_question_named_twice_keeps_both_parts_and_pages_off_the_sheet_are_dropped(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", ["Q1. Light and water make glucose.", "Q2. The heart has chambers."])
    out = tmp_path / "results"
    standin.set_answer("AnswersheetResponse", {"answers": [
        {"q_id": "Q1", "answer_text": "Photosynthesis uses light, water and carbon dioxide", "page_numbers": [1]},
        {"q_id": "Q2", "answer_text": "The heart has four chambers", "page_numbers": [2, 5]},
        {"q_id": "Q1", "answer_text": "to make glucose; oxygen is released.", "page_numbers": [2, 1, 0]},
    ]})
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 0, result.stderr
    assert stored(out, "SELECT q_id, text, pages FROM answers ORDER BY position") == [
        ("Q1", "Photosynthesis uses light, water and carbon dioxide\n\nto make glucose; oxygen is released.", "[1, 2]"),
        ("Q2", "The heart has four chambers", "[2]"),
    ]
    # the whole answer was marked: the second part names the released gas
    q1 = [r for r in standin.requests if r["response_format"]["json_schema"]["name"] == "EvaluationResponse"
          and "oxygen is released" in r["messages"][-1]["content"]]
    assert len(q1) == 1 and "Photosynthesis uses light" in q1[0]["messages"][-1]["content"]
    assert marks(table(out)["s.pdf"])["Q1"] == "2.0"
    log = (out / "marking.log").read_text(encoding="utf-8")
    assert "[LLMService]: Warning: the answer to Q2 names pages not on the sheet (5); they are dropped" in log
    assert "[LLMService]: Warning: the answer to Q1 names pages not on the sheet (0); they are dropped" in log
    report = {r["qid"]: r for r in json.loads((out / "s.json").read_text(encoding="utf-8"))}
    assert report["Q1"]["answer_pages"] == [1, 2]


def test_no_answer_found_on_a_sheet_with_text_fails_it_and_the_next_run_reads_it_again(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    standin.set_answer("AnswersheetResponse", {"answers": [
        {"q_id": "Q7", "answer_text": "not a question of the paper", "page_numbers": [1]}]})
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 1
    row = table(out)["s.pdf"]
    assert row["status"] == "failed" and row["warnings"] == "no answers found on a sheet with text"
    assert "quorvan mark: s.pdf: no answers found on a sheet with text" in result.stderr
    assert calls(standin) == ["AnswersheetResponse"]

    standin.reset()  # the model reads it properly now
    again = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert again.returncode == 0, again.stderr
    assert "s.pdf: trying again: it failed before (no answers found on a sheet with text)" in again.stdout
    row = table(out)["s.pdf"]
    assert row["status"] == "marked" and row["total"] == "10.0" and row["warnings"] == ""


def test_no_answer_found_on_a_blank_sheet_is_a_sheet_marked_zero(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", ["   "])
    out = tmp_path / "results"
    standin.set_answer("AnswersheetResponse", {"answers": []})
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 0, result.stderr
    row = table(out)["s.pdf"]
    assert row["status"] == "marked" and row["total"] == "0.0"
