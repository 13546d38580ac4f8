"""`quorvan complete`: the missing rubrics and reference answers written into a paper file, nothing else
touched. A subprocess against the model stand-in."""

import json
from pathlib import Path

import pytest

from tests.support.command import problem_lines, quorvan
from tests.support.pdfs import write_text_pdf

pytestmark = pytest.mark.e2e


def hand_edited():
    """A paper as a teacher leaves it: Q1 done by hand, the others lacking something."""
    return {
        "subject": "Science",
        "language": "English",
        "class_level": "Class 8",
        "term": "spring",  # not the importer's, kept as it is
        "questions": [
            {"q_id": "Q1", "question_text": "What is photosynthesis?", "max_marks": 2,
             "rubric": {"criteria": [{"statement": "Names  light,\nwater and CO₂ ", "mark": 1.5},
                                     {"statement": "Names oxygen", "mark": 0.5}]},
             "reference_answer": "  Plants use light.\n\nOxygen is released.  "},
            {"q_id": "Q2", "question_text": "Explain how the heart pumps blood.", "max_marks": 4,
             "rubric": {"criteria": [{"statement": "Describes the four chambers and the valves", "mark": 4}]}},
            {"q_id": "Q3", "question_text": "Describe the water cycle.", "max_marks": 3.0,
             "reference_answer": "Water evaporates, condenses into clouds and falls as rain.", "notes": "p. 42"},
            {"q_id": "Q4", "question_text": "Name two noble gases and say why they do not react.", "max_marks": 5,
             "reference_answer": "   "},
            {"q_id": "Q5", "question_text": "Define osmosis.", "max_marks": 0.0},
        ],
    }


def write(data, indent=4):
    Path("paper.json").write_text(json.dumps(data, indent=indent, ensure_ascii=False), encoding="utf-8")


def read():
    return json.loads(Path("paper.json").read_text(encoding="utf-8"))


def prompts(standin, name):
    return ["\n".join(m["content"] for m in r["messages"] if m["role"] == "user")
            for r in standin.requests if r["response_format"]["json_schema"]["name"] == name]


def test_only_the_missing_parts_are_written(standin):
    before = hand_edited()
    write(before)
    result = quorvan("complete", "paper.json")
    assert result.returncode == 1  # Q5 still has no marks
    lines = result.stdout.splitlines()
    assert lines[:8] == [
        "Completed Q2: reference answer",
        "Completed Q3: rubric (2 criteria)",
        "Completed Q4: rubric (3 criteria), reference answer",
        "Written to paper.json",
        "Still blocking marking in paper.json:",
        "  - Q5: \"max_marks\" is 0.0: set the question's marks (a number above 0)",
        "  - Q5: no rubric criteria",
        "  - Q5: no reference answer",
    ]
    assert lines[8].startswith("Token usage: ")

    after = read()
    # Everything that was there is there as it was; the only new values are the missing ones.
    assert {k: v for k, v in after.items() if k != "questions"} == {k: v for k, v in before.items() if k != "questions"}
    changed = []
    for old, new in zip(before["questions"], after["questions"], strict=True):
        kept = {k: v for k, v in old.items() if not (k == "reference_answer" and not v.strip())}
        assert {k: new[k] for k in kept} == kept
        changed.append((new["q_id"], sorted(k for k in new if new[k] != old.get(k))))
    assert changed == [("Q1", []), ("Q2", ["reference_answer"]), ("Q3", ["rubric"]),
                       ("Q4", ["reference_answer", "rubric"]), ("Q5", [])]
    q4 = after["questions"][3]
    assert q4["reference_answer"].strip() and q4["reference_answer"] != "   "
    assert sum(c["mark"] for c in q4["rubric"]["criteria"]) == 5
    # a new rubric reads where the exporter puts it: before the reference answer
    assert list(after["questions"][2]) == ["q_id", "question_text", "max_marks", "rubric", "reference_answer", "notes"]

    # One call for each missing part; Q2's answer follows the teacher's own rubric.
    rubric_prompts = prompts(standin, "RubricResponse")
    answer_prompts = prompts(standin, "ReferenceAnswerResponse")
    assert len(rubric_prompts) == 2 and len(answer_prompts) == 2
    assert sorted("water cycle" in p for p in rubric_prompts) == [False, True]
    assert any("four chambers and the valves" in p for p in answer_prompts)
    assert not any("osmosis" in p or "photosynthesis" in p for p in rubric_prompts + answer_prompts)
    assert Path("paper.complete.log").exists()

    # The teacher sets Q5's marks: only Q5 is left to complete.
    after["questions"][4]["max_marks"] = 2
    write(after)
    calls = len(standin.requests)
    second = quorvan("complete", "paper.json")
    assert second.returncode == 0, second.stdout
    assert second.stdout.splitlines()[:3] == ["Completed Q5: rubric (1 criterion), reference answer",
                                              "Written to paper.json",
                                              "paper.json: 5 questions, 16.0 marks, ready for marking"]
    assert len(standin.requests) - calls == 2
    assert read()["questions"][:4] == after["questions"][:4]
    assert quorvan("check", "paper.json").returncode == 0


def ready():
    data = hand_edited()
    data["questions"] = data["questions"][:1]
    return data


@pytest.mark.parametrize("data, status, lines", [
    (ready(), 0, ["paper.json: 1 question, 2 marks, ready for marking"]),
    ({**ready(), "questions": [ready()["questions"][0], hand_edited()["questions"][4]]}, 1,
     ["Still blocking marking in paper.json:",
      "  - Q5: \"max_marks\" is 0.0: set the question's marks (a number above 0)",
      "  - Q5: no rubric criteria",
      "  - Q5: no reference answer"]),
])
def test_nothing_to_complete_leaves_the_file_as_it_is(standin, data, status, lines):
    # An unusual layout, a byte order mark and no final line break: all kept, byte for byte.
    Path("paper.json").write_text(json.dumps(data, indent=1, ensure_ascii=True), encoding="utf-8-sig")
    original = Path("paper.json").read_bytes()
    result = quorvan("complete", "paper.json")
    assert result.returncode == status
    assert result.stdout.splitlines() == [
        "Nothing to complete in paper.json: every question with marks has a rubric and a reference answer", *lines]
    assert Path("paper.json").read_bytes() == original
    assert standin.requests == []
    assert not Path("paper.complete.log").exists()


@pytest.mark.parametrize("edit, problem", [
    (lambda d: d["questions"][1].update(q_id="Q1"),
     "Q1 (question 1): the same id as question 2; each question needs its own id"),
    (lambda d: d["questions"][2].pop("question_text"), 'Q3: "question_text" is missing'),
    (lambda d: d["questions"][0]["rubric"]["criteria"][1].pop("mark"), 'Q1: criterion 2 has no "mark"'),
    (lambda d: d.pop("subject"), '"subject" is missing'),
])
def test_a_file_in_the_wrong_shape_is_refused_untouched(standin, edit, problem):
    data = hand_edited()
    edit(data)
    write(data)
    original = Path("paper.json").read_bytes()
    result = quorvan("complete", "paper.json")
    assert result.returncode == 2
    assert "quorvan complete: error: paper.json cannot be completed:" in result.stderr
    assert problem_lines(result.stderr) == [problem]
    assert Path("paper.json").read_bytes() == original and standin.requests == []


def test_criteria_that_do_not_add_up_do_not_stop_the_rest(standin):
    data = ready()
    data["questions"][0]["rubric"]["criteria"][0]["mark"] = 3
    data["questions"].append(hand_edited()["questions"][1])  # Q2: no reference answer
    write(data)
    result = quorvan("complete", "paper.json")
    assert result.returncode == 1
    assert result.stdout.splitlines()[:4] == ["Completed Q2: reference answer", "Written to paper.json",
                                              "Still blocking marking in paper.json:",
                                              "  - Q1: criteria add up to 3.5 marks, max_marks is 2"]


def test_what_the_model_fails_to_write_is_reported_and_the_rest_kept(standin):
    data = ready()
    data["questions"] += [hand_edited()["questions"][1], hand_edited()["questions"][3]]  # Q2 answer; Q4 both
    write(data)
    standin.inject("500", schema="RubricResponse", count=5)
    result = quorvan("complete", "paper.json")
    assert result.returncode == 1
    assert result.stdout.splitlines()[:4] == [
        "Completed Q2: reference answer",
        "Could not complete Q4: rubric, reference answer (see paper.complete.log)",
        "Written to paper.json",
        "Still blocking marking in paper.json:",
    ]
    after = read()
    assert after["questions"][2] == data["questions"][2]
    assert after["questions"][1]["reference_answer"].strip()


def test_when_the_model_writes_nothing_the_file_is_untouched(standin):
    data = hand_edited()
    data["questions"] = data["questions"][2:4]
    write(data)
    original = Path("paper.json").read_bytes()
    standin.inject("500", count=20)
    result = quorvan("complete", "paper.json")
    assert result.returncode == 1
    assert result.stdout.splitlines()[:2] == ["Could not complete Q3: rubric (see paper.complete.log)",
                                              "Could not complete Q4: rubric, reference answer (see "
                                              "paper.complete.log)"]
    assert "Written to" not in result.stdout
    assert Path("paper.json").read_bytes() == original


def test_a_pdf_is_not_completed(standin, tmp_path):
    pdf = write_text_pdf(tmp_path / "exam.pdf", ["Q1. Define osmosis. [2 marks]"])
    result = quorvan("complete", pdf.name)
    assert result.returncode == 2
    assert "exam.pdf is a PDF, not a question paper file. Make one from it first:" in result.stderr
    assert standin.requests == []
