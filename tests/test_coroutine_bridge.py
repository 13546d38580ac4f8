"""The C++ coroutines as Python sees them, driven through the service's asynchronous call."""

import asyncio
import collections.abc
import gc
import warnings

import pytest

import quorvan_core.llm_service as llm
from tests.support.fake_openai import FakeClient, response

MESSAGES = [{"role": "user", "content": "Evaluate."}]


@pytest.fixture
def service(api_key):
    service = llm.LLMService(max_concurrent_requests=5, requests_per_minute=1000)
    service.async_client = FakeClient(is_async=True, default=response(parsed="ok", prompt_tokens=3, completion_tokens=1))
    return service


def call(service, task="evaluate_answer"):
    return service._make_api_call_async(task, MESSAGES, llm.EvaluationResponse)


def test_is_a_coroutine_for_asyncio_and_awaits_to_the_response(service):
    coro = call(service)
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    result = asyncio.run(coro)
    assert result.choices[0].message.parsed == "ok"
    assert service.async_client.calls == [
        {"model": "gpt-5-mini-2025-08-07", "messages": MESSAGES, "response_format": llm.EvaluationResponse}]
    assert (service.total_input_tokens, service.total_output_tokens) == (3, 1)


def test_awaited_from_python_coroutines_and_tasks(service):
    async def main():
        first = await call(service)
        task = asyncio.ensure_future(call(service))
        assert "LLMService._make_api_call_async" in repr(task)
        return first, await task

    first, second = asyncio.run(main())
    assert first.choices[0].message.parsed == second.choices[0].message.parsed == "ok"


def test_gather_of_many_never_exceeds_the_permits(service):
    service.async_client.delay = 0.01

    async def main():
        return await asyncio.gather(*[call(service, f"t{i}") for i in range(12)])

    results = asyncio.run(main())
    assert len(results) == 12 and service.async_client.max_in_flight == 5
    assert service._request_semaphore._value == 5


def test_timeout_cancels_the_call_and_releases_its_permit(service, capsys):
    async def main():
        service.async_client.gate = asyncio.Event()  # never set: the call hangs
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(call(service), 0.05)
        assert service.async_client.in_flight == 0  # the request itself was cancelled
        service.async_client.gate = None
        return await call(service)  # the permit came back

    asyncio.run(main())
    assert service._request_semaphore._value == 5
    # A cancellation is no failed call: nothing accounted for it.
    assert capsys.readouterr().out.count("_FAILED") == 0


def test_errors_reach_gather_with_return_exceptions(service, capsys):
    boom = ConnectionError("reset by peer")
    service.async_client.queue(response(parsed=1), boom, response(parsed=3))

    async def main():
        return await asyncio.gather(call(service, "a"), call(service, "b"), call(service, "c"), return_exceptions=True)

    first, second, third = asyncio.run(main())
    assert second is boom
    assert first.choices[0].message.parsed == 1 and third.choices[0].message.parsed == 3
    assert "-> b_FAILED:" in capsys.readouterr().out
    assert service._request_semaphore._value == 5


def test_closing_a_coroutine_never_started(service):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = call(service)
        coro.close()
        coro.close()
        del coro
        gc.collect()
    assert service.async_client.calls == [] and service._request_semaphore._value == 5


def test_a_finished_coroutine_cannot_be_awaited_again(service):
    coro = call(service)
    asyncio.run(coro)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@pytest.mark.parametrize(
    "args",
    [(None, MESSAGES, llm.EvaluationResponse), ("t", "not a list", llm.EvaluationResponse),
     ("t", MESSAGES, llm.EvaluationResponse, 5)],
)
def test_argument_errors_are_raised_at_the_call(service, args):
    with pytest.raises(TypeError, match="has incorrect type"):
        service._make_api_call_async(*args)


def test_driving_by_hand_send_and_throw(service):
    async def main():
        service.async_client.gate = asyncio.Event()
        coro = call(service)
        with pytest.raises(TypeError, match="just-started"):
            coro.send(1)
        yielded = coro.send(None)  # runs up to the request, which waits on the gate
        assert isinstance(yielded, asyncio.Future)
        assert service._request_semaphore._value == 4
        with pytest.raises(KeyError, match="thrown in"):
            coro.throw(KeyError("thrown in"))
        assert service._request_semaphore._value == 5  # released on the error path
        with pytest.raises(ValueError):
            coro.throw(ValueError)  # a finished coroutine hands the error straight back

    asyncio.run(main())


def test_close_of_a_suspended_coroutine_releases_the_permit(service):
    async def main():
        service.async_client.gate = asyncio.Event()
        coro = call(service)
        coro.send(None)
        assert service._request_semaphore._value == 4
        coro.close()
        assert service._request_semaphore._value == 5

    asyncio.run(main())


def test_rate_limit_coroutine_yields_none_result(service):
    assert asyncio.run(service._enforce_rate_limit()) is None
    assert len(service._rate_limit_timestamps) == 1
