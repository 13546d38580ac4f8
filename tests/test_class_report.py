"""The class report and the hand-back PDFs as `quorvan mark` leaves them: real PDFs, the real command, the
stand-in for the model, the hand-backs read back with Poppler's pdftotext."""

import csv
import html
import re
import sqlite3
import subprocess
from pathlib import Path

import pytest

from tests.support.pdfs import write_text_pdf
from tests.test_class_run import FULL, calls, quorvan, sheet_text
from tests.test_fault_tolerance import QUESTIONS, paper_json

DEVANAGARI = "अनन्या शर्मा"
CHINESE = "王芳"


def pdf_text(path):
    return subprocess.run(["pdftotext", "-layout", str(path), "-"], capture_output=True, text=True, check=True).stdout


def pdf_pages(path):
    info = subprocess.run(["pdfinfo", str(path)], capture_output=True, text=True, check=True).stdout
    return int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))


def table(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: r for r in csv.DictReader(f)}


def report(out):
    return (out / "class_report.html").read_text(encoding="utf-8")


def cells(page):
    """The report's table rows as lists of cell texts, tags removed, entities decoded."""
    rows = []
    for row in re.findall(r"<tr[^>]*>(.*?)</tr>", page, re.S):
        rows.append([html.unescape(re.sub(r"<[^>]+>", "", c)).strip()
                     for c in re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row, re.S)])
    return rows


def fmt(value):
    return f"{value:.2f}".rstrip("0").rstrip(".")


@pytest.fixture
def marked_class(standin, tmp_path):
    """Three sheets: a Devanagari file name, one that leaves Q3 out, one whose student is named later."""
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / f"{DEVANAGARI}.pdf", sheet_text(FULL))
    write_text_pdf(sheets / "s01.pdf", sheet_text(FULL[:2]))
    write_text_pdf(sheets / "wang.pdf", sheet_text([(q, "I do not know.") for q, _ in FULL]))
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    run = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert run.returncode == 0, run.stderr
    return sheets, paper, out


def test_the_report_shows_what_the_class_file_and_the_store_hold(marked_class):
    _, _, out = marked_class
    page = report(out)
    assert page.startswith("<!DOCTYPE html>")
    for outside in ("<script", "<link", "src=", "http://", "https://", "url("):
        assert outside not in page
    rows = table(out)
    by_question = {row[0]: row for row in cells(page) if row and re.fullmatch(r"Q\d", row[0]) and len(row) == 7}
    assert set(by_question) == {q for q, *_ in QUESTIONS}
    for q_id, _, maximum, _ in QUESTIONS:
        marks = sorted(float(r[f"{q_id} ({fmt(maximum)})"]) for r in rows.values())
        mean = sum(marks) / len(marks)
        _, shown_max, answers, shown_mean, shown_median, facility, _ = by_question[q_id]
        assert (shown_max, answers, shown_mean, shown_median) == (fmt(maximum), "3", fmt(mean), fmt(marks[1]))
        assert float(facility) == pytest.approx(mean / maximum, abs=0.005)
    # Every sheet is marked: the histogram counts three, and no sheet needs a look.
    assert sum(int(n) for n in re.findall(r'class="n">(\d+)</text>', page)) == 3
    assert "No sheet is flagged, failed or has answers not marked." in page

    db = sqlite3.connect(out / "marking.db")
    tokens_in, tokens_out, cost = db.execute(
        "SELECT (SELECT SUM(parse_input_tokens) FROM sheets) + (SELECT SUM(input_tokens) FROM answers),"
        " (SELECT SUM(parse_output_tokens) FROM sheets) + (SELECT SUM(output_tokens) FROM answers),"
        " (SELECT SUM(parse_cost) FROM sheets) + (SELECT SUM(cost) FROM answers)").fetchone()
    models = {m for (m,) in db.execute("SELECT parse_model FROM sheets UNION SELECT model FROM answers") if m}
    assert tokens_in > 0 and models
    usage = dict(re.findall(r"<dt>(.*?)</dt><dd>(.*?)</dd>", page))
    assert usage["Input tokens"] == f"{tokens_in:,}"
    assert usage["Output tokens"] == f"{tokens_out:,}"
    assert usage["Cost"] == f"${cost:.6f}"
    assert set(usage["Model"].split(", ")) == models


def test_each_marked_sheet_gets_a_hand_back_in_its_students_script(marked_class):
    _, _, out = marked_class
    rows = table(out)
    files = sorted(p.name for p in (out / "feedback").iterdir())
    assert files == sorted([f"{DEVANAGARI}.pdf", "s01.pdf", "wang.pdf"])

    text = pdf_text(out / "feedback" / f"{DEVANAGARI}.pdf")
    assert DEVANAGARI in text
    row = rows[f"{DEVANAGARI}.pdf"]
    assert f"Total: {fmt(float(row['total']))} / {fmt(float(row['maximum']))}" in text
    for q_id, _, maximum, _ in QUESTIONS:
        assert re.search(rf"{q_id}\s+{fmt(float(row[f'{q_id} ({fmt(maximum)})']))} / {fmt(maximum)} marks", text)
    assert "Feedback" in text

    # The question left out is said to be, under its own text, with no criteria or feedback of its own.
    s01 = pdf_text(out / "feedback" / "s01.pdf")
    q3 = s01[s01.index("Q3"):]
    assert re.match(r"Q3\s+0 / 4 marks\s+State two differences between conductors and insulators\.\s+Not answered\.", q3)
    assert "Criteria" not in q3
    # The student who knew nothing missed criteria, each shown with its marks.
    wang = pdf_text(out / "feedback" / "wang.pdf")
    assert "Criteria missed" in wang and "States the key idea of Q2 (2 marks)" in wang


def test_a_named_student_and_a_teachers_mark_reach_the_hand_back_without_a_model_call(marked_class, standin):
    sheets, paper, out = marked_class
    db = sqlite3.connect(out / "marking.db")
    with db:
        db.execute("UPDATE sheets SET student_id = 'S-07', student_name = ?, identity_source = 'roster'"
                   " WHERE report_name = 'wang'", (CHINESE,))
        (wang_id,) = db.execute("SELECT id FROM sheets WHERE report_name = 'wang'").fetchone()
        db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at)"
                   " VALUES (?, 'Q2', 'awarded', '0.0', '3.5', 'teacher', '2025-01-01T00:00:00.000Z')", (wang_id,))
        db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at)"
                   " VALUES (?, 'Q2', 'feedback', '\"\"', ?, 'teacher', '2025-01-01T00:00:00.000Z')",
                   (wang_id, '"Seen in class: <b>good</b> & clear."'))
    db.close()
    standin.reset()
    again = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert again.returncode == 0, again.stderr
    assert calls(standin) == []

    # The hand-back follows the student's name; the one under the file name was ours and goes.
    assert not (out / "feedback" / "wang.pdf").exists()
    text = pdf_text(out / "feedback" / f"{CHINESE}.pdf")
    assert CHINESE in text and "Student ID: S-07" in text
    assert re.search(r"Q2\s+3.5 / 4 marks", text)
    assert "Seen in class: <b>good</b> & clear." in text
    # The report counts the teacher's mark and shows the student by name.
    model_q2 = {name: float(row["Q2 (4)"]) for name, row in table(out).items()}
    model_q2["wang.pdf"] = 3.5
    q2 = next(row for row in cells(report(out)) if row and row[0] == "Q2" and len(row) == 7)
    assert q2[3] == fmt(sum(model_q2.values()) / 3)


def test_files_we_did_not_write_are_left_alone(standin, tmp_path):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / "s01.pdf", sheet_text(FULL))
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    (out / "feedback").mkdir(parents=True)
    (out / "feedback" / "s01.pdf").write_bytes(b"the teacher's own scan")
    (out / "feedback" / "old.pdf").write_bytes(b"not ours either")
    (out / "class_report.html").write_text("my notes", encoding="utf-8")
    run = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert (out / "feedback" / "s01.pdf").read_bytes() == b"the teacher's own scan"
    assert (out / "feedback" / "old.pdf").read_bytes() == b"not ours either"
    assert (out / "class_report.html").read_text(encoding="utf-8") == "my notes"
    assert "class_report.html not written: it is a file quorvan mark did not write" in run.stderr
    assert "s01.pdf not written: it is a file quorvan mark did not write" in run.stderr


def test_a_link_in_place_of_the_feedback_folder_is_not_followed(standin, tmp_path):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / "s01.pdf", sheet_text(FULL))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    out = tmp_path / "results"
    out.mkdir()
    (out / "feedback").symlink_to(elsewhere)
    run = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", out)
    assert list(elsewhere.iterdir()) == []
    assert "hand-backs not written" in run.stderr


def test_an_unmarked_answer_shows_in_the_report_and_withholds_the_hand_back(standin, tmp_path):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    # A file name with markup in it is shown as text.
    write_text_pdf(sheets / "<b>x&y.pdf", sheet_text(FULL))
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.inject("500", count=1, schema="EvaluationResponse")
    run = quorvan("mark", "--paper", paper, sheets, "-o", out, "--retries", 0)
    assert run.returncode == 1
    page = report(out)
    assert "<b>x" not in page and "&lt;b&gt;x&amp;y.pdf" in page
    flagged = next(row for row in cells(page) if row and row[0] == "<b>x&y.pdf")
    assert flagged[1] == "incomplete" and "not marked: server error (500)" in flagged[2]
    assert not (out / "feedback").exists() or list((out / "feedback").iterdir()) == []

    # Once the answer is marked, the hand-back follows.
    standin.reset()
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    (handback,) = (out / "feedback").iterdir()
    assert "<" not in handback.name and ">" not in handback.name
    assert pdf_pages(handback) == 1
