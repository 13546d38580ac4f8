"""What the command and the package load before they need it: help, usage errors, every import and a re-run
of a finished class load no model client; a collaborator is imported when it is first looked up, and then
behaves as a Python module's global does. Also: the command called in process gives what its process gives."""

import json
import os
import re
import subprocess
import sys

import pytest

from tests.support import command
from tests.test_class_run import FULL, sheet_text
from tests.test_fault_tolerance import paper_json
from tests.support.pdfs import write_text_pdf

HEAVY = ["httpx", "httpx2", "openai", "pydantic", "ray", "tiktoken"]
MODULES = ["quorvan_core", "quorvan_core.quorvan", "quorvan_core.llm_service", "quorvan_core.question_paper_service",
           "quorvan_core.answersheet_service", "quorvan_core.datastructures.question_paper",
           "quorvan_core.datastructures.rubric", "quorvan_core.datastructures.answersheet",
           "quorvan_core.ocr_extractor.extractor_client", "quorvan_core.cli"]


def fresh_python(code: str, env=None) -> dict:
    """Runs ``code`` in an interpreter of its own (what it has loaded is the point) and returns the JSON it
    prints last."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env=env if env is not None else dict(os.environ))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


LOADED = f"sorted(m for m in {HEAVY!r} if m in sys.modules)"


def test_importing_every_module_loads_no_model_client_until_one_is_asked_for():
    seen = fresh_python(f"""
import importlib, json, sys
for name in {MODULES!r}:
    importlib.import_module(name)
before = {LOADED}
import quorvan_core.llm_service as llm
listed = "OpenAI" in dir(llm) and "RubricResponse" in dir(llm)
after_import = {LOADED}
model = llm.RubricResponse
with_models = {LOADED}
client = llm.OpenAI
import openai, pydantic
print(json.dumps({{"before": before, "listed": listed, "after_import": after_import, "with_models": with_models,
                  "model_module": model.__module__, "is_model": issubclass(model, pydantic.BaseModel),
                  "client": client is openai.OpenAI, "kept": llm.__dict__.get("OpenAI") is client}}))
""")
    assert seen["before"] == seen["after_import"] == []
    assert seen["listed"]
    assert "pydantic" in seen["with_models"] and "openai" not in seen["with_models"]
    assert seen["model_module"] == "quorvan_core.llm_service" and seen["is_model"]
    assert seen["client"] and seen["kept"]


def test_a_collaborator_patched_before_its_first_use_is_the_patch_and_then_the_real_one_again():
    seen = fresh_python("""
import json
from unittest import mock
import quorvan_core.llm_service as llm
with mock.patch("quorvan_core.llm_service.tiktoken") as fake:
    during = llm.tiktoken is fake
import tiktoken
print(json.dumps({"during": during, "after": llm.tiktoken is tiktoken}))
""")
    assert seen == {"during": True, "after": True}


@pytest.mark.parametrize("name", ["no_such_thing", "__wrapped__"])
def test_an_attribute_nobody_bound_is_an_attribute_error(name):
    import quorvan_core.llm_service as llm

    with pytest.raises(AttributeError) as caught:
        getattr(llm, name)
    assert str(caught.value) == f"module 'quorvan_core.llm_service' has no attribute '{name}'"
    assert not hasattr(llm, name)


@pytest.mark.parametrize("argv, status", [(["--help"], 0), (["mark", "--help"], 0), (["mark"], 2),
                                          (["export", "results"], 2)])
def test_help_and_usage_errors_load_no_model_client(argv, status):
    seen = fresh_python(f"""
import contextlib, io, json, sys
from quorvan_core import cli
with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
    try:
        status = cli.main({argv!r})
    except SystemExit as e:
        status = e.code
print(json.dumps({{"status": status, "loaded": {LOADED}}}))
""")
    assert seen == {"status": status, "loaded": []}


RERUN = f"""
import contextlib, io, json, sys
from quorvan_core import cli
out = io.StringIO()
with contextlib.redirect_stdout(out):
    status = cli.main(sys.argv[1:])
print(json.dumps({{"status": status, "out": out.getvalue(), "loaded": {LOADED}}}))
"""


@pytest.mark.parametrize("settings, usage", [
    ({}, "Token usage: 0 tokens (0 in, 0 out), cost $0.000000 at $0.15/$0.60 per million tokens (input/output)\n"
         "Model: gpt-5-mini-2025-08-07 at "),
    ({"QUORVAN_MODEL": "my-model", "QUORVAN_INPUT_PRICE": "0.075", "QUORVAN_OUTPUT_PRICE": "2.5"},
     "Token usage: 0 tokens (0 in, 0 out), cost $0.000000 at $0.075/$2.50 per million tokens (input/output)\n"
     "Model: my-model at "),
])
def test_a_rerun_of_a_finished_class_needs_no_key_and_loads_no_model_client(standin, tmp_path, settings, usage):
    paper = paper_json(tmp_path / "paper.json")
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    for name in ("a", "b"):
        write_text_pdf(sheets / f"{name}.pdf", sheet_text(FULL))
    out = tmp_path / "results"
    first = command.quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert first.returncode == 0, first.stderr
    before = {p.name: p.read_bytes() for p in out.glob("*.json")}
    standin.reset()

    env = {k: v for k, v in os.environ.items() if k != "OPENAI_API_KEY"} | settings
    done = subprocess.run([sys.executable, "-c", RERUN, "mark", "--paper", str(paper), str(sheets), "-o", str(out)], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.strip().splitlines()[-1])
    assert seen["status"] == 0 and seen["loaded"] == []
    assert "2 answer sheets: 0 new, 2 kept, 0 to mark again or continue" in seen["out"]
    assert usage + standin.base_url + "\n" in seen["out"]
    assert standin.requests == []
    assert {p.name: p.read_bytes() for p in out.glob("*.json")} == before
    # Options that contradict each other are refused whatever the folder holds.
    refused = command.quorvan("mark", "--paper", paper, sheets, "-o", out, "--reader", "local", "--extractor", "openai")
    assert refused.returncode == 2
    assert refused.stderr.splitlines()[-1] == ("quorvan mark: error: --reader local sends no page image to the model; "
                                               "it cannot be used with --extractor openai")


def _same_run(text: str) -> str:
    # What differs between two runs of one command: its own clock.
    return re.sub(r" in \d+\.\d s", " in ? s", text)


@pytest.mark.parametrize("argv", [
    ["--help"], ["mark", "--help"], ["mark"], ["mark", "--paper", "missing.json", "x.pdf", "-o", "out"],
    ["schema"], ["check", "paper.json"], ["nonsense"], ["mark", "--paper", "paper.json", "sheets", "-o", "out"],
    ["export", "out", "--to", "csv", "-o", "grades.csv", "--all"],
], ids=["help", "mark-help", "usage-error", "missing-paper", "schema", "check", "unknown-command", "mark", "export"])
def test_the_command_in_process_gives_what_its_process_gives(standin, tmp_path, argv):
    paper_json(tmp_path / "paper.json")
    (tmp_path / "sheets").mkdir()
    write_text_pdf(tmp_path / "sheets" / "a.pdf", sheet_text(FULL))
    results = {}
    for how in ("process", "in process"):
        work = tmp_path / how.replace(" ", "_")
        work.mkdir()
        for name in ("paper.json", "sheets"):
            os.symlink(tmp_path / name, work / name)
        if argv[0] == "export":
            assert command.quorvan("mark", "--paper", "paper.json", "sheets", "-o", "out", cwd=work).returncode == 0
        done = command.quorvan(*argv, cwd=work, process=how == "process")
        files = sorted(str(p.relative_to(work)) for p in work.rglob("*") if "sheets" not in p.parts)
        results[how] = (done.returncode, _same_run(done.stdout), _same_run(done.stderr), files)
    assert results["in process"] == results["process"]
