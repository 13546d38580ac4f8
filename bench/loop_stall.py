"""How long `quorvan mark` keeps its event loop from running anything else."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path

from bench.class_run import ROOT, standin_process, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "Event-loop stalls while a class is marked"

DELAY = 0.1        # seconds the stand-in takes to answer
CONCURRENCY = 5    # the command's default bound on requests in flight
LIMIT_MS = 20.0    # a longer callback holds up every other sheet's calls and the Ctrl-C handler
SHOWN = 3          # longest callbacks described
PROFILED_OVER_MS = 5.0  # callbacks whose profiles are added up in the profiled run
FUNCTIONS = 12     # functions shown from those profiles

# `quorvan mark` in this process, every callback the loop runs timed. The loop
# runs each ready callback through Handle._run (task steps, future callbacks,
# timers, call_soon_threadsafe from the PDF workers), so timing it times all of
# them. The description of a callback is taken before it runs, while a task's
# coroutine still says where it stands.
IN_PROCESS = textwrap.dedent("""
    import asyncio, asyncio.events, contextlib, gc, heapq, io, itertools, json, re, sys
    from time import perf_counter

    SHOWN = int(sys.argv[1])
    durations, kinds, longest, order = [], {}, [], itertools.count()
    original = asyncio.events.Handle._run

    # Garbage collections, to tell a pause of the collector from the library's own work.
    gc_state = {"start": 0.0, "in_callback": 0.0, "total": 0.0, "longest": 0.0, "count": 0}

    def on_gc(phase, info):
        if phase == "start":
            gc_state["start"] = perf_counter()
        else:
            pause = perf_counter() - gc_state["start"]
            gc_state["in_callback"] += pause
            gc_state["total"] += pause
            gc_state["longest"] = max(gc_state["longest"], pause)
            gc_state["count"] += 1

    gc.callbacks.append(on_gc)

    def task_of(callback):
        owner = getattr(callback, "__self__", None)
        return owner if isinstance(owner, asyncio.Task) else None

    def name(obj):
        return getattr(obj, "__qualname__", None) or type(obj).__name__

    def innermost(coro):
        # The deepest coroutine in the chain a task awaits: where its next step resumes.
        inner, obj = None, coro
        for _ in range(40):
            awaited = getattr(obj, "cr_await", None) or getattr(obj, "gi_yieldfrom", None)
            if awaited is None or not (hasattr(awaited, "cr_await") or hasattr(awaited, "gi_yieldfrom")):
                break
            inner = obj = awaited
        return inner

    def kind_of(handle):
        callback = handle._callback
        task = task_of(callback)
        if task is not None:
            coro = task.get_coro()
            inner = innermost(coro)
            return "task step: " + name(coro) + (f", resuming in {name(inner)}" if inner is not None else "")
        return "callback: " + name(callback)

    def timed_run(self):
        kind = kind_of(self)
        gc_state["in_callback"] = 0.0
        start = perf_counter()
        try:
            return original(self)
        finally:
            seconds = perf_counter() - start
            durations.append(seconds)
            k = kinds.setdefault(kind, [0, 0.0, 0.0])
            k[0] += 1
            k[1] += seconds
            k[2] = max(k[2], seconds)
            if len(longest) < SHOWN or seconds > longest[0][0]:
                text = repr(self)
                task = task_of(self._callback)
                if task is not None:
                    inner = innermost(task.get_coro())
                    text += f" of task {task.get_name()}, then waiting in {name(inner) if inner is not None else 'nothing'}"
                entry = (seconds, next(order), gc_state["in_callback"], kind, text[:240])
                (heapq.heappush if len(longest) < SHOWN else heapq.heapreplace)(longest, entry)

    asyncio.events.Handle._run = timed_run
    from quorvan_core import cli

    terminal = io.StringIO()
    with contextlib.redirect_stdout(terminal):
        status = cli.main(sys.argv[2:])
    found = re.search(r"answer sheets in ([\\d.]+) s", terminal.getvalue())
    print(json.dumps({
        "status": status,
        "marking": float(found.group(1)) if found else None,
        "durations": durations,
        "kinds": kinds,
        "longest": [[s, g, k, t] for s, _, g, k, t in sorted(longest, reverse=True)],
        "gc": gc_state,
        "output": terminal.getvalue()[-2000:],
    }))
""")

# The same command once more, each callback under cProfile; the profiles of the
# slow ones are added up, to show which functions their time goes to. A separate
# run, as the profiler slows every call down. The C++ code's own time shows as
# that of the builtin that entered it (a task step's Context.run, for one).
PROFILED = textwrap.dedent("""
    import asyncio, asyncio.events, contextlib, cProfile, io, json, pstats, re, sys
    from time import perf_counter

    threshold, shown = float(sys.argv[1]), int(sys.argv[2])
    slow = {"stats": None, "count": 0, "seconds": 0.0}
    original = asyncio.events.Handle._run

    def profiled_run(self):
        profile = cProfile.Profile()
        start = perf_counter()
        profile.enable()
        try:
            return original(self)
        finally:
            profile.disable()
            seconds = perf_counter() - start
            if seconds > threshold:
                slow["count"] += 1
                slow["seconds"] += seconds
                if slow["stats"] is None:
                    slow["stats"] = pstats.Stats(profile)
                else:
                    slow["stats"].add(profile)

    def where(file, line, function):
        if file == "~":
            return function
        for cut in ("site-packages/", "/lib/python3."):
            if cut in file:
                file = file.split(cut, 1)[1]
                if cut != "site-packages/":
                    file = file.split("/", 1)[1]
                break
        return f"{file}:{line} {function}"

    asyncio.events.Handle._run = profiled_run
    from quorvan_core import cli

    with contextlib.redirect_stdout(io.StringIO()):
        status = cli.main(sys.argv[3:])
    rows = []
    if slow["stats"] is not None:
        ranked = sorted(slow["stats"].stats.items(), key=lambda kv: kv[1][2], reverse=True)
        rows = [[where(*key), calls, own, cumulative] for key, (_, calls, own, cumulative, _) in ranked[:shown]]
    print(json.dumps({"status": status, "count": slow["count"], "seconds": slow["seconds"], "functions": rows}))
""")


def percentile(values: list[float], share: float) -> float:
    """The value below which ``share`` of the values lie (nearest rank)."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * share // 1))
    return ordered[int(rank) - 1]


def _mark_in_process(script: str, script_args: list[str], argv: list[str], env: dict, cwd: Path) -> dict:
    result = subprocess.run([sys.executable, "-c", script, *script_args, *argv], env=env, cwd=cwd,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"in-process marking failed ({result.returncode}): {result.stderr[-2000:]}")
    data = json.loads(result.stdout.strip().splitlines()[-1])
    if data["status"] != 0:
        raise RuntimeError(f"quorvan mark returned {data['status']}: {data.get('output', result.stderr[-2000:])}")
    return data


def run(workdir: Path, quick: bool = False) -> Section:
    sheets_n, questions_n = (10, 8) if quick else (30, 8)
    paper = write_paper(workdir / "paper.json", questions_n)
    sheets = write_class(workdir / "sheets", sheets_n, questions_n)

    def argv(out: str) -> list[str]:
        return ["mark", "--paper", str(paper), str(sheets), "-o", str(workdir / out), "--max-concurrent",
                str(CONCURRENCY), "--requests-per-minute", "1000000", "--format", "json"]

    with standin_process(DELAY) as env:
        data = _mark_in_process(IN_PROCESS, [str(SHOWN)], argv("results"), env, workdir)
        profiled = _mark_in_process(PROFILED, [str(PROFILED_OVER_MS / 1000), str(FUNCTIONS)],
                                    argv("results-profiled"), env, workdir)
    durations = data["durations"]
    steps = sum(count for kind, (count, _, _) in data["kinds"].items() if kind.startswith("task step: "))
    if steps == 0:
        raise RuntimeError("no task step went through Handle._run: the timing missed the coroutines")

    ms = [d * 1000 for d in durations]
    longest_ms = max(ms)
    busy = sum(durations)
    marking = data["marking"]
    gc = data["gc"]
    summary = Table(["measure", "value"], title=f"{sheets_n} sheets × {questions_n} questions, {len(ms):,} callbacks")
    summary.rows = [
        ["longest callback", f"{longest_ms:.2f} ms"],
        ["99th percentile", f"{percentile(ms, 0.99):.3f} ms"],
        ["median", f"{percentile(ms, 0.5):.3f} ms"],
        [f"callbacks over {LIMIT_MS:g} ms", sum(1 for m in ms if m > LIMIT_MS)],
        ["callbacks over 5 ms", sum(1 for m in ms if m > 5)],
        ["callbacks over 1 ms", sum(1 for m in ms if m > 1)],
        ["time in callbacks", f"{busy:.2f} s"],
        ["marking (the command's own clock)", f"{marking:.1f} s" if marking is not None else "not printed"],
    ]
    if marking:
        summary.rows.append(["share of the marking time the loop was busy", f"{busy / marking * 100:.0f}%"])
    summary.rows.append(["garbage collections in the whole process (count, total, longest)",
                         f"{gc['count']:,}, {gc['total'] * 1000:.1f} ms, {gc['longest'] * 1000:.2f} ms"])

    worst = Table(["#", "ms", "of it in GC, ms", "kind", "callback (repr, cut to 240 characters)"],
                  title="The longest callbacks")
    worst.rows = [[i + 1, f"{s * 1000:.2f}", f"{g * 1000:.2f}", kind, text]
                  for i, (s, g, kind, text) in enumerate(data["longest"])]

    kinds = sorted(data["kinds"].items(), key=lambda kv: kv[1][1], reverse=True)
    by_kind = Table(["kind", "count", "total ms", "mean ms", "longest ms"],
                    title="Where the loop's time went, by kind of callback (the 10 largest totals)")
    by_kind.rows = [[kind, f"{count:,}", f"{total * 1000:,.1f}", f"{total / count * 1000:.3f}",
                     f"{most * 1000:.2f}"] for kind, (count, total, most) in kinds[:10]]

    functions = Table(["function", "calls", "own ms", "cumulative ms"],
                      title=(f"Inside the callbacks over {PROFILED_OVER_MS:g} ms of the profiled run "
                             f"({profiled['count']:,} of them, {profiled['seconds'] * 1000:,.0f} ms under the "
                             f"profiler), the {FUNCTIONS} functions with the most own time"))
    functions.rows = [[f, f"{calls:,}", f"{own * 1000:,.1f}", f"{cumulative * 1000:,.1f}"]
                      for f, calls, own, cumulative in profiled["functions"]]

    return Section(
        title=TITLE,
        method=(f"`quorvan mark` run in a fresh process through `quorvan_core.cli.main` on a synthetic class "
                f"({sheets_n} text PDFs, {questions_n} questions each), against the model stand-in in its own "
                f"process answering every request after {DELAY * 1000:.0f} ms; bound {CONCURRENCY} requests in "
                f"flight, the per-minute limit set too high to bind. Before the command starts, "
                f"`asyncio.events.Handle._run` is wrapped with `time.perf_counter` around the original, so every "
                f"callback the event loop runs is timed: the steps of the tasks (the library's C++ coroutines "
                f"run as task steps too: {steps:,} of them were timed), future callbacks, timers and the "
                f"worker threads' wake-ups. While a callback runs no other sheet's call starts or finishes and "
                f"Ctrl-C waits. A task step is named after the task's coroutine and the innermost coroutine it "
                f"resumes in; all it runs before its next suspension (openai, httpx, the results store, the "
                f"reports) counts to it. Garbage collections are timed through `gc.callbacks`. A second run of "
                f"the same command, on a fresh output folder, profiles every callback with cProfile and adds up "
                f"the profiles of those over {PROFILED_OVER_MS:g} ms (the profiler slows every call, so that "
                f"run's times are only for comparing the functions with one another)."),
        tables=[summary, worst, by_kind, functions],
        goals=[Goal("longest event-loop stall while a class is marked", longest_ms, "<=", LIMIT_MS, unit=" ms")],
        notes=[f"{len(ms):,} callbacks timed, {steps:,} of them task steps."],
    )
