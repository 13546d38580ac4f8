"""A class run as a teacher lives it: re-runs that continue, late students, edited papers, re-scanned sheets,
interrupted runs, and a class file that reads right in a spreadsheet. Real PDFs, the real command, the stand-in."""

import csv
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tests.support import command
from tests.support.pdfs import write_text_pdf
from tests.test_fault_tolerance import QUESTIONS, class_of, paper_json

QUORVAN = Path(sys.executable).parent / "quorvan"


def quorvan(*args, **kwargs):
    return command.quorvan(*args, **kwargs)


def table(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: r for r in csv.DictReader(f)}


def calls(standin, schema=None):
    names = [r["response_format"]["json_schema"]["name"] for r in standin.requests]
    return names if schema is None else names.count(schema)


def marks(row):
    return {k.split(" ")[0]: v for k, v in row.items() if k.startswith("Q")}


def sheet_text(answers):
    return ["\n\n".join(f"{q_id}. {text}" for q_id, text in answers)]


FULL = [(q_id, reference) for q_id, _, _, reference in QUESTIONS]


def test_a_failed_answer_is_sent_again_alone_and_nothing_else_is_billed_twice(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 3)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.inject("500", count=1, schema="EvaluationResponse")
    first = quorvan("mark", "--paper", paper, sheets, "-o", out, "--retries", 0)
    assert first.returncode == 1
    rows = table(out)
    incomplete = [name for name, row in rows.items() if row["status"] == "incomplete"]
    assert len(incomplete) == 1
    row = rows[incomplete[0]]
    blank = [q for q, v in marks(row).items() if v == ""]
    assert len(blank) == 1 and f"{blank[0]} not marked: server error (500)" in row["warnings"]
    assert f"{incomplete[0]}: {blank[0]} not marked: server error (500)" in first.stderr

    standin.reset()
    second = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert second.returncode == 0, second.stderr
    assert calls(standin) == ["EvaluationResponse"]  # the one unmarked answer, nothing else
    assert f"{incomplete[0]}: continuing: {blank[0]} not marked before" in second.stdout
    assert "kept: marked before with the same PDF and paper" in second.stdout
    assert {r["status"] for r in table(out).values()} == {"marked"}
    assert marks(table(out)[incomplete[0]])[blank[0]] != ""

    standin.reset()
    third = quorvan("mark", "--paper", paper, sheets, "-o", out, "--resume")  # the old flag still works
    assert third.returncode == 0 and calls(standin) == []
    assert "3 answer sheets: 0 new, 3 kept, 0 to mark again or continue" in third.stdout


def test_a_late_student_joins_the_class_file(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    early = write_text_pdf(tmp_path / "early.pdf", sheet_text(FULL))
    late = write_text_pdf(tmp_path / "late.pdf", sheet_text(FULL[:1]))
    assert quorvan("mark", "--paper", paper, early, "-o", out).returncode == 0
    before = table(out)["early.pdf"]
    standin.reset()
    assert quorvan("mark", "--paper", paper, late, "-o", out).returncode == 0
    rows = table(out)
    assert list(rows) == ["early.pdf", "late.pdf"]
    assert rows["early.pdf"] == before
    assert calls(standin) == ["AnswersheetResponse", "EvaluationResponse"]
    # not attempted is 0, so an average over a column is right
    assert marks(rows["late.pdf"])["Q2"] == marks(rows["late.pdf"])["Q3"] == "0.0"


def test_sheets_are_identified_by_path_not_name(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    a, b = tmp_path / "class_a", tmp_path / "class_b"
    a.mkdir(), b.mkdir()
    write_text_pdf(a / "alice.pdf", sheet_text(FULL))
    write_text_pdf(b / "alice.pdf", sheet_text(FULL[:1]))
    first = quorvan("mark", "--paper", paper, a, b, a / "alice.pdf", "-o", out)  # the same file twice is one sheet
    assert first.returncode == 0, first.stderr
    rows = table(out)
    assert sorted(rows) == sorted([str(a / "alice.pdf"), str(b / "alice.pdf")])
    assert calls(standin, "AnswersheetResponse") == 2
    totals = {name: row["total"] for name, row in rows.items()}
    assert totals[str(a / "alice.pdf")] == "10.0" and totals[str(b / "alice.pdf")] == "2.0"
    assert sorted(p.name for p in out.glob("*.json")) == ["alice-2.json", "alice.json"]

    standin.reset()
    swapped = quorvan("mark", "--paper", paper, b, a, "-o", out)
    assert swapped.returncode == 0 and calls(standin) == []
    assert {name: row["total"] for name, row in table(out).items()} == totals


def test_an_edited_paper_marks_again_only_the_changed_question(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    write_text_pdf(sheets / "short.pdf", sheet_text(FULL[:1] + FULL[2:]))  # no answer to Q2
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    data = json.loads(paper.read_text(encoding="utf-8"))
    data["questions"][1]["rubric"]["criteria"][0]["statement"] = "Names the four chambers"
    paper.write_text(json.dumps(data, indent=2), encoding="utf-8")
    standin.reset()
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert calls(standin) == ["EvaluationResponse"] * 2  # Q2 of the two sheets that answered it
    assert all("Names the four chambers" in r["messages"][-1]["content"] for r in standin.requests)
    assert "short.pdf: kept" in result.stdout and "continuing: Q2 changed in the paper" in result.stdout

    # whitespace and key order are no change
    paper.write_text(json.dumps(data, sort_keys=True), encoding="utf-8")
    standin.reset()
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0 and calls(standin) == []


def test_a_rescanned_sheet_is_marked_again_and_force_marks_from_scratch(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL[:1]))
    assert quorvan("mark", "--paper", paper, sheet, "-o", out).returncode == 0
    assert table(out)["s.pdf"]["total"] == "2.0"
    write_text_pdf(sheet, sheet_text(FULL))
    standin.reset()
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert "s.pdf: marking again: the PDF changed since it was marked" in result.stdout
    assert calls(standin) == ["AnswersheetResponse"] + ["EvaluationResponse"] * 3
    assert table(out)["s.pdf"]["total"] == "10.0"
    standin.reset()
    forced = quorvan("mark", "--paper", paper, sheet, "-o", out, "--force")
    assert "s.pdf: marking again from scratch (--force)" in forced.stdout
    assert calls(standin) == ["AnswersheetResponse"] + ["EvaluationResponse"] * 3


def stored_marks(out):
    if not (out / "marking.db").exists():
        return 0
    try:
        with sqlite3.connect(out / "marking.db") as db:
            return db.execute("SELECT count(*) FROM answers WHERE status = 'marked'").fetchone()[0]
    except sqlite3.OperationalError:  # the command is still creating its tables
        return 0


@pytest.mark.parametrize("how, status", [("kill", -signal.SIGKILL), ("int", 130), ("term", 143)])
def test_an_interrupted_run_keeps_what_it_stored_and_the_next_run_finishes(standin, tmp_path, how, status):
    sheets = class_of(tmp_path / "sheets", 6)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.delay = 0.15
    proc = subprocess.Popen([str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(out),
                             "--max-concurrent", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if stored_marks(out) >= 3:
            break
        time.sleep(0.05)
    proc.send_signal({"kill": signal.SIGKILL, "int": signal.SIGINT, "term": signal.SIGTERM}[how])
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == status
    assert "Traceback" not in stderr
    kept = stored_marks(out)
    assert 3 <= kept < 18
    if how != "kill":
        assert "Run the same command again to continue where this run stopped." in stdout
        assert re.search(r"Interrupted: \d+ of 6 answer sheets are marked", stdout)
        assert "marking.log" and (out / "marking.log").read_text(encoding="utf-8").strip()

    standin.delay = 0
    standin.reset()
    again = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert again.returncode == 0, again.stderr
    assert calls(standin, "EvaluationResponse") == 18 - kept
    assert {r["status"] for r in table(out).values()} == {"marked"}


def test_the_class_file_reads_right_in_a_spreadsheet(standin, tmp_path):
    paper = tmp_path / "paper.json"
    data = json.loads(paper_json(paper).read_text(encoding="utf-8"))
    data["questions"][0]["question_text"] = "Définissez la photosynthèse."
    paper.write_text(json.dumps(data, ensure_ascii=False), encoding="utf-8-sig")  # saved "UTF-8 with BOM"
    folder = tmp_path / "sheets"
    folder.mkdir()
    for name in ["=1+1", "+cmd", "-x", "@SUM(A1)", "Zoë"]:
        write_text_pdf(folder / f"{name}.pdf", sheet_text(FULL[:2]))
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, folder, "-o", out).returncode == 0
    raw = (out / "class_results.csv").read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    header, *rows = list(csv.reader(raw.decode("utf-8-sig").splitlines()))
    assert header == ["file", "Q1 (2)", "Q2 (4)", "Q3 (4)", "total", "maximum", "percentage", "warnings", "status"]
    files = [row[0] for row in rows]
    assert sorted(files) == sorted(["'+cmd.pdf", "'-x.pdf", "'=1+1.pdf", "'@SUM(A1).pdf", "Zoë.pdf"])
    for row in rows:
        assert row[1:5] == ["2.0", "4.0", "0.0", "6.0"] and row[5:7] == ["10.0", "60.0"] and row[8] == "marked"
    with sqlite3.connect(out / "marking.db") as db:
        assert {r[0] for r in db.execute("SELECT path_given FROM sheets")} >= {str(folder / "=1+1.pdf")}


def test_the_store_is_readable_and_the_log_names_each_sheet(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        assert db.execute("PRAGMA user_version").fetchone()[0] == 3
        sheet_rows = db.execute("SELECT path_given, sha256, status, paper_fingerprint FROM sheets").fetchall()
        assert [(Path(p).name, s) for p, _, s, _ in sheet_rows] == [("s00.pdf", "marked"), ("s01.pdf", "marked")]
        assert all(len(sha) == 64 and len(fp) == 64 for _, sha, _, fp in sheet_rows)
        answers = db.execute("SELECT q_id, status, awarded, maximum, criteria_met, pages, model, input_tokens, "
                             "cost, marked_at FROM answers ORDER BY sheet_id, position").fetchall()
        assert [a[:4] for a in answers[:3]] == [("Q1", "marked", 2.0, 2.0), ("Q2", "marked", 4.0, 4.0),
                                                ("Q3", "marked", 4.0, 4.0)]
        assert all(a[4] == "[0, 1]" and a[5] == "[1]" and a[6] and a[7] > 0 and a[8] > 0 and a[9] for a in answers)
    log = (out / "marking.log").read_text(encoding="utf-8").splitlines()
    assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", line) for line in log)
    for name in ("s00.pdf", "s01.pdf"):
        assert any(line[20:].startswith(f"[{name}] [AnswersheetService]: ") for line in log)


def test_a_closed_terminal_ends_quietly(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 3)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    result = subprocess.run(f"'{QUORVAN}' mark --paper '{paper}' '{sheets}' -o '{out}' | head -c 1",
                            shell=True, capture_output=True, text=True, timeout=300, env=dict(os.environ))
    assert result.stderr == ""
    assert {r["status"] for r in table(out).values()} == {"marked"}


def test_every_option_of_mark(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.inject("429", count=1, schema="EvaluationResponse")
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--format", "txt", "--workers", 1,
                     "--extractor", "local", "--dpi", 100, "--max-concurrent", 1, "--requests-per-minute", 1000,
                     "--retries", 1, "--timeout", 30, "--verbose")
    assert result.returncode == 0, result.stderr
    assert standin.max_in_flight == 1
    assert calls(standin, "EvaluationResponse") == 7  # six answers, one of them twice
    assert sorted(p.name for p in out.iterdir() if p.suffix in (".txt", ".json")) == ["s00.txt", "s01.txt"]
    assert "[AnswersheetService]: " in result.stdout  # --verbose: the library's lines on the terminal
    standin.reset()
    again = quorvan("mark", "--paper", paper, sheets, "-o", out, "--format", "both", "--resume")
    assert again.returncode == 0 and calls(standin) == []
    assert sorted(p.name for p in out.iterdir() if p.suffix in (".txt", ".json")) == [
        "s00.json", "s00.txt", "s01.json", "s01.txt"]


@pytest.mark.parametrize("retries, cause", [(0, "timed out"), (1, "timed out after 2 tries")])
def test_a_call_that_outlasts_the_timeout_is_tried_again_then_reported(standin, tmp_path, retries, cause):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL[:1]))
    out = tmp_path / "results"
    standin.slow_delay = 3
    standin.inject("slow", every=1, schema="EvaluationResponse")
    result = quorvan("mark", "--paper", paper, sheet, "-o", out, "--timeout", 1, "--retries", retries)
    assert result.returncode == 1
    assert table(out)["s.pdf"]["warnings"].startswith(f"Q1 not marked: {cause};")
    assert calls(standin, "EvaluationResponse") == retries + 1


@pytest.mark.parametrize("args, message", [
    (["--retries", "-1"], "--retries must be at least 0"),
    (["--timeout", "0"], "--timeout must be more than 0 seconds"),
    (["--workers", "0"], "--workers must be at least 1"),
])
def test_bad_option_values_are_usage_errors(tmp_path, args, message):
    paper = paper_json(tmp_path / "paper.json")
    result = quorvan("mark", "--paper", paper, write_text_pdf(tmp_path / "s.pdf", ["Q1. x"]), "-o", tmp_path / "o",
                     *args)
    assert result.returncode == 2 and message in result.stderr


def test_mark_refuses_a_paper_it_cannot_mark_right_before_any_call(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    data = json.loads(paper.read_text(encoding="utf-8"))
    data["questions"][0]["rubric"]["criteria"].append({"statement": "Extra", "mark": 1})  # 3 marks for a 2-mark question
    data["questions"].append(dict(data["questions"][2]))  # Q3 twice
    data["questions"][1]["max_marks"] = 0
    paper.write_text(json.dumps(data), encoding="utf-8-sig")
    sheet = write_text_pdf(tmp_path / "s.pdf", sheet_text(FULL))
    result = quorvan("mark", "--paper", paper, sheet, "-o", tmp_path / "out")
    assert result.returncode == 2 and standin.requests == []
    problems = [line for line in result.stderr.splitlines() if line.startswith("  - ")]
    assert problems == ["  - Q1: criteria add up to 3.0 marks, max_marks is 2.0",
                        "  - Q2: \"max_marks\" is 0: set the question's marks (a number above 0)",
                        "  - Q3 (question 3): the same id as question 4; each question needs its own id"]
    assert not (tmp_path / "out" / "class_results.csv").exists()

    pdf_paper = write_text_pdf(tmp_path / "paper.pdf", ["Q1. Define photosynthesis. [2]"])
    result = quorvan("mark", "--paper", pdf_paper, sheet, "-o", tmp_path / "out")
    assert result.returncode == 2 and "codec" not in result.stderr
    assert f"quorvan paper {pdf_paper} --subject SUBJECT --class-level LEVEL -o paper.json" in result.stderr


def test_flags_in_the_store_are_warnings_in_the_class_file_and_a_reread_clears_the_sheets(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    sheet = write_text_pdf(tmp_path / "ada.pdf", sheet_text(FULL))
    assert quorvan("mark", "--paper", paper, sheet, "-o", out).returncode == 0
    with sqlite3.connect(out / "marking.db") as db:
        db.execute("""UPDATE sheets SET flags = '[{"kind": "k", "note": "page 1: looked at twice"}]'""")
        db.execute("""UPDATE answers SET flags = '[{"kind": "k", "note": "Q2: addressed to the marker"}]'
                      WHERE q_id = 'Q2'""")
    standin.reset()
    assert quorvan("mark", "--paper", paper, sheet, "-o", out).returncode == 0
    assert calls(standin) == []
    row = table(out)["ada.pdf"]
    assert row["warnings"] == "page 1: looked at twice; Q2: addressed to the marker"
    assert row["status"] == "marked"

    # Marked again from scratch: what the sheet as read shows replaces the old flags.
    assert quorvan("mark", "--paper", paper, sheet, "-o", out, "--force").returncode == 0
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("SELECT flags FROM sheets").fetchall() == [("[]",)]
        assert {f for (f,) in db.execute("SELECT flags FROM answers")} == {"[]"}
    assert table(out)["ada.pdf"]["warnings"] == ""
