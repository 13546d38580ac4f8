"""The quorvan command as a user runs it, in this process or as a process of its own.

``quorvan(...)`` calls the command's ``main`` in this process, the way the installed script does, and returns
what a process would have given: its exit status, everything written to standard output and standard error
(the C++ parts' writes to the file descriptors included, in order) and its files. Only what a process gives
and a call cannot (signals, pipes, being killed, isolation) needs ``process=True`` or ``QUORVAN``.
"""

from __future__ import annotations

import contextlib
import gc
import io
import logging
import os
import signal
import subprocess
import sys
import tempfile
import threading
import traceback
import warnings
from pathlib import Path

QUORVAN = Path(sys.executable).parent / "quorvan"

# One command at a time in a process: it owns the process's file descriptors 1 and 2 while it runs.
_one_at_a_time = threading.Lock()


def quorvan(*args, env=None, cwd=None, process=False, preexec_fn=None, timeout=600) -> subprocess.CompletedProcess:
    """Run ``quorvan ARGS...`` in the working directory (or ``cwd``); text output captured.

    A ``preexec_fn`` (limits set on the process, such as a file size cap) runs it as a process.
    """
    argv = [str(a) for a in args]
    if process or preexec_fn is not None:
        return subprocess.run([str(QUORVAN), *argv], capture_output=True, text=True, env=env, cwd=cwd,
                              preexec_fn=preexec_fn, timeout=timeout)
    return run_in_process(argv, env=env, cwd=cwd)


def problem_lines(stderr: str) -> list[str]:
    """The "  - ..." lines of a refusal, without the marker."""
    return [line[4:] for line in stderr.splitlines() if line.startswith("  - ")]


# What a fresh interpreter starts with, so that a warning the command meets is printed as it would be (or not
# at all), not turned into an error by the test run's own filters.
_DEFAULT_FILTERS = [("default", DeprecationWarning, "__main__"), ("ignore", DeprecationWarning, None),
                    ("ignore", PendingDeprecationWarning, None), ("ignore", ImportWarning, None),
                    ("ignore", ResourceWarning, None)]


@contextlib.contextmanager
def _as_a_fresh_process(env, cwd):
    saved_env, saved_cwd = dict(os.environ), os.getcwd()
    saved_signals = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    with warnings.catch_warnings():
        warnings.resetwarnings()
        for action, category, module in reversed(_DEFAULT_FILTERS):
            warnings.filterwarnings(action, category=category, module=module or "")
        try:
            if env is not None:
                os.environ.clear()
                os.environ.update(env)
            if cwd is not None:
                os.chdir(cwd)
            yield
        finally:
            os.chdir(saved_cwd)
            os.environ.clear()
            os.environ.update(saved_env)
            for s, handler in saved_signals.items():
                signal.signal(s, handler)
            # What the process's exit would have closed and freed.
            logger = logging.getLogger("token_usage")
            for handler in list(logger.handlers):
                logger.removeHandler(handler)
                handler.close()
            gc.unfreeze()


@contextlib.contextmanager
def _descriptors_to_files():
    """File descriptors 1 and 2, and sys.stdout and sys.stderr over them, into two files."""
    files = [tempfile.TemporaryFile(), tempfile.TemporaryFile()]
    saved = [os.dup(1), os.dup(2)]
    saved_streams = sys.stdout, sys.stderr
    for stream in saved_streams:
        with contextlib.suppress(Exception):
            stream.flush()
    streams = [io.TextIOWrapper(io.FileIO(fd, "w", closefd=False), encoding="utf-8", errors="backslashreplace",
                                line_buffering=True, write_through=True) for fd in (1, 2)]
    try:
        os.dup2(files[0].fileno(), 1)
        os.dup2(files[1].fileno(), 2)
        sys.stdout, sys.stderr = streams
        yield files
    finally:
        for stream in streams:
            with contextlib.suppress(Exception):
                stream.flush()
        sys.stdout, sys.stderr = saved_streams
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved:
            os.close(fd)


def run_in_process(argv: list[str], env=None, cwd=None) -> subprocess.CompletedProcess:
    from quorvan_core import cli

    with _one_at_a_time, _as_a_fresh_process(env, cwd), _descriptors_to_files() as files:
        try:
            status = cli.main(argv)
        except SystemExit as exit:
            code = exit.code
            if code is None:
                status = 0
            elif isinstance(code, int):
                status = code
            else:
                print(code, file=sys.stderr)
                status = 1
        except BaseException:  # what the interpreter does with an exception nobody caught
            traceback.print_exc()
            status = 1
        sys.stdout.flush()
        sys.stderr.flush()
    out, err = (_read(f) for f in files)
    return subprocess.CompletedProcess(["quorvan", *argv], status, out, err)


def _read(file) -> str:
    file.seek(0)
    text = file.read().decode("utf-8", errors="replace")
    file.close()
    # As text=True reads a process's output: universal newlines.
    return text.replace("\r\n", "\n").replace("\r", "\n")
