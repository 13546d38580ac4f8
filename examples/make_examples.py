"""Writes the example question paper and answer sheets (run from anywhere: python examples/make_examples.py).

examples/question_paper.pdf   a short Class 8 science paper with marks printed per question
examples/sheets/alice.pdf     typed answers to every question
examples/sheets/bilal.pdf     two pages: one question left out, one answer running onto page 2
examples/sheets/chen.pdf      a scanned sheet (an image only: its text is read by OCR)
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from tests.support.pdfs import write_scanned_pdf, write_text_pdf  # noqa: E402

PAPER = """Science Test - Class 8
Time: 40 minutes                              Maximum marks: 15
Answer all questions.

Q1. Define photosynthesis and name the gas that plants release during it. [2 marks]

Q2. Explain how the human heart pumps blood around the body. [4 marks]

Q3. State two differences between conductors and insulators of electricity. [4 marks]

Q4. Describe what happens to water molecules when water boils, and explain why
the temperature stays at 100 degrees Celsius until all of the water has boiled. [5 marks]
"""

ALICE = """Name: Alice Fernandes                Class 8B            Science Test

Q1. Photosynthesis is the process in which green plants use sunlight, water and
carbon dioxide to make glucose in their leaves. The gas released is oxygen.

Q2. The heart is a muscular pump with four chambers. The right side receives blood
from the body and pumps it to the lungs to collect oxygen. The left side receives
oxygen-rich blood from the lungs and pumps it through the arteries to the whole body.
Valves stop the blood from flowing backwards.

Q3. Conductors such as copper let electricity flow through them easily, insulators
such as plastic or rubber do not. Conductors have free electrons, insulators do not.

Q4. When water boils, its molecules gain energy, move faster and escape as steam.
The heat supplied is used to break the forces between the molecules instead of
raising the temperature, so the temperature stays at 100 degrees Celsius.
"""

BILAL_PAGE_1 = """Bilal Khan - Class 8A - Science

Answer 1: Plants make their food using sunlight. They release oxygen.

Answer 2: The heart pumps blood. It has chambers and the blood goes to the lungs
and then to the body through blood vessels.

Answer 4: When water boils the molecules move very fast and the water
"""

BILAL_PAGE_2 = """turns into steam. The temperature does not go up because the energy is used
to turn the water molecules into gas.
"""

CHEN = """Chen Wei   Class 8C

Q1. Photosynthesis: plants use light energy, water and carbon
dioxide to make glucose. Oxygen gas is released.

Q2. The heart pumps blood. It has four chambers and valves.

Q3. Conductors allow electricity to pass, insulators do not.
Copper is a conductor and rubber is an insulator.
"""


def main():
    sheets = HERE / "sheets"
    sheets.mkdir(parents=True, exist_ok=True)
    written = [
        write_text_pdf(HERE / "question_paper.pdf", [PAPER]),
        write_text_pdf(sheets / "alice.pdf", [ALICE]),
        write_text_pdf(sheets / "bilal.pdf", [BILAL_PAGE_1, BILAL_PAGE_2]),
        write_scanned_pdf(sheets / "chen.pdf", [CHEN], dpi=200),
    ]
    for path in written:
        print(path.relative_to(HERE.parent))


if __name__ == "__main__":
    main()
