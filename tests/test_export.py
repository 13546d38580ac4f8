"""Exporting the current question paper as the JSON the import reads: a round trip that loses nothing."""

import json
import os
from pathlib import Path

import pytest

from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric
from quorvan_core.quorvan import ProcessingError, Quorvan, QurovanConfig, ValidationError
from tests.support.pdfs import write_text_pdf


@pytest.fixture
def facade(api_key, capsys):
    facade = Quorvan()
    facade.configure(QurovanConfig(extractor_type="local"))
    capsys.readouterr()
    return facade


def paper():
    paper = QuestionPaper(subject="Science", language="हिन्दी", class_level="Class 8")
    q1 = Question(q_id="Q1", text="Define photosynthesis. [2 marks]", max_marks=2)
    q1.set_rubric(Rubric([Criterion(statement="Names light, water and CO₂", mark=1.5),
                          Criterion(statement="Names oxygen as the gas released", mark=0.5)]))
    q1.set_reference_answer("Plants use light, water and CO₂ to make glucose;\noxygen is released.")
    q2 = Question(q_id="2(i)", text="State Ohm's law.", max_marks=3)
    q2.set_rubric(Rubric([]))
    q3 = Question(q_id="Q3", text="Explain osmosis.", max_marks=4.5)
    for q in (q1, q2, q3):
        paper.add_question(q)
    return paper


def test_export_then_import_gives_the_same_paper(facade, capsys):
    original = paper()
    facade.change_question_paper(original)
    facade.export_question_paper("out/paper.json")
    assert capsys.readouterr().out.splitlines()[-1] == "Question paper exported to: out/paper.json"
    text = Path("out/paper.json").read_text(encoding="utf-8")
    assert "हिन्दी" in text and "CO₂" in text  # written as themselves, not escaped
    imported = facade.question_paper_from_json(text)
    assert imported == original
    assert imported.get_question_ids() == ["Q1", "2(i)", "Q3"]
    assert imported.get_question("Q3").rubric is None and imported.get_question("Q3").reference_answer is None
    assert imported.get_question("2(i)").rubric == Rubric([])


def test_the_exported_file_is_plain_editable_json(facade):
    facade.change_question_paper(paper())
    facade.export_question_paper("paper.json")
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    assert list(data) == ["subject", "language", "class_level", "questions"]
    assert list(data["questions"][0]) == ["q_id", "question_text", "max_marks", "rubric", "reference_answer"]
    assert data["questions"][0]["rubric"] == {"criteria": [
        {"statement": "Names light, water and CO₂", "mark": 1.5},
        {"statement": "Names oxygen as the gas released", "mark": 0.5}]}
    assert list(data["questions"][2]) == ["q_id", "question_text", "max_marks"]


def test_edit_by_hand_import_and_mark(standin, facade, tmp_path):
    facade.change_question_paper(paper())
    facade.export_question_paper("paper.json")
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    data["questions"] = data["questions"][:1]
    data["questions"][0]["rubric"]["criteria"][0]["mark"] = 3.5  # the teacher raises a criterion's weight
    data["questions"][0]["max_marks"] = 4
    edited = facade.question_paper_from_json(json.dumps(data, ensure_ascii=False))
    facade.change_question_paper(edited)
    sheet = write_text_pdf(tmp_path / "sheet.pdf",
                           ["Q1. Plants use light, water and CO₂ to make glucose; oxygen is released."])
    answersheet = facade.process_answersheet(str(sheet))
    marked = answersheet.get_answer("Q1").eval_rubric
    assert [c.mark for c in marked.criteria] == [3.5, 0.5]
    assert marked.get_awarded_marks() == 4.0


def test_a_failed_write_leaves_the_earlier_export(facade):
    facade.change_question_paper(paper())
    facade.export_question_paper("paper.json")
    before = Path("paper.json").read_bytes()
    facade.current_question_paper.get_question("Q1").text = "\udcff lone surrogate"  # cannot be encoded
    with pytest.raises(ProcessingError, match="^Failed to export question paper: ") as raised:
        facade.export_question_paper("paper.json")
    assert isinstance(raised.value.__context__, UnicodeEncodeError)
    assert Path("paper.json").read_bytes() == before
    assert os.listdir(".") == ["paper.json"] or sorted(os.listdir(".")) == ["llm_token_usage.log", "paper.json"]


def test_preconditions(api_key, facade):
    with pytest.raises(ValidationError, match="^No question paper loaded. Call process_question_paper\\(\\) first.$"):
        facade.export_question_paper("p.json")
    with pytest.raises(ProcessingError, match="^Failed to export question paper: Quorvan is not configured"):
        Quorvan().export_question_paper("p.json")
    with pytest.raises(TypeError, match="Argument 'output_path' has incorrect type"):
        facade.export_question_paper(None)
    assert not os.path.exists("p.json")
