import logging

import pytest


def pytest_collection_modifyitems(items):
    # Tests that drive Chromium are marked, so a run can leave them out (the
    # sanitized run does: they check the page, not our C++).
    for item in items:
        if "browser" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.browser)


@pytest.fixture(autouse=True)
def _work_in_tmp(tmp_path, monkeypatch):
    """Every test runs in its own folder: services write their usage log to the working directory."""
    monkeypatch.chdir(tmp_path)
    yield
    # Close the usage log the last service left open, so no file outlives its test.
    logger = logging.getLogger("token_usage")
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
        handler.close()


@pytest.fixture
def api_key(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-key")
    return "sk-test-key"


@pytest.fixture
def standin(monkeypatch, api_key):
    """The OpenAI-compatible stand-in, with the openai client pointed at it."""
    from tests.support.standin import StandIn

    with StandIn() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        yield server
