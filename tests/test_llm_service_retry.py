"""Retries of transient model failures, and the per-call usage a caller can collect."""

import asyncio
import contextvars
import email.utils
import pathlib
import re
import time
import types
from unittest import mock

import openai
import pydantic
import pytest

import quorvan_core.llm_service as llm
from tests.support.fake_openai import FakeClient, response

MESSAGES = [{"role": "system", "content": "You write rubrics."},
            {"role": "user", "content": "Question: Define photosynthesis.\nMaximum Marks: 4.0\n"}]
NOW = 1_700_000_000.0


def failed_tries():
    """(task, info) of every failed call in the usage log."""
    text = pathlib.Path("llm_token_usage.log").read_text(encoding="utf-8")
    return re.findall(r"TASK: (\w+_FAILED) \| \n(?:.*\n){4}COST: \$[\d.]+ \| INFO: (.*)", text)


@pytest.fixture
def sleeps(monkeypatch):
    """The blocking path's waits, recorded instead of slept; jitter factor 1, the clock at NOW."""
    slept = []
    monkeypatch.setattr(llm, "time", types.SimpleNamespace(time=lambda: NOW, sleep=slept.append))
    monkeypatch.setattr(llm, "random", types.SimpleNamespace(uniform=lambda low, high: 1.0))
    return slept


def retrying(retries=2, timeout=None):
    service = llm.LLMService(enable_logging=True)
    service.set_retry_policy(retries, timeout)
    return service


def real_error(standin, fault):
    """The error the real openai client raises for a stand-in fault."""
    standin.inject(fault)
    with openai.OpenAI(api_key="sk-test", base_url=standin.base_url, max_retries=0) as client:
        with pytest.raises(openai.APIError) as raised:
            client.beta.chat.completions.parse(model="m", messages=MESSAGES, response_format=llm.RubricResponse)
    standin.reset()
    return raised.value


# ------------------------------------------------------------------ the policy


def test_defaults_and_set_retry_policy(api_key):
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI") as async_cls:
        service = llm.LLMService()
    assert (service.max_retries, service.request_timeout, service.retry_base_delay, service.retry_max_delay) == (
        0, None, 0.5, 30.0)
    assert "max_retries" not in vars(service)  # class-level defaults
    service.set_retry_policy(3.7, 2)
    for cls in (sync_cls, async_cls):
        cls.return_value.with_options.assert_called_once_with(max_retries=0, timeout=2.0)
    assert service.client is sync_cls.return_value.with_options.return_value
    assert service.async_client is async_cls.return_value.with_options.return_value
    assert (service.max_retries, service.request_timeout) == (3, 2.0)
    service.client = fake = FakeClient()  # no with_options: kept as it is
    service.set_retry_policy(1)
    assert service.client is fake and (service.max_retries, service.request_timeout) == (1, None)
    async_cls.return_value.with_options.return_value.with_options.assert_called_once_with(max_retries=0)


@pytest.mark.parametrize("args, error, message", [
    (("2",), TypeError, "Argument 'retries' has incorrect type (expected int, got str)"),
    ((1, "5"), TypeError, "Argument 'timeout' has incorrect type (expected float, got str)"),
    ((-1,), ValueError, "retries must be at least 0"),
    ((1, 0), ValueError, "timeout must be a positive number of seconds"),
    ((1, float("inf")), ValueError, "timeout must be a positive number of seconds"),
])
def test_set_retry_policy_checks_before_changing_anything(api_key, args, error, message):
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI"):
        service = llm.LLMService()
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        service.set_retry_policy(*args)
    sync_cls.return_value.with_options.assert_not_called()
    assert "max_retries" not in vars(service)


def test_the_timeout_reaches_parse_only_when_set(api_key):
    service = llm.LLMService()
    service.client = FakeClient(default=response())
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    service.request_timeout = 7.5
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert [sorted(call) for call in service.client.calls] == [
        ["messages", "model", "response_format"], ["messages", "model", "response_format", "timeout"]]
    assert service.client.calls[1]["timeout"] == 7.5


# ------------------------------------------------------ the blocking path, end to end


@pytest.mark.parametrize("fault, timeout", [("429-retry", None), ("503", None), ("408", None), ("drop", None),
                                            ("slow", 2.0)])
def test_a_transient_fault_is_retried(standin, sleeps, capsys, fault, timeout):
    standin.slow_delay = 30
    standin.inject(fault)
    service = retrying(2, timeout)
    result = service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse)
    assert isinstance(result.choices[0].message.parsed, llm.RubricResponse)
    assert len(standin.requests) == 2 and len(sleeps) == 1
    [(task, info)] = failed_tries()
    assert task == "generate_rubric_FAILED" and info.endswith(" (try 1 of 3)")
    assert service.total_input_tokens == service._count_message_tokens(MESSAGES) + result.usage.prompt_tokens
    assert [line.split(":")[0] for line in capsys.readouterr().out.splitlines()] == [
        "-> generate_rubric_FAILED", "-> generate_rubric"]


@pytest.mark.parametrize("knobs, base, wait", [
    ({"retry_after": 7}, 0.5, 7.0),     # the server asks for longer than the backoff
    ({"retry_after": 0.25}, 2.0, 2.0),  # the backoff is longer
    ({"retry_after": 600}, 0.5, 60.0),  # capped
    ({"retry_after": 7, "retry_after_ms": 2500}, 0.5, 2.5),  # milliseconds first, as openai reads them
    ({"retry_after": email.utils.formatdate(NOW + 9, usegmt=True)}, 0.5, 9.0),
    ({"retry_after": email.utils.formatdate(NOW - 9, usegmt=True)}, 0.5, 0.5),
    ({"retry_after": "soon"}, 0.5, 0.5),
])
def test_the_wait_honours_retry_after(standin, sleeps, knobs, base, wait):
    for name, value in knobs.items():
        setattr(standin, name, value)
    standin.inject("429-retry")
    service = retrying()
    service.retry_base_delay = base
    assert service._make_api_call("t", MESSAGES, llm.RubricResponse).choices[0].message.parsed
    assert sleeps == [wait]


def test_a_persistent_fault_fails_after_every_try(standin, sleeps, monkeypatch):
    draws = []
    monkeypatch.setattr(llm, "random", types.SimpleNamespace(uniform=lambda *a: draws.append(a) or 0.8))
    standin.inject("500", every=1)
    service = retrying(3)
    service.retry_max_delay = 1.5
    with pytest.raises(openai.InternalServerError) as raised:
        service._make_api_call("evaluate_answer", MESSAGES, llm.EvaluationResponse)
    assert raised.value.tries == 4 and len(standin.requests) == 4
    assert sleeps == pytest.approx([0.4, 0.8, 1.2]) and draws == [(0.5, 1.0)] * 3  # 0.5, 1, 2 capped at 1.5
    tries = failed_tries()
    assert [info for _, info in tries] == [f"Error: {raised.value} (try {k} of 4)" for k in range(1, 5)]
    assert service.total_input_tokens == 4 * service._count_message_tokens(MESSAGES)


def test_the_last_error_object_itself_is_raised(standin, sleeps):
    errors = [real_error(standin, "503"), real_error(standin, "drop")]
    service = llm.LLMService()
    service.client, service.max_retries = FakeClient(*errors), 1
    with pytest.raises(openai.APIConnectionError) as raised:
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert raised.value is errors[1] and raised.value.tries == 2 and not hasattr(errors[0], "tries")


@pytest.mark.parametrize("fault, schema, error", [
    (None, pydantic.create_model("OtherResponse", x=(int, ...)), openai.BadRequestError),  # the stand-in's 400
    ("malformed", llm.RubricResponse, pydantic.ValidationError),
    ("length", llm.RubricResponse, openai.LengthFinishReasonError),
    ("refusal", llm.RubricResponse, None),  # an answer, not a failure
])
def test_other_outcomes_are_not_retried(standin, sleeps, fault, schema, error):
    if fault:
        standin.inject(fault)
    service = retrying(3)
    if error:
        with pytest.raises(error) as raised:
            service._make_api_call("t", MESSAGES, schema)
        assert raised.value.tries == 1 and len(failed_tries()) == 1
    else:
        assert service._make_api_call("t", MESSAGES, schema).choices[0].message.refusal
    assert len(standin.requests) == 1 and sleeps == []


@pytest.mark.parametrize("fault", ["503", "429-retry", "drop"])
def test_without_retries_a_transient_fault_fails_at_once_as_before(standin, sleeps, fault):
    standin.inject(fault, every=1)
    service = llm.LLMService(enable_logging=True)
    with pytest.raises(openai.APIError) as raised:
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    # openai's own retries are left as they are: it honours the stand-in's x-should-retry, not a drop
    assert len(standin.requests) == (3 if fault == "drop" else 1) and sleeps == []
    assert failed_tries() == [("t_FAILED", f"Error: {raised.value}")] and raised.value.tries == 1


# ---------------------------------------------------------------- the coroutine path


class ScriptedClient:
    """An async client: each call records its last message and runs the next step of the script."""

    def __init__(self, *steps):
        self.steps, self.calls = list(steps), []
        self.beta = types.SimpleNamespace(chat=types.SimpleNamespace(completions=self))

    async def parse(self, **kwargs):
        self.calls.append(kwargs["messages"][-1]["content"])
        step = self.steps.pop(0)
        if isinstance(step, BaseException):
            raise step
        if step is not None:
            step[0].set()
            await step[1].wait()
        return response(prompt_tokens=10, completion_tokens=5)


class Backoff:
    """The service's asyncio.sleep: records each wait and holds it until woken."""

    def __init__(self):
        self.waits, self.sleeping, self.wake = [], asyncio.Event(), asyncio.Event()

    async def sleep(self, seconds):
        self.waits.append(seconds)
        self.sleeping.set()
        await self.wake.wait()


def async_service(monkeypatch, sleep, clock=time.time, **kwargs):
    monkeypatch.setattr(llm, "asyncio", types.SimpleNamespace(sleep=sleep, Semaphore=asyncio.Semaphore))
    monkeypatch.setattr(llm, "time", types.SimpleNamespace(time=clock))
    monkeypatch.setattr(llm, "random", types.SimpleNamespace(uniform=lambda low, high: 1.0))
    service = llm.LLMService(enable_logging=True, **kwargs)
    service.max_retries = 1
    return service


def call(service, name):
    return asyncio.ensure_future(service._make_api_call_async(name, [{"role": "user", "content": name}],
                                                              llm.RubricResponse))


def test_a_retry_sleeps_without_its_permit_and_then_waits_its_turn(standin, monkeypatch):
    transient = real_error(standin, "503")

    async def scenario():
        backoff = Backoff()
        service = async_service(monkeypatch, backoff.sleep, max_concurrent_requests=1)
        admissions = []
        own = service._enforce_rate_limit
        service._enforce_rate_limit = lambda: admissions.append(1) or own()
        b_in, b_out = asyncio.Event(), asyncio.Event()
        service.async_client = client = ScriptedClient(transient, (b_in, b_out), None)
        a = call(service, "a")
        await backoff.sleeping.wait()
        b = call(service, "b")
        await b_in.wait()  # b runs during a's backoff: a holds no permit while it sleeps
        backoff.wake.set()
        for _ in range(50):
            await asyncio.sleep(0)
        assert client.calls == ["a", "b"] and service._request_semaphore.locked()  # a's retry waits for b
        b_out.set()
        await asyncio.gather(a, b)
        return service, client, admissions

    service, client, admissions = asyncio.run(scenario())
    assert client.calls == ["a", "b", "a"] and len(admissions) == 3  # one admission a try
    assert service._request_semaphore._value == 1 and [t for t, _ in failed_tries()] == ["a_FAILED"]


def test_retries_pass_the_per_minute_window_again(standin, monkeypatch):
    transient = real_error(standin, "429")
    now, waits = [0.0], []

    async def sleep(seconds):
        waits.append(seconds)
        now[0] += seconds

    service = async_service(monkeypatch, sleep, clock=lambda: now[0], requests_per_minute=2)
    service.max_retries, service.retry_base_delay = 2, 1.0
    service.async_client = ScriptedClient(transient, transient, None)
    asyncio.run(service._make_api_call_async("t", MESSAGES, llm.RubricResponse))
    # tries at 0 s and, after backoffs of 1 and 2 s, at 1 s and when 0 s has left the window
    assert waits == [1.0, 2.0, 57.0] and service._rate_limit_timestamps == [1.0, 60.0]


def test_cancelling_during_the_backoff_releases_everything(standin, monkeypatch):
    transient = real_error(standin, "drop")

    async def scenario():
        backoff = Backoff()
        service = async_service(monkeypatch, backoff.sleep, max_concurrent_requests=1)
        service.async_client = client = ScriptedClient(transient, None)
        task = call(service, "t")
        await backoff.sleeping.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await call(service, "next")  # the permit is free again
        return client

    assert asyncio.run(scenario()).calls == ["t", "next"]
    assert not hasattr(transient, "tries")  # it never became a call's final error


# ------------------------------------------------------------------------- call_usage


def test_call_usage_collects_every_try_of_blocking_calls(standin, sleeps):
    assert isinstance(llm.call_usage, contextvars.ContextVar) and llm.call_usage.get() is None
    standin.inject("503")
    service = retrying(1)

    def marking():
        llm.call_usage.set([])
        service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse)
        return llm.call_usage.get()

    failed, ok = contextvars.copy_context().run(marking)
    estimate = service._count_message_tokens(MESSAGES)
    assert failed == {"task": "generate_rubric", "model": service.model, "input_tokens": estimate,
                      "output_tokens": 0, "cost": estimate / 1000 * 0.00015, "ok": False}
    assert (ok["task"], ok["ok"], ok["input_tokens"] + estimate) == ("generate_rubric", True, service.total_input_tokens)
    assert ok["output_tokens"] == service.total_output_tokens > 0
    assert failed["cost"] + ok["cost"] == service.total_cost


def test_concurrent_tasks_each_see_only_their_own_calls(standin):
    standin.delay = 0.02  # the tasks' calls interleave
    standin.inject("503", schema="ReferenceAnswerResponse")
    service = retrying(1)
    service.retry_base_delay = 0.0

    async def question(names, response_format=llm.RubricResponse):
        llm.call_usage.set([])
        for name in names:
            await service._make_api_call_async(name, MESSAGES, response_format)
        return llm.call_usage.get()

    async def main():
        return await asyncio.gather(question(["a", "a2"]), question(["b"], llm.ReferenceAnswerResponse),
                                    *[question([f"q{i}"]) for i in range(4)])

    first, second, *others = asyncio.run(main())
    assert [(e["task"], e["ok"]) for e in first] == [("a", True), ("a2", True)]
    assert [(e["task"], e["ok"]) for e in second] == [("b", False), ("b", True)]
    assert [[e["task"] for e in seen] for seen in others] == [[f"q{i}"] for i in range(4)]
    everything = first + second + sum(others, [])
    assert sum(e["input_tokens"] for e in everything) == service.total_input_tokens
    assert sum(e["cost"] for e in everything) == pytest.approx(service.total_cost)
    assert llm.call_usage.get() is None
