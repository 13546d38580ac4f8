"""How close `quorvan mark` comes to what the model service's limits allow."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from bench.class_run import QUORVAN, ROOT, standin_process, usage_records, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "Class marking throughput"

DELAY = 0.1        # seconds the stand-in takes to answer
CONCURRENCY = 5    # the command's default bound on requests in flight

# One sheet after another through the blocking facade, in a fresh process.
SEQUENTIAL = textwrap.dedent("""
    import contextlib, io, json, sys, time
    from pathlib import Path
    from quorvan_core.quorvan import Quorvan, QurovanConfig
    paper, sheets = Path(sys.argv[1]), sorted(Path(sys.argv[2]).glob("*.pdf"))
    with contextlib.redirect_stdout(io.StringIO()):
        q = Quorvan()
        q.configure(QurovanConfig(extractor_type="local", token_log_file=sys.argv[3], enable_llm_token_logging=True))
        q.llm_service.requests_per_minute = 10**9
        q.change_question_paper(q.question_paper_from_json(paper.read_text()))
        start = time.perf_counter()
        for sheet in sheets:
            q.process_answersheet(str(sheet))
        elapsed = time.perf_counter() - start
    print(json.dumps({"seconds": elapsed}))
""")

# The floor set by the openai client itself: the same number of calls, all
# independent, through a bare AsyncOpenAI under the same bound, in a fresh process.
RAW_CLIENT = textwrap.dedent("""
    import asyncio, contextlib, io, json, os, sys, time
    from openai import AsyncOpenAI
    from quorvan_core import llm_service as llm
    from quorvan_core.datastructures.rubric import Criterion, Rubric
    from tests.support.standin import StandIn
    calls, bound = int(sys.argv[1]), int(sys.argv[2])
    url = os.environ["OPENAI_BASE_URL"]
    with StandIn() as local, contextlib.redirect_stdout(io.StringIO()):
        os.environ["OPENAI_BASE_URL"] = local.base_url
        rubric = Rubric([Criterion(statement="Explains photosynthesis correctly", mark=3.0),
                         Criterion(statement="Gives a fitting example", mark=1.0)])
        llm.LLMService(token_log_file=os.devnull).evaluateAnswer(
            "Plants use sunlight to make glucose from carbon dioxide and water.",
            "Explain photosynthesis in your own words, with one example.", rubric,
            "A good answer explains photosynthesis step by step and gives an everyday example.")
        messages = local.requests[-1]["messages"]
    os.environ["OPENAI_BASE_URL"] = url

    async def main():
        client = AsyncOpenAI()
        client.beta.chat.completions
        gate = asyncio.Semaphore(bound)
        async def one():
            async with gate:
                await client.beta.chat.completions.parse(model="gpt-5-mini-2025-08-07", messages=messages,
                                                         response_format=llm.EvaluationResponse)
        start = time.perf_counter()
        await asyncio.gather(*(one() for _ in range(calls)))
        return time.perf_counter() - start

    print(json.dumps({"seconds": asyncio.run(main())}))
""")


def run(workdir: Path, quick: bool = False) -> Section:
    sheets_n, questions_n = (10, 8) if quick else (30, 8)
    paper = write_paper(workdir / "paper.json", questions_n)
    sheets = write_class(workdir / "sheets", sheets_n, questions_n)
    with standin_process(DELAY) as env:
        out = workdir / "results"
        start = time.perf_counter()
        result = subprocess.run([str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(out),
                                 "--max-concurrent", str(CONCURRENCY), "--requests-per-minute", "1000000",
                                 "--format", "json"], env=env, cwd=workdir, capture_output=True, text=True)
        whole = time.perf_counter() - start
        if result.returncode != 0:
            raise RuntimeError(f"quorvan mark failed ({result.returncode}): {result.stderr or result.stdout}")
        marking = float(re.search(r"answer sheets in ([\d.]+) s", result.stdout).group(1))
        calls, failed = usage_records(out / "usage.log")

        seq_log = workdir / "sequential-usage.log"
        seq = subprocess.run([sys.executable, "-c", SEQUENTIAL, str(paper), str(sheets), str(seq_log)], env=env,
                             cwd=workdir, capture_output=True, text=True)
        if seq.returncode != 0:
            raise RuntimeError(f"sequential run failed: {seq.stderr}")
        sequential = json.loads(seq.stdout.strip().splitlines()[-1])["seconds"]
        seq_calls, _ = usage_records(seq_log)

        raw = subprocess.run([sys.executable, "-c", RAW_CLIENT, str(calls), str(CONCURRENCY)], env=env,
                             cwd=ROOT, capture_output=True, text=True)
        if raw.returncode != 0:
            raise RuntimeError(f"raw client run failed: {raw.stderr}")
        raw_seconds = json.loads(raw.stdout.strip().splitlines()[-1])["seconds"]

    ideal = calls / CONCURRENCY * DELAY
    table = Table(["run", "model calls", "seconds", "× ideal"], title=f"{sheets_n} sheets × {questions_n} questions")
    table.rows = [
        ["ideal: calls ÷ bound × delay", calls, f"{ideal:.2f}", "1.00"],
        ["bare AsyncOpenAI, the same number of independent calls", calls, f"{raw_seconds:.2f}",
         f"{raw_seconds / ideal:.2f}"],
        ["`quorvan mark`, marking (as the command reports it)", calls, f"{marking:.2f}", f"{marking / ideal:.2f}"],
        ["`quorvan mark`, whole command with start-up", calls, f"{whole:.2f}", f"{whole / ideal:.2f}"],
        ["blocking facade, one sheet after another", seq_calls, f"{sequential:.2f}", f"{sequential / ideal:.2f}"],
    ]
    return Section(
        title=TITLE,
        method=(f"A synthetic class ({sheets_n} text PDFs, {questions_n} questions each) marked by `quorvan mark` "
                f"against the model stand-in in its own process, answering every request after {DELAY * 1000:.0f} ms; "
                f"bound {CONCURRENCY} requests in flight, the per-minute limit set too high to bind. The ideal is "
                f"the number of model calls (one parse and one evaluation per answer, read from the usage log) "
                f"divided by the bound, times the delay. The marking time is the command's own clock, from the "
                f"first sheet started to the last one finished; the whole-command time adds Python's start-up, "
                f"importing openai and loading the token encoding, a fixed cost of about a second per run. "
                f"For comparison the same class through the blocking facade, one `process_answersheet` after "
                f"another, in one process; and, as the floor the openai client itself sets, the same number of "
                f"independent evaluation calls through a bare `AsyncOpenAI` under the same bound."),
        tables=[table],
        goals=[Goal("marking wall time ÷ ideal", marking / ideal, "<=", 1.10)],
        notes=[f"{failed} failed model calls in the run." if failed else "No model call failed.",
               f"The blocking facade took {sequential / marking:.1f}× as long as `quorvan mark`."],
    )
