"""quorvan mark works through one model service: the facade's, carrying the run's limits and usage log."""

import gc
from unittest import mock

import openai

import quorvan_core.cli as cli
import quorvan_core.llm_service as llm
from tests.test_fault_tolerance import class_of, paper_json


def test_mark_builds_one_model_service_with_the_runs_limits_and_usage_log(standin, tmp_path, capsys):
    paper = paper_json(tmp_path / "paper.json")
    sheets = class_of(tmp_path / "sheets", 2)
    out = tmp_path / "results"
    with mock.patch.object(llm, "OpenAI", wraps=openai.OpenAI) as sync_client, \
            mock.patch.object(llm, "AsyncOpenAI", wraps=openai.AsyncOpenAI) as async_client:
        try:
            status = cli.main(["mark", "--paper", str(paper), str(sheets), "-o", str(out), "--max-concurrent", "1",
                               "--requests-per-minute", "1000"])
        finally:
            gc.unfreeze()  # the command freezes what it made for its run's sake
    assert status == 0, capsys.readouterr().err
    assert (sync_client.call_count, async_client.call_count) == (1, 1)
    assert standin.max_in_flight == 1  # --max-concurrent reached the one service
    log = (out / "usage.log").read_text(encoding="utf-8")
    evaluations = [r for r in standin.requests if r["response_format"]["json_schema"]["name"] == "EvaluationResponse"]
    assert log.count("evaluate_answer") >= len(evaluations) > 0
