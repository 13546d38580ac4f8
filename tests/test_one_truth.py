"""Every view of a marked class says the same thing about an answer: the class file, the sheet's reports, the
hand-back, the class report, the export, the calibration figures and the review page, after each decision the
teacher makes on the page. Empty answers are not answered anywhere. Real PDFs, the real commands, the stand-in."""

import csv
import json
import os
import re
import shutil
import socket
import subprocess
from pathlib import Path

import pytest

from tests.support import command
from tests.support.pdfs import write_text_pdf
from tests.test_class_run import calls, sheet_text
from tests.test_fault_tolerance import QUESTIONS, paper_json
from tests.test_review import Review


@pytest.fixture(scope="module")
def marked(tmp_path_factory):
    """Two sheets marked in both report formats: one answering everything, one leaving Q2 and Q3 empty."""
    from tests.support.standin import StandIn

    base = tmp_path_factory.mktemp("truth")
    sheets = base / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / "full.pdf", sheet_text([(q_id, reference) for q_id, _, _, reference in QUESTIONS]))
    write_text_pdf(sheets / "blank.pdf", sheet_text([("Q1", QUESTIONS[0][3]), ("Q2", "- -"), ("Q3", "...")]))
    paper = paper_json(base / "paper.json")
    roster = base / "roster.csv"
    roster.write_text("file,student_id,name\nfull.pdf,S-1,Asha Rao\nblank.pdf,S-2,Ben Okafor\n", encoding="utf-8")
    with StandIn() as server:
        env = dict(os.environ, OPENAI_BASE_URL=server.base_url, OPENAI_API_KEY="sk-test")
        result = command.quorvan("mark", "--paper", paper, sheets, "-o", base / "results", "--format", "both",
                                 "--roster", roster, env=env)
        assert result.returncode == 0, result.stderr + result.stdout
        evaluations = calls(server, "EvaluationResponse")
    return base / "results", evaluations, result


@pytest.fixture
def results(marked, tmp_path):
    """A copy of the marked class of the test's own."""
    return Path(shutil.copytree(marked[0], tmp_path / "results"))


HANDBACK = {"full": "Asha Rao", "blank": "Ben Okafor"}


def class_row(out, name):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {k.split(" (")[0]: v for k, v in next(r for r in csv.DictReader(f) if r["file"] == name).items()}


def report(out, stem):
    return {r["qid"]: r for r in json.loads((out / f"{stem}.json").read_text(encoding="utf-8"))}


def text_block(out, stem, q_id):
    text = (out / f"{stem}.txt").read_text(encoding="utf-8")
    return text[text.index(f"Question: {q_id}\n"):].split("----------")[0]


def pdf_text(path):
    return subprocess.run(["pdftotext", "-layout", str(path), "-"], capture_output=True, text=True, check=True).stdout


def handback_block(out, stem, q_id):
    text = pdf_text(out / "feedback" / f"{HANDBACK[stem]}.pdf")
    start = re.search(rf"^{q_id}\s", text, re.M).start()
    following = re.search(r"^Q\d+\s", text[start + 2:], re.M)
    block = text[start:start + 2 + following.start()] if following else text[start:]
    return " ".join(block.split())  # lines as the page wraps them, joined


def exported_total(out, tmp_path, name):
    target = tmp_path / "export.csv"
    result = command.quorvan("export", out, "--to", "csv", "--all", "--force", "-o", target)
    assert result.returncode == 0, result.stderr
    with open(target, newline="", encoding="utf-8-sig") as f:
        return next(r for r in csv.DictReader(f) if r["file"] == name)["total"]


def test_a_change_on_the_page_reaches_every_view(results, tmp_path):
    review = Review(results)
    try:
        _, data = review.api("GET", "/api/class")
        full = next(s for s in data["sheets"] if s["file"] == "full.pdf")
        _, model = review.api("GET", f"/api/answer?sheet={full['sheet']}&q=Q3")
        model_feedback = model["model"]["feedback"]
        assert model["model"]["awarded"] == 4.0 and model["model"]["criteria_met"] == [0, 1] and model_feedback

        def change(field, value, path="/api/change"):
            status, body = review.api("POST", path, {"sheet": full["sheet"], "q_id": "Q3", "field": field,
                                                     "value": value})
            assert status == 200 and body["warning"] is None, body

        def views():
            """What each view says of Q3: mark, who set it, feedback shown."""
            json_q3 = report(results, "full")["Q3"]
            _, page = review.api("GET", f"/api/answer?sheet={full['sheet']}&q=Q3")
            _, grid = review.api("GET", "/api/class")
            cell = next(s for s in grid["sheets"] if s["sheet"] == full["sheet"])["cells"][2]
            _, agreement = review.api("GET", "/api/agreement")
            return {
                "class file": float(class_row(results, "full.pdf")["Q3"]),
                "json": (json_q3["obtained_marks"], json_q3["marked_by"], json_q3["feedback"]),
                "txt": re.search(r"Evaluation: ([\d.]+)/4\.0 marks\nFeedback: (.*)\n", text_block(results, "full", "Q3"))
                .groups(),
                "hand-back": handback_block(results, "full", "Q3"),
                "report": (results / "class_report.html").read_text(encoding="utf-8"),
                "export": float(exported_total(results, tmp_path, "full.pdf")),
                "page": (cell["awarded"], page["reviewed"]["awarded"], page["reviewed"]["mark_typed"]),
                "agreement": agreement["overall"]["n"],
            }

        others = 2.0 + 4.0  # Q1 and Q2, as the model marked them

        # A typed mark: the teacher's, with no feedback of the model's beside it.
        change("awarded", "2,25")
        v = views()
        assert v["class file"] == 2.25 and v["export"] == others + 2.25
        assert v["json"] == (2.25, "teacher", "Mark set by the teacher.")
        assert v["txt"] == ("2.25", "Mark set by the teacher.")
        assert v["hand-back"].startswith("Q3 2.25 / 4 marks") and "Mark set by the teacher." in v["hand-back"]
        assert model_feedback not in v["hand-back"] and "Criteria met" not in v["hand-back"]
        assert "The model found these met" in v["hand-back"]
        assert "1 set by the teacher" in v["report"]
        assert v["page"] == (2.25, 2.25, True) and v["agreement"] == 1

        # Ticks: the mark follows them, and they are the teacher's.
        change("criteria_met", [1])
        v = views()
        assert v["class file"] == 2.0 and v["export"] == others + 2.0
        assert v["json"] == (2.0, "teacher", model_feedback)
        assert v["txt"] == ("2.0", model_feedback)
        assert "Criteria met" in v["hand-back"] and "Criteria missed" in v["hand-back"]
        assert "Mark set by the teacher." not in v["hand-back"] and "set by the teacher" not in v["report"]
        assert v["page"] == (2.0, 2.0, False)

        # Feedback of the teacher's own replaces the model's everywhere.
        change("feedback", "Name a conductor you have used.")
        v = views()
        assert v["json"] == (2.0, "teacher", "Name a conductor you have used.")
        assert v["txt"] == ("2.0", "Name a conductor you have used.")
        assert "Name a conductor you have used." in v["hand-back"] and model_feedback not in v["hand-back"]

        # Cleared: the model's marking stands again in every view.
        status, _ = review.api("POST", "/api/clear", {"sheet": full["sheet"], "q_id": "Q3"})
        assert status == 200
        v = views()
        assert v["class file"] == 4.0 and v["export"] == others + 4.0
        assert v["json"] == (4.0, "model", model_feedback)
        assert v["txt"] == ("4.0", model_feedback)
        assert "Mark set by the teacher." not in v["hand-back"] and model_feedback in v["hand-back"]
        assert v["page"] == (4.0, 4.0, False) and v["agreement"] == 0
    finally:
        review.stop()


def test_empty_answers_are_not_answered_in_any_view(marked, results):
    _, evaluations, run = marked
    assert evaluations == 3 + 1  # every answer of full.pdf, and only Q1 of blank.pdf
    row = class_row(results, "blank.pdf")
    assert (row["Q2"], row["Q3"], row["status"]) == ("0.0", "0.0", "marked")
    assert "very short" not in row["warnings"]  # typed pages: no misreading to suspect
    records = report(results, "blank")
    assert [records[q]["student_answer"] for q in ("Q2", "Q3")] == ["", ""]
    assert [records[q]["marked_by"] for q in ("Q1", "Q2")] == ["model", ""]
    text = (results / "blank.txt").read_text(encoding="utf-8")
    assert "Attempted Questions: 1\n" in text
    assert text_block(results, "blank", "Q2").endswith("Status: \u274c Not attempted\n")
    assert "Not answered." in handback_block(results, "blank", "Q2")

    review = Review(results)
    try:
        _, data = review.api("GET", "/api/class")
        blank = next(s for s in data["sheets"] if s["file"] == "blank.pdf")
        assert [(c["state"], c["awarded"]) for c in blank["cells"]] == [
            ("marked", 2.0), ("not_answered", None), ("not_answered", None)]
        assert data["counts"]["answers"] == 4
        # The teacher finds Q2 written where the parse did not look, and marks it.
        status, answer = review.api("GET", f"/api/answer?sheet={blank['sheet']}&q=Q2")
        assert status == 200 and answer["answered"] is False and answer["sheet_pages"] == 1
        status, body = review.api("POST", "/api/change", {"sheet": blank["sheet"], "q_id": "Q2", "field": "awarded",
                                                          "value": "1,5"})
        assert status == 200, body
        assert body["answer"]["reviewed"]["awarded"] == 1.5
        _, data = review.api("GET", "/api/class")
        blank = next(s for s in data["sheets"] if s["file"] == "blank.pdf")
        assert [(c["state"], c["awarded"]) for c in blank["cells"]][1] == ("marked", 1.5)
        assert data["counts"]["answers_reviewed"] == 1 and data["counts"]["sheets_reviewed"] == 1
    finally:
        review.stop()
    row = class_row(results, "blank.pdf")
    assert (row["Q2"], row["total"]) == ("1.5", "3.5")
    assert (report(results, "blank")["Q2"]["obtained_marks"], report(results, "blank")["Q2"]["marked_by"]) == (
        1.5, "teacher")
    assert handback_block(results, "blank", "Q2").startswith("Q2 1.5 / 4 marks")


def test_agreement_takes_a_teachers_mark_for_an_answer_the_parse_did_not_find(results, tmp_path):
    marks = tmp_path / "marks.csv"
    marks.write_text("sheet,question,mark\nblank.pdf,Q3,2\nfull.pdf,Q1,2\n", encoding="utf-8")
    result = command.quorvan("agreement", results, "--teacher-marks", marks)
    assert result.returncode == 0, result.stderr
    assert "Stored 2 teacher's marks on 2 sheets" in result.stdout
    assert "AnswersheetService" not in result.stdout + result.stderr  # the library's own lines stay out
    assert class_row(results, "blank.pdf")["Q3"] == "2.0"
    assert report(results, "blank")["Q3"]["marked_by"] == "teacher"


def test_undo_takes_back_one_change_at_a_time_and_keep_clears_a_look_again_flag(results):
    review = Review(results)
    try:
        _, data = review.api("GET", "/api/class")
        sheet = next(s for s in data["sheets"] if s["file"] == "full.pdf")["sheet"]

        def send(path, **body):
            return review.api("POST", path, {"sheet": sheet, "q_id": "Q2", **body})

        assert send("/api/change", field="awarded", value=1)[0] == 200
        assert send("/api/change", field="criteria_met", value=[0])[0] == 200
        status, body = send("/api/undo")
        assert status == 200 and body["answer"]["reviewed"]["awarded"] == 1.0  # the ticks (and their mark) undone
        assert body["answer"]["reviewed"]["criteria_by_teacher"] is False
        status, body = send("/api/undo")
        assert status == 200 and body["answer"]["decision"] is None  # the typed mark undone: the model's stands
        status, body = send("/api/undo")
        assert status == 400 and "nothing to undo" in body["error"]
        status, body = send("/api/keep")
        assert status == 400 and "no look-again flag" in body["error"]
    finally:
        review.stop()


def test_a_second_review_on_a_port_in_use_is_refused_and_names_the_port(results):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = command.quorvan("review", results, "--no-browser", "--port", str(port))
    assert result.returncode == 1
    assert f"cannot listen on 127.0.0.1:{port}: the port is in use" in result.stderr
    assert "Traceback" not in result.stderr and "Review page" not in result.stdout


def test_an_approved_sheet_marked_again_since_is_flagged_and_left_out_of_the_export(results, tmp_path):
    import sqlite3

    with sqlite3.connect(results / "marking.db") as db:
        (sheet_id,) = db.execute("SELECT id FROM sheets WHERE path_given LIKE '%full.pdf'").fetchone()
        db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at) "
                   "VALUES (?, '', 'approved', 'null', 'true', 'ms.roy', '2026-12-08T10:00:00.000Z')", (sheet_id,))
        db.execute("UPDATE answers SET flags = ? WHERE sheet_id = ? AND q_id = 'Q1'",
                   (json.dumps([{"kind": "look_again", "note": "Q1: marked again since the teacher's decision: "
                                                               "look again"}]), sheet_id))
    target = tmp_path / "grades.csv"
    result = command.quorvan("export", results, "--to", "csv", "-o", target)
    assert result.returncode == 1
    assert "full.pdf (approved, but marked again since" in result.stderr
    result = command.quorvan("export", results, "--to", "csv", "--all", "--force", "-o", target)
    assert "full.pdf was approved, but the model marked it again since" in result.stderr
    with open(target, newline="", encoding="utf-8-sig") as f:
        assert {r["file"]: r["percentage"] for r in csv.DictReader(f)} == {"full.pdf": "100.0", "blank.pdf": "20.0"}
