"""The batch path (`quorvan mark --batch --wait`) against the online path: cost, wall time, results."""

from __future__ import annotations

import csv
import os
import re
import subprocess
import time
from pathlib import Path

from bench.class_run import QUORVAN, ROOT, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "The batch path against the online path"

DELAY = 0.1          # seconds the stand-in takes to answer one chat-completion request, as elsewhere
BATCH_SECONDS = 2.0  # how long the stand-in takes over one batch
POLL = "0.2,1"       # QUORVAN_BATCH_POLL: first pause and cap between polls


def _cost(stdout: str) -> float:
    found = re.search(r"cost \$([\d.]+)", stdout)
    if not found:
        raise RuntimeError(f"no cost line in: {stdout[-500:]}")
    return float(found.group(1))


def _rows(out: Path) -> list[dict]:
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return list(csv.DictReader(f))


def _mark(argv: list[str], env: dict) -> tuple[float, subprocess.CompletedProcess]:
    start = time.perf_counter()
    result = subprocess.run(argv, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"quorvan mark failed ({result.returncode}): {result.stderr[-2000:] or result.stdout}")
    return time.perf_counter() - start, result


def run(workdir: Path, quick: bool = False) -> Section:
    import sys

    sys.path.insert(0, str(ROOT))
    from tests.support.standin import StandIn

    sheets_n, questions_n = (10, 4) if quick else (30, 8)
    paper = write_paper(workdir / "paper.json", questions_n)
    sheets = write_class(workdir / "sheets", sheets_n, questions_n)
    with StandIn(delay=DELAY, keep_alive=True) as standin:
        standin.batch_seconds = BATCH_SECONDS
        env = dict(os.environ, OPENAI_BASE_URL=standin.base_url, OPENAI_API_KEY="sk-bench", QUORVAN_BATCH_POLL=POLL)
        common = ["mark", "--paper", str(paper), str(sheets), "--format", "json", "--requests-per-minute", "1000000"]
        online_seconds, online = _mark([str(QUORVAN), *common, "-o", str(workdir / "online")], env)
        online_requests = len(standin.requests)
        standin.reset()
        batch_seconds, batch = _mark([str(QUORVAN), *common, "-o", str(workdir / "batch"), "--batch", "--wait"], env)
        batch_requests, batch_lines, batches = len(standin.requests), len(standin.batch_lines), len(standin.batches)

    online_cost, batch_cost = _cost(online.stdout), _cost(batch.stdout)
    online_rows, batch_rows = _rows(workdir / "online"), _rows(workdir / "batch")
    differing = sum(a != b for a, b in zip(online_rows, batch_rows)) + abs(len(online_rows) - len(batch_rows))
    polls = batch.stdout.count("requests done (")

    table = Table(["path", "chat-completion requests", "batch lines (batches)", "cost $", "whole command s"],
                  title=f"{sheets_n} sheets × {questions_n} questions")
    table.rows = [
        ["online (`quorvan mark`)", online_requests, "", f"{online_cost:.6f}", f"{online_seconds:.2f}"],
        ["batch (`quorvan mark --batch --wait`)", batch_requests, f"{batch_lines} ({batches})", f"{batch_cost:.6f}",
         f"{batch_seconds:.2f}"],
    ]
    return Section(
        title=TITLE,
        method=(f"A synthetic class ({sheets_n} text PDFs, {questions_n} questions each) marked twice against the "
                f"model stand-in (run in the benchmark's process, each `quorvan mark` in its own): online, every "
                f"call answered after {DELAY * 1000:.0f} ms, and with `--batch --wait`, the stand-in taking "
                f"{BATCH_SECONDS:g} s over each batch and the command polling with `QUORVAN_BATCH_POLL={POLL}`. "
                f"The cost is the command's closing cost line (batch prices: half the online prices); the "
                f"results are the class files, compared row by row. A real batch takes minutes to hours, so the "
                f"batch path's wall time here says only what the command adds around the batches."),
        tables=[table],
        goals=[Goal("batch cost / online cost", batch_cost / online_cost, "<=", 0.5, unit=""),
               Goal("class-file rows differing from the online run", float(differing), "<=", 0, unit="")],
        notes=[f"The batch run polled {polls} times with progress shown and sent {batches} batches "
               f"(parses, then marking).",
               f"{batch_lines} distinct requests of the {online_requests} the online run sent: sheets with the same "
               f"text make the same requests, and a request is one batch line; every answer is still counted, and "
               f"costed, as a call of its own.",
               f"Wall time: {batch_seconds:.2f} s with batches against {online_seconds:.2f} s online; "
               f"{batches} × {BATCH_SECONDS:g} s of it is the stand-in's batch time; the rest is a pass per stage "
               f"and the polls (each sheet is read once, by the pass that submits its parse)."],
    )
