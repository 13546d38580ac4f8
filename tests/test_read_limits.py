"""Hostile PDFs fail alone: every sheet quorvan mark reads is read in a process of its own within limits of
pages, characters, time and memory, no prompt above the cap is sent, and Ctrl-C ends a reading at once.
Real PDFs, the real command, the stand-in for the model."""

import asyncio
import csv
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from quorvan_core.llm_service import LLMService, PromptTooLargeError
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, ReadLimitError, ReadLimits
from tests.support import command
from tests.support.heavy_pdfs import write_long_text_pdf, write_many_text_pages, write_xobject_bomb
from tests.support.pdfs import write_text_pdf
from tests.test_fault_tolerance import QUESTIONS, class_of, paper_json

QUORVAN = Path(sys.executable).parent / "quorvan"


def quorvan(*args, env=None):
    return command.quorvan(*args, env={**os.environ, **(env or {})})


def rows(out):
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return {r["file"]: r for r in csv.DictReader(f)}


def prompt_sizes(standin):
    return [sum(len(m["content"]) for m in r["messages"] if isinstance(m.get("content"), str))
            for r in standin.requests]


def failure_of(out, name):
    import sqlite3

    with sqlite3.connect(out / "marking.db") as db:
        return db.execute("SELECT status, failure FROM sheets WHERE report_name = ?", (name,)).fetchone()


# ------------------------------------------------------------ the class run

HOSTILE = {
    # name: (writer, options, the reason stored for it)
    "bomb": (lambda p: write_xobject_bomb(p, 17), ["--read-memory", "300"],
             "'{path}' needs more than 300 MB of memory to read (memory limit)"),
    "slow": (lambda p: write_xobject_bomb(p, 19), ["--read-timeout", "1"],
             "reading '{path}' stopped after 1 s (time limit)"),
    "pages": (lambda p: write_many_text_pages(p, 20000), [],
              "'{path}' has 20,000 pages; at most 300 are read (page limit)"),
    "chars": (lambda p: write_long_text_pdf(p, 8, 18000), ["--max-chars", "100000"],
              "'{path}' holds more than 100,000 characters of text (character limit)"),
}


@pytest.mark.e2e
@pytest.mark.parametrize("kind", sorted(HOSTILE))
def test_a_sheet_over_a_limit_fails_alone_with_its_reason(standin, tmp_path, kind):
    write, options, reason = HOSTILE[kind]
    sheets = class_of(tmp_path / "sheets", 2)
    hostile = write(sheets / "zz_hostile.pdf")
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"

    run = quorvan("mark", "--paper", paper, sheets, "-o", out, "--max-prompt-tokens", 20000, *options)
    assert run.returncode == 1, run.stderr
    table = rows(out)
    assert {name: row["status"] for name, row in table.items()} == {
        "s00.pdf": "marked", "s01.pdf": "marked", "zz_hostile.pdf": "failed"}
    expected = "Failed to extract text from PDF: " + reason.format(path=hostile)
    assert failure_of(out, "zz_hostile") == ("failed", expected)
    assert f"zz_hostile.pdf: {expected}" in run.stderr
    assert "Traceback" not in run.stderr
    # Only the two ordinary sheets reached the model, each prompt well under the cap.
    assert len(standin.requests) == 2 * (1 + len(QUESTIONS))
    assert max(prompt_sizes(standin)) < 20000


# In a build with AddressSanitizer (its runtime preloaded into the tests) the
# sanitizer catches the segfault, reports it and aborts.
SEGV_ENDS_IN = signal.SIGABRT if "libasan" in os.environ.get("LD_PRELOAD", "") else signal.SIGSEGV


@pytest.mark.e2e
@pytest.mark.parametrize("fault, signal_number", [("segv", SEGV_ENDS_IN), ("abort", signal.SIGABRT)])
def test_a_crash_of_the_pdf_library_fails_the_sheet_not_the_run(standin, tmp_path, fault, signal_number):
    sheets = class_of(tmp_path / "sheets", 2)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    # Test-only: quorvan-read dies this way once the file is open.
    run = quorvan("mark", "--paper", paper, sheets, "-o", out, env={"QUORVAN_READ_TEST_FAULT": fault})
    assert run.returncode == 1
    assert {r["status"] for r in rows(out).values()} == {"failed"}
    status, failure = failure_of(out, "s00")
    assert failure == (f"Failed to extract text from PDF: the PDF library crashed while reading "
                       f"'{sheets / 's00.pdf'}' (signal {int(signal_number)})")
    assert standin.requests == []


@pytest.mark.e2e
def test_ordinary_sheets_read_in_a_process_of_their_own_are_marked_as_before(standin, tmp_path):
    sheets = class_of(tmp_path / "sheets", 3)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    run = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert run.returncode == 0, run.stderr
    assert {r["status"] for r in rows(out).values()} == {"marked"}


@pytest.mark.e2e
def test_a_prompt_over_the_cap_is_refused_without_a_request(standin, tmp_path):
    folder = tmp_path / "sheets"
    folder.mkdir()
    answers = "\n\n".join(f"{q_id}. {reference}" for q_id, _, _, reference in QUESTIONS)
    write_text_pdf(folder / "short.pdf", [answers])
    write_text_pdf(folder / "long.pdf", [answers + "\n\n" + "More words on the answer. " * 60] * 6)
    paper = paper_json(tmp_path / "paper.json")
    out = tmp_path / "results"
    run = quorvan("mark", "--paper", paper, folder, "-o", out, "--max-prompt-tokens", 1500)
    assert run.returncode == 1
    status, failure = failure_of(out, "long")
    assert status == "failed"
    assert failure.startswith("Failed to parse answersheet: the prompt has an estimated ")
    assert failure.endswith(" tokens, more than the cap of 1,500 (max_prompt_tokens); it was not sent")
    assert {n: r["status"] for n, r in rows(out).items()} == {"long.pdf": "failed", "short.pdf": "marked"}, run.stderr
    # The short sheet's parse and marks; nothing of the long one.
    assert len(standin.requests) == 1 + len(QUESTIONS)


@pytest.mark.parametrize("option, value, message", [
    ("--max-pages", "0", "--max-pages must be at least 1"),
    ("--max-chars", "-5", "--max-chars must be at least 1"),
    ("--read-timeout", "0", "--read-timeout must be more than 0 and at most 86400 seconds"),
    ("--read-timeout", "nan", "--read-timeout must be more than 0 and at most 86400 seconds"),
    ("--read-memory", "50", "--read-memory must be at least 100 (MB)"),
    ("--max-prompt-tokens", "0", "--max-prompt-tokens must be at least 1"),
    ("--max-pages", "many", "invalid int value: 'many'"),
])
def test_limits_are_checked_on_the_command_line(tmp_path, option, value, message):
    sheet = write_text_pdf(tmp_path / "s.pdf", ["Q1. An answer."])
    run = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheet, "-o", tmp_path / "out",
                  option, value)
    assert run.returncode == 2
    assert message in run.stderr
    assert not (tmp_path / "out").exists()


# --------------------------------------------------------------- Ctrl-C

def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def is_reader(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"quorvan-read" in f.read()
    except OSError:
        return False


@pytest.mark.e2e
@pytest.mark.parametrize("how, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_ctrl_c_while_a_bomb_is_read_kills_the_reader_and_ends_the_run(standin, tmp_path, how, status):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_xobject_bomb(sheets / "bomb.pdf", 22)
    paper = paper_json(tmp_path / "paper.json")
    proc = subprocess.Popen([str(QUORVAN), "mark", "--paper", str(paper), str(sheets), "-o", str(tmp_path / "out")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    readers = []
    deadline = time.monotonic() + 60
    while not readers and time.monotonic() < deadline:
        readers = [c for c in children_of(proc.pid) if is_reader(c)]
        time.sleep(0.05)
    assert readers, "the sheet was not read in a process of its own"
    time.sleep(0.5)  # well into the bomb
    proc.send_signal(how)
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == status, stderr
    assert "Traceback" not in stderr
    for reader in readers:
        assert not os.path.exists(f"/proc/{reader}") or not is_reader(reader)


# ---------------------------------------------------------- the library

def test_read_pdf_with_limits_reads_what_reading_in_process_reads(tmp_path):
    pdf = write_text_pdf(tmp_path / "s.pdf", ["Q1. Première réponse, √2 ≈ 1.414", "Q2. Second page"])
    client = ExtractorClient("local")
    for pages in (None, [2], [2, 1, 2]):
        inside = client.read_pdf(str(pdf), pages)
        isolated = client.read_pdf(str(pdf), pages, limits=ReadLimits())
        assert isolated.texts == inside.texts
        assert isolated.hidden == inside.hidden


@pytest.mark.parametrize("pages, error, text", [
    ([3], ValueError, "page"),
    ([0], ValueError, "page"),
])
def test_read_pdf_with_limits_raises_what_reading_in_process_raises(tmp_path, pages, error, text):
    pdf = write_text_pdf(tmp_path / "s.pdf", ["Q1. An answer", "Q2. Another"])
    client = ExtractorClient("local")
    with pytest.raises(error) as inside:
        client.read_pdf(str(pdf), pages)
    with pytest.raises(error) as isolated:
        client.read_pdf(str(pdf), pages, limits=ReadLimits())
    assert str(isolated.value) == str(inside.value)


def test_a_missing_file_is_the_same_error_either_way(tmp_path):
    client = ExtractorClient("local")
    with pytest.raises(FileNotFoundError) as isolated:
        client.read_pdf(str(tmp_path / "none.pdf"), limits=ReadLimits())
    with pytest.raises(FileNotFoundError) as inside:
        client.read_pdf(str(tmp_path / "none.pdf"))
    assert str(isolated.value) == str(inside.value)


@pytest.mark.parametrize("limits, limit", [
    (ReadLimits(max_pages=2), "pages"),
    (ReadLimits(max_chars=50), "chars"),
])
def test_read_limit_errors_say_which_limit(tmp_path, limits, limit):
    pdf = write_text_pdf(tmp_path / "s.pdf", ["Q1. An answer that is long enough", "Q2. Another", "Q3. A third"])
    with pytest.raises(ReadLimitError) as e:
        ExtractorClient("local").read_pdf(str(pdf), limits=limits)
    assert e.value.limit == limit
    assert isinstance(e.value, ValueError)


@pytest.mark.parametrize("kwargs, message", [
    ({"max_pages": 0}, "max_pages must be at least 1"),
    ({"max_chars": 0}, "max_chars must be at least 1"),
    ({"timeout": -1}, "timeout must be more than 0 and at most 86400 seconds"),
    ({"timeout": float("inf")}, "timeout must be more than 0 and at most 86400 seconds"),
    ({"memory_mb": 10}, "memory_mb must be at least 100"),
])
def test_read_limits_refuse_values_out_of_range(kwargs, message):
    with pytest.raises(ValueError, match=message):
        ReadLimits(**kwargs)


def test_read_limits_assigned_later_are_checked_when_used(tmp_path):
    pdf = write_text_pdf(tmp_path / "s.pdf", ["Q1. An answer"])
    limits = ReadLimits()
    limits.max_pages = -1
    with pytest.raises(ValueError, match="max_pages must be at least 1"):
        ExtractorClient("local").read_pdf(str(pdf), limits=limits)


def test_setting_cancel_kills_a_reading_under_way(tmp_path):
    bomb = write_xobject_bomb(tmp_path / "bomb.pdf", 22)
    cancel = threading.Event()
    threading.Timer(0.5, cancel.set).start()
    with pytest.raises(RuntimeError, match="was cancelled"):
        ExtractorClient("local").read_pdf(str(bomb), limits=ReadLimits(), cancel=cancel)


# ---------------------------------------------------------- the prompt cap

def service_with_cap(cap):
    service = LLMService(token_log_file=os.devnull)
    service.max_prompt_tokens = cap
    return service


@pytest.mark.parametrize("call", ["blocking", "coroutine"])
def test_the_prompt_cap_refuses_a_call_before_it_reaches_the_model(standin, call):
    service = service_with_cap(50)
    messages = [{"role": "user", "content": "word " * 400}]
    from quorvan_core.llm_service import EvaluationResponse
    if call == "blocking":
        with pytest.raises(PromptTooLargeError) as e:
            service._make_api_call("task", messages, EvaluationResponse)
    else:
        with pytest.raises(PromptTooLargeError) as e:
            asyncio.run(service._make_api_call_async("task", messages, EvaluationResponse))
    assert e.value.cap == 50
    assert e.value.estimate == service._count_message_tokens(messages)
    assert str(e.value) == (f"the prompt has an estimated {e.value.estimate:,} tokens, more than the cap of 50 "
                            "(max_prompt_tokens); it was not sent")
    assert standin.requests == []
    assert service.get_total_usage()["total_input_tokens"] == 0


@pytest.mark.parametrize("cap", [None, 10**6])
def test_a_prompt_under_the_cap_or_without_one_is_sent(standin, cap):
    service = service_with_cap(cap)
    messages = [{"role": "user", "content": "word " * 400}]
    from quorvan_core.llm_service import EvaluationResponse
    service._make_api_call("task", messages, EvaluationResponse)
    assert len(standin.requests) == 1


def test_the_cap_counts_tokens_not_bytes(standin):
    # Far more bytes than tokens: under the cap although its bytes are not.
    messages = [{"role": "user", "content": "aaaa " * 2000}]
    service = service_with_cap(8000)
    assert service._count_message_tokens(messages) < 8000 < len(messages[0]["content"])
    from quorvan_core.llm_service import EvaluationResponse
    service._make_api_call("task", messages, EvaluationResponse)
    assert len(standin.requests) == 1


def test_the_default_cap_is_a_class_setting(api_key):
    assert LLMService.max_prompt_tokens == 100000
    assert LLMService(token_log_file=os.devnull).max_prompt_tokens == 100000
