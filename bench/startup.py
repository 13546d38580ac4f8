"""How fast the command starts: help, a usage error, the package's imports and a re-run of a finished class."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

from bench.class_run import QUORVAN, standin_process, write_class, write_paper
from bench.common import Goal, Section, Table, interleaved, median

TITLE = "Command start-up"

OVER_PYTHON_S = 0.15   # help and a usage error, over a bare interpreter
AT_MOST_S = 0.30       # never more than this over it
IMPORT_OVER_S = 0.10   # `import quorvan_core.<module>`, over a bare interpreter
RERUN_S = 1.0          # the whole command, on a finished class of 30
SHEETS, QUESTIONS = 30, 8

# Loaded only when a call or a feature lies ahead.
HEAVY = ("openai", "pydantic", "tiktoken", "ray", "httpx", "httpx2")
MODULES = ["quorvan_core", "quorvan_core.quorvan", "quorvan_core.llm_service", "quorvan_core.question_paper_service",
           "quorvan_core.answersheet_service", "quorvan_core.datastructures.question_paper",
           "quorvan_core.datastructures.rubric", "quorvan_core.datastructures.answersheet",
           "quorvan_core.ocr_extractor.extractor_client", "quorvan_core.cli"]


def _run(argv: list[str], expect: int, cwd: Path, env: dict | None = None) -> subprocess.CompletedProcess:
    done = subprocess.run(argv, capture_output=True, text=True, cwd=cwd, env=env)
    if done.returncode != expect:
        raise RuntimeError(f"{' '.join(argv[:3])}... exited {done.returncode}, not {expect}: {done.stderr[-2000:]}")
    return done


def _loaded(module: str, cwd: Path) -> list[str]:
    code = f"import sys, json, {module}; print(json.dumps(sorted(m for m in {HEAVY!r} if m in sys.modules)))"
    return json.loads(_run([sys.executable, "-c", code], 0, cwd).stdout)


def run(workdir: Path, quick: bool = False) -> Section:
    rounds = 5 if quick else 21
    python = [sys.executable, "-c", "pass"]
    commands = {
        "bare `python -c pass`": (python, 0),
        "`quorvan --help`": ([str(QUORVAN), "--help"], 0),
        "`quorvan mark --help`": ([str(QUORVAN), "mark", "--help"], 0),
        "`quorvan mark` (a usage error)": ([str(QUORVAN), "mark"], 2),
    }
    for module in MODULES:
        commands[f"`import {module}`"] = ([sys.executable, "-c", f"import {module}"], 0)
    times = interleaved({name: (lambda a=argv, e=expect: _run(a, e, workdir)) for name, (argv, expect) in
                         commands.items()}, rounds)
    bare = median(times["bare `python -c pass`"])

    table = Table(["what", "median s", "over bare Python s", "heavy modules loaded"],
                  title=f"{rounds} runs each, taking turns")
    goals = []
    for name in commands:
        m = median(times[name])
        heavy = ""
        if name.startswith("`import "):
            heavy = ", ".join(_loaded(name[len("`import "):-1], workdir)) or "none"
        table.rows.append([name, f"{m:.3f}", "" if name.startswith("bare") else f"{m - bare:.3f}", heavy])
    for name in list(commands)[1:4]:
        over = median(times[name]) - bare
        goals.append(Goal(f"{name} over bare Python", over, "<=", OVER_PYTHON_S, unit=" s"))
        goals.append(Goal(f"{name} over bare Python, slowest run", max(times[name]) - bare, "<=", AT_MOST_S,
                          unit=" s"))
    imports = [name for name in commands if name.startswith("`import ")]
    slowest_import = max(imports, key=lambda n: median(times[n]))
    goals.append(Goal(f"the slowest submodule import over bare Python ({slowest_import})",
                      median(times[slowest_import]) - bare, "<=", IMPORT_OVER_S, unit=" s"))
    heavy_loaded = sum(len(_loaded(module, workdir)) for module in MODULES)
    goals.append(Goal("heavy modules (openai, pydantic, tiktoken, Ray, httpx) loaded by importing the package",
                      float(heavy_loaded), "<=", 0, unit=""))

    # A finished class: marked once, then the same command again, as its own process each time.
    paper = write_paper(workdir / "paper.json", QUESTIONS)
    sheets = write_class(workdir / "sheets", SHEETS, QUESTIONS)
    out = workdir / "results"
    argv = [str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(out)]
    with standin_process(0.0) as env:
        _run(argv, 0, workdir, env)
        reruns = interleaved({"re-run": lambda: _run(argv, 0, workdir, env)}, 3 if quick else 7)["re-run"]
        kept = re.search(r"(\d+) answer sheets: 0 new, (\d+) kept", _run(argv, 0, workdir, env).stdout)
    if not kept or kept.group(2) != str(SHEETS):
        raise RuntimeError("the re-run did not keep every sheet")
    rerun = Table(["run", "median s", "slowest s"], title=f"A finished class of {SHEETS} sheets × {QUESTIONS} questions")
    rerun.rows = [["`quorvan mark` again (every sheet kept)", f"{median(reruns):.3f}", f"{max(reruns):.3f}"]]
    goals.append(Goal(f"re-run of a finished class of {SHEETS}, whole command (median)", median(reruns), "<=",
                      RERUN_S, unit=" s"))

    return Section(
        title=TITLE,
        method=(f"Each command as its own process, {rounds} times, taking turns with a bare `python -c pass` so "
                f"that a load on the machine falls on all alike; the median counts and is compared with the bare "
                f"interpreter's. The imports are timed the same way, and a process of their own tells which of "
                f"{', '.join(HEAVY)} each one leaves loaded. Then a synthetic class ({SHEETS} text PDFs, "
                f"{QUESTIONS} questions) is marked once against the model stand-in in a process of its own and "
                f"`quorvan mark` is run again on the finished folder, each run timed whole (start-up included)."),
        tables=[table, rerun],
        goals=goals,
        notes=[f"Goals: help and a usage error within {OVER_PYTHON_S} s of bare Python (never more than "
               f"{AT_MOST_S} s), every import within {IMPORT_OVER_S} s of it and without loading {', '.join(HEAVY)}, "
               f"a re-run of a finished class of {SHEETS} within {RERUN_S} s."],
    )
