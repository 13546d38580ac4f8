"""What LLMService.evaluateAnswer adds to a raw call of the openai client."""

from __future__ import annotations

import contextlib
import copy
import gc
import statistics
import os
import time
from pathlib import Path

from bench.common import Goal, Section, Table, median

TITLE = "Per-call overhead of the model service"

QUESTION = "Explain how green plants make their food. Name the raw materials, the products and the pigment involved."
REFERENCE = ("Green plants make glucose by photosynthesis: in the chloroplasts, chlorophyll absorbs light energy, "
             "which turns carbon dioxide from the air and water from the soil into glucose, giving off oxygen.")
ANSWER = ("Plants make food in their leaves. The green chlorophyll takes in sunlight and the plant uses carbon "
          "dioxide and water to make glucose. Oxygen is given out through the stomata.")
CRITERIA = [("Names carbon dioxide and water as the raw materials", 1.0),
            ("Names glucose and oxygen as the products", 1.0),
            ("Says that chlorophyll absorbs light energy", 1.0),
            ("Places the process in the chloroplasts of the leaf", 1.0),
            ("Explains the answer clearly in full sentences", 1.0)]


def _per_call(fn, calls: int) -> float:
    gc.collect()
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def run(workdir: Path, quick: bool = False) -> Section:
    from tests.support.standin import StandIn

    from quorvan_core import llm_service as llm
    from quorvan_core.datastructures.rubric import Criterion, Rubric

    pairs = 300 if quick else 2000
    saved = {k: os.environ.get(k) for k in ("OPENAI_BASE_URL", "OPENAI_API_KEY")}
    old_cwd = os.getcwd()
    os.chdir(workdir)  # the service opens its usage log in the working folder
    try:
        with StandIn(delay=0, keep_alive=True) as standin, open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            os.environ["OPENAI_BASE_URL"] = standin.base_url
            os.environ["OPENAI_API_KEY"] = "sk-bench"
            service = llm.LLMService()
            rubric = Rubric([Criterion(statement=s, mark=m) for s, m in CRITERIA])

            def library():
                return service.evaluateAnswer(ANSWER, QUESTION, rubric, REFERENCE)

            # The raw call sends exactly what the library sent, through the same client.
            library()
            messages = standin.requests[-1]["messages"]
            parse = service.client.beta.chat.completions.parse
            model = service.model

            def raw():
                return parse(model=model, messages=messages, response_format=llm.EvaluationResponse)

            for _ in range(20):  # connections open, caches warm
                raw()
                library()
            # Calls alternate one by one, so a load on the machine falls on both alike;
            # the median call of each kind is compared.
            per_call = {"raw": [], "library": []}
            clock = time.perf_counter
            gc.collect()
            for i in range(pairs):
                for name in (("raw", "library") if i % 2 == 0 else ("library", "raw")):
                    fn = raw if name == "raw" else library
                    start = clock()
                    fn()
                    per_call[name].append(clock() - start)

            # The library's own time in a call: everything outside the client's parse.
            inside = []

            class _Timed:
                def __init__(self, **attrs):
                    self.__dict__.update(attrs)

            def timed_parse(**kwargs):
                start = clock()
                try:
                    return parse(**kwargs)
                finally:
                    inside.append(clock() - start)

            real_client = service.client
            service.client = _Timed(beta=_Timed(chat=_Timed(completions=_Timed(parse=timed_parse))))
            own = []
            for _ in range(pairs // 4):
                start = clock()
                library()
                own.append(clock() - start - inside[-1])
            service.client = real_client

            # The pieces the library adds, each timed alone.
            pieces = {
                "count the prompt's tokens (tiktoken; only for a failed call or an answer without usage)":
                    lambda: service._count_message_tokens(messages),
                "deep copy of the rubric": lambda: copy.deepcopy(rubric),
                "usage account and console line": lambda: service._log_token_usage(
                    "evaluate_answer", 500, 60, model, "Max marks: 5.0"),
            }
            piece_times = {name: median([_per_call(fn, 2000) for _ in range(3)]) for name, fn in pieces.items()}
            requests = len(standin.requests)
    finally:
        os.chdir(old_cwd)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v

    raw_t, lib_t = median(per_call["raw"]), median(per_call["library"])
    ratio = lib_t / raw_t
    mean_ratio = sum(per_call["library"]) / sum(per_call["raw"])
    table = Table(["call", "median µs / call", "mean µs / call", "calls / s (median)", "÷ raw call (median)"])
    for label, key in (("raw `client.beta.chat.completions.parse`", "raw"), ("`LLMService.evaluateAnswer`", "library")):
        t = median(per_call[key])
        table.rows.append([label, f"{t * 1e6:,.0f}", f"{sum(per_call[key]) / pairs * 1e6:,.0f}", f"{1 / t:,.0f}",
                           f"{t / raw_t:.3f}×"])
    table.rows.append(["`evaluateAnswer`'s own work (its time outside the client call)", f"{median(own) * 1e6:,.0f}",
                       f"{sum(own) / len(own) * 1e6:,.0f}", "", f"{median(own) / raw_t:.3f}× of a raw call"])
    quartiles = Table(["call", "25th percentile µs", "median µs", "75th percentile µs"],
                      title="Spread of the single calls")
    for key in ("raw", "library"):
        q = statistics.quantiles(per_call[key], n=4)
        quartiles.rows.append([key, f"{q[0] * 1e6:,.0f}", f"{q[1] * 1e6:,.0f}", f"{q[2] * 1e6:,.0f}"])
    piece_table = Table(["piece of the library's work", "µs / call", "share of the raw call"],
                        title="Where the added time goes (each piece timed on its own)")
    for name, t in piece_times.items():
        piece_table.rows.append([name, f"{t * 1e6:,.1f}", f"{t / raw_t * 100:.1f}%"])

    return Section(
        title=TITLE,
        method=(
            f"The model stand-in (tests/support/standin.py) in this process, answering at once (delay 0). "
            f"`LLMService().evaluateAnswer` on a five-criterion rubric against the raw call of the same openai "
            f"client with the messages the library sent and its `EvaluationResponse` model; {pairs} calls of each, "
            f"alternating one by one after 20 warm-up calls; the medians are compared. The library's console lines go to "
            f"{os.devnull}; token logging to file is off (the default). {requests} requests were served."
        ),
        tables=[table, quartiles, piece_table],
        notes=[f"Ratio of the mean times: {mean_ratio:.3f}× (slow outliers from other work on the machine weigh on it).",
               "Counting the prompt's tokens with tiktoken was the largest piece (about 0.3 ms in a 4 ms call: "
               "1.10× before, measured with this benchmark). The server's usage replaces that count, so it is now "
               "made only when it is used (a failed call, an answer without usage), wherever that cannot be seen: "
               "subclasses, patches and other encodings are still counted before the call "
               "(tests/test_llm_service_counting.py)."],
        goals=[Goal("evaluateAnswer at most 1.10× the raw call", ratio, "<=", 1.10)],
    )
