"""An OpenAI-compatible stand-in for the language model.

A real HTTP server on 127.0.0.1 that answers ``POST /v1/chat/completions`` with
structured output, so the real ``openai`` client can run against it offline::

    with StandIn() as standin:
        client = OpenAI(api_key="sk-test", base_url=standin.base_url)

or, as a process (prints ``STANDIN_URL=http://127.0.0.1:<port>/v1`` and serves
until SIGTERM/SIGINT)::

    python -m tests.support.standin [--port N] [--delay S] [--keep-alive] [--fault-every N --fault KIND]
                                    [--retry-after S] [--tokens-per-minute N [--window-seconds S]]

``GET /standin/requests`` answers ``{"requests": N}``, the chat-completion
requests received so far, and ``GET /standin/rejected`` ``{"rejected": N}``, the
token-limit 429s among them, for a stand-in running as a process.

The answer is chosen by ``response_format.json_schema.name`` and computed from
the user message, deterministically:

QuestionPaperResponse
    Questions found in the page text after "OCR Text:". A question starts at a
    line numbered "Q1.", "Q1)", "Q.1", "1.", "1)", "Question 1:", optionally with
    a sub-part written as part of the id ("1a.", "2(i)"); its text runs over the
    following lines until the next question, a page header or a header line
    ("Section B", "Time:", "Maximum marks", "Instructions" ...). Numbered lines
    inside an instructions block are not questions. ``q_id`` is "Q" + number +
    sub-part as written ("Q1", "Q2a", "Q2(i)"). Marks at a line end, "[5 marks]",
    "(5 marks)", "(5)", "[2]", "5 marks", "2x3=6" (the total) or "2x4" (the
    product), are removed from the text and added up; 0 when none.
RubricResponse
    Criteria from "Question:" and "Maximum Marks:", marks summing to the
    maximum: one criterion below 3 marks; two (content, clarity of expression)
    below 5; otherwise three (two content criteria naming the question's key
    words, one for clarity).
ReferenceAnswerResponse
    "A complete answer explains <the question's key words>."
EvaluationResponse
    Overlap of the significant words of "### Student Answer" with those of
    "### Reference Answer" (the question's when the reference is empty). With n
    criteria under "### Rubric Criteria", the first round(ratio * n) indices are
    fulfilled, all of them from a ratio of 0.8, none for an empty answer;
    ``awarded_marks`` sums their "(m marks)". Feedback: 2-4 sentences to "you".
AnswersheetResponse / ReferenceAnswerKeysResponse
    The ids listed as "- <id>: <text>" (under "### Available Questions", resp.
    "Questions:") split the page text into answers. An answer starts at a line
    labelled with an id or its number ("Q1", "Ans 1", "Answer 1:", "A1", "1.",
    "1)", case-insensitive) and runs until the next label, across pages; the
    label is dropped. A bare "1." inside an answer opened by a prefixed label
    (Q/Ans/Answer/A), or repeating an answered number, is a numbered step.
    ``page_numbers`` are the pages the answer has text on; text before the first
    label becomes an "Unknown" answer (answer sheets only).
PageTranscription
    ``{"text": "[page image <width>x<height>]"}`` from the PNG's IHDR chunk.

Any other schema is an HTTP 400 naming it, unless ``set_answer`` gave it an
answer (``set_answer`` also replaces built-in answers); ``inject`` queues
faults. Usage: prompt characters // 4 and answer characters // 4, at least 1.

Files and batches (the Batch API, as ``quorvan mark --batch`` uses it): ``POST /v1/files``
(multipart, purpose "batch"), ``GET /v1/files/{id}`` and ``/v1/files/{id}/content``, ``POST
/v1/batches`` (endpoint /v1/chat/completions, window 24h; a JSONL input whose lines are not requests
of that endpoint, or repeat a custom_id, is a 400), ``GET /v1/batches/{id}`` and ``POST
/v1/batches/{id}/cancel``. A batch is "validating", then "in_progress" with ``request_counts``
growing, until ``batch_seconds`` (read at each poll: 0 ends it at the next one) have passed; then
each line is answered exactly as the chat-completions endpoint answers its body (injected faults
included) into the output file, or into the error file when that answer is not a 200. Knobs:
``batch_fail_every = N`` fails every N-th line of a batch, each custom_id once only, so that it
succeeds when sent again, as ``batch_fail_kind`` says: "error" (a 500 in the error file), "500" (a
500 in the output file) or "invalid" (a 200 whose content is cut short); ``batch_expire = N`` makes
the next N batches end "expired" with only the first half of their lines answered;
``batch_queue_tokens = N`` makes a batch whose prompt tokens, with those of the batches still
validating or in progress, come to more than N fail at once (``token_limit_exceeded``), as the
service's enqueued-token limit does. Inspection: ``batch_lines`` (the request bodies of every
batch), ``files``, ``batches`` and ``queue_peak`` (the most prompt tokens ever enqueued at once).
``GET /v1/batches`` lists them, newest first (``limit``, ``after``). ``batch_create_drop = N``: the
next N batches are made but the connection is closed before the answer; ``batch_list_fail = N``:
the next N lists answer 500.

Faults: "429", "500", "503", "408", "401", "403" (that status; the 401 and 403
bodies carry a server text a client must not show as is); "429-retry" (429 with a
``Retry-After: <retry_after>`` header, plus ``retry-after-ms`` when
``retry_after_ms`` is set); "drop" (the connection is closed with no answer);
"malformed", "refusal", "length" (a 200 with a broken answer); "slow" (the
answer comes after ``slow_delay`` seconds). Every error answer carries
``x-should-retry: false``: whether to try again is the caller's decision, the
openai client must not retry by itself.

Token limit: ``StandIn(tokens_per_minute=N, window_seconds=60.0)`` enforces N
tokens in a rolling window of ``window_seconds`` (shorter windows with a scaled
limit keep tests quick). Each answered chat completion counts its usage
(prompt + completion) from the moment it is answered; an entry exactly a window
old has left. A completion that would take the window above N is not answered:
HTTP 429 with an OpenAI-shaped body (code ``rate_limit_exceeded``, type
``tokens``), ``x-ratelimit-limit-tokens``, ``x-ratelimit-remaining-tokens``,
``x-ratelimit-reset-tokens`` (time until the window is empty, written as OpenAI
writes durations: "1.5s", "250ms", "6m0s"), ``Retry-After`` (whole seconds,
rounded up) and ``retry-after-ms`` (until the completion would fit); it is not
counted and adds one to ``rejected``. A completion larger than N alone is
answered when the window is empty. Every 200 answer then carries the three
``x-ratelimit-*-tokens`` headers, the answer's own tokens already counted.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import itertools
import json
import math
import re
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Union

__all__ = ["StandIn", "FAULTS", "main"]

FAULTS = ("429", "500", "malformed", "refusal", "slow", "length", "429-retry", "503", "408", "drop", "401", "403")
DEFAULT_MODEL = "gpt-5-mini-2025-08-07"
REFUSAL = "I'm sorry, but I can't help with that request."

Answer = Union[dict, Callable[[dict], dict]]


# ---------------------------------------------------------------- text helpers

_STOP_WORDS = frozenset(
    """
    a about above after again all also am an and any are as at be because been before being
    below between both but by can could did do does doing down during each few for from
    further had has have having he her here hers him his how if in into is it its itself
    just me more most my no nor not now of off on once only or other our out over own same
    she should so some such than that the their them then there these they this those
    through to too under until up very was we were what when where which while who whom
    whose why will with would you your yours shall may might must upon via per
    answer answers complete covers cover question questions marks mark explain explains
    describe define discuss state write give list name mention find show briefly brief
    short using use used following given key point points one two three four five
    process role function importance meaning different various types main terms help
    """.split()
)
_WORD = re.compile(r"[^\W_]+")
_OCR_HEADER = r".*OCR Text:[ \t]*$"
_PAGE_HEADER = re.compile(r"^--- Page (\d+) ---[ \t]*$", re.M)


def _significant_words(text: str) -> list[str]:
    """Lower-cased content words in order of first appearance, each once."""
    seen: dict[str, None] = {}
    for word in _WORD.findall(text.lower()):
        # Single digits and one- or two-letter words carry no topic.
        if word in _STOP_WORDS or len(word) < (2 if any(c.isdigit() for c in word) else 3):
            continue
        seen.setdefault(word, None)
    return list(seen)


def _join_words(words: list[str]) -> str:
    if not words:
        return "the topic"
    if len(words) == 1:
        return words[0]
    return ", ".join(words[:-1]) + " and " + words[-1]


def _line_index(text: str, pattern: str, start: int = 0, last: bool = False) -> tuple[int, int] | None:
    """(start, end) of the first (or last) line after `start` whose stripped text matches."""
    found = None
    for m in re.finditer(rf"^[ \t]*(?:{pattern})[^\n]*$", text[start:], re.M | re.I):
        found = (start + m.start(), start + m.end())
        if not last:
            break
    return found


def _between(text: str, start_pat: str, end_pat: str | None, last_end: bool = False) -> str:
    """Text after the line matching start_pat, up to the line matching end_pat (or the end)."""
    head = _line_index(text, start_pat)
    if head is None:
        return ""
    end = _line_index(text, end_pat, head[1], last=last_end) if end_pat else None
    return text[head[1] : end[0] if end else len(text)]


def _field(text: str, name: str, stops: tuple[str, ...]) -> str:
    """Value of a "Name: value" line; the value may continue until one of the stop keys."""
    pattern = rf"^[ \t]*{name}:[ \t]*(.*?)(?=\n[ \t]*(?:{'|'.join(stops)}):|\n[ \t]*#|\Z)"
    m = re.search(pattern, text, re.M | re.S)
    return " ".join(m.group(1).split()) if m else ""


def _pages(ocr: str) -> list[tuple[int, list[str]]]:
    """Split "--- Page N ---" blocks into (page, lines); text without headers is page 1."""
    headers = list(_PAGE_HEADER.finditer(ocr))
    if not headers:
        return [(1, ocr.strip("\n").splitlines())]
    pages = []
    for i, h in enumerate(headers):
        end = headers[i + 1].start() if i + 1 < len(headers) else len(ocr)
        # The blank lines around a page block are layout, not part of an answer.
        pages.append((int(h.group(1)), ocr[h.end() : end].strip("\n").splitlines()))
    return pages


def _ocr_text(prompt: str) -> str:
    """The page text: after "OCR Text:", up to the template's last "Instructions:" line."""
    if _line_index(prompt, _OCR_HEADER) is None:
        return prompt
    return _between(prompt, _OCR_HEADER, r"#*[ \t]*Instructions:[ \t]*$", last_end=True)


# ------------------------------------------------------------ question papers

_Q_PREFIXED = re.compile(
    r"^(?:Q(?:uestion|ues|n)?)[ \t]*\.?[ \t]*(?:No\.?[ \t]*)?(\d{1,3})(?!\d)"
    r"([a-z](?![a-z])|\((?:[a-z]|[ivx]{1,4})\))?[ \t]*[.):\-]?[ \t]*(.*)$",
    re.I,
)
_Q_BARE = re.compile(
    r"^(\d{1,3})(?:([a-z])(?![a-z])|\(((?:[a-z]|[ivx]{1,4}))\))?"
    r"(?:[.):](?=\s|$)|(?<=[a-z)])(?=\s))[ \t]*(.*)$",
    re.I,
)
_HEADER_LINE = re.compile(
    r"^(?:(?i:section|part)\s*[-:–]?\s*(?:[A-Z]|[IVX]{1,4}|\d{1,2})\b(?!\s+[a-z])"
    r"|(?i:(?:general\s+)?instructions?\s*(?:[:\-]|$)|time\s*(?:allowed|:|-)"
    r"|(?:maximum|max\.?|total)\s+marks?\b|\W*end of\b|page\s+\d+(?:\s+of\s+\d+)?\s*$))",
)
_MARKS_AT_END = [
    # 2x3=6: the total after "="
    (re.compile(r"[\[(]?\s*\d+(?:\.\d+)?\s*[x×*]\s*\d+(?:\.\d+)?\s*=\s*(\d+(?:\.\d+)?)\s*[\])]?\s*$", re.I),
     lambda m: float(m.group(1))),
    # 2x4: the product
    (re.compile(r"(?<![\w.])[\[(]?\s*(\d+(?:\.\d+)?)\s*[x×*]\s*(\d+(?:\.\d+)?)\s*[\])]?\s*$", re.I),
     lambda m: float(m.group(1)) * float(m.group(2))),
    # [5 marks], (5 marks), (5), [2], [3M]; a space before the bracket keeps f(5) out
    (re.compile(r"(?:^|\s)[\[(]\s*(\d+(?:\.\d+)?)\s*(?:marks?|m)?\s*[\])]\s*$", re.I),
     lambda m: float(m.group(1))),
    # 5 marks
    (re.compile(r"(?:^|\s)(\d+(?:\.\d+)?)\s*marks?\s*$", re.I), lambda m: float(m.group(1))),
]


def _question_start(line: str) -> tuple[str, str, bool] | None:
    """(q_id, rest of line, prefixed) when the line opens a numbered question."""
    m = _Q_PREFIXED.match(line)
    if m:
        return "Q" + m.group(1) + (m.group(2) or "").lower(), m.group(3), True
    m = _Q_BARE.match(line)
    if m:
        sub = m.group(2) or (f"({m.group(3)})" if m.group(3) else "")
        return "Q" + m.group(1) + sub.lower(), m.group(4), False
    return None


def _strip_marks(line: str) -> tuple[str, float | None]:
    for pattern, value in _MARKS_AT_END:
        m = pattern.search(line)
        if m:
            return line[: m.start()].rstrip(), value(m)
    return line, None


def answer_question_paper(prompt: str) -> dict:
    ocr = _ocr_text(prompt)
    questions: list[dict] = []
    current: dict | None = None
    in_instructions = False

    def close() -> None:
        if current is not None:
            text = " ".join(" ".join(current["lines"]).split())
            questions.append({"q_id": current["q_id"], "question_text": text, "max_marks": current["max_marks"]})

    for _page, lines in _pages(ocr):
        close()
        current = None
        in_instructions = False
        for raw in lines:
            line = raw.strip()
            if not line:
                in_instructions = False
                continue
            start = _question_start(line)
            if start and (start[2] or not in_instructions):
                close()
                in_instructions = False
                current = {"q_id": start[0], "lines": [], "max_marks": 0.0}
                line = start[1]
            elif _HEADER_LINE.match(line):
                close()
                current = None
                in_instructions = bool(re.search(r"instructions?\b", line, re.I))
                continue
            elif current is None:
                continue
            text, marks = _strip_marks(line)
            if marks is not None:
                current["max_marks"] += marks
            if text:
                current["lines"].append(text)
    close()
    return {"questions": [q for q in questions if q["question_text"] or q["max_marks"]]}


# -------------------------------------------------------- rubrics and answers


def _question_of(prompt: str) -> str:
    return _field(prompt, "Question", ("Reference Answer", "Class Level", "Subject", "Maximum Marks"))


def answer_rubric(prompt: str) -> dict:
    words = _significant_words(_question_of(prompt))[:4]
    m = re.search(r"^[ \t]*Maximum Marks:[ \t]*(\d+(?:\.\d+)?)", prompt, re.M)
    maximum = float(m.group(1)) if m else 0.0
    clarity = "Expresses the answer clearly in well-organised sentences"
    if maximum < 3:
        criteria = [(f"Accurately answers about {_join_words(words)}", maximum)]
    elif maximum < 5:
        criteria = [(f"Demonstrates understanding of {_join_words(words)}", maximum - 1.0), (clarity, 1.0)]
    else:
        half = max(1, (len(words) + 1) // 2)
        first, second = words[:half], words[half:] or words[:half]
        style = 1.0 if maximum < 10 else 2.0
        a = float(math.ceil((maximum - style) / 2))
        criteria = [
            (f"Demonstrates understanding of {_join_words(first)}", a),
            (f"Accurately explains {_join_words(second)}", maximum - style - a),
            (clarity, style),
        ]
    return {"criteria": [{"statement": s, "mark": float(mk)} for s, mk in criteria]}


def answer_reference(prompt: str) -> dict:
    words = _significant_words(_question_of(prompt))
    return {"reference_answer": f"A complete answer explains {_join_words(words)}."}


_CRITERION = re.compile(r"^[ \t]*(\d+):[ \t]*(.*?)[ \t]*\((-?\d+(?:\.\d+)?)[ \t]*marks?\)[ \t]*$", re.M)


def answer_evaluation(prompt: str) -> dict:
    reference = _between(prompt, r"#+[ \t]*Reference Answer\b", r"#+[ \t]*Student Answer\b")
    student = _between(prompt, r"#+[ \t]*Student Answer\b", r"#+[ \t]*Rubric Criteria\b").strip()
    rubric = _between(prompt, r"#+[ \t]*Rubric Criteria\b", r"#+[ \t]*Evaluation Guidelines\b")
    marks = [float(m.group(3)) for m in _CRITERION.finditer(rubric)]
    expected = _significant_words(reference) or _significant_words(
        _between(prompt, r"#+[ \t]*Question[ \t]*$", r"#+[ \t]*Reference Answer\b")
    )
    written = set(_significant_words(student))
    covered = [w for w in expected if w in written]
    missing = [w for w in expected if w not in written]
    if not student:
        ratio = 0.0
    elif not expected:
        ratio = 1.0
    else:
        ratio = len(covered) / len(expected)
    n = len(marks)
    k = n if ratio >= 0.8 else min(n, math.floor(ratio * n + 0.5))

    if not student:
        feedback = ("You did not write an answer to this question. "
                    f"Your answer should cover points such as {_join_words(missing[:3])}.")
    elif k == n:
        feedback = ("You met all the requirements of this question. "
                    f"Your answer covers {_join_words(covered[:3] or ['the main idea'])} accurately. "
                    "Keep presenting your ideas this clearly.")
    elif k == 0:
        feedback = ("You made an attempt at this question. "
                    f"Your answer does not yet mention key ideas such as {_join_words(missing[:3])}. "
                    "Review the topic and include these points next time.")
    else:
        feedback = (f"You explained {_join_words(covered[:3])} well. "
                    f"Your answer would be complete if you also covered {_join_words(missing[:3])}.")
    return {"fulfilled_criteria": list(range(k)), "awarded_marks": float(sum(marks[:k])), "feedback": feedback}


# ------------------------------------------------------ answer sheets and keys

_ID_LINE = re.compile(r"^[ \t]*-[ \t]*([^\s:]+):", re.M)
_ANSWER_LABEL = re.compile(
    r"^(?P<prefix>Q(?:uestion|ues|n)?[ \t]*\.?|Ans(?:wer)?[ \t]*\.?|A(?=\.?\d))?[ \t]*"
    r"(?:No\.?[ \t]*)?(?P<num>\d{1,3})(?!\d)(?P<sub>[a-z](?![a-z])|[ \t]*\([a-z]{1,4}\))?",
    re.I,
)


def _id_key(q_id: str) -> tuple[str, str] | None:
    m = re.fullmatch(r"(?:Q(?:uestion)?\.?[ \t]*)?(\d{1,3})[ \t]*(?:([a-z])|\(([a-z]{1,4})\))?", q_id, re.I)
    if not m:
        return None
    return str(int(m.group(1))), (m.group(2) or m.group(3) or "").lower()


def _label(line: str, ids: list[str], keys: dict[tuple[str, str], str]) -> tuple[str, str, bool] | None:
    """(q_id, rest of line, prefixed) when the line opens the answer to one of `ids`."""
    for q_id in ids:
        if q_id in keys.values():
            continue  # numbered ids go through the label pattern below
        if line[: len(q_id)].lower() == q_id.lower() and not line[len(q_id) : len(q_id) + 1].isalnum():
            return q_id, line[len(q_id) :], True
    m = _ANSWER_LABEL.match(line)
    if not m:
        return None
    num, sub = str(int(m.group("num"))), (m.group("sub") or "").strip(" \t()").lower()
    end = m.end()
    if (num, sub) not in keys:
        sub, end = "", m.end("num")
    q_id = keys.get((num, sub))
    if q_id is None:
        return None
    rest = line[end:]
    prefixed = m.group("prefix") is not None
    if prefixed:
        return None if rest[:1].isalnum() else (q_id, rest, True)
    # A bare number must look like a label: "1.", "1)", "1:" or "1a ..."
    if re.match(r"[.):](?:\s|$)", rest) or (sub and re.match(r"\s|$", rest)):
        return q_id, rest, False
    return None


def _split_answers(ocr: str, ids: list[str]) -> list[dict]:
    keys = {k: q for q in ids if (k := _id_key(q)) is not None}
    answers: list[dict] = []
    current = {"q_id": "Unknown", "lines": [], "page_numbers": [], "prefixed": False}
    for page, lines in _pages(ocr):
        for raw in lines:
            found = _label(raw.strip(), ids, keys)
            # Bare "1." inside an answer labelled "Q3"/"Ans 3", or repeating an
            # answered number, is a numbered step of the current answer.
            if found and not found[2]:
                if current["prefixed"] or any(a["q_id"] == found[0] for a in answers + [current]):
                    found = None
            if found:
                answers.append(current)
                current = {"q_id": found[0], "lines": [], "page_numbers": [], "prefixed": found[2]}
                raw = found[1].lstrip(" \t.):-")
            if (found or raw.strip()) and page not in current["page_numbers"]:
                current["page_numbers"].append(page)
            current["lines"].append(raw.rstrip())
    answers.append(current)
    result = []
    for a in answers:
        text = re.sub(r"\n{3,}", "\n\n", "\n".join(a["lines"]).strip())
        if a["q_id"] != "Unknown" or text:
            result.append({"q_id": a["q_id"], "answer_text": text, "page_numbers": a["page_numbers"]})
    return result


def answer_answersheet(prompt: str) -> dict:
    listed = _between(prompt, r"#+[ \t]*Available Questions\b", r"#+[ \t]*Student Answersheet OCR Text\b")
    ids = _ID_LINE.findall(listed)
    return {"answers": _split_answers(_ocr_text(prompt), ids)}


def answer_reference_keys(prompt: str) -> dict:
    ids = _ID_LINE.findall(_between(prompt, r"Questions:", r".*OCR Text:[ \t]*$"))
    return {
        "reference_answers": [
            {"q_id": a["q_id"], "reference_answer": a["answer_text"]}
            for a in _split_answers(_ocr_text(prompt), ids)
            if a["q_id"] != "Unknown"
        ]
    }


# ------------------------------------------------------------------ page images


class _BadRequest(Exception):
    pass


def _png_size(url: str) -> tuple[int, int]:
    if not url.startswith("data:image/png;base64,"):
        raise _BadRequest("the page image must be a data:image/png;base64 URL")
    try:
        data = base64.b64decode(url.split(",", 1)[1], validate=True)
    except (binascii.Error, ValueError) as exc:
        raise _BadRequest(f"the page image is not valid base64: {exc}") from None
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise _BadRequest("the page image is not a PNG")
    return struct.unpack(">II", data[16:24])


def answer_page_transcription(body: dict) -> dict:
    for message in body.get("messages") or []:
        content = message.get("content") if isinstance(message, dict) else None
        if isinstance(content, list):
            for part in content:
                if isinstance(part, dict) and part.get("type") == "image_url":
                    width, height = _png_size(str((part.get("image_url") or {}).get("url", "")))
                    return {"text": f"[page image {width}x{height}]"}
    raise _BadRequest("a PageTranscription request needs an image_url part")


# ------------------------------------------------------------------- the server


def _prompt_tokens(body: dict) -> int:
    """A request's prompt tokens, as the stand-in counts them."""
    return max(1, sum(map(len, _texts(body.get("messages")))) // 4)


def _texts(messages: list, roles: tuple[str, ...] | None = None) -> list[str]:
    texts = []
    for message in messages if isinstance(messages, list) else []:
        if not isinstance(message, dict) or (roles and message.get("role") not in roles):
            continue
        content = message.get("content")
        if isinstance(content, str):
            texts.append(content)
        elif isinstance(content, list):
            texts.extend(p["text"] for p in content if isinstance(p, dict) and isinstance(p.get("text"), str))
    return texts


def _from_prompt(build: Callable[[str], dict]) -> Callable[[dict], dict]:
    return lambda body: build("\n".join(_texts(body.get("messages"), ("user",))))


_BUILT_IN: dict[str, Callable[[dict], dict]] = {
    "QuestionPaperResponse": _from_prompt(answer_question_paper),
    "RubricResponse": _from_prompt(answer_rubric),
    "ReferenceAnswerResponse": _from_prompt(answer_reference),
    "EvaluationResponse": _from_prompt(answer_evaluation),
    "AnswersheetResponse": _from_prompt(answer_answersheet),
    "ReferenceAnswerKeysResponse": _from_prompt(answer_reference_keys),
    "PageTranscription": answer_page_transcription,
}


def _error(status: int, message: str, kind: str, code: str | None) -> tuple[int, dict, dict]:
    headers = {"x-should-retry": "false"}
    return status, {"error": {"message": message, "type": kind, "param": None, "code": code}}, headers


# What _answer returns for a "drop": no answer at all.
_DROP = None


class _Server(ThreadingHTTPServer):
    # Join handler threads on close, so no request outlives stop().
    daemon_threads = False
    block_on_close = True
    request_queue_size = 128
    standin: "StandIn"

    def __init__(self, *args: Any, **kwargs: Any):
        super().__init__(*args, **kwargs)
        self.open_connections: set[socket.socket] = set()
        self.connections_lock = threading.Lock()

    def wake_idle_connections(self) -> None:
        # A kept-alive connection waits in a read for its next request; ending
        # the read side wakes it at once, while an answer being written still
        # goes out whole.
        with self.connections_lock:
            for conn in self.open_connections:
                try:
                    conn.shutdown(socket.SHUT_RD)
                except OSError:
                    pass

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (timeout) is not a server fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "StandIn/1.0"
    timeout = 30  # a silent client must not hold server_close() forever
    # Headers and body leave in one segment, at once: with Nagle's algorithm a
    # body sent after the headers waits for the client's delayed ACK (up to
    # 40 ms a request), which would swamp a stand-in answering in 0 to 100 ms.
    disable_nagle_algorithm = True

    def setup(self) -> None:
        super().setup()
        if self.server.standin.keep_alive:
            self.protocol_version = "HTTP/1.1"
        with self.server.connections_lock:
            self.server.open_connections.add(self.connection)

    def finish(self) -> None:
        with self.server.connections_lock:
            self.server.open_connections.discard(self.connection)
        super().finish()

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        # Outside /v1, so that no OpenAI route is shadowed: how many requests
        # a stand-in in another process has received.
        if self.path.split("?", 1)[0].rstrip("/") == "/standin/requests":
            self._send(200, {"requests": len(self.server.standin.requests)}, {})
            return
        if self.path.split("?", 1)[0].rstrip("/") == "/standin/rejected":
            self._send(200, {"rejected": self.server.standin.rejected}, {})
            return
        if self.server.standin._batch_route("GET", self.path, b"", self.headers, self._send, self._send_bytes):
            return
        self._send(*_error(404, f"no route for GET {self.path}", "invalid_request_error", "unknown_url"))

    def do_POST(self) -> None:
        raw = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.server.standin._batch_route("POST", self.path, raw, self.headers, self._send, self._send_bytes,
                                            self._drop):
            return
        if self.path.split("?", 1)[0].rstrip("/") != "/v1/chat/completions":
            self._send(*_error(404, f"no route for POST {self.path}", "invalid_request_error", "unknown_url"))
            return
        self.server.standin._serve(raw, self._send, self._drop)

    def _drop(self) -> None:
        # Nothing is written: the client reads the end of the stream where the answer should be.
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _send(self, status: int, body: dict, headers: dict) -> None:
        self._send_bytes(status, json.dumps(body, ensure_ascii=False).encode("utf-8"),
                         "application/json; charset=utf-8", headers)

    def _send_bytes(self, status: int, data: bytes, content_type: str, headers: dict) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers.items():
            self.send_header(name, value)
        if self.server.standin._stopping.is_set():
            self.send_header("Connection", "close")
        self._headers_buffer.append(b"\r\n")
        self._headers_buffer.append(data)
        self.flush_headers()


# ---------------------------------------------------------------- files and batches


class _BatchesMixin:
    """The files and batches endpoints (see the module docstring)."""

    _lock: threading.Lock
    _ids: "itertools.count[int]"
    _answer: Callable[[dict], tuple[int, dict, dict] | None]

    def _init_batches(self) -> None:
        self.batch_seconds = 0.0
        self.batch_fail_every: int | None = None
        self.batch_fail_kind = "error"
        self.batch_expire = 0
        self.batch_queue_tokens: int | None = None
        self.queue_peak = 0
        self.batch_create_drop = 0
        self.batch_list_fail = 0
        self.batch_lines: list[dict] = []
        self.files: dict[str, dict] = {}
        self.batches: dict[str, dict] = {}
        self._failed_once: set[str] = set()
        self._batch_state: dict[str, dict] = {}

    def _new_file(self, data: bytes, filename: str, purpose: str) -> dict:
        with self._lock:
            file_id = f"file-standin-{next(self._ids)}"
        record = {"id": file_id, "object": "file", "bytes": len(data), "created_at": int(time.time()),
                  "filename": filename, "purpose": purpose, "status": "processed"}
        with self._lock:
            self.files[file_id] = {**record, "data": data}
        return record

    def _batch_route(self, method: str, path: str, raw: bytes, headers: Any, send: Callable[..., None],
                     send_bytes: Callable[..., None], drop: Callable[[], None] | None = None) -> bool:
        query = urllib.parse.parse_qs(path.split("?", 1)[1]) if "?" in path else {}
        path = path.split("?", 1)[0].rstrip("/")
        parts = path.split("/")[1:]  # "v1", "files" | "batches", ...
        if len(parts) < 2 or parts[0] != "v1" or parts[1] not in ("files", "batches"):
            return False
        if method == "POST" and path == "/v1/files":
            send(*self._upload(raw, headers.get("Content-Type", "")))
        elif method == "GET" and len(parts) in (3, 4) and parts[1] == "files":
            with self._lock:
                found = self.files.get(parts[2])
            if found is None:
                send(*_error(404, f"No such File object: {parts[2]}", "invalid_request_error", None))
            elif len(parts) == 4 and parts[3] == "content":
                send_bytes(200, found["data"], "application/octet-stream", {})
            elif len(parts) == 3:
                send(200, {k: v for k, v in found.items() if k != "data"}, {})
            else:
                return False
        elif method == "POST" and path == "/v1/batches":
            answer = self._create_batch(raw)
            with self._lock:
                dropped = self.batch_create_drop > 0 and answer[0] == 200 and drop is not None
                if dropped:
                    self.batch_create_drop -= 1
            if dropped:
                drop()  # made, and the answer lost on the way
            else:
                send(*answer)
        elif method == "GET" and path == "/v1/batches":
            with self._lock:
                failing = self.batch_list_fail > 0
                if failing:
                    self.batch_list_fail -= 1
            if failing:
                send(*_error(500, "The server had an error listing batches (stand-in).", "server_error", None))
            else:
                send(200, self._list_batches(query), {})
        elif len(parts) in (3, 4) and parts[1] == "batches":
            cancel = len(parts) == 4 and parts[3] == "cancel" and method == "POST"
            if len(parts) == 4 and not cancel:
                return False
            with self._lock:
                known = parts[2] in self.batches
            if not known:
                send(*_error(404, f"No batch found with id '{parts[2]}'.", "invalid_request_error", None))
            else:
                send(200, self._advance(parts[2], cancel=cancel), {})
        else:
            return False
        return True

    def _upload(self, raw: bytes, content_type: str) -> tuple[int, dict, dict]:
        from email.parser import BytesParser
        from email.policy import HTTP

        message = BytesParser(policy=HTTP).parsebytes(b"Content-Type: " + content_type.encode("latin-1")
                                                      + b"\r\n\r\n" + raw)
        if not message.is_multipart():
            return _error(400, "the upload must be multipart/form-data", "invalid_request_error", None)
        fields: dict[str, tuple[str | None, bytes]] = {}
        for part in message.iter_parts():
            name = part.get_param("name", header="content-disposition")
            fields[str(name)] = (part.get_filename(), part.get_payload(decode=True) or b"")
        if "file" not in fields or "purpose" not in fields:
            return _error(400, "both 'file' and 'purpose' are required", "invalid_request_error", None)
        purpose = fields["purpose"][1].decode()
        if purpose != "batch":
            return _error(400, f"the stand-in takes files of purpose 'batch' only, not {purpose!r}",
                          "invalid_request_error", None)
        return 200, self._new_file(fields["file"][1], fields["file"][0] or "upload.jsonl", purpose), {}

    def _create_batch(self, raw: bytes) -> tuple[int, dict, dict]:
        try:
            request = json.loads(raw)
        except ValueError:
            request = None
        if not isinstance(request, dict):
            return _error(400, "the request body is not a JSON object", "invalid_request_error", None)
        endpoint, window = request.get("endpoint"), request.get("completion_window")
        if endpoint != "/v1/chat/completions" or window != "24h":
            return _error(400, "endpoint must be /v1/chat/completions and completion_window 24h",
                          "invalid_request_error", None)
        with self._lock:
            file = self.files.get(request.get("input_file_id"))
        if file is None or file["purpose"] != "batch":
            return _error(400, "input_file_id names no file of purpose 'batch'", "invalid_request_error", None)
        lines, seen = [], set()
        for number, text in enumerate(file["data"].decode("utf-8").splitlines(), 1):
            if not text.strip():
                continue
            try:
                line = json.loads(text)
            except ValueError:
                return _error(400, f"line {number} is not JSON", "invalid_request_error", None)
            if (not isinstance(line, dict) or not isinstance(line.get("custom_id"), str)
                    or line.get("method") != "POST" or line.get("url") != endpoint
                    or not isinstance(line.get("body"), dict)):
                return _error(400, f"line {number} is not a request of this batch", "invalid_request_error", None)
            if line["custom_id"] in seen:
                return _error(400, f"line {number}: custom_id {line['custom_id']!r} is not unique",
                              "invalid_request_error", None)
            seen.add(line["custom_id"])
            lines.append(line)
        if not lines:
            return _error(400, "the input file holds no requests", "invalid_request_error", None)
        now = int(time.time())
        tokens = sum(_prompt_tokens(line["body"]) for line in lines)
        with self._lock:
            batch_id = f"batch_standin_{next(self._ids)}"
            queued = sum(self._batch_state[b_id]["tokens"] for b_id, batch in self.batches.items()
                         if batch["status"] in ("validating", "in_progress"))
            if self.batch_queue_tokens is not None and queued + tokens > self.batch_queue_tokens:
                # As the service does: the batch is made, and fails at once.
                message = (f"Enqueued token limit reached for {lines[0]['body'].get('model')}. Limit: "
                           f"{self.batch_queue_tokens} enqueued tokens. Please try again once some in_progress "
                           "batches have been completed.")
                self.batches[batch_id] = {
                    "id": batch_id, "object": "batch", "endpoint": endpoint, "input_file_id": file["id"],
                    "completion_window": window, "status": "failed", "created_at": now, "failed_at": now,
                    "errors": {"object": "list", "data": [{"code": "token_limit_exceeded", "message": message,
                                                           "param": None, "line": None}]},
                    "output_file_id": None, "error_file_id": None, "expires_at": now + 86400,
                    "request_counts": {"total": 0, "completed": 0, "failed": 0},
                    "metadata": request.get("metadata"),
                }
                self._batch_state[batch_id] = {"lines": lines, "started": time.monotonic(), "expire": False,
                                               "tokens": 0}
                return 200, dict(self.batches[batch_id]), {}
            self.queue_peak = max(self.queue_peak, queued + tokens)
            expire = self.batch_expire > 0
            if expire:
                self.batch_expire -= 1
            self.batch_lines.extend(line["body"] for line in lines)
            self.batches[batch_id] = {
                "id": batch_id, "object": "batch", "endpoint": endpoint, "errors": None,
                "input_file_id": file["id"], "completion_window": window, "status": "validating",
                "output_file_id": None, "error_file_id": None, "created_at": now, "in_progress_at": None,
                "expires_at": now + 86400, "finalizing_at": None, "completed_at": None, "failed_at": None,
                "expired_at": None, "cancelling_at": None, "cancelled_at": None,
                "request_counts": {"total": len(lines), "completed": 0, "failed": 0},
                "metadata": request.get("metadata"),
            }
            self._batch_state[batch_id] = {"lines": lines, "started": time.monotonic(), "expire": expire,
                                           "tokens": tokens}
            return 200, dict(self.batches[batch_id]), {}

    def _list_batches(self, query: dict) -> dict:
        """The batches, newest first, a page at a time as the service lists them (limit, after)."""
        with self._lock:
            ids = list(self.batches)[::-1]
        limit = int((query.get("limit") or ["20"])[0])
        after = (query.get("after") or [None])[0]
        if after in ids:
            ids = ids[ids.index(after) + 1:]
        page = [self._advance(batch_id) for batch_id in ids[:limit]]
        return {"object": "list", "data": page, "first_id": page[0]["id"] if page else None,
                "last_id": page[-1]["id"] if page else None, "has_more": len(ids) > limit}

    def _line_result(self, line: dict, position: int) -> tuple[str, dict]:
        """("output" or "error", the line of that file) for one request."""
        custom_id = line["custom_id"]
        fail = None
        with self._lock:
            if (self.batch_fail_every and position % self.batch_fail_every == 0
                    and custom_id not in self._failed_once):
                self._failed_once.add(custom_id)
                fail = self.batch_fail_kind
        request_id = f"req_standin_{next(self._ids)}"
        if fail in ("error", "500"):
            status, body, _ = _error(500, "The server had an error while processing your request (stand-in).",
                                     "server_error", None)
        else:
            answered = self._answer(line["body"])
            status, body = (500, _error(500, "connection dropped (stand-in)", "server_error", None)[1]) \
                if answered is None else answered[:2]
            if fail == "invalid" and status == 200:
                body["choices"][0]["message"]["content"] = body["choices"][0]["message"]["content"][:-1]
        result = {"id": f"batch_req_{request_id}", "custom_id": custom_id,
                  "response": {"status_code": status, "request_id": request_id, "body": body}, "error": None}
        return ("output" if status == 200 or fail == "500" else "error"), result

    def _advance(self, batch_id: str, cancel: bool = False) -> dict:
        with self._lock:
            batch, state = self.batches[batch_id], self._batch_state[batch_id]
            if batch["status"] in ("completed", "expired", "cancelled", "failed"):
                return dict(batch)
            elapsed = time.monotonic() - state["started"]
            total = len(state["lines"])
            seconds = self.batch_seconds  # read now: a test may end a long batch early
            done = total if elapsed >= seconds else int(total * elapsed / seconds)
        if done < total and not cancel:
            with self._lock:
                if batch["status"] == "validating" and elapsed > 0:
                    batch["status"], batch["in_progress_at"] = "in_progress", int(time.time())
                if batch["status"] == "in_progress":
                    batch["request_counts"] = {"total": total, "completed": done, "failed": 0}
                return dict(batch)
        # Ended: an expired batch answers its first half only, a cancelled one
        # what it had answered.
        if cancel:
            answered, final = done, "cancelled"
        elif state["expire"]:
            answered, final = total // 2, "expired"
        else:
            answered, final = total, "completed"
        files: dict[str, list[str]] = {"output": [], "error": []}
        failed = 0
        for position, line in enumerate(state["lines"][:answered], 1):
            kind, result = self._line_result(line, position)
            failed += result["response"]["status_code"] != 200
            files[kind].append(json.dumps(result, ensure_ascii=False))
        for kind in ("output", "error"):
            if files[kind]:
                record = self._new_file(("\n".join(files[kind]) + "\n").encode("utf-8"),
                                        f"{batch_id}_{kind}.jsonl", f"batch_{kind}")
                batch[f"{kind}_file_id"] = record["id"]
        with self._lock:
            now = int(time.time())
            batch["status"] = final
            batch[{"completed": "completed_at", "expired": "expired_at", "cancelled": "cancelled_at"}[final]] = now
            batch["request_counts"] = {"total": total, "completed": answered - failed, "failed": failed}
            return dict(batch)


class _Fault:
    def __init__(self, kind: str, count: int, schema: str | None, every: int | None):
        self.kind, self.left, self.schema, self.every, self.seen = kind, count, schema, every, 0


class StandIn(_BatchesMixin):
    """OpenAI-compatible chat-completions server on 127.0.0.1 (see the module docstring)."""

    def __init__(self, delay: float = 0.0, port: int = 0, keep_alive: bool = False,
                 tokens_per_minute: int | None = None, window_seconds: float = 60.0):
        self.delay = float(delay)
        # Off by default: most tests never close their clients, and a kept-alive
        # connection left to the garbage collector is a ResourceWarning.
        # Benchmarks turn it on, as the real service keeps connections alive.
        self.keep_alive = bool(keep_alive)
        self.slow_delay = 2.0
        # Retry-After of a "429-retry": seconds (a number) or any text, an HTTP date say.
        self.retry_after: float | str = 1
        self.retry_after_ms: float | None = None
        self.port = int(port)
        self.in_flight = 0
        self.max_in_flight = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._requests: list[dict] = []
        self._faults: list[_Fault] = []
        self._answers: dict[str, Any] = {}
        self._ids = itertools.count(1)
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        # -- token limit (see the module docstring)
        if tokens_per_minute is not None and tokens_per_minute < 1:
            raise ValueError("tokens_per_minute must be at least 1")
        if not window_seconds > 0:
            raise ValueError("window_seconds must be above 0")
        self.tokens_per_minute = tokens_per_minute
        self.window_seconds = float(window_seconds)
        self.rejected = 0  # completions refused with a 429 for the token limit
        self._spent: list[tuple[float, int]] = []  # (monotonic time answered, tokens)
        self._init_batches()

    # -- lifecycle

    def start(self) -> "StandIn":
        if self._server is not None:
            return self
        self._stopping.clear()
        self._server = _Server(("127.0.0.1", self.port), _Handler)
        self._server.standin = self
        self.port = self._server.server_address[1]
        # A short poll keeps stop() quick; shutdown() waits for one poll.
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="standin", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()  # cut delays short
        self._server.shutdown()
        self._server.wake_idle_connections()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self) -> "StandIn":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def base_url(self) -> str:
        if self._server is None:
            raise RuntimeError("the stand-in is not started")
        return f"http://127.0.0.1:{self.port}/v1"

    # -- inspection and control

    @property
    def requests(self) -> list[dict]:
        """Request bodies in arrival order (a snapshot)."""
        with self._lock:
            return list(self._requests)

    def reset(self) -> None:
        with self._lock:
            self._requests.clear()
            self._faults.clear()
            self._answers.clear()
            self.max_in_flight = self.in_flight
            self._spent.clear()
            self.rejected = 0

    def inject(self, fault: str, count: int = 1, schema: str | None = None, every: int | None = None) -> None:
        if fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}; expected one of {', '.join(FAULTS)}")
        if count < 1 or (every is not None and every < 1):
            raise ValueError("count and every must be at least 1")
        with self._lock:
            self._faults.append(_Fault(fault, count, schema, every))

    def set_answer(self, schema: str, answer: Answer) -> None:
        if not (isinstance(answer, dict) or callable(answer)):
            raise TypeError("answer must be a dict or a callable taking the request body")
        with self._lock:
            self._answers[schema] = answer

    # -- serving

    def _take_fault(self, schema: str | None) -> str | None:
        chosen = None
        with self._lock:
            for fault in list(self._faults):
                if fault.schema is not None and fault.schema != schema:
                    continue
                if fault.every is not None:
                    fault.seen += 1
                    if chosen is None and fault.seen % fault.every == 0:
                        chosen = fault.kind
                elif chosen is None:
                    chosen = fault.kind
                    fault.left -= 1
                    if fault.left == 0:
                        self._faults.remove(fault)
        return chosen

    def _serve(self, raw: bytes, send: Callable[[int, dict, dict], None], drop: Callable[[], None]) -> None:
        try:
            body = json.loads(raw)
        except ValueError:
            body = None
        if not isinstance(body, dict):
            send(*_error(400, "the request body is not a JSON object", "invalid_request_error", None))
            return
        with self._lock:
            self._requests.append(body)
            self.in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self.in_flight)
        try:
            self._stopping.wait(self.delay)
            answer = self._answer(body)
        finally:
            # Out of flight before the answer leaves: once it has, the client may send its next request
            # before this thread runs again, and the two must not be counted as in flight at once.
            with self._lock:
                self.in_flight -= 1
        if answer is _DROP:
            drop()
        else:
            send(*answer)

    def _answer(self, body: dict) -> tuple[int, dict, dict] | None:
        response_format = body.get("response_format")
        schema = None
        if isinstance(response_format, dict) and isinstance(response_format.get("json_schema"), dict):
            schema = response_format["json_schema"].get("name")
        fault = self._take_fault(schema)
        if fault == "429":
            return _error(429, f"Rate limit reached for {DEFAULT_MODEL} (stand-in).", "requests",
                          "rate_limit_exceeded")
        if fault == "429-retry":
            status, payload, headers = _error(429, f"Rate limit reached for {DEFAULT_MODEL} (stand-in).",
                                              "requests", "rate_limit_exceeded")
            headers["retry-after"] = str(self.retry_after)
            if self.retry_after_ms is not None:
                headers["retry-after-ms"] = str(self.retry_after_ms)
            return status, payload, headers
        if fault == "500":
            return _error(500, "The server had an error while processing your request (stand-in).",
                          "server_error", None)
        if fault == "503":
            return _error(503, "The engine is currently overloaded, please try again later (stand-in).",
                          "server_error", None)
        if fault == "408":
            return _error(408, "The request timed out before the model answered (stand-in).",
                          "timeout", None)
        if fault == "401":
            return _error(401, "Incorrect API key provided: sk-test-***. You can find your API key at "
                          "https://platform.openai.com/account/api-keys (stand-in).", "invalid_request_error",
                          "invalid_api_key")
        if fault == "403":
            return _error(403, "Project does not have access to model (stand-in).", "invalid_request_error",
                          "model_not_found")
        if fault == "drop":
            return _DROP
        if fault == "slow":
            self._stopping.wait(self.slow_delay)
        if schema is None:
            return _error(400, "response_format must be a json_schema", "invalid_request_error", None)
        with self._lock:
            answer = self._answers.get(schema, _BUILT_IN.get(schema))
        if answer is None:
            return _error(400, f"unknown response schema '{schema}'", "invalid_request_error", "unknown_schema")

        refusal = None
        if fault == "refusal":
            content, refusal = None, REFUSAL
        else:
            try:
                content = json.dumps(answer(body) if callable(answer) else answer, ensure_ascii=False)
            except _BadRequest as exc:
                return _error(400, str(exc), "invalid_request_error", None)
            except Exception as exc:  # a broken override should fail the call, not the server
                return _error(500, f"stand-in could not answer {schema}: {exc!r}", "server_error", None)
            if fault == "malformed":
                content = content[:-1]  # a truncated object is never valid JSON
        prompt_tokens = _prompt_tokens(body)
        completion_tokens = max(1, len(content if content is not None else refusal) // 4)
        limited = self._spend_tokens(prompt_tokens + completion_tokens)
        if limited[0] != 200:
            return limited
        return 200, {
            "id": f"chatcmpl-standin-{next(self._ids)}",
            "object": "chat.completion",
            "created": int(time.time()),
            "model": body.get("model") or DEFAULT_MODEL,
            "choices": [{
                "index": 0,
                "message": {"role": "assistant", "content": content, "refusal": refusal},
                "finish_reason": "length" if fault == "length" else "stop",
                "logprobs": None,
            }],
            "usage": {
                "prompt_tokens": prompt_tokens,
                "completion_tokens": completion_tokens,
                "total_tokens": prompt_tokens + completion_tokens,
            },
        }, limited[2]

    # -- token limit

    def _spend_tokens(self, tokens: int) -> tuple[int, dict, dict]:
        """(200, {}, rate-limit headers) with the tokens counted, or the 429 answer."""
        limit = self.tokens_per_minute
        if limit is None:
            return 200, {}, {}
        with self._lock:
            now = time.monotonic()
            window = self.window_seconds
            self._spent = [(at, n) for at, n in self._spent if now - at < window]
            used = sum(n for _, n in self._spent)
            if self._spent and used + tokens > limit:
                self.rejected += 1
                # Until enough of the oldest have left for this completion.
                left, fits_in = used, 0.0
                for at, n in sorted(self._spent):
                    left -= n
                    fits_in = at + window - now
                    if left + tokens <= limit:
                        break
                empty_in = max(at for at, _ in self._spent) + window - now
                status, payload, headers = _error(
                    429, f"Rate limit reached for {DEFAULT_MODEL} (stand-in) on tokens per min (TPM): "
                         f"Limit {limit}, Used {used}, Requested {tokens}. Please try again in "
                         f"{_duration(fits_in)}.", "tokens", "rate_limit_exceeded")
                headers.update(self._limit_headers(max(0, limit - used), empty_in))
                headers["retry-after"] = str(max(1, math.ceil(fits_in)))
                headers["retry-after-ms"] = str(max(1, math.ceil(fits_in * 1000)))
                return status, payload, headers
            self._spent.append((now, tokens))
            return 200, {}, self._limit_headers(max(0, limit - used - tokens), window)

    def _limit_headers(self, remaining: int, reset: float) -> dict:
        return {"x-ratelimit-limit-tokens": str(self.tokens_per_minute),
                "x-ratelimit-remaining-tokens": str(remaining),
                "x-ratelimit-reset-tokens": _duration(reset)}


def _duration(seconds: float) -> str:
    """A duration as OpenAI's rate-limit headers write it: "250ms", "1.5s", "6m0s"."""
    seconds = max(0.0, seconds)
    if seconds < 1:
        return f"{math.ceil(seconds * 1000)}ms"
    minutes, rest = divmod(seconds, 60)
    text = f"{rest:.3f}".rstrip("0").rstrip(".") + "s"
    return f"{int(minutes)}m{text}" if minutes else text


# ---------------------------------------------------------------- process mode


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tests.support.standin",
                                     description="Serve the OpenAI-compatible model stand-in.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--delay", type=float, default=0.0, help="seconds before every answer")
    parser.add_argument("--keep-alive", action="store_true", help="keep connections open between requests")
    parser.add_argument("--fault", choices=FAULTS, help="fault to inject on every N-th request")
    parser.add_argument("--fault-every", type=int, metavar="N")
    parser.add_argument("--retry-after", default="1", metavar="S",
                        help="Retry-After of a 429-retry fault (seconds or an HTTP date)")
    parser.add_argument("--tokens-per-minute", type=int, metavar="N",
                        help="enforce N tokens (prompt + completion) per window, 429 beyond")
    parser.add_argument("--window-seconds", type=float, default=60.0, metavar="S",
                        help="length of the token window (default: 60)")
    args = parser.parse_args(argv)
    if (args.fault is None) != (args.fault_every is None):
        parser.error("--fault and --fault-every go together")
    if args.tokens_per_minute is not None and args.tokens_per_minute < 1:
        parser.error("--tokens-per-minute must be at least 1")
    if not args.window_seconds > 0:
        parser.error("--window-seconds must be above 0")

    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    with StandIn(delay=args.delay, port=args.port, keep_alive=args.keep_alive,
                 tokens_per_minute=args.tokens_per_minute, window_seconds=args.window_seconds) as standin:
        standin.retry_after = args.retry_after
        if args.fault:
            standin.inject(args.fault, every=args.fault_every)
        print(f"STANDIN_URL={standin.base_url}", flush=True)
        while not done.wait(0.5):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
