"""Real PDF files for tests: text PDFs, image-only scans and broken files.

Every writer takes the destination path first and returns it as a ``pathlib.Path``,
so a test can write ``extractor.process_pdf(str(write_text_pdf(tmp_path / "q.pdf", pages)), None)``.
"""

from __future__ import annotations

import functools
import io
import os
import subprocess
from pathlib import Path
from typing import Iterable, Optional, Sequence, Union

PathLike = Union[str, os.PathLike]

# Text PDFs need one font with Latin accents, Devanagari and mathematical
# symbols (GNU FreeFont covers all three; Debian package fonts-freefont-ttf).
_UNICODE_FONTS = (
    "/usr/share/fonts/truetype/freefont/FreeSerif.ttf",
    "/usr/share/fonts/truetype/freefont/FreeSans.ttf",
)
# Scans only need clear Latin glyphs; DejaVu comes with most Debian systems.
_SCAN_FONTS = (
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/freefont/FreeSans.ttf",
)

A4_POINTS = (595.28, 841.89)

# Characters every Unicode text PDF must be able to carry.
UNICODE_SAMPLE = "é ü ñ ç ß नमस्ते गणित ∑ ∫ √ π ≤ ≥ ≠ ∞ α β θ ± ×"


class FontMissing(RuntimeError):
    """No installed font can draw the requested text."""


def _fc_candidates(lang: Optional[str]) -> list[str]:
    # fontconfig knows fonts installed elsewhere than the usual Debian paths.
    pattern = f":lang={lang}" if lang else ":"
    try:
        out = subprocess.run(
            ["fc-list", pattern, "file"], capture_output=True, text=True, timeout=30, check=False
        ).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    files = [line.split(":")[0].strip() for line in out.splitlines()]
    return sorted(f for f in files if f.lower().endswith(".ttf"))


def _covers(font_path: str, text: str) -> bool:
    from fontTools.ttLib import TTFont

    with TTFont(font_path, lazy=True) as font:
        cmap = font.getBestCmap() or {}
    return all(ord(ch) in cmap for ch in text if not ch.isspace())


def find_font(text: str = UNICODE_SAMPLE, preferred: Iterable[str] = _UNICODE_FONTS) -> str:
    """Path of an installed TrueType font that has a glyph for every character of ``text``."""
    return _find_font(text, tuple(preferred))


@functools.lru_cache(maxsize=None)
def _find_font(text: str, preferred: tuple[str, ...]) -> str:
    tried = []
    for path in [*preferred, *_fc_candidates("hi"), *_fc_candidates(None)]:
        if path in tried or not os.path.exists(path):
            continue
        tried.append(path)
        if _covers(path, text):
            return path
    raise FontMissing(
        "no installed TrueType font covers the text; install fonts-freefont-ttf "
        f"(tried {len(tried)} fonts)"
    )


def _fpdf(font_path: str, size: float, page_size=A4_POINTS):
    from fpdf import FPDF

    pdf = FPDF(unit="pt", format=tuple(page_size))
    pdf.set_auto_page_break(auto=True, margin=50)
    pdf.set_margins(50, 50, 50)
    pdf.add_font("body", fname=font_path)
    pdf.set_font("body", size=size)
    return pdf


def _text_pages(pdf, pages: Sequence[str], size: float) -> None:
    for text in pages:
        pdf.add_page()
        if text:
            # One paragraph a line, so the text's own line breaks survive.
            pdf.multi_cell(0, size * 1.5, text)


# The bytes of every file written so far, by writer and arguments: the same file
# asked for again (a class of identical sheets, the same sheet in many tests) is
# copied rather than drawn again, which takes fpdf2 a fifth of a second a page.
_written: dict[tuple, bytes] = {}


def _remembered(write):
    @functools.wraps(write)
    def writer(path: PathLike, *args, **kwargs) -> Path:
        key = (write.__name__, repr(args), repr(sorted(kwargs.items())))
        path = Path(path)
        data = _written.get(key)
        if data is not None:
            path.write_bytes(data)
            return path
        write(path, *args, **kwargs)
        _written[key] = path.read_bytes()
        return path

    return writer


@_remembered
def write_text_pdf(
    path: PathLike,
    pages: Sequence[str],
    *,
    font: Optional[str] = None,
    size: float = 14,
    page_size: tuple[float, float] = A4_POINTS,
) -> Path:
    """A PDF with a text layer, one page for each string of ``pages`` (line breaks kept).

    The text may mix Latin accents, Devanagari and mathematical symbols. An empty
    string gives a blank page. ``page_size`` is (width, height) in points.
    """
    path = Path(path)
    font_path = font or find_font("".join(pages) or "a")
    pdf = _fpdf(font_path, size, page_size)
    _text_pages(pdf, pages, size)
    pdf.output(str(path))
    return path


def write_encrypted_pdf(
    path: PathLike,
    pages: Sequence[str],
    *,
    user_password: Optional[str] = "secret",
    owner_password: str = "owner",
) -> Path:
    """A text PDF protected by encryption.

    With a user password (the default) the file cannot be read without it; with
    ``user_password=None`` it opens freely and only the owner password guards it.
    """
    path = Path(path)
    pdf = _fpdf(find_font("".join(pages) or "a"), 14)
    pdf.set_encryption(owner_password=owner_password, user_password=user_password)
    _text_pages(pdf, pages, 14)
    pdf.output(str(path))
    return path


def render_page_image(text: str, *, dpi: int = 200, font: Optional[str] = None, font_pt: float = 14):
    """An A4 page as a white greyscale Pillow image with ``text`` drawn on it in black."""
    from PIL import Image, ImageDraw, ImageFont

    width, height = round(8.27 * dpi), round(11.69 * dpi)
    image = Image.new("L", (width, height), 255)
    draw = ImageDraw.Draw(image)
    face = ImageFont.truetype(font or find_font(text or "a", _SCAN_FONTS), round(font_pt * dpi / 72))
    margin = dpi  # one inch
    line_height = round(font_pt * 1.6 * dpi / 72)
    y = margin
    for line in text.split("\n"):
        draw.text((margin, y), line, fill=0, font=face)
        y += line_height
    return image


@_remembered
def write_scanned_pdf(
    path: PathLike,
    pages: Sequence[str],
    *,
    dpi: int = 200,
    font: Optional[str] = None,
    font_pt: float = 14,
    stamp: Optional[str] = None,
) -> Path:
    """An image-only PDF, one scanned A4 page for each string of ``pages``.

    Text is drawn at ``font_pt`` points, large and clean enough for OCR to read
    it back; an empty string gives a blank scan. With ``stamp``, each page also
    carries that short line as real text at its foot, as scanner apps add
    ("Scanned with ..."); without it the file has no text layer at all.
    """
    path = Path(path)
    if not pages:
        raise ValueError("a scan needs at least one page")
    images = [render_page_image(text, dpi=dpi, font=font, font_pt=font_pt) for text in pages]
    if stamp is None:
        images[0].save(path, "PDF", resolution=float(dpi), save_all=True, append_images=images[1:])
        return path
    pdf = _fpdf(find_font(stamp or "a", _SCAN_FONTS), 8)
    pdf.set_auto_page_break(auto=False)  # the stamp sits inside the bottom margin
    for image in images:
        pdf.add_page()
        pdf.image(image, x=0, y=0, w=A4_POINTS[0], h=A4_POINTS[1])
        pdf.set_xy(50, A4_POINTS[1] - 30)
        pdf.cell(text=stamp)
    pdf.output(str(path))
    return path


@_remembered
def write_mixed_pdf(path: PathLike, pages: Sequence[str], scanned: Iterable[int], *, dpi: int = 200) -> Path:
    """Typed and scanned pages in one file: the pages whose numbers (from 1) are in
    ``scanned`` are images without text, the others carry a text layer."""
    path = Path(path)
    scanned = set(scanned)
    pdf = _fpdf(find_font("".join(pages) or "a"), 14)
    for number, text in enumerate(pages, start=1):
        if number in scanned:
            pdf.add_page()
            pdf.image(render_page_image(text, dpi=dpi), x=0, y=0, w=A4_POINTS[0], h=A4_POINTS[1])
        else:
            _text_pages(pdf, [text], 14)
    pdf.output(str(path))
    return path


def _assemble(objects: Sequence[bytes], root: int = 1, trailer_extra: bytes = b"") -> bytes:
    """A PDF file from its numbered objects (1..n), with a correct cross-reference table."""
    out = io.BytesIO()
    out.write(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(out.tell())
        out.write(b"%d 0 obj\n" % number + body + b"\nendobj\n")
    xref = out.tell()
    out.write(b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1))
    for offset in offsets:
        out.write(b"%010d 00000 n \n" % offset)
    out.write(b"trailer\n<< /Size %d /Root %d 0 R%s >>\n" % (len(objects) + 1, root, trailer_extra))
    out.write(b"startxref\n%d\n%%%%EOF\n" % xref)
    return out.getvalue()


def zero_page_pdf_bytes() -> bytes:
    """A well-formed PDF whose page tree is empty."""
    return _assemble([b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [] /Count 0 >>"])


def write_zero_page_pdf(path: PathLike) -> Path:
    """A well-formed PDF with no pages at all."""
    path = Path(path)
    path.write_bytes(zero_page_pdf_bytes())
    return path


def write_truncated_pdf(path: PathLike, source: PathLike, keep: float = 0.1) -> Path:
    """The first ``keep`` fraction of the PDF ``source``, as a download cut short leaves it."""
    path = Path(path)
    data = Path(source).read_bytes()
    path.write_bytes(data[: max(16, int(len(data) * keep))])
    return path


def write_corrupt_pdf(path: PathLike) -> Path:
    """A file that starts like a PDF and then holds nothing a reader can use."""
    path = Path(path)
    path.write_bytes(b"%PDF-1.7\n" + bytes(range(256)) * 8 + b"\nthis is no PDF structure\n")
    return path


def write_not_pdf(path: PathLike, content: bytes = b"Question 1: name three prime numbers.\n") -> Path:
    """A plain file with a .pdf name but no PDF inside (by default a line of text)."""
    path = Path(path)
    path.write_bytes(content)
    return path


def _pdf_string(text: str) -> bytes:
    """A PDF literal string of Latin-1 text."""
    raw = text.encode("latin-1")
    return b"(" + raw.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)") + b")"


def plain_pages_pdf_bytes(
    pages: Sequence[str],
    *,
    page_size: tuple[float, float] = A4_POINTS,
    broken_from: Optional[int] = None,
    count: Optional[int] = None,
) -> bytes:
    """A PDF written object by object: one page per string (Latin-1 text in
    Helvetica, one line per line), fast enough for tens of thousands of pages.

    ``broken_from`` (a page number) replaces that page's page-tree entry with a
    string, so readers count the page but cannot load it or any after it.
    ``count`` overrides the page count the page tree declares.
    """
    width, height = page_size
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b"", b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    kids = []
    for number, text in enumerate(pages, start=1):
        page_obj, content_obj = len(objects) + 1, len(objects) + 2
        kids.append(b"(no page)" if number == broken_from else b"%d 0 R" % page_obj)
        lines = b" ".join(_pdf_string(line) + b" Tj T*" for line in text.split("\n")) if text else b""
        content = b"BT /F1 12 Tf 16 TL 50 %.2f Td %s ET" % (height - 60, lines)
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] "
                       b"/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>" % (width, height, content_obj))
        objects.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
    declared = len(pages) if count is None else count
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), declared)
    return _assemble(objects)


def write_plain_pages_pdf(path: PathLike, pages: Sequence[str], **options) -> Path:
    """``plain_pages_pdf_bytes`` written to ``path``."""
    path = Path(path)
    path.write_bytes(plain_pages_pdf_bytes(pages, **options))
    return path
