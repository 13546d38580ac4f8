"""A class marked while the model service misbehaves, and hostile inputs to the quorvan command."""

import csv
import json
import re

import pytest

from tests.support import command
from tests.support.pdfs import write_text_pdf
from tests.support.standin import REFUSAL

QUESTIONS = [
    ("Q1", "Define photosynthesis and name the gas released.", 2.0,
     "Photosynthesis uses light, water and carbon dioxide to make glucose; oxygen is released."),
    ("Q2", "Explain how the heart pumps blood.", 4.0,
     "The heart has four chambers; the right side pumps blood to the lungs and the left side to the body."),
    ("Q3", "State two differences between conductors and insulators.", 4.0,
     "Conductors let electricity flow and have free electrons; insulators block it and have none."),
]


def paper_json(path):
    questions = []
    for q_id, text, marks, reference in QUESTIONS:
        half = marks / 2
        questions.append({"q_id": q_id, "question_text": text, "max_marks": marks, "reference_answer": reference,
                          "rubric": {"criteria": [{"statement": f"States the key idea of {q_id}", "mark": half},
                                                  {"statement": f"Explains {q_id} clearly", "mark": half}]}})
    path.write_text(json.dumps({"subject": "Science", "class_level": "8", "questions": questions}), encoding="utf-8")
    return path


def class_of(folder, n):
    folder.mkdir()
    for i in range(n):
        write_text_pdf(folder / f"s{i:02d}.pdf",
                       ["\n\n".join(f"{q_id}. {reference}" for q_id, _, _, reference in QUESTIONS)])
    return folder


def quorvan(*args):
    return command.quorvan(*args)


def rows(out):
    """The class file's rows by file, keyed by question id without the maximum the header shows ("Q1 (2)")."""
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: {k.split(" (")[0]: v for k, v in r.items()} for r in csv.DictReader(f)}


def failed_calls(out):
    return re.findall(r"^TASK: (\w+)_FAILED \| $", (out / "usage.log").read_text(encoding="utf-8"), re.M)


def test_a_class_run_through_model_faults_completes_and_accounts_for_every_failure(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 6)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    standin.slow_delay = 0.5
    standin.inject("500", count=1, schema="AnswersheetResponse")  # one sheet cannot be read at all
    standin.inject("429", count=2, schema="EvaluationResponse")   # a burst of rate limits
    standin.inject("malformed", count=1, schema="EvaluationResponse")
    standin.inject("refusal", count=1, schema="EvaluationResponse")
    standin.inject("slow", count=3)  # late, but answered: no failure
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--max-concurrent", 3, "--format", "json",
                     "--retries", 0)
    assert result.returncode == 1, result.stderr

    table = rows(out)
    assert sorted(table) == [f"s{i:02d}.pdf" for i in range(6)]
    by_status = {}
    for name, row in table.items():
        by_status.setdefault(row["status"], []).append(name)
    # 1 sheet without a parse; the four failed evaluations fall on one to four other sheets
    assert len(by_status["failed"]) == 1
    assert table[by_status["failed"][0]]["warnings"] == "Failed to parse answersheet: server error (500)"
    unmarked = [note for row in table.values() for note in re.findall(r"Q\d not marked: [^;]*", row["warnings"])]
    causes = [note.split(": ", 1)[1] for note in unmarked]
    assert len(causes) == 4 and causes.count("rate limited (429)") == 2
    assert f"the model refused: {REFUSAL}" in causes
    assert len(by_status.get("marked", [])) + len(by_status["incomplete"]) == 5

    # every good result saved: each marked answer in its report and in the results row
    for name, row in table.items():
        if row["status"] == "failed":
            assert not (out / name.replace(".pdf", ".json")).exists()
            continue
        report = {r["qid"]: r for r in json.loads((out / name.replace(".pdf", ".json")).read_text(encoding="utf-8"))}
        for q_id, _, marks, _ in QUESTIONS:
            if row[q_id]:
                assert float(row[q_id]) == report[q_id]["obtained_marks"] == marks
            else:
                assert report[q_id]["rubric"] == []  # the failed evaluation left no marks behind

    # every failed model call accounted in the usage log; the refusal was a call that answered
    assert sorted(failed_calls(out)) == ["evaluate_answer"] * 3 + ["parse_answersheet"]
    assert len(re.findall(r"^quorvan mark: s\d\d\.pdf: Q\d not marked: ", result.stderr, re.M)) == 4


def test_what_an_earlier_run_wrote_is_not_lost_when_a_rerun_fails(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    reports = {p.name: p.read_bytes() for p in out.glob("s*.*")}
    standin.inject("500", every=1, schema="AnswersheetResponse")  # every parse fails now
    rerun = quorvan("mark", "--paper", paper, sheets, "-o", out, "--force", "--retries", 0)
    assert rerun.returncode == 1
    assert {p.name: p.read_bytes() for p in out.glob("s*.*")} == reports
    assert [r["status"] for r in rows(out).values()] == ["failed", "failed"]
    assert not list(out.glob(".*tmp"))


HOSTILE_PAPERS = [
    ("not json", "p.json is not a question paper file (it is not JSON)"),
    ('{"subject": "S", "class_level": "C", "questions": {}}', '"questions" must be a list of questions, not {}'),
    ('{"subject": "S", "class_level": "C", "questions": ["Q1"]}', 'question 1 must be an object with "q_id"'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": 7, "question_text": "t", "max_marks": 1}]}',
     'question 1: "q_id" must be text, not 7'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": "lots"}]}',
     'Q1: "max_marks" must be a number, not "lots"'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": NaN}]}',
     'Q1: "max_marks" must be a number, not NaN'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 1'
     + "0" * 400 + "}]}", 'Q1: "max_marks" must be a number, not 1000'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 2,'
     ' "rubric": [{"statement": "s", "mark": 2}]}]}', 'Q1: "rubric" must be an object with a "criteria" list'),
    ('{"subject": "S", "class_level": "C", "questions": [{"q_id": "Q1", "question_text": "t", "max_marks": 2,'
     ' "rubric": {"criteria": [{"statement": "s", "mark": -1}]}}]}', 'Q1: criterion 1: "mark" must be a number, 0 or more'),
    ("[" * 100000 + "]" * 100000, "p.json is not a question paper file (its JSON is nested too deeply)"),
]


@pytest.mark.parametrize("content, message", HOSTILE_PAPERS, ids=range(len(HOSTILE_PAPERS)))
def test_hostile_question_papers_are_usage_errors(standin, tmp_path, content, message):
    paper = tmp_path / "p.json"
    paper.write_text(content, encoding="utf-8")
    sheet = write_text_pdf(tmp_path / "s.pdf", ["Q1. x"])
    result = quorvan("mark", "--paper", paper, sheet, "-o", tmp_path / "out")
    assert result.returncode == 2, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr
    assert standin.requests == []


def test_unicode_in_a_paper_survives_the_run(standin, tmp_path):
    paper = tmp_path / "paper.json"
    paper.write_text(json.dumps({"subject": "विज्ञान", "class_level": "८", "language": "Hindi", "questions": [
        {"q_id": "प्र1", "question_text": "प्रकाश संश्लेषण क्या है? ∑ x²", "max_marks": 2,
         "rubric": {"criteria": [{"statement": "सही उत्तर", "mark": 2}]}, "reference_answer": "प्रकाश संश्लेषण"}]},
        ensure_ascii=False), encoding="utf-8")
    sheet = write_text_pdf(tmp_path / "s.pdf", ["प्र1. प्रकाश संश्लेषण"])
    result = quorvan("mark", "--paper", paper, sheet, "-o", tmp_path / "out")
    assert result.returncode == 0, result.stderr + result.stdout
    assert list(rows(tmp_path / "out")["s.pdf"])[1] == "प्र1"
    with open(tmp_path / "out" / "class_results.csv", encoding="utf-8-sig") as f:
        assert f.readline().startswith("file,प्र1 (2),total,")


@pytest.mark.parametrize("where", ["under_a_file", "a_file"])
def test_unwritable_output_paths_are_usage_errors(standin, tmp_path, where):
    blocker = tmp_path / "taken"
    blocker.write_text("a file, not a folder")
    out = blocker / "results" if where == "under_a_file" else blocker
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"),
                     write_text_pdf(tmp_path / "s.pdf", ["Q1. x"]), "-o", out)
    assert result.returncode == 2
    assert "cannot create the output folder" in result.stderr and "Traceback" not in result.stderr
    assert blocker.read_text() == "a file, not a folder"
