"""The quorvan command as a user runs it: a subprocess of the installed script."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

QUORVAN = Path(sys.executable).parent / "quorvan"


def quorvan(*args, env=None) -> subprocess.CompletedProcess:
    """Run ``quorvan ARGS...`` in the working directory; text output captured."""
    return subprocess.run([str(QUORVAN), *map(str, args)], capture_output=True, text=True, env=env, timeout=300)


def problem_lines(stderr: str) -> list[str]:
    """The "  - ..." lines of a refusal, without the marker."""
    return [line[4:] for line in stderr.splitlines() if line.startswith("  - ")]
