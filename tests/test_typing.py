"""The package as a type checker and help() see it: stubs installed beside the modules, and the
signatures help() shows are the stubs' own, with real types."""

import importlib
import importlib.util
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvan_core

ROOT = Path(__file__).resolve().parent.parent
found = importlib.util.spec_from_file_location("stub_signatures", ROOT / "scripts" / "stub_signatures.py")
stub_signatures = importlib.util.module_from_spec(found)
found.loader.exec_module(stub_signatures)

MODULES = {
    "quorvan_core.llm_service": "llm_service.pyi",
    "quorvan_core.question_paper_service": "question_paper_service.pyi",
    "quorvan_core.answersheet_service": "answersheet_service.pyi",
    "quorvan_core.quorvan": "quorvan.pyi",
    "quorvan_core.cli": "cli.pyi",
    "quorvan_core.datastructures.question_paper": "datastructures/question_paper.pyi",
    "quorvan_core.datastructures.rubric": "datastructures/rubric.pyi",
    "quorvan_core.datastructures.answersheet": "datastructures/answersheet.pyi",
    "quorvan_core.ocr_extractor.extractor_client": "ocr_extractor/extractor_client.pyi",
}
INSTALLED = Path(quorvan_core.__file__).parent


def test_the_stub_table_names_every_module():
    assert sorted(stub_signatures.STUBS.values()) == sorted(MODULES.values())


@pytest.mark.parametrize("name", ["py.typed", "__init__.pyi", *MODULES.values()])
def test_stubs_are_installed_with_the_package(name):
    # The installed copy, not the source tree: what a user's mypy reads.
    assert (INSTALLED / name).is_file()


def public_callables(module):
    for name, value in vars(module).items():
        # `coroutine` is the type behind the coroutine methods, which are typed Coroutine[Any, Any, T].
        if name.startswith("_") or name == "coroutine" or getattr(value, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(value):
            for attr, member in vars(value).items():
                if (attr == "__init__" or not attr.startswith("_")) and callable(
                        getattr(member, "__func__", member)) and not inspect.isclass(member):
                    yield f"{name}.{attr}", getattr(value, attr)
        elif callable(value):
            yield name, value


@pytest.mark.parametrize("module_name", MODULES)
def test_help_shows_the_stub_signature_of_every_public_callable(module_name):
    module = importlib.import_module(module_name)
    declared = dict(stub_signatures.signatures(INSTALLED / MODULES[module_name]))
    shown = {}
    for path, fn in public_callables(module):
        doc = inspect.getdoc(fn) or ""
        if type(fn).__name__ not in ("builtin_function_or_method", "instancemethod"):
            continue  # Python objects: pydantic models, exception classes
        first = doc.splitlines()[0] if doc else ""
        shown[path] = first
        # No pybind11 placeholder type and no C++ name in what help() shows.
        assert not re.search(r"\bobject\b|::|Tag\b", first), (path, first)
    # Every C++ callable has its line, and it is the stub's line.
    assert {p: shown[p] for p in declared if p in shown} == {p: declared[p] for p in declared if p in shown}
    assert set(shown) <= set(declared), set(shown) - set(declared)


def test_the_signature_files_match_the_stubs():
    result = subprocess.run([sys.executable, str(ROOT / "scripts" / "stub_signatures.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_help_keeps_the_docstring_after_the_signature():
    import quorvan_core.llm_service as llm

    doc = llm.LLMService.set_retry_policy.__doc__
    first, _, rest = doc.partition("\n")
    assert first == "set_retry_policy(self, retries: int, timeout: float | None = None) -> None"
    assert "Retry transient model failures" in rest
