"""Where quorvan mark writes, and what it does when it cannot: files it did not write are left alone, entries
it cannot read are reported, a full or unwritable output and a refused API key stop the run with one clear line.
Real PDFs, the real command, the stand-in."""

import csv
import os
import resource
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tests.support import command
from tests.test_fault_tolerance import QUESTIONS, class_of, paper_json
from tests.support.pdfs import write_text_pdf

QUORVAN = Path(sys.executable).parent / "quorvan"
FULL = "\n\n".join(f"{q_id}. {reference}" for q_id, _, _, reference in QUESTIONS)


def quorvan(*args, **kwargs):
    return command.quorvan(*args, **kwargs)


def table(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: r for r in csv.DictReader(f)}


def stored(out):
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        return db.execute("SELECT count(*) FROM answers WHERE status = 'marked'").fetchone()[0]


# ------------------------------------------------------------- files it did not write


def plant(kind, where, victim):
    if kind == "symlink":
        where.symlink_to(victim)
    elif kind == "foreign":
        where.write_text('{"my": "notes"}', encoding="utf-8")
    else:
        where.mkdir()


@pytest.mark.parametrize("kind, why", [("symlink", "it is a symbolic link"),
                                       ("foreign", "it is a file quorvan mark did not write (or one changed since)"),
                                       ("folder", "it is a folder")])
def test_a_report_never_replaces_what_is_in_its_place(standin, tmp_path, kind, why):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", [FULL])
    out = tmp_path / "results"
    out.mkdir()
    victim = tmp_path / "victim.json"
    victim.write_text("precious", encoding="utf-8")
    plant(kind, out / "s.json", victim)
    before = (out / "s.json").read_bytes() if kind == "foreign" else None

    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr
    assert f"quorvan mark: s.pdf: report s.json not written: {why}" in result.stderr
    row = table(out)["s.pdf"]
    assert row["status"] == "marked" and row["total"] == "10.0"  # the marks are stored all the same
    assert f"report s.json not written: {why}" in row["warnings"]
    assert "Not written: 1 report" in result.stdout
    assert victim.read_text(encoding="utf-8") == "precious"
    if kind == "symlink":
        assert (out / "s.json").is_symlink()
    elif kind == "foreign":
        assert (out / "s.json").read_bytes() == before
    else:
        assert (out / "s.json").is_dir()
    assert (out / "s.txt").read_text(encoding="utf-8")  # the other format has its place free
    assert not [p for p in os.listdir(out) if p.endswith((".partial", ".tmp"))]


def test_reports_it_wrote_are_replaced_and_a_report_edited_by_hand_is_kept(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", [FULL])
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheet, "-o", out, "--format", "json").returncode == 0
    # A hard link keeps the first file's inode alive, so the new file cannot reuse its number.
    first = tmp_path / "first.json"
    os.link(out / "s.json", first)
    again = quorvan("mark", "--paper", paper, sheet, "-o", out, "--format", "json", "--force")
    assert again.returncode == 0, again.stderr
    assert not os.path.samefile(out / "s.json", first)  # written anew

    (out / "s.json").write_text((out / "s.json").read_text(encoding="utf-8") + " ", encoding="utf-8")
    edited = (out / "s.json").read_bytes()
    third = quorvan("mark", "--paper", paper, sheet, "-o", out, "--format", "json", "--force")
    assert third.returncode == 1
    assert "s.pdf: report s.json not written: it is a file quorvan mark did not write" in third.stderr
    assert (out / "s.json").read_bytes() == edited


def test_the_paper_in_the_results_folder_is_never_overwritten(standin, tmp_path):
    folder = tmp_path / "class"
    folder.mkdir()
    paper = paper_json(folder / "paper.json")
    before = paper.read_bytes()
    write_text_pdf(folder / "paper.pdf", [FULL])  # a sheet named like the paper
    write_text_pdf(folder / "ada.pdf", [FULL])
    result = quorvan("mark", "--paper", paper, folder, "-o", folder)
    assert result.returncode == 1
    assert paper.read_bytes() == before
    assert "quorvan mark: paper.pdf: report paper.json not written: it is " in result.stderr
    rows = table(folder)
    assert "report paper.json not written" in rows["paper.pdf"]["warnings"]
    assert rows["ada.pdf"]["status"] == rows["paper.pdf"]["status"] == "marked"
    assert (folder / "paper.txt").exists() and (folder / "ada.json").exists()


@pytest.mark.parametrize("name", ["class_results.csv", "marking.log", "usage.log"])
def test_a_symlink_at_the_class_file_or_a_log_is_a_usage_error(standin, tmp_path, name):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", [FULL])
    out = tmp_path / "results"
    out.mkdir()
    victim = tmp_path / "victim.txt"
    victim.write_text("precious", encoding="utf-8")
    (out / name).symlink_to(victim)
    result = quorvan("mark", "--paper", paper, sheet, "-o", out)
    assert result.returncode == 2
    assert f"{out / name}: it is a symbolic link" in result.stderr and "Traceback" not in result.stderr
    assert victim.read_text(encoding="utf-8") == "precious"
    assert standin.requests == []


def test_a_class_file_the_command_did_not_write_is_a_usage_error(standin, tmp_path):
    out = tmp_path / "results"
    out.mkdir()
    (out / "class_results.csv").write_text("name,mark\nAda,5\n", encoding="utf-8")
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"),
                     write_text_pdf(tmp_path / "s.pdf", [FULL]), "-o", out)
    assert result.returncode == 2 and "did not write" in result.stderr
    assert (out / "class_results.csv").read_text(encoding="utf-8") == "name,mark\nAda,5\n"
    assert standin.requests == []


# ----------------------------------------------------------- entries it cannot read


def odd_entry(kind, path):
    if kind == "dangling link":
        path.symlink_to(path.parent / "nowhere.pdf")
    elif kind == "looping link":
        path.symlink_to(path)
    elif kind == "folder":
        path.mkdir()
    else:
        os.mkfifo(path)


ODD = [("dangling link", "a broken symbolic link (its target does not exist)"),
       ("looping link", "a symbolic link that loops"),
       ("folder", "a folder, not a file"),
       ("fifo", "a named pipe (FIFO), not a file")]


@pytest.mark.parametrize("kind, why", ODD)
def test_entries_named_pdf_that_are_not_files_are_reported(standin, tmp_path, kind, why):
    sheets = class_of(tmp_path / "sheets", 1)
    odd_entry(kind, sheets / "x.pdf")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", out)
    assert result.returncode == 1, result.stderr
    assert f"quorvan mark: skipped {sheets / 'x.pdf'}: {why}" in result.stderr.splitlines()
    assert "Skipped 1 entry named .pdf that is not a file to read (see stderr)." in result.stdout
    assert list(table(out)) == ["s00.pdf"] and table(out)["s00.pdf"]["status"] == "marked"


@pytest.mark.parametrize("kind, why", ODD)
def test_a_sheet_argument_that_is_not_a_file_is_a_usage_error(standin, tmp_path, kind, why):
    odd = tmp_path / "x.pdf"
    odd_entry(kind, odd)
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), odd, "-o", tmp_path / "results")
    assert result.returncode == 2
    # a folder on the command line is a folder of sheets, here one without any
    expected = f"no answer sheets (.pdf files) in folder: {odd}" if kind == "folder" else f"cannot mark {odd}: it is {why}"
    assert expected in result.stderr and standin.requests == []


# ------------------------------------------------------------ names that are not UTF-8

# A name saved on a system set to Latin-1: its bytes are not UTF-8 text.
LATIN1 = os.fsdecode(b"Jos\xe9")


def test_a_sheet_whose_name_is_not_utf8_is_skipped_and_named_and_the_others_marked(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 1)
    os.link(sheets / "s00.pdf", sheets / f"{LATIN1}.pdf")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", out)
    assert result.returncode == 1, result.stderr
    assert (f"quorvan mark: skipped {sheets}/Jos\\xe9.pdf: its name is not UTF-8 text; rename it to mark it"
            in result.stderr.splitlines())
    assert "Skipped 1 entry named .pdf that is not a file to read (see stderr)." in result.stdout
    assert list(table(out)) == ["s00.pdf"] and table(out)["s00.pdf"]["status"] == "marked"


@pytest.mark.parametrize("args, named", [
    (["mark", "--paper", "paper.json", "sheets", "-o", "{odd}"], "{odd}"),
    (["mark", "--paper", "paper.json", "{odd}.pdf", "-o", "results"], "{odd}.pdf"),
    (["mark", "--paper", "paper.json", "sheets", "-o", "results", "--roster", "{odd}.csv"], "{odd}.csv"),
    (["export", "{odd}", "--to", "csv", "-o", "g.csv"], "{odd}"),
    (["export", "results", "--to", "moodle", "-o", "{odd}.csv"], "{odd}.csv"),
    (["agreement", "{odd}"], "{odd}"),
    (["review", "{odd}", "--no-browser"], "{odd}"),
])
def test_a_results_folder_roster_or_sheet_named_in_bytes_that_are_not_utf8_is_a_usage_error(standin, tmp_path,
                                                                                             args, named):
    paper_json(tmp_path / "paper.json")
    sheets = class_of(tmp_path / "sheets", 1)
    os.link(sheets / "s00.pdf", tmp_path / f"{LATIN1}.pdf")  # there, and refused for its name alone
    before = sorted(os.listdir(tmp_path))
    result = quorvan(*[a.format(odd=LATIN1) for a in args])
    shown = named.format(odd="Jos\\xe9")  # the odd byte as a reader can see it
    assert result.returncode == 2
    assert f"error: cannot use {shown}: its name is not UTF-8 text; rename it" in result.stderr
    assert standin.requests == [] and sorted(os.listdir(tmp_path)) == before


def test_a_paper_file_named_in_latin1_still_marks(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 1)
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper_json(tmp_path / f"{LATIN1}.json"), sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert table(out)["s00.pdf"]["status"] == "marked"


# ------------------------------------------------------------- full or unwritable output


def test_a_full_disk_stops_the_run_with_one_line_and_keeps_the_store(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 6)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    limit = 300 * 1024  # no file of the run may grow past this: writes beyond fail as on a full disk

    def small_disk():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--max-concurrent", 1, preexec_fn=small_disk)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Traceback" not in result.stderr
    lines = [line for line in result.stderr.splitlines() if line.startswith("quorvan mark: ")]
    assert len(lines) == 1 and ("disk I/O error" in lines[0] or "File too large" in lines[0]
                                or "database or disk is full" in lines[0]), result.stderr
    assert "running the same command again continues" in result.stderr
    kept = stored(out)
    assert kept < 18

    standin.reset()
    again = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert again.returncode == 0, again.stderr
    assert len([r for r in standin.requests
                if r["response_format"]["json_schema"]["name"] == "EvaluationResponse"]) == 18 - kept
    assert {r["status"] for r in table(out).values()} == {"marked"}


def test_a_class_file_that_cannot_be_replaced_mid_run_stops_it(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.delay = 0.2
    proc = subprocess.Popen([str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(out),
                             "--max-concurrent", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (out / "class_results.csv").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    # A folder where the class file is: a rename onto it fails, as root too.
    (out / "class_results.csv").unlink()
    (out / "class_results.csv").mkdir()
    stdout, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 1, stdout + stderr
    assert "Traceback" not in stderr
    assert f"quorvan mark: cannot write {out / 'class_results.csv'}: it is a folder; it is left as it is" in stderr
    assert stored(out) >= 1
    assert (out / "class_results.csv").is_dir()


# ------------------------------------------------------------------ refused API key


@pytest.mark.parametrize("status, message", [
    ("401", "quorvan mark: the model service refused the API key (401): check OPENAI_API_KEY"),
    ("403", "quorvan mark: the model service refused access (403): check OPENAI_API_KEY and that it may use "
            "the model"),
])
@pytest.mark.parametrize("schema", [None, "EvaluationResponse"])
def test_a_refused_key_stops_the_run_at_once(standin, tmp_path, status, message, schema):
    sheets = class_of(tmp_path / "sheets", 10)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.delay = 0.05
    standin.inject(status, every=1, schema=schema)
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--max-concurrent", 3)
    assert result.returncode == 1, result.stdout + result.stderr
    assert message in result.stderr.splitlines() and "Traceback" not in result.stderr
    refused = [r for r in standin.requests
               if schema is None or r["response_format"]["json_schema"]["name"] == schema]
    assert 1 <= len(refused) <= 3  # what was in flight, nothing started after
    assert len(standin.requests) <= (3 if schema is None else 3 + 10)
    text = (out / "class_results.csv").read_text(encoding="utf-8-sig")
    assert f"refused by the model service ({status})" in text
    assert "API key provided" not in text and "does not have access" not in text  # no server text

    standin.reset()
    again = quorvan("mark", "--paper", paper, sheets, "-o", out, "--max-concurrent", 3)
    assert again.returncode == 0, again.stderr
    assert {r["status"] for r in table(out).values()} == {"marked"}


def test_a_results_folder_from_before_the_record_of_written_files_keeps_working(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheets = class_of(tmp_path / "sheets", 1)
    out = tmp_path / "results"
    out.mkdir()
    # what an earlier version left: its class file and reports, no record of them
    (out / "class_results.csv").write_text("file,Q1,Q2,Q3,total,maximum,percentage,warnings,status\r\n"
                                           "s00.pdf,2.0,4.0,4.0,10.0,10.0,100.0,,kept\r\n", encoding="utf-8")
    (out / "s00.json").write_text('[{"qid": "Q1", "obtained_marks": 2.0}]', encoding="utf-8")
    (out / "s00.txt").write_text("PROCESSED STUDENT ANSWERSHEET\n=====\n", encoding="utf-8")
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert table(out)["s00.pdf"]["status"] == "marked"
    assert '"qid": "Q3"' in (out / "s00.json").read_text(encoding="utf-8")
    assert "Evaluation: " in (out / "s00.txt").read_text(encoding="utf-8")
