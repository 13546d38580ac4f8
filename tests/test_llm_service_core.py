import asyncio
import logging
import pathlib
import re
import threading
import types
from unittest import mock

import pytest
import tiktoken

import quorvan_core.llm_service as llm
from tests.support.fake_openai import FakeClient, response

MODEL = "gpt-5-mini-2025-08-07"
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| "
BANNER = "\n\n=====================\nNEW LLM HANDLER SESSION STARTED\n=====================\n"


def record(task, model, inp, out, cost, info=""):
    text = (
        f"\n\n*********************\nTASK: {task} | \nMODEL: {model} | \nINPUT_TOKENS: {inp} | \n"
        f"OUTPUT_TOKENS: {out} | \nTOTAL_TOKENS: {inp + out} | \nCOST: ${cost:.6f}"
    )
    return text + (f" | INFO: {info}" if info else "")


def entries(path):
    """The log file split into its timestamped entries (each may span lines)."""
    text = pathlib.Path(path).read_text(encoding="utf-8")
    parts = re.split(f"(?m)^{STAMP}", text)
    assert parts[0] == ""
    return [p[:-1] if p.endswith("\n") else p for p in parts[1:]]


@pytest.fixture
def service(api_key):
    return llm.LLMService(enable_logging=True)


# ------------------------------------------------------------------ construction


@pytest.mark.parametrize("key", [None, ""])
def test_construction_requires_a_key_and_creates_nothing_without_one(monkeypatch, key):
    if key is None:
        monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    else:
        monkeypatch.setenv("OPENAI_API_KEY", key)
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI") as async_cls:
        with pytest.raises(ValueError) as err:
            llm.LLMService()
    assert str(err.value) == "OPENAI_API_KEY environment variable is required"
    sync_cls.assert_not_called()
    async_cls.assert_not_called()


def test_construction_builds_both_clients_with_the_key_and_sets_attributes_in_order(api_key):
    with mock.patch.object(llm, "OpenAI") as sync_cls, mock.patch.object(llm, "AsyncOpenAI") as async_cls:
        service = llm.LLMService()
    sync_cls.assert_called_once_with(api_key=api_key)
    async_cls.assert_called_once_with(api_key=api_key)
    assert service.client is sync_cls.return_value and service.async_client is async_cls.return_value
    assert list(vars(service)) == [
        "client", "async_client", "model", "token_log_file", "is_logging_enabled", "max_concurrent_requests",
        "requests_per_minute", "_request_semaphore", "_rate_limit_timestamps", "encoding", "token_logger",
        "total_input_tokens", "total_output_tokens", "total_cost",
    ]
    assert (service.model, service.token_log_file, service.is_logging_enabled) == (MODEL, "llm_token_usage.log", False)
    assert (service.max_concurrent_requests, service.requests_per_minute) == (5, 50)
    assert isinstance(service._request_semaphore, asyncio.Semaphore) and service._request_semaphore._value == 5
    assert service._rate_limit_timestamps == []
    assert service.token_logger is logging.getLogger("token_usage")
    assert (service.total_input_tokens, service.total_output_tokens, service.total_cost) == (0, 0, 0.0)
    assert type(service.total_cost) is float


def test_arguments_by_position_and_their_conversions(api_key, tmp_path):
    service = llm.LLMService(str(tmp_path / "u.log"), 3.9, 7.2, "no")
    assert (service.max_concurrent_requests, service.requests_per_minute, service.is_logging_enabled) == (3, 7, True)
    assert service._request_semaphore._value == 3
    assert llm.LLMService(enable_logging="").is_logging_enabled is False


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"token_log_file": None}, "Argument 'token_log_file' has incorrect type (expected str, got NoneType)"),
        ({"token_log_file": Text("a.log")}, "Argument 'token_log_file' has incorrect type (expected str, got Text)"),
        ({"max_concurrent_requests": "5"}, "Argument 'max_concurrent_requests' has incorrect type (expected int, got str)"),
        ({"requests_per_minute": None}, "Argument 'requests_per_minute' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_argument_type_errors(api_key, kwargs, message):
    with mock.patch.object(llm, "OpenAI") as sync_cls:
        with pytest.raises(TypeError) as err:
            llm.LLMService(**kwargs)
    assert str(err.value) == message
    sync_cls.assert_not_called()


@pytest.mark.parametrize("kwargs", [{"max_concurrent_requests": 0}, {"requests_per_minute": 0.5}])
def test_limits_below_one_are_refused(api_key, kwargs):
    with pytest.raises(ValueError, match="must be at least 1"):
        llm.LLMService(**kwargs)


# ---------------------------------------------------------------------- encoding


def test_encoding_is_tiktokens_for_the_model(service):
    assert service.encoding.name == tiktoken.encoding_for_model(MODEL).name
    text = "Photosynthesis converts light energy — ∑ x² ≥ 0 — प्रकाश"
    assert service._count_tokens(text) == len(service.encoding.encode(text))


def test_unknown_model_falls_back_to_cl100k(api_key, monkeypatch):
    monkeypatch.setattr(llm, "tiktoken", types.SimpleNamespace(
        encoding_for_model=mock.Mock(side_effect=KeyError("unknown model")),
        get_encoding=mock.Mock(return_value="cl100k"),
    ))
    service = llm.LLMService()
    llm.tiktoken.get_encoding.assert_called_once_with("cl100k_base")
    assert service.encoding == "cl100k"


def test_no_encoding_at_all_still_starts_and_estimates(api_key, monkeypatch):
    monkeypatch.setattr(llm, "tiktoken", types.SimpleNamespace(
        encoding_for_model=mock.Mock(side_effect=OSError("no network")),
        get_encoding=mock.Mock(side_effect=OSError("no network")),
    ))
    service = llm.LLMService()
    assert service.encoding is None
    assert service._count_tokens("abcdefghi") == 2
    assert service._count_tokens("") == 0


def test_encoding_files_are_placed_in_the_cache_for_offline_use(api_key, monkeypatch, tmp_path):
    cache = tmp_path / "cache"
    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(cache))
    monkeypatch.setattr(tiktoken.registry, "ENCODINGS", {})  # forget encodings already loaded
    monkeypatch.setattr(tiktoken.load, "read_file", mock.Mock(side_effect=OSError("offline")))
    service = llm.LLMService()
    assert service.encoding is not None and service.encoding.name == "o200k_base"
    packaged = pathlib.Path(llm.__file__).parent / "_data" / "tiktoken"
    for name, key in [("o200k_base", "fb374d419588a4632f3f557e76b4b70aebbca790"),
                      ("cl100k_base", "9b5ad71b2ce5302211f9c61530b329a4922fc6a4")]:
        assert (cache / key).read_bytes() == (packaged / f"{name}.tiktoken").read_bytes()
    assert sorted(p.name for p in cache.iterdir()) == sorted(
        ["fb374d419588a4632f3f557e76b4b70aebbca790", "9b5ad71b2ce5302211f9c61530b329a4922fc6a4"])


def test_caching_switched_off_and_offline_falls_back_to_estimate(api_key, monkeypatch):
    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", "")
    monkeypatch.setattr(tiktoken.registry, "ENCODINGS", {})
    monkeypatch.setattr(tiktoken.load, "read_file", mock.Mock(side_effect=OSError("offline")))
    assert llm.LLMService().encoding is None


# --------------------------------------------------------------- the usage log


def test_log_file_is_created_even_when_logging_is_disabled(api_key, capsys):
    service = llm.LLMService(token_log_file="quiet.log")
    service._log_token_usage("generate_rubric", 1200, 300, MODEL)
    assert pathlib.Path("quiet.log").read_text() == ""
    assert capsys.readouterr().out == "-> generate_rubric: 1500 tokens ($0.000360)\n"


def test_log_has_banner_then_one_record_per_call(service, capsys):
    service._log_token_usage("generate_rubric", 1200, 300, MODEL, "Question marks: 5.0, Subject: Math")
    service._log_token_usage("x_FAILED", 7, 0, "other-model")
    assert entries("llm_token_usage.log") == [
        BANNER,
        record("generate_rubric", MODEL, 1200, 300, 0.00036, "Question marks: 5.0, Subject: Math"),
        record("x_FAILED", "other-model", 7, 0, 7 / 1000 * 0.00015),
    ]
    assert capsys.readouterr().out.splitlines() == [
        "-> generate_rubric: 1500 tokens ($0.000360)",
        "-> x_FAILED: 7 tokens ($0.000001)",
    ]


def test_new_service_takes_over_the_shared_logger_and_closes_old_handlers(api_key, tmp_path):
    first = llm.LLMService(token_log_file=str(tmp_path / "a.log"), enable_logging=True)
    old_handler = logging.getLogger("token_usage").handlers[0]
    second = llm.LLMService(token_log_file=str(tmp_path / "b.log"), enable_logging=True)
    handlers = logging.getLogger("token_usage").handlers
    assert len(handlers) == 1 and handlers[0] is not old_handler
    assert old_handler.stream is None  # closed, not just detached
    first._log_token_usage("from_first", 1, 1, MODEL)
    second._log_token_usage("from_second", 1, 1, MODEL)
    assert entries(tmp_path / "a.log") == [BANNER]
    assert [e.split("\n")[3] for e in entries(tmp_path / "b.log")[1:]] == ["TASK: from_first | ", "TASK: from_second | "]


@pytest.mark.parametrize(
    "level, logged",
    [
        ("info", (logging.INFO, "m")),
        ("WARN", (logging.WARNING, "m")),
        ("Warning", (logging.WARNING, "m")),
        ("error", (logging.ERROR, "m")),
        ("CRITICAL", (logging.CRITICAL, "m")),
        ("Notice", (logging.INFO, "[NOTICE] m")),
        ("debug", None),  # below the logger's INFO level
    ],
)
def test_log_to_file_levels(service, level, logged):
    seen = []
    handler = logging.Handler()
    handler.emit = lambda rec: seen.append((rec.levelno, rec.getMessage()))
    service.token_logger.addHandler(handler)
    try:
        service.log_to_file("m", level)
    finally:
        service.token_logger.removeHandler(handler)
    assert seen == ([logged] if logged else [])


def test_log_to_file_writes_nothing_when_disabled(api_key):
    service = llm.LLMService(token_log_file="x.log")
    service.log_to_file("hello", "error")
    assert pathlib.Path("x.log").read_text() == ""


# -------------------------------------------------------------------- counting


def test_message_token_estimate(service):
    counts = {"system text": 10, "user text": 100, "": 0}
    service._count_tokens = lambda text: counts[text]
    assert service._count_message_tokens([]) == 2
    assert service._count_message_tokens([{"role": "system", "content": "system text"},
                                          {"role": "user", "content": "user text"}]) == 120
    assert service._count_message_tokens([{"role": "user"}]) == 6
    assert service._count_message_tokens([{"role": "user", "name": "n"}]) == 7


def test_counting_falls_back_to_a_quarter_of_the_characters(service):
    service.encoding = types.SimpleNamespace(encode=mock.Mock(side_effect=ValueError("special token")))
    assert service._count_tokens("<|endoftext|>xyz") == 4


@pytest.mark.parametrize("call", [
    lambda s: s._count_tokens(None),
    lambda s: s._count_message_tokens(({"content": "x"},)),
    lambda s: s.log_to_file("m", None),
    lambda s: s._log_token_usage("t", "1", 0, MODEL),
])
def test_argument_checks_of_the_helpers(service, call):
    with pytest.raises(TypeError, match=r"^Argument '\w+' has incorrect type \(expected \w+, got \w+\)$"):
        call(service)


# ---------------------------------------------------------------------- totals


def test_totals_and_usage_summary(service):
    assert service.get_total_usage() == {
        "total_input_tokens": 0, "total_output_tokens": 0, "total_tokens": 0, "total_cost": 0.0,
        "log_file": "llm_token_usage.log",
    }
    service._log_token_usage("generate_rubric", 1200.9, 300, MODEL)
    usage = service.get_total_usage()
    assert list(usage) == ["total_input_tokens", "total_output_tokens", "total_tokens", "total_cost", "log_file"]
    assert usage["total_input_tokens"] == 1200 and usage["total_output_tokens"] == 300
    assert usage["total_tokens"] == 1500 and usage["total_cost"] == pytest.approx(0.00036)


def test_totals_are_exact_when_pool_threads_report_at_once(api_key, monkeypatch):
    service = llm.LLMService()
    monkeypatch.setattr("builtins.print", lambda *a, **k: None)
    barrier = threading.Barrier(8)

    def report():
        barrier.wait()
        for _ in range(250):
            service._log_token_usage("t", 3, 2, MODEL)

    threads = [threading.Thread(target=report) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert (service.total_input_tokens, service.total_output_tokens) == (6000, 4000)
    assert service.total_cost == pytest.approx(2000 * (3 / 1000 * 0.00015 + 2 / 1000 * 0.0006))


# -------------------------------------------------------------- blocking call


MESSAGES = [{"role": "system", "content": "You mark."}, {"role": "user", "content": "Mark this answer."}]


def test_blocking_call_sends_exactly_model_messages_and_format_and_takes_usage(service, capsys):
    answer = response(parsed="P", prompt_tokens=1234, completion_tokens=56)
    service.client = FakeClient(answer)
    assert service._make_api_call("evaluate_answer", MESSAGES, llm.EvaluationResponse, "Max marks: 5.0") is answer
    assert service.client.calls == [{"model": MODEL, "messages": MESSAGES, "response_format": llm.EvaluationResponse}]
    assert service.client.calls[0]["messages"] is MESSAGES
    assert capsys.readouterr().out == f"-> evaluate_answer: 1290 tokens (${1234 / 1000 * 0.00015 + 56 / 1000 * 0.0006:.6f})\n"
    assert entries("llm_token_usage.log")[-1] == record(
        "evaluate_answer", MODEL, 1234, 56, 1234 / 1000 * 0.00015 + 56 / 1000 * 0.0006, "Max marks: 5.0")


@pytest.mark.parametrize("content, output", [("four words of text", None), ("", 0), (None, 0)])
def test_blocking_call_without_usage_uses_local_estimates(service, content, output):
    service.client = FakeClient(response(content=content))
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    estimate = service._count_message_tokens(MESSAGES)
    expected_out = service._count_tokens(content) if output is None else output
    assert (service.total_input_tokens, service.total_output_tokens) == (estimate, expected_out)


def test_failed_call_is_accounted_and_reraised_unchanged(service, capsys):
    error = RuntimeError("connection reset")
    service.client = FakeClient(error)
    with pytest.raises(RuntimeError) as raised:
        service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse, "Question marks: 5.0")
    assert raised.value is error
    estimate = service._count_message_tokens(MESSAGES)
    assert capsys.readouterr().out == f"-> generate_rubric_FAILED: {estimate} tokens (${estimate / 1000 * 0.00015:.6f})\n"
    assert entries("llm_token_usage.log")[-1] == record(
        "generate_rubric_FAILED", MODEL, estimate, 0, estimate / 1000 * 0.00015, "Error: connection reset")
    assert service.total_input_tokens == estimate


def test_errors_before_the_call_are_not_accounted(service):
    service.client = FakeClient(response())
    service._count_message_tokens = mock.Mock(side_effect=ValueError("bad message"))
    with pytest.raises(ValueError, match="bad message"):
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert service.client.calls == [] and service.total_input_tokens == 0


@pytest.mark.parametrize("args", [(None, MESSAGES, llm.RubricResponse), ("t", tuple(MESSAGES), llm.RubricResponse),
                                  ("t", MESSAGES, llm.RubricResponse, None)])
def test_blocking_call_checks_arguments_first(service, args):
    service.client = FakeClient(response())
    with pytest.raises(TypeError):
        service._make_api_call(*args)
    assert service.client.calls == []


# ------------------------------------------------------------------ rate limit


class VirtualClock:
    """time.time and asyncio.sleep on virtual time: sleepers wake in order of their deadline."""

    def __init__(self, now=0.0):
        self.now = now
        self.sleeps = []
        self._sleepers = []

    def time(self):
        return self.now

    async def sleep(self, seconds):
        self.sleeps.append(seconds)
        future = asyncio.get_running_loop().create_future()
        self._sleepers.append((self.now + seconds, future))
        await future

    async def run(self, *coros):
        """Run coroutines to completion, advancing time whenever all of them sleep."""
        tasks = [asyncio.ensure_future(c) for c in coros]
        while not all(t.done() for t in tasks):
            for _ in range(10):
                await asyncio.sleep(0)
            if self._sleepers and not all(t.done() for t in tasks):
                self._sleepers.sort(key=lambda s: s[0])
                deadline, future = self._sleepers.pop(0)
                self.now = max(self.now, deadline)
                future.set_result(None)
        return [t.result() for t in tasks]


@pytest.fixture
def clock(monkeypatch):
    clock = VirtualClock()
    monkeypatch.setattr(llm, "time", types.SimpleNamespace(time=clock.time))
    monkeypatch.setattr(llm, "asyncio", types.SimpleNamespace(sleep=clock.sleep, Semaphore=asyncio.Semaphore))
    return clock


def admit_at(service, clock, when):
    clock.now = when
    asyncio.run(clock.run(service._enforce_rate_limit()))
    return clock.now


def test_no_sleep_while_under_the_limit(api_key, clock):
    service = llm.LLMService(requests_per_minute=3)
    assert [admit_at(service, clock, t) for t in (0.0, 1.0, 2.0)] == [0.0, 1.0, 2.0]
    assert clock.sleeps == [] and service._rate_limit_timestamps == [0.0, 1.0, 2.0]


def test_window_holds_its_limit_across_sleeps(api_key, clock):
    service = llm.LLMService(requests_per_minute=2)
    admitted = [admit_at(service, clock, t) for t in (0.0, 10.0, 30.0, 70.0, 75.0)]
    # The third waits exactly until 0 s leaves the window and is recorded at its real admission.
    assert admitted == [0.0, 10.0, 60.0, 70.0, 120.0]
    assert clock.sleeps == [30.0, 45.0]
    assert service._rate_limit_timestamps == [70.0, 120.0]
    for t in admitted:
        assert sum(1 for u in admitted if t <= u < t + 60) <= 2


def test_entry_exactly_sixty_seconds_old_is_dropped(api_key, clock):
    service = llm.LLMService(requests_per_minute=1)
    service._rate_limit_timestamps = [0.0]
    assert admit_at(service, clock, 60.0) == 60.0 and clock.sleeps == []
    assert service._rate_limit_timestamps == [60.0]


def test_two_waiters_on_a_full_window_do_not_both_pass(api_key, clock):
    service = llm.LLMService(requests_per_minute=1)
    service._rate_limit_timestamps = [0.0]
    clock.now = 10.0
    admissions = []

    async def admit(name):
        await service._enforce_rate_limit()
        admissions.append((name, clock.now))

    asyncio.run(clock.run(admit("a"), admit("b")))
    assert admissions == [("a", 60.0), ("b", 120.0)]
    assert service._rate_limit_timestamps == [120.0]
