"""What running `quorvan mark` again on a finished class costs."""

from __future__ import annotations

import json
import re
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from bench.class_run import QUORVAN, standin_process, standin_requests, usage_records, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "Re-running a finished class"

DELAY = 0.1        # seconds the stand-in takes to answer, as in the class marking benchmark
CONCURRENCY = 5
LIMIT_S = 1.0      # a re-run of a marked class should feel like reading the results
CALLEES = 8        # functions shown from the profiled re-run

# The same re-run in one process, to split its time: importing the command,
# then `cli.main`; with "profile", the Python functions the C++ command calls
# straight from `main`, by cumulative time under cProfile.
IN_PROCESS = textwrap.dedent("""
    import contextlib, io, json, sys, time
    profile, shown = sys.argv[1] == "profile", int(sys.argv[2])
    if profile:
        import cProfile, pstats
        profiler = cProfile.Profile()
    start = time.perf_counter()
    from quorvan_core import cli
    imported = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        if profile:
            profiler.enable()
        status = cli.main(sys.argv[3:])
        if profile:
            profiler.disable()
    done = time.perf_counter()
    def where(key):
        file, line, function = key
        if file == "~":
            return function
        for cut in ("site-packages/", "/lib/python3."):
            if cut in file:
                file = file.split(cut, 1)[1]
                file = file if cut == "site-packages/" else file.split("/", 1)[1]
                break
        return f"{file}:{line} {function}"

    def called_by(stats, caller):
        # Each function caller called, with the cumulative time of those calls.
        return sorted(((key, value[4][caller][3]) for key, value in stats.items() if caller in value[4]),
                      key=lambda kv: kv[1], reverse=True)

    callees = []
    if profile:
        stats = pstats.Stats(profiler).stats
        main = next(key for key in stats if key[0] == "~" and "cli.main" in key[2])
        for key, cumulative in called_by(stats, main)[:shown]:
            below = called_by(stats, key)
            callees.append([where(key), where(below[0][0]) if below else "", cumulative])
    print(json.dumps({"status": status, "import": imported - start, "main": done - imported, "callees": callees}))
""")


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

        split = {}
        for mode in ("time", "profile"):
            before = standin_requests(env)
            seconds, one = _mark([sys.executable, "-c", IN_PROCESS, mode, str(CALLEES), *argv[1:]], env, workdir)
            if one.returncode != 0:
                raise RuntimeError(f"the in-process re-run failed: {one.stderr[-2000:]}")
            split[mode] = dict(json.loads(one.stdout.strip().splitlines()[-1]), seconds=seconds,
                               requests=standin_requests(env) - before)
            if split[mode]["status"] != 0:
                raise RuntimeError(f"the in-process re-run returned {split[mode]['status']}")

    wall = statistics.median(r["seconds"] for r in reruns)
    requests = sum(r["requests"] for r in reruns) + sum(r["requests"] for r in split.values())
    table = Table(["run", "model requests received", "sheets kept", "whole command s", "command's own clock s"],
                  title=f"{sheets_n} sheets × {questions_n} questions")
    table.rows = [["first run (marks the class)", first_requests, 0, f"{first_seconds:.2f}",
                   f"{_own_clock(first.stdout):.1f}" if _own_clock(first.stdout) is not None else "not printed"]]
    for i, r in enumerate(reruns, 1):
        table.rows.append([f"re-run {i}", r["requests"], f"{r['kept']} of {sheets_n}", f"{r['seconds']:.2f}",
                           f"{r['own']:.1f}" if r["own"] is not None else "not printed"])
    table.rows.append(["`quorvan mark --help` (start-up and imports only)", 0, "", f"{start_up_seconds:.2f}", ""])

    timed = split["time"]
    parts = Table(["part of a re-run (one more, in one process)", "seconds"], title="Where a re-run's time goes")
    parts.rows = [
        ["whole process", f"{timed['seconds']:.2f}"],
        ["Python's start-up and exit (the whole less the two parts below)",
         f"{timed['seconds'] - timed['import'] - timed['main']:.2f}"],
        ["`from quorvan_core import cli`", f"{timed['import']:.2f}"],
        ["`cli.main(argv)`: the command itself", f"{timed['main']:.2f}"],
    ]
    callees = Table(["function", "the largest call it makes", "cumulative s under the profiler"],
                    title=(f"Inside `cli.main` of a profiled re-run ({split['profile']['main']:.2f} s under the "
                           f"profiler): the Python functions it calls, the {CALLEES} largest"))
    callees.rows = [[where, below, f"{cumulative:.3f}"] for where, below, cumulative in split["profile"]["callees"]]

    return Section(
        title=TITLE,
        method=(f"A synthetic class ({sheets_n} text PDFs, {questions_n} questions each) marked once by "
                f"`quorvan mark` against the model stand-in in its own process (answering after "
                f"{DELAY * 1000:.0f} ms, bound {CONCURRENCY}), then the same command run again on the same "
                f"folder {rounds} time{'s' if rounds > 1 else ''}, each as its own process. The model requests "
                f"of a run are the stand-in's own count of the requests it received (`GET /standin/requests`) "
                f"before and after the run; the whole-command time includes Python's start-up and imports "
                f"(the `--help` row shows that part alone); the command's own clock runs from the first sheet "
                f"started to the last one finished and is printed to 0.1 s. Two more re-runs, in a process "
                f"of their own, split the time: one timed with `time.perf_counter` around importing the "
                f"command and around `quorvan_core.cli.main`, one with `cli.main` under cProfile, showing "
                f"the Python functions the C++ command calls directly (their time includes all below them). "
                f"Their model requests count to the goal too."),
        tables=[table, parts, callees],
        goals=[Goal("model requests in a re-run of a marked class", float(requests), "<=", 0, unit=""),
               Goal("re-run wall time, whole command (median)", wall, "<=", LIMIT_S, unit=" s")],
        notes=[f"The usage log gained {usage_after - usage_before} call records over the re-runs.",
               f"A re-run took {wall / first_seconds * 100:.0f}% of the first run's time "
               f"({wall:.2f} s against {first_seconds:.2f} s)."],
    )
