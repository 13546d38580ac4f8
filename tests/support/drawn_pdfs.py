"""Answer sheets whose drawn page and text layer disagree through ordinary PDF features, and honest
pages drawn with the same features.

Each hiding writer shows ``shown`` and puts ``hidden`` where a reader does not see it: under an
opaque image of any colour or a drawing, squashed by horizontal scaling, replaced by ActualText,
drawn by a Type3 font as dots, swapped by a ToUnicode map, erased by letters in the background
colour, in a layer switched off, in a hidden form field, pushed off the page. ``LEFT_OUT`` names
the techniques whose hidden words never reach the text layer at all (they must still be reported).
The honest writers draw every word where a reader sees it, with a CropBox, form fields or layers.
Content streams are written by hand, so each technique is exactly what its name says.
"""

from __future__ import annotations

import random
import zlib
from pathlib import Path
from typing import Callable, Sequence

from tests.support.pdfs import A4_POINTS, PathLike, _assemble, _pdf_string

WIDTH, HEIGHT = A4_POINTS
LEFT = 72
TOP = HEIGHT - 80
LEADING = 18
FIRST_EXTRA = 7  # objects 1-6: catalog, pages, page, contents, Helvetica, Courier


class Page:
    """One page being written: its content, the objects it needs and the dictionaries' extras."""

    def __init__(self) -> None:
        self.content: list[bytes] = []
        self.objects: list[bytes] = []
        self.resources: list[bytes] = []
        self.page_extra = b""
        self.catalog_extra = b""
        self.annots: list[int] = []

    def add(self, body: bytes) -> int:
        """Adds an object and returns its number."""
        self.objects.append(body)
        return FIRST_EXTRA + len(self.objects) - 1

    def stream(self, data: bytes, dictionary: bytes = b"") -> int:
        return self.add(b"<< %s /Length %d >>\nstream\n%s\nendstream" % (dictionary, len(data), data))

    def pdf(self, media: tuple[float, float, float, float] = (0, 0, WIDTH, HEIGHT)) -> bytes:
        content = b"\n".join(self.content)
        annots = b" /Annots [%s]" % b" ".join(b"%d 0 R" % n for n in self.annots) if self.annots else b""
        objects = [
            b"<< /Type /Catalog /Pages 2 0 R%s >>" % self.catalog_extra,
            b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [%.2f %.2f %.2f %.2f]%s /Resources << /Font << /F1 5 0 R "
            b"/F2 6 0 R %s >> %s >> /Contents 4 0 R%s >>"
            % (*media, self.page_extra, b" ".join(r for r in self.resources if r.startswith(b"/T")),
               b" ".join(r for r in self.resources if not r.startswith(b"/T")), annots),
            b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content),
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>",
            *self.objects,
        ]
        return _assemble(objects)


def lines(text: str, top: float, *, size: float = 12, font: bytes = b"/F1", left: float = LEFT,
          before: bytes = b"") -> bytes:
    """A BT..ET block writing each line of ``text`` from the baseline ``top`` down."""
    body = b" ".join(_pdf_string(line) + b" Tj T*" for line in text.split("\n"))
    return b"BT %s %.2f Tf %.2f TL %.2f %.2f Td %s %s ET" % (font, size, LEADING, left, top, before, body)


def below(text: str, top: float = TOP, gap: int = 2) -> float:
    return top - LEADING * (text.count("\n") + gap)


def _box_under(hidden: str, top: float) -> tuple[float, float, float, float]:
    """x, y, width, height of a box covering the lines of ``hidden`` written from ``top``."""
    bottom = top - LEADING * hidden.count("\n")
    return LEFT - 4, bottom - 6, WIDTH - 2 * LEFT + 8, top - bottom + 20


def _image(page: Page, width: int, height: int, pixels: bytes) -> bytes:
    n = page.stream(zlib.compress(pixels), b"/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                                           b"/DeviceGray /BitsPerComponent 8 /Filter /FlateDecode" % (width, height))
    page.resources.append(b"/XObject << /Im1 %d 0 R >>" % n)
    return b"/Im1"


def _under_image(kind: str) -> Callable[[Page, str, str], None]:
    def write(page: Page, shown: str, hidden: str) -> None:
        top = below(shown)
        x, y, w, h = _box_under(hidden, top)
        if kind == "grey":
            name = _image(page, 1, 1, bytes([128]))
        elif kind == "black":
            name = _image(page, 1, 1, bytes([0]))
        elif kind == "photo":
            rng = random.Random(7)
            name = _image(page, 48, 16, bytes(rng.randrange(40, 230) for _ in range(48 * 16)))
        else:  # gradient, dark to light
            name = _image(page, 256, 1, bytes(range(256)))
        page.content += [lines(shown, TOP), lines(hidden, top),
                         b"q %.2f 0 0 %.2f %.2f %.2f cm %s Do Q" % (w, h, x, y, name)]
    return write


def _under_drawing(page: Page, shown: str, hidden: str) -> None:
    # A diagram: a filled shape with a frame and a few lines across it.
    top = below(shown)
    x, y, w, h = _box_under(hidden, top)
    drawing = (b"q 0.85 0.9 1 rg 0 0 0 RG 2 w %.2f %.2f %.2f %.2f re B %.2f %.2f m %.2f %.2f l S "
               b"%.2f %.2f m %.2f %.2f l S Q" % (x, y, w, h, x, y, x + w, y + h, x, y + h, x + w, y))
    page.content += [lines(shown, TOP), lines(hidden, top), drawing]


def _squashed(scale: int) -> Callable[[Page, str, str], None]:
    def write(page: Page, shown: str, hidden: str) -> None:
        page.content += [lines(shown, TOP), lines(hidden, below(shown), before=b"%d Tz" % scale)]
    return write


def _actual_text(adds: bool) -> Callable[[Page, str, str], None]:
    # The glyphs draw "I am not sure." (or a full stop); the text layer reads the span's ActualText.
    def write(page: Page, shown: str, hidden: str) -> None:
        drawn = "." if adds else "I am not sure."
        span = b"/Span << /ActualText %s >> BDC %s Tj EMC" % (_pdf_string(hidden.replace("\n", " ")),
                                                               _pdf_string(drawn))
        page.content += [lines(shown, TOP),
                         b"BT /F1 12 Tf %d %.2f Td (Q5. ) Tj %s ET" % (LEFT, below(shown), span)]
    return write


def _cmap(pairs: Sequence[tuple[int, str]]) -> bytes:
    entries = b"\n".join(b"<%02X> <%s>" % (code, text.encode("utf-16-be").hex().upper().encode())
                         for code, text in pairs)
    return (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap /CMapName /Q-UCS def "
            b"/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def "
            b"1 begincodespacerange <00> <FF> endcodespacerange\n%d beginbfchar\n%s\nendbfchar\n"
            b"endcmap CMapName currentdict /CMap defineresource pop end end" % (len(pairs), entries))


def _type3_dots(page: Page, shown: str, hidden: str) -> None:
    # Every glyph of this font is a small dot; its ToUnicode says the letters.
    dot = page.stream(b"500 0 0 0 120 120 d1 40 0 80 80 re f")
    codes = range(32, 127)
    to_unicode = page.stream(_cmap([(c, chr(c)) for c in codes]))
    font = page.add(b"<< /Type /Font /Subtype /Type3 /FontBBox [0 0 500 500] /FontMatrix [0.001 0 0 0.001 0 0] "
                    b"/CharProcs << /dot %d 0 R >> /Encoding << /Type /Encoding /Differences [32 %s] >> "
                    b"/FirstChar 32 /LastChar 126 /Widths [%s] /Resources << >> /ToUnicode %d 0 R >>"
                    % (dot, b" ".join(b"/dot" for _ in codes), b" ".join(b"500" for _ in codes), to_unicode))
    page.resources.append(b"/T3 %d 0 R" % font)
    page.content += [lines(shown, TOP), lines(hidden, below(shown), font=b"/T3")]


_GLYPH_NAMES = {" ": "space", ".": "period", ",": "comma", "'": "quotesingle", "-": "hyphen", ":": "colon",
                **{str(d): n for d, n in zip(range(10), ["zero", "one", "two", "three", "four", "five", "six",
                                                         "seven", "eight", "nine"])}}


def _to_unicode_swap(page: Page, shown: str, hidden: str) -> None:
    # Code k draws the k-th letter of what is shown; the ToUnicode map says the k-th letter of the hidden
    # text. What is shown is padded with spaces to the hidden text's length.
    drawn_text = "Q5. I am not sure."
    said = hidden.replace("\n", " ")
    drawn_text = drawn_text.ljust(len(said))
    names = [_GLYPH_NAMES.get(ch, ch) for ch in drawn_text]
    to_unicode = page.stream(_cmap([(k + 1, ch) for k, ch in enumerate(said)]))
    font = page.add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding << /Type /Encoding "
                    b"/Differences [1 %s] >> /ToUnicode %d 0 R >>"
                    % (b" ".join(b"/" + n.encode() for n in names), to_unicode))
    page.resources.append(b"/TU %d 0 R" % font)
    codes = bytes(range(1, len(said) + 1))
    escaped = codes.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
    page.content += [lines(shown, TOP), b"BT /TU 12 Tf %d %.2f Td (%s) Tj ET" % (LEFT, below(shown), escaped)]


def _overdrawn(page: Page, shown: str, hidden: str) -> None:
    # The hidden lines in black, then the same letters again in white, stroked wide enough to erase them.
    top = below(shown)
    page.content += [lines(shown, TOP), lines(hidden, top),
                     b"q 1 g 1 G 2.5 w " + lines(hidden, top, before=b"2 Tr") + b" Q"]


def _layer(view_only: bool) -> Callable[[Page, str, str], None]:
    # An optional-content layer: switched off, or on but hidden on screen (shown when printed).
    def write(page: Page, shown: str, hidden: str) -> None:
        usage = b" /Usage << /View << /ViewState /OFF >> /Print << /PrintState /ON >> >>" if view_only else b""
        ocg = page.add(b"<< /Type /OCG /Name (Notes)%s >>" % usage)
        if view_only:
            config = (b"<< /Order [%d 0 R] /AS [<< /Event /View /Category [/View] /OCGs [%d 0 R] >> "
                      b"<< /Event /Print /Category [/Print] /OCGs [%d 0 R] >>] >>" % (ocg, ocg, ocg))
        else:
            config = b"<< /Order [%d 0 R] /OFF [%d 0 R] >>" % (ocg, ocg)
        page.catalog_extra = b" /OCProperties << /OCGs [%d 0 R] /D %s >>" % (ocg, config)
        page.resources.append(b"/Properties << /L1 %d 0 R >>" % ocg)
        page.content += [lines(shown, TOP), b"/OC /L1 BDC " + lines(hidden, below(shown)) + b" EMC"]
    return write


def widget(page: Page, value: str, rect: tuple[float, float, float, float], *, flags: int = 4,
           name: str = "answer") -> int:
    x0, y0, x1, y1 = rect
    body = b" ".join(b"(%s) Tj T*" % _pdf_string(v)[1:-1] for v in value.split("\n"))
    stream = b"/Tx BMC q BT /Helv 11 Tf 0 g 13 TL 2 %.2f Td %s ET Q EMC" % (y1 - y0 - 13, body)
    ap = page.stream(stream, b"/Type /XObject /Subtype /Form /BBox [0 0 %.2f %.2f] /Resources << /Font << /Helv "
                             b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>" % (x1 - x0, y1 - y0))
    n = page.add(b"<< /Type /Annot /Subtype /Widget /FT /Tx /Ff 4096 /T %s /V %s /Rect [%.2f %.2f %.2f %.2f] "
                 b"/F %d /P 3 0 R /DA (/Helv 11 Tf 0 g) /AP << /N %d 0 R >> >>"
                 % (_pdf_string(name), _pdf_string(value), x0, y0, x1, y1, flags, ap))
    page.annots.append(n)
    return n


def _acroform(page: Page) -> None:
    page.catalog_extra += b" /AcroForm << /Fields [%s] /DA (/Helv 0 Tf 0 g) >>" % b" ".join(
        b"%d 0 R" % n for n in page.annots)


def _hidden_field(page: Page, shown: str, hidden: str) -> None:
    top = below(shown)
    widget(page, hidden, (LEFT, top - 60, WIDTH - LEFT, top + 14), flags=2)
    _acroform(page)
    page.content += [lines(shown, TOP)]


def _risen(page: Page, shown: str, hidden: str) -> None:
    page.content += [lines(shown, TOP), lines(hidden, below(shown), before=b"2000 Ts")]


def _off_edge(page: Page, shown: str, hidden: str) -> None:
    # One line: the last shown words near the right edge, the hidden words running on past it.
    page.content += [lines(shown, TOP),
                     b"BT /F1 12 Tf %d %.2f Td %s Tj ET" % (LEFT, below(shown),
                                                          _pdf_string("Q5. I am not sure." + " " * 140
                                                                      + hidden.replace("\n", " ")))]


HIDING: dict[str, tuple[Callable[[Page, str, str], None], str]] = {
    "grey_image": (_under_image("grey"), "covered"),
    "black_image": (_under_image("black"), "covered"),
    "photo": (_under_image("photo"), "covered"),
    "gradient": (_under_image("gradient"), "covered"),
    "drawing": (_under_drawing, "covered"),
    "squashed_1": (_squashed(1), "too small to read"),
    "squashed_3": (_squashed(3), "too small to read"),
    "actual_text": (_actual_text(False), "not what the page draws"),
    "actual_text_added": (_actual_text(True), "not what the page draws"),
    "type3_dots": (_type3_dots, "not what the page draws"),
    "to_unicode_swap": (_to_unicode_swap, "not what the page draws"),
    "overdrawn": (_overdrawn, "covered"),
    "layer_off": (_layer(False), "in a layer that is not shown"),
    "layer_print_only": (_layer(True), "in a layer that is not shown"),
    "hidden_field": (_hidden_field, "in a hidden form field or note"),
    "text_rise": (_risen, "clipped"),
    "off_the_edge": (_off_edge, "clipped"),
}
# Techniques whose hidden words are not in the page's text layer at all: left out, but reported.
LEFT_OUT = {"layer_off", "hidden_field", "text_rise", "off_the_edge"}


def write_hiding_pdf(path: PathLike, technique: str, shown: str, hidden: str) -> Path:
    """One page showing ``shown`` and hiding ``hidden`` by ``technique`` (a key of ``HIDING``)."""
    page = Page()
    HIDING[technique][0](page, shown, hidden)
    path = Path(path)
    path.write_bytes(page.pdf())
    return path


# ------------------------------------------------------------------ honest

def _crop_with_printer_line(page: Page, text: str) -> tuple[float, float, float, float]:
    # A printer's slug line in the bleed outside the CropBox; the sheet itself inside it.
    page.page_extra = b" /CropBox [36 36 %.2f %.2f]" % (WIDTH - 36, HEIGHT - 36)
    page.content += [b"BT /F1 7 Tf 8 14 Td (Printed 2026-12-01 job 4411 sheet 1 of 1) Tj ET", lines(text, TOP)]
    return (0, 0, WIDTH, HEIGHT)


def _cropped(page: Page, text: str) -> tuple[float, float, float, float]:
    # A scanner-made page: a MediaBox far from the origin and a CropBox inside it; the last line sits
    # just above the CropBox's lower edge.
    page.page_extra = b" /CropBox [130 140 %.2f %.2f]" % (130 + 500, 140 + 700)
    last = text.split("\n")[-1]
    body = "\n".join(text.split("\n")[:-1])
    page.content += [lines(body, 140 + 660, left=150), lines(last, 140 + 12, left=150)]
    return (100, 100, 700, 900)


def _form(page: Page, text: str) -> tuple[float, float, float, float]:
    # Each question's label printed on the page, its answer typed into a form field below it.
    rows = text.split("\n")
    top = TOP
    for i, row in enumerate(rows):
        page.content.append(lines(f"Q{i + 1}.", top))
        widget(page, row, (LEFT, top - 40, WIDTH - LEFT, top - 6), name=f"q{i + 1}")
        top -= 60
    _acroform(page)
    return (0, 0, WIDTH, HEIGHT)


def _layer_on(page: Page, text: str) -> tuple[float, float, float, float]:
    ocg = page.add(b"<< /Type /OCG /Name (Answers) >>")
    page.catalog_extra = b" /OCProperties << /OCGs [%d 0 R] /D << /Order [%d 0 R] >> >>" % (ocg, ocg)
    page.resources.append(b"/Properties << /L1 %d 0 R >>" % ocg)
    page.content += [b"/OC /L1 BDC " + lines(text, TOP) + b" EMC"]
    return (0, 0, WIDTH, HEIGHT)


def _ligatures(page: Page, text: str) -> tuple[float, float, float, float]:
    # ActualText that spells what its glyphs draw, as word processors write hyphenated words.
    first, _, rest = text.partition("\n")
    page.content += [lines(rest, below(first, gap=1)),
                     b"BT /F1 12 Tf %d %.2f Td /Span << /ActualText %s >> BDC %s Tj EMC ET"
                     % (LEFT, TOP, _pdf_string(first), _pdf_string(first))]
    return (0, 0, WIDTH, HEIGHT)


def _type3_letters(page: Page, text: str) -> tuple[float, float, float, float]:
    # A Type3 font each of whose glyphs draws its letter (with Helvetica), as some tools embed bitmap fonts.
    codes = range(32, 127)
    helvetica = page.add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
    procs = []
    for c in codes:
        glyph = bytes([c]).replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
        procs.append(b"/g%d %d 0 R" % (c, page.stream(b"600 0 d0 BT /H 1000 Tf 0 0 Td (%s) Tj ET" % glyph)))
    to_unicode = page.stream(_cmap([(c, chr(c)) for c in codes]))
    font = page.add(b"<< /Type /Font /Subtype /Type3 /FontBBox [0 -250 1000 1000] /FontMatrix [0.001 0 0 0.001 0 0] "
                    b"/CharProcs << %s >> /Encoding << /Type /Encoding /Differences [32 %s] >> /FirstChar 32 "
                    b"/LastChar 126 /Widths [%s] /Resources << /Font << /H %d 0 R >> >> /ToUnicode %d 0 R >>"
                    % (b" ".join(procs), b" ".join(b"/g%d" % c for c in codes), b" ".join(b"600" for _ in codes),
                       helvetica, to_unicode))
    page.resources.append(b"/T3 %d 0 R" % font)
    page.content += [lines(text, TOP, font=b"/T3")]
    return (0, 0, WIDTH, HEIGHT)


HONEST: dict[str, Callable[[Page, str], tuple[float, float, float, float]]] = {
    "crop_box_with_printer_line": _crop_with_printer_line,
    "crop_box_away_from_origin": _cropped,
    "form_fields": _form,
    "layer_on": _layer_on,
    "actual_text_as_drawn": _ligatures,
    "type3_letters": _type3_letters,
}


def write_honest_pdf(path: PathLike, kind: str, text: str) -> Path:
    """A page every word of which a reader sees, drawn the way ``kind`` (a key of ``HONEST``) names."""
    page = Page()
    media = HONEST[kind](page, text)
    path = Path(path)
    path.write_bytes(page.pdf(media))
    return path
