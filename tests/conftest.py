import logging

import pytest


# What makes a test slow: a run of the command or a service against the model stand-in, a browser, a Ray
# cluster. The rest is the quick tier (`-m "not slow"`).
_SLOW_FIXTURES = {"standin", "browser"}


def pytest_collection_modifyitems(items):
    for item in items:
        fixtures = set(getattr(item, "fixturenames", ()))
        # Tests that drive Chromium are marked, so a run can leave them out (the
        # sanitized run does: they check the page, not our C++).
        if "browser" in fixtures:
            item.add_marker(pytest.mark.browser)
        if item.get_closest_marker("ray"):
            # One process runs them all (with --dist loadgroup): one cluster at a time on this machine.
            item.add_marker(pytest.mark.xdist_group("ray"))
        if fixtures & _SLOW_FIXTURES or any(item.get_closest_marker(m) for m in ("ray", "e2e", "browser")):
            item.add_marker(pytest.mark.slow)


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
