"""Quorvan with its four components replaced by mocks: lifecycle, workflows, updates, JSON import, saves."""

import json
from unittest import mock

import pytest

import quorvan_core.quorvan as quorvan
from quorvan_core.datastructures.answersheet import Answersheet
from quorvan_core.datastructures.rubric import Rubric
from tests.support.facade import clean_env, components, facade, make_paper, make_rubric  # noqa: F401

Q = quorvan.Quorvan
ConfigurationError, ProcessingError, ValidationError = (quorvan.ConfigurationError, quorvan.ProcessingError,
                                                        quorvan.ValidationError)
NOT_CONFIGURED = "Quorvan is not configured. Call configure() first."
NO_PAPER = "No question paper loaded. Call process_question_paper() first."
CONFIGURE_LINES = [
    "Configuring Quorvan...", "Initializing LLM handler...", "LLM handler initialized",
    "Initializing aws extractor client...", "Extractor client initialized", "Initializing question paper handler...",
    "Initializing answersheet handler...", "All handlers initialized", "Quorvan configured successfully!"]


@pytest.fixture
def pdf(tmp_path):
    (tmp_path / "paper.pdf").write_bytes(b"%PDF-1.4\n")  # pipelines are mocks: only existence matters
    return "paper.pdf"


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def sheet():
    return Answersheet(subject="Science", language="English", class_level="Grade 8")


# ------------------------------------------------------------------ lifecycle


def test_a_new_facade():
    f = Q()
    assert list(vars(f).items()) == [
        ("config", None), ("is_configured", False), ("llm_service", None), ("extractor_client", None),
        ("question_paper_service", None), ("answersheet_service", None), ("current_question_paper", None),
        ("last_processing_summary", {})]
    assert (f.get_configuration_summary(), f.is_ready(), f.get_token_usage_summary()) == (
        {"status": "not_configured"}, False, {"status": "not_configured"})


def test_configure_builds_and_wires_the_four_components(components, capsys):
    f = Q()
    config = quorvan.QurovanConfig(extractor_region="eu", token_log_file="t.log", enable_llm_token_logging=1, dpi=300)
    assert f.configure(config) is None
    assert lines(capsys) == CONFIGURE_LINES
    components.LLMService.assert_called_once_with(token_log_file="t.log", enable_logging=True)
    components.ExtractorClient.return_value.set_dpi.assert_called_once_with(300)
    for pipeline in (components.QuestionPaperService, components.AnswersheetService):
        pipeline.assert_called_once_with(extractor_client=f.extractor_client, llm_service=f.llm_service)
    assert (f.config, f.is_configured, f.llm_service) == (config, True, components.LLMService.return_value)
    assert list(f.get_configuration_summary().items()) == [
        ("status", "configured"), ("extractor_type", "aws"), ("extractor_region", "eu"), ("token_log_file", "t.log"),
        ("dpi", 300), ("ready", True), ("has_question_paper", False)]


@pytest.mark.parametrize("extractor_type, credentials, expected", [
    ("openai", {"openai_api_key": "sk-o", "gemini_api_key": "g"}, {"api_key": "sk-o"}),
    ("openai", {"openai_api_key": ""}, {}),
    ("OpenAI", {"openai_api_key": "sk-o"}, {}),
    ("gemini", {"gemini_api_key": "g", "openai_api_key": "sk-o"}, {"api_key": "g"}),
    ("mathpix", {"mathpix_app_id": "id"}, {"app_id": "id"}),
    ("mathpix", {"mathpix_app_id": "id", "mathpix_app_key": "key"}, {"app_id": "id", "app_key": "key"}),
    ("aws", {"openai_api_key": "sk-o", "gemini_api_key": "g"}, {}),
])
def test_extractor_credentials_by_type(components, extractor_type, credentials, expected):
    Q().configure(quorvan.QurovanConfig(extractor_type=extractor_type, extractor_region="r", **credentials))
    components.ExtractorClient.assert_called_once_with(extractor_type=extractor_type, region="r", **expected)


@pytest.mark.parametrize("failing, inner, printed", [
    (None, "config must be an instance of QurovanConfig", 0),
    ("LLMService", "Failed to initialize LLM handler: no luck", 2),
    ("ExtractorClient", "Failed to initialize extractor client: no luck", 4),
    ("AnswersheetService", "Failed to initialize handlers: no luck", 7),
])
def test_configure_failures_are_doubly_wrapped(components, capsys, failing, inner, printed):
    f = Q()
    if failing:
        getattr(components, failing).side_effect = RuntimeError("no luck")
    with pytest.raises(ConfigurationError) as caught:
        f.configure(quorvan.QurovanConfig() if failing else "aws")
    error = caught.value
    assert str(error) == "Failed to configure Quorvan: " + inner and error.__cause__ is None
    assert type(error.__context__) is ConfigurationError and str(error.__context__) == inner
    assert lines(capsys) == CONFIGURE_LINES[:printed]
    status = "configuration_failed" if failing else "not_configured"
    assert (f.get_configuration_summary()["status"], f.is_ready()) == (status, False)
    # Components made before the failing step stay attached.
    assert (f.llm_service is None) == (failing in (None, "LLMService"))


def test_without_any_openai_key_the_real_service_refuses(clean_env):
    f = Q()
    with pytest.raises(ConfigurationError) as caught:
        f.configure(quorvan.QurovanConfig())
    original = caught.value.__context__.__context__
    assert type(original) is ValueError
    assert str(caught.value) == "Failed to configure Quorvan: Failed to initialize LLM handler: " + str(original)
    assert (f.llm_service, f.extractor_client, f.question_paper_service) == (None, None, None)


def test_an_export_failure_arrives_unwrapped_in_the_message(components):
    config = quorvan.QurovanConfig()
    config.openai_api_key = 5  # written after construction: nothing re-checks it
    with pytest.raises(ConfigurationError) as caught:
        Q().configure(config)
    assert type(caught.value.__context__) is TypeError
    assert str(caught.value) == "Failed to configure Quorvan: " + str(caught.value.__context__)
    components.LLMService.assert_not_called()


def test_configure_calls_its_steps_through_the_instance(components):
    class Custom(Q):
        def _initialize_handlers(self):
            raise KeyError("handlers")

    f = Custom()
    with mock.patch.object(Custom, "_set_environment_variables") as export, pytest.raises(ConfigurationError) as caught:
        f.configure(quorvan.QurovanConfig())
    export.assert_called_once_with(f.config)
    assert str(caught.value) == "Failed to configure Quorvan: 'handlers'"


def test_readiness_and_a_refused_reconfiguration(facade):
    config, service = facade.config, facade.llm_service
    facade.answersheet_service = None
    with pytest.raises(ConfigurationError, match=r"^Quorvan is not ready\. Some components failed to initialize\.$"):
        facade._validate_configured()
    with pytest.raises(ConfigurationError):
        facade.configure("not a configuration")
    assert facade.config is config and facade.llm_service is service
    assert facade.get_configuration_summary()["status"] == "configuration_failed"


# ---------------------------------------------------------- failures, one table


def paper_json(**question):
    q = {"q_id": "Q1", "question_text": "State Ohm's law.", "max_marks": 5, **question}
    return {"subject": "Physics", "class_level": "Grade 11", "questions": [{k: v for k, v in q.items() if v is not ...}]}


WRAPPED = [  # call on a configured facade whose current paper is Q1 alone; expected error, cause class, summary key
    (lambda f: f.process_question_paper("missing.pdf", "Math", "English", "Grade 10"), ProcessingError,
     "Failed to process question paper: PDF file not found: missing.pdf", ValidationError, "question_paper_processing"),
    (lambda f: f.process_question_paper("notes.txt", "Math", "English", "Grade 10"), ProcessingError,
     "Failed to process question paper: File must be a PDF: notes.txt", ValidationError, "question_paper_processing"),
    (lambda f: f.process_question_paper("paper.pdf", "", "English", "Grade 10"), ProcessingError,
     "Failed to process question paper: Subject must be a non-empty string", ValidationError,
     "question_paper_processing"),
    (lambda f: setattr(f, "is_configured", False) or f.process_question_paper("paper.pdf", "M", "E", "G"),
     ProcessingError, "Failed to process question paper: " + NOT_CONFIGURED, ConfigurationError,
     "question_paper_processing"),
    (lambda f: f.generate_rubrics(make_paper("Q1"), ["Q1", "Q9", "Q9"]), ProcessingError,
     "Failed to generate rubrics: Invalid question IDs: ['Q9', 'Q9']. Available IDs: ['Q1']", ValidationError,
     "rubric_generation"),
    (lambda f: f.generate_reference_answers({"Q1": "x"}), ProcessingError,
     "Failed to generate reference answers: question_paper must be a QuestionPaper instance", ValidationError,
     "reference_answer_generation"),
    (lambda f: setattr(f, "current_question_paper", None) or f.process_answersheet("paper.pdf"), ProcessingError,
     "Failed to process answersheet: " + NO_PAPER, ValidationError, "answersheet_processing"),
    (lambda f: setattr(f, "is_configured", False) or f.update_rubrics_for_questions(make_paper("Q1"), {}),
     ProcessingError, "Failed to update rubrics: " + NOT_CONFIGURED, ConfigurationError, "rubric_update"),
    (lambda f: f.update_reference_answers_for_questions(make_paper("Q1"), {}), ValidationError,
     "question_ids must be a non-empty list", None, None),
    (lambda f: f.update_rubrics_from_dict(make_paper("Q1"), {"Q1": {"statement": "s"}}), ProcessingError,
     "Failed to update rubrics from dict: Argument 'criteria_data' has incorrect type (expected list, got dict)",
     TypeError, None),
    (lambda f: f.change_question_paper(make_paper()), ProcessingError,
     "Failed to change question paper: Question paper must contain at least one question", ValidationError, None),
    (lambda f: setattr(f, "is_configured", False) or f.question_paper_from_json(paper_json()), ValidationError,
     "Failed to create QuestionPaper from JSON: " + NOT_CONFIGURED, ConfigurationError, None),
    (lambda f: setattr(f, "is_configured", False) or f.save_question_paper("p.json"), ProcessingError,
     "Failed to save question paper: " + NOT_CONFIGURED, ConfigurationError, None),
    (lambda f: f.save_question_paper("p.xml", "xml"), ValidationError, "Format must be 'json' or 'txt'", None, None),
    (lambda f: setattr(f, "current_question_paper", None) or f.save_question_paper("p.json"), ValidationError,
     NO_PAPER, None, None),
    (lambda f: f.save_answersheet({"Q1": "x"}, "s.json"), ValidationError,
     "answersheet must be an Answersheet instance", None, None),
]


@pytest.mark.parametrize("call, error, message, context, key", WRAPPED)
def test_failures(facade, capsys, pdf, tmp_path, call, error, message, context, key):
    (tmp_path / "notes.txt").write_text("not a pdf")
    facade.current_question_paper = make_paper("Q1")
    with pytest.raises(error) as caught:
        call(facade)
    e = caught.value
    assert (type(e), str(e), type(e.__context__), e.__cause__) == (error, message, context or type(None), None)
    assert facade.get_processing_summary() == ({key: {"status": "error", "error": message}} if key else {})
    # Only the id check comes after a workflow's first line.
    assert capsys.readouterr().out == ("Starting rubric generation workflow...\n" if key == "rubric_generation" else "")


@pytest.mark.parametrize("call, message", [
    (lambda f: f.process_question_paper("paper.pdf", None, "English", "Grade 10"), "'subject' (expected str, got NoneType)"),
    (lambda f: f.process_question_paper("paper.pdf", "M", "E", "G", (1, 2)), "'page_numbers' (expected list, got tuple)"),
    (lambda f: f.generate_rubrics(make_paper("Q1"), "Q1"), "'question_ids' (expected list, got str)"),
    (lambda f: f.process_answersheet(b"paper.pdf"), "'pdf_path' (expected str, got bytes)"),
    (lambda f: f.update_rubrics_for_questions(make_paper("Q1"), [("Q1", None)]),
     "'rubrics_data' (expected dict, got list)"),
    (lambda f: Q.create_rubric_from_dict(({"statement": "s", "mark": 1},)), "'criteria_data' (expected list, got tuple)"),
    (lambda f: f.save_answersheet(sheet(), "s.json", None), "'format' (expected str, got NoneType)"),
])
def test_argument_types_are_refused_before_anything_happens(facade, capsys, pdf, call, message):
    with pytest.raises(TypeError) as caught:
        call(facade)
    assert str(caught.value) == "Argument " + message.replace(" (", " has incorrect type (", 1)
    assert capsys.readouterr().out == "" and facade.get_processing_summary() == {}
    assert not facade.question_paper_service.mock_calls and not facade.answersheet_service.mock_calls


# ------------------------------------------------------------------- workflows


@pytest.mark.parametrize("name", ["paper.pdf", "PAPER.PDF"])
def test_process_question_paper(facade, capsys, tmp_path, name):
    (tmp_path / name).write_bytes(b"%PDF-1.4\n")
    qps, paper = facade.question_paper_service, make_paper("Q1", "Q2", "Q3")
    qps.process_pdf.return_value, qps.get_summary.return_value = paper, {"total_questions": 3}
    assert facade.process_question_paper(name, "Math", " ", "Grade 10", [2, 1]) is paper
    qps.process_pdf.assert_called_once_with(pdf_path=name, subject="Math", language=" ", class_level="Grade 10",
                                            page_numbers=[2, 1])
    qps.get_summary.assert_called_once_with(paper)
    assert lines(capsys) == ["Starting question paper processing workflow...",
                             "Question paper processing completed successfully!", "Extracted 3 questions"]
    assert facade.get_current_question_paper() is paper
    assert list(facade.get_processing_summary()["question_paper_processing"].items()) == [
        ("status", "success"), ("pdf_path", name), ("subject", "Math"), ("language", " "),
        ("class_level", "Grade 10"), ("processed_pages", [2, 1]), ("summary", {"total_questions": 3})]


def test_a_failure_after_extraction_keeps_the_new_paper(facade, pdf):
    paper = facade.question_paper_service.process_pdf.return_value = make_paper("Q1")
    facade.question_paper_service.get_summary.side_effect = KeyError("summary")
    with pytest.raises(ProcessingError, match="^Failed to process question paper: 'summary'$"):
        facade.process_question_paper(pdf, "Math", "English", "Grade 10")
    assert facade.current_question_paper is paper


GENERATIONS = [  # method, pipeline call per question, pipeline call for all, summary key, texts
    ("generate_rubrics", "generate_rubric_for_question", "generate_rubrics_for_all_questions", "rubric_generation",
     "rubrics", "rubric", "Rubric generation"),
    ("generate_reference_answers", "generate_reference_answer_for_question",
     "generate_reference_answers_for_all_questions", "reference_answer_generation", "reference answers",
     "reference answer", "Reference answer generation"),
]


@pytest.mark.parametrize("method, one, every, key, what, singular, title", GENERATIONS)
@pytest.mark.parametrize("ids", [None, [], ["Q2", "Q1"]])
def test_generation(facade, capsys, method, one, every, key, what, singular, title, ids):
    qps, paper = facade.question_paper_service, make_paper("Q1", "Q2", "Q3")
    made = make_rubric(1.0)
    getattr(qps, one).side_effect = [RuntimeError("model down"), made]
    getattr(qps, every).return_value = {"Q3": made}
    result = getattr(facade, method)(paper, ids)
    start, done = f"Starting {title.lower()} workflow...", f"{title} completed successfully!"
    if ids:
        assert result == {"Q1": made}
        assert getattr(qps, one).call_args_list == [mock.call(paper, "Q2"), mock.call(paper, "Q1")]
        assert lines(capsys) == [start, f"Generating {what} for 2 specific questions...",
                                 f"Warning: Failed to generate {singular} for Q2: model down",
                                 f"Generated {what} for 1/2 questions", done]
    else:
        assert result is getattr(qps, every).return_value
        getattr(qps, every).assert_called_once_with(paper)
        assert lines(capsys) == [start, f"Generating {what} for all questions...", done]
    entry = facade.get_processing_summary()[key]
    assert list(entry.items()) == [("status", "success"), ("target_questions", ids or "all"), ("total_questions", 3)]
    assert facade.current_question_paper is None


def test_generation_result_must_be_a_dict(facade):
    facade.question_paper_service.generate_rubrics_for_all_questions.return_value = ["Q1"]
    with pytest.raises(ProcessingError, match="^Failed to generate rubrics: Expected dict, got list$"):
        facade.generate_rubrics(make_paper("Q1"))


@pytest.mark.parametrize("validation, tail", [
    ({"attempt_rate": 75.0, "warnings": ["Low rate", "Q3: very short"]},
     ["Attempt rate: 75.0%", "Validation warnings:", "   \u2022 Low rate", "   \u2022 Q3: very short"]),
    ({"attempt_rate": 75.0, "warnings": []}, ["Attempt rate: 75.0%"]),
    ({}, ["Attempt rate: 0%"]),
])
def test_process_answersheet(facade, capsys, pdf, validation, tail):
    ass, paper, answers = facade.answersheet_service, make_paper("Q1", "Q2", "Q3", "Q4"), sheet()
    facade.current_question_paper = paper
    ass.process_pdf.return_value, ass.get_summary.return_value = answers, {"attempted_questions": 3}
    ass.validate_processing.return_value = validation
    assert facade.process_answersheet(pdf) is answers
    ass.process_pdf.assert_called_once_with(pdf_path=pdf, question_paper=paper, page_numbers=None)
    assert ass.get_summary.call_args == ass.validate_processing.call_args == mock.call(answers, paper)
    assert lines(capsys) == ["Starting answersheet processing workflow...",
                             "Answersheet processing completed successfully!", "Processed 3 student answers", *tail]
    assert list(facade.get_processing_summary()["answersheet_processing"].items()) == [
        ("status", "success"), ("pdf_path", pdf), ("processed_pages", None),
        ("summary", {"attempted_questions": 3}), ("validation", validation)]


def test_accessors(facade):
    facade.last_processing_summary["rubric_generation"] = {"status": "success"}
    copy = facade.get_processing_summary()
    copy["extra"] = {}
    copy["rubric_generation"]["status"] = "changed"
    assert facade.last_processing_summary == {"rubric_generation": {"status": "changed"}}
    facade.llm_service.get_total_usage.return_value = {"total_tokens": 12}
    assert facade.get_token_usage_summary() == {"total_tokens": 12}
    facade.current_question_paper = make_paper("Q1")
    with pytest.raises(ValidationError, match=r"^Invalid question IDs: \['Q2'\]\. Available IDs: \['Q1'\]$"):
        facade._validate_question_ids(["Q2", "Q1"])


# --------------------------------------------------------------------- updates


def test_update_rubrics_reports_each_question(facade, capsys):
    paper, rubric = make_paper("Q1", "Q2", "Q3"), make_rubric(1.0, 1.0)
    assert facade.update_rubrics_for_questions(paper, {"Q2": "two marks", "Q1": rubric}) is None
    assert (paper.get_question("Q1").rubric, paper.get_question("Q2").rubric) == (rubric, None)
    assert lines(capsys) == [
        "Updating rubrics for 2 questions...",
        "Updating rubric for question Q2...", "   Failed to update rubric for Q2: Rubric for Q2 must be a Rubric instance",
        "Updating rubric for question Q1...", "   Rubric updated for Q1",
        "Rubric update completed!", "Updated: 1/2 questions", "Failed to update rubrics for: ['Q2']"]
    assert list(facade.get_processing_summary()["rubric_update"].items()) == [
        ("status", "completed"), ("target_questions", ["Q2", "Q1"]), ("updated_count", 1), ("failed_count", 1),
        ("failed_questions", ["Q2"])]


@pytest.mark.parametrize("value, failure", [
    ("  x = 5 ", None), (" \n\t", "Reference answer for Q1 cannot be empty"),
    (["x"], "Reference answer for Q1 must be a string")])
def test_update_reference_answers(facade, capsys, value, failure):
    paper = make_paper("Q1")
    facade.update_reference_answers_for_questions(paper, {"Q1": value})
    assert paper.get_question("Q1").reference_answer == (None if failure else value)
    ends = ([f"   Failed to update reference answer for Q1: {failure}", "Reference answer update completed!",
             "Updated: 0/1 questions", "Failed to update reference answers for: ['Q1']"] if failure else
            ["   Reference answer updated for Q1", "Reference answer update completed!", "Updated: 1/1 questions"])
    assert lines(capsys) == ["Updating reference answers for 1 questions...",
                             "Updating reference answer for question Q1...", *ends]


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("criteria, message, context", [
    (["x"], "Criterion 0 must be a dictionary", None),
    ([{"statement": "a", "mark": 1}, {"statement": "b"}], "Criterion 1 must have 'statement' and 'mark' fields", None),
    ([{"statement": "a", "mark": -1}], "Criterion 0 mark must be a non-negative number", None),
    ([{"statement": "a", "mark": "two"}], "Criterion 0 mark must be a non-negative number", ValueError),
    ([{"statement": "a", "mark": float("nan")}], "Criterion 0 mark must be a non-negative number", None),
    ([{"statement": Unprintable(), "mark": 1}], "Failed to create rubric: no text", RuntimeError),
])
def test_create_rubric_from_dict_refusals(criteria, message, context):
    with pytest.raises(ValidationError) as caught:
        Q.create_rubric_from_dict(criteria)
    assert str(caught.value) == message and type(caught.value.__context__) is (context or type(None))


def test_rubrics_from_dicts(facade):
    rubric = Q().create_rubric_from_dict([{"statement": 7, "mark": "2"}, {"statement": "b", "mark": 0}])
    assert type(rubric) is Rubric and [(c.statement, c.mark) for c in rubric.criteria] == [("7", 2.0), ("b", 0.0)]
    paper = make_paper("Q1", "Q2")
    with pytest.raises(ValidationError, match="^Criterion 0 must be a dictionary$"):
        facade.update_rubrics_from_dict(paper, {"Q1": [{"statement": "s", "mark": 1}], "Q2": ["bad"]})
    assert paper.get_question("Q1").rubric is None  # every rubric is built before any question changes
    facade.update_rubrics_from_dict(paper, {"Q2": [{"statement": "s", "mark": 1.5}]})
    assert paper.get_question("Q2").rubric.criteria[0].mark == 1.5


def test_change_question_paper(facade, capsys):
    paper = make_paper("Q1", "Q2", marks=2.5, subject="Math", class_level="Grade 9")
    assert facade.change_question_paper(paper) is paper and facade.get_current_question_paper() is paper
    assert lines(capsys) == ["Changing question paper...", "Question paper changed successfully!",
                             "New question paper has 2 questions", "Total marks: 5.0"]
    assert list(facade.get_processing_summary()["question_paper_change"].items()) == [
        ("status", "success"), ("total_questions", 2), ("total_marks", 5.0), ("subject", "Math"),
        ("class_level", "Grade 9")]


# ------------------------------------------------------------------ JSON import


@pytest.mark.parametrize("as_text", [True, False])
def test_question_paper_from_json(facade, capsys, as_text):
    data = paper_json(max_marks="5", reference_answer="V = IR",
                      rubric={"criteria": [{"statement": "Law", "mark": 3}, {"statement": "Units", "mark": "2"}]})
    data["questions"].append({"q_id": " Q2 ", "question_text": "Define power.", "max_marks": 2.5, "rubric": {},
                              "reference_answer": ""})
    paper = facade.question_paper_from_json(json.dumps(data) if as_text else data)
    assert (paper.subject, paper.language, paper.class_level, paper.get_question_ids()) == (
        "Physics", "English", "Grade 11", ["Q1", " Q2 "])
    q1, q2 = paper.get_question("Q1"), paper.get_question(" Q2 ")
    assert (q1.text, q1.max_marks, q1.reference_answer) == ("State Ohm's law.", 5.0, "V = IR")
    assert [(c.statement, c.mark) for c in q1.rubric.criteria] == [("Law", 3.0), ("Units", 2.0)]
    assert (q2.max_marks, q2.rubric, q2.reference_answer) == (2.5, None, None)
    assert lines(capsys) == ["Creating QuestionPaper from JSON...", "QuestionPaper created successfully from JSON!",
                             "Created 2 questions", "Total marks: 7.5"]
    assert facade.get_current_question_paper() is None and facade.get_processing_summary() == {}


@pytest.mark.parametrize("data, message", [
    ({"class_level": "x", "questions": []}, "Missing required field: subject"),
    ({**paper_json(), "questions": {"q_id": "Q1"}}, "Questions must be a non-empty list"),
    (paper_json(max_marks=...), "Question missing required field: max_marks"),
    (paper_json(q_id="  "), "q_id must be a non-empty string"),
    (paper_json(max_marks=0), "max_marks must be a positive number"),
    (paper_json(max_marks=float("inf")), "max_marks must be a positive number"),
    (paper_json(rubric={"points": []}), "Rubric must contain 'criteria' field"),
    (paper_json(rubric={"criteria": [{"mark": 1}]}), "Each criterion must have 'statement' and 'mark' fields"),
    (paper_json(rubric={"criteria": [{"statement": "s", "mark": -0.5}]}), "Criterion mark must be a non-negative number"),
    ({**paper_json(), "questions": ["Q1"]},
     "Failed to create QuestionPaper from JSON: Argument 'q_data' has incorrect type (expected dict, got str)"),
    (paper_json(rubric=[{"statement": "s", "mark": 1}]),
     "Failed to create QuestionPaper from JSON: Argument 'rubric_data' has incorrect type (expected dict, got list)"),
])
def test_question_paper_from_json_refusals(facade, data, message):
    with pytest.raises(ValidationError) as caught:
        facade.question_paper_from_json(data)
    assert type(caught.value) is ValidationError and str(caught.value) == message


def test_invalid_json_text(facade):
    with pytest.raises(ValidationError) as caught:
        facade.question_paper_from_json('{"subject": "Physics",')
    assert type(caught.value.__context__) is json.JSONDecodeError
    assert str(caught.value) == "Invalid JSON format: " + str(caught.value.__context__)


# ------------------------------------------------------------ saves, summaries


@pytest.mark.parametrize("fmt", ["json", "TXT", "Json"])
def test_saves_hand_the_format_on_unchanged(facade, capsys, fmt):
    paper = facade.current_question_paper = make_paper("Q1")
    answers = sheet()
    facade.save_question_paper("out/paper.json", fmt)
    facade.save_answersheet(answers, "out/sheet.json", format=fmt)
    facade.question_paper_service.save_to_file.assert_called_once_with(
        question_paper=paper, output_path="out/paper.json", format=fmt)
    facade.answersheet_service.save_to_file.assert_called_once_with(
        answersheet=answers, question_paper=paper, output_path="out/sheet.json", format=fmt)
    facade.answersheet_service.save_to_file.side_effect = PermissionError("read-only")
    with pytest.raises(ProcessingError, match="^Failed to save answersheet: read-only$"):
        facade.save_answersheet(answers, "out/sheet.json")
    assert capsys.readouterr().out == "" and facade.get_processing_summary() == {}


@pytest.mark.parametrize("prepare, call, line", [
    (lambda f: setattr(f, "is_configured", False), lambda f: f.print_question_paper_summary(),
     "Error printing summary: " + NOT_CONFIGURED),
    (lambda f: None, lambda f: f.print_answersheet_summary(sheet()), "Error printing answersheet summary: " + NO_PAPER),
    (lambda f: setattr(f, "current_question_paper", make_paper("Q1")), lambda f: f.print_answersheet_summary("s"),
     "Error printing answersheet summary: answersheet must be an Answersheet instance"),
    (lambda f: setattr(f, "current_question_paper", make_paper("Q1")), lambda f: f.print_question_paper_summary(),
     None),
])
def test_summaries_print_one_error_line_or_delegate(facade, capsys, prepare, call, line):
    prepare(facade)
    assert call(facade) is None
    assert lines(capsys) == ([line] if line else [])
    if not line:
        facade.question_paper_service.print_summary.assert_called_once_with(facade.current_question_paper)


JSON_LINES = ["Creating QuestionPaper from JSON...", "QuestionPaper created successfully from JSON!",
              "Created 2 questions", "Total marks: 5.0", "Changing question paper...",
              "Question paper changed successfully!", "New question paper has 2 questions", "Total marks: 5.0"]


def test_example_json_workflow(components, capsys, tmp_path):
    assert quorvan.example_json_workflow() is None
    assert lines(capsys) == [*CONFIGURE_LINES, *JSON_LINES,
                             "Error in JSON workflow: Failed to process answersheet: PDF file not found: student_answer.pdf"]
    (tmp_path / "student_answer.pdf").write_bytes(b"%PDF-1.4\n")
    ass = components.AnswersheetService.return_value
    ass.get_summary.return_value, ass.validate_processing.return_value = {"attempted_questions": 2}, {}
    quorvan.example_json_workflow()
    assert lines(capsys)[-5:] == ["Starting answersheet processing workflow...",
                                  "Answersheet processing completed successfully!", "Processed 2 student answers",
                                  "Attempt rate: 0%", "JSON workflow completed successfully!"]
    paper = ass.process_pdf.call_args.kwargs["question_paper"]
    q1, q2 = paper.get_question("Q1"), paper.get_question("Q2")
    assert (paper.subject, paper.language, paper.class_level) == ("Mathematics", "English", "Grade 10")
    assert [(c.statement, c.mark) for c in q1.rubric.criteria] == [("Correct algebraic manipulation", 2.0),
                                                                   ("Clear presentation", 1.0)]
    assert (q1.reference_answer, q2.reference_answer) == ("2x + 5 = 15\n2x = 15 - 5\n2x = 10\nx = 5",
                                                          "Area = πr² = π × 5² = 25π ≈ 78.54 cm²")
    components.LLMService.side_effect = RuntimeError("offline")
    quorvan.example_json_workflow()
    assert lines(capsys)[-1] == "Error in JSON workflow: Failed to configure Quorvan: Failed to initialize LLM handler: offline"
