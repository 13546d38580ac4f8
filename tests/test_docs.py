"""The user guide: a page per command written from the command's own parser, with every option of every
command; links between pages that lead somewhere; a README of one screen that leads into the guide."""

import argparse
import importlib.util
import re
from pathlib import Path

import pytest

from quorvan_core import cli

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"


def pages_module():
    found = importlib.util.spec_from_file_location("quorvan_commands", DOCS / "_ext" / "quorvan_commands.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


COMMANDS = pages_module().commands(cli.parser())


def test_every_command_quorvan_lists_has_a_page():
    listed = set(re.findall(r"^    (\w+)", cli.parser().format_help(), flags=re.M))
    assert listed == set(COMMANDS)
    assert {"paper", "check", "complete", "mark", "review", "agreement", "export", "schema"} <= listed


@pytest.mark.parametrize("name", sorted(COMMANDS))
def test_every_option_of_a_command_is_on_its_page_with_its_help(name):
    summary, parser = COMMANDS[name]
    page = pages_module().page(name, summary, parser)
    assert page.startswith(f"# quorvan {name}\n")
    assert parser.format_usage().strip() in page
    for action in parser._actions:
        if isinstance(action, argparse._HelpAction):
            continue
        for option in action.option_strings or [action.metavar or action.dest]:
            assert f"`{option}" in page, option
        if action.help and action.help != argparse.SUPPRESS:
            first_words = " ".join((action.help % dict(vars(action), prog=parser.prog)).split()[:4])
            assert first_words.replace("*", r"\*").replace("_", r"\_").replace("<", r"\<") in page, first_words


def test_pages_are_written_only_when_they_change(tmp_path):
    module = pages_module()
    names = module.write_pages(tmp_path, cli.parser())
    assert sorted(names) == sorted(COMMANDS)
    mark = tmp_path / "mark.md"
    before = mark.stat().st_mtime_ns
    module.write_pages(tmp_path, cli.parser())
    assert mark.stat().st_mtime_ns == before


def markdown_files():
    return [ROOT / "README.md", *sorted(DOCS.rglob("*.md"))]


@pytest.mark.parametrize("path", markdown_files(), ids=lambda p: str(p.relative_to(ROOT)))
def test_links_between_pages_lead_somewhere(path):
    text = path.read_text(encoding="utf-8")
    for target in re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", text):
        if re.match(r"[a-z]+://", target):
            continue
        if "commands/" in target and not target.endswith("index.md"):
            continue  # written when the guide is built
        assert (path.parent / target).exists(), f"{path.name}: {target}"


def test_the_readme_is_one_screen_and_leads_to_every_part_of_the_guide():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert len(readme.splitlines()) <= 120
    assert "bash scripts/demo.sh" in readme and "bash scripts/test.sh" in readme
    for page in sorted(DOCS.rglob("*.md")) + sorted(DOCS.rglob("*.rst")):
        relative = page.relative_to(ROOT).as_posix()
        generated = relative.startswith("docs/commands/") and page.name != "index.md"
        if not generated and relative != "docs/index.md":
            assert f"]({relative})" in readme, f"the README does not lead to {relative}"
