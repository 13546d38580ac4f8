"""Shared by the class benchmarks: a synthetic paper and class, and the stand-in in its own process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import urllib.request
from contextlib import contextmanager
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
QUORVAN = Path(sys.executable).parent / "quorvan"

TOPICS = ["photosynthesis", "the heart", "conductors", "boiling water", "magnets", "the water cycle",
          "friction", "digestion", "sound waves", "the solar system"]


def questions(n: int) -> list[dict]:
    out = []
    for i in range(n):
        topic = TOPICS[i % len(TOPICS)]
        out.append({
            "q_id": f"Q{i + 1}",
            "question_text": f"Explain {topic} in your own words, with one example.",
            "max_marks": 4,
            "rubric": {"criteria": [{"statement": f"Explains {topic} correctly", "mark": 3.0},
                                    {"statement": "Gives a fitting example", "mark": 1.0}]},
            "reference_answer": f"A good answer explains {topic} step by step and gives an everyday example of {topic}.",
        })
    return out


def write_paper(path: Path, n_questions: int) -> Path:
    data = {"subject": "Science", "language": "English", "class_level": "Class 8", "questions": questions(n_questions)}
    path.write_text(json.dumps(data, indent=2), encoding="utf-8")
    return path


def write_class(folder: Path, n_sheets: int, n_questions: int) -> Path:
    sys.path.insert(0, str(ROOT))
    from tests.support.pdfs import write_text_pdf

    folder.mkdir(parents=True, exist_ok=True)
    for s in range(n_sheets):
        answers = [f"Q{i + 1}. {q['reference_answer'] if (s + i) % 3 else 'I am not sure about this one.'}"
                   for i, q in enumerate(questions(n_questions))]
        write_text_pdf(folder / f"student{s:03d}.pdf", ["\n\n".join(answers)])
    return folder


@contextmanager
def standin_process(delay: float):
    """The model stand-in as its own process (so it does not share this one's GIL); yields an environment."""
    proc = subprocess.Popen([sys.executable, "-m", "tests.support.standin", "--delay", str(delay), "--keep-alive"], cwd=ROOT,
                            stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().strip()
        assert line.startswith("STANDIN_URL="), line
        env = dict(os.environ, OPENAI_BASE_URL=line.split("=", 1)[1], OPENAI_API_KEY="sk-bench")
        yield env
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def standin_requests(env: dict) -> int:
    """Model requests the stand-in process of ``standin_process`` has received so far."""
    root = env["OPENAI_BASE_URL"].rsplit("/v1", 1)[0]
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # never through an http_proxy
    with direct.open(f"{root}/standin/requests", timeout=30) as response:
        return int(json.loads(response.read())["requests"])


def usage_records(log: Path) -> tuple[int, int]:
    """(model calls, failed calls) in a usage log."""
    text = log.read_text(encoding="utf-8")
    return text.count("\nTASK: "), text.count("_FAILED | \n")
