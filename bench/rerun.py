"""What running `quorvan mark` again on a finished class costs."""

from __future__ import annotations

import re
import statistics
import subprocess
import time
from pathlib import Path

from bench.class_run import QUORVAN, standin_process, standin_requests, usage_records, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "Re-running a finished class"

DELAY = 0.1        # seconds the stand-in takes to answer, as in the class marking benchmark
CONCURRENCY = 5
LIMIT_S = 2.0      # a re-run of a marked class should feel like reading the results


def _mark(argv: list[str], env: dict, cwd: Path) -> tuple[float, subprocess.CompletedProcess]:
    start = time.perf_counter()
    result = subprocess.run(argv, env=env, cwd=cwd, capture_output=True, text=True)
    return time.perf_counter() - start, result


def _own_clock(stdout: str) -> float | None:
    found = re.search(r"answer sheets in ([\d.]+) s", stdout)
    return float(found.group(1)) if found else None


def run(workdir: Path, quick: bool = False) -> Section:
    sheets_n, questions_n = (10, 8) if quick else (30, 8)
    rounds = 1 if quick else 3
    paper = write_paper(workdir / "paper.json", questions_n)
    sheets = write_class(workdir / "sheets", sheets_n, questions_n)
    out = workdir / "results"
    argv = [str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(out),
            "--max-concurrent", str(CONCURRENCY), "--requests-per-minute", "1000000", "--format", "json"]

    with standin_process(DELAY) as env:
        first_seconds, first = _mark(argv, env, workdir)
        if first.returncode != 0:
            raise RuntimeError(f"quorvan mark failed ({first.returncode}): {first.stderr or first.stdout}")
        first_requests = standin_requests(env)
        usage_before, _ = usage_records(out / "usage.log")

        reruns = []
        for _ in range(rounds):
            before = standin_requests(env)
            seconds, again = _mark(argv, env, workdir)
            if again.returncode != 0:
                raise RuntimeError(f"the re-run failed ({again.returncode}): {again.stderr or again.stdout}")
            kept = re.search(r"(\d+) answer sheets: (\d+) new, (\d+) kept", again.stdout)
            reruns.append({"seconds": seconds, "own": _own_clock(again.stdout),
                           "requests": standin_requests(env) - before, "kept": int(kept.group(3)) if kept else 0})
        usage_after, _ = usage_records(out / "usage.log")

        start_up_seconds, help_run = _mark([str(QUORVAN), "mark", "--help"], env, workdir)
        if help_run.returncode != 0:
            raise RuntimeError(f"quorvan mark --help failed: {help_run.stderr}")

    wall = statistics.median(r["seconds"] for r in reruns)
    requests = sum(r["requests"] for r in reruns)
    table = Table(["run", "model requests received", "sheets kept", "whole command s", "command's own clock s"],
                  title=f"{sheets_n} sheets × {questions_n} questions")
    table.rows = [["first run (marks the class)", first_requests, 0, f"{first_seconds:.2f}",
                   f"{_own_clock(first.stdout):.1f}" if _own_clock(first.stdout) is not None else "not printed"]]
    for i, r in enumerate(reruns, 1):
        table.rows.append([f"re-run {i}", r["requests"], f"{r['kept']} of {sheets_n}", f"{r['seconds']:.2f}",
                           f"{r['own']:.1f}" if r["own"] is not None else "not printed"])
    table.rows.append(["`quorvan mark --help` (start-up and imports only)", 0, "", f"{start_up_seconds:.2f}", ""])

    return Section(
        title=TITLE,
        method=(f"A synthetic class ({sheets_n} text PDFs, {questions_n} questions each) marked once by "
                f"`quorvan mark` against the model stand-in in its own process (answering after "
                f"{DELAY * 1000:.0f} ms, bound {CONCURRENCY}), then the same command run again on the same "
                f"folder {rounds} time{'s' if rounds > 1 else ''}, each as its own process. The model requests "
                f"of a run are the stand-in's own count of the requests it received (`GET /standin/requests`) "
                f"before and after the run; the whole-command time includes Python's start-up and imports "
                f"(the `--help` row shows that part alone); the command's own clock runs from the first sheet "
                f"started to the last one finished and is printed to 0.1 s."),
        tables=[table],
        goals=[Goal("model requests in a re-run of a marked class", float(requests), "<=", 0, unit=""),
               Goal("re-run wall time, whole command (median)", wall, "<=", LIMIT_S, unit=" s")],
        notes=[f"The usage log gained {usage_after - usage_before} call records over the re-runs.",
               f"A re-run took {wall / first_seconds * 100:.0f}% of the first run's time "
               f"({wall:.2f} s against {first_seconds:.2f} s)."],
    )
