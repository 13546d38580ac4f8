"""The model service through the real openai client, against the stand-in over HTTP."""

import asyncio

import openai
import pytest

import quorvan_core.llm_service as llm
from quorvan_core.datastructures.rubric import Criterion, Rubric

MESSAGES = [
    {"role": "system", "content": "You are an expert educator creating assessment rubrics."},
    {"role": "user", "content": "Question: Define photosynthesis.\nMaximum Marks: 4.0\n"},
]


def test_blocking_call_takes_usage_from_the_response(standin, capsys):
    service = llm.LLMService()
    result = service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse, "Question marks: 4.0")
    parsed = result.choices[0].message.parsed
    assert isinstance(parsed, llm.RubricResponse) and sum(c.mark for c in parsed.criteria) == 4.0
    assert (service.total_input_tokens, service.total_output_tokens) == (
        result.usage.prompt_tokens, result.usage.completion_tokens)
    # the local estimate differs from the service's count: the reported one wins
    assert service.total_input_tokens != service._count_message_tokens(MESSAGES)
    body = standin.requests[0]
    assert body["model"] == "gpt-5-mini-2025-08-07" and body["messages"] == MESSAGES
    assert body["response_format"]["json_schema"]["name"] == "RubricResponse"
    total = result.usage.prompt_tokens + result.usage.completion_tokens
    assert capsys.readouterr().out.startswith(f"-> generate_rubric: {total} tokens ($")


@pytest.mark.parametrize("fault, error", [("429", openai.RateLimitError), ("500", openai.InternalServerError)])
def test_failed_call_is_accounted_and_the_client_error_reraised(standin, capsys, fault, error):
    standin.inject(fault)
    service = llm.LLMService()
    with pytest.raises(error):
        service._make_api_call("generate_rubric", MESSAGES, llm.RubricResponse)
    assert len(standin.requests) == 1  # no retry behind the caller's back
    estimate = service._count_message_tokens(MESSAGES)
    assert service.get_total_usage()["total_input_tokens"] == estimate
    assert capsys.readouterr().out.startswith(f"-> generate_rubric_FAILED: {estimate} tokens")


def test_async_calls_stay_within_the_semaphore(standin):
    standin.delay = 0.05
    service = llm.LLMService(max_concurrent_requests=4)

    async def main():
        return await asyncio.gather(*[service._make_api_call_async("t", MESSAGES, llm.RubricResponse)
                                      for _ in range(12)])

    results = asyncio.run(main())
    assert len(results) == 12 and standin.max_in_flight == 4
    assert service.total_input_tokens == sum(r.usage.prompt_tokens for r in results)


def test_async_failure_is_reraised_unchanged_through_gather(standin):
    standin.inject("malformed")
    service = llm.LLMService()

    async def main():
        return await asyncio.gather(service._make_api_call_async("t", MESSAGES, llm.RubricResponse),
                                    return_exceptions=True)

    [error] = asyncio.run(main())
    assert isinstance(error, Exception) and "_FAILED" not in str(error)
    assert service._request_semaphore._value == 5


def test_evaluation_batch_through_the_wrapper_bounds_requests_in_flight(standin):
    standin.delay = 0.05
    service = llm.LLMService(max_concurrent_requests=3)
    rubric = Rubric([Criterion(statement="Names chlorophyll", mark=1.0), Criterion(statement="Names glucose", mark=1.0)])
    items = [{"q_id": f"Q{i}", "student_answer": "Chlorophyll absorbs light to make glucose.",
              "question": "Define photosynthesis.", "rubric": rubric,
              "reference_answer": "Chlorophyll absorbs light energy to make glucose."} for i in range(9)]
    records = service.evaluate_answers_batch_sync(items)
    assert [r["q_id"] for r in records] == [f"Q{i}" for i in range(9)]
    assert all(r["success"] and r["evaluation"]["awarded_marks"] == 2.0 for r in records)
    assert standin.max_in_flight == 3
    assert [c.is_fulfilled for c in rubric.criteria] == [False, False]
