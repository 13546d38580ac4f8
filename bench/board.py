"""Sizing an exam-board job: the measured figures of one script, and what they make of 100,000."""

from __future__ import annotations

import json
import os
import subprocess
import time
from pathlib import Path

from bench.class_run import QUORVAN, ROOT, TOPICS, write_paper
from bench.common import Section, Table, fmt

TITLE = "Sizing an exam-board job"

SCRIPTS = 100_000
PAGES = 10       # pages of one script, one answer a page
QUESTIONS = 10

# The account's limits for the model (requests and tokens a minute; input tokens a
# batch queue may hold). Read them from the account's limits page: these are the
# published tiers for a small model at the time of writing.
TIERS = {
    "tier 1": {"rpm": 500, "tpm": 500_000, "queue": 5_000_000},
    "tier 4": {"rpm": 10_000, "tpm": 10_000_000, "queue": 1_000_000_000},
}
PACING = 0.9          # share of the token limit the pacer is meant to use at least
BATCH_TURNAROUND_H = 2.0  # hours a batch is assumed to take (the service promises at most 24)
MACHINES = (1, 10, 50)
RAY_SHARE = 0.85      # what a worker keeps of its reading speed under Ray (the goal's worst case)

WORDS = ("the plant takes in carbon dioxide through small pores and water through its roots and uses the energy "
         "of light to join them into sugar while oxygen leaves the leaf as a waste product which animals breathe "
         "in and so the two depend on each other every day of the year").split()


def _answer(n: int, words: int = 180) -> str:
    """One page of a script: an answer of about as many words as a handwritten page holds."""
    body = [WORDS[(n * 7 + i) % len(WORDS)] for i in range(words)]
    lines = [" ".join(body[i:i + 12]) for i in range(0, len(body), 12)]
    return f"Q{n}. {TOPICS[(n - 1) % len(TOPICS)].capitalize()}:\n" + "\n".join(lines)


def _tokens(encoding, text: str) -> int:
    return len(encoding.encode(text))


def _measure_calls(workdir: Path) -> dict[str, dict[str, float]]:
    """Tokens in and out of each kind of call for one script, through the command and the stand-in."""
    import tiktoken

    from quorvan_core.llm_service import LLMService
    from tests.support.pdfs import write_text_pdf
    from tests.support.standin import _BUILT_IN, StandIn

    saved = os.environ.get("OPENAI_API_KEY")
    os.environ["OPENAI_API_KEY"] = "sk-bench"
    try:
        LLMService(token_log_file=os.devnull)  # points tiktoken at the package's own encoding files
    finally:
        if saved is None:
            del os.environ["OPENAI_API_KEY"]
        else:
            os.environ["OPENAI_API_KEY"] = saved
    encoding = tiktoken.get_encoding("o200k_base")
    paper = write_paper(workdir / "paper.json", QUESTIONS)
    sheet = write_text_pdf(workdir / "script.pdf", [_answer(n) for n in range(1, PAGES + 1)])
    with StandIn() as standin:
        env = dict(os.environ, OPENAI_BASE_URL=standin.base_url, OPENAI_API_KEY="sk-bench")
        done = subprocess.run([str(QUORVAN), "mark", "--paper", str(paper), str(sheet), "-o", str(workdir / "out")],
                              cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise RuntimeError(f"quorvan mark failed: {done.stderr[-2000:]}")
        bodies = standin.requests
    calls: dict[str, dict[str, float]] = {}
    for body in bodies:
        schema = body["response_format"]["json_schema"]["name"]
        kind = {"AnswersheetResponse": "parse", "EvaluationResponse": "mark"}.get(schema, schema)
        # Each message costs its text and a few tokens of framing.
        tokens_in = sum(_tokens(encoding, m.get("content") or "") + 4 for m in body["messages"]) + 3
        tokens_out = _tokens(encoding, json.dumps(_BUILT_IN[schema](body), ensure_ascii=False))
        entry = calls.setdefault(kind, {"calls": 0, "in": 0, "out": 0})
        entry["calls"] += 1
        entry["in"] += tokens_in
        entry["out"] += tokens_out
    return calls


def _reading_rate(workdir: Path, quick: bool) -> float:
    """Pages a second this machine reads from 300-dpi scans, on all its cores."""
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
    from tests.support.pdfs import write_scanned_pdf

    path = write_scanned_pdf(workdir / "scan.pdf", [_answer(n, 120) for n in range(1, PAGES + 1)], dpi=300)
    client = ExtractorClient(extractor_type="local")
    client.set_dpi(300)
    best = float("inf")
    for _ in range(1 if quick else 2):
        start = time.perf_counter()
        client.process_pdf(str(path))
        best = min(best, time.perf_counter() - start)
    return PAGES / best


def _hours(seconds: float) -> str:
    return f"{seconds / 3600:,.1f} h" if seconds >= 3600 else f"{seconds / 60:,.0f} min"


def run(workdir: Path, quick: bool = False) -> Section:
    calls = _measure_calls(workdir)
    # A machine busy with other work reads slower than it can: the rate of a
    # quiet run (the OCR section's) may be given instead, and the text says so.
    given = os.environ.get("BENCH_READING_RATE")
    rate = float(given) if given else _reading_rate(workdir, quick)
    rate_source = (f"given as BENCH_READING_RATE={given} (pages/s of the local extractor at 300 dpi from the OCR "
                   "section of a quiet run)" if given else
                   f"the local extractor on a {PAGES}-page scan at 300 dpi on this machine, all cores")
    in_price = float(os.environ.get("QUORVAN_INPUT_PRICE", 0.15))
    out_price = float(os.environ.get("QUORVAN_OUTPUT_PRICE", 0.60))

    per_call = Table(["call", "calls a script", "tokens in a call", "tokens out a call"],
                     title=f"One script of {PAGES} pages and {QUESTIONS} answers")
    for kind, c in calls.items():
        per_call.rows.append([kind, c["calls"], fmt(c["in"] / c["calls"], 0), fmt(c["out"] / c["calls"], 0)])
    n_calls = sum(c["calls"] for c in calls.values())
    tokens_in = sum(c["in"] for c in calls.values())
    tokens_out = sum(c["out"] for c in calls.values())
    parse_in = calls.get("parse", {"in": 0})["in"]
    per_call.rows.append(["a script", n_calls, fmt(tokens_in, 0), fmt(tokens_out, 0)])

    pages = SCRIPTS * PAGES
    all_calls = SCRIPTS * n_calls
    all_in, all_out = SCRIPTS * tokens_in, SCRIPTS * tokens_out
    cost_online = (all_in * in_price + all_out * out_price) / 1e6
    reading = {m: pages / (rate * m * (1.0 if m == 1 else RAY_SHARE)) for m in MACHINES}

    estimate = Table(["limits", "model time online", "cost online", "model time, Batch API", "cost, Batch API"],
                     title=f"{SCRIPTS:,} scripts of {PAGES} pages: the model's part")
    for tier, lim in TIERS.items():
        by_tokens = (all_in + all_out) / (lim["tpm"] * PACING) * 60
        by_requests = all_calls / lim["rpm"] * 60
        online = max(by_tokens, by_requests)
        # Two stages; each queue-full of input tokens is one round of batches.
        rounds = -(-SCRIPTS * parse_in // lim["queue"]) + -(-SCRIPTS * (tokens_in - parse_in) // lim["queue"])
        batch = rounds * BATCH_TURNAROUND_H * 3600
        estimate.rows.append([f"{tier}: {lim['rpm']:,} requests, {lim['tpm']:,} tokens a minute, "
                              f"{lim['queue']:,} queued", _hours(online) + (" (tokens bind)" if by_tokens >= by_requests
                                                                         else " (requests bind)"),
                              f"${cost_online:,.0f}", f"{_hours(batch)} ({rounds} rounds of batches)",
                              f"${cost_online / 2:,.0f}"])
    reading_table = Table(["machines reading", "reading time", "online, tier 1", "online, tier 4"],
                          title=f"{pages:,} pages read from 300-dpi scans at {rate:.2f} pages/s a machine")
    for m in MACHINES:
        row = [m, _hours(reading[m])]
        for lim in TIERS.values():
            model = max((all_in + all_out) / (lim["tpm"] * PACING) * 60, all_calls / lim["rpm"] * 60)
            row.append(_hours(max(reading[m], model)))
        reading_table.rows.append(row)

    return Section(
        title=TITLE,
        method=(f"One script of {PAGES} text pages (an answer of 180 words a page, about what a handwritten page "
                f"holds) to a paper of {QUESTIONS} questions, marked by `quorvan mark` against the model stand-in; "
                "every request it sent is counted with tiktoken's o200k_base, and what the model answers is the "
                "stand-in's answer counted the same way. The reading speed is " + rate_source + ". The estimate scales "
                f"these to "
                f"{SCRIPTS:,} scripts at the default prices (${in_price:g} in, ${out_price:g} out per million "
                f"tokens; the Batch API half), pacing at {PACING:.0%} of the token limit, batches assumed to take "
                f"{BATCH_TURNAROUND_H:g} h, and Ray workers keeping {RAY_SHARE:.0%} of a machine's reading speed."),
        tables=[per_call, estimate, reading_table],
        notes=["Online, the command reads and marks at once, so its time is the longer of the reading and the "
               "model's part; with the Batch API the stages follow one another: reading, then the parse batches, "
               "then the marking batches.",
               "A reasoning model also bills its reasoning as output tokens, which the stand-in does not show: "
               "take the output figures of a first real run from results/usage.log and scale the cost by them.",
               "The limits are the account's for the model used: the estimate is only as good as the figures "
               "typed into TIERS."],
    )
