"""Memory while marking many sheets in one process: the resident set must not grow sheet by sheet."""

from __future__ import annotations

import json
import resource
import subprocess
import sys
import textwrap
from pathlib import Path

from bench.class_run import QUORVAN, standin_process, write_class, write_paper
from bench.common import Goal, Section, Table

TITLE = "Memory over a long run"

# Sheet after sheet through the facade, the resident set read after each one.
LOOP = textwrap.dedent("""
    import contextlib, gc, io, json, sys
    from pathlib import Path
    from quorvan_core.quorvan import Quorvan, QurovanConfig

    def kib(field):
        for line in open("/proc/self/status"):
            if line.startswith(field + ":"):
                return int(line.split()[1])

    paper, sheets = Path(sys.argv[1]), sorted(Path(sys.argv[2]).glob("*.pdf"))
    rss = []
    with contextlib.redirect_stdout(io.StringIO()) as sink:
        q = Quorvan()
        q.configure(QurovanConfig(extractor_type="local", token_log_file=sys.argv[3], enable_llm_token_logging=True))
        q.llm_service.requests_per_minute = 10**9
        q.change_question_paper(q.question_paper_from_json(paper.read_text()))
        for sheet in sheets:
            q.process_answersheet(str(sheet))
            sink.seek(0)
            sink.truncate()
            gc.collect()
            rss.append(kib("VmRSS"))
    print(json.dumps({"rss_kib": rss, "peak_kib": kib("VmHWM")}))
""")


def run(workdir: Path, quick: bool = False) -> Section:
    sheets_n, questions_n = (30, 4) if quick else (100, 8)
    paper = write_paper(workdir / "paper.json", questions_n)
    sheets = write_class(workdir / "sheets", sheets_n, questions_n)
    with standin_process(0.0) as env:
        loop = subprocess.run([sys.executable, "-c", LOOP, str(paper), str(sheets), str(workdir / "usage.log")],
                              env=env, cwd=workdir, capture_output=True, text=True)
        if loop.returncode != 0:
            raise RuntimeError(f"the marking loop failed: {loop.stderr}")
        data = json.loads(loop.stdout.strip().splitlines()[-1])
        # The command marks every sheet at once: its peak, not its growth, is what there is to see.
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        mark = subprocess.run([str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(workdir / "out"),
                               "--requests-per-minute", "1000000", "--format", "json"], env=env, cwd=workdir,
                              capture_output=True, text=True)
        if mark.returncode != 0:
            raise RuntimeError(f"quorvan mark failed: {mark.stderr or mark.stdout}")
        command_peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss

    rss = data["rss_kib"]
    at10, last = rss[9], rss[-1]
    growth_mib = (last - at10) / 1024
    table = Table(["measure", "MiB"], title=f"{sheets_n} sheets × {questions_n} questions, one process")
    table.rows = [
        ["resident after sheet 1", f"{rss[0] / 1024:.1f}"],
        ["resident after sheet 10", f"{at10 / 1024:.1f}"],
        [f"resident after sheet {len(rss) // 2}", f"{rss[len(rss) // 2 - 1] / 1024:.1f}"],
        [f"resident after sheet {len(rss)}", f"{last / 1024:.1f}"],
        ["growth from sheet 10 to the last", f"{growth_mib:+.2f}"],
        ["peak of the sheet-by-sheet run", f"{data['peak_kib'] / 1024:.1f}"],
        ["peak of `quorvan mark` (all sheets at once)",
         f"{command_peak / 1024:.1f}" if command_peak > before else f"≤ {before / 1024:.1f}"],
    ]
    return Section(
        title=TITLE,
        method=(f"{sheets_n} answer sheets marked one after another through the facade in one process against "
                f"the model stand-in (answering at once, in its own process), the resident set read from "
                f"/proc/self/status after each sheet and a garbage collection; the peak of `quorvan mark` marking "
                f"the same class, all sheets at once, read from the child's rusage. A leak would show as growth "
                f"proportional to the sheets marked."),
        tables=[table],
        goals=[Goal("resident growth from sheet 10 to sheet 100", growth_mib, "<=", 5.0, unit=" MiB")],
    )
