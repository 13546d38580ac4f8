"""Token pacing: every model call reserves its estimated tokens in one rolling window before it is sent,
settles them with the server's count, and slows down when the server's rate-limit headers say so."""

import asyncio
import csv
import json
import os
import re
import subprocess
import sys
import types

import httpx2
import openai
import pytest

import quorvan_core.llm_service as llm
from tests.support.command import quorvan
from tests.support.pdfs import write_text_pdf
from tests.support.standin import StandIn
from tests.test_fault_tolerance import QUESTIONS, paper_json

MESSAGES = [{"role": "system", "content": "You write rubrics."},
            {"role": "user", "content": "Question: Define photosynthesis.\nMaximum Marks: 4.0\n"}]
RUBRIC = {"criteria": [{"statement": "Defines photosynthesis", "mark": 4.0}]}


def rubric_call(service):
    return service._make_api_call_async("t", [dict(m) for m in MESSAGES], llm.RubricResponse)


class VirtualTime:
    """The service's clock and asyncio.sleep: a pause moves the clock on at once and is recorded."""

    def __init__(self, monkeypatch, start=1_000_000.0):
        self.now, self.pauses = start, []
        monkeypatch.setattr(llm, "time", types.SimpleNamespace(time=lambda: self.now, sleep=self._blocking))
        monkeypatch.setattr(llm, "asyncio", types.SimpleNamespace(sleep=self.sleep, Semaphore=asyncio.Semaphore))

    def _blocking(self, seconds):
        self.pauses.append(seconds)
        self.now += seconds

    async def sleep(self, seconds):
        self._blocking(seconds)
        await asyncio.sleep(0)


def scripted_server(*answers):
    """An AsyncOpenAI whose transport gives these (status, headers) answers in turn, rubric bodies for 200s."""
    sent = []

    def handle(request):
        sent.append(request)
        status, headers = answers[min(len(sent), len(answers)) - 1]
        if status == 200:
            body = {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                    "choices": [{"index": 0, "finish_reason": "stop", "logprobs": None,
                                 "message": {"role": "assistant", "content": json.dumps(RUBRIC), "refusal": None}}],
                    "usage": {"prompt_tokens": 300, "completion_tokens": 40, "total_tokens": 340}}
        else:
            body = {"error": {"message": "Rate limit reached (scripted).", "type": "tokens", "param": None,
                              "code": "rate_limit_exceeded"}}
        return httpx2.Response(status, headers={"x-should-retry": "false", **headers}, json=body)

    client = openai.AsyncOpenAI(api_key="sk-test", base_url="http://model.invalid/v1", max_retries=0,
                                http_client=httpx2.AsyncClient(transport=httpx2.MockTransport(handle)))
    return client, sent


# ------------------------------------------------------------------ the stand-in's limit


def test_the_standin_refuses_what_would_exceed_its_token_limit(api_key):
    with StandIn(tokens_per_minute=1, window_seconds=30) as limited, \
            openai.OpenAI(base_url=limited.base_url, max_retries=0) as client:
        completions = client.beta.chat.completions.with_raw_response
        first = completions.parse(model="m", messages=MESSAGES, response_format=llm.RubricResponse)
        spent = first.parse().usage.total_tokens
        # Larger than the whole limit, yet answered: the window was empty.
        assert first.headers["x-ratelimit-limit-tokens"] == "1"
        assert (first.headers["x-ratelimit-remaining-tokens"], first.headers["x-ratelimit-reset-tokens"]) == ("0", "30s")
        with pytest.raises(openai.RateLimitError) as refused:
            completions.parse(model="m", messages=MESSAGES, response_format=llm.RubricResponse)
        headers = refused.value.response.headers
        assert refused.value.code == "rate_limit_exceeded" and f"Used {spent}, Requested {spent}" in refused.value.message
        assert headers["x-ratelimit-remaining-tokens"] == "0" and int(headers["retry-after"]) in (29, 30)
        assert 29000 < int(headers["retry-after-ms"]) <= 30000 and headers["x-ratelimit-reset-tokens"].endswith("s")
        assert limited.rejected == 1 and len(limited.requests) == 2


# ------------------------------------------------------------------ arguments


@pytest.mark.parametrize("value, error, message", [
    (0, ValueError, "tokens_per_minute must be at least 1"),
    (-100, ValueError, "tokens_per_minute must be at least 1"),
    (0.9, ValueError, "tokens_per_minute must be at least 1"),  # an int parameter truncates
    ("1000", TypeError, "Argument 'tokens_per_minute' has incorrect type (expected int, got str)"),
    ([1000], TypeError, "Argument 'tokens_per_minute' has incorrect type (expected int, got list)"),
])
@pytest.mark.parametrize("where", ["constructor", "_set_limits"])
def test_bad_token_limits_are_refused_before_anything_changes(api_key, where, value, error, message):
    service = llm.LLMService()
    with pytest.raises(error) as raised:
        if where == "constructor":
            llm.LLMService(tokens_per_minute=value)
        else:
            service._set_limits(3, 20, tokens_per_minute=value)
    assert str(raised.value) == message
    assert (service.max_concurrent_requests, service.requests_per_minute, service.tokens_per_minute) == (5, 50, None)


def test_the_token_limit_is_an_attribute_only_when_set(api_key):
    plain = llm.LLMService()
    assert plain.tokens_per_minute is None and "tokens_per_minute" not in vars(plain)
    limited = llm.LLMService(tokens_per_minute=2500.7)
    assert limited.tokens_per_minute == 2500 and type(limited.tokens_per_minute) is int
    limited._set_limits(2, 10)  # no token limit given: none
    assert limited.tokens_per_minute is None
    plain._set_limits(2, 10, 40000)
    assert (plain.max_concurrent_requests, plain.requests_per_minute, plain.tokens_per_minute) == (2, 10, 40000)


@pytest.mark.parametrize("value, message", [
    ("0", "--tokens-per-minute must be at least 1"),
    ("-5", "--tokens-per-minute must be at least 1"),
    ("many", "argument --tokens-per-minute: invalid int value: 'many'"),
])
def test_bad_token_limits_on_the_command_line_are_usage_errors(api_key, tmp_path, value, message):
    paper = paper_json(tmp_path / "paper.json")
    sheet = write_text_pdf(tmp_path / "s.pdf", ["Q1. An answer."])
    done = quorvan("mark", "--paper", paper, sheet, "-o", tmp_path / "out", "--tokens-per-minute", value)
    assert done.returncode == 2 and done.stderr.rstrip().endswith(f"error: {message}")
    assert not (tmp_path / "out").exists()


# ------------------------------------------------------------------ the window


def test_a_call_reserves_its_estimate_and_settles_with_the_servers_count(standin):
    service = llm.LLMService(tokens_per_minute=10**6)
    reserved = service._count_message_tokens(MESSAGES) + service.expected_output_tokens
    standin.inject("500")
    with pytest.raises(openai.InternalServerError):
        asyncio.run(rubric_call(service))
    # The server said nothing about the failure: its reservation stays.
    assert service._token_pacer.used() == reserved
    answer = asyncio.run(rubric_call(service))
    spent = answer.usage.prompt_tokens + answer.usage.completion_tokens
    assert spent != service.expected_output_tokens + service._count_message_tokens(MESSAGES)
    assert service._token_pacer.used() == reserved + spent


def test_an_unusable_answer_settles_with_the_usage_it_reports(standin):
    service = llm.LLMService(tokens_per_minute=10**6)
    standin.inject("length")
    with pytest.raises(openai.LengthFinishReasonError) as raised:
        asyncio.run(rubric_call(service))
    usage = raised.value.completion.usage
    assert service._token_pacer.used() == usage.prompt_tokens + usage.completion_tokens


@pytest.mark.parametrize("path", ["coroutine", "blocking"])
def test_a_call_above_the_whole_limit_goes_alone_into_an_empty_window(standin, monkeypatch, path):
    clock = VirtualTime(monkeypatch)
    service = llm.LLMService(tokens_per_minute=10)

    async def two():
        return [await rubric_call(service), await rubric_call(service)]

    if path == "coroutine":
        first, second = asyncio.run(two())
    else:
        first, second = [service._make_api_call("t", [dict(m) for m in MESSAGES], llm.RubricResponse)
                         for _ in range(2)]
    assert first.choices[0].message.parsed and second.choices[0].message.parsed and standin.rejected == 0
    # The second waited for the first to leave the window: a minute after its answer.
    assert sum(clock.pauses) == pytest.approx(60.0)


def test_calls_wait_their_turn_and_a_cancelled_one_gives_it_up(standin):
    async def scenario():
        probe = await rubric_call(llm.LLMService())
        spent = probe.usage.prompt_tokens + probe.usage.completion_tokens
        service = llm.LLMService()
        prompt = service._count_message_tokens(MESSAGES)
        # After the first call, room for a prompt but not for a prompt and the expected answer.
        service.tokens_per_minute = spent + prompt + service.expected_output_tokens // 2
        await rubric_call(service)
        sent = len(standin.requests)
        large = asyncio.ensure_future(rubric_call(service))
        await asyncio.sleep(0.2)
        service.expected_output_tokens = 0  # from here on a call fits
        small = asyncio.ensure_future(rubric_call(service))
        await asyncio.sleep(1.2)
        waiting = len(standin.requests) == sent and not small.done()  # behind the large one
        large.cancel()
        answer = await asyncio.wait_for(small, 20)
        return waiting, answer, sent

    waiting, answer, sent = asyncio.run(scenario())
    assert waiting and answer.choices[0].message.parsed and len(standin.requests) == sent + 1


# ------------------------------------------------------------------ the server's word


def limit_headers(remaining, reset, limit=None):
    headers = {"x-ratelimit-remaining-tokens": remaining, "x-ratelimit-reset-tokens": reset}
    return headers if limit is None else {**headers, "x-ratelimit-limit-tokens": limit}


@pytest.mark.parametrize("status, headers, pause", [
    (200, limit_headers("0", "20s"), 20.0),
    (200, limit_headers("0", "250ms"), 0.25),
    (200, limit_headers("0", "1m0s", limit="6000"), "refilled"),  # 100 tokens a second come back
    (200, limit_headers("5000", "20s"), 0.0),
    (200, limit_headers("0", "soon"), 0.0),  # unreadable: ignored
    (429, {"retry-after": "30"}, 30.0),
    (429, {"retry-after-ms": "1500", "retry-after": "2"}, 1.5),
    (429, limit_headers("0", "45s"), 45.0),
    (429, limit_headers("0", "6m0s"), 60.0),  # a server's wait is honoured up to a minute
])
def test_the_next_call_waits_as_the_servers_headers_say(api_key, monkeypatch, status, headers, pause):
    clock = VirtualTime(monkeypatch)
    service = llm.LLMService(tokens_per_minute=10**9)
    service.async_client, sent = scripted_server((status, headers), (200, {}))
    if status == 200:
        asyncio.run(rubric_call(service))
    else:
        with pytest.raises(openai.RateLimitError):
            asyncio.run(rubric_call(service))
    assert clock.pauses == []
    asyncio.run(rubric_call(service))
    if pause == "refilled":
        pause = (service._count_message_tokens(MESSAGES) + service.expected_output_tokens) / 100
    assert sum(clock.pauses) == pytest.approx(pause) and len(sent) == 2


def test_without_a_token_limit_the_headers_change_nothing(api_key, monkeypatch):
    clock = VirtualTime(monkeypatch)
    service = llm.LLMService()
    service.async_client, sent = scripted_server((200, limit_headers("0", "20s")), (200, {}))
    asyncio.run(rubric_call(service))
    asyncio.run(rubric_call(service))
    assert clock.pauses == [] and len(sent) == 2 and "_token_pacer" not in vars(service)


def test_a_server_out_of_tokens_is_waited_for_instead_of_refusing_the_next_call(standin, monkeypatch):
    # The stand-in's limit is exactly one call: the pacer's own limit never binds, the headers do.
    probe = asyncio.run(rubric_call(llm.LLMService()))
    with StandIn(tokens_per_minute=probe.usage.total_tokens, window_seconds=0.5) as limited:
        monkeypatch.setenv("OPENAI_BASE_URL", limited.base_url)
        service = llm.LLMService(tokens_per_minute=10**9)
        for _ in range(3):
            asyncio.run(rubric_call(service))
        assert limited.rejected == 0 and len(limited.requests) == 3


# ------------------------------------------------------------------ a class run


# The command with the token window shortened, so that a class spans several windows in seconds.
SHORT_WINDOW = ("import sys; from quorvan_core.llm_service import LLMService; "
                "LLMService._token_window_seconds = float(sys.argv[1]); "
                "from quorvan_core.cli import main; sys.exit(main(sys.argv[2:]))")

ANSWERS = ["Photosynthesis makes glucose from light, water and carbon dioxide; oxygen is released.",
           "The heart pumps blood with four chambers, to the lungs and the body.",
           "Conductors have free electrons; insulators do not.",
           "I do not know.", "Plants breathe.", "It beats."]


def write_class(folder, n):
    folder.mkdir()
    for s in range(n):
        text = "\n\n".join(f"{q_id}. {ANSWERS[(s + i) % len(ANSWERS)]} " + "More words. " * (s * 3)
                            for i, (q_id, *_rest) in enumerate(QUESTIONS))
        write_text_pdf(folder / f"s{s:02d}.pdf", [text])
    return folder


def marked(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: {k: v for k, v in r.items() if k.startswith("Q") or k == "status"}
                for r in csv.DictReader(f)}


def tokens_in(usage_log):
    text = usage_log.read_text(encoding="utf-8")
    return sum(int(n) for n in re.findall(r"TOTAL_TOKENS: (\d+)", text))


def test_a_class_marked_within_a_token_limit_gets_no_429_and_the_same_marks(standin, tmp_path):
    sheets = write_class(tmp_path / "sheets", 5)
    paper = paper_json(tmp_path / "paper.json")
    free = subprocess.run([sys.executable, "-c", SHORT_WINDOW, "60", "mark", "--paper", str(paper), str(sheets),
                           "-o", str(tmp_path / "free")], capture_output=True, text=True, timeout=300)
    assert free.returncode == 0, free.stderr
    total = tokens_in(tmp_path / "free" / "usage.log")

    window, limit = 1.5, total // 3  # the class needs at least three windows
    with StandIn(tokens_per_minute=limit, window_seconds=window) as limited:
        env = dict(os.environ, OPENAI_BASE_URL=limited.base_url)
        paced = subprocess.run([sys.executable, "-c", SHORT_WINDOW, str(window), "mark", "--paper", str(paper),
                                str(sheets), "-o", str(tmp_path / "paced"), "--tokens-per-minute", str(limit),
                                "--retries", "0"], capture_output=True, text=True, timeout=300, env=env)
        assert paced.returncode == 0, paced.stderr
        assert limited.rejected == 0
        assert len(limited.requests) == len(standin.requests)  # every call once, none refused
    assert tokens_in(tmp_path / "paced" / "usage.log") == total > limit
    assert marked(tmp_path / "paced") == marked(tmp_path / "free")
    assert {row["status"] for row in marked(tmp_path / "free").values()} == {"marked"}
