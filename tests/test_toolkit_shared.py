"""The binding toolkit is loaded once per process and shared by every extension module."""

import collections.abc
import json
import os
import subprocess
import sys

import pytest

import quorvan_core

CORO_MODULES = ["llm_service", "answersheet_service", "question_paper_service", "cli"]
ALL_MODULES = CORO_MODULES + ["quorvan", "datastructures.question_paper", "datastructures.rubric",
                              "datastructures.answersheet", "ocr_extractor.extractor_client"]

# Imports the modules in the order given and reports what the process holds.
PROBE = """
import importlib, json, sys
mods = [importlib.import_module("quorvan_core." + n) for n in sys.argv[1:]]
types = {id(m.coroutine) for m in mods if hasattr(m, "coroutine")}
coro = next(m.coroutine for m in mods if hasattr(m, "coroutine"))
with open("/proc/self/maps") as f:
    libs = sorted({line.split()[-1] for line in f if line.rstrip().endswith("libquorvan_pyglue.so")})
print(json.dumps({"types": len(types), "module": coro.__module__, "libs": libs}))
"""


def probe(names):
    out = subprocess.run([sys.executable, "-c", PROBE, *names], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@pytest.mark.parametrize("order", [CORO_MODULES, CORO_MODULES[::-1], ALL_MODULES[::-1]],
                         ids=["services-first", "cli-first", "records-first"])
def test_one_coroutine_type_and_one_toolkit_whatever_the_import_order(order):
    seen = probe(order)
    package = os.path.dirname(quorvan_core.__file__)
    assert seen["types"] == 1
    assert seen["module"] == "quorvan_core"
    assert [os.path.dirname(p) for p in seen["libs"]] == [os.path.realpath(package)] or \
        [os.path.dirname(p) for p in seen["libs"]] == [package]


def test_a_coroutine_of_any_module_is_an_instance_of_the_shared_type(api_key):
    import quorvan_core.answersheet_service as ass
    import quorvan_core.llm_service as llm

    service = llm.LLMService()
    coro = service._make_api_call_async("t", [{"role": "user", "content": "x"}], llm.EvaluationResponse)
    try:
        assert type(coro) is llm.coroutine is ass.coroutine
        assert isinstance(coro, collections.abc.Coroutine)
    finally:
        coro.close()
