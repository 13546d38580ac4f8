"""quorvan mark --ray: a class of scans read on a Ray cluster of two nodes started on this machine, the model
called and the store written by the command alone, with the same results as a run without Ray; a sheet whose
reading fails fails alone; and a clear refusal when Ray is not installed."""

import importlib.util
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from tests.support.handwriting import write_handwritten_pdf
from tests.support.pdfs import write_corrupt_pdf, write_text_pdf
from tests.support.ray_nodes import stop_node
from tests.test_class_run import calls, quorvan, table
from tests.test_fault_tolerance import paper_json
from tests.test_reading_quality import BAD_HAND, FAINT_HAND, PRINT, WRITTEN

BIN = Path(sys.executable).parent
MISSING = "--ray needs Ray, which is not installed here: pip install quorvan_core[ray]"

# Found, not imported: importing Ray takes every test process a second and a half.
HAVE_RAY = importlib.util.find_spec("ray") is not None

needs_ray = pytest.mark.skipif(not HAVE_RAY, reason="Ray is not installed (pip install quorvan_core[ray])")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_node(*args, temp_dir, log):
    return subprocess.Popen([str(BIN / "ray"), "start", "--block", "--num-cpus", "1", "--disable-usage-stats",
                             f"--temp-dir={temp_dir}", *args],
                            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)


def wait_for_nodes(address, count, nodes, deadline):
    probe = ("import ray, time, sys\n"
             f"ray.init(address={address!r}, logging_level='ERROR')\n"
             f"while sum(n['Alive'] for n in ray.nodes()) < {count}: time.sleep(0.5)\n")
    while True:  # the head may not listen yet
        try:
            probed = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                    timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            probed = None
        if probed is not None and probed.returncode == 0:
            return
        if time.monotonic() > deadline or any(n.poll() is not None for n in nodes):
            dead = [n.args[2:4] for n in nodes if n.poll() is not None]
            why = probed.stderr[-2000:] if probed is not None else "timed out"
            pytest.fail(f"the Ray cluster did not come up with {count} nodes: {why}; stopped nodes: {dead}")
        time.sleep(1)


@pytest.fixture(scope="module", autouse=True)
def _ray_without_tokens():
    """The nodes, the probes and the commands alike leave token authentication off, whatever an earlier local
    `ray.init()` left in ~/.ray: Ray enables it on a head that finds a token there, and a driver then needs it."""
    before = os.environ.get("RAY_AUTH_MODE")
    os.environ["RAY_AUTH_MODE"] = "disabled"
    yield
    if before is None:
        del os.environ["RAY_AUTH_MODE"]
    else:
        os.environ["RAY_AUTH_MODE"] = before


@pytest.fixture(scope="module")
def cluster_nodes():
    """A head and a second node, one CPU each, on 127.0.0.1: the head's address and the two nodes'
    `ray start` processes, each leading a process group of its own."""
    if not HAVE_RAY:
        pytest.skip("Ray is not installed (pip install quorvan_core[ray])")
    # Short: Ray's sockets live under it, and a socket path has a length limit.
    temp_dir = tempfile.mkdtemp(prefix="qray-", dir="/tmp")
    port = free_port()
    address = f"127.0.0.1:{port}"
    nodes = []
    with open(Path(temp_dir) / "nodes.log", "wb") as log:
        try:
            nodes.append(start_node("--head", "--node-ip-address=127.0.0.1", f"--port={port}",
                                    "--include-dashboard=false", temp_dir=temp_dir, log=log))
            deadline = time.monotonic() + 120
            wait_for_nodes(address, 1, nodes, deadline)
            nodes.append(start_node(f"--address={address}", "--node-ip-address=127.0.0.1", temp_dir=temp_dir,
                                    log=log))
            wait_for_nodes(address, 2, nodes, deadline)
            yield address, nodes
        finally:
            for node in reversed(nodes):
                stop_node(node)
            subprocess.run(["rm", "-rf", temp_dir], timeout=30)


@pytest.fixture
def cluster(cluster_nodes):
    return cluster_nodes[0]


def sheet_lines(stderr):
    """The lines about the class's sheets, in the order the command gives them."""
    return sorted(line for line in stderr.splitlines() if ".pdf" in line)


def store(out):
    """What the run stored, sheet by sheet: everything but the times."""
    with sqlite3.connect(out / "marking.db") as db:
        db.row_factory = sqlite3.Row

        def rows(sql):
            return [{k: r[k] for k in r.keys() if not k.endswith("_at") and k != "sheet_id"}
                    for r in db.execute(sql)]

        sheets = {}
        for sheet in db.execute("SELECT * FROM sheets ORDER BY path_resolved"):
            kept = {k: sheet[k] for k in sheet.keys() if not k.endswith("_at") and k != "id"}
            kept["answers"] = rows(f"SELECT * FROM answers WHERE sheet_id = {sheet['id']} ORDER BY q_id")
            kept["pages"] = rows(f"SELECT * FROM page_reading WHERE sheet_id = {sheet['id']} ORDER BY page")
            sheets[sheet["report_name"]] = kept
    return sheets


@pytest.fixture
def scanned_class(tmp_path):
    """Scans OCR reads well, one it reads too badly (sent to the vision model), one it reads faintly, a typed
    sheet, a sheet that is no PDF at all and one with more pages than the class run reads (--max-pages 2)."""
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_handwritten_pdf(sheets / "print.pdf", [WRITTEN, WRITTEN], **PRINT, seed=3)
    write_handwritten_pdf(sheets / "hand.pdf", [WRITTEN], **BAD_HAND, seed=3)
    write_handwritten_pdf(sheets / "faint.pdf", [WRITTEN], **FAINT_HAND, seed=5)
    write_text_pdf(sheets / "typed.pdf", [WRITTEN])
    write_corrupt_pdf(sheets / "broken.pdf")
    write_text_pdf(sheets / "long.pdf", [WRITTEN] * 3)
    return sheets


@pytest.mark.e2e
@pytest.mark.ray
@needs_ray
def test_a_class_read_on_a_two_node_cluster_stores_what_a_run_without_ray_stores(standin, cluster, scanned_class,
                                                                                tmp_path):
    standin.set_answer("PageTranscription", {"text": WRITTEN})
    paper = paper_json(tmp_path / "paper.json")
    plain = quorvan("mark", "--paper", paper, scanned_class, "-o", tmp_path / "plain", "--max-pages", 2)
    assert plain.returncode == 1, plain.stderr  # the broken sheet, the long one
    plain_calls = sorted(calls(standin))
    standin.reset()
    standin.set_answer("PageTranscription", {"text": WRITTEN})

    spread = quorvan("mark", "--paper", paper, scanned_class, "-o", tmp_path / "ray", "--max-pages", 2,
                     f"--ray={cluster}")
    assert spread.returncode == 1, spread.stderr
    # The same calls to the model, all from the command: the workers call nothing.
    assert sorted(calls(standin)) == plain_calls
    stored = store(tmp_path / "ray")
    assert stored == store(tmp_path / "plain")
    assert table(tmp_path / "ray") == table(tmp_path / "plain")
    assert sheet_lines(spread.stderr) == sheet_lines(plain.stderr) != []

    rows = table(tmp_path / "ray")
    assert {name: row["status"] for name, row in rows.items()} == {
        "print.pdf": "marked", "hand.pdf": "marked", "faint.pdf": "marked", "typed.pdf": "marked",
        "broken.pdf": "failed", "long.pdf": "failed"}
    # Each fails alone, with the reason the worker met, as without Ray.
    assert rows["long.pdf"]["warnings"].endswith("(page limit)")
    assert "Failed to extract text from PDF" in rows["broken.pdf"]["warnings"]
    # Read on the workers by OCR, and the pages it read badly read again by the vision model from the command.
    methods = {name: [p["method"] for p in sheet["pages"]] for name, sheet in stored.items()}
    assert methods["print"] == ["ocr", "ocr"] and methods["typed"] == ["text"] and methods["hand"] == ["vision"]
    assert calls(standin, "PageTranscription") == sum(m.count("vision") for m in methods.values())


@pytest.mark.ray
def test_ray_not_installed_is_a_usage_error_naming_the_extra(standin, tmp_path):
    shim = tmp_path / "no_ray" / "ray"
    shim.mkdir(parents=True)
    (shim / "__init__.py").write_text("raise ImportError('No module named ray')\n")
    sheet = write_text_pdf(tmp_path / "s.pdf", [WRITTEN])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(shim.parent), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([str(BIN / "quorvan"), "mark", "--paper", str(paper_json(tmp_path / "paper.json")),
                             str(sheet), "-o", str(tmp_path / "out"), "--ray"],
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == f"quorvan mark: error: {MISSING}"
    assert calls(standin) == [] and not (tmp_path / "out").exists()


@pytest.mark.ray
def test_a_sheet_taken_for_the_cluster_address_is_refused(standin, tmp_path):
    sheet = write_text_pdf(tmp_path / "s.pdf", [WRITTEN])
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), "-o", tmp_path / "out", "--ray", sheet,
                     tmp_path / "s.pdf")
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (f"quorvan mark: error: --ray {sheet}: a file or folder, not a cluster "
                                              "address; put --ray after the sheets, or write --ray=ADDRESS")


@pytest.mark.ray
@needs_ray
def test_a_cluster_that_does_not_answer_ends_the_run_at_once(standin, tmp_path):
    sheet = write_text_pdf(tmp_path / "s.pdf", [WRITTEN])
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheet, "-o", tmp_path / "out",
                     "--ray", f"127.0.0.1:{free_port()}")
    assert result.returncode == 1
    assert result.stderr.splitlines()[0].startswith("quorvan mark: cannot start Ray at 127.0.0.1:")
    assert calls(standin) == [] and table(tmp_path / "out")["s.pdf"]["status"] == "pending"


def test_importing_the_package_does_not_import_ray():
    probe = ("import sys, quorvan_core, quorvan_core.cli, quorvan_core.quorvan\n"
             "print('ray' in sys.modules)")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "False", result.stderr


@pytest.mark.ray
@needs_ray
def test_the_task_function_travels_by_reference():
    import pickle

    from ray import cloudpickle  # what Ray pickles tasks with

    from quorvan_core import cli
    # The workers import it from their installed package rather than get its code.
    for task in (cli._read_on_worker, cli._read_task):
        for dumps in (pickle.dumps, cloudpickle.dumps):
            data = dumps(task)
            assert b"quorvan_core.cli" in data and len(data) < 200 and pickle.loads(data) is task


@pytest.mark.parametrize("reader, sheet, drawn", [
    ("local", "hand", []),
    ("auto", "hand", [1]),  # read badly
    ("auto", "print", []),
    ("vision", "print", [1]),
    ("vision", "typed", []),  # a text layer is never sent
])
def test_a_worker_draws_the_pages_the_vision_model_reads_and_the_command_only_calls_it(standin, tmp_path, reader,
                                                                                     sheet, drawn):
    from quorvan_core import cli
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient

    standin.set_answer("PageTranscription", {"text": WRITTEN})
    if sheet == "typed":
        pdf = write_text_pdf(tmp_path / "typed.pdf", [WRITTEN])
    else:
        pdf = write_handwritten_pdf(tmp_path / f"{sheet}.pdf", [WRITTEN], **(BAD_HAND if sheet == "hand" else PRINT),
                                    seed=3)
    client = ExtractorClient("local", reader=reader)
    here = client.read_pdf(str(pdf))
    sent_here = [r["messages"] for r in standin.requests]
    standin.reset()
    standin.set_answer("PageTranscription", {"text": WRITTEN})

    found = cli._read_on_worker(pdf.read_bytes(), str(pdf), None, client.dpi, client.min_confidence, True, None,
                                reader)
    assert found[0] == "read" and standin.requests == []  # a worker calls no model
    images = found[4]
    assert sorted(images) == drawn and all(png.startswith(b"\x89PNG") for png in images.values())
    settled = client._settle_rendered(str(pdf), *found[1:])
    # The very images and calls of a reading without a cluster, and the same record.
    assert [r["messages"] for r in standin.requests] == sent_here
    assert (settled.texts, settled.hidden, settled.pages, settled.calls) == (
        here.texts, here.hidden, here.pages, here.calls)


def test_a_page_a_worker_could_not_draw_keeps_its_ocr_text_and_says_why(standin, tmp_path):
    from quorvan_core import cli
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient

    pdf = write_handwritten_pdf(tmp_path / "hand.pdf", [WRITTEN], **BAD_HAND, seed=3)
    client = ExtractorClient("local", reader="auto")
    found = cli._read_on_worker(pdf.read_bytes(), str(pdf), None, client.dpi, client.min_confidence, True, None,
                                "auto")
    settled = client._settle_rendered(str(pdf), found[1], found[2], found[3], {1: "the page is damaged"})
    assert settled.texts == found[1] and settled.calls == [] and standin.requests == []
    assert settled.pages[0]["reliable"] is False
    assert settled.pages[0]["note"].endswith("; not read again: the vision model failed (the page is damaged)")


def stat(pid):
    """(parent id, process group) of a process."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[1]), int(fields[2])


def tasks_running(title, nodes):
    """Ids of the Ray workers titled ``title`` whose raylet belongs to one of ``nodes``."""
    groups = {node.pid for node in nodes}
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if not (entry / "cmdline").read_bytes().startswith(title.encode()):
                continue
            parent, _ = stat(entry.name)
            if stat(parent)[1] in groups:
                found.append(int(entry.name))
        except (OSError, ValueError, IndexError):
            continue
    return found


@pytest.mark.e2e
@pytest.mark.ray
@needs_ray
def test_a_worker_killed_while_it_reads_has_the_sheet_read_again(standin, cluster_nodes, tmp_path):
    address, nodes = cluster_nodes
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_handwritten_pdf(sheets / "long.pdf", [WRITTEN] * 3, **PRINT, seed=3)
    paper = paper_json(tmp_path / "paper.json")
    command = subprocess.Popen([str(BIN / "quorvan"), "mark", "--paper", str(paper), str(sheets), "-o",
                                str(tmp_path / "ray"), "--reader", "local", "--ray", address],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    killed = []
    try:
        # The worker that runs the task, whichever node it is on, killed as a lost machine's would be.
        while command.poll() is None and not killed:
            for pid in tasks_running("ray::_read_task", nodes):
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            time.sleep(0.05)
        out, err = command.communicate(timeout=240)
    finally:
        if command.poll() is None:
            command.kill()
            command.wait(timeout=30)
    assert killed, "the command finished before its task could be found"
    assert command.returncode == 0, err
    plain = quorvan("mark", "--paper", paper, sheets, "-o", tmp_path / "plain", "--reader", "local")
    assert plain.returncode == 0, plain.stderr
    assert store(tmp_path / "ray") == store(tmp_path / "plain")
