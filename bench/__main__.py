"""python -m bench [--quick] [--only NAME ...] [--out FILE]: run the benchmarks, write the results."""

from __future__ import annotations

import argparse
import importlib
import sys
import tempfile
import time
import traceback
from datetime import datetime, timezone
from pathlib import Path

from bench import machine, report

# One module per benchmark, each with TITLE and run(workdir, quick) -> Section.
BENCHMARKS = ["startup", "extraction", "ocr", "visibility", "call_overhead", "class_marking", "loop_stall", "rerun", "memory",
              "injection", "handwriting", "board", "batch_path", "ray_reading"]

ROOT = Path(__file__).resolve().parent.parent

# Token pacing against a server that enforces a tokens-per-minute limit.
BENCHMARKS.append("token_pacing")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for trying the benchmarks out")
    parser.add_argument("--only", nargs="+", choices=BENCHMARKS, help="run only these")
    parser.add_argument("--out", default=str(ROOT / "bench" / "RESULTS.md"))
    args = parser.parse_args(argv)

    started = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load_start = machine.load_average()
    t0 = time.perf_counter()
    sections, failures = [], []
    for name in args.only or BENCHMARKS:
        module = importlib.import_module(f"bench.{name}")
        print(f"== {module.TITLE}", flush=True)
        with tempfile.TemporaryDirectory(prefix=f"quorvan-bench-{name}-") as tmp:
            try:
                section = module.run(Path(tmp), quick=args.quick)
            except Exception as e:  # one failing benchmark does not lose the others
                traceback.print_exc()
                failures.append((module.TITLE, f"{type(e).__name__}: {e}"))
                continue
        sections.append(section)
        for g in section.goals:
            print(f"   {'met   ' if g.met else 'MISSED'} {g.label}: {g.value:.3f}{g.unit} ({g.gap})", flush=True)

    command = "bash bench/run.sh" + (" --quick" if args.quick else "")
    text = report.render(sections, machine.describe(str(ROOT)), started, time.perf_counter() - t0,
                         (load_start, machine.load_average()), command, failures)
    Path(args.out).write_text(text, encoding="utf-8")
    print(f"wrote {args.out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
