"""The handwriting scans that other tests and the benchmarks build on: fonts found,
text on the page where it should be, wear deterministic, PDFs image-only."""

from __future__ import annotations

import subprocess

import pytest
from PIL import Image, ImageChops, ImageOps

from tests.support import handwriting
from tests.support.handwriting import FONTS, FontMissing, render_answer_page, write_handwritten_pdf

TEXT = "Q1. Enzymes are proteins that speed up reactions in the body."


def ink_box(image):
    """Bounding box of the dark pixels (ink), ignoring faint grain."""
    return ImageOps.invert(image).point(lambda v: 255 if v > 128 else 0).getbbox()


@pytest.mark.parametrize("font", list(FONTS))
def test_each_font_is_installed_and_writes_ink(font):
    image = render_answer_page(TEXT, font)
    assert image.mode == "L"
    assert image.size == (round(8.27 * 200), round(11.69 * 200))
    left, top, right, bottom = ink_box(image)
    # Inside the one-inch margins; one line about the glyph size high.
    assert left >= 200 - 5 and right <= image.width - 200
    assert top >= 200 - 5
    assert 20 <= bottom - top <= 3 * handwriting.GLYPH_PX_AT_200DPI


def test_glyph_size_follows_dpi():
    low = ink_box(render_answer_page(TEXT, "print", dpi=100))
    high = ink_box(render_answer_page(TEXT, "print", dpi=200))
    assert (high[2] - high[0]) == pytest.approx(2 * (low[2] - low[0]), rel=0.05)


def test_long_text_wraps_inside_the_margins_and_keeps_line_breaks():
    one_line = ink_box(render_answer_page("short", "breip"))
    long = " ".join(["photosynthesis"] * 40)
    box = ink_box(render_answer_page(long, "breip"))
    assert box[2] <= round(8.27 * 200) - 200
    assert box[3] - box[1] > 4 * (one_line[3] - one_line[1])
    two = ink_box(render_answer_page("first\nsecond", "breip"))
    assert two[3] - two[1] > 1.5 * (one_line[3] - one_line[1])


@pytest.mark.parametrize("text, message", [
    (" ".join(["answer"] * 2000), "lines"),
    ("x" * 400, "wider"),
])
def test_text_that_does_not_fit_is_refused(text, message):
    with pytest.raises(ValueError, match=message):
        render_answer_page(text, "print")


@pytest.mark.parametrize("font", ["comic-sans", "/no/such/font.ttf"])
def test_unknown_font_is_refused_with_the_choices(font):
    with pytest.raises(FontMissing, match="dkg-handwriting"):
        render_answer_page(TEXT, font)


def test_missing_font_names_its_package(monkeypatch):
    monkeypatch.setitem(FONTS, "breip", "/nowhere/Breip.ttf")
    with pytest.raises(FontMissing, match="fonts-breip"):
        render_answer_page(TEXT, "breip")


def test_wear_is_deterministic_per_seed_and_changes_the_page():
    clean = render_answer_page(TEXT, "femkeklaver")
    worn = render_answer_page(TEXT, "femkeklaver", degraded=True, seed=3)
    again = render_answer_page(TEXT, "femkeklaver", degraded=True, seed=3)
    other = render_answer_page(TEXT, "femkeklaver", degraded=True, seed=4)
    assert ImageChops.difference(worn, again).getbbox() is None
    assert ImageChops.difference(worn, other).getbbox() is not None
    assert ImageChops.difference(worn, clean).getbbox() is not None
    # Grain reaches the empty parts of the page, not only the ink.
    corner = (0, 0, 100, 100)
    assert clean.crop(corner).getextrema() == (255, 255)
    assert worn.crop(corner).getextrema()[0] < 255


def test_tilt_moves_the_ends_of_a_line_apart():
    line = "a " * 30
    clean = ink_box(render_answer_page(line, "print"))
    worn = ink_box(render_answer_page(line, "print", degraded=True))
    # 1.2 degrees over a line of ~1200 px lifts one end by ~25 px.
    assert (worn[3] - worn[1]) - (clean[3] - clean[1]) > 15


def _pdf_pages(path):
    info = subprocess.run(["pdfinfo", str(path)], capture_output=True, text=True, check=True).stdout
    return int(next(l for l in info.splitlines() if l.startswith("Pages:")).split()[1])


def test_pdf_has_one_image_page_per_text_and_no_text_layer(tmp_path):
    path = write_handwritten_pdf(tmp_path / "scan.pdf", ["first page", "second page", "third"], "dancingscript",
                                 degraded=True, seed=1)
    assert _pdf_pages(path) == 3
    text = subprocess.run(["pdftotext", str(path), "-"], capture_output=True, text=True, check=True).stdout
    assert text.strip() == ""
    # Pages of one file are worn differently, as a real scan's are.
    subprocess.run(["pdftoppm", "-gray", "-r", "50", "-png", str(path), str(tmp_path / "p")], check=True)
    first, second = (Image.open(tmp_path / f"p-{n}.png") for n in (1, 2))
    assert ImageChops.difference(first.crop((0, 0, 40, 40)), second.crop((0, 0, 40, 40))).getbbox() is not None


@pytest.mark.parametrize("pages, error", [([], ValueError), ("one string", TypeError)])
def test_pdf_needs_a_list_of_pages(tmp_path, pages, error):
    with pytest.raises(error):
        write_handwritten_pdf(tmp_path / "scan.pdf", pages, "print")
    assert not (tmp_path / "scan.pdf").exists()


def test_printed_scan_reads_back(tmp_path):
    # The printed hand is the control of the corpus: OCR must read it nearly whole.
    path = write_handwritten_pdf(tmp_path / "scan.pdf", [TEXT], "print", degraded=True)
    subprocess.run(["pdftoppm", "-gray", "-r", "150", "-png", str(path), str(tmp_path / "p")], check=True)
    read = subprocess.run(["tesseract", str(tmp_path / "p-1.png"), "-"], capture_output=True, text=True,
                          check=True).stdout
    for word in ("Enzymes", "proteins", "reactions"):
        assert word in read
