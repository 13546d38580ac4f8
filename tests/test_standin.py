"""The model stand-in, driven through the real openai client."""

import base64
import io
import json
import re
import subprocess
import sys
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import openai
import pydantic
import pytest
from PIL import Image

from quorvan_core import llm_service as ls
from tests.support.standin import StandIn

MODEL = "gpt-5-mini-2025-08-07"
PageTranscription = pydantic.create_model("PageTranscription", text=(str, ...))


@pytest.fixture
def standin():
    with StandIn() as server:
        yield server


@pytest.fixture
def client(standin):
    with openai.OpenAI(api_key="sk-test", base_url=standin.base_url) as c:
        yield c


def ask(client, response_format, user, system="You are an examiner."):
    return client.beta.chat.completions.parse(
        model=MODEL,
        messages=[{"role": "system", "content": system}, {"role": "user", "content": user}],
        response_format=response_format,
    )


def parsed(client, response_format, user):
    return ask(client, response_format, user).choices[0].message.parsed


def pages(*texts):
    return "".join(f"\n--- Page {n} ---\n{t}\n" for n, t in enumerate(texts, 1))


def paper_prompt(ocr):
    return f"\n        Parse this paper.\n        OCR Text:\n        {ocr}\n        \n        Instructions:\n        1. Find all questions\n"


QUESTION_PAPER = pages(
    "SCIENCE CLASS X\nTime: 3 hours    Maximum Marks: 80\nGeneral Instructions:\n"
    "1. All questions are compulsory.\n2. Write neatly.\n\nSECTION A\n"
    "Q1. Define osmosis. [2 marks]\nQ2) Describe the function of\nchlorophyll in plants. (3)",
    "SCIENCE CLASS X\nQuestion 3: Explain the water cycle. 2x3=6\nSection B\nQ4 Name two metals.",
)


def test_question_paper_finds_numbered_questions_and_skips_headers(client):
    questions = parsed(client, ls.QuestionPaperResponse, paper_prompt(QUESTION_PAPER)).questions
    assert [(q.q_id, q.question_text, q.max_marks) for q in questions] == [
        ("Q1", "Define osmosis.", 2.0),
        ("Q2", "Describe the function of chlorophyll in plants.", 3.0),
        ("Q3", "Explain the water cycle.", 6.0),
        ("Q4", "Name two metals.", 0.0),
    ]


@pytest.mark.parametrize("line, q_id, text, marks", [
    ("Q1) Define osmosis. (5 marks)", "Q1", "Define osmosis.", 5.0),
    ("Q.7 State Ohm's law [3M]", "Q7", "State Ohm's law", 3.0),
    ("3. Name two gases. [2]", "Q3", "Name two gases.", 2.0),
    ("4) Find f(5) if f(x)=2x.", "Q4", "Find f(5) if f(x)=2x.", 0.0),
    ("1a. Define speed. 2 marks", "Q1a", "Define speed.", 2.0),
    ("2(i) Find the area. 2x4", "Q2(i)", "Find the area.", 8.0),
])
def test_question_numbering_and_marks_styles(client, line, q_id, text, marks):
    (question,) = parsed(client, ls.QuestionPaperResponse, paper_prompt(pages(line))).questions
    assert (question.q_id, question.question_text, question.max_marks) == (q_id, text, marks)


@pytest.mark.parametrize("maximum, count", [(2.0, 1), (4.0, 2), (5.0, 3), (7.5, 3), (10.0, 3)])
def test_rubric_marks_sum_to_the_maximum(client, maximum, count):
    prompt = (f"\n        ### Question Details\n        Question: Explain photosynthesis in green\nplants.\n"
              f"        Reference Answer: Not provided\n        Maximum Marks: {maximum}\n")
    criteria = parsed(client, ls.RubricResponse, prompt).criteria
    assert len(criteria) == count
    assert sum(c.mark for c in criteria) == maximum
    assert "photosynthesis" in criteria[0].statement
    assert any("clear" in c.statement for c in criteria) == (maximum >= 3)


def test_reference_answer_names_the_key_words(client):
    prompt = "\n        Question: Describe the water cycle and evaporation.\n        Class Level: 8\n"
    answer = parsed(client, ls.ReferenceAnswerResponse, prompt).reference_answer
    assert "water" in answer and "cycle" in answer and "evaporation" in answer


RUBRIC = "0: Knows photosynthesis (2.0 marks)\n1: Names chlorophyll (2.0 marks)\n2: Writes clearly (1.0 marks)"


@pytest.mark.parametrize("student, fulfilled, marks", [
    ("", [], 0.0),
    ("Plants are green.", [], 0.0),
    ("Photosynthesis makes food.", [0], 2.0),
    ("Photosynthesis uses chlorophyll and sunlight.", [0, 1], 4.0),
    ("Photosynthesis in leaves uses chlorophyll and sunlight to make glucose.", [0, 1, 2], 5.0),
])
def test_evaluation_follows_the_overlap_with_the_reference(client, student, fulfilled, marks):
    prompt = ("\n        ### Question\n        Explain photosynthesis.\n\n        ### Reference Answer\n"
              "        Photosynthesis uses chlorophyll and sunlight to make glucose.\n\n"
              f"        ### Student Answer\n        {student}\n\n        ### Rubric Criteria\n        {RUBRIC}\n"
              "        \n\n        ### Evaluation Guidelines\n        1. Accuracy\n")
    result = parsed(client, ls.EvaluationResponse, prompt)
    assert (result.fulfilled_criteria, result.awarded_marks) == (fulfilled, marks)
    assert re.search(r"\byour?\b", result.feedback, re.I)
    assert 2 <= len(re.findall(r"[.!?](?:\s|$)", result.feedback)) <= 4


def sheet_prompt(ocr, ids=("Q1", "Q2", "Q3")):
    listed = "\n".join(f"- {q}: Question {q}.\n" for q in ids)
    return (f"\n        ### Available Questions (format -> <question_id>: <question_text>):\n        {listed}\n"
            f"        ### Student Answersheet OCR Text:\n        {ocr}\n        \n        ### Instructions:\n"
            "        1. Match answers\n")


def test_answersheet_splits_answers_across_pages(client):
    ocr = pages("Name: Riya\nQ1. Osmosis moves water.\nAns 3) Steps:\n1. Evaporation", "",
                "2. Condensation\nA2 Oxygen and nitrogen.")
    answers = parsed(client, ls.AnswersheetResponse, sheet_prompt(ocr)).answers
    assert [(a.q_id, a.answer_text, a.page_numbers) for a in answers] == [
        ("Unknown", "Name: Riya", [1]),
        ("Q1", "Osmosis moves water.", [1]),
        ("Q3", "Steps:\n1. Evaporation\n2. Condensation", [1, 3]),
        ("Q2", "Oxygen and nitrogen.", [3]),
    ]


@pytest.mark.parametrize("label", ["1.", "1)", "Q1", "q1:", "Ans 1", "Answer 1:", "A1", "Question 1 -"])
@pytest.mark.parametrize("q_id", ["Q1", "1"])
def test_answer_labels(client, label, q_id):
    ocr = pages(f"{label} Diffusion of water.")
    (answer,) = parsed(client, ls.AnswersheetResponse, sheet_prompt(ocr, (q_id, "Q2"))).answers
    assert (answer.q_id, answer.answer_text) == (q_id, "Diffusion of water.")


@pytest.mark.parametrize("ids, line, q_id, text", [
    (("Q2a", "Q2b"), "2b) Oxygen.", "Q2b", "Oxygen."),
    (("2(i)", "2(ii)"), "Ans 2(ii) Oxygen.", "2(ii)", "Oxygen."),
    (("Q1", "Q2"), "Q1 (a) Oxygen.", "Q1", "(a) Oxygen."),
])
def test_sub_part_labels(client, ids, line, q_id, text):
    (answer,) = parsed(client, ls.AnswersheetResponse, sheet_prompt(pages(line), ids)).answers
    assert (answer.q_id, answer.answer_text) == (q_id, text)


def test_reference_keys_use_the_listed_questions(client):
    prompt = ("\n        Questions: \n        - Q1: Define osmosis.\n\n- Q2: Name a gas.\n\n        OCR Text:\n        "
              + pages("ANSWER KEY\n1. Movement of water.\nQ2 Oxygen.\nQ9 Not on the paper.")
              + "\n        ## Instructions:\n        1. Extract\n")
    keys = parsed(client, ls.ReferenceAnswerKeysResponse, prompt).reference_answers
    assert [(k.q_id, k.reference_answer) for k in keys] == [("Q1", "Movement of water."),
                                                             ("Q2", "Oxygen.\nQ9 Not on the paper.")]


def png_url(width, height):
    buffer = io.BytesIO()
    Image.new("L", (width, height), 255).save(buffer, "PNG")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode()


def transcribe(client, url):
    content = [{"type": "text", "text": "Transcribe this page."}, {"type": "image_url", "image_url": {"url": url}}]
    return client.beta.chat.completions.parse(model=MODEL, messages=[{"role": "user", "content": content}],
                                              response_format=PageTranscription)


def test_page_transcription_reports_the_image_size_and_can_be_overridden(standin, client):
    assert transcribe(client, png_url(300, 120)).choices[0].message.parsed.text == "[page image 300x120]"
    with pytest.raises(openai.BadRequestError, match="PNG"):
        transcribe(client, "data:image/png;base64,R0lGODlh")  # a GIF header
    standin.set_answer("PageTranscription", lambda body: {"text": body["model"]})
    assert transcribe(client, png_url(1, 1)).choices[0].message.parsed.text == MODEL


def test_unknown_schema_and_path_are_refused(client):
    Other = pydantic.create_model("OtherResponse", x=(int, ...))
    with pytest.raises(openai.BadRequestError, match="OtherResponse"):
        ask(client, Other, "hello")
    with pytest.raises(openai.NotFoundError):
        client.models.list()


def test_requests_received_are_counted_outside_the_openai_routes(standin, client):
    ask(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
    ask(client, ls.ReferenceAnswerResponse, "Question: Define diffusion.")
    root = standin.base_url.rsplit("/v1", 1)[0]
    with urllib.request.urlopen(f"{root}/standin/requests") as response:
        assert json.loads(response.read()) == {"requests": 2}


def test_usage_counts_characters_by_four(standin, client):
    completion = ask(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.", system="S" * 39)
    content = completion.choices[0].message.content
    assert completion.usage.prompt_tokens == (39 + 25) // 4
    assert completion.usage.completion_tokens == len(content) // 4
    assert completion.usage.total_tokens == completion.usage.prompt_tokens + completion.usage.completion_tokens
    assert standin.requests[0]["response_format"]["json_schema"]["name"] == "ReferenceAnswerResponse"


@pytest.mark.parametrize("fault, error", [
    ("429", openai.RateLimitError),
    ("429-retry", openai.RateLimitError),
    ("500", openai.InternalServerError),
    ("503", openai.InternalServerError),
    ("408", openai.APIStatusError),
    ("malformed", pydantic.ValidationError),
    ("length", openai.LengthFinishReasonError),
])
def test_faults_surface_as_client_errors_without_retry(standin, client, fault, error):
    standin.inject(fault)
    with pytest.raises(error):
        ask(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
    assert len(standin.requests) == 1
    assert ask(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.").choices[0].message.parsed


@pytest.mark.parametrize("fault, status, knobs, headers", [
    ("429", 429, {"retry_after": 7}, {}),
    ("429-retry", 429, {}, {"retry-after": "1"}),
    ("429-retry", 429, {"retry_after": 7}, {"retry-after": "7"}),
    ("429-retry", 429, {"retry_after": "Wed, 21 Oct 2015 07:28:00 GMT", "retry_after_ms": 2500},
     {"retry-after": "Wed, 21 Oct 2015 07:28:00 GMT", "retry-after-ms": "2500"}),
    ("503", 503, {"retry_after": 7}, {}),
    ("408", 408, {"retry_after": 7}, {}),
])
def test_error_statuses_and_their_retry_headers(standin, client, fault, status, knobs, headers):
    for name, value in knobs.items():
        setattr(standin, name, value)
    standin.inject(fault)
    with pytest.raises(openai.APIStatusError) as raised:
        ask(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
    sent = raised.value.response.headers
    assert raised.value.status_code == status
    assert sent["x-should-retry"] == "false"  # the caller decides, never the client
    assert {k: sent[k] for k in ("retry-after", "retry-after-ms") if k in sent} == headers


def test_a_dropped_connection_is_a_connection_error_and_the_next_request_is_answered(standin, client):
    once = client.with_options(max_retries=0)  # a drop carries no header that could stop the client's retry
    standin.inject("drop")
    with pytest.raises(openai.APIConnectionError) as raised:
        ask(once, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
    assert not isinstance(raised.value, openai.APITimeoutError)
    assert len(standin.requests) == 1
    assert ask(once, ls.ReferenceAnswerResponse, "Question: Define osmosis.").choices[0].message.parsed


def test_refusal_leaves_nothing_parsed(standin, client):
    standin.inject("refusal")
    message = ask(client, ls.RubricResponse, "Question: Define osmosis.").choices[0].message
    assert message.parsed is None and message.content is None and message.refusal


def test_slow_answer_outlasts_a_client_timeout(standin, client):
    standin.slow_delay = 60
    standin.inject("slow")
    with pytest.raises(openai.APITimeoutError):
        client.with_options(timeout=0.5, max_retries=0).beta.chat.completions.parse(
            model=MODEL, messages=[{"role": "user", "content": "Question: x"}], response_format=ls.RubricResponse)


@pytest.mark.parametrize("kwargs, failing", [
    ({"count": 2}, [0, 1]),
    ({"every": 3}, [2, 5]),
    ({"count": 2, "schema": "RubricResponse"}, [1, 3]),
])
def test_fault_selection(standin, client, kwargs, failing):
    standin.inject("500", **kwargs)
    failed = []
    for i in range(7):
        schema = ls.RubricResponse if i % 2 else ls.ReferenceAnswerResponse
        try:
            ask(client, schema, "Question: Define osmosis.")
        except openai.InternalServerError:
            failed.append(i)
    assert failed == failing


def test_concurrent_requests_are_served_together(standin, client):
    barrier = threading.Barrier(5, timeout=10)  # breaks unless five requests are in flight at once

    def answer(body):
        barrier.wait()
        return {"reference_answer": "ok"}

    standin.set_answer("ReferenceAnswerResponse", answer)
    with ThreadPoolExecutor(5) as pool:
        results = list(pool.map(lambda _: parsed(client, ls.ReferenceAnswerResponse, "Question: x"), range(5)))
    assert [r.reference_answer for r in results] == ["ok"] * 5
    # A request stops counting once its answer is out: a client may read it a moment before.
    deadline = time.monotonic() + 5
    while standin.in_flight and time.monotonic() < deadline:
        time.sleep(0.01)
    assert (standin.max_in_flight, standin.in_flight, len(standin.requests)) == (5, 0, 5)
    standin.inject("500")
    standin.reset()
    assert (standin.max_in_flight, standin.requests) == (0, [])
    assert parsed(client, ls.ReferenceAnswerResponse, "Question: Define osmosis.").reference_answer != "ok"


def test_connections_are_kept_alive_and_stop_does_not_wait_for_idle_clients():
    server = StandIn(keep_alive=True).start()
    peers = []
    with openai.OpenAI(api_key="sk-test", base_url=server.base_url) as c:
        def ask_and_note(question):
            raw = c.beta.chat.completions.with_raw_response.parse(
                model=MODEL, messages=[{"role": "user", "content": question}],
                response_format=ls.ReferenceAnswerResponse)
            peers.append(raw.http_response.headers.get("connection"))
            return raw.parse()

        for question in ("Question: Define osmosis.", "Question: Define diffusion."):
            assert ask_and_note(question).choices[0].message.parsed
        assert peers == [None, None]  # neither answer closed its connection
        # The client still holds its idle connection open: stop() must not sit out its read timeout.
        stopper = threading.Thread(target=server.stop)
        stopper.start()
        stopper.join(timeout=5)
        assert not stopper.is_alive()


@pytest.mark.parametrize("fault_args, error, retry_after", [
    (["--fault", "500"], openai.InternalServerError, None),
    (["--fault", "429-retry", "--retry-after", "3"], openai.RateLimitError, "3"),
])
def test_process_mode_prints_its_url_and_serves(fault_args, error, retry_after):
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.Popen([sys.executable, "-m", "tests.support.standin", "--fault-every", "2", *fault_args],
                            cwd=root, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        match = re.fullmatch(r"STANDIN_URL=(http://127\.0\.0\.1:\d+/v1)\n", line)
        assert match, line
        with openai.OpenAI(api_key="sk-test", base_url=match.group(1)) as c:
            assert parsed(c, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
            with pytest.raises(error) as raised:
                ask(c, ls.ReferenceAnswerResponse, "Question: Define osmosis.")
            assert raised.value.response.headers.get("retry-after") == retry_after
    finally:
        proc.terminate()
        assert proc.wait(timeout=30) == 0
        proc.stdout.close()
