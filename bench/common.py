"""What a benchmark hands back, and the timing helpers they share."""

from __future__ import annotations

import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, Sequence


@dataclass
class Goal:
    """A target on a ratio measured in this run: ``value <op> target``."""

    label: str
    value: float
    op: str  # ">" (strictly above), ">=" or "<="
    target: float
    unit: str = "×"

    @property
    def met(self) -> bool:
        return {">": self.value > self.target, ">=": self.value >= self.target,
                "<=": self.value <= self.target}[self.op]

    @property
    def gap(self) -> str:
        """How far from the target, in words a reader can check against the figures."""
        v, t = self.value, self.target
        if self.op in (">", ">="):
            if self.met:
                return f"met with {v / t:.2f}× the required {t:g}{self.unit}"
            return f"missed: {v:.2f}{self.unit} is {(1 - v / t) * 100:.0f}% short of {t:g}{self.unit}"
        if self.met:
            return f"met, {(t - v):.3f}{self.unit} under the {t:g}{self.unit} limit"
        return f"missed: {v:.3f}{self.unit} is {(v - t):.3f}{self.unit} over the {t:g}{self.unit} limit"


@dataclass
class Table:
    headers: Sequence[str]
    rows: list[Sequence[object]] = field(default_factory=list)
    title: str = ""


@dataclass
class Section:
    title: str
    method: str  # how it was measured, in a few sentences
    tables: list[Table] = field(default_factory=list)
    goals: list[Goal] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def timed(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def interleaved(contenders: dict[str, Callable[[], object]], rounds: int,
                rounds_for: dict[str, int] | None = None) -> dict[str, list[float]]:
    """Seconds of each call, the contenders taking turns round after round, so
    that a load on the machine falls on all of them alike. A contender listed
    in ``rounds_for`` runs in only that many of the rounds (for slow ones)."""
    rounds_for = rounds_for or {}
    times: dict[str, list[float]] = {name: [] for name in contenders}
    names = list(contenders)
    for r in range(rounds):
        order = names if r % 2 == 0 else names[::-1]
        for name in order:
            if r < rounds_for.get(name, rounds):
                times[name].append(timed(contenders[name]))
    return times


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


def fmt(value: float, digits: int = 0) -> str:
    return f"{value:,.{digits}f}"
