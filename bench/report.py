"""Writes the sections of a run as Markdown."""

from __future__ import annotations

from typing import Sequence

from bench.common import Section, Table


def _cell(value: object) -> str:
    return str(value).replace("|", "\\|").replace("\n", " ")


def _table(t: Table) -> list[str]:
    lines = [f"**{t.title}**", ""] if t.title else []
    lines.append("| " + " | ".join(_cell(h) for h in t.headers) + " |")
    lines.append("|" + "|".join("---" for _ in t.headers) + "|")
    lines += ["| " + " | ".join(_cell(c) for c in row) + " |" for row in t.rows]
    return lines + [""]


def render(sections: Sequence[Section], machine: Sequence[tuple[str, str]], started: str, seconds: float,
           load: tuple[str, str], command: str, failures: Sequence[tuple[str, str]] = ()) -> str:
    out = ["# Benchmark results", "",
           f"Measured {started} by `{command}` in {seconds / 60:.1f} minutes. Every figure below was measured in "
           "this run; each comparison is a ratio of two figures taken in it, the contenders taking turns.", "",
           "## Machine", "", "| | |", "|---|---|"]
    out += [f"| {_cell(k)} | {_cell(v)} |" for k, v in machine]
    out += [f"| Load average (1/5/15 min) at start | {load[0]} |", f"| Load average at end | {load[1]} |", ""]

    goals = [(s.title, g) for s in sections for g in s.goals]
    out += ["## Goals", ""]
    if goals:
        out += ["| goal | measured | met | gap |", "|---|---|---|---|"]
        for _, g in goals:
            out.append(f"| {_cell(g.label)} | {g.value:.3f}{g.unit} | {'yes' if g.met else '**no**'} | {_cell(g.gap)} |")
        out.append("")
    for title, error in failures:
        out += [f"- **{title}** did not run: {error}"]
    if failures:
        out.append("")

    for s in sections:
        out += [f"## {s.title}", "", s.method, ""]
        for t in s.tables:
            out += _table(t)
        out += [f"- {n}" for n in s.notes]
        if s.notes:
            out.append("")
    return "\n".join(out).rstrip() + "\n"
