"""How well each page was read: OCR's confidence per page, pages read badly sent to the vision model
when the reader allows it and a key is there, and flagged when they cannot be read again, in the
library and through quorvan mark, the results store and the class file."""

import json
import sqlite3

import pytest

from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, PdfReading, ReadLimits
from tests.support.handwriting import write_handwritten_pdf
from tests.support.pdfs import write_text_pdf
from tests.test_class_run import calls, quorvan, table
from tests.test_fault_tolerance import QUESTIONS, paper_json
from tests.test_review import browser  # noqa: F401 (a fixture)

# What the student wrote, as a person reads it.
WRITTEN = "\n\n".join(f"Answer {q_id[1:]}. {reference}" for q_id, _, _, reference in QUESTIONS)
# A hand OCR garbles once the scan is worn, and print, which it reads well either way.
BAD_HAND = dict(font="breip", degraded=True)
PRINT = dict(font="print", degraded=True)
# A hand OCR reads with low confidence but well enough for the answers to be found.
FAINT_HAND = dict(font="dancingscript", degraded=False)


@pytest.fixture
def scans(tmp_path):
    def write(name, font, degraded, pages=(WRITTEN,)):
        return str(write_handwritten_pdf(tmp_path / name, list(pages), font, degraded=degraded, seed=3))
    return write


def transcribe_as(standin, text):
    standin.set_answer("PageTranscription", {"text": text})


# ------------------------------------------------------------------ the library


@pytest.mark.parametrize("limits", [None, ReadLimits()], ids=["in process", "own process"])
def test_each_page_says_how_it_was_read(scans, tmp_path, limits):
    printed = scans("print.pdf", **PRINT)
    hand = scans("hand.pdf", **BAD_HAND)
    typed = str(write_text_pdf(tmp_path / "typed.pdf", ["Answer 1. Typed words here."]))
    client = ExtractorClient("local")

    page = client.read_pdf(printed, limits=limits).pages[0]
    assert (page["page"], page["method"], page["reliable"]) == (1, "ocr", True)
    assert page["confidence"] >= client.min_confidence and 0 <= page["low_share"] < 0.2
    assert page["note"] == f"read by OCR with a mean word confidence of {page['confidence']:.0f}%"

    page = client.read_pdf(hand, limits=limits).pages[0]
    assert (page["method"], page["reliable"]) == ("ocr", False)
    assert page["confidence"] < client.min_confidence
    assert page["note"] == (f"read by OCR with a mean word confidence of {page['confidence']:.0f}% (under 85%); "
                            "not read again: the reader is 'local', which sends no page to the model")

    reading = client.read_pdf(typed, limits=limits)
    assert reading.pages == [{"page": 1, "method": "text", "words": 5, "confidence": None, "low_share": None,
                              "reliable": True, "note": ""}]
    assert reading.calls == []


def test_the_record_is_the_same_in_process_and_in_a_process_of_its_own(scans):
    hand = scans("hand.pdf", "dancingscript", False, pages=(WRITTEN, "", WRITTEN))
    client = ExtractorClient("local")
    here, apart = client.read_pdf(hand), client.read_pdf(hand, limits=ReadLimits())
    assert here.pages == apart.pages and here.texts == apart.texts
    assert [p["method"] for p in here.pages] == ["ocr", "text", "ocr"]  # the blank page has nothing to read


def test_a_page_read_badly_goes_to_the_vision_model_and_its_transcription_is_kept(standin, scans):
    transcribe_as(standin, WRITTEN)
    hand, printed = scans("hand.pdf", **BAD_HAND), scans("print.pdf", **PRINT)
    client = ExtractorClient("local", reader="auto")

    reading = client.read_pdf(hand)
    assert reading.texts == {1: WRITTEN}
    page = reading.pages[0]
    assert (page["method"], page["reliable"], page["words"]) == ("vision", True, len(WRITTEN.split()))
    assert page["note"].startswith("read by the vision model; OCR's mean word confidence was ")
    assert len(reading.calls) == 1
    call = reading.calls[0]
    assert {k: call[k] for k in ("task", "page", "model", "ok")} == {
        "task": "transcribe_page", "page": 1, "model": client.model, "ok": True}
    assert call["input_tokens"] > 0 and call["output_tokens"] > 0

    # Print reads well: it is not sent.
    assert client.read_pdf(printed).pages[0]["method"] == "ocr"
    assert calls(standin, "PageTranscription") == 1


def test_the_vision_reader_reads_every_scanned_page_and_never_a_text_layer(standin, scans, tmp_path):
    transcribe_as(standin, "as the model read it")
    typed = str(write_text_pdf(tmp_path / "typed.pdf", ["Answer 1. Typed words here."]))
    client = ExtractorClient("local", reader="vision")
    assert client.read_pdf(scans("print.pdf", **PRINT)).texts == {1: "as the model read it"}
    assert client.read_pdf(typed).texts == {1: "Answer 1. Typed words here."}
    assert calls(standin, "PageTranscription") == 1


def test_without_a_key_a_page_read_badly_keeps_its_text_and_is_flagged(scans, monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    hand = scans("hand.pdf", **BAD_HAND)
    ocr_text = ExtractorClient("local").process_pdf(hand)
    reading = ExtractorClient("local", reader="auto").read_pdf(hand)
    assert reading.texts == ocr_text
    assert reading.pages[0]["reliable"] is False
    assert reading.pages[0]["note"].endswith(
        "not read again: the vision model needs an OpenAI API key (api_key or the OPENAI_API_KEY environment "
        "variable)")
    with pytest.raises(ValueError) as e:
        ExtractorClient("local", reader="vision").read_pdf(hand)
    assert str(e.value) == ("The 'vision' reader needs an OpenAI API key (api_key or the OPENAI_API_KEY "
                            "environment variable)")


def test_a_failed_vision_call_keeps_the_ocr_text_flags_the_page_and_is_counted(standin, scans):
    hand = scans("hand.pdf", **BAD_HAND)
    ocr_text = ExtractorClient("local").process_pdf(hand)
    standin.inject("500", schema="PageTranscription")
    reading = ExtractorClient("local", reader="auto").read_pdf(hand)
    assert reading.texts == ocr_text
    assert reading.pages[0]["reliable"] is False
    assert "; not read again: the vision model failed (" in reading.pages[0]["note"]
    assert [(c["ok"], c["output_tokens"]) for c in reading.calls] == [(False, 0)]


@pytest.mark.parametrize("kwargs, message", [
    (dict(reader="remote"), "reader must be 'auto', 'local' or 'vision', got 'remote'"),
    (dict(min_confidence=101), "min_confidence must be a number from 0 to 100, got 101"),
    (dict(min_confidence=float("nan")), "min_confidence must be a number from 0 to 100, got nan"),
])
def test_reader_settings_are_checked(kwargs, message):
    with pytest.raises(ValueError) as e:
        ExtractorClient("local", **kwargs)
    assert str(e.value) == message
    client = ExtractorClient("local")
    for name, value in kwargs.items():
        setattr(client, name, value)  # assigned later: checked when reading
    with pytest.raises(ValueError) as e:
        client.process_pdf("/nonexistent.pdf")
    assert str(e.value) == message


def test_settings_default_to_sending_nothing_and_old_readings_still_build():
    client = ExtractorClient("local")
    assert (client.reader, client.min_confidence) == ("local", 85.0)
    assert "reader" not in vars(client) and "min_confidence" not in vars(client)
    reading = PdfReading({1: "x"}, [])
    assert (reading.pages, reading.calls) == ([], [])


# ------------------------------------------------------------------ quorvan mark


def sheet_rows(out, name):
    with sqlite3.connect(out / "marking.db") as db:
        db.row_factory = sqlite3.Row
        sheet_id = db.execute("SELECT id FROM sheets WHERE path_given LIKE ?", (f"%{name}",)).fetchone()[0]
        pages = [dict(r) for r in db.execute("SELECT * FROM page_reading WHERE sheet_id = ?", (sheet_id,))]
        answers = {r["q_id"]: (r["text"], json.loads(r["flags"]))
                   for r in db.execute("SELECT q_id, text, flags FROM answers WHERE sheet_id = ?", (sheet_id,))}
    return pages, answers


def test_mark_sends_a_badly_read_scan_to_the_vision_model_and_marks_its_transcription(standin, tmp_path):
    transcribe_as(standin, WRITTEN)
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_handwritten_pdf(sheets / "hand.pdf", [WRITTEN], **BAD_HAND, seed=3)
    write_handwritten_pdf(sheets / "print.pdf", [WRITTEN], **PRINT, seed=3)
    out = tmp_path / "out"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    assert calls(standin, "PageTranscription") == 1  # the hand only

    rows = table(out)
    assert {name: (rows[name]["status"], rows[name]["warnings"]) for name in rows} == {
        "hand.pdf": ("marked", ""), "print.pdf": ("marked", "")}
    pages, answers = sheet_rows(out, "hand.pdf")
    assert [(p["method"], p["reliable"]) for p in pages] == [("vision", 1)]
    assert {q: text for q, (text, _) in answers.items()} == {q_id: ref for q_id, _, _, ref in QUESTIONS}
    # The transcription's cost is counted with the sheet's other calls.
    assert "transcribe_page" in (out / "usage.log").read_text(encoding="utf-8")


def marked_locally(tmp_path):
    """A faint handwritten sheet marked with --reader local: its results folder."""
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_handwritten_pdf(sheets / "hand.pdf", [WRITTEN], **FAINT_HAND, seed=3)
    out = tmp_path / "out"
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", out, "--reader", "local")
    assert result.returncode == 0, result.stderr
    return out


def test_mark_with_the_local_reader_flags_the_sheet_and_its_answers_and_still_marks_them(standin, tmp_path):
    out = marked_locally(tmp_path)
    assert calls(standin, "PageTranscription") == 0
    row = table(out)["hand.pdf"]
    assert row["status"] == "marked"
    assert row["warnings"].startswith("page 1: read by OCR with a mean word confidence of ")
    assert ("not read again: the reader is 'local', which sends no page to the model; check the text against the "
            "page image") in row["warnings"]
    pages, answers = sheet_rows(out, "hand.pdf")
    assert [(p["method"], p["reliable"]) for p in pages] == [("ocr", 0)]
    flagged = [q for q, (_, flags) in answers.items() if any(f["kind"] == "unreliable_reading" for f in flags)]
    assert flagged and flagged == sorted(answers)
    for q in flagged:
        assert {"kind": "unreliable_reading",
                "note": f"{q}: written on page 1, which was read unreliably; check the text against the page image"
                } in answers[q][1]


def test_mark_refuses_the_local_reader_with_the_vision_extractor(standin, tmp_path):
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    write_text_pdf(sheets / "typed.pdf", [WRITTEN])
    result = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), sheets, "-o", tmp_path / "out",
                     "--reader", "local", "--extractor", "openai")
    assert result.returncode == 2
    assert ("--reader local sends no page image to the model; it cannot be used with --extractor openai"
            in result.stderr)


def test_the_review_page_shows_a_page_read_badly_beside_its_text(standin, tmp_path, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    from tests.test_review import SHOTS, Review

    out = marked_locally(tmp_path)
    pages, _ = sheet_rows(out, "hand.pdf")
    review = Review(out)
    try:
        status, data = review.api("GET", "/api/class")
        sheet = data["sheets"][0]["sheet"]
        status, answer = review.api("GET", f"/api/answer?sheet={sheet}&q=Q1")
        assert status == 200
        assert answer["page_reading"] == {"1": {"method": "ocr", "reliable": False, "note": pages[0]["note"]}}

        browser.get(review.url)
        wait = WebDriverWait(browser, 30)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#grid tbody tr"))
        browser.execute_script("openAnswer(arguments[0], 'Q1')", sheet)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#pages figure.unreliable figcaption"))
        wait.until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#pages img')].every(i => i.complete && i.naturalWidth > 0)"))
        caption = browser.find_element(By.CSS_SELECTOR, "#pages figure.unreliable figcaption").text
        assert caption == "Page 1: " + pages[0]["note"]
        SHOTS.mkdir(exist_ok=True)
        browser.save_screenshot(str(SHOTS / "unreliable-page.png"))
    finally:
        review.stop()
