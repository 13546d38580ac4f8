"""python -m bench.handwriting_corpus OUTDIR: handwritten-looking answer scans and their true text.

Writes one single-page, image-only PDF for each answer x font x {clean, degraded}
and ``truth.json``: {file name: {"text", "font", "degraded", "answer"}}.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from tests.support.handwriting import FONTS, write_handwritten_pdf

ANSWERS = {
    "biology": "Q1. Enzymes are proteins that speed up reactions in the body. Each enzyme has an active site "
               "that fits one substrate. High temperature changes the shape of the active site, so the enzyme "
               "stops working and is denatured.",
    "history": "Q2. The Industrial Revolution began in Britain because it had coal, iron and rivers for "
               "transport. Factories moved workers from farms into crowded towns, where houses were damp and "
               "disease spread quickly among poor families.",
    "physics": "Q3. When a ball is dropped, gravity pulls it down and it speeds up. Air resistance grows as "
               "the ball moves faster until the forces balance. Then the ball falls at a steady speed called "
               "terminal velocity.",
    "chemistry": "Q4. Rusting happens when iron reacts with oxygen and water. Salt water makes it faster. "
                 "Painting the metal or covering it with oil keeps the air and water away, which stops the "
                 "iron from rusting.",
    "geography": "Q5. Rivers shape the land by erosion. Near the source the water cuts a steep narrow valley. "
                 "Lower down the river bends into meanders and drops sand and mud on the inside of each bend.",
    "economics": "Q6. When the price of a good rises, people usually buy less of it. Sellers want to supply "
                 "more at a higher price. The market settles where the amount people want equals the amount "
                 "sold.",
}


def write_corpus(outdir: Path, *, dpi: int = 200, fonts=None, answers=None) -> dict[str, dict]:
    """Writes the PDFs and truth.json into ``outdir``; returns the truth."""
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    truth: dict[str, dict] = {}
    for a, (answer, text) in enumerate((answers or ANSWERS).items()):
        for font in fonts or FONTS:
            for degraded in (False, True):
                name = f"{answer}-{font}-{'degraded' if degraded else 'clean'}.pdf"
                write_handwritten_pdf(outdir / name, [text], font, degraded=degraded, seed=a, dpi=dpi)
                truth[name] = {"text": text, "font": font, "degraded": degraded, "answer": answer}
    (outdir / "truth.json").write_text(json.dumps(truth, indent=1), encoding="utf-8")
    return truth


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m bench.handwriting_corpus OUTDIR", file=sys.stderr)
        return 2
    truth = write_corpus(Path(argv[0]))
    print(f"wrote {len(truth)} PDFs and truth.json to {argv[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
