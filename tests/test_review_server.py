"""The review server takes only what it can keep and give back, never shows its token on a command line, and stays
up for the teacher while other connections stall. The real `quorvan review` process over real sockets."""

import http.client
import json
import os
import socket
import sqlite3
import stat
import subprocess
import time
import urllib.parse

import pytest

from tests.test_review import QUORVAN, Review, marked_class, results, sheet_named, stored_events  # noqa: F401


@pytest.fixture
def review(results):  # noqa: F811
    server = Review(results)
    yield server
    if server.proc.poll() is None:
        server.stop()


@pytest.mark.parametrize("body, words", [
    ({"q_id": "Q2", "field": "feedback", "value": "\ud800"}, "'value' holds a lone surrogate"),
    ({"q_id": "Q2", "field": "feedback", "value": "a\u0000b"}, "'value' holds a NUL character"),
    ({"q_id": "Q2\ud800", "field": "feedback", "value": "x"}, "'q_id' holds a lone surrogate"),
    ({"q_id": "Q2", "field": "feedback", "value": "x", "note\ud800": 1}, "a field's name holds a lone surrogate"),
    ({"sheet": 2 ** 64, "q_id": "Q2", "field": "awarded", "value": 1}, "'sheet' must be a sheet's id"),
    ({"sheet": -1, "q_id": "Q2", "field": "awarded", "value": 1}, "'sheet' must be a sheet's id"),
])
def test_what_cannot_be_kept_is_refused_with_its_field_and_nothing_is_stored(review, results, body, words):
    alice, _ = sheet_named(review, "alice.pdf")
    # ensure_ascii keeps a lone surrogate as the \ud800 escape a client would send.
    raw = __import__("json").dumps({"sheet": alice["sheet"], **body}).encode()
    status, answer = review.request("POST", "/api/change", raw=raw, headers={"X-Quorvan-Token": review.token})
    assert status == 400 and words in answer["error"]
    assert stored_events(results) == []
    assert review.api("GET", f"/api/answer?sheet={alice['sheet']}&q=Q2")[0] == 200


def test_feedback_with_every_kind_of_text_is_kept_whole(review, results):
    alice, _ = sheet_named(review, "alice.pdf")
    text = "Très bien — 好 \U0001F600 \t tab; नमस्ते"
    status, _ = review.api("POST", "/api/change", {"sheet": alice["sheet"], "q_id": "Q1", "field": "feedback",
                                                    "value": text})
    assert status == 200
    status, answer = review.api("GET", f"/api/answer?sheet={alice['sheet']}&q=Q1")
    assert status == 200 and answer["reviewed"]["feedback"] == text


def test_the_browser_gets_a_one_time_address_and_the_token_as_a_cookie(results, tmp_path):  # noqa: F811
    opened = tmp_path / "opened.txt"
    browser = tmp_path / "browser"
    browser.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" > {opened}\n")
    browser.chmod(browser.stat().st_mode | stat.S_IEXEC)
    env = dict(os.environ, BROWSER=str(browser))
    proc = subprocess.Popen([str(QUORVAN), "review", str(results), "--port", "0", "--reviewer", "ms.rivera"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = next(l for l in proc.stdout if l.startswith("Review page: "))
        url = urllib.parse.urlsplit(line.split(": ", 1)[1].strip())
        token, port = urllib.parse.parse_qs(url.query)["token"][0], url.port
        deadline = time.monotonic() + 30
        while not (opened.exists() and opened.read_text()) and time.monotonic() < deadline:
            time.sleep(0.05)
        address = opened.read_text().strip()
        assert token not in address and "/open?once=" in address  # what `ps` shows of the browser

        def get(path, cookie=None):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            headers = {"Host": f"127.0.0.1:{port}"}
            if cookie:
                headers["Cookie"] = cookie
            conn.request("GET", path, headers=headers)
            response = conn.getresponse()
            response.read()
            conn.close()
            return response

        path = address.split(str(port), 1)[1]
        first = get(path)
        assert first.status == 303 and first.getheader("Location") == "/"
        cookie = first.getheader("Set-Cookie")
        assert cookie == f"quorvan_token={token}; HttpOnly; SameSite=Strict; Path=/"
        assert get(path).status == 403  # void once used
        assert get("/api/class", cookie=f"other=1; quorvan_token={token}").status == 200
        assert get("/api/class", cookie="quorvan_token=" + "0" * len(token)).status == 403
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()


def test_stalled_connections_do_not_hold_the_page_up(review):
    stalled = []
    try:
        for _ in range(12):
            s = socket.create_connection(("127.0.0.1", review.port))
            s.sendall(b"GET /api/class HTTP/1.1\r\nHost: 127.0.0.1")  # and then nothing
            stalled.append(s)
        started = time.monotonic()
        status, data = review.api("GET", "/api/class")
        assert status == 200 and data["sheets"]
        assert time.monotonic() - started < 4  # answered before any stalled one timed out
    finally:
        for s in stalled:
            s.close()


def test_a_large_change_sent_with_expect_100_continue_is_taken(review, results):
    alice, _ = sheet_named(review, "alice.pdf")
    body = __import__("json").dumps({"sheet": alice["sheet"], "q_id": "Q1", "field": "feedback",
                                     "value": "x" * 12_000}).encode()
    status, answer = review.request("POST", "/api/change", raw=body,
                                    headers={"X-Quorvan-Token": review.token, "Expect": "100-continue"})
    assert status == 200, answer
    assert len(answer["answer"]["reviewed"]["feedback"]) == 12_000


def test_feedback_stored_before_it_was_checked_can_still_be_read(results):  # noqa: F811
    # A lone surrogate kept by an older version, as its JSON escape: read back as U+FFFD, everywhere.
    server = Review(results)
    alice, _ = sheet_named(server, "alice.pdf")
    assert server.api("POST", "/api/change", {"sheet": alice["sheet"], "q_id": "Q1", "field": "feedback",
                                              "value": "placeholder"})[0] == 200
    server.stop()
    db = sqlite3.connect(results / "marking.db")
    columns = [r[1] for r in db.execute("PRAGMA table_info(events)") if r[1] != "id"]
    picked = ", ".join("?" if c == "new_value" else c for c in columns)
    with db:  # events are never rewritten: a later one stands
        db.execute(f"INSERT INTO events ({', '.join(columns)}) SELECT {picked} FROM events WHERE field = 'feedback'",
                   ('"Good \\ud800 work"',))
    db.close()
    server = Review(results)
    try:
        status, answer = server.api("GET", f"/api/answer?sheet={alice['sheet']}&q=Q1")
        assert status == 200 and answer["reviewed"]["feedback"] == "Good \ufffd work"
        # Another change writes the sheet's reports again, this feedback among them.
        assert server.api("POST", "/api/change", {"sheet": alice["sheet"], "q_id": "Q2", "field": "approved",
                                                  "value": True})[0] == 200
    finally:
        server.stop()
    reports = {r["qid"]: r for r in json.loads((results / "alice.json").read_text(encoding="utf-8"))}
    assert "Good \ufffd work" in reports["Q1"]["feedback"]
