"""Nodes of a local Ray cluster started by the tests and the benchmark, and stopped by them alone."""

from __future__ import annotations

import os
import signal
import subprocess


def stop_node(node: subprocess.Popen) -> None:
    """Stops a `ray start --block` process and whatever of its group is left.

    `ray stop` is not used: it would stop every Ray on the machine, the caller's or not.
    """
    if node.poll() is None:
        node.terminate()
        try:
            node.wait(timeout=60)
        except subprocess.TimeoutExpired:
            node.kill()
            node.wait(timeout=10)
    try:
        os.killpg(node.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
