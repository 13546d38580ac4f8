"""quorvan mark --batch: a class marked through the files and batches endpoints of the stand-in, the real
command, real PDFs, and the same class marked online as the measure."""

import csv
import json
import os
import sqlite3

import pytest

from tests.support import command
from tests.support.pdfs import write_text_pdf
from tests.test_fault_tolerance import QUESTIONS, paper_json

# Each sheet answers differently, so that every request of a stage is its own line.
ANSWERS = [
    {"Q1": QUESTIONS[0][3], "Q2": QUESTIONS[1][3], "Q3": QUESTIONS[2][3]},
    {"Q1": "Plants make food from light; oxygen is released.", "Q2": "The heart pumps blood."},
    {"Q2": "Four chambers; the left side pumps blood to the body and the right side to the lungs.",
     "Q3": "Conductors have free electrons."},
    {"Q1": "Glucose.", "Q3": "Insulators block electricity; conductors let it flow."},
]


def quorvan(*args, env=None):
    return command.quorvan(*args, env={**os.environ, "QUORVAN_BATCH_POLL": "0.05,0.2", **(env or {})})


@pytest.fixture
def class_folder(tmp_path):
    folder = tmp_path / "sheets"
    folder.mkdir()
    for i, answers in enumerate(ANSWERS):
        write_text_pdf(folder / f"s{i}.pdf", ["\n\n".join(f"{q}. {text}" for q, text in answers.items())])
    return folder


def class_file(out):
    """The class file's rows without what differs between two runs of the same marking (none here)."""
    with open(out / "class_results.csv", newline="", encoding="utf-8-sig") as f:
        return list(csv.DictReader(f))


def stored(out):
    with sqlite3.connect(out / "marking.db") as db:
        answers = db.execute("SELECT s.report_name, a.q_id, a.status, a.awarded, a.criteria_met, a.feedback "
                             "FROM answers a JOIN sheets s ON s.id = a.sheet_id ORDER BY 1, 2").fetchall()
        cost = db.execute("SELECT (SELECT sum(parse_cost) FROM sheets) + (SELECT sum(cost) FROM answers)").fetchone()
        batches = db.execute("SELECT stage, status, collected FROM batches ORDER BY seq").fetchall()
    return answers, cost[0], batches


@pytest.fixture
def online(standin, tmp_path, class_folder):
    """The class marked online first: what the batch path must match."""
    out = tmp_path / "online"
    run = quorvan("mark", "--paper", paper_json(tmp_path / "paper.json"), class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    bodies = sorted(json.dumps(r, sort_keys=True) for r in standin.requests)
    standin.reset()
    return out, bodies


def test_a_class_through_batches_with_wait_is_marked_as_online_at_half_the_cost(standin, online, tmp_path,
                                                                                  class_folder):
    online_out, online_bodies = online
    standin.batch_seconds = 0.3
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--wait", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    assert standin.requests == []  # nothing went to the chat endpoint
    # The very requests the online run sent, one line each.
    assert sorted(json.dumps(b, sort_keys=True) for b in standin.batch_lines) == online_bodies
    assert "requests done (in_progress)" in run.stdout
    assert run.stdout.count("Submitted batch") == 2
    assert f"Marked all {len(ANSWERS)} answer sheets" in run.stdout
    assert class_file(out) == class_file(online_out)
    answers, cost, batches = stored(out)
    online_answers, online_cost, _ = stored(online_out)
    assert answers == online_answers
    assert cost == pytest.approx(online_cost / 2)
    assert batches == [("reading", "completed", 1), ("marking", "completed", 1)]
    assert (out / "s0.json").is_file() and (out / "s0.txt").is_file()


def test_a_stage_larger_than_one_batch_goes_as_several_and_ends_as_online(standin, online, tmp_path, class_folder):
    online_out, online_bodies = online
    standin.batch_seconds = 0.1
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--wait", "--paper", tmp_path / "paper.json", class_folder, "-o", out,
                  env={"QUORVAN_BATCH_MAX_REQUESTS": "3"})
    assert run.returncode == 0, run.stderr
    # Four parses: a batch of three and one of one.
    assert f"Submitted 2 batches: 4 requests for {len(ANSWERS)} answer sheets." in run.stdout
    assert "requests (reading)\n" in run.stdout
    lines = standin.batch_lines
    assert sorted(json.dumps(b, sort_keys=True) for b in lines) == online_bodies
    answers, _, batches = stored(out)
    assert answers == stored(online_out)[0]
    assert class_file(out) == class_file(online_out)
    marking = -(-(len(online_bodies) - len(ANSWERS)) // 3)
    assert batches == [("reading", "completed", 1)] * 2 + [("marking", "completed", 1)] * marking


def test_a_batch_queue_limit_sends_what_fits_and_the_rest_once_those_batches_end(standin, online, tmp_path,
                                                                                 class_folder):
    from tests.support.standin import _prompt_tokens

    online_out, online_bodies = online
    largest = max(_prompt_tokens(json.loads(b)) for b in online_bodies)
    standin.batch_queue_tokens = int(largest * 2.5)  # two parses at a time, not four
    ours = int(standin.batch_queue_tokens * 0.8)  # our estimate is not the service's count: room is left
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--wait", "--batch-queue-tokens", ours, "--paper", tmp_path / "paper.json",
                  class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    assert f"wait for room in the batch queue (--batch-queue-tokens {ours}): sent once these batches have ended." \
        in run.stdout
    assert 0 < standin.queue_peak <= standin.batch_queue_tokens
    batches = stored(out)[2]
    assert {status for _, status, _ in batches} == {"completed"} and len(batches) > 2
    assert class_file(out) == class_file(online_out)
    assert stored(out)[0] == stored(online_out)[0]


def test_a_batch_the_service_fails_says_why_and_its_lines_go_again(standin, tmp_path, class_folder):
    standin.batch_queue_tokens = 10  # no batch fits
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--paper", paper_json(tmp_path / "paper.json"), class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    again = quorvan("mark", "--batch", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    first = next(line for line in again.stdout.splitlines() if line.startswith("batch "))
    assert first.startswith("batch batch_standin_")
    assert first.endswith(" failed (Enqueued token limit reached for gpt-5-mini-2025-08-07. Limit: 10 enqueued "
                          "tokens. Please try again once some in_progress batches have been completed.): 0 of "
                          f"{len(ANSWERS)} requests answered; the other {len(ANSWERS)} go into the next batch.")
    assert f"{len(ANSWERS)} of them sent again." in again.stdout


def test_a_batch_made_whose_answer_was_lost_is_found_not_made_twice(standin, online, tmp_path, class_folder):
    online_out, _ = online
    standin.batch_create_drop = 1
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--wait", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    assert len(standin.batches) == 2  # the parses and the marking, each made once
    assert stored(out)[2] == [("reading", "completed", 1), ("marking", "completed", 1)]
    assert class_file(out) == class_file(online_out)


@pytest.mark.parametrize("at_service", ["made", "not made", "upload gone"])
def test_a_run_stopped_before_the_service_named_its_batch_is_continued_by_the_next(standin, online, tmp_path,
                                                                                  class_folder, at_service):
    online_out, _ = online
    standin.batch_create_drop, standin.batch_list_fail = 1, 1  # the answer lost, and no way to ask for it
    out = tmp_path / "batch"
    command = ("mark", "--batch", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    first = quorvan(*command)
    assert first.returncode == 1
    assert "quorvan mark: cannot submit the batch: " in first.stderr
    with sqlite3.connect(out / "marking.db") as db:
        (batch_id, status), = db.execute("SELECT batch_id, status FROM batches").fetchall()
    assert batch_id.startswith("unmade:file-standin-") and status == "creating"
    made, = standin.batches
    if at_service != "made":  # the make never reached the service
        del standin.batches[made]
    if at_service == "upload gone":
        del standin.files[batch_id[len("unmade:"):]]

    second = quorvan(*command, "--wait")
    assert second.returncode == 0, second.stderr
    if at_service == "made":
        assert f"batch {made}: found at the model service; the last run stopped before noting it." in second.stdout
    elif at_service == "not made":
        assert f"made now of the requests the last run uploaded ({batch_id[len('unmade:'):]})." in second.stdout
    else:
        assert (f"batch {batch_id}: the model service would not make it: Error code: 400 - " in second.stdout
                and "; its requests go into the next batch." in second.stdout)
    assert len(standin.batches) == 2  # one of the parses, one of the marking
    assert class_file(out) == class_file(online_out)
    assert stored(out)[0] == stored(online_out)[0]


@pytest.mark.parametrize("value", ["0", "many"])
def test_a_batch_size_that_is_no_count_is_refused_before_anything_is_sent(standin, tmp_path, class_folder, value):
    run = quorvan("mark", "--batch", "--paper", paper_json(tmp_path / "paper.json"), class_folder, "-o",
                  tmp_path / "out", env={"QUORVAN_BATCH_MAX_REQUESTS": value})
    assert run.returncode == 1
    assert f"QUORVAN_BATCH_MAX_REQUESTS must be a whole number of at least 1, not {value}" in run.stderr
    assert standin.batch_lines == []


def test_each_run_without_wait_submits_or_continues_and_the_third_finishes(standin, online, tmp_path,
                                                                           class_folder):
    online_out, _ = online
    out = tmp_path / "batch"
    command = ("mark", "--batch", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    standin.batch_seconds = 600
    first = quorvan(*command)
    assert first.returncode == 0, first.stderr
    assert f"requests (reading) for {len(ANSWERS)} answer sheets." in first.stdout
    assert "Run the same command again to continue" in first.stdout
    assert {row["status"] for row in class_file(out)} == {"pending"}

    still = quorvan(*command)  # a restart while the batch runs: nothing new is sent
    assert still.returncode == 0 and "requests done (" in still.stdout and "Submitted" not in still.stdout
    assert len(standin.batches) == 1

    standin.batch_seconds = 0
    second = quorvan(*command)
    assert second.returncode == 0, second.stderr
    assert "completed: 4 of 4 requests answered." in second.stdout
    assert "requests (marking) for" in second.stdout
    answers, _, _ = stored(out)
    assert answers and {a[2] for a in answers} == {"pending"}  # parsed and stored, not marked yet

    third = quorvan(*command)
    assert third.returncode == 0, third.stderr
    assert class_file(out) == class_file(online_out)
    assert stored(out)[0] == stored(online_out)[0]
    assert standin.requests == []
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("SELECT count(*) FROM batch_lines").fetchone() == (0,)  # done with


def sheet_reading(out):
    """Each sheet's parse usage and how its pages were read."""
    with sqlite3.connect(out / "marking.db") as db:
        usage = db.execute("SELECT report_name, parse_input_tokens, parse_output_tokens, parse_calls, parse_cost "
                           "FROM sheets ORDER BY 1").fetchall()
        pages = db.execute("SELECT s.report_name, p.page, p.method, p.words, p.confidence, p.reliable, p.note "
                           "FROM page_reading p JOIN sheets s ON s.id = p.sheet_id ORDER BY 1, 2").fetchall()
    return usage, pages


def test_a_scan_is_read_and_its_pages_sent_to_the_vision_model_once_across_the_runs(standin, tmp_path,
                                                                                    class_folder):
    from tests.support.handwriting import write_handwritten_pdf
    from tests.test_reading_quality import BAD_HAND, WRITTEN

    write_handwritten_pdf(class_folder / "hand.pdf", [WRITTEN], **BAD_HAND, seed=3)
    standin.set_answer("PageTranscription", {"text": WRITTEN})
    paper = paper_json(tmp_path / "paper.json")
    online = quorvan("mark", "--paper", paper, class_folder, "-o", tmp_path / "online")
    assert online.returncode == 0, online.stderr
    standin.reset()
    standin.set_answer("PageTranscription", {"text": WRITTEN})

    out = tmp_path / "batch"
    for _ in range(3):  # submit the parses; collect them and submit the markings; collect those
        run = quorvan("mark", "--batch", "--paper", paper, class_folder, "-o", out)
        assert run.returncode == 0, run.stderr
    assert f"Marked all {len(ANSWERS) + 1} answer sheets" in run.stdout
    # The page OCR read badly went to the vision model once, online, as in the online run; the later runs used
    # what the first one read.
    assert [r["response_format"]["json_schema"]["name"] for r in standin.requests] == ["PageTranscription"]
    assert stored(out)[0] == stored(tmp_path / "online")[0]
    usage, pages = sheet_reading(out)
    online_usage, online_pages = sheet_reading(tmp_path / "online")
    assert pages == online_pages and [p[2] for p in pages if p[0] == "hand"] == ["vision"]
    # The same calls and tokens for every sheet's reading, the vision call's among them, counted once.
    assert [u[:4] for u in usage] == [u[:4] for u in online_usage]
    for (name, *_, cost), (_, *_, online_cost) in zip(usage, online_usage):
        if name == "hand":  # the vision call at the full price, the parse at half
            assert online_cost / 2 < cost < online_cost
        else:
            assert cost == pytest.approx(online_cost / 2)
    with sqlite3.connect(out / "marking.db") as db:
        assert db.execute("SELECT count(*) FROM batch_readings").fetchone() == (0,)  # done with


@pytest.mark.parametrize("fault", ["error", "500", "invalid", "expired"])
def test_lines_without_an_answer_go_into_the_next_batch_and_end_up_marked(standin, online, tmp_path,
                                                                           class_folder, fault):
    online_out, _ = online
    if fault == "expired":
        standin.batch_expire = 2
    else:
        standin.batch_fail_every, standin.batch_fail_kind = 2, fault
    out = tmp_path / "batch"
    run = quorvan("mark", "--batch", "--wait", "--paper", tmp_path / "paper.json", class_folder, "-o", out)
    assert run.returncode == 0, run.stderr
    assert "of them sent again." in run.stdout
    if fault != "invalid":  # an answer cut short is found out when it is used, not when it arrives
        assert "go into the next batch." in run.stdout
    assert class_file(out) == class_file(online_out)
    assert stored(out)[0] == stored(online_out)[0]
    batches = stored(out)[2]
    assert len(batches) > 2 and all(collected for _, _, collected in batches)
    if fault == "expired":
        assert [status for _, status, _ in batches].count("expired") == 2


def test_a_line_that_never_gets_an_answer_fails_as_online_and_the_next_run_tries_again(standin, tmp_path,
                                                                                     class_folder):
    standin.set_answer("EvaluationResponse", {"fulfilled_criteria": [7], "awarded_marks": 1.0, "feedback": "?"})
    out = tmp_path / "batch"
    command = ("mark", "--batch", "--wait", "--paper", paper_json(tmp_path / "paper.json"), class_folder,
               "-o", out)
    run = quorvan(*command)
    assert run.returncode == 1
    assert {row["status"] for row in class_file(out)} == {"incomplete"}
    # Refused in three batches, the answer fails as it does online.
    assert "Q1 not marked: the model named criteria that do not exist (7)" in run.stderr
    assert run.stdout.count("Submitted batch") == 4  # the parses, then the marking three times
    standin.reset()
    again = quorvan(*command)
    assert again.returncode == 0, again.stderr
    assert {row["status"] for row in class_file(out)} == {"marked"}


@pytest.mark.parametrize("options, message", [
    (["--batch-queue-tokens", "5000"], "--batch-queue-tokens is the account's batch queue: it needs --batch"),
    (["--batch", "--batch-queue-tokens", "0"], "--batch-queue-tokens must be at least 1"),
    (["--wait"], "--wait waits for batches: it needs --batch"),
    (["--batch-discount", "0.3"], "--batch-discount is the price of batches: it needs --batch"),
    (["--batch", "--batch-discount", "1"], "--batch-discount must be at least 0 and below 1"),
    (["--batch", "--batch-discount", "nan"], "--batch-discount must be at least 0 and below 1"),
    (["--batch", "--force"], "--force cannot be used with --batch: each run of a batch continues the one "
                             "before, and --force would start it over every time"),
])
def test_options_that_make_no_sense_with_batches_are_usage_errors(tmp_path, class_folder, options, message):
    out = tmp_path / "results"
    run = quorvan("mark", *options, "--paper", paper_json(tmp_path / "paper.json"), class_folder, "-o", out)
    assert run.returncode == 2
    assert run.stderr.strip().endswith(f"quorvan mark: error: {message}")
    assert not out.exists()
