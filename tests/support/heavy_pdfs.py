"""Small PDFs that are expensive to read: for testing and measuring the limits a sheet is read within.

Every writer takes the destination path first and returns it as a ``pathlib.Path``. The files are
written byte by byte (objects, cross-reference table, trailer), so they stay a few kilobytes however
much work they ask of a reader.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Sequence, Union

PathLike = Union[str, os.PathLike]

_FONT = b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"


def _stream(data: bytes, extra: bytes = b"") -> bytes:
    return b"<< " + extra + b"/Length " + str(len(data)).encode() + b" >>\nstream\n" + data + b"\nendstream"


def _write(path: PathLike, objects: Sequence[bytes]) -> Path:
    """Objects numbered from 1 in order; object 1 is the catalog."""
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    path = Path(path)
    path.write_bytes(bytes(out))
    return path


def write_xobject_bomb(path: PathLike, depth: int, word: str = "answer") -> Path:
    """One page that draws Form XObject 1, which draws XObject 2 twice, and so on down to ``depth``
    levels: the last one shows ``word``, so the page's text holds it 2**(depth-1) times while the file
    stays near a kilobyte a level."""
    if depth < 1:
        raise ValueError("depth must be at least 1")
    # 1 catalog, 2 pages, 3 page, 4 page content, 5 font, 6.. the XObjects (6 is level 1).
    first = 6
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        b"/Resources << /XObject << /X %d 0 R >> >> >>" % first,
        _stream(b"q /X Do Q"),
        _FONT,
    ]
    for level in range(1, depth + 1):
        box = b"/Type /XObject /Subtype /Form /BBox [0 0 595 842] "
        if level < depth:
            content = b"q 1 0 0 1 0 0 cm /X Do Q q 1 0 0 1 0.01 0.01 cm /X Do Q"
            resources = b"/Resources << /XObject << /X %d 0 R >> >> " % (first + level)
        else:
            content = b"BT /F 12 Tf 50 700 Td (" + word.encode("latin-1") + b") Tj ET"
            resources = b"/Resources << /Font << /F 5 0 R >> >> "
        objects.append(_stream(content, box + resources))
    return _write(path, objects)


def write_many_text_pages(path: PathLike, pages: int, line: str = "Q1. The answer is on every page.") -> Path:
    """``pages`` pages that all show the same line of text through one shared content stream."""
    if pages < 1:
        raise ValueError("pages must be at least 1")
    # 1 catalog, 2 pages, 3 content, 4 font, 5.. the pages.
    kids = b" ".join(b"%d 0 R" % (5 + i) for i in range(pages))
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % pages,
        _stream(b"BT /F 12 Tf 50 700 Td (" + line.encode("latin-1") + b") Tj ET"),
        _FONT,
    ]
    page = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 3 0 R "
            b"/Resources << /Font << /F 4 0 R >> >> >>")
    objects.extend(page for _ in range(pages))
    return _write(path, objects)


def write_long_text_pdf(path: PathLike, pages: int, chars_per_page: int, word: str = "answer") -> Path:
    """``pages`` pages each holding about ``chars_per_page`` characters of text (lines of ``word``
    repeated), through one shared content stream: a file far smaller than the text it holds."""
    per_line = max(1, 90 // (len(word) + 1))
    line = " ".join([word] * per_line)
    lines = max(1, min(200, chars_per_page // (len(line) + 1)))  # 4 pt lines fill the page at 200
    body = [b"BT /F 4 Tf 4 TL 20 830 Td"]
    body.extend(b"(" + line.encode("latin-1") + b") '" for _ in range(lines))
    body.append(b"ET")
    kids = b" ".join(b"%d 0 R" % (5 + i) for i in range(pages))
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % pages,
        _stream(b"\n".join(body)),
        _FONT,
    ]
    page = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 3 0 R "
            b"/Resources << /Font << /F 4 0 R >> >> >>")
    objects.extend(page for _ in range(pages))
    return _write(path, objects)
