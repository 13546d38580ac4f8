"""`quorvan paper` options, run as a subprocess against the model stand-in."""

import json
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
