"""One writer per results folder, and a store that went missing or bad is never taken for an empty class:
real processes hold the lock, real SQLite files are emptied, cut and damaged."""

import os
import re
import signal
import sqlite3
import subprocess
import sys

import pytest

from tests.test_class_run import FULL, calls, quorvan, sheet_text
from tests.support.pdfs import write_text_pdf
from tests.test_fault_tolerance import paper_json

HOLD = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o644)
fcntl.flock(fd, fcntl.LOCK_EX)
os.ftruncate(fd, 0)
os.write(fd, b"pid %d on host elsewhere, started 2026-12-09T08:00:00Z\\n" % os.getpid())
print("held", flush=True)
sys.stdin.read()
"""


@pytest.fixture
def marked(standin, tmp_path):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    for name in ("a.pdf", "b.pdf"):
        write_text_pdf(sheets / name, sheet_text(FULL))
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    assert quorvan("mark", "--paper", paper, sheets, "-o", out).returncode == 0
    standin.reset()
    return paper, sheets, out


def test_a_second_run_on_a_folder_in_use_refuses_and_a_killed_runs_lock_is_taken_over(standin, marked):
    paper, sheets, out = marked
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(out / "marking.lock")], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--force")
        assert result.returncode == 1
        assert result.stderr == (f"quorvan mark: {out} is being marked by another quorvan mark (pid {holder.pid} on "
                                 "host elsewhere, started 2026-12-09T08:00:00Z): wait for it to end, or mark into "
                                 "another folder\n")
        assert calls(standin) == []
    finally:
        holder.send_signal(signal.SIGKILL)
        holder.wait()
        holder.stdout.close()
        holder.stdin.close()
    # Killed: the kernel let go of its lock; the next run takes it and says who holds it now.
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(rf"pid {os.getpid()} on host \S+, started \d{{4}}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n",
                        (out / "marking.lock").read_text())


def _empty(db):
    db.write_bytes(b"")


def _drop_events(db):
    with sqlite3.connect(db) as c:
        c.execute("DROP TABLE events")


def _flip_bytes(db):
    data = bytearray(db.read_bytes())
    for at in range(len(data) // 2, len(data) // 2 + 4096):
        data[at] ^= 0x5A
    db.write_bytes(bytes(data))


@pytest.mark.parametrize("damage, words", [
    (_empty, "it is empty"),
    (_drop_events, "its table events is missing"),
    (_flip_bytes, "damaged"),
])
def test_a_lost_store_beside_earlier_results_stops_the_run_and_force_starts_over(standin, marked, damage, words):
    paper, sheets, out = marked
    db = out / "marking.db"
    with sqlite3.connect(db) as c:
        c.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    for tail in ("-wal", "-shm"):
        (out / f"marking.db{tail}").unlink(missing_ok=True)
    damage(db)
    before = db.read_bytes()
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 1
    assert words in result.stderr and "holds the results of an earlier run" in result.stderr
    assert "--force" in result.stderr and "Traceback" not in result.stderr
    assert calls(standin) == [] and db.read_bytes() == before  # nothing marked, nothing billed, nothing touched

    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--force")
    assert result.returncode == 0, result.stderr
    kept = [p.name for p in out.iterdir() if p.name.startswith("marking.db.damaged-")]
    assert len(kept) == 1 and (out / kept[0]).read_bytes() == before
    assert f"kept as {out / kept[0]}" in result.stderr
    assert calls(standin, "EvaluationResponse") > 0


def test_commands_that_only_read_write_nothing_to_the_store(standin, marked, tmp_path):
    paper, sheets, out = marked
    db = out / "marking.db"
    with sqlite3.connect(db) as c:  # named, so that the export has someone to put a grade on
        c.execute("UPDATE sheets SET student_id = CAST(id AS TEXT), student_name = 'S' || id, "
                  "identity_source = 'roster'")
    with sqlite3.connect(db) as c:
        c.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    before = db.read_bytes()
    result = quorvan("export", out, "--to", "csv", "--all", "-o", tmp_path / "g.csv")
    assert result.returncode == 0, result.stderr
    result = quorvan("agreement", out)
    assert result.returncode == 0, result.stderr
    assert db.read_bytes() == before
    wal = out / "marking.db-wal"
    assert not wal.exists() or wal.stat().st_size == 0
