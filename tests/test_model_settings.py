"""The model, its prices, the request timeout and the retries: set on the service, through the facade's
configuration, on the vision extractor and on the command, and seen where they matter."""

import asyncio
import json
import math
import re
from pathlib import Path
from unittest import mock

import pytest

import quorvan_core.llm_service as llm
import quorvan_core.quorvan as quorvan
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support.command import quorvan as run_quorvan
from tests.support.pdfs import write_text_pdf

MESSAGES = [
    {"role": "system", "content": "You are an expert educator creating assessment rubrics."},
    {"role": "user", "content": "Question: Define photosynthesis.\nMaximum Marks: 4.0\n"},
]
DEFAULT_MODEL = "gpt-5-mini-2025-08-07"


def expected_cost(input_tokens, output_tokens, price_in, price_out):
    return input_tokens / 1000 * (price_in / 1000) + output_tokens / 1000 * (price_out / 1000)


# ------------------------------------------------------------------ the service


@pytest.mark.parametrize("kwargs, model", [({}, DEFAULT_MODEL), ({"model": "local-llama-3"}, "local-llama-3")])
def test_the_model_reaches_every_call_the_log_and_call_usage(standin, kwargs, model):
    service = llm.LLMService(enable_logging=True, **kwargs)
    assert service.model == model
    token = llm.call_usage.set([])
    try:
        service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse)
        asyncio.run(service._make_api_call_async("evaluate_answer", MESSAGES, llm.RubricResponse))
        usage = llm.call_usage.get()
    finally:
        llm.call_usage.reset(token)
    assert [r["model"] for r in standin.requests] == [model, model]
    assert [u["model"] for u in usage] == [model, model]
    log = Path("llm_token_usage.log").read_text(encoding="utf-8")
    assert re.findall(r"MODEL: (.*) \|", log) == [model, model]


@pytest.mark.parametrize("prices", [None, (0.15, 0.6), (2.5, 10.0), (0, 0), (1, 3)])
def test_prices_per_million_make_the_cost(standin, capsys, prices):
    kwargs = {} if prices is None else dict(zip(("input_price_per_million", "output_price_per_million"), prices))
    price_in, price_out = prices or (0.15, 0.6)
    service = llm.LLMService(**kwargs)
    assert (service.input_price_per_million, service.output_price_per_million) == (price_in, price_out)
    assert type(service.input_price_per_million) is float
    token = llm.call_usage.set([])
    try:
        result = service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse)
        [entry] = llm.call_usage.get()
    finally:
        llm.call_usage.reset(token)
    cost = expected_cost(result.usage.prompt_tokens, result.usage.completion_tokens, price_in, price_out)
    assert service.get_total_usage()["total_cost"] == cost == entry["cost"]
    assert capsys.readouterr().out.strip().endswith(f"(${cost:.6f})")
    # Defaults stay on the class: the instance holds only what differs.
    own = {k for k in vars(service) if k.endswith("_price_per_million")}
    assert own == {k for k, v in kwargs.items() if v != getattr(llm.LLMService, k)}


def test_prices_changed_after_construction_count_from_the_next_call(standin):
    service = llm.LLMService()
    first = service._make_api_call("t", MESSAGES, llm.RubricResponse).usage
    service.input_price_per_million, service.output_price_per_million = 100, 1000
    second = service._make_api_call("t", MESSAGES, llm.RubricResponse).usage
    assert service.total_cost == pytest.approx(
        expected_cost(first.prompt_tokens, first.completion_tokens, 0.15, 0.6)
        + expected_cost(second.prompt_tokens, second.completion_tokens, 100, 1000))


def test_timeout_and_retries_set_the_policy_at_construction(api_key):
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI") as async_cls:
        service = llm.LLMService(timeout=12, max_retries=3.9)
    for cls in (sync_cls, async_cls):
        cls.return_value.with_options.assert_called_once_with(max_retries=0, timeout=12.0)
    assert (service.max_retries, service.request_timeout) == (3, 12.0)
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI"):
        service = llm.LLMService(max_retries=0, timeout=None)
    sync_cls.return_value.with_options.assert_not_called()
    assert "max_retries" not in vars(service) and "request_timeout" not in vars(service)


def test_max_retries_retries_against_the_server(standin, monkeypatch):
    monkeypatch.setattr(llm.LLMService, "retry_base_delay", 0.0)
    standin.inject("500", count=2)
    service = llm.LLMService(max_retries=2, timeout=30)
    result = service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert result.choices[0].message.parsed is not None and len(standin.requests) == 3


@pytest.mark.parametrize("kwargs, error, message", [
    ({"model": 5}, TypeError, "Argument 'model' has incorrect type (expected str, got int)"),
    ({"model": None}, TypeError, "Argument 'model' has incorrect type (expected str, got NoneType)"),
    ({"model": ""}, ValueError, "model must not be empty"),
    ({"input_price_per_million": "0.1"}, TypeError,
     "Argument 'input_price_per_million' has incorrect type (expected float, got str)"),
    ({"input_price_per_million": -0.01}, ValueError,
     "input_price_per_million must be a finite number of US dollars, at least 0"),
    ({"output_price_per_million": -1}, ValueError,
     "output_price_per_million must be a finite number of US dollars, at least 0"),
    ({"output_price_per_million": math.nan}, ValueError,
     "output_price_per_million must be a finite number of US dollars, at least 0"),
    ({"output_price_per_million": math.inf}, ValueError,
     "output_price_per_million must be a finite number of US dollars, at least 0"),
    ({"timeout": "30"}, TypeError, "Argument 'timeout' has incorrect type (expected float, got str)"),
    ({"timeout": 0}, ValueError, "timeout must be a positive number of seconds"),
    ({"max_retries": "2"}, TypeError, "Argument 'max_retries' has incorrect type (expected int, got str)"),
    ({"max_retries": -1}, ValueError, "max_retries must be at least 0"),
])
def test_bad_settings_are_refused_before_any_client_is_made(api_key, kwargs, error, message):
    with mock.patch.object(llm, "OpenAI") as sync_cls:
        with pytest.raises(error, match=f"^{re.escape(message)}$"):
            llm.LLMService(**kwargs)
    sync_cls.assert_not_called()


def test_the_settings_are_keyword_only(api_key):
    with pytest.raises(TypeError):
        llm.LLMService("u.log", 5, 50, False, "some-model")


# ------------------------------------------------------------------ the facade and the extractor


@pytest.mark.parametrize("settings", [
    {},
    {"model": "facade-model"},
    {"model": "facade-model", "input_price_per_million": 1, "output_price_per_million": 2, "timeout": 9,
     "max_retries": 2},
])
def test_the_facade_configuration_reaches_service_and_extractor(api_key, capsys, settings):
    config = quorvan.QurovanConfig(extractor_type="local", **settings)
    assert list(config.to_dict()) == ["extractor_type", "extractor_region", "openai_api_key", "aws_access_key_id",
                                      "aws_secret_access_key", "gemini_api_key", "mathpix_app_id",
                                      "mathpix_app_key", "token_log_file", "dpi"]
    f = quorvan.Quorvan()
    f.configure(config)
    service, extractor = f.llm_service, f.extractor_client
    assert service.model == extractor.model == settings.get("model", DEFAULT_MODEL)
    assert service.input_price_per_million == settings.get("input_price_per_million", 0.15)
    assert service.output_price_per_million == settings.get("output_price_per_million", 0.6)
    assert (service.request_timeout, service.max_retries) == (settings.get("timeout"), settings.get("max_retries", 0))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"model": 1}, TypeError, "Argument 'model' has incorrect type (expected str, got int)"),
    ({"input_price_per_million": "cheap"}, TypeError,
     "Argument 'input_price_per_million' has incorrect type (expected float, got str)"),
    ({"max_retries": "3"}, TypeError, "Argument 'max_retries' has incorrect type (expected int, got str)"),
])
def test_the_facade_configuration_checks_the_settings_types(kwargs, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        quorvan.QurovanConfig(**kwargs)


def test_a_bad_price_in_the_configuration_fails_configure(api_key):
    f = quorvan.Quorvan()
    with pytest.raises(quorvan.ConfigurationError, match="input_price_per_million must be a finite number"):
        f.configure(quorvan.QurovanConfig(extractor_type="local", input_price_per_million=-1))


@pytest.mark.e2e
@pytest.mark.parametrize("kwargs, model", [({}, DEFAULT_MODEL), ({"model": "vision-large"}, "vision-large")])
def test_the_vision_backend_asks_the_configured_model(standin, tmp_path, kwargs, model):
    pdf = str(write_text_pdf(tmp_path / "sheet.pdf", ["Answer one", "Answer two"], page_size=(360, 720)))
    client = ExtractorClient("openai", api_key="sk-test", **kwargs)
    client.set_dpi(30)
    assert len(client.process_pdf(pdf)) == 2
    assert [r["model"] for r in standin.requests] == [model, model]
    assert ("model" in vars(client)) == bool(kwargs)  # the default stays on the class


@pytest.mark.parametrize("value, error, message", [
    (7, TypeError, "Argument 'model' has incorrect type (expected str, got int)"),
    ("", ValueError, "model must not be empty"),
])
def test_the_extractor_model_is_checked(value, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        ExtractorClient("local", model=value)


# ------------------------------------------------------------------ the command

PAPER = "Q1. What is photosynthesis? [2 marks]\nQ2. Describe the water cycle. [3 marks]"
COST_LINE = re.compile(r"^Token usage: (\d+) tokens \((\d+) in, (\d+) out\), cost \$([\d.]+)(.*)$")


def run_paper(tmp_path, *more):
    pdf = write_text_pdf(tmp_path / "exam.pdf", [PAPER])
    return run_quorvan("paper", pdf, "--subject", "Science", "--class-level", "Class 8", *more, "-o", "paper.json")


@pytest.mark.e2e
@pytest.mark.parametrize("env, options, model", [
    ({}, (), DEFAULT_MODEL),
    ({"QUORVAN_MODEL": "env-model"}, (), "env-model"),
    ({}, ("--model", "cli-model"), "cli-model"),
    ({"QUORVAN_MODEL": "env-model"}, ("--model", "cli-model"), "cli-model"),
])
def test_command_model_option_beats_environment_beats_default(standin, monkeypatch, tmp_path, env, options, model):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    result = run_paper(tmp_path, *options)
    assert result.returncode == 0, result.stderr
    assert standin.requests and {r["model"] for r in standin.requests} == {model}
    assert f"Model: {model} at " in result.stdout


@pytest.mark.e2e
@pytest.mark.parametrize("env, shown, prices", [
    ({}, "$0.15/$0.60", (0.15, 0.6)),
    ({"QUORVAN_INPUT_PRICE": "1", "QUORVAN_OUTPUT_PRICE": "2.5"}, "$1.00/$2.50", (1.0, 2.5)),
    ({"QUORVAN_INPUT_PRICE": "0.075"}, "$0.075/$0.60", (0.075, 0.6)),
])
def test_command_cost_line_names_the_prices_it_used(standin, monkeypatch, tmp_path, env, shown, prices):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    result = run_paper(tmp_path)
    assert result.returncode == 0, result.stderr
    [match] = [COST_LINE.match(line) for line in result.stdout.splitlines() if line.startswith("Token usage: ")]
    total, tokens_in, tokens_out, cost, tail = match.groups()
    assert int(total) == int(tokens_in) + int(tokens_out) > 0
    assert tail == f" at {shown} per million tokens (input/output)"
    assert float(cost) == pytest.approx(expected_cost(int(tokens_in), int(tokens_out), *prices), abs=2e-6)


@pytest.mark.e2e
@pytest.mark.parametrize("retries, ok", [(None, False), ("1", True)])
def test_command_retries_from_the_environment(standin, monkeypatch, tmp_path, retries, ok):
    if retries is not None:
        monkeypatch.setenv("QUORVAN_RETRIES", retries)
    standin.inject("500", count=1)
    result = run_paper(tmp_path)
    assert (result.returncode == 0) == ok, result.stderr
    if ok:
        assert json.loads(Path("paper.json").read_text(encoding="utf-8"))["questions"]


@pytest.mark.parametrize("env, options, message", [
    ({"QUORVAN_INPUT_PRICE": "abc"}, (), "QUORVAN_INPUT_PRICE must be a number of US dollars, at least 0, not 'abc'"),
    ({"QUORVAN_OUTPUT_PRICE": "-1"}, (), "QUORVAN_OUTPUT_PRICE must be a number of US dollars, at least 0, not '-1'"),
    ({"QUORVAN_OUTPUT_PRICE": "nan"}, (), "QUORVAN_OUTPUT_PRICE must be a number of US dollars, at least 0, not 'nan'"),
    ({"QUORVAN_TIMEOUT": "0"}, (), "QUORVAN_TIMEOUT must be a number of seconds, more than 0, not '0'"),
    ({"QUORVAN_RETRIES": "2.5"}, (), "QUORVAN_RETRIES must be a whole number, at least 0, not '2.5'"),
    ({"QUORVAN_RETRIES": "-1"}, (), "QUORVAN_RETRIES must be a whole number, at least 0, not '-1'"),
    ({"QUORVAN_MODEL": " "}, (), "QUORVAN_MODEL must name a model, not be empty"),
    ({}, ("--model", ""), "--model must name a model, not be empty"),
])
def test_command_bad_settings_are_usage_errors(monkeypatch, tmp_path, env, options, message):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")  # never reached
    result = run_paper(tmp_path, *options)
    assert result.returncode == 2
    assert result.stderr.strip().splitlines()[-1].endswith(f"error: {message}")
    assert not Path("paper.json").exists()


@pytest.mark.parametrize("command", ["paper", "mark", "complete"])
def test_model_option_in_help(command):
    out = " ".join(run_quorvan(command, "--help").stdout.split())
    assert "--model MODEL" in out and "$QUORVAN_MODEL" in out
