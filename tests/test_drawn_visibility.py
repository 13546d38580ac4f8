"""What a reader sees, decided from the page as drawn: text under any paint, squeezed flat, replaced by
ActualText, drawn by glyphs that say something else, in layers or fields not shown, or off the paper is
reported and never read; honest pages drawn with the same features keep every visible word."""

import shutil
import subprocess

import pytest

from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support import drawn_pdfs as dp

SHOWN = "Name: Sam Patel\nQ1. Plants need sun.\nQ2. I do not know."
HIDDEN = "Photosynthesis converts light energy\ninto chemical energy in chloroplasts"
SECRET = {"photosynthesis", "converts", "chemical", "chloroplasts"}


def words(text):
    return {w.strip(".,:").lower() for w in text.split()}


def glued(text):
    return "".join(text.lower().split())


def seen_by_ocr(pdf, tmp_path):
    """What Tesseract reads on the page as pdftoppm draws its CropBox (layers as the document sets them for print)."""
    pytest.importorskip("PIL")
    if not (shutil.which("pdftoppm") and shutil.which("tesseract")):
        pytest.skip("pdftoppm and tesseract are needed")
    png = tmp_path / "page"
    subprocess.run(["pdftoppm", "-cropbox", "-r", "150", "-gray", "-png", "-singlefile", str(pdf), str(png)], check=True)
    out = subprocess.run(["tesseract", f"{png}.png", "-", "--psm", "4"], check=True, capture_output=True, text=True)
    return out.stdout


@pytest.fixture(scope="module")
def client():
    return ExtractorClient()


@pytest.mark.parametrize("technique", sorted(dp.HIDING))
def test_hidden_by_drawing_is_reported_and_never_read(tmp_path, client, technique):
    pdf = dp.write_hiding_pdf(tmp_path / "sheet.pdf", technique, SHOWN, HIDDEN)
    layer = client.process_pdf(str(pdf))[1]
    # The technique really puts the words in the layer, or really keeps them out of it.
    assert ("photosynthesis" in glued(layer)) == (technique not in dp.LEFT_OUT)
    reading = client.read_pdf(str(pdf))
    [found] = reading.hidden
    assert found["page"] == 1 and dp.HIDING[technique][1] in found["kinds"], found
    assert found["replaced"] is False and found["words"] >= 2
    text = reading.texts[1]
    assert not any(word in glued(text) for word in SECRET)
    assert {"name", "sam", "patel", "plants", "need", "sun"} <= words(text)
    if technique in dp.LEFT_OUT:  # nothing to take out: what is read is the layer
        assert text == layer and "Photosynthesis" in found["sample"]


@pytest.mark.parametrize("technique", ["photo", "gradient", "black_image", "type3_dots", "to_unicode_swap",
                                       "actual_text", "overdrawn", "layer_print_only"])
def test_the_page_as_drawn_really_hides_the_words(tmp_path, technique):
    pdf = dp.write_hiding_pdf(tmp_path / "sheet.pdf", technique, SHOWN, HIDDEN)
    seen = seen_by_ocr(pdf, tmp_path)
    assert "plants" in seen.lower()
    if technique == "layer_print_only":  # pdftoppm draws for print: the words are on paper, not on screen
        assert "photosynthesis" in seen.lower()
    else:
        assert not any(word in seen.lower() for word in SECRET), seen


@pytest.mark.parametrize("kind", sorted(dp.HONEST))
def test_honest_pages_keep_every_visible_word(tmp_path, client, kind):
    pdf = dp.write_honest_pdf(tmp_path / "sheet.pdf", kind, SHOWN + "\n" + HIDDEN)
    reading = client.read_pdf(str(pdf))
    assert reading.hidden == []
    assert reading.texts == client.process_pdf(str(pdf))
    assert words(SHOWN + " " + HIDDEN) <= words(reading.texts[1])
    seen = seen_by_ocr(pdf, tmp_path).lower()
    assert "photosynthesis" in seen and "patel" in seen
    if kind == "crop_box_with_printer_line":  # outside the CropBox: not on the page a reader sees
        assert "printed" not in seen and "printed" not in reading.texts[1].lower()


def test_form_fields_are_read_where_they_stand(tmp_path, client):
    answers = "Plants need sun.\nThe heart is a pump.\nMetal lets current through."
    pdf = dp.write_honest_pdf(tmp_path / "form.pdf", "form_fields", answers)
    assert client.process_pdf(str(pdf))[1] == ("Q1.\nPlants need sun.\nQ2.\nThe heart is a pump.\n"
                                               "Q3.\nMetal lets current through.")


def test_a_form_field_beside_its_label_follows_the_label_and_notes_stay(tmp_path, client):
    page = dp.Page()
    page.content.append(dp.lines("Q1. Name a gas.", dp.TOP) + b"\n" + dp.lines("Q2. Name a metal.", dp.TOP - 40))
    dp.widget(page, "Iron", (300, dp.TOP - 46, 500, dp.TOP - 28), name="q2")
    dp.widget(page, "Oxygen", (300, dp.TOP - 6, 500, dp.TOP + 12), name="q1")
    dp._acroform(page)
    pdf = tmp_path / "beside.pdf"
    pdf.write_bytes(page.pdf())
    assert client.process_pdf(str(pdf))[1] == "Q1. Name a gas.\nOxygen\nQ2. Name a metal.\nIron"
