"""quorvan agreement: a teacher's marks imported next to the model's, and the figures of how they agree, on a
class marked by the real command against the stand-in."""

import csv
import json
import os
import shutil
import sqlite3
from pathlib import Path

import pytest

from tests.support import command
from tests.support.pdfs import write_text_pdf
from tests.test_fault_tolerance import QUESTIONS, paper_json

FULL = {q_id: reference for q_id, _, _, reference in QUESTIONS}
# What the stand-in gives these sheets: every criterion of a full answer, none of a blank-minded one.
MODEL = {("a.pdf", "Q1"): 2.0, ("a.pdf", "Q2"): 4.0, ("a.pdf", "Q3"): 4.0,
         ("b.pdf", "Q1"): 2.0, ("b.pdf", "Q2"): 0.0, ("b.pdf", "Q3"): 4.0}


def run(*args, env=None):
    return command.quorvan(*args, env=env)


@pytest.fixture(scope="module")
def marked_class(tmp_path_factory):
    """A results folder of two sheets, marked once for the whole module."""
    from tests.support.standin import StandIn

    root = tmp_path_factory.mktemp("class")
    sheets = root / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / "a.pdf", ["\n\n".join(f"{q}. {t}" for q, t in FULL.items())])
    answers = dict(FULL, Q2="I do not remember this topic at all.")
    write_text_pdf(sheets / "b.pdf", ["\n\n".join(f"{q}. {t}" for q, t in answers.items())])
    paper = paper_json(root / "paper.json")
    with StandIn() as server:
        env = dict(os.environ, OPENAI_API_KEY="sk-test-key", OPENAI_BASE_URL=server.base_url)
        done = run("mark", "--paper", paper, sheets, "-o", root / "results", env=env)
    assert done.returncode == 0, done.stderr
    return root / "results"


@pytest.fixture
def out(marked_class, tmp_path):
    copy = tmp_path / "results"
    shutil.copytree(marked_class, copy)
    return copy


def class_rows(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: {k.split(" (")[0]: v for k, v in r.items()} for r in csv.DictReader(f)}


def events(out):
    with sqlite3.connect(out / "marking.db") as db:
        return db.execute("SELECT s.path_given, e.q_id, e.field, e.old_value, e.new_value, e.reviewer "
                          "FROM events e JOIN sheets s ON s.id = e.sheet_id ORDER BY e.id").fetchall()


def write_csv(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def teacher(path, marks, sep=","):
    lines = [f"sheet{sep}question{sep}mark"] + [f"{s}{sep}{q}{sep}{m}" for (s, q), m in marks.items()]
    return write_csv(path, "\n".join(lines) + "\n")


def same(got, expected):
    """Figures equal to hand-computed ones, None where nothing was compared."""
    return got.keys() == expected.keys() and all(
        got[k] is None if v is None else got[k] == pytest.approx(v) for k, v in expected.items())


def agreement_json(out):
    done = run("agreement", out, "--json")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_the_stand_in_marks_the_class_as_these_tests_expect(marked_class):
    rows = class_rows(marked_class)
    assert {(f, q): float(rows[f][q]) for f, q in MODEL} == MODEL


def test_imported_marks_are_stored_as_the_teachers_and_shown_in_the_class_file(out, tmp_path):
    marks = teacher(tmp_path / "marks.csv", {("a.pdf", "Q2"): 3, ("b.pdf", "Q1"): 1.5})
    done = run("agreement", out, "--teacher-marks", marks, "--reviewer", "Ms Rao")
    assert done.returncode == 0, done.stderr
    stored = events(out)
    assert [(Path(p).name, q, f, json.loads(old), json.loads(new), who) for p, q, f, old, new, who in stored] == [
        ("a.pdf", "Q2", "awarded", 4.0, 3.0, "Ms Rao"), ("b.pdf", "Q1", "awarded", 2.0, 1.5, "Ms Rao")]
    assert "Stored 2 teacher's marks on 2 sheets (reviewer Ms Rao):" in done.stdout
    assert "a.pdf: Q2 3 (model 4)" in done.stdout and "b.pdf: Q1 1.5 (model 2)" in done.stdout
    rows = class_rows(out)
    assert rows["a.pdf"]["Q2"] == "3.0" and rows["a.pdf"]["total"] == "9.0"
    assert rows["b.pdf"]["Q1"] == "1.5" and rows["b.pdf"]["total"] == "5.5"

    again = run("agreement", out, "--teacher-marks", marks, "--reviewer", "Ms Rao")
    assert again.returncode == 0 and len(events(out)) == 2  # the same marks stand already
    assert "Nothing new stored" in again.stdout


def test_a_sheet_is_found_by_path_or_student_id_and_a_semicolon_file_with_decimal_commas_reads(out, tmp_path):
    with sqlite3.connect(out / "marking.db") as db:
        db.execute("UPDATE sheets SET student_id = 'S-17' WHERE path_given LIKE '%b.pdf'")
    a_path = next(p for p, in sqlite3.connect(out / "marking.db").execute("SELECT path_given FROM sheets")
                  if p.endswith("a.pdf"))
    marks = write_csv(tmp_path / "marks.csv", "\ufeffSheet;QUESTION;Mark\n"
                      f"{a_path};Q1;1,5\nS-17;q3;3\n\n")
    done = run("agreement", out, "--teacher-marks", marks)
    assert done.returncode == 0, done.stderr
    assert [(Path(p).name, q, json.loads(new)) for p, q, _, _, new, _ in events(out)] == [
        ("a.pdf", "Q1", 1.5), ("b.pdf", "Q3", 3.0)]


# Model a: 2 4 4, b: 2 0 4. Teacher below: differences 0 1 0 / .5 2 0.
SOME = {("a.pdf", "Q1"): 2, ("a.pdf", "Q2"): 3, ("a.pdf", "Q3"): 4,
        ("b.pdf", "Q1"): 1.5, ("b.pdf", "Q2"): 2, ("b.pdf", "Q3"): 4}


@pytest.mark.parametrize("marks, overall, questions", [
    pytest.param(MODEL, {"n": 6, "exact": 1.0, "within_one": 1.0, "mean_abs_diff": 0.0, "qwk": 1.0},
                 {"Q1": (2, 1.0, 1.0, 0.0, 1.0), "Q2": (2, 1.0, 1.0, 0.0, 1.0), "Q3": (2, 1.0, 1.0, 0.0, 1.0)},
                 id="perfect"),
    # Whole marks model 2 4 4 2 0 4, teacher 2 3 4 2 2 4: observed 1 + 4 = 5, chance 110 / 6: kappa 8/11.
    # Q1 rounds to one category on both sides: 1; Q2: observed 5, chance 18 / 2: 4/9.
    pytest.param(SOME, {"n": 6, "exact": 0.5, "within_one": 5 / 6, "mean_abs_diff": 3.5 / 6, "qwk": 8 / 11},
                 {"Q1": (2, 0.5, 1.0, 0.25, 1.0), "Q2": (2, 0.0, 0.5, 1.5, 4 / 9), "Q3": (2, 1.0, 1.0, 0.0, 1.0)},
                 id="some"),
    # A teacher who gives everyone 2 tells the answers apart no better than chance.
    pytest.param({k: 2 for k in MODEL}, {"n": 6, "exact": 2 / 6, "within_one": 2 / 6, "mean_abs_diff": 8 / 6,
                                         "qwk": 0.0},
                 {"Q1": (2, 1.0, 1.0, 0.0, 1.0), "Q2": (2, 0.0, 0.0, 2.0, 0.0), "Q3": (2, 0.0, 0.0, 2.0, 0.0)},
                 id="chance"),
    # Only part of the class marked by the teacher, far from the model: observed 4 + 16, chance 24 / 2: -2/3.
    # Q3 has nothing to compare.
    pytest.param({("a.pdf", "Q1"): 0, ("b.pdf", "Q2"): 4},
                 {"n": 2, "exact": 0.0, "within_one": 0.0, "mean_abs_diff": 3.0, "qwk": -2 / 3},
                 {"Q1": (1, 0.0, 0.0, 2.0, 0.0), "Q2": (1, 0.0, 0.0, 4.0, 0.0), "Q3": (0, None, None, None, None)},
                 id="reversed"),
])
def test_json_figures_against_hand_computed_values(out, tmp_path, marks, overall, questions):
    assert run("agreement", out, "--teacher-marks", teacher(tmp_path / "m.csv", marks)).returncode == 0
    got = agreement_json(out)
    assert list(got) == ["overall", "questions"]
    assert list(got["questions"]) == ["Q1", "Q2", "Q3"]
    assert same(got["overall"], overall)
    keys = ["n", "exact", "within_one", "mean_abs_diff", "qwk"]
    for q_id, figures in questions.items():
        assert same(got["questions"][q_id], dict(zip(keys, figures))), q_id


def test_text_report_shows_the_figures_and_the_largest_differences(out, tmp_path):
    done = run("agreement", out, "--teacher-marks", teacher(tmp_path / "m.csv", SOME))
    assert done.returncode == 0, done.stderr
    report = done.stdout.split("\n\n", 1)[1]
    assert run("agreement", out).stdout == report  # the same report without importing
    lines = report.splitlines()
    assert lines[0] == "Model against teacher on 6 answers both marked:"
    assert lines[2].split() == ["all", "6", "50%", "83%", "0.58", "0.73"]
    assert lines[3].split() == ["Q1", "2", "50%", "100%", "0.25", "1.00"]
    assert lines[4].split() == ["Q2", "2", "0%", "50%", "1.50", "0.44"]
    assert "quadratic weighted kappa" in report
    largest = lines[lines.index("Largest differences:") + 1:]
    assert largest == ["  b.pdf Q2: model 0, teacher 2", "  a.pdf Q2: model 4, teacher 3",
                       "  b.pdf Q1: model 2, teacher 1.5"]


def test_criteria_the_teacher_ticked_are_compared_with_the_models(out, tmp_path):
    # The review page stores ticked criteria; here straight into the store as it would.
    with sqlite3.connect(out / "marking.db") as db:
        ids = dict((Path(p).name, i) for i, p in db.execute("SELECT id, path_given FROM sheets"))
        for sheet, ticked in (("a.pdf", "[0]"), ("b.pdf", "[0, 1]")):  # the model ticked [0, 1] and []
            db.execute("INSERT INTO events (sheet_id, q_id, field, old_value, new_value, reviewer, at) "
                       "VALUES (?, 'Q2', 'criteria_met', 'null', ?, 't', '2026-01-01T00:00:00.000Z')",
                       (ids[sheet], ticked))
    done = run("agreement", out, "--teacher-marks", teacher(tmp_path / "m.csv", {("a.pdf", "Q2"): 2}))
    assert done.returncode == 0, done.stderr
    assert "  Q2 criterion 1 (States the key idea of Q2): 0 / 1 of 2" in done.stdout
    assert "  Q2 criterion 2 (Explains Q2 clearly): 1 / 1 of 2" in done.stdout


def test_nothing_to_compare_says_so(out):
    done = run("agreement", out)
    assert done.returncode == 0
    assert "Nothing to compare" in done.stdout and "--teacher-marks" in done.stdout
    got = agreement_json(out)
    assert got["overall"] == {"n": 0, "exact": None, "within_one": None, "mean_abs_diff": None, "qwk": None}


def test_a_folder_without_results_is_refused_and_left_alone(tmp_path):
    done = run("agreement", tmp_path)
    assert done.returncode == 2 and "not a results folder" in done.stderr
    assert not (tmp_path / "marking.db").exists()


@pytest.mark.parametrize("text, problems", [
    ("sheet,question,mark\nz.pdf,Q1,1\n", ["line 2: no sheet 'z.pdf'"]),
    ("sheet,question,mark\na.pdf,Q9,1\n", ["line 2: no question 'Q9' on the paper"]),
    ("sheet,question,mark\na.pdf,Q1,3\n", ["line 2: the mark 3 is outside 0..2 of Q1"]),
    ("sheet,question,mark\na.pdf,Q1,-1\n", ["line 2: the mark -1 is outside 0..2 of Q1"]),
    ("sheet,question,mark\na.pdf,Q1,two\nb.pdf,Q2,nan\n",
     ["line 2: the mark 'two' is not a number", "line 3: the mark 'nan' is not a number"]),
    ("sheet,question,mark\na.pdf,Q1,\n", ["line 2: no mark"]),
    ("sheet,question,mark\na.pdf,Q1,1\nb.pdf,Q1,1\na.pdf,Q1,2\n", ["line 4: Q1 of a.pdf is on line 2 too"]),
    ("sheet,question,mark\nS-1,Q1,1\n", ["line 2: 'S-1' names 2 sheets (a.pdf, b.pdf)"]),
    ("sheet,q,points\na.pdf,Q1,1\n", ["the header lacks the columns question, mark"]),
    ("", ["it is empty"]),
    # Every problem at once, the good lines stored neither.
    ("sheet,question,mark\na.pdf,Q1,1\nz.pdf,Q1,1\na.pdf,Q2,9\n",
     ["line 3: no sheet 'z.pdf'", "line 4: the mark 9 is outside 0..4 of Q2"]),
], ids=["unknown-sheet", "unknown-question", "over-max", "negative", "not-numbers", "blank-mark", "twice",
        "ambiguous", "header", "empty", "several"])
def test_a_file_with_problems_is_refused_whole(out, tmp_path, text, problems):
    with sqlite3.connect(out / "marking.db") as db:
        db.execute("UPDATE sheets SET student_id = 'S-1'")
    before = (out / "class_results.csv").read_bytes()
    done = run("agreement", out, "--teacher-marks", write_csv(tmp_path / "m.csv", text))
    assert done.returncode == 2
    assert "refused, nothing stored" in done.stderr
    for problem in problems:
        assert problem in done.stderr
    assert events(out) == [] and (out / "class_results.csv").read_bytes() == before
