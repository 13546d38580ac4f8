"""Facades for tests: the four components replaced by mocks on quorvan_core.quorvan, and small records.

Test modules import the fixtures they use (``from tests.support.facade import facade``).
"""

from types import SimpleNamespace
from unittest import mock

import pytest

import quorvan_core.quorvan as quorvan
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric

CREDENTIAL_VARS = {
    "OPENAI_API_KEY": "openai_api_key",
    "AWS_ACCESS_KEY_ID": "aws_access_key_id",
    "AWS_SECRET_ACCESS_KEY": "aws_secret_access_key",
    "GEMINI_API_KEY": "gemini_api_key",
    "MATHPIX_APP_ID": "mathpix_app_id",
    "MATHPIX_APP_KEY": "mathpix_app_key",
}
COMPONENTS = ("LLMService", "ExtractorClient", "QuestionPaperService", "AnswersheetService")


@pytest.fixture
def clean_env(monkeypatch):
    """No credential in the environment, and whatever a test exports is removed afterwards."""
    for name in CREDENTIAL_VARS:
        monkeypatch.setenv(name, "")  # recorded first, so the undo also removes a later export
        monkeypatch.delenv(name)


@pytest.fixture
def components(clean_env):
    """The four collaborators configure creates, as mocks on the facade module."""
    with mock.patch.multiple(quorvan, **{name: mock.DEFAULT for name in COMPONENTS}) as mocks:
        yield SimpleNamespace(**mocks)


@pytest.fixture
def facade(components, capsys):
    """A configured facade whose components are the mocks; configure's lines already read."""
    f = quorvan.Quorvan()
    f.configure(quorvan.QurovanConfig())
    capsys.readouterr()
    return f


def make_paper(*ids, marks=2.0, subject="Science", class_level="Grade 8"):
    paper = QuestionPaper(subject=subject, language="English", class_level=class_level)
    for q_id in ids:
        paper.add_question(Question(q_id=q_id, text=f"Question {q_id}", max_marks=marks))
    return paper


def make_rubric(*marks):
    return Rubric(criteria=[Criterion(statement=f"Point {i}", mark=m) for i, m in enumerate(marks)])
