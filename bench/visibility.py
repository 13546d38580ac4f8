"""The visibility check on answer sheets: hidden text found, honest pages left alone, and its cost per page."""

from __future__ import annotations

import glob
import os
from pathlib import Path

from bench.common import Goal, Section, Table, fmt, interleaved, median
from tests.support import drawn_pdfs as dp
from tests.support import hostile_pdfs as hp
from tests.support import pdfs

TITLE = "Hidden text in answer sheets"
SAMPLES = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "pdf-samples"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# What a student shows and what the same student hides, several ways round.
CASES = [
    ("Name: Sam Patel\nQ1. Plants need sun.\nQ2. I do not know.\nQ3. Water goes up.",
     "Photosynthesis converts light energy into chemical energy\nchlorophyll absorbs red and blue light"),
    ("Q1. The heart is a pump.\nQ2. Metal lets it through.",
     "The left ventricle pumps oxygenated blood through the aorta to the body"),
    ("Answer 1. Boiling is hot water.\nAnswer 2. I forgot.",
     "Molecules gain kinetic energy and escape as vapour\nlatent heat keeps the temperature constant at 100 degrees"),
    ("Q4. Tissues make organs.",
     "Cells form tissues tissues form organs organs form systems\nthe nucleus controls the cell"),
]
SCAN_CASES = [
    ("Answer 1. Plants need sun to grow.\n\nAnswer 2. The heart is a pump.\n\nAnswer 3. Metal lets it through.",
     "Answer 1. Chlorophyll absorbs photons\n\nAnswer 2. Ventricles contract rhythmically\n\n"
     "Answer 3. Conductors carry electrons"),
    ("Q1. Water boils when hot.\n\nQ2. Light goes straight.\n\nQ3. Magnets pull iron.",
     "Q1. Latent heat breaks intermolecular bonds\n\nQ2. Refraction bends light at boundaries\n\n"
     "Q3. Magnetic domains align in ferromagnets"),
]
HONEST_TEXT = CASES[0][0] + "\n" + CASES[0][1]


def hidden_gone(texts: dict, hidden_words: set[str], shown_words: set[str]) -> bool:
    # Glued together too: squeezed words come out of the layer without spaces.
    seen = "".join(t.lower() for t in texts.values())
    return not any(w in seen for w in hidden_words - shown_words if len(w) >= 4)


# Every technique, the kind it is reported with, and its writer.
KINDS = {**hp.HIDING, **{t: kind for t, (_, kind) in dp.HIDING.items()}}


def corpus(workdir: Path) -> list[tuple[str, Path, set[str], set[str]]]:
    out = []
    words = lambda s: {w.strip(".,:").lower() for w in s.split()}  # noqa: E731
    for technique in KINDS:
        cases = SCAN_CASES if technique == "layer_over_scan" else CASES
        write = hp.write_hiding_pdf if technique in hp.HIDING else dp.write_hiding_pdf
        for i, (shown, hidden) in enumerate(cases):
            path = write(workdir / f"{technique}-{i}.pdf", technique, shown, hidden)
            out.append((technique, path, words(hidden), words(shown)))
    return out


def honest_files(workdir: Path) -> list[tuple[str, Path]]:
    files = []
    for kind in hp.HONEST:
        for i, (shown, hidden) in enumerate(CASES[:2]):
            files.append((f"honest: {kind}", hp.write_honest_pdf(workdir / f"honest-{kind}-{i}.pdf", kind,
                                                                 shown + "\n" + hidden)))
    for kind in dp.HONEST:
        for i, (shown, hidden) in enumerate(CASES[:2]):
            files.append((f"honest: {kind}", dp.write_honest_pdf(workdir / f"honest-{kind}-{i}.pdf", kind,
                                                                 shown + "\n" + hidden)))
    support = workdir / "support"
    support.mkdir()
    sheets = ["Q1. Photosynthesis makes glucose; oxygen is released.\n\nQ2. The heart has four chambers.",
              "Q3. Conductors let current flow. é ü ñ ß √2 ≈ 1.41 α β θ"]
    files += [
        ("tests/support sheets", pdfs.write_text_pdf(support / "typed.pdf", sheets)),
        ("tests/support sheets", pdfs.write_plain_pages_pdf(support / "plain.pdf", [s[:40] for s in sheets])),
        ("tests/support sheets", pdfs.write_scanned_pdf(support / "scan.pdf", sheets[:1])),
        ("tests/support sheets", pdfs.write_scanned_pdf(support / "stamped.pdf", sheets[:1], stamp="Scanned with X")),
        ("tests/support sheets", pdfs.write_mixed_pdf(support / "mixed.pdf", sheets, scanned=[2])),
    ]
    files += [("examples/", Path(p)) for p in sorted(glob.glob(str(EXAMPLES / "**" / "*.pdf"), recursive=True))]
    files += [("pdf-samples", Path(p)) for p in sorted(glob.glob(str(SAMPLES / "*" / "*.pdf")))]
    return files


def run(workdir: Path, quick: bool = False) -> Section:
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient

    os.environ.pop("QUORVAN_EXTRACT_THREADS", None)
    client = ExtractorClient()

    # Detection on the made corpus.
    found: dict[str, list[int]] = {}
    for technique, path, hidden_words, shown_words in corpus(workdir):
        reading = client.read_pdf(str(path))
        ok = bool(reading.hidden) and KINDS[technique] in reading.hidden[0]["kinds"] and \
            hidden_gone(reading.texts, hidden_words, shown_words)
        found.setdefault(technique, [0, 0])
        found[technique][0] += ok
        found[technique][1] += 1
    detection = Table(["technique", "kind reported", "sheets", "found, hidden words gone", "rate"])
    for technique, (hit, n) in found.items():
        detection.rows.append([technique, KINDS[technique], n, hit, f"{100 * hit / n:.0f} %"])
    total_hit = sum(h for h, _ in found.values())
    total = sum(n for _, n in found.values())

    # False flags on honest pages.
    flags: dict[str, list[int]] = {}
    unreadable = []
    flagged_pages = []
    for group, path in honest_files(workdir):
        try:
            reading = client.read_pdf(str(path))
        except (ValueError, OSError) as e:  # encrypted or damaged samples: nothing to check
            unreadable.append(f"{path.name} ({str(e)[:60]})")
            continue
        flags.setdefault(group, [0, 0, 0])
        flags[group][0] += 1
        flags[group][1] += len(reading.texts)
        flags[group][2] += len(reading.hidden)
        flagged_pages += [f"{path.name} p{h['page']}: {h['kinds']} {h['sample'][:3]}" for h in reading.hidden]
    honest = Table(["PDFs", "files", "pages", "pages flagged"])
    for group, (files, pages, flagged) in flags.items():
        honest.rows.append([group, files, pages, flagged])
    false_flags = sum(f for _, _, f in flags.values())

    # Cost per page, one thread, check against no check.
    typed = pdfs.write_text_pdf(workdir / "cost-typed.pdf", [HONEST_TEXT * 3] * 20)
    scanned = pdfs.write_scanned_pdf(workdir / "cost-scan.pdf", [HONEST_TEXT] * 3)
    searchable = hp.write_searchable_scan(workdir / "cost-searchable.pdf", HONEST_TEXT)
    rounds = 3 if quick else 5
    cost = Table(["pages", "reading", "median ms / page", "check ÷ no check"])
    os.environ["QUORVAN_EXTRACT_THREADS"] = "1"
    try:
        for label, path, count in [("typed text, 20 pages", typed, 20), ("image-only scan, 3 pages", scanned, 3),
                                   ("searchable scan (image + OCR layer), 1 page", searchable, 1)]:
            times = interleaved({"process_pdf (no check)": lambda p=path: client.process_pdf(str(p)),
                                 "read_pdf (check)": lambda p=path: client.read_pdf(str(p))}, rounds)
            base = median(times["process_pdf (no check)"])
            for name, t in times.items():
                cost.rows.append([label, name, fmt(1000 * median(t) / count, 1), f"{median(t) / base:.2f}×"])
    finally:
        del os.environ["QUORVAN_EXTRACT_THREADS"]

    notes = []
    if flagged_pages:
        notes.append("Pages flagged among the honest ones: " + "; ".join(flagged_pages))
    if unreadable:
        notes.append("Not read (no text to check): " + "; ".join(unreadable))
    notes.append("A typed page's check reads its glyphs and its text layer in one pass and draws the page once at "
                 "72 dpi; only where something is drawn over or under a word is it drawn a second time without its "
                 "text, and only words whose font cannot be trusted (Type3, ActualText, a contradicting ToUnicode "
                 "map) are read back by OCR. An image-only scan has no text layer, so the check adds nothing to it; "
                 "a searchable scan is read by OCR once more to compare its layer with the image, which is where the "
                 "check costs.")
    return Section(
        title=TITLE,
        method=("Detection: sheets written by tests/support/hostile_pdfs.py and tests/support/drawn_pdfs.py, "
                "each hiding technique over "
                f"{len(CASES)} different texts ({len(SCAN_CASES)} for a layer over a scan), read with "
                "`ExtractorClient().read_pdf`; a sheet counts as found when its page is reported with the "
                "technique's kind and none of its hidden words is left in the text. False flags: every page of "
                "the honest look-alikes (light grey, footnote size, coloured boxes, rotated, a form field, a "
                "Tesseract-made searchable scan, CropBoxes, form fields, a layer on, ActualText as drawn, a "
                "Type3 font drawing letters), of sheets made by tests/support/pdfs.py, of examples/ and of "
                "every PDF in shared/data/pdf-samples. Cost: `read_pdf` against `process_pdf` on the same file, "
                f"one thread (QUORVAN_EXTRACT_THREADS=1), {rounds} rounds taking turns, median."),
        tables=[detection, honest, cost],
        goals=[Goal("hidden text found, every technique", total_hit / total, ">=", 1.0, unit=""),
               Goal("honest pages flagged", float(false_flags), "<=", 0.0, unit="")],
        notes=notes,
    )
