"""Writes a page per `quorvan` command from the command's own argparse parser, so that the guide's
options and help never disagree with the command's."""

from __future__ import annotations

import argparse
from pathlib import Path


def commands(parser: argparse.ArgumentParser) -> dict[str, tuple[str, argparse.ArgumentParser]]:
    """Each command's name, its one-line help and its parser, in the order `quorvan --help` lists them."""
    [sub] = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    helps = {a.dest: a.help or "" for a in sub._choices_actions}
    return {name: (helps.get(name, ""), p) for name, p in sub.choices.items()}


def _escape(text: str) -> str:
    return text.replace("*", r"\*").replace("_", r"\_").replace("<", r"\<")


def _metavar(action: argparse.Action) -> str:
    if action.nargs == 0:
        return ""
    if action.metavar:
        return " " + (" ".join(action.metavar) if isinstance(action.metavar, tuple) else action.metavar)
    if action.choices:
        return " {" + ",".join(map(str, action.choices)) + "}"
    return " " + action.dest.upper()


def page(name: str, summary: str, parser: argparse.ArgumentParser) -> str:
    """The Markdown page of one command: what it does, its usage, and every option with its help."""
    lines = [f"# quorvan {name}", "", _escape(summary[:1].upper() + summary[1:]) + ("." if summary else ""), "",
             "```text", parser.format_usage().rstrip(), "```", ""]
    if parser.description:
        lines += [_escape(parser.description), ""]
    lines += ["## Arguments and options", ""]
    for action in parser._actions:
        if isinstance(action, argparse._HelpAction):
            continue
        if action.option_strings:
            shown = ", ".join(f"`{o}{_metavar(action)}`" for o in action.option_strings)
        else:
            shown = f"`{action.metavar or action.dest}`"
        # As argparse fills in a help text: %(default)s and the like.
        help_text = action.help % dict(vars(action), prog=parser.prog) if action.help else ""
        lines.append(f"- {shown}: {_escape(help_text)}" if help_text else f"- {shown}")
    return "\n".join(lines) + "\n"


def write_pages(folder: Path, parser: argparse.ArgumentParser) -> list[str]:
    """Writes commands/<name>.md for every command (only when changed) and returns the names."""
    names = []
    for name, (summary, sub) in commands(parser).items():
        path = folder / f"{name}.md"
        text = page(name, summary, sub)
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")
        names.append(name)
    return names


def _on_builder_inited(app) -> None:  # type: ignore[no-untyped-def]
    from quorvan_core import cli

    write_pages(Path(app.srcdir) / "commands", cli.parser())


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("builder-inited", _on_builder_inited)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
