"""Many questions at once: thread-pool batches, coroutine batches and their blocking wrappers."""

import asyncio
import threading
import time
from unittest import mock

import pytest

import quorvan_core.llm_service as llm
from quorvan_core.datastructures.rubric import Criterion, Rubric
from tests.support.fake_openai import FakeClient, response


@pytest.fixture
def service(api_key):
    return llm.LLMService(max_concurrent_requests=3)


def rubric():
    return Rubric([Criterion(statement="Names the process", mark=2.0)])


def rubric_item(q_id, **extra):
    item = {"q_id": q_id, "question": f"Question {q_id}", "max_marks": 2, "class_level": "8", "subject": "Science"}
    item.update(extra)
    return item


def evaluation_item(q_id, **extra):
    item = {"q_id": q_id, "student_answer": "Light makes sugar.", "question": "Define photosynthesis.",
            "rubric": rubric(), "reference_answer": "Plants make sugar from light."}
    item.update(extra)
    return item


# ------------------------------------------------------------- run_concurrent_tasks


def test_results_keep_task_order_whatever_the_completion_order(service):
    gates = [threading.Event() for _ in range(3)]
    finished = []

    def work(i, then):
        gates[i].wait(5)
        finished.append(i)
        if then is not None:
            gates[then].set()
        return f"result {i}"

    gates[2].set()  # 2 finishes first, then releases 0, which releases 1
    tasks = [{"func": work, "args": (0, 1)}, {"func": work, "args": [1, None]}, {"func": work, "args": (2, 0), "x": 1}]
    assert service.run_concurrent_tasks(tasks) == ["result 0", "result 1", "result 2"]
    assert finished == [2, 0, 1]


def test_a_failed_task_holds_its_error_text_in_its_slot(service):
    def fail():
        raise ValueError("bad input")

    tasks = [{"func": str, "args": [1]}, {"func": fail, "args": []}, {"func": str, "args": [3]}]
    assert service.run_concurrent_tasks(tasks) == ["1", "Error in task 1: bad input", "3"]


@pytest.mark.parametrize("max_workers, expected", [(None, 3), (2, 2), (4.9, 4)])
def test_pool_size(service, monkeypatch, max_workers, expected):
    sizes = []
    real = llm.ThreadPoolExecutor

    def executor(max_workers):
        sizes.append(max_workers)
        return real(max_workers=max_workers)

    monkeypatch.setattr(llm, "ThreadPoolExecutor", executor)
    assert service.run_concurrent_tasks([], max_workers) == []
    assert sizes == [expected]


def test_task_without_func_fails_after_submitted_calls_finish(service):
    done = []

    def slow():
        time.sleep(0.05)
        done.append(True)

    with pytest.raises(KeyError, match="func"):
        service.run_concurrent_tasks([{"func": slow, "args": []}, {"args": []}])
    assert done == [True]


@pytest.mark.parametrize("call", [
    lambda s: s.run_concurrent_tasks(None),
    lambda s: s.run_concurrent_tasks([], max_workers="2"),
    lambda s: s.generate_rubrics_batch(()),
    lambda s: s.evaluate_answers_batch_async({}),
    lambda s: s.generate_ref_answers_batch_sync(None),
])
def test_list_arguments_are_checked_first(service, call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call(service)


# ------------------------------------------------------------- thread-pool batches


def test_rubric_batch_passes_values_positionally_with_empty_reference_default(service):
    service.generateRubric = mock.Mock(side_effect=lambda *a: a)
    items = [rubric_item("Q1"), rubric_item("Q2", reference_answer="ref")]
    assert service.generate_rubrics_batch(items) == [
        ("Question Q1", 2, "8", "Science", ""), ("Question Q2", 2, "8", "Science", "ref")]


def test_thread_batches_run_the_blocking_operations(service):
    service.client = FakeClient(default=response(
        parsed=llm.EvaluationResponse(fulfilled_criteria=[0], awarded_marks=2, feedback="Well done."),
        prompt_tokens=10, completion_tokens=5))
    results = service.evaluate_answers_batch([evaluation_item("Q1"), evaluation_item("Q2")], max_workers=2)
    assert [r["awarded_marks"] for r in results] == [2.0, 2.0]
    assert service.total_input_tokens == 20


def test_thread_batch_with_a_missing_key_submits_nothing(service):
    service.generateRefAnswer = mock.Mock()
    with pytest.raises(KeyError, match="rubric"):
        service.generate_ref_answers_batch([{"question": "q", "class_level": "c", "subject": "s"}])
    service.generateRefAnswer.assert_not_called()


# ----------------------------------------------------------------- coroutine batches


def test_rubric_batch_async_status_records(service):
    seen = []

    async def fake(**kwargs):
        seen.append(kwargs)
        if kwargs["question"] == "Question Q2":
            raise RuntimeError("Failed to generate rubric: quota")
        return f"rubric for {kwargs['question']}"

    service.generateRubric_async = fake
    records = asyncio.run(service.generate_rubrics_batch_async([rubric_item("Q1"), rubric_item("Q2"),
                                                                rubric_item("Q3", reference_answer="r")]))
    assert records == [
        {"q_id": "Q1", "success": True, "rubric": "rubric for Question Q1"},
        {"q_id": "Q2", "success": False, "error": "Failed to generate rubric: quota"},
        {"q_id": "Q3", "success": True, "rubric": "rubric for Question Q3"},
    ]
    assert [list(r) for r in records] == [["q_id", "success", "rubric"], ["q_id", "success", "error"],
                                          ["q_id", "success", "rubric"]]
    # The items run concurrently: find each call by its question, not by when it started.
    by_question = {kwargs["question"]: kwargs for kwargs in seen}
    assert len(seen) == len(by_question) == 3
    assert by_question["Question Q1"] == {"question": "Question Q1", "max_marks": 2, "class_level": "8",
                                          "subject": "Science", "reference_answer": ""}
    assert by_question["Question Q3"]["reference_answer"] == "r"


def test_results_come_back_in_item_order_whatever_the_completion_order(service):
    async def fake(**kwargs):
        await asyncio.sleep({"a": 0.03, "b": 0.0, "c": 0.01}[kwargs["question"]])
        return kwargs["question"].upper()

    service.generateRefAnswer_async = fake
    items = [{"q_id": q, "question": q, "rubric": None, "class_level": "c", "subject": "s"} for q in "abc"]
    records = asyncio.run(service.generate_ref_answers_batch_async(items))
    assert [(r["q_id"], r["ref_answer"]) for r in records] == [("a", "A"), ("b", "B"), ("c", "C")]


def test_item_missing_a_key_fails_alone(service):
    async def fake(**kwargs):
        return "ok"

    service.evaluateAnswer_async = fake
    items = [evaluation_item("Q1"), {k: v for k, v in evaluation_item("Q2").items() if k != "question"}]
    records = asyncio.run(service.evaluate_answers_batch_async(items))
    assert records == [{"q_id": "Q1", "success": True, "evaluation": "ok"},
                       {"q_id": "Q2", "success": False, "error": "'question'"}]


def test_item_without_q_id_fails_the_whole_batch(service):
    async def fake(**kwargs):
        return "ok"

    service.generateRubric_async = fake
    item = rubric_item("Q1")
    del item["q_id"]
    with pytest.raises(KeyError, match="q_id"):
        asyncio.run(service.generate_rubrics_batch_async([rubric_item("Q0"), item]))
    with pytest.raises(KeyError, match="q_id"):
        service.generate_rubrics_batch_sync([item])


def test_empty_batches_make_no_call(service):
    service.client = FakeClient()
    service.async_client = FakeClient(is_async=True)
    assert asyncio.run(service.generate_rubrics_batch_async([])) == []
    assert service.evaluate_answers_batch_sync([]) == []
    assert service.generate_ref_answers_batch([]) == []
    assert service.client.calls == service.async_client.calls == []


# ----------------------------------------------------------------- blocking wrappers


def evaluation_answer(kwargs):
    return response(parsed=llm.EvaluationResponse(fulfilled_criteria=[0], awarded_marks=2, feedback="Good."),
                    prompt_tokens=10, completion_tokens=5)


def test_wrapper_runs_a_fresh_semaphore_and_restores_the_old_one(service):
    original = service._request_semaphore
    used = []

    def answer(kwargs):
        used.append(service._request_semaphore)
        return evaluation_answer(kwargs)

    service.async_client = FakeClient(is_async=True, delay=0.01, default=answer)
    records = service.evaluate_answers_batch_sync([evaluation_item(f"Q{i}") for i in range(8)])
    assert [r["success"] for r in records] == [True] * 8
    assert [r["evaluation"]["awarded_marks"] for r in records] == [2.0] * 8
    assert service._request_semaphore is original
    assert used and all(s is used[0] for s in used) and used[0] is not original
    assert service.async_client.max_in_flight == 3


def test_wrapper_restores_the_semaphore_when_the_run_fails(service):
    original = service._request_semaphore
    service.generate_rubrics_batch_async = mock.Mock(side_effect=RuntimeError("loop broke"))
    records = service.generate_rubrics_batch_sync([rubric_item("Q1"), rubric_item("Q2")])
    assert records == [{"q_id": q, "success": False, "error": "Sync wrapper error: loop broke"} for q in ("Q1", "Q2")]
    assert service._request_semaphore is original


@pytest.mark.parametrize("wrapper, twin, items", [
    ("generate_rubrics_batch_sync", "generate_rubrics_batch_async", [rubric_item("Q1")]),
    ("generate_ref_answers_batch_sync", "generate_ref_answers_batch_async",
     [{"q_id": "Q1", "question": "q", "rubric": None, "class_level": "c", "subject": "s"}]),
    ("evaluate_answers_batch_sync", "evaluate_answers_batch_async", [evaluation_item("Q1"), evaluation_item("Q2")]),
])
def test_wrapper_refuses_inside_a_running_loop(service, wrapper, twin, items):
    original = service._request_semaphore
    service.async_client = FakeClient(is_async=True)

    async def main():
        return getattr(service, wrapper)(items)

    message = (f"Sync wrapper error: Cannot call {wrapper} from within an async context. "
               f"Use {twin} instead.")
    assert asyncio.run(main()) == [{"q_id": i["q_id"], "success": False, "error": message} for i in items]
    assert service.async_client.calls == [] and service._request_semaphore is original
