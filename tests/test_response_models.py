import typing

import pydantic
import pytest

import quorvan_core.llm_service as llm

MODELS = [
    ("CriterionModel", "Model for a single criterion", [("statement", str), ("mark", float)]),
    ("RubricResponse", "Structured response for rubric generation", [("criteria", "CriterionModel")]),
    ("ReferenceAnswerResponse", "Structured response for reference answer generation", [("reference_answer", str)]),
    (
        "EvaluationResponse",
        "Structured response for answer evaluation",
        [("fulfilled_criteria", typing.List[int]), ("awarded_marks", float), ("feedback", str)],
    ),
    ("QuestionModel", "Model for a single question", [("q_id", str), ("question_text", str), ("max_marks", float)]),
    ("QuestionPaperResponse", "Structured response for question paper parsing", [("questions", "QuestionModel")]),
    ("ReferenceAnswerModel", "Model for a single reference answer", [("q_id", str), ("reference_answer", str)]),
    (
        "ReferenceAnswerKeysResponse",
        "Structured response for reference answer generation",
        [("reference_answers", "ReferenceAnswerModel")],
    ),
    (
        "StudentAnswerModel",
        "Model for a single student answer",
        [("q_id", str), ("answer_text", str), ("page_numbers", typing.List[int])],
    ),
    ("AnswersheetResponse", "Structured response for answersheet parsing", [("answers", "StudentAnswerModel")]),
]


@pytest.mark.parametrize("name, doc, fields", MODELS, ids=[m[0] for m in MODELS])
def test_model_shape(name, doc, fields):
    model = getattr(llm, name)
    assert issubclass(model, pydantic.BaseModel) and model.__bases__ == (pydantic.BaseModel,)
    assert model.__name__ == name and model.__module__ == "quorvan_core.llm_service"
    assert model.__doc__ == doc
    assert list(model.model_fields) == [f for f, _ in fields]
    for field, annotation in fields:
        info = model.model_fields[field]
        assert info.is_required() and info.alias is None and not info.metadata
        if isinstance(annotation, str):  # a list of a nested model
            assert info.annotation == typing.List[getattr(llm, annotation)]
        else:
            assert info.annotation == annotation


def test_schema_of_evaluation_keeps_field_order_and_requires_all():
    schema = llm.EvaluationResponse.model_json_schema()
    assert list(schema["properties"]) == ["fulfilled_criteria", "awarded_marks", "feedback"]
    assert schema["required"] == ["fulfilled_criteria", "awarded_marks", "feedback"]
    assert schema["description"] == "Structured response for answer evaluation"
    assert schema["properties"]["fulfilled_criteria"] == {"items": {"type": "integer"}, "title": "Fulfilled Criteria", "type": "array"}


@pytest.mark.parametrize(
    "outer, field, inner",
    [
        ("RubricResponse", "criteria", "CriterionModel"),
        ("QuestionPaperResponse", "questions", "QuestionModel"),
        ("ReferenceAnswerKeysResponse", "reference_answers", "ReferenceAnswerModel"),
        ("AnswersheetResponse", "answers", "StudentAnswerModel"),
    ],
)
def test_schema_nests_the_element_model(outer, field, inner):
    schema = getattr(llm, outer).model_json_schema()
    assert schema["properties"][field]["items"] == {"$ref": f"#/$defs/{inner}"}
    assert schema["$defs"][inner] == getattr(llm, inner).model_json_schema()


def test_models_equal_classes_written_in_python():
    class CriterionModel(pydantic.BaseModel):
        """Model for a single criterion"""

        statement: str
        mark: float

    class RubricResponse(pydantic.BaseModel):
        """Structured response for rubric generation"""

        criteria: typing.List[CriterionModel]

    assert llm.RubricResponse.model_json_schema() == RubricResponse.model_json_schema()


def test_models_validate_and_refuse():
    parsed = llm.AnswersheetResponse.model_validate(
        {"answers": [{"q_id": "Q1", "answer_text": "x", "page_numbers": [1, 2]}]}
    )
    assert parsed.answers[0].page_numbers == [1, 2]
    with pytest.raises(pydantic.ValidationError):
        llm.EvaluationResponse.model_validate({"fulfilled_criteria": [0], "feedback": "f"})
