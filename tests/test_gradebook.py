"""`quorvan export`: a marked class's totals as a gradebook file (plain CSV, Moodle's grade import, Canvas's
gradebook import), the teacher's decisions standing over the model's marks. Real PDFs, the real command, the
stand-in; the teacher's decisions are written into the store's events table as the review does."""

import csv
import io
import os
import re
import sqlite3
import stat
from pathlib import Path

import pytest

from tests.support.pdfs import write_text_pdf
from tests.test_class_run import FULL, calls, quorvan, sheet_text
from tests.test_fault_tolerance import paper_json


def decide(out, file, field, value, q_id=""):
    with sqlite3.connect(out / "marking.db") as db:
        (sheet_id,) = db.execute("SELECT id FROM sheets WHERE path_given LIKE ?", (f"%{file}",)).fetchone()
        db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at) "
                   "VALUES (?, ?, ?, 'null', ?, 'teacher', '2026-05-04T10:00:00.000Z')",
                   (sheet_id, q_id, field, value))


def read(path, bom=False):
    raw = path.read_bytes()
    assert raw.startswith("\ufeff".encode()) == bom
    return list(csv.reader(io.StringIO(raw.decode("utf-8-sig"), newline="")))


ROSTER = ("file,student_id,name,email,section\n"
          "anna.pdf,12,Anna Roy,anna@school.org,8B\n"
          "ben.pdf,13,=Ben Okafor,ben@school.org,8A\n"
          "chloe.pdf,14,Chloé Dubois,chloe@school.org,8B\n")


@pytest.fixture
def marked(standin, tmp_path):
    """A class of three marked against the stand-in, every student on the roster."""
    folder = tmp_path / "class"
    folder.mkdir()
    write_text_pdf(folder / "anna.pdf", sheet_text(FULL))
    write_text_pdf(folder / "ben.pdf", sheet_text(FULL[:1]))
    write_text_pdf(folder / "chloe.pdf", sheet_text(FULL))
    roster = tmp_path / "roster.csv"
    roster.write_text(ROSTER, encoding="utf-8")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), folder, "-o", out, "--roster", roster)
    assert result.returncode == 0, result.stderr
    standin.reset()
    return out


def test_approved_sheets_with_the_teachers_marks_as_plain_csv(marked, tmp_path, standin):
    decide(marked, "anna.pdf", "awarded", "0.5", "Q1")  # the teacher's mark stands over the model's 2
    decide(marked, "anna.pdf", "approved", "true")
    decide(marked, "ben.pdf", "approved", "true")
    target = tmp_path / "grades.csv"
    result = quorvan("export", marked, "--to", "csv", "-o", target)
    assert result.returncode == 0, result.stderr
    assert read(target, bom=True) == [
        ["student_id", "name", "email", "section", "total", "maximum", "percentage", "file"],
        ["12", "Anna Roy", "anna@school.org", "8B", "8.5", "10", "85.0", "anna.pdf"],
        ["13", "'=Ben Okafor", "ben@school.org", "8A", "2", "10", "20.0", "ben.pdf"],
    ]
    assert "Exported 2 students" in result.stdout
    assert "1 sheet is not approved yet" in result.stdout
    assert calls(standin) == []


def first_marked(out):
    """The date the class's paper was first marked against: its grade item tells two tests apart by it."""
    with sqlite3.connect(out / "marking.db") as db:
        return db.execute("SELECT substr(first_seen, 1, 10) FROM papers").fetchone()[0]


@pytest.mark.parametrize("fmt, expected", [
    ("moodle", [["ID number", "Science 8"], ["12", "10"], ["13", "2"], ["14", "10"]]),
    ("canvas", [["Student", "ID", "SIS User ID", "SIS Login ID", "Section", "Science 8"],
                ["Points Possible", "", "", "", "", "10"],
                ["Anna Roy", "", "12", "anna@school.org", "8B", "10"],
                ["'=Ben Okafor", "", "13", "ben@school.org", "8A", "2"],
                ["Chloé Dubois", "", "14", "chloe@school.org", "8B", "10"]]),
])
def test_every_marked_total_for_the_platforms(marked, tmp_path, fmt, expected):
    target = tmp_path / f"{fmt}.csv"
    result = quorvan("export", marked, "--to", fmt, "-o", target, "--all")
    assert result.returncode == 0, result.stderr
    item = f"Science 8 ({first_marked(marked)})"
    assert re.fullmatch(r"Science 8 \(\d{4}-\d\d-\d\d\)", item)
    header = expected[0][:-1] + [item]
    assert read(target) == [header, *expected[1:]]
    assert f'"{item}" out of 10' in result.stdout


def test_moodle_finds_students_by_email_when_some_lack_an_id(standin, tmp_path):
    write_text_pdf(tmp_path / "anna.pdf", sheet_text(FULL))
    roster = tmp_path / "roster.csv"
    roster.write_text("file;student_id;name;email\nanna.pdf;;Anna Roy;anna@school.org\n", encoding="utf-8")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper_json(tmp_path / "p.json"), tmp_path / "anna.pdf", "-o", out,
                   "--roster", roster).returncode == 0
    target = tmp_path / "moodle.csv"
    result = quorvan("export", out, "--to", "moodle", "-o", target, "--all", "--item", "Unit test 1")
    assert result.returncode == 0, result.stderr
    assert read(target) == [["Email address", "Unit test 1"], ["anna@school.org", "10"]]


def test_canvas_names_students_last_first_where_the_roster_gives_both(standin, tmp_path):
    for name in ("anna.pdf", "ben.pdf"):
        write_text_pdf(tmp_path / name, sheet_text(FULL))
    roster = tmp_path / "roster.csv"
    roster.write_text("file,student_id,first_name,last_name,name\nanna.pdf,12,Anna,Roy,\nben.pdf,13,,,Ben Okafor\n",
                      encoding="utf-8")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper_json(tmp_path / "p.json"), tmp_path / "anna.pdf", tmp_path / "ben.pdf",
                   "-o", out, "--roster", roster).returncode == 0
    target = tmp_path / "canvas.csv"
    assert quorvan("export", out, "--to", "canvas", "-o", target, "--all", "--item", "T1").returncode == 0
    assert [row[0] for row in read(target)] == ["Student", "Points Possible", "Roy, Anna", "Ben Okafor"]
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        assert [r["name"] for r in csv.DictReader(f)] == ["Anna Roy", "Ben Okafor"]  # other views: as people write it


def test_nothing_approved_writes_nothing(marked, tmp_path):
    target = tmp_path / "grades.csv"
    result = quorvan("export", marked, "--to", "csv", "-o", target)
    assert result.returncode == 1
    assert "nothing to export" in result.stderr and "--all" in result.stderr
    assert not target.exists()


@pytest.mark.parametrize("case", ["no identity", "existing file", "no store", "moodle without id or email",
                                  "the class file"])
def test_refusals_write_nothing(standin, tmp_path, case):
    write_text_pdf(tmp_path / "anna.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    target = tmp_path / "grades.csv"
    fmt = "csv"
    if case == "no store":
        out.mkdir()
    else:
        args = ["mark", "--paper", paper_json(tmp_path / "p.json"), tmp_path / "anna.pdf", "-o", out]
        if case != "no identity":
            roster = tmp_path / "roster.csv"
            roster.write_text("file,name\nanna.pdf,Anna Roy\n", encoding="utf-8")
            args += ["--roster", roster]
        assert quorvan(*args).returncode == 0
    if case == "existing file":
        target.write_text("the teacher's own file", encoding="utf-8")
    if case == "moodle without id or email":
        fmt = "moodle"
    if case == "the class file":
        target = out / "class_results.csv"
    before = target.read_bytes() if target.exists() else None
    result = quorvan("export", out, "--to", fmt, "-o", target, "--all")
    assert result.returncode == 2, result.stdout + result.stderr
    expected = {"no identity": "no student is known for anna.pdf",
                "existing file": "already exists: --force replaces it",
                "no store": "holds no marking.db",
                "moodle without id or email": "none is known for anna.pdf",
                "the class file": "it is the results folder's class_results.csv"}[case]
    assert expected in result.stderr
    assert (target.read_bytes() if target.exists() else None) == before


def test_force_replaces_an_earlier_export(marked, tmp_path):
    target = tmp_path / "grades.csv"
    target.write_text("old", encoding="utf-8")
    assert quorvan("export", marked, "--to", "canvas", "-o", target, "--all", "--force").returncode == 0
    assert read(target)[0][0] == "Student"


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_only_a_regular_file_is_replaced(marked, tmp_path, kind):
    if kind == "fifo":
        target = tmp_path / "pipe"
        os.mkfifo(target)
    else:
        target = Path("/dev/null")
    result = quorvan("export", marked, "--to", "csv", "-o", target, "--all", "--force")
    assert result.returncode == 2
    assert f"will not write {target}: it is not a regular file" in result.stderr
    mode = target.stat().st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISCHR(mode)
