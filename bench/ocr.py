"""Pages per second of the local extractor on scanned (image-only) pages."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from bench.common import Section, Table, fmt, interleaved, median
from tests.support import pdfs

TITLE = "OCR speed on scanned pages"
PAGES = 4
DPIS = (150, 300)


def answer_page(n: int) -> str:
    return "\n".join([
        f"Answer sheet - page {n}",
        f"Q{n}. Photosynthesis happens in the chloroplasts of the leaf.",
        "Chlorophyll absorbs red and blue light and reflects green.",
        "Carbon dioxide and water are turned into glucose and oxygen.",
        "The oxygen leaves the leaf through the stomata.",
        "Starch is stored in the leaf and tested with iodine.",
        "Plants kept in the dark for two days have no starch.",
        "A water plant in light gives off bubbles of oxygen.",
    ])


def run(workdir: Path, quick: bool = False) -> Section:
    from quorvan_core.ocr_extractor.extractor_client import ExtractorClient

    os.environ.pop("QUORVAN_EXTRACT_THREADS", None)
    path = pdfs.write_scanned_pdf(workdir / "scan.pdf", [answer_page(n) for n in range(1, PAGES + 1)], dpi=300)
    rounds = 2 if quick else 3
    have_cli = shutil.which("tesseract") is not None and shutil.which("pdftoppm") is not None

    table = Table(["dpi", "tool", "median s / document", "pages / s", "quorvan_core local ÷ tool",
                   "words read"])
    for dpi in DPIS:
        client = ExtractorClient(extractor_type="local")
        client.set_dpi(dpi)

        def local():
            return "\n".join(client.process_pdf(str(path)).values())

        def local_one_thread():
            os.environ["QUORVAN_EXTRACT_THREADS"] = "1"
            try:
                return local()
            finally:
                del os.environ["QUORVAN_EXTRACT_THREADS"]

        # The commands as a shell would start them: the library sets
        # OMP_THREAD_LIMIT=1 for itself and its children, not for them.
        shell_env = {k: v for k, v in os.environ.items() if k != "OMP_THREAD_LIMIT"}

        def command_line(env):
            # What a script would do: render every page, then one tesseract process per page.
            def run():
                prefix = workdir / f"page-{dpi}"
                subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", "-png", str(path), str(prefix)], check=True,
                               env=env)
                texts = []
                for image in sorted(workdir.glob(f"page-{dpi}-*.png")):
                    texts.append(subprocess.run(["tesseract", str(image), "-", "-l", "eng"], capture_output=True,
                                                check=True, text=True, env=env).stdout)
                    image.unlink()
                return "\n".join(texts)
            return run

        contenders = {"quorvan_core local": local, "quorvan_core local, 1 thread": local_one_thread}
        if have_cli:
            contenders["pdftoppm + tesseract (processes)"] = command_line(shell_env)
            serial_env = {**shell_env, "OMP_THREAD_LIMIT": "1"}
            contenders["pdftoppm + tesseract, OMP_THREAD_LIMIT=1"] = command_line(serial_env)
        local_one_thread()  # this thread's engine starts once; helpers start theirs in every call
        times = interleaved(contenders, rounds)
        words = {name: len(fn().split()) for name, fn in contenders.items()}
        ours = PAGES / median(times["quorvan_core local"])
        for name, t in times.items():
            speed = PAGES / median(t)
            table.rows.append([dpi, name, f"{median(t):.3f}", fmt(speed, 2), f"{ours / speed:.2f}×", words[name]])

    notes = [] if have_cli else ["The tesseract and pdftoppm commands were not found: no comparison row."]
    return Section(
        title=TITLE,
        method=(
            f"An image-only PDF of {PAGES} answer-sheet pages (text drawn at 14 pt, scanned at 300 dpi, no text layer), "
            f"read with `ExtractorClient(\"local\")` after `set_dpi(150)` and `set_dpi(300)` (default threads, and "
            f"with QUORVAN_EXTRACT_THREADS=1), {rounds} rounds each, taking turns, median time. Beside it, the same "
            "pages read the way a shell script would: pdftoppm renders them in grey and the tesseract command reads "
            "each one in turn (a process per page), once with OpenMP threads as Debian's Tesseract starts them and "
            "once with OMP_THREAD_LIMIT=1, the usual cure for their cost on a small machine. The calling thread's "
            "OCR engine starts once, before timing; the helper threads' engines start in every call and are "
            "counted, as the commands' start-ups are. There is no goal for this figure; it sizes answer-sheet jobs."
        ),
        tables=[table],
        notes=notes,
    )
