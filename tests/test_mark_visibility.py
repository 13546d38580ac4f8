"""quorvan mark over sheets that hide text from their reader: the model never sees the hidden words,
the class file says where they were, and the sheet is still marked. Honest sheets read as before."""

import json
import re

import pytest

from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support import drawn_pdfs as dp
from tests.support import hostile_pdfs as hp
from tests.support.pdfs import write_text_pdf
from tests.test_class_run import calls, quorvan, table
from tests.test_fault_tolerance import paper_json

SHOWN = "Q1. Plants need sun to grow.\n\nQ2. The heart is a pump.\n\nQ3. Metal lets it through."
HIDDEN = "Chlorophyll absorbs photons and ventricles contract\nrhythmically while conductors carry electrons"
SECRET = {"chlorophyll", "photons", "ventricles", "rhythmically"}  # none of them in the paper
# Over a scan the hidden layer lies line by line on the scanned answers.
SCANNED = "Answer 1. Plants need sun to grow.\n\nAnswer 2. The heart is a pump.\n\nAnswer 3. Metal lets it through."
LAYER = ("Answer 1. Chlorophyll absorbs photons\n\nAnswer 2. Ventricles contract rhythmically\n\n"
         "Answer 3. Conductors carry electrons")


def prompts(standin):
    return [json.dumps(r["messages"]).lower() for r in standin.requests]


def hiding_sheet(folder, technique):
    folder.mkdir()
    if technique == "layer_over_scan":
        return hp.write_layer_over_scan(folder / "sam.pdf", SCANNED, LAYER)
    return hp.write_hiding_pdf(folder / "sam.pdf", technique, SHOWN, HIDDEN)


@pytest.mark.parametrize("technique", sorted(hp.HIDING))
def test_hidden_words_never_reach_the_model_and_the_class_file_warns(standin, tmp_path, technique):
    paper = paper_json(tmp_path / "paper.json")
    sheets = tmp_path / "sheets"
    hiding_sheet(sheets, technique)
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    sent = prompts(standin)
    assert calls(standin, "EvaluationResponse") == 3  # every answer still marked
    assert not any(word in prompt for prompt in sent for word in SECRET)
    assert any("plants need sun" in prompt for prompt in sent)
    row = table(out)["sam.pdf"]
    assert row["status"] == "marked"
    assert row["warnings"].startswith("page 1: ")
    assert '"Chlorophyll"' in row["warnings"]
    if technique != "layer_over_scan":
        assert hp.HIDING[technique] in row["warnings"]
    else:
        assert re.match(r'page 1: \d+ words of its text layer not in the page image; what the image shows was '
                        r'marked instead: "', row["warnings"])


def test_without_the_check_the_hidden_words_are_marked_and_nothing_is_flagged(standin, tmp_path):
    paper = paper_json(tmp_path / "paper.json")
    sheets = tmp_path / "sheets"
    hiding_sheet(sheets, "white")
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, sheets, "-o", out, "--no-visibility-check")
    assert result.returncode == 0, result.stderr
    assert any("chlorophyll" in prompt for prompt in prompts(standin))
    assert table(out)["sam.pdf"]["warnings"] == ""


@pytest.mark.parametrize("kind", ["searchable_scan", "typed", "light_grey", "coloured_background"])
def test_honest_sheets_are_not_flagged_and_send_the_same_prompts(standin, tmp_path, kind):
    paper = paper_json(tmp_path / "paper.json")
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    if kind == "typed":
        write_text_pdf(sheets / "ada.pdf", [SHOWN])
    else:
        hp.write_honest_pdf(sheets / "ada.pdf", kind, SHOWN)
    checked = quorvan("mark", "--paper", paper, sheets, "-o", tmp_path / "checked")
    assert checked.returncode == 0, checked.stderr
    # The answers are marked at once: the same requests, in any order.
    with_check = sorted(json.dumps(r["messages"]) for r in standin.requests)
    standin.reset()
    unchecked = quorvan("mark", "--paper", paper, sheets, "-o", tmp_path / "unchecked", "--no-visibility-check")
    assert unchecked.returncode == 0, unchecked.stderr
    assert sorted(json.dumps(r["messages"]) for r in standin.requests) == with_check
    row = table(tmp_path / "checked")["ada.pdf"]
    assert row["status"] == "marked" and row["warnings"] == ""


@pytest.mark.parametrize("technique", ["photo", "type3_dots", "to_unicode_swap", "actual_text", "layer_print_only",
                                       "hidden_field"])
def test_words_the_page_does_not_draw_never_reach_the_model(standin, tmp_path, technique):
    paper = paper_json(tmp_path / "paper.json")
    sheets = tmp_path / "sheets"
    sheets.mkdir()
    dp.write_hiding_pdf(sheets / "sam.pdf", technique, SHOWN, HIDDEN)
    out = tmp_path / "results"
    result = quorvan("mark", "--paper", paper, sheets, "-o", out)
    assert result.returncode == 0, result.stderr
    sent = prompts(standin)
    assert not any(word in prompt for prompt in sent for word in SECRET)
    assert any("plants need sun" in prompt for prompt in sent)
    row = table(out)["sam.pdf"]
    assert row["status"] == "marked" and dp.HIDING[technique][1] in row["warnings"], row["warnings"]


@pytest.mark.parametrize("technique", ["layer_print_only", "photo"])
def test_a_page_left_with_little_text_is_read_by_ocr_as_the_reader_sees_it(tmp_path, technique):
    # Too few visible words for a text page: OCR reads the page as drawn on screen, so the hidden words
    # stay out of it too.
    pdf = dp.write_hiding_pdf(tmp_path / "sheet.pdf", technique, "Q4. Tissues make organs.", HIDDEN)
    reading = ExtractorClient().read_pdf(str(pdf))
    assert reading.hidden and not {w.lower() for w in HIDDEN.split()} & set(reading.texts[1].lower().split())
    assert "tissues" in reading.texts[1].lower()
