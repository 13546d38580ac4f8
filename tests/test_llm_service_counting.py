"""When the prompt's tokens are counted: the count a call logs is the same
whether it is made before the call or only when needed, and counting that a
caller can observe (a subclass, a patch, another encoding, messages that are
not plain dicts of text) still happens before the call, as it always did."""

import asyncio
from unittest import mock

import pytest

import quorvan_core.llm_service as llm
from tests.support.fake_openai import FakeClient, response

MESSAGES = [{"role": "system", "content": "You mark."},
            {"role": "user", "content": "Mark this answer: plants make glucose from light."}]


@pytest.fixture
def service(api_key):
    return llm.LLMService()


def _ordered(service, events, answer):
    """The client records "call" in `events` when it is called."""
    def call(kwargs):
        events.append("call")
        return answer
    service.client = FakeClient(call)
    return service


@pytest.mark.parametrize("answer, logged", [
    (response(prompt_tokens=1234, completion_tokens=5), 1234),
    (response(content="four words of text"), None),  # no usage: the prompt's own count
])
def test_logged_input_tokens(service, answer, logged):
    service.client = FakeClient(answer)
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    expected = service._count_message_tokens(MESSAGES) if logged is None else logged
    assert service.total_input_tokens == expected


def test_failed_call_logs_the_prompts_count(service):
    service.client = FakeClient(ConnectionError("reset"))
    with pytest.raises(ConnectionError):
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert service.total_input_tokens == service._count_message_tokens(MESSAGES) > 0


def test_subclass_counting_runs_before_the_call(api_key):
    events = []

    class Budgeted(llm.LLMService):
        def _count_message_tokens(self, messages):
            events.append("count")
            return super()._count_message_tokens(messages)

    service = _ordered(Budgeted(), events, response(prompt_tokens=9, completion_tokens=1))
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert events == ["count", "call"]


def test_subclass_may_refuse_a_prompt_before_any_call(api_key):
    class Budgeted(llm.LLMService):
        def _count_message_tokens(self, messages):
            raise ValueError("prompt too long")

    service = Budgeted()
    service.client = FakeClient(response())
    with pytest.raises(ValueError, match="prompt too long"):
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert service.client.calls == []


def test_patched_count_tokens_runs_before_the_call(service):
    events = []
    _ordered(service, events, response(prompt_tokens=9, completion_tokens=1))
    own = llm.LLMService._count_tokens
    with mock.patch.object(llm.LLMService, "_count_tokens", lambda self, text: events.append("count") or own(self, text)):
        service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert events == ["count", "count", "call"]


def test_other_encoding_is_asked_before_the_call(service):
    events = []
    _ordered(service, events, response(prompt_tokens=9, completion_tokens=1))
    service.encoding = mock.Mock(encode=mock.Mock(side_effect=lambda text: events.append("encode") or [1, 2]))
    service._make_api_call("t", MESSAGES, llm.RubricResponse)
    assert events == ["encode", "encode", "call"]


@pytest.mark.parametrize("messages, error", [
    ([{"role": "user", "content": [{"type": "text", "text": "hi"}]}], TypeError),  # vision-style content
    ([("user", "hi")], AttributeError),  # not a dict
])
def test_messages_counting_cannot_read_fail_before_the_call(service, messages, error):
    service.client = FakeClient(response(prompt_tokens=1, completion_tokens=1))
    with pytest.raises(error):
        service._make_api_call("t", messages, llm.RubricResponse)
    assert service.client.calls == []


def test_coroutine_path_counts_the_same(api_key):
    events = []

    class Budgeted(llm.LLMService):
        def _count_message_tokens(self, messages):
            events.append("count")
            return super()._count_message_tokens(messages)

    plain, counted = llm.LLMService(), Budgeted()
    for s in (plain, counted):
        s.async_client = FakeClient(lambda kw: events.append("call") or response(content="two words"), is_async=True)
        asyncio.run(s._make_api_call_async("t", MESSAGES, llm.RubricResponse))
    assert events == ["call", "count", "call"]  # the subclass counts before its call
    assert plain.total_input_tokens == counted.total_input_tokens == plain._count_message_tokens(MESSAGES)
