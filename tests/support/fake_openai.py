"""In-process replacements for the openai clients, for unit tests that need no HTTP.

`FakeClient` has the one path the library uses, `client.beta.chat.completions.parse(...)`,
answering from a queue of results (a value, an exception to raise, or a callable taking the
call's keyword arguments). The async variant tracks how many calls are in flight at once.
"""

import asyncio
import threading
import types


def response(parsed=None, content="", prompt_tokens=None, completion_tokens=None, refusal=None):
    """A response shaped like openai's ParsedChatCompletion, as far as the library reads it."""
    usage = None
    if prompt_tokens is not None or completion_tokens is not None:
        usage = types.SimpleNamespace(prompt_tokens=prompt_tokens or 0, completion_tokens=completion_tokens or 0)
    message = types.SimpleNamespace(parsed=parsed, content=content, refusal=refusal)
    return types.SimpleNamespace(usage=usage, choices=[types.SimpleNamespace(message=message)])


class _Completions:
    def __init__(self, owner):
        self._owner = owner

    def parse(self, **kwargs):
        return self._owner._answer(kwargs)


class _AsyncCompletions:
    def __init__(self, owner):
        self._owner = owner

    async def parse(self, **kwargs):
        owner = self._owner
        with owner._lock:
            owner.in_flight += 1
            owner.max_in_flight = max(owner.max_in_flight, owner.in_flight)
        try:
            gate = owner.gate
            if gate is not None:
                await gate.wait()
            elif owner.delay:
                await asyncio.sleep(owner.delay)
            return owner._answer(kwargs)
        finally:
            with owner._lock:
                owner.in_flight -= 1


class FakeClient:
    """Stands for openai.OpenAI / openai.AsyncOpenAI (pick with `is_async`)."""

    def __init__(self, *answers, is_async=False, delay=0.0, default=None):
        self.calls = []
        self._answers = list(answers)
        self.default = default
        self.delay = delay
        self.gate = None  # an asyncio.Event holding async calls until set
        self.in_flight = 0
        self.max_in_flight = 0
        self._lock = threading.Lock()
        completions = _AsyncCompletions(self) if is_async else _Completions(self)
        self.beta = types.SimpleNamespace(chat=types.SimpleNamespace(completions=completions))

    def queue(self, *answers):
        self._answers.extend(answers)

    def _answer(self, kwargs):
        with self._lock:
            self.calls.append(kwargs)
            answer = self._answers.pop(0) if self._answers else self.default
        if callable(answer) and not isinstance(answer, type):
            answer = answer(kwargs)
        if isinstance(answer, BaseException):
            raise answer
        return answer
