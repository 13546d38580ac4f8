"""Writes the seed PDFs of the fuzz run: the kinds of file the tests make.

python -m tests.fuzz.make_seeds DIR
"""

from __future__ import annotations

import sys
from pathlib import Path

from tests.support import pdfs

TYPED = ["Q1. Café, naïve, Ångström: explain photosynthesis. [5 marks]\nQ2. √2 ≈ 1.414, α + β = θ",
         "प्रश्न 3: गणित की परिभाषा लिखिए।"]
SCANNED = ["Question 1: Explain photosynthesis."]


def main(out: str) -> int:
    d = Path(out)
    d.mkdir(parents=True, exist_ok=True)
    whole = pdfs.write_text_pdf(d / "typed.pdf", TYPED)
    pdfs.write_scanned_pdf(d / "scan.pdf", SCANNED, dpi=40)
    pdfs.write_scanned_pdf(d / "scan-stamped.pdf", SCANNED, dpi=40, stamp="Scanned with CamScanner")
    pdfs.write_mixed_pdf(d / "mixed.pdf", ["Name: Asha Rao", SCANNED[0]], scanned={2}, dpi=40)
    pdfs.write_encrypted_pdf(d / "locked.pdf", ["secret"])
    pdfs.write_encrypted_pdf(d / "owner-only.pdf", ["Q1. Define osmosis."], user_password=None)
    pdfs.write_zero_page_pdf(d / "zero-pages.pdf")
    pdfs.write_truncated_pdf(d / "truncated.pdf", whole, 0.6)
    pdfs.write_plain_pages_pdf(d / "plain.pdf", [f"Q{n}. Explain the water cycle.\nUse two sentences." for n in range(1, 9)])
    pdfs.write_plain_pages_pdf(d / "broken-tree.pdf", ["Page one", "Page two", "Page three"], broken_from=2)
    pdfs.write_plain_pages_pdf(d / "strip.pdf", [""], page_size=(100000, 80))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
