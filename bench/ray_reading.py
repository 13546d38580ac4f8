"""Pages per second of an OCR-heavy class read on a local Ray cluster of one and two nodes, against the plain
command."""

from __future__ import annotations

import os
import re
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench.class_run import QUORVAN, ROOT, standin_process, write_paper
from bench.common import Goal, Section, Table, median
from tests.support.ray_nodes import stop_node

TITLE = "Reading a class on a Ray cluster"
RAY = Path(sys.executable).parent / "ray"


def write_scans(folder: Path, sheets: int, pages: int) -> int:
    sys.path.insert(0, str(ROOT))
    from tests.support.handwriting import write_handwritten_pdf

    folder.mkdir(parents=True)
    text = "\n\n".join(f"Q{i + 1}. A good answer explains the topic step by step and gives an everyday example."
                       for i in range(2))
    for s in range(sheets):
        write_handwritten_pdf(folder / f"scan{s:02d}.pdf", [text] * pages, "print", degraded=True, seed=s)
    return sheets * pages


class Cluster:
    """Nodes of one CPU each on 127.0.0.1, every one a `ray start --block` of this benchmark's own, stopped
    by its process group (never `ray stop`, which would stop any Ray on the machine)."""

    def __init__(self, temp_dir: Path):
        self.temp_dir, self.nodes = temp_dir, []
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.address = f"127.0.0.1:{s.getsockname()[1]}"

    def add_node(self) -> None:
        head = not self.nodes
        where = ["--head", f"--port={self.address.split(':')[1]}", "--include-dashboard=false"] if head \
            else [f"--address={self.address}"]
        log = open(self.temp_dir / f"node{len(self.nodes)}.log", "wb")
        self.nodes.append(subprocess.Popen(
            [str(RAY), "start", "--block", "--num-cpus", "1", "--disable-usage-stats", "--node-ip-address=127.0.0.1",
             f"--temp-dir={self.temp_dir}", *where], stdout=log, stderr=subprocess.STDOUT, start_new_session=True))
        probe = (f"import ray, time\nray.init(address={self.address!r}, logging_level='ERROR')\n"
                 f"while sum(n['Alive'] for n in ray.nodes()) < {len(self.nodes)}: time.sleep(0.5)\n")
        deadline = time.monotonic() + 180
        while True:  # the head may not listen yet
            probed = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                    timeout=max(1, deadline - time.monotonic()))
            if probed.returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"the Ray cluster did not come up: {probed.stderr[-2000:]}")
            time.sleep(1)

    def stop(self) -> None:
        for node in reversed(self.nodes):
            stop_node(node)


def marking_seconds(stdout: str) -> float:
    found = re.search(r"answer sheets in ([0-9.]+) s\.", stdout)
    assert found, stdout
    return float(found.group(1))


def run(workdir: Path, quick: bool = False) -> Section:
    sheets, pages = (4, 2) if quick else (8, 2)
    rounds = 1 if quick else 2
    total_pages = write_scans(workdir / "class", sheets, pages)
    paper = write_paper(workdir / "paper.json", 2)
    runs = 0

    def mark(env, *extra) -> float:
        nonlocal runs
        runs += 1
        out = workdir / f"out{runs}"
        result = subprocess.run([str(QUORVAN), "mark", "--paper", str(paper), str(workdir / "class"), "-o", str(out),
                                 "--reader", "local", *extra], capture_output=True, text=True, env=env, timeout=900)
        assert result.returncode == 0, result.stderr
        return marking_seconds(result.stdout)

    # Off for the nodes and the commands alike, whatever a local ray.init() left in ~/.ray.
    os.environ["RAY_AUTH_MODE"] = "disabled"
    # One core per reader, in every contender, so that a node of one CPU is one: otherwise each sheet's pages
    # are read on threads of their own, and one reader alone fills this machine's two cores.
    os.environ["QUORVAN_EXTRACT_THREADS"] = "1"
    times: dict[str, list[float]] = {}
    temp_dir = Path(tempfile.mkdtemp(prefix="qrb-", dir="/tmp"))  # short: Ray's sockets live under it
    cluster = Cluster(temp_dir)
    with standin_process(0.0) as env:
        try:
            cluster.add_node()
            for _ in range(rounds):
                times.setdefault("plain, --workers 1", []).append(mark(env, "--workers", "1"))
                times.setdefault("--ray, 1 node of 1 CPU", []).append(mark(env, "--workers", "1", "--ray", cluster.address))
            cluster.add_node()
            for _ in range(rounds):
                times.setdefault("plain, --workers 2", []).append(mark(env, "--workers", "2"))
                times.setdefault("--ray, 2 nodes of 1 CPU", []).append(mark(env, "--workers", "1", "--ray", cluster.address))
        finally:
            cluster.stop()
            subprocess.run(["rm", "-rf", str(temp_dir)], timeout=60)

    table = Table(["run", "median marking s", "pages / s", "÷ plain --workers 1"])
    base = median(times["plain, --workers 1"])
    for name, values in times.items():
        t = median(values)
        table.rows.append([name, f"{t:.2f}", f"{total_pages / t:.2f}", f"{base / t:.2f}×"])
    one, two = median(times["--ray, 1 node of 1 CPU"]), median(times["--ray, 2 nodes of 1 CPU"])
    return Section(
        TITLE,
        f"A class of {sheets} scanned sheets of {pages} pages each (print, worn, 200 dpi images: every page read by "
        f"OCR, {total_pages} pages) marked by `quorvan mark --reader local` against the model stand-in in its own "
        "process answering at once, so that reading is the work measured. Plain: the command's own reading threads. "
        "Every reader reads one page at a time (QUORVAN_EXTRACT_THREADS=1), so that the plain command with --workers N and a cluster of N one-CPU nodes have the same number of cores to read with. `--ray`: a local cluster started with `ray start --num-cpus 1` once with one node, then with a second node "
        "joined, both on this machine. Times are the command's own marking clock (the connection to the cluster "
        f"comes before it); the median of {rounds} runs, the contenders taking turns.",
        [table],
        [Goal("--ray on 2 nodes ÷ 1 node, pages per second", one / two, ">", 1.0),
         Goal("--ray on 1 node ÷ plain --workers 1, time (overhead)", one / base, "<=", 1.15)],
        ["This machine has 2 cores, shared by the command, the stand-in and both Ray nodes: two nodes can at best "
         "double the reading of one, and the command's own work competes with them for the same cores."])
