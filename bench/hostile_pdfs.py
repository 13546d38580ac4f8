"""Hostile PDFs read within the default limits: time and peak memory of the reading process for the Form
XObject bomb at several depths and a PDF of 20,000 text pages, and what reading an ordinary sheet in a process
of its own costs against reading it in process.

    .venv/bin/python bench/hostile_pdfs.py [--depths 10 14 18 20 24] [--repeat 10]

Prints a Markdown section for bench/RESULTS.md. Each hostile case runs in a fresh Python process, so the
peak memory reported (RUSAGE_CHILDREN of that process) is the reading process's alone.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.support.heavy_pdfs import write_many_text_pages, write_xobject_bomb  # noqa: E402
from tests.support.pdfs import write_text_pdf  # noqa: E402

ONE_READ = r"""
import json, resource, sys, time
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, ReadLimits
client = ExtractorClient("local")
started = time.perf_counter()
try:
    reading = client.read_pdf(sys.argv[1], check_visibility=False, limits=ReadLimits())
    outcome = f"read: {sum(len(t) for t in reading.texts.values()):,} characters"
except Exception as e:
    outcome = str(e).replace(sys.argv[1], "FILE")
seconds = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
print(json.dumps({"seconds": seconds, "peak_mb": peak, "outcome": outcome}))
"""


def read_in_fresh_process(pdf: Path) -> dict:
    out = subprocess.run([sys.executable, "-c", ONE_READ, str(pdf)], capture_output=True, text=True, timeout=900,
                         check=True)
    return json.loads(out.stdout)


def overhead(folder: Path, repeat: int) -> tuple[float, float]:
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, ReadLimits

    sheet = write_text_pdf(folder / "ordinary.pdf", [
        "Q1. Photosynthesis uses light, water and carbon dioxide to make glucose; oxygen is released.",
        "Q2. The heart has four chambers; the right side pumps blood to the lungs and the left side to the body.",
    ])
    client = ExtractorClient("local")
    limits = ReadLimits()

    def timed(**kwargs) -> float:
        times = []
        for _ in range(repeat):
            started = time.perf_counter()
            client.read_pdf(str(sheet), check_visibility=False, **kwargs)
            times.append((time.perf_counter() - started) * 1000)
        return statistics.median(times)

    timed(), timed(limits=limits)  # warm caches and the OCR data alike
    return timed(), timed(limits=limits)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[10, 14, 18, 20, 24])
    parser.add_argument("--repeat", type=int, default=10)
    args = parser.parse_args()

    lines = ["## Hostile PDFs within the reading limits", "",
             "Each PDF read by `ExtractorClient.read_pdf(..., limits=ReadLimits())` with the defaults of "
             "`quorvan mark` (300 pages, 1,000,000 characters, 120 s, 2048 MB), in a `quorvan-read` process; "
             "peak memory is that process's (`RUSAGE_CHILDREN`). `bench/hostile_pdfs.py`.", "",
             "| PDF | file size | time (s) | peak memory (MB) | outcome |", "|---|---|---|---|---|"]
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        cases = [(f"Form XObject bomb, depth {d}", write_xobject_bomb(folder / f"bomb{d}.pdf", d))
                 for d in args.depths]
        cases.append(("20,000 text pages", write_many_text_pages(folder / "pages.pdf", 20000)))
        for name, pdf in cases:
            r = read_in_fresh_process(pdf)
            lines.append(f"| {name} | {pdf.stat().st_size / 1024:,.1f} KB | {r['seconds']:.2f} | "
                         f"{r['peak_mb']:,.0f} | {r['outcome']} |")
            print(lines[-1], file=sys.stderr, flush=True)
        inside, isolated = overhead(folder, args.repeat)
    lines += ["", f"An ordinary 2-page text sheet (median of {args.repeat}): {inside:.1f} ms in process, "
                  f"{isolated:.1f} ms in a process of its own: {isolated - inside:.1f} ms more per sheet."]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
