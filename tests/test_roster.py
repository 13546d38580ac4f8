"""Who the sheets belong to: `quorvan mark --roster` and the labelled first page, end to end with real PDFs, the
real command and the model stand-in."""

import csv
import sqlite3

import pytest

from tests.support.command import problem_lines
from tests.support.pdfs import write_text_pdf
from tests.test_class_run import FULL, calls, quorvan, sheet_text
from tests.test_fault_tolerance import paper_json


def identities(out):
    with sqlite3.connect(out / "marking.db") as db:
        rows = db.execute("SELECT path_given, student_id, student_name, student_email, student_section, "
                          "identity_source FROM sheets ORDER BY id").fetchall()
    return {path.replace("\\", "/").split("/")[-1]: rest for path, *rest in rows}


def class_file(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return list(csv.DictReader(f))


@pytest.fixture
def scans(tmp_path):
    folder = tmp_path / "scans"
    folder.mkdir()
    for name in ("anna_p1.pdf", "ben.pdf", "chloe.pdf"):
        write_text_pdf(folder / name, sheet_text(FULL))
    return folder


def test_a_roster_with_bom_semicolons_quotes_and_a_glob_names_every_sheet(standin, tmp_path, scans):
    roster = tmp_path / "roster.csv"
    roster.write_bytes("\ufeff Student ID ;NAME;file;Email;Section;notes\r\n"
                       '12;"Roy; Anna";scans/anna*.pdf;anna@school.org;8B;x\r\n'
                       "13;Ben Okafor;ben.pdf;;8A;\r\n"
                       f"14;Chloé Dubois;{scans / 'chloe.pdf'};;;\r\n"
                       "15;Dev Absent;dev.pdf;;;\r\n".encode("utf-8"))
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), "scans", "-o", out, "--roster", roster)
    assert result.returncode == 0, result.stderr
    assert identities(out) == {
        "anna_p1.pdf": ["12", "Roy; Anna", "anna@school.org", "8B", "roster"],
        "ben.pdf": ["13", "Ben Okafor", "", "8A", "roster"],
        "chloe.pdf": ["14", "Chloé Dubois", "", "", "roster"],
    }
    assert "1 row of " in result.stderr and "matches no sheet of this run: line 5 (Dev Absent, dev.pdf)\n" in result.stderr
    assert "Roy; Anna (anna_p1.pdf)" in result.stdout
    rows = {r["file"]: r for r in class_file(out)}
    assert rows["anna_p1.pdf"]["student_id"] == "12" and rows["ben.pdf"]["name"] == "Ben Okafor"


def test_a_roster_names_sheets_kept_from_an_earlier_run_without_a_model_call(standin, tmp_path, scans):
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, scans, "-o", out).returncode == 0
    assert {v[-1] for v in identities(out).values()} == {""}
    roster = tmp_path / "roster.csv"
    roster.write_text("file,student_id,name\n*.pdf,,Whole Class\nben.pdf,13,Ben Okafor\n", encoding="utf-8")
    standin.reset()
    result = quorvan("mark", "--paper", paper, scans, "-o", out, "--roster", roster)
    assert result.returncode == 0, result.stderr
    assert calls(standin) == []
    who = identities(out)
    assert who["ben.pdf"] == ["13", "Ben Okafor", "", "", "roster"]  # the file name wins over the glob
    assert who["chloe.pdf"][:2] == ["", "Whole Class"]


def test_file_names_match_in_any_case_and_rows_without_a_sheet_are_one_warning(standin, tmp_path, scans):
    roster = tmp_path / "roster.csv"
    roster.write_text("file,student_id,name\nBEN.PDF,13,Ben Okafor\nscans/CHLOE*,14,Chloé Dubois\n"
                      + "".join(f"absent{i}.pdf,{20 + i},Absent {i}\n" for i in range(7)), encoding="utf-8")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), "scans", "-o", out, "--roster", roster)
    assert result.returncode == 0, result.stderr
    who = identities(out)
    assert who["ben.pdf"][:2] == ["13", "Ben Okafor"] and who["chloe.pdf"][:2] == ["14", "Chloé Dubois"]
    warnings = [line for line in result.stderr.splitlines() if "no sheet" in line]
    assert warnings == [f"quorvan mark: warning: 7 rows of {roster} match no sheet of this run: line 4 (Absent 0, "
                        "absent0.pdf), line 5 (Absent 1, absent1.pdf), line 6 (Absent 2, absent2.pdf), line 7 "
                        "(Absent 3, absent3.pdf), line 8 (Absent 4, absent4.pdf) and 2 more"]


@pytest.mark.parametrize("text, problems", [
    ("student_id,name\n1,Anna\n", ["line 1: no column file (the sheet's file name, path or a pattern such as "
                                   "scans/anna*.pdf)"]),
    ("file,student_id,name\n,1,Anna\nben.pdf,,\n", ["line 2: no file", "line 3: no student_id and no name"]),
    ("file,student_id,name\nanna*,1,Anna\n*_p1.pdf,2,Other\n",
     ["scans/anna_p1.pdf is matched by lines 2, 3, which name different students"]),
    ("file,student_id,name\nben.pdf,1,\"Ben\n", ["line 2: a quote opened here is never closed"]),
], ids=["missing column", "empty cells", "two students for one sheet", "open quote"])
def test_a_bad_roster_stops_the_run_before_any_model_call(standin, tmp_path, scans, text, problems):
    roster = tmp_path / "roster.csv"
    roster.write_text(text, encoding="utf-8")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), "scans", "-o", out, "--roster", roster)
    assert result.returncode == 2
    assert problem_lines(result.stderr) == problems
    assert calls(standin) == []


@pytest.mark.parametrize("make, message", [
    (lambda p: None, "roster not found"),
    (lambda p: p.write_bytes("file,name\na.pdf,Ren\xe9\n".encode("latin-1")), "line 2: not UTF-8 text"),
    (lambda p: p.write_bytes(b"PK\x03\x04rest of a workbook"), "is a spreadsheet file, not CSV"),
    (lambda p: p.write_text("file,name\n", encoding="utf-16"), "is UTF-16 text"),
], ids=["missing", "latin-1", "xlsx", "utf-16"])
def test_a_roster_that_is_no_csv_file_is_a_usage_error(standin, tmp_path, scans, make, message):
    roster = tmp_path / "roster.csv"
    make(roster)
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), scans, "-o", tmp_path / "r",
                     "--roster", roster)
    assert result.returncode == 2 and message in result.stderr
    assert calls(standin) == []


def test_a_labelled_first_page_names_its_sheet_and_a_roster_wins_over_it(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    folder = tmp_path / "class"
    folder.mkdir()
    write_text_pdf(folder / "scan001.pdf", ["Name: Anna Roy    Roll No. 12\n\n" + sheet_text(FULL)[0]])
    write_text_pdf(folder / "scan002.pdf", ["Teacher's Name: Mr Brown\n\n" + sheet_text(FULL)[0]])
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, folder, "-o", out)
    assert result.returncode == 0, result.stderr
    who = identities(out)
    assert who["scan001.pdf"] == ["12", "Anna Roy", "", "", "sheet"]
    assert who["scan002.pdf"] == ["", "", "", "", ""]  # no student's label: the file name stands
    assert "Anna Roy (scan001.pdf)" in result.stdout

    roster = tmp_path / "roster.csv"
    roster.write_text("file,student_id,name\nscan001.pdf,S-12,Anna R. Roy\n", encoding="utf-8")
    assert quorvan("mark", "--paper", paper, folder, "-o", out, "--roster", roster, "--force").returncode == 0
    assert identities(out)["scan001.pdf"] == ["S-12", "Anna R. Roy", "", "", "roster"]


def test_a_roster_too_large_for_a_class_is_refused_before_any_call(standin, tmp_path, scans):
    roster = tmp_path / "roster.csv"
    roster.write_text("file,student_id,name\n" + "".join(f"s{i}.pdf,{i},Student {i}\n" for i in range(50_001)),
                      encoding="utf-8")
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), "scans", "-o", tmp_path / "results",
                     "--roster", roster)
    assert result.returncode == 2
    assert f"the roster {roster} has 50001 rows; at most 50000 are read" in result.stderr
    assert "warning" not in result.stderr and calls(standin) == []  # one error, not a line per row
