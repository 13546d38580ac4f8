"""`quorvan paper` options and questions without marks, run as a subprocess against the model stand-in."""

import json
import os
from pathlib import Path

import pytest

from tests.support.command import quorvan
from tests.support.pdfs import write_text_pdf

pytestmark = pytest.mark.e2e

PAGE_1 = "Q1. What is photosynthesis? [2 marks]\nQ2. Name the parts of a flower and their roles."
PAGE_2 = "Q3. Explain how the heart pumps blood. [4 marks]\nQ4. Describe the water cycle. [5 marks]"


def paper_args(pdf, *more, output="paper.json"):
    return ["paper", pdf, "--subject", "Science", "--class-level", "Class 8", *more, "-o", output]


def schemas(standin, name):
    """The user prompts of the requests for one response schema."""
    return ["\n".join(m["content"] for m in r["messages"] if m["role"] == "user")
            for r in standin.requests if r["response_format"]["json_schema"]["name"] == name]


@pytest.fixture
def two_pages(tmp_path):
    return write_text_pdf(tmp_path / "exam.pdf", [PAGE_1, PAGE_2])


@pytest.mark.parametrize("pages, ids", [
    ("1", ["Q1", "Q2"]),
    ("2", ["Q3", "Q4"]),
    ("1,2", ["Q1", "Q2", "Q3", "Q4"]),
    ("2-2", ["Q3", "Q4"]),
])
def test_pages_chooses_the_pages_read(standin, two_pages, pages, ids):
    result = quorvan(*paper_args(two_pages, "--pages", pages))
    assert result.returncode == 0, result.stderr
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    assert [q["q_id"] for q in data["questions"]] == ids
    [prompt] = schemas(standin, "QuestionPaperResponse")
    assert ("photosynthesis" in prompt) == ("Q1" in ids)
    assert ("heart pumps" in prompt) == ("Q3" in ids)


def test_a_page_beyond_the_paper_fails_without_writing(standin, two_pages):
    result = quorvan(*paper_args(two_pages, "--pages", "3"))
    assert result.returncode == 1
    assert "Page 3 is out of range: " in result.stderr and "has 2 pages" in result.stderr
    assert not Path("paper.json").exists()


def test_an_existing_output_is_kept_without_force(standin, two_pages):
    Path("paper.json").write_bytes(b'{"edited": "by hand"}\n')
    result = quorvan(*paper_args(two_pages))
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == "quorvan paper: error: paper.json already exists; add --force to replace it"
    assert Path("paper.json").read_bytes() == b'{"edited": "by hand"}\n'
    assert standin.requests == []  # refused before any model call

    forced = quorvan(*paper_args(two_pages, "--force"))
    assert forced.returncode == 0, forced.stderr
    assert [q["q_id"] for q in json.loads(Path("paper.json").read_text(encoding="utf-8"))["questions"]] == [
        "Q1", "Q2", "Q3", "Q4"]


def test_force_is_in_the_help():
    out = quorvan("paper", "--help").stdout
    assert "--force" in out and "replace PAPER.json if it already exists" in " ".join(out.split())


def test_no_rubric_or_reference_answer_for_a_question_without_marks(standin, two_pages):
    result = quorvan(*paper_args(two_pages))
    assert result.returncode == 0, result.stderr
    questions = {q["q_id"]: q for q in json.loads(Path("paper.json").read_text(encoding="utf-8"))["questions"]}
    assert questions["Q2"] == {"q_id": "Q2", "question_text": "Name the parts of a flower and their roles.",
                               "max_marks": 0.0}
    for q_id in ("Q1", "Q3", "Q4"):
        assert questions[q_id]["rubric"]["criteria"] and questions[q_id]["reference_answer"]
    # the model was never asked about Q2
    for name in ("RubricResponse", "ReferenceAnswerResponse"):
        prompts = schemas(standin, name)
        assert len(prompts) == 3 and not any("flower" in p for p in prompts)

    out = result.stdout.splitlines()
    assert out[0] == "Question paper: Science, English, Class 8 - 4 questions, 11.0 marks"
    warnings = out[out.index("Warnings:") + 1:]
    assert warnings[:4] == [
        '  Q2 has no marks: set its "max_marks" in paper.json before marking',
        "  Q2 has no rubric: its answers cannot be marked",
        "  Q2 has no reference answer: its answers cannot be marked",
        'Set the missing "max_marks" in paper.json, then run: quorvan complete paper.json (it writes the missing '
        "rubrics and reference answers)",
    ]
    assert warnings[4].startswith("Exported to paper.json ")

    # The teacher sets the marks; complete writes the rest and the paper is ready.
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    data["questions"][1]["max_marks"] = 3
    Path("paper.json").write_text(json.dumps(data, indent=4), encoding="utf-8")
    completed = quorvan("complete", "paper.json")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout.splitlines()[:3] == ["Completed Q2: rubric (2 criteria), reference answer",
                                                 "Written to paper.json",
                                                 "paper.json: 4 questions, 14.0 marks, ready for marking"]
    assert quorvan("check", "paper.json").returncode == 0


def test_a_paper_without_any_marks_asks_the_model_for_no_rubric(standin, tmp_path):
    pdf = write_text_pdf(tmp_path / "unmarked.pdf", ["Q1. Define osmosis.\nQ2. State Ohm's law."])
    result = quorvan(*paper_args(pdf))
    assert result.returncode == 0, result.stderr
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    assert [sorted(q) for q in data["questions"]] == [["max_marks", "q_id", "question_text"]] * 2
    assert schemas(standin, "RubricResponse") == schemas(standin, "ReferenceAnswerResponse") == []


def test_a_failed_rubric_points_to_complete(standin, tmp_path):
    pdf = write_text_pdf(tmp_path / "one.pdf", ["Q1. Define osmosis. [2 marks]"])
    standin.inject("500", schema="RubricResponse", count=5)
    result = quorvan(*paper_args(pdf))
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert out[out.index("Warnings:") + 1:out.index("Warnings:") + 4] == [
        "  Q1 has no rubric: its answers cannot be marked",
        "  Q1 has no reference answer: its answers cannot be marked",
        "To write the missing rubrics and reference answers, run: quorvan complete paper.json",
    ]


def test_every_other_option_of_paper(standin, two_pages):
    result = quorvan(*paper_args(two_pages, "--pages", "2", "--language", "Hindi", "--extractor", "local",
                                 "--dpi", "100", "--max-concurrent", "1", "--requests-per-minute", "1000",
                                 "--verbose"))
    assert result.returncode == 0, result.stderr
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    assert data["language"] == "Hindi" and [q["q_id"] for q in data["questions"]] == ["Q3", "Q4"]
    assert all("Hindi" in prompt for prompt in schemas(standin, "QuestionPaperResponse"))
    assert standin.max_in_flight == 1  # two rubrics, one at a time
    assert len(schemas(standin, "RubricResponse")) == 2
    assert "[QuestionPaperService] " in result.stdout  # --verbose: the library's lines on the terminal


def test_without_a_key_nothing_is_written(two_pages, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "OPENAI_API_KEY"}
    out = tmp_path / "new" / "paper.json"
    result = quorvan("paper", two_pages, "--subject", "Science", "--class-level", "8", "-o", out, env=env,
                     cwd=tmp_path)
    assert result.returncode == 1
    assert "quorvan paper: OPENAI_API_KEY is not set" in result.stderr and "nothing was written" in result.stderr
    assert not (tmp_path / "new").exists()


def makedirs_error(path):
    """What Python's os.makedirs says about a folder it cannot make: the message the command must give."""
    with pytest.raises(OSError) as info:
        os.makedirs(path, exist_ok=True)
    return str(info.value)


@pytest.mark.parametrize("output, folder", [
    ("taken/paper.json", "taken"),                  # a file where the folder goes
    ("taken/deeper/paper.json", "taken/deeper"),    # a file above it
    ("new/taken/x/paper.json", "new/taken/x"),      # made as far as it goes, then a file
])
def test_an_output_folder_that_cannot_be_made_is_refused_as_python_names_it(standin, two_pages, output, folder):
    Path("new").mkdir()
    for blocker in ("taken", "new/taken"):
        Path(blocker).write_text("a file, not a folder")
    expected = makedirs_error(folder)
    result = quorvan(*paper_args(two_pages, output=output))
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == f"quorvan paper: error: cannot create the output folder: {expected}"
    assert standin.requests == [] and sorted(os.listdir("new")) == ["taken"]


@pytest.mark.parametrize("output, logs", [
    ("results.d/paper", ["results.d/paper.log", "results.d/paper.usage.log"]),  # a dot in the folder is no extension
    (".paper", [".paper.log", ".paper.usage.log"]),                            # nor a leading one
    ("a/b/paper.v2.json", ["a/b/paper.v2.log", "a/b/paper.v2.usage.log"]),      # folders made, last extension cut
])
def test_the_logs_are_named_after_the_output_beside_it(standin, two_pages, output, logs):
    result = quorvan(*paper_args(two_pages, output=output))
    assert result.returncode == 0, result.stderr
    assert Path(output).is_file() and all(Path(log).is_file() for log in logs)
    written = {str(p) for p in Path(".").rglob("*") if p.is_file() and p.name != "exam.pdf"}
    assert written == {output, *logs}
