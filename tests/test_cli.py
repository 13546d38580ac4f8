"""The quorvan command, run as a user runs it (in this process, as the installed script calls it) against the
model stand-in."""

import csv
import json
import os
import shutil
from pathlib import Path

import pytest

from tests.support import command
from tests.support.pdfs import write_not_pdf, write_text_pdf, write_truncated_pdf

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def quorvan(*args, env=None):
    return command.quorvan(*args, env=env)


@pytest.fixture
def env(standin):
    return dict(os.environ)


@pytest.fixture(scope="module")
def paper_json(tmp_path_factory):
    """The example paper through `quorvan paper`, once for the module's tests."""
    from tests.support.standin import StandIn

    out = tmp_path_factory.mktemp("paper") / "paper.json"
    with StandIn() as server:
        env = dict(os.environ, OPENAI_BASE_URL=server.base_url, OPENAI_API_KEY="sk-test")
        result = quorvan("paper", EXAMPLES / "question_paper.pdf", "--subject", "Science", "--class-level", "Class 8",
                         "-o", out, env=env)
    assert result.returncode == 0, result.stderr
    return out, result


def rows(csv_path):
    """The class file's rows, keyed by question id without the maximum the header shows ("Q1 (2)")."""
    with open(csv_path, newline="", encoding="utf-8-sig") as f:
        return [{k.split(" (")[0]: v for k, v in r.items()} for r in csv.DictReader(f)]


def test_paper_exports_questions_with_rubrics_and_reference_answers(paper_json):
    path, result = paper_json
    data = json.loads(path.read_text(encoding="utf-8"))
    assert (data["subject"], data["language"], data["class_level"]) == ("Science", "English", "Class 8")
    assert [q["q_id"] for q in data["questions"]] == ["Q1", "Q2", "Q3", "Q4"]
    assert [q["max_marks"] for q in data["questions"]] == [2.0, 4.0, 4.0, 5.0]
    for q in data["questions"]:
        assert sum(c["mark"] for c in q["rubric"]["criteria"]) == q["max_marks"]
        assert q["reference_answer"].strip()
    out = result.stdout.splitlines()
    assert out[0] == "Question paper: Science, English, Class 8 - 4 questions, 15.0 marks"
    assert out[1].split()[:3] == ["Q1", "2.0", "marks"]
    assert any(line.startswith("Exported to ") for line in out)
    assert any(line.startswith("Token usage: ") for line in out)
    # the library's own progress lines went to the log, not the terminal
    log = path.with_suffix(".log").read_text(encoding="utf-8")
    assert "[QuestionPaperService] Processing question paper PDF: " in log
    assert "[QuestionPaperService]" not in result.stdout


def test_mark_a_class(paper_json, env, tmp_path, standin):
    paper, _ = paper_json
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, EXAMPLES / "sheets", "-o", out, "--max-concurrent", 3, env=env)
    assert result.returncode == 0, result.stderr + result.stdout
    table = {r["file"]: r for r in rows(out / "class_results.csv")}
    assert list(table) == ["alice.pdf", "bilal.pdf", "chen.pdf"]
    assert all(r["status"] == "marked" and r["maximum"] == "15.0" for r in table.values())
    assert float(table["alice.pdf"]["total"]) > float(table["bilal.pdf"]["total"]) > 0
    assert table["bilal.pdf"]["Q3"] == "0.0" and table["chen.pdf"]["Q4"] == "0.0"  # not attempted
    assert float(table["chen.pdf"]["Q1"]) > 0  # read from a scan by OCR
    for name in ("alice", "bilal", "chen"):
        report = json.loads((out / f"{name}.json").read_text(encoding="utf-8"))
        assert [r["qid"] for r in report] == ["Q1", "Q2", "Q3", "Q4"]
        assert "Evaluation: " in (out / f"{name}.txt").read_text(encoding="utf-8")
    bilal = json.loads((out / "bilal.json").read_text(encoding="utf-8"))
    assert bilal[3]["answer_pages"] == [1, 2]  # Q4 runs onto the second page
    assert standin.max_in_flight <= 3
    assert "Marked all 3 answer sheets in " in result.stdout
    assert result.stdout.count("alice.pdf") >= 2  # a line as it finished and a row of the table


def test_one_failing_sheet_never_stops_the_others(paper_json, env, tmp_path):
    paper, _ = paper_json
    sheets = tmp_path / "sheets"
    shutil.copytree(EXAMPLES / "sheets", sheets)
    write_not_pdf(sheets / "notes.pdf")
    write_truncated_pdf(sheets / "torn.pdf", EXAMPLES / "sheets" / "alice.pdf", keep=0.3)
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--format", "json", env=env)
    assert result.returncode == 1
    table = {r["file"]: r for r in rows(out / "class_results.csv")}
    assert [table[f]["status"] for f in ("alice.pdf", "bilal.pdf", "chen.pdf")] == ["marked"] * 3
    assert table["notes.pdf"]["status"] == table["torn.pdf"]["status"] == "failed"
    assert "not a PDF" in table["notes.pdf"]["warnings"]
    assert (out / "alice.json").exists() and not (out / "notes.json").exists()
    assert "Marked 3 of 5 answer sheets in " in result.stdout


def test_a_model_failure_fails_only_its_sheet(paper_json, env, tmp_path, standin):
    paper, _ = paper_json
    standin.inject("500", schema="AnswersheetResponse")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, EXAMPLES / "sheets", "-o", out, "--retries", 0, env=env)
    assert result.returncode == 1
    statuses = sorted(r["status"] for r in rows(out / "class_results.csv"))
    assert statuses == ["failed", "marked", "marked"]
    failed = next(r for r in rows(out / "class_results.csv") if r["status"] == "failed")
    assert failed["warnings"] == "Failed to parse answersheet: server error (500)"


def test_resume_keeps_sheets_already_marked(paper_json, env, tmp_path, standin):
    paper, _ = paper_json
    out = tmp_path / "results"
    first = quorvan("mark", "--paper", paper, EXAMPLES / "sheets" / "alice.pdf", "-o", out, env=env)
    assert first.returncode == 0
    alice_total = rows(out / "class_results.csv")[0]["total"]
    calls = len(standin.requests)
    second = quorvan("mark", "--paper", paper, EXAMPLES / "sheets" / "alice.pdf", EXAMPLES / "sheets" / "chen.pdf",
                     "-o", out, "--resume", env=env)
    assert second.returncode == 0, second.stdout
    table = {r["file"]: r for r in rows(out / "class_results.csv")}
    assert table["alice.pdf"]["status"] == table["chen.pdf"]["status"] == "marked"
    assert table["alice.pdf"]["total"] == alice_total
    assert "alice.pdf: kept: marked before with the same PDF and paper" in second.stdout
    assert len(standin.requests) - calls == 1 + 3  # chen alone: its parse and three answers


@pytest.mark.parametrize("args, message", [
    (["mark", "--paper", "missing.json", "x.pdf", "-o", "o"], "question paper file not found: missing.json"),
    (["mark", "--paper", "{paper}", "nowhere", "-o", "o"], "no such answer sheet or folder: nowhere"),
    (["mark", "--paper", "{paper}", "{sheet}", "-o", "o", "--max-concurrent", "0"], "--max-concurrent must be at least 1"),
    (["mark", "--paper", "{bad}", "{sheet}", "-o", "o"], "bad.json cannot be used for marking:\n  - \"questions\" is missing"),
    (["paper", "{sheet}", "--subject", "S", "--class-level", "C", "--pages", "2-1", "-o", "p.json"], "invalid page range"),
    (["paper", "none.pdf", "--subject", "S", "--class-level", "C", "-o", "p.json"], "question paper not found: none.pdf"),
    (["mark", "--paper", "{paper}"], "the following arguments are required"),
    # Numbers no count can hold are refused, not a crash.
    (["mark", "--paper", "{paper}", "{sheet}", "-o", "o", "--workers", "9" * 25], "--workers is too large"),
    (["mark", "--paper", "{paper}", "{sheet}", "-o", "o", "--retries", "9" * 25], "--retries is too large"),
    (["review", "o", "--port", "9" * 25], "--port must be from 0 (any free port) to 65535"),
])
def test_usage_errors_exit_with_status_2(env, tmp_path, paper_json, args, message):
    bad = tmp_path / "bad.json"
    bad.write_text('{"subject": "S", "class_level": "C"}')
    sheet = write_text_pdf(tmp_path / "s.pdf", ["Q1. x"])
    args = [a.format(paper=paper_json[0], sheet=sheet, bad=bad) for a in args]
    result = quorvan(*args, env=env)
    assert result.returncode == 2
    assert message in result.stderr and result.stderr.startswith("usage: quorvan ")
