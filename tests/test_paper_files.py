"""Question paper files as `quorvan check` reads them (the reading `quorvan mark` uses too), and their
JSON Schema as `quorvan schema` prints it."""

import copy
import json
from importlib import resources
from pathlib import Path

import jsonschema
import pytest

from quorvan_core.quorvan import Quorvan, QurovanConfig
from tests.support.command import problem_lines, quorvan
from tests.support.pdfs import write_text_pdf

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SOURCE_SCHEMA = Path(__file__).resolve().parent.parent / "src" / "quorvan_core" / "_data" / "paper.schema.json"
MAKE_ONE = "quorvan paper PAPER.pdf --subject SUBJECT --class-level LEVEL -o paper.json"


def ready_paper():
    return {
        "subject": "Science",
        "language": "English",
        "class_level": "Class 8",
        "questions": [
            {"q_id": "Q1", "question_text": "What is photosynthesis?", "max_marks": 2,
             "rubric": {"criteria": [{"statement": "Names light, water and carbon dioxide", "mark": 2}]},
             "reference_answer": "Plants make glucose from light, water and carbon dioxide."},
            {"q_id": "Q2", "question_text": "Explain how the heart pumps blood.", "max_marks": 4,
             "rubric": {"criteria": [{"statement": "Describes the four chambers and valves", "mark": 3},
                                     {"statement": "Explains in clear sentences", "mark": 1}]},
             "reference_answer": "The atria fill, the ventricles contract and the valves keep blood moving one way."},
        ],
    }


def q2(p):
    return p["questions"][1]


def criteria2(p):
    return q2(p)["rubric"]["criteria"]


def write_paper(data, name="paper.json"):
    Path(name).write_text(json.dumps(data, ensure_ascii=False, indent=2), encoding="utf-8")
    return name


@pytest.fixture(scope="module")
def schema():
    """The schema as `quorvan schema` prints it."""
    return json.loads(quorvan("schema").stdout)


# (edit of a ready paper, the problem lines `quorvan check` prints, whether the schema refuses it too)
BROKEN = {
    "criteria above max_marks": (lambda p: criteria2(p).append({"statement": "Mentions the pulse", "mark": 1}),
                                 ["Q2: criteria add up to 5 marks, max_marks is 4"], False),
    "criteria below max_marks": (lambda p: criteria2(p).pop(),
                                 ["Q2: criteria add up to 3 marks, max_marks is 4"], False),
    "criteria floats": (lambda p: q2(p).update(max_marks=4.0, rubric={"criteria": [
                            {"statement": "a", "mark": 2.5}, {"statement": "b", "mark": 2.0}]}),
                        ["Q2: criteria add up to 4.5 marks, max_marks is 4.0"], False),
    "repeated id": (lambda p: q2(p).update(q_id="Q1"),
                    ["Q1 (question 1): the same id as question 2; each question needs its own id"], False),
    "max_marks missing": (lambda p: q2(p).pop("max_marks"),
                          ['Q2: "max_marks" is missing: set the question\'s marks'], True),
    "max_marks zero": (lambda p: q2(p).update(max_marks=0),
                       ['Q2: "max_marks" is 0: set the question\'s marks (a number above 0)'], True),
    "max_marks zero as exported": (lambda p: q2(p).update(max_marks=0.0),
                                   ['Q2: "max_marks" is 0.0: set the question\'s marks (a number above 0)'], True),
    "max_marks negative": (lambda p: q2(p).update(max_marks=-4),
                           ['Q2: "max_marks" is -4: set the question\'s marks (a number above 0)'], True),
    "max_marks a word": (lambda p: q2(p).update(max_marks="four"),
                         ['Q2: "max_marks" must be a number, not "four"'], True),
    "max_marks a number in quotes": (lambda p: q2(p).update(max_marks="4"),
                                     ['Q2: "max_marks" must be a number, not "4"'], True),
    "max_marks true": (lambda p: q2(p).update(max_marks=True), ['Q2: "max_marks" must be a number, not true'], True),
    "max_marks null": (lambda p: q2(p).update(max_marks=None), ['Q2: "max_marks" must be a number, not null'], True),
    "rubric missing": (lambda p: q2(p).pop("rubric"), ["Q2: no rubric criteria"], False),
    "rubric null": (lambda p: q2(p).update(rubric=None), ["Q2: no rubric criteria"], True),
    "criteria empty": (lambda p: q2(p).update(rubric={"criteria": []}), ["Q2: no rubric criteria"], False),
    "rubric as text": (lambda p: q2(p).update(rubric="full marks for a good answer"),
                       ['Q2: "rubric" must be an object with a "criteria" list, not "full marks for a good answer"'],
                       True),
    "criteria not a list": (lambda p: q2(p).update(rubric={"criteria": {"statement": "All", "mark": 4}}),
                            ['Q2: "rubric" must hold a "criteria" list'], True),
    "criterion without mark": (lambda p: criteria2(p)[1].pop("mark"), ['Q2: criterion 2 has no "mark"'], True),
    "criterion mark negative": (lambda p: criteria2(p)[1].update(mark=-1),
                                ['Q2: criterion 2: "mark" must be a number, 0 or more, not -1'], True),
    "criterion without statement": (lambda p: criteria2(p)[0].pop("statement"),
                                    ['Q2: criterion 1 has no "statement"'], True),
    "criterion statement blank": (lambda p: criteria2(p)[0].update(statement="  "),
                                  ['Q2: criterion 1: "statement" is empty'], True),
    "criterion not an object": (lambda p: criteria2(p).__setitem__(1, 1),
                                ['Q2: criterion 2 must be an object with "statement" and "mark", not 1'], True),
    "reference answer missing": (lambda p: q2(p).pop("reference_answer"), ["Q2: no reference answer"], False),
    "reference answer blank": (lambda p: q2(p).update(reference_answer=" \n "), ["Q2: no reference answer"], True),
    "reference answer null": (lambda p: q2(p).update(reference_answer=None), ["Q2: no reference answer"], True),
    "reference answer a number": (lambda p: q2(p).update(reference_answer=42),
                                  ['Q2: "reference_answer" must be text, not 42'], True),
    "q_id missing": (lambda p: q2(p).pop("q_id"), ['question 2: "q_id" is missing'], True),
    "q_id a number": (lambda p: q2(p).update(q_id=2), ['question 2: "q_id" must be text, not 2'], True),
    "question_text missing": (lambda p: q2(p).pop("question_text"), ['Q2: "question_text" is missing'], True),
    "question_text blank": (lambda p: q2(p).update(question_text=""), ['Q2: "question_text" is empty'], True),
    "question not an object": (lambda p: p["questions"].__setitem__(1, "Q2"),
                               ['question 2 must be an object with "q_id", "question_text", "max_marks", "rubric" '
                                'and "reference_answer", not "Q2"'], True),
    "questions missing": (lambda p: p.pop("questions"), ['"questions" is missing'], True),
    "questions empty": (lambda p: p.update(questions=[]),
                        ['"questions" is empty: a paper needs at least one question'], True),
    "questions not a list": (lambda p: p.update(questions={"Q1": "What?"}),
                             ['"questions" must be a list of questions, not {"Q1": "What?"}'], True),
    "subject missing": (lambda p: p.pop("subject"), ['"subject" is missing'], True),
    "class_level missing": (lambda p: p.pop("class_level"), ['"class_level" is missing'], True),
    "subject blank": (lambda p: p.update(subject=" "), ['"subject" is empty'], True),
    "class_level a number": (lambda p: p.update(class_level=8), ['"class_level" must be text, not 8'], True),
    "language null": (lambda p: p.update(language=None),
                      ['"language" must be text, not null (leave it out for English)'], True),
}


def broken(name):
    edit, problems, schema_refuses = BROKEN[name]
    data = ready_paper()
    edit(data)
    return data, problems, schema_refuses


# ------------------------------------------------------------------- quorvan check


def test_a_ready_paper_passes():
    write_paper(ready_paper())
    result = quorvan("check", "paper.json")
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "paper.json: 2 questions, 6 marks, ready for marking\n", "")


@pytest.mark.parametrize("name", list(BROKEN))
def test_each_problem_is_named_with_its_question(name):
    data, problems, _ = broken(name)
    write_paper(data)
    result = quorvan("check", "paper.json")
    assert result.returncode == 2 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines[:2] == ["usage: quorvan check [-h] PAPER.json",
                         "quorvan check: error: paper.json cannot be used for marking:"]
    assert problem_lines(result.stderr) == problems


def test_every_problem_is_listed_at_once():
    data = ready_paper()
    data["class_level"] = ""
    data["questions"][0]["rubric"]["criteria"][0]["mark"] = 1.5
    data["questions"][1].pop("reference_answer")
    data["questions"].append({"q_id": "Q1", "question_text": "Name three planets.", "max_marks": 0})
    data["questions"].append({"question_text": "Why is the sky blue?", "max_marks": "2",
                              "rubric": {"criteria": [{"statement": "Scattering", "mark": -2}]}})
    write_paper(data, "class8.json")
    result = quorvan("check", "class8.json")
    assert result.returncode == 2
    assert result.stderr.splitlines()[1:] == [
        "quorvan check: error: class8.json cannot be used for marking:",
        '  - "class_level" is empty',
        "  - Q1 (question 1): the same id as question 3; each question needs its own id",
        "  - Q1 (question 1): criteria add up to 1.5 marks, max_marks is 2",
        "  - Q2: no reference answer",
        "  - Q1 (question 3): \"max_marks\" is 0: set the question's marks (a number above 0)",
        "  - Q1 (question 3): no rubric criteria",
        "  - Q1 (question 3): no reference answer",
        '  - question 4: "q_id" is missing',
        '  - question 4: "max_marks" must be a number, not "2"',
        '  - question 4: criterion 1: "mark" must be a number, 0 or more, not -2',
        "  - question 4: no reference answer",
        "Once the rest is fixed, quorvan complete class8.json writes the missing rubrics and reference answers.",
    ]


def test_only_missing_rubrics_and_answers_point_to_complete():
    data = ready_paper()
    data["questions"][0].pop("rubric")
    data["questions"][1]["reference_answer"] = ""
    write_paper(data)
    result = quorvan("check", "paper.json")
    assert result.stderr.splitlines()[-3:] == [
        "  - Q1: no rubric criteria",
        "  - Q2: no reference answer",
        "quorvan complete paper.json writes the missing rubrics and reference answers.",
    ]


@pytest.mark.parametrize("marks, total", [
    ([0.1, 0.2], 0.3),            # 0.1 + 0.2 is 0.30000000000000004 in binary
    ([1 / 3, 1 / 3, 1 / 3], 1),
    ([0.7, 0.1, 0.1, 0.1], 1.0),
])
def test_sums_are_compared_with_a_tolerance(marks, total):
    data = ready_paper()
    q2(data).update(max_marks=total, rubric={"criteria": [{"statement": f"Point {i}", "mark": m}
                                                          for i, m in enumerate(marks)]})
    write_paper(data)
    result = quorvan("check", "paper.json")
    assert result.returncode == 0, result.stderr


def test_a_sum_off_by_more_than_the_tolerance_is_refused():
    data = ready_paper()
    q2(data).update(max_marks=1, rubric={"criteria": [{"statement": "All", "mark": 1.000001}]})
    write_paper(data)
    assert problem_lines(quorvan("check", "paper.json").stderr) == [
        "Q2: criteria add up to 1.000001 marks, max_marks is 1"]


def test_a_byte_order_mark_is_accepted():
    Path("paper.json").write_text(json.dumps(ready_paper(), ensure_ascii=False), encoding="utf-8-sig")
    assert Path("paper.json").read_bytes()[:3] == b"\xef\xbb\xbf"
    result = quorvan("check", "paper.json")
    assert (result.returncode, result.stdout) == (0, "paper.json: 2 questions, 6 marks, ready for marking\n")


def test_unicode_text_and_ids_are_reported_as_written():
    data = ready_paper()
    data["subject"] = "विज्ञान"
    q2(data).update(q_id="प्रश्न 2", max_marks=5)
    write_paper(data)
    result = quorvan("check", "paper.json")
    assert problem_lines(result.stderr) == ["प्रश्न 2: criteria add up to 4 marks, max_marks is 5"]


def test_a_file_holding_something_else_than_an_object():
    Path("paper.json").write_text("[1, 2, 3]", encoding="utf-8")
    result = quorvan("check", "paper.json")
    assert result.returncode == 2
    assert problem_lines(result.stderr) == [
        'the file holds [1, 2, 3], not a question paper (an object with "subject", "class_level" and "questions")']


def not_json_advice(name, why):
    return (f"quorvan check: error: {name} is not a question paper file ({why}). A question paper file is the JSON "
            f"that quorvan paper writes:\n  {MAKE_ONE}\n")


@pytest.mark.parametrize("name, content, error", [
    ("paper.json", bytes(range(256)) * 4, not_json_advice("paper.json", "it is not UTF-8 text")),
    ("paper.json", "{\"subject\": \"Sci\u00e9nce\"}".encode("latin-1"), not_json_advice("paper.json", "it is not UTF-8 text")),
    ("paper.json", b'{"subject": "S",\x00 "questions": []}', not_json_advice("paper.json", "it is not text")),
    ("paper.json", b"", not_json_advice("paper.json", "it is empty")),
    ("paper.json", b" \n\t\n", not_json_advice("paper.json", "it is empty")),
    ("questions.txt", b"Q1. What is photosynthesis? [2 marks]\n", not_json_advice("questions.txt", "it is not JSON")),
    ("paper.json", b'\n  {"subject": "S",\n "class_level": "C" "questions": []}',
     "quorvan check: error: paper.json is not valid JSON: Expecting ',' delimiter (line 3, column 21). Fix it "
     f"there, or make the file again:\n  {MAKE_ONE}\n"),
    ("paper.json", json.dumps(ready_paper()).encode("utf-16"),
     "quorvan check: error: paper.json is UTF-16 text: save it as UTF-8 (question paper files are UTF-8 JSON)\n"),
    ("paper.json", b"[" * 100000, not_json_advice("paper.json", "its JSON is nested too deeply")),
])
def test_files_that_are_not_json_get_advice(name, content, error):
    Path(name).write_bytes(content)
    result = quorvan("check", name)
    assert result.returncode == 2
    assert result.stderr == "usage: quorvan check [-h] PAPER.json\n" + error
    assert "codec" not in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("name, output", [("exam.pdf", "paper.json"), ("paper.json", "question_paper.json")])
def test_a_pdf_given_as_the_paper_gets_the_command_that_reads_it(name, output):
    write_text_pdf(name, ["Q1. What is photosynthesis? [2 marks]"])
    result = quorvan("check", name)
    assert result.returncode == 2
    assert result.stderr.splitlines()[1:] == [
        f"quorvan check: error: {name} is a PDF, not a question paper file. Make one from it first:",
        f"  quorvan paper {name} --subject SUBJECT --class-level LEVEL -o {output}",
    ]


def test_a_missing_file_and_a_folder_are_usage_errors(tmp_path):
    (tmp_path / "papers").mkdir()
    missing = quorvan("check", "nowhere.json")
    folder = quorvan("check", "papers")
    assert (missing.returncode, folder.returncode) == (2, 2)
    assert missing.stderr.splitlines()[-1] == "quorvan check: error: question paper file not found: nowhere.json"
    assert folder.stderr.splitlines()[-1] == "quorvan check: error: papers is a folder, not a question paper file"


# ------------------------------------------------------------------ the schema


def test_schema_prints_the_file_shipped_in_the_package():
    result = quorvan("schema")
    assert result.returncode == 0
    shipped = resources.files("quorvan_core").joinpath("_data", "paper.schema.json").read_text(encoding="utf-8")
    assert result.stdout == shipped == SOURCE_SCHEMA.read_text(encoding="utf-8")


def test_schema_is_a_valid_draft_2020_12_schema(schema):
    s = schema
    assert s["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    jsonschema.Draft202012Validator.check_schema(s)
    jsonschema.validate(ready_paper(), s, cls=jsonschema.Draft202012Validator)


@pytest.mark.parametrize("name", list(BROKEN))
def test_schema_refuses_what_it_can_express(schema, name):
    data, _, schema_refuses = broken(name)
    validator = jsonschema.Draft202012Validator(schema)
    # Sums, repeated ids and the optional rubric and reference answer are beyond the schema:
    # only `quorvan check` finds them.
    assert (not validator.is_valid(data)) == schema_refuses


def test_language_may_be_left_out_and_unknown_fields_are_allowed(schema):
    data = ready_paper()
    del data["language"]
    data["exam_date"] = "2025-03-01"
    q2(data)["notes"] = "checked by the head of science"
    criteria2(data)[0]["hint"] = "chambers"
    assert jsonschema.Draft202012Validator(schema).is_valid(data)
    write_paper(data)
    assert quorvan("check", "paper.json").returncode == 0


@pytest.fixture
def facade(api_key, capsys):
    facade = Quorvan()
    facade.configure(QurovanConfig(extractor_type="local"))
    capsys.readouterr()
    return facade


@pytest.mark.parametrize("name", [n for n in BROKEN if not BROKEN[n][2]])
def test_a_file_the_schema_accepts_imports(facade, name):
    data, _, _ = broken(name)
    paper = facade.question_paper_from_json(copy.deepcopy(data))
    assert paper.subject == "Science"


def question_papers(tmp_path):
    return {
        "example": EXAMPLES / "question_paper.pdf",
        "sub-parts and decimals": write_text_pdf(tmp_path / "parts.pdf", [
            "Section A\nQ1. Define osmosis. [2.5 marks]\nQ2a) State Ohm's law. (1)\n"
            "Q2b) Calculate the current through a 5 Ω resistor at 10 V. [2 marks]\n",
            "Q3. Explain the water cycle. 2x3=6\nQ4. Name two noble gases.",  # Q4 has no marks
        ]),
        "unicode": write_text_pdf(tmp_path / "hindi.pdf", [
            "1. प्रकाश संश्लेषण क्या है? [3 marks]\n2. Résumé the law: ∑ F = m × a (5 marks)"]),
    }


@pytest.mark.e2e
@pytest.mark.parametrize("pdf, all_marked", [("example", True), ("sub-parts and decimals", False), ("unicode", True)])
def test_every_exported_paper_is_valid(schema, standin, tmp_path, pdf, all_marked):
    path = question_papers(tmp_path)[pdf]
    result = quorvan("paper", path, "--subject", "Science", "--class-level", "Class 8", "-o", "paper.json")
    assert result.returncode == 0, result.stderr
    data = json.loads(Path("paper.json").read_text(encoding="utf-8"))
    validator = jsonschema.Draft202012Validator(schema)
    with_marks = [q for q in data["questions"] if q["max_marks"] > 0]
    assert with_marks and (len(with_marks) == len(data["questions"])) == all_marked
    if all_marked:
        assert validator.is_valid(data)
        assert quorvan("check", "paper.json").returncode == 0
    else:
        # A question whose marks were not found is the one thing to fix by hand.
        errors = list(validator.iter_errors(data))
        assert errors and all(list(e.path)[-1] == "max_marks" for e in errors)
        data["questions"] = with_marks
        assert validator.is_valid(data)


@pytest.mark.parametrize("place, where", [
    (lambda p: q2(p).update(question_text="Explain \ud800 osmosis."), '"questions" [2] "question_text"'),
    (lambda p: criteria2(p)[0].update(statement="\udc80"), '"questions" [2] "rubric" "criteria" [1] "statement"'),
    (lambda p: p.update(subject="Sci\udfffence"), '"subject"'),
])
def test_text_no_run_could_send_is_refused_by_check(place, where):
    data = ready_paper()
    place(data)
    # As an editor that mangled UTF-16 leaves it: a \ud800 escape in the JSON.
    Path("paper.json").write_text(json.dumps(data), encoding="utf-8")
    result = quorvan("check", "paper.json")
    assert result.returncode == 2
    assert any(line.startswith(where + " holds a character that is not text (") and "lone surrogate" in line
               for line in problem_lines(result.stderr)), result.stderr
