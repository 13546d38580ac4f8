"""Answer sheets that hide text from their reader, and honest pages that must not look like them.

Each hiding writer puts ``shown`` on the page as a reader sees it and ``hidden`` into the text
layer where no reader sees it, one way per technique (``HIDING``). The honest writers
(``HONEST``) make pages whose every word is readable although they are drawn unusually:
light grey, footnote-size, on coloured boxes, rotated, in a form field, or a scan carrying
its own OCR layer. Content streams are written by hand, so each technique is exactly what
its name says.
"""

from __future__ import annotations

import shutil
import subprocess
import tempfile
import zlib
from pathlib import Path
from typing import Callable, Sequence

from tests.support.pdfs import A4_POINTS, PathLike, _assemble, _pdf_string, render_page_image

WIDTH, HEIGHT = A4_POINTS
LEFT = 72
TOP = HEIGHT - 80
LEADING = 18

# Fonts every page may use: /F1 Helvetica, /F2 Courier (fixed width, for layers fitted to a scan).
_FONTS = (b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
          b"<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>")


def _lines(text: str, top: float, size: float = 12, leading: float = LEADING, font: bytes = b"/F1") -> bytes:
    """A BT..ET block writing each line of ``text`` from ``top`` (a baseline) downwards."""
    body = b" ".join(_pdf_string(line) + b" Tj T*" for line in text.split("\n"))
    return b"BT %s %.2f Tf %.2f TL %d %.2f Td %s ET" % (font, size, leading, LEFT, top, body)


def _bottom(text: str, top: float, leading: float = LEADING) -> float:
    return top - leading * text.count("\n")


def _page_pdf(contents: Sequence[bytes], *, rotate: int = 0, xobjects: Sequence[bytes] = (),
              annots: Sequence[bytes] = (), acroform: bool = False) -> bytes:
    """A PDF of one page per content stream, with both fonts; ``xobjects`` become /Im1.. on every
    page and ``annots`` (widget dictionaries without /P) sit on the first page."""
    objects: list[bytes] = [b"", b"", *_FONTS]
    xobject_refs = []
    for i, xobject in enumerate(xobjects, start=1):
        objects.append(xobject)
        xobject_refs.append(b"/Im%d %d 0 R" % (i, len(objects)))
    resources = b"<< /Font << /F1 3 0 R /F2 4 0 R >> /XObject << %s >> >>" % b" ".join(xobject_refs)
    annot_refs = []
    kids = []
    for number, content in enumerate(contents, start=1):
        objects.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
        content_ref = len(objects)
        page_ref = len(objects) + 1
        extra = b""
        if number == 1 and annots:
            first_annot = page_ref + 1
            annot_refs = [b"%d 0 R" % (first_annot + i) for i in range(len(annots))]
            extra = b" /Annots [%s]" % b" ".join(annot_refs)
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Rotate %d /Resources %s "
                       b"/Contents %d 0 R%s >>" % (WIDTH, HEIGHT, rotate, resources, content_ref, extra))
        kids.append(b"%d 0 R" % page_ref)
        if number == 1:
            for annot in annots:
                objects.append(annot.replace(b"/Subtype /Widget", b"/Subtype /Widget /P %d 0 R" % page_ref))
    form = b" /AcroForm << /Fields [%s] /DA (/Helv 0 Tf 0 g) >>" % b" ".join(annot_refs) if acroform else b""
    objects[0] = b"<< /Type /Catalog /Pages 2 0 R%s >>" % form
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), len(kids))
    return _assemble(objects)


def _write(path: PathLike, data: bytes) -> Path:
    path = Path(path)
    path.write_bytes(data)
    return path


# ------------------------------------------------------------------ hiding

def _white(shown: str, hidden: str) -> bytes:
    below = _bottom(shown, TOP) - 2 * LEADING
    return _lines(shown, TOP) + b"\n1 g " + _lines(hidden, below) + b" 0 g"


def _tiny(shown: str, hidden: str) -> bytes:
    below = _bottom(shown, TOP) - 2 * LEADING
    return _lines(shown, TOP) + b"\n" + _lines(hidden, below, size=0.5, leading=0.7)


def _invisible(shown: str, hidden: str) -> bytes:
    below = _bottom(shown, TOP) - 2 * LEADING
    return _lines(shown, TOP) + b"\n3 Tr " + _lines(hidden, below)


def _covered(shown: str, hidden: str) -> bytes:
    below = _bottom(shown, TOP) - 2 * LEADING
    bottom = _bottom(hidden, below)
    box = b"1 g %d %.2f %d %.2f re f 0 g" % (LEFT - 4, bottom - 8, WIDTH - 2 * LEFT + 8, below - bottom + 24)
    return _lines(shown, TOP) + b"\n" + _lines(hidden, below) + b"\n" + box


def _clipped(shown: str, hidden: str) -> bytes:
    # The clip is the upper part of the page; the hidden lines are drawn below it.
    below = _bottom(shown, TOP) - 6 * LEADING
    clip_bottom = _bottom(shown, TOP) - 2 * LEADING
    clip = b"q 0 %.2f %.2f %.2f re W n " % (clip_bottom, WIDTH, HEIGHT - clip_bottom)
    return clip + _lines(shown, TOP) + b"\n" + _lines(hidden, below) + b" Q"


_HIDERS: dict[str, Callable[[str, str], bytes]] = {
    "white": _white, "tiny": _tiny, "invisible": _invisible, "covered": _covered, "clipped": _clipped,
}

# Every way of hiding text this module writes, and the kind the check reports for each.
HIDING = {
    "white": "same colour as the background",
    "tiny": "too small to read",
    "invisible": "invisible",
    "covered": "covered",
    "clipped": "clipped",
    "layer_over_scan": "not in the page image",
}


def write_hiding_pdf(path: PathLike, technique: str, shown: str, hidden: str) -> Path:
    """One page showing ``shown`` and hiding ``hidden`` in its text layer by ``technique``
    (a key of ``HIDING``)."""
    if technique == "layer_over_scan":
        return write_layer_over_scan(path, shown, hidden)
    return _write(path, _page_pdf([_HIDERS[technique](shown, hidden)]))


# ------------------------------------------------------------------ scans

SCAN_DPI = 150
SCAN_PT = 14


def _scan_xobject(text: str, dpi: int = SCAN_DPI):
    image = render_page_image(text, dpi=dpi, font_pt=SCAN_PT)
    data = zlib.compress(image.tobytes())
    xobject = (b"<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray "
               b"/BitsPerComponent 8 /Filter /FlateDecode /Length %d >>\nstream\n" % (*image.size, len(data))
               + data + b"\nendstream")
    return image, xobject


def _draw_scan() -> bytes:
    return b"q %.2f 0 0 %.2f 0 0 cm /Im1 Do Q" % (WIDTH, HEIGHT)


def write_layer_over_scan(path: PathLike, scanned: str, layer: str, *, dpi: int = SCAN_DPI) -> Path:
    """A scan of ``scanned`` whose invisible text layer says ``layer`` instead, each layer line
    stretched over the matching line of the scan, as a tool faking a searchable scan writes it."""
    from PIL import ImageFont

    from tests.support.pdfs import _SCAN_FONTS, find_font

    image, xobject = _scan_xobject(scanned, dpi)
    face = ImageFont.truetype(find_font(scanned or "a", _SCAN_FONTS), round(SCAN_PT * dpi / 72))
    scan_lines = scanned.split("\n")
    parts = [_draw_scan(), b"BT 3 Tr /F2 %d Tf" % SCAN_PT]
    line_pt = SCAN_PT * 1.6
    for i, line in enumerate(layer.split("\n")):
        if not line:
            continue
        over = scan_lines[i] if i < len(scan_lines) and scan_lines[i] else line
        width = face.getlength(over) * 72 / dpi
        scale = 100 * width / (0.6 * SCAN_PT * len(line))
        baseline = HEIGHT - 72 - i * line_pt - 0.8 * SCAN_PT
        parts.append(b"%.2f Tz 1 0 0 1 72 %.2f Tm %s Tj" % (scale, baseline, _pdf_string(line)))
    parts.append(b"ET")
    return _write(path, _page_pdf([b"\n".join(parts)], xobjects=[xobject]))


def write_searchable_scan(path: PathLike, text: str, *, dpi: int = 200) -> Path:
    """An honest searchable scan: ``text`` scanned, with the text layer Tesseract itself writes for it."""
    path = Path(path)
    tesseract = shutil.which("tesseract")
    if tesseract is None:
        raise RuntimeError("the tesseract command is needed (Debian package tesseract-ocr)")
    with tempfile.TemporaryDirectory() as tmp:
        image = render_page_image(text, dpi=dpi)
        png = Path(tmp) / "page.png"
        image.save(png, dpi=(dpi, dpi))
        subprocess.run([tesseract, str(png), str(Path(tmp) / "page"), "pdf"], check=True, capture_output=True,
                       timeout=120)
        shutil.copyfile(Path(tmp) / "page.pdf", path)
    return path


# ------------------------------------------------------------------ honest

def _light_grey(text: str) -> bytes:
    return b"0.6 g " + _lines(text, TOP) + b" 0 g"


def _footnote(text: str) -> bytes:
    lines = text.split("\n")
    body, notes = "\n".join(lines[: len(lines) // 2 or 1]), "\n".join(lines[len(lines) // 2 or 1:]) or "1 See above."
    return _lines(body, TOP, size=11) + b"\n" + _lines(notes, 90, size=6, leading=8)


def _coloured(text: str) -> bytes:
    # Black on pale yellow, then the same lines in white on dark blue.
    bottom = _bottom(text, TOP)
    first = b"1 1 0.6 rg %d %.2f %d %.2f re f 0 g " % (LEFT - 6, bottom - 8, WIDTH - 2 * LEFT + 12, TOP - bottom + 24)
    lower = bottom - 3 * LEADING
    second_bottom = _bottom(text, lower)
    second = (b"0.1 0.1 0.4 rg %d %.2f %d %.2f re f 1 g " % (LEFT - 6, second_bottom - 8, WIDTH - 2 * LEFT + 12,
                                                             lower - second_bottom + 24)
              + _lines(text, lower) + b" 0 g")
    return first + _lines(text, TOP) + b"\n" + second


def _rotated(text: str) -> bytes:
    return _lines(text, TOP)


def _widget(value: str, rect: tuple[float, float, float, float]) -> bytes:
    x0, y0, x1, y1 = rect
    stream = b"/Tx BMC q BT /Helv 11 Tf 0 g 2 %.2f Td %s Tj ET Q EMC" % ((y1 - y0) / 2 - 4, _pdf_string(value))
    return (b"<< /Type /Annot /Subtype /Widget /FT /Tx /T (answer) /V %s /Rect [%.2f %.2f %.2f %.2f] /F 4 "
            b"/DA (/Helv 11 Tf 0 g) /AP << /N << /Type /XObject /Subtype /Form /BBox [0 0 %.2f %.2f] "
            b"/Resources << /Font << /Helv << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> "
            b"/Length %d >>\nstream\n%s\nendstream >> >> >>"
            % (_pdf_string(value), x0, y0, x1, y1, x1 - x0, y1 - y0, len(stream), stream))


HONEST = ("light_grey", "footnote", "coloured_background", "rotated", "form_field", "searchable_scan")


def write_honest_pdf(path: PathLike, kind: str, text: str) -> Path:
    """A page every word of which a reader sees, drawn the unusual way ``kind`` (one of ``HONEST``) names."""
    if kind == "searchable_scan":
        return write_searchable_scan(path, text)
    if kind == "form_field":
        lines = text.split("\n")
        widgets = [_widget(line, (LEFT, TOP - 30 * i - 6, WIDTH - LEFT, TOP - 30 * i + 16))
                   for i, line in enumerate(lines) if line]
        return _write(path, _page_pdf([_lines("Answers:", TOP + 30)], annots=widgets, acroform=True))
    maker = {"light_grey": _light_grey, "footnote": _footnote, "coloured_background": _coloured,
             "rotated": _rotated}[kind]
    return _write(path, _page_pdf([maker(text)], rotate=90 if kind == "rotated" else 0))
