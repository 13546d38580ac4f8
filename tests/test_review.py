"""quorvan review: the teacher's page over a marked class, served over real HTTP by the real command, and driven
in a real (headless) browser. The class is the example class, marked once through the stand-in."""

import csv
import http.client
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import urllib.parse
from pathlib import Path

import pytest

from tests.support import command

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
QUORVAN = Path(sys.executable).parent / "quorvan"
SHOTS = Path("/tmp/review-shots")


def quorvan(*args, env):
    return command.quorvan(*args, env=env)


@pytest.fixture(scope="module")
def marked_class(tmp_path_factory):
    """The example class marked by `quorvan mark` against the example paper, once for the module."""
    from tests.support.standin import StandIn

    base = tmp_path_factory.mktemp("class")
    with StandIn() as server:
        env = dict(os.environ, OPENAI_BASE_URL=server.base_url, OPENAI_API_KEY="sk-test")
        paper = quorvan("paper", EXAMPLES / "question_paper.pdf", "--subject", "Science", "--class-level", "Class 8",
                        "-o", base / "paper.json", env=env)
        assert paper.returncode == 0, paper.stderr
        marked = quorvan("mark", "--paper", base / "paper.json", EXAMPLES / "sheets", "-o", base / "results",
                         env=env)
        assert marked.returncode == 0, marked.stderr + marked.stdout
    return base / "results"


@pytest.fixture
def results(marked_class, tmp_path):
    """A copy of the marked class of the test's own: changes of one test never reach another."""
    return Path(shutil.copytree(marked_class, tmp_path / "results"))


def class_file(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: {k.split(" (")[0]: v for k, v in r.items()} for r in csv.DictReader(f)}


def stored_events(out):
    db = sqlite3.connect(out / "marking.db")
    try:
        names = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
        table = next(n for n in names if "event" in n)
        db.row_factory = sqlite3.Row
        return [dict(r) for r in db.execute(f"SELECT * FROM {table} ORDER BY id")]
    finally:
        db.close()


class Review:
    """`quorvan review OUTDIR --no-browser --port 0` as a subprocess, and requests to it over http.client."""

    def __init__(self, out, reviewer="ms.rivera"):
        # Ctrl-C as a terminal delivers it, even where the tests run as a
        # background job (whose children start with SIGINT ignored).
        self.proc = subprocess.Popen([str(QUORVAN), "review", str(out), "--no-browser", "--port", "0",
                                      "--reviewer", reviewer],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.printed = []
        for line in self.proc.stdout:
            self.printed.append(line)
            if line.startswith("Review page: "):
                self.url = line.split(": ", 1)[1].strip()
                break
        else:
            raise AssertionError("no address printed: " + "".join(self.printed) + self.proc.stderr.read())
        parts = urllib.parse.urlsplit(self.url)
        self.host, self.port = parts.netloc, parts.port
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]

    def request(self, method, path, body=None, host=None, headers=None, raw=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            conn.putheader("Host", host or self.host)
            data = raw if raw is not None else (json.dumps(body).encode() if body is not None else b"")
            for k, v in (headers or {}).items():
                conn.putheader(k, v)
            if method != "GET":
                conn.putheader("Content-Type", "application/json")
                conn.putheader("Content-Length", str(len(data)))
            conn.endheaders(data if method != "GET" else None)
            response = conn.getresponse()
            payload = response.read()
            kind = response.getheader("Content-Type", "")
            return response.status, json.loads(payload) if kind.startswith("application/json") else payload
        finally:
            conn.close()

    def api(self, method, path, body=None):
        return self.request(method, path, body, headers={"X-Quorvan-Token": self.token})

    def stop(self, signum=signal.SIGINT):
        self.proc.send_signal(signum)
        try:
            return self.proc.wait(timeout=30)
        finally:
            self.proc.stdout.close()
            self.proc.stderr.close()


@pytest.fixture
def review(results):
    server = Review(results)
    yield server
    if server.proc.poll() is None:
        server.stop()


def sheet_named(review, file_name):
    status, data = review.api("GET", "/api/class")
    assert status == 200
    return next(s for s in data["sheets"] if s["file"] == file_name), data


# ------------------------------------------------------------------ access

@pytest.mark.parametrize("path, host, headers, expected", [
    ("/", None, {}, 403),                                    # no token
    ("/?token=" + "0" * 48, None, {}, 403),                  # a wrong token of the right length
    ("/?token=abc", None, {}, 403),                          # a wrong token of another length
    ("/api/class", None, {"X-Quorvan-Token": "0" * 48}, 403),
    ("/api/class", None, {}, 403),
    ("/?token={token}", "evil.example:{port}", {}, 403),     # DNS rebinding: a foreign name for this address
    ("/?token={token}", "localhost:{port}", {}, 403),
    ("/?token={token}", "127.0.0.1", {}, 403),
    ("/api/class", "evil.example:{port}", {"X-Quorvan-Token": "{token}"}, 403),
    ("/?token={token}", None, {}, 200),
    ("/api/class", None, {"X-Quorvan-Token": "{token}"}, 200),
    ("/review.js?token={token}", None, {}, 200),
])
def test_only_the_printed_address_with_its_token_is_served(review, path, host, headers, expected):
    fill = {"token": review.token, "port": review.port}
    status, body = review.request("GET", path.format(**fill), host=host and host.format(**fill),
                                  headers={k: v.format(**fill) for k, v in headers.items()})
    assert status == expected
    if expected == 403:
        assert b"marks" not in body and b"<html" not in body.lower()  # nothing of the class leaks
    elif path.startswith("/?"):
        assert review.token.encode() in body and b"review.js" in body


def test_other_methods_and_oversized_bodies_are_refused(review):
    assert review.request("PUT", "/api/change", raw=b"{}", headers={"X-Quorvan-Token": review.token})[0] == 405
    assert review.request("DELETE", "/api/change", headers={"X-Quorvan-Token": review.token})[0] == 405
    big = json.dumps({"sheet": 1, "q_id": "Q1", "field": "feedback", "value": "x" * 100_000}).encode()
    status, _ = review.request("POST", "/api/change", raw=big, headers={"X-Quorvan-Token": review.token})
    assert status == 413


# ----------------------------------------------------------------- changes

@pytest.mark.parametrize("body, status, words", [
    ({"q_id": "Q2", "field": "awarded", "value": 4.5}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "awarded", "value": -1}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "awarded", "value": "3 marks"}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "awarded", "value": "2,5,0"}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "awarded", "value": "4,5"}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "awarded", "value": True}, 400, "from 0 to 4"),
    ({"q_id": "Q2", "field": "criteria_met", "value": [0, 7]}, 400, "no criterion 7"),
    ({"q_id": "Q2", "field": "criteria_met", "value": "0"}, 400, "list"),
    ({"q_id": "Q2", "field": "approved", "value": "yes"}, 400, "true or false"),
    ({"q_id": "Q2", "field": "colour", "value": 1}, 400, "unknown field"),
    ({"q_id": "", "field": "awarded", "value": 1}, 400, "sheet as a whole"),
    ({"q_id": "Q9", "field": "awarded", "value": 1}, 404, "Q9"),
    ({"q_id": "Q2", "field": "awarded"}, 400, "'value' is missing"),
    ({"sheet": 999, "q_id": "Q2", "field": "awarded", "value": 1}, 404, "no sheet"),
])
def test_a_bad_change_is_refused_with_its_reason_and_nothing_is_stored(review, results, body, status, words):
    alice, _ = sheet_named(review, "alice.pdf")
    before = (results / "class_results.csv").read_bytes()
    got, answer = review.api("POST", "/api/change", {"sheet": alice["sheet"], **body})
    assert got == status and words in answer["error"]
    assert stored_events(results) == []
    assert (results / "class_results.csv").read_bytes() == before


def test_a_body_that_is_not_a_json_object_is_refused(review, results):
    for raw in (b"not json", b"[1, 2]"):
        status, answer = review.request("POST", "/api/change", raw=raw, headers={"X-Quorvan-Token": review.token})
        assert status == 400 and "JSON" in answer["error"]
    assert stored_events(results) == []


def test_a_mark_is_stored_as_an_event_and_the_class_file_follows(review, results):
    alice, data = sheet_named(review, "alice.pdf")
    q2 = [q["q_id"] for q in data["questions"]].index("Q2")
    model_mark = alice["cells"][q2]["awarded"]
    before = class_file(results)["alice.pdf"]
    new = 1.5 if model_mark != 1.5 else 2.5

    status, answer = review.api("POST", "/api/change", {"sheet": alice["sheet"], "q_id": "Q2", "field": "awarded",
                                                        "value": new})
    assert status == 200 and answer["warning"] is None
    (event,) = answer["events"]
    assert (event["field"], event["old"], event["new"], event["reviewer"]) == ("awarded", model_mark, new, "ms.rivera")
    (row,) = stored_events(results)
    assert (row["q_id"], row["field"], json.loads(row["old_value"]), json.loads(row["new_value"])) == \
        ("Q2", "awarded", model_mark, new)

    after = class_file(results)["alice.pdf"]
    assert float(after["Q2"]) == new
    assert float(after["total"]) == pytest.approx(float(before["total"]) - model_mark + new)
    alice, _ = sheet_named(review, "alice.pdf")
    assert "overridden" in alice["cells"][q2]["badges"] and alice["cells"][q2]["awarded"] == new

    # Clearing the decision brings the model's mark back, itself a stored event.
    status, answer = review.api("POST", "/api/clear", {"sheet": alice["sheet"], "q_id": "Q2"})
    assert status == 200 and [e["new"] for e in answer["events"]] == [None]
    assert float(class_file(results)["alice.pdf"]["Q2"]) == model_mark
    assert len(stored_events(results)) == 2


def test_ticks_set_the_mark_to_the_sum_of_their_criteria(review, results):
    bilal, _ = sheet_named(review, "bilal.pdf")
    status, answer = review.api("GET", f"/api/answer?sheet={bilal['sheet']}&q=Q2")
    assert status == 200
    marks = [c["mark"] for c in answer["criteria"]]
    ticked = [i for i in range(len(marks)) if i not in answer["model"]["criteria_met"]][:1] or [0]
    status, changed = review.api("POST", "/api/change", {"sheet": bilal["sheet"], "q_id": "Q2",
                                                         "field": "criteria_met", "value": ticked})
    assert status == 200
    assert [e["field"] for e in changed["events"]] == ["criteria_met", "awarded"]
    assert changed["answer"]["reviewed"]["criteria_met"] == ticked
    assert changed["answer"]["reviewed"]["awarded"] == sum(marks[i] for i in ticked)
    assert float(class_file(results)["bilal.pdf"]["Q2"]) == sum(marks[i] for i in ticked)


def test_approving_a_sheet_and_withdrawing_it(review, results):
    chen, _ = sheet_named(review, "chen.pdf")
    assert not chen["approved"]
    assert review.api("POST", "/api/approve", {"sheet": chen["sheet"]})[0] == 200
    assert sheet_named(review, "chen.pdf")[0]["approved"]
    assert review.api("POST", "/api/approve", {"sheet": chen["sheet"], "value": False})[0] == 200
    assert not sheet_named(review, "chen.pdf")[0]["approved"]
    assert [(e["q_id"], e["field"], e["new_value"]) for e in stored_events(results)] == \
        [("", "approved", "true"), ("", "approved", "false")]


def test_pages_are_drawn_as_png(review):
    alice, _ = sheet_named(review, "alice.pdf")
    status, answer = review.api("GET", f"/api/answer?sheet={alice['sheet']}&q=Q1")
    page = answer["pages"][0]
    status, png = review.api("GET", f"/api/page.png?sheet={alice['sheet']}&page={page}")
    assert status == 200 and png.startswith(b"\x89PNG\r\n\x1a\n")
    assert review.api("GET", f"/api/page.png?sheet={alice['sheet']}&page={page}")[1] == png  # drawn once, kept
    status, error = review.api("GET", f"/api/page.png?sheet={alice['sheet']}&page=99")
    assert status == 404 and "99" in error["error"]


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_the_server_ends_on_ctrl_c_and_sigterm_like_quorvan_mark(results, signum, code):
    server = Review(results)
    assert server.api("GET", "/api/class")[0] == 200
    assert server.stop(signum) == code


def test_review_needs_a_marked_class(tmp_path):
    result = subprocess.run([str(QUORVAN), "review", str(tmp_path), "--no-browser"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and "run quorvan mark first" in result.stderr


# ----------------------------------------------------------------- browser

@pytest.fixture
def browser():
    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("chromium and chromedriver are not installed (scripts/install.sh installs them)")
    webdriver = pytest.importorskip("selenium.webdriver")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(arg)
    # The browser is not ours to check for memory errors: a sanitizer runtime
    # preloaded for the command under test stays out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=driver_path, env=env), options=options)
    yield driver
    driver.quit()


def test_a_teacher_reviews_the_class_in_a_browser(review, results, browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, 30)
    shots = []

    def shot(name):
        path = tmp_path / name
        browser.save_screenshot(str(path))
        shots.append(path)

    browser.get(review.url)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#grid tbody tr")) == 3)
    shot("grid.png")
    names = [td.text.split("\n")[0] for td in browser.find_elements(By.CSS_SELECTOR, "#grid td.student")]
    # Alice's sheet names her on its first line; the others are known by their files.
    assert sorted(names) == ["Alice Fernandes", "bilal.pdf", "chen.pdf"]

    # Sorting by the total puts the lowest first, clicking again the highest.
    header = browser.find_element(By.CSS_SELECTOR, '#grid th[data-key="total"]')
    header.click()
    totals = [float(tr.find_elements(By.TAG_NAME, "td")[-2].text) for tr in
              browser.find_elements(By.CSS_SELECTOR, "#grid tbody tr")]
    assert totals == sorted(totals)

    # Keyboard: from the first cell, right once is Q1 of the first row; down to bilal's row, Enter opens it.
    rows = [tr.get_attribute("data-sheet") for tr in browser.find_elements(By.CSS_SELECTOR, "#grid tbody tr")]
    body = browser.find_element(By.TAG_NAME, "body")
    bilal, _ = sheet_named(review, "bilal.pdf")
    down = rows.index(str(bilal["sheet"]))
    body.send_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, *[Keys.ARROW_DOWN] * down, Keys.ENTER)  # Q2
    wait.until(ec.visibility_of_element_located((By.ID, "answer-view")))
    wait.until(lambda d: d.find_element(By.ID, "answer-title").text.endswith("Q2"))
    assert "bilal" in browser.find_element(By.ID, "answer-title").text
    wait.until(lambda d: d.execute_script(
        "return [...document.querySelectorAll('#pages img')].every(i => i.complete && i.naturalWidth > 0)"))
    shot("answer.png")

    # Override the mark.
    mark = browser.find_element(By.ID, "mark-input")
    mark.clear()
    mark.send_keys("1.5")
    browser.find_element(By.ID, "mark-save").click()
    wait.until(lambda d: d.find_element(By.ID, "message").text == "Mark saved.")
    assert float(class_file(results)["bilal.pdf"]["Q2"]) == 1.5

    # A mark above the maximum is refused with the server's reason.
    mark.clear()
    mark.send_keys("40")
    browser.find_element(By.ID, "mark-save").click()
    wait.until(lambda d: "from 0 to 4" in d.find_element(By.ID, "message").text)

    # Tick one more criterion: the mark follows the ticks.
    boxes = browser.find_elements(By.CSS_SELECTOR, "#criteria input.crit")
    unticked = [b for b in boxes if not b.is_selected()] or boxes
    unticked[0].click()
    wait.until(lambda d: d.find_element(By.ID, "message").text.startswith("Ticks saved"))
    status, answer = review.api("GET", f"/api/answer?sheet={bilal['sheet']}&q=Q2")
    ticked = answer["reviewed"]["criteria_met"]
    expected = sum(answer["criteria"][i]["mark"] for i in ticked)
    assert answer["reviewed"]["awarded"] == expected
    assert float(class_file(results)["bilal.pdf"]["Q2"]) == expected

    # Approve the whole sheet, then go back with Esc: the grid shows it.
    browser.find_element(By.ID, "approve-sheet").click()
    wait.until(lambda d: d.find_element(By.ID, "message").text == "Sheet approval saved.")
    body.send_keys(Keys.ESCAPE)
    wait.until(ec.visibility_of_element_located((By.ID, "grid-view")))
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, f'#grid tr.approved[data-sheet="{bilal["sheet"]}"]'))
    shot("grid-after.png")

    events = stored_events(results)
    assert [(e["q_id"], e["field"]) for e in events] == [("Q2", "awarded"), ("Q2", "criteria_met"),
                                                         ("Q2", "awarded"), ("", "approved")]
    assert {e["reviewer"] for e in events} == {"ms.rivera"}
    row = class_file(results)["bilal.pdf"]
    assert float(row["Q2"]) == expected
    report = json.loads((results / "bilal.json").read_text(encoding="utf-8"))
    assert expected in [r.get("awarded_marks", r.get("marks")) for r in report if r.get("qid") == "Q2"] or \
        str(expected) in json.dumps(report)

    SHOTS.mkdir(parents=True, exist_ok=True)
    for path in shots:
        assert path.stat().st_size > 0
        shutil.copy(path, SHOTS / path.name)


def test_the_calibration_panel_compares_the_teachers_marks_with_the_models(review):
    status, report = review.api("GET", "/api/agreement")
    assert status == 200 and report["overall"]["n"] == 0
    alice, _ = sheet_named(review, "alice.pdf")
    model = review.api("GET", f"/api/answer?sheet={alice['sheet']}&q=Q1")[1]["model"]["awarded"]
    review.api("POST", "/api/change", {"sheet": alice["sheet"], "q_id": "Q1", "field": "awarded", "value": model})
    status, report = review.api("GET", "/api/agreement")
    assert report["overall"]["n"] == 1 and report["overall"]["exact"] == 1
