"""A teacher's decision outlives every later run: kept when nothing changed, kept and flagged for another look when
the model marks the answer again, and shown in the class file and reports. Real PDFs, the real command, the stand-in."""

import json
import sqlite3

import pytest

from tests.test_class_run import calls, marks, quorvan, table
from tests.test_fault_tolerance import class_of, paper_json


def decide(out, sheet, q_id, field, old, new, reviewer="ms.roy"):
    """A change as the review page stores it."""
    with sqlite3.connect(out / "marking.db") as db:
        (sheet_id,) = db.execute("SELECT id FROM sheets WHERE path_given LIKE ?", (f"%{sheet}",)).fetchone()
        db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at) "
                   "VALUES (?, ?, ?, ?, ?, ?, '2026-12-08T10:00:00.000Z')",
                   (sheet_id, q_id, field, old, new, reviewer))


@pytest.fixture
def marked(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheets, "-o", out, "--format", "both").returncode == 0
    decide(out, "s00.pdf", "Q2", "awarded", "4", "1.5")
    decide(out, "s00.pdf", "Q2", "feedback", '"x"', '"See me about the valves."')
    standin.reset()
    return paper, sheets, out


def test_a_decision_stands_through_a_run_that_changes_nothing(standin, marked):
    paper, sheets, out = marked
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--format", "both")
    assert result.returncode == 0, result.stderr
    assert calls(standin) == []
    row = table(out)["s00.pdf"]
    assert marks(row)["Q2"] == "1.5" and row["total"] == "7.5" and row["percentage"] == "75.0"
    assert "look again" not in row["warnings"]
    assert marks(table(out)["s01.pdf"])["Q2"] == "4.0"
    report = {r["qid"]: r for r in json.loads((out / "s00.json").read_text(encoding="utf-8"))}
    assert (report["Q2"]["obtained_marks"], report["Q2"]["marked_by"]) == (1.5, "teacher")
    assert report["Q2"]["feedback"] == "Mark set by the teacher. See me about the valves."
    text = (out / "s00.txt").read_text(encoding="utf-8")
    assert "Evaluation: 1.5/4.0 marks\nFeedback: Mark set by the teacher. See me about the valves.\n" in text


def test_marking_again_keeps_the_decision_and_asks_for_another_look(standin, marked, tmp_path):
    paper, sheets, out = marked
    data = json.loads(paper.read_text(encoding="utf-8"))
    data["questions"][1]["question_text"] = "Explain how the human heart pumps blood."
    paper.write_text(json.dumps(data), encoding="utf-8")
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert calls(standin) == ["EvaluationResponse"] * 2  # Q2 of both sheets
    row = table(out)["s00.pdf"]
    assert marks(row)["Q2"] == "1.5"
    assert "Q2: marked again since the teacher's decision: look again" in row["warnings"]
    assert "look again" not in table(out)["s01.pdf"]["warnings"]
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("SELECT q_id, field, new_value FROM events ORDER BY id").fetchall() == [
            ("Q2", "awarded", "1.5"), ("Q2", "feedback", '"See me about the valves."')]
        # The model's own marking is kept beside the decision, for comparison.
        assert db.execute("SELECT awarded FROM answers WHERE q_id = 'Q2' AND sheet_id = 1").fetchone() == (4.0,)
        with pytest.raises(sqlite3.DatabaseError, match="events are never rewritten"):
            db.execute("UPDATE events SET new_value = '4'")
        with pytest.raises(sqlite3.DatabaseError, match="events are never rewritten"):
            db.execute("DELETE FROM events")


def test_a_cleared_decision_gives_the_model_its_mark_back(standin, marked):
    paper, sheets, out = marked
    decide(out, "s00.pdf", "Q2", "awarded", "1.5", "null")
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    assert marks(table(out)["s00.pdf"])["Q2"] == "4.0"


def test_marks_are_shown_to_two_decimals_at_most(standin, marked):
    paper, sheets, out = marked
    decide(out, "s01.pdf", "Q1", "awarded", "2", "0.1")
    decide(out, "s01.pdf", "Q2", "awarded", "4", "0.2")
    decide(out, "s01.pdf", "Q3", "awarded", "4", "0")
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    row = table(out)["s01.pdf"]
    assert (row["total"], row["percentage"]) == ("0.3", "3.0")  # not 0.30000000000000004
