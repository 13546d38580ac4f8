"""Handwriting-like answer sheets as scans: one font per hand, optionally worn down
the way a phone photo or a cheap scanner wears a page (tilt, wobbly baselines,
blur, grain).

``render_answer_page`` draws one A4 page as a greyscale Pillow image;
``write_handwritten_pdf`` writes an image-only PDF (no text layer) of one or more
pages. The same text, font and seed always give the same pixels.
"""

from __future__ import annotations

import os
import random
import subprocess
from pathlib import Path
from typing import Sequence, Union

PathLike = Union[str, os.PathLike]

# name -> (usual Debian path, fontconfig family, Debian package)
_KNOWN = {
    "print": ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "DejaVu Sans", "fonts-dejavu-core"),
    "dkg-handwriting": ("/usr/share/fonts/truetype/fifthhorseman/dkg.ttf", "DkgHandwriting",
                        "fonts-dkg-handwriting"),
    "breip": ("/usr/share/fonts/truetype/breip/Breip.ttf", "Breip", "fonts-breip"),
    "femkeklaver": ("/usr/share/fonts/truetype/femkeklaver/femkeklaver.ttf", "femkeklaver", "fonts-femkeklaver"),
    "dancingscript": ("/usr/share/fonts/opentype/dancingscript/DancingScript-Regular.otf", "Dancing Script",
                      "fonts-dancingscript"),
}
_PRINT_FALLBACK = "/usr/share/fonts/truetype/freefont/FreeSans.ttf"

# The x-height of real handwriting on lined paper is large; 40 px glyphs at
# 200 dpi (about 14 pt) is what a neat student writes.
GLYPH_PX_AT_200DPI = 40
A4_INCHES = (8.27, 11.69)


class FontMissing(RuntimeError):
    """A font of the corpus is not installed."""


def _fc_lookup(family: str) -> str | None:
    # fontconfig finds the font where a distribution other than Debian puts it.
    try:
        out = subprocess.run(["fc-list", f"{family}:style=Regular", "file"], capture_output=True, text=True,
                             timeout=30, check=False).stdout
        if not out.strip():
            out = subprocess.run(["fc-list", family, "file"], capture_output=True, text=True, timeout=30,
                                 check=False).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    files = sorted(line.split(":")[0].strip() for line in out.splitlines() if line.strip())
    return files[0] if files else None


def _locate(name: str) -> str:
    path, family, _ = _KNOWN[name]
    if os.path.exists(path):
        return path
    if name == "print" and os.path.exists(_PRINT_FALLBACK):
        return _PRINT_FALLBACK
    return _fc_lookup(family) or path


# Font name -> file; a missing font keeps its usual path and fails when used.
FONTS: dict[str, str] = {name: _locate(name) for name in _KNOWN}
HANDWRITING = tuple(name for name in FONTS if name != "print")


def font_path(font: str) -> str:
    """The file of ``font`` (a name of FONTS, or a path to a font file)."""
    if font in FONTS:
        path = FONTS[font]
        if not os.path.exists(path):
            package = _KNOWN[font][2]
            raise FontMissing(f"font {font!r} is not installed (looked for {path}); "
                              f"install the Debian package {package}")
        return path
    if os.path.sep in font and os.path.exists(font):
        return font
    raise FontMissing(f"unknown font {font!r}: use one of {', '.join(FONTS)} or the path of a font file")


def _lines(text: str, face, width: int) -> list[list[str]]:
    """Words of each line, wrapped to ``width`` pixels; the text's own line breaks are kept."""
    space = face.getlength(" ")
    lines: list[list[str]] = []
    for paragraph in text.split("\n"):
        line: list[str] = []
        used = 0.0
        for word in paragraph.split():
            w = face.getlength(word)
            if line and used + space + w > width:
                lines.append(line)
                line, used = [], 0.0
            if not line and w > width:
                raise ValueError(f"the word {word[:30]!r} is wider than the writing area of the page")
            used += (space if line else 0) + w
            line.append(word)
        lines.append(line)
    return lines


def _grain(image, rng: random.Random):
    """Paper grain and a few dark specks, from ``rng`` only."""
    from PIL import Image, ImageChops

    noise = Image.frombytes("L", image.size, rng.randbytes(image.size[0] * image.size[1]))
    grain = noise.point(lambda v: v % 28)
    specks = noise.point(lambda v: 150 if v >= 254 else 0)
    return ImageChops.subtract(ImageChops.subtract(image, grain), specks)


def render_answer_page(text: str, font: str, *, degraded: bool = False, seed: int = 0, dpi: int = 200):
    """An A4 page (greyscale Pillow image at ``dpi``) with ``text`` written on it in ``font``.

    Lines wrap at a one-inch margin. ``degraded`` tilts the page by about 1.2
    degrees, moves each word's baseline up or down a little, blurs it and adds
    grain; ``seed`` picks those changes. Raises ValueError when the text does not
    fit on the page, FontMissing when the font is not installed.
    """
    from PIL import Image, ImageDraw, ImageFilter, ImageFont

    if dpi < 50:
        raise ValueError(f"dpi must be at least 50, not {dpi}")
    size = round(GLYPH_PX_AT_200DPI * dpi / 200)
    face = ImageFont.truetype(font_path(font), size)
    width, height = round(A4_INCHES[0] * dpi), round(A4_INCHES[1] * dpi)
    margin = dpi
    line_height = round(size * 1.7)
    lines = _lines(text, face, width - 2 * margin)
    if margin + len(lines) * line_height > height - margin:
        raise ValueError(f"the text needs {len(lines)} lines; an A4 page at this size holds "
                         f"{(height - 2 * margin) // line_height}")

    rng = random.Random(seed)
    image = Image.new("L", (width, height), 255)
    draw = ImageDraw.Draw(image)
    space = face.getlength(" ")
    jitter = size * 0.12 if degraded else 0.0
    for n, words in enumerate(lines):
        x = float(margin)
        baseline = margin + n * line_height + size
        for word in words:
            y = baseline + (rng.uniform(-jitter, jitter) if degraded else 0.0)
            draw.text((x, y), word, fill=0, font=face, anchor="ls")
            x += face.getlength(word) + space
    if not degraded:
        return image

    angle = rng.choice((-1, 1)) * rng.uniform(1.0, 1.4)
    image = image.rotate(angle, resample=Image.BICUBIC, fillcolor=255)
    image = image.filter(ImageFilter.GaussianBlur(radius=0.9 * dpi / 200))
    return _grain(image, rng)


def write_handwritten_pdf(path: PathLike, pages: Sequence[str], font: str, *, degraded: bool = False,
                          seed: int = 0, dpi: int = 200) -> Path:
    """An image-only PDF, one page written in ``font`` for each string of ``pages``.

    Page n (from 0) is worn with ``seed + n``, so pages of one file differ as
    a real scan's do.
    """
    path = Path(path)
    if isinstance(pages, str):
        raise TypeError("pages must be a sequence of page texts, not one string")
    if not pages:
        raise ValueError("a scan needs at least one page")
    images = [render_answer_page(text, font, degraded=degraded, seed=seed + n, dpi=dpi)
              for n, text in enumerate(pages)]
    images[0].save(path, "PDF", resolution=float(dpi), save_all=True, append_images=images[1:])
    return path
