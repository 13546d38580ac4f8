"""Token pacing against a server that enforces a tokens-per-minute limit: 429s and the share of the limit used."""

from __future__ import annotations

import asyncio
import contextlib
import io
import json
import os
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

from bench.class_run import ROOT
from bench.common import Goal, Section, Table

TITLE = "Token pacing"

DELAY = 0.05        # seconds the stand-in takes to answer
CONCURRENCY = 5     # the command's default bound on requests in flight
LIMIT = 20000       # tokens a window, enforced by the stand-in and given to the pacer
TOPICS = ["photosynthesis", "the heart", "conductors", "boiling water", "magnets", "the water cycle"]


@contextlib.contextmanager
def limited_standin(window: float):
    """The stand-in in its own process, enforcing LIMIT tokens a `window`; yields its base URL."""
    proc = subprocess.Popen([sys.executable, "-m", "tests.support.standin", "--delay", str(DELAY), "--keep-alive",
                             "--tokens-per-minute", str(LIMIT), "--window-seconds", str(window)],
                            cwd=ROOT, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().strip()
        assert line.startswith("STANDIN_URL="), line
        yield line.split("=", 1)[1]
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def counters(base_url: str) -> dict:
    root = base_url.rsplit("/v1", 1)[0]
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # never through an http_proxy
    with direct.open(f"{root}/standin/rejected", timeout=30) as response:
        return json.loads(response.read())


def drive(base_url: str, window: float, windows: int, paced: bool, workdir: Path) -> dict:
    """Evaluation calls of varied sizes from CONCURRENCY workers for `windows` windows; the tokens
    answered by then (the server counts a call when it answers) against what the limit allows."""
    os.environ["OPENAI_BASE_URL"], os.environ["OPENAI_API_KEY"] = base_url, "sk-bench"
    from quorvan_core import llm_service as llm
    from quorvan_core.datastructures.rubric import Criterion, Rubric

    with contextlib.redirect_stdout(io.StringIO()):
        service = llm.LLMService(token_log_file=str(workdir / "usage.log"), max_concurrent_requests=CONCURRENCY,
                                 requests_per_minute=10**9, tokens_per_minute=LIMIT if paced else None)
    service._token_window_seconds = window
    # Unpaced, a 429 is tried again after the server's Retry-After, as `quorvan mark` does by default.
    service.set_retry_policy(4 if not paced else 0)
    rubric = Rubric([Criterion(statement="Explains the idea correctly", mark=3.0),
                     Criterion(statement="Gives a fitting example", mark=1.0)])
    span = window * windows

    async def main():
        counted, failed = [], []
        start = time.monotonic()

        async def worker(w: int):
            tries: list[dict] = []  # this worker's own calls (each gathered task has its own context)
            llm.call_usage.set(tries)
            n = 0
            while time.monotonic() - start < span:
                topic = TOPICS[(w + n) % len(TOPICS)]
                answer = f"{topic.capitalize()} is explained here. " * (5 + (w * 7 + n * 13) % 60)
                before = len(tries)
                try:
                    with contextlib.redirect_stdout(io.StringIO()):
                        await service.evaluateAnswer_async(answer, f"Explain {topic}.", rubric,
                                                           f"A good answer explains {topic} with an example.")
                except Exception as e:  # counted, the run goes on
                    failed.append(type(e).__name__)
                if time.monotonic() - start < span:
                    # What the server counted: the answered tries, not the refused ones.
                    counted.extend(t["input_tokens"] + t["output_tokens"] for t in tries[before:] if t["ok"])
                n += 1

        await asyncio.gather(*(worker(w) for w in range(CONCURRENCY)))
        await service.async_client.close()
        return counted, failed

    counted, failed = asyncio.run(main())
    return {"tokens": sum(counted), "calls": len(counted), "failed": len(failed), "allowed": LIMIT * windows}


def run(workdir: Path, quick: bool = False) -> Section:
    window, windows = (2.0, 3) if quick else (5.0, 6)
    rows, results = [], {}
    for paced in (True, False):
        with limited_standin(window) as url:
            result = drive(url, window, windows, paced, workdir)
            result["rejected"] = counters(url)["rejected"]
        results[paced] = result
        share = result["tokens"] / result["allowed"]
        rows.append(["`tokens_per_minute` = the limit" if paced else "no pacing, 4 retries after Retry-After",
                     result["calls"], f"{result['tokens']:,}", f"{result['allowed']:,}", f"{share:.1%}",
                     result["rejected"], result["failed"]])
    paced = results[True]
    table = Table(["run", "calls answered", "tokens answered", "tokens allowed", "share used", "429s",
                   "failed calls"], rows=rows,
                  title=f"{LIMIT:,} tokens a {window:g} s window, {windows} windows ({window * windows:g} s)")
    return Section(
        title=TITLE,
        method=(f"The model stand-in in its own process enforces {LIMIT:,} tokens (prompt + completion, as its "
                f"usage reports them) in a rolling {window:g} s window and answers after {DELAY * 1000:.0f} ms. "
                f"{CONCURRENCY} workers send evaluation calls of varied sizes (their answers 5 to 64 sentences long) through "
                f"one `LLMService` for {windows} windows, with its token window set to the same length and "
                f"limit. The share used is the tokens of the calls answered within the {windows} windows over "
                f"what the limit allows in them ({windows} × {LIMIT:,}); 429s are the stand-in's own count. For "
                f"contrast the same load without pacing, retrying each 429 after the server's Retry-After."),
        tables=[table],
        goals=[Goal("429s with token pacing", float(paced["rejected"]), "<=", 0.0, unit=""),
               Goal("share of the token limit used with pacing", paced["tokens"] / paced["allowed"], ">=", 0.90,
                    unit="")],
        notes=[f"With pacing, {paced['tokens'] / max(1, paced['calls']):.0f} tokens a call on average.",
               f"Each call reserves its prompt's tiktoken count plus expected_output_tokens (1000) until its "
               f"answer settles it to the server's count."],
    )
