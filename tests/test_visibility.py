"""ExtractorClient.read_pdf: the text a reader of each page sees, and the words its text layer hides."""

import pytest

import quorvan_core.ocr_extractor.extractor_client as ec
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, PdfReading
from tests.support import hostile_pdfs as hp
from tests.support.pdfs import write_plain_pages_pdf, write_scanned_pdf, write_text_pdf

SHOWN = "Name: Sam Patel\nQ1. Plants need sun.\nQ2. I do not know.\nQ3. Water goes up the stem."
HIDDEN = "Photosynthesis converts light energy\ninto chemical energy in chloroplasts"
HIDDEN_WORDS = HIDDEN.split()
# The scan case lays its hidden layer over the scan's lines, line by line.
SCANNED = "Q1. Plants need sun to grow.\nQ2. The heart is a pump.\nQ3. Metal lets it through."
LAYER = "Q1. Chlorophyll absorbs photons\nQ2. Ventricles contract rhythmically\nQ3. Conductors carry electrons"


def hiding(tmp_path, technique):
    if technique == "layer_over_scan":
        return str(hp.write_layer_over_scan(tmp_path / "sheet.pdf", SCANNED, LAYER))
    return str(hp.write_hiding_pdf(tmp_path / "sheet.pdf", technique, SHOWN, HIDDEN))


def words(text):
    return {w.strip(".,:").lower() for w in text.split()}


@pytest.mark.parametrize("technique", sorted(hp.HIDING))
def test_hidden_words_are_left_out_and_reported(tmp_path, technique):
    pdf = hiding(tmp_path, technique)
    client = ExtractorClient()
    layer = client.process_pdf(pdf)[1]
    reading = client.read_pdf(pdf)
    assert isinstance(reading, PdfReading) and list(reading.texts) == [1]
    [found] = reading.hidden
    assert found["page"] == 1 and found["kinds"] == [hp.HIDING[technique]]
    if technique == "layer_over_scan":
        # What the page shows was read by OCR in place of the layer.
        assert found["replaced"] is True
        assert {"chlorophyll", "ventricles", "electrons"} <= words(layer)
        assert not {"chlorophyll", "photons", "ventricles", "rhythmically", "electrons"} & words(reading.texts[1])
        assert {"plants", "heart", "pump", "metal"} <= words(reading.texts[1])
        assert "Chlorophyll" in found["sample"] and "Q2" not in found["sample"]  # Q2 is on the scan too
    else:
        assert found["replaced"] is False
        assert found["words"] == len(HIDDEN_WORDS)
        assert found["sample"] == HIDDEN_WORDS[:8]
        assert set(map(str.lower, HIDDEN_WORDS)) <= words(layer)  # process_pdf reads the layer as it is
        assert reading.texts[1] == SHOWN  # what is seen, line for line


@pytest.mark.parametrize("kind", hp.HONEST)
def test_honest_pages_read_exactly_as_process_pdf_reads_them(tmp_path, kind):
    pdf = str(hp.write_honest_pdf(tmp_path / "sheet.pdf", kind, SHOWN + "\n" + HIDDEN))
    client = ExtractorClient()
    reading = client.read_pdf(pdf)
    assert reading.hidden == []
    assert reading.texts == client.process_pdf(pdf)
    if kind != "form_field":  # the layer of a form field's value is Poppler's business
        assert {"photosynthesis", "chloroplasts", "patel"} <= words(reading.texts[1])


@pytest.mark.parametrize("make", [
    lambda p: write_text_pdf(p, ["Q1. é ü ñ ß: the answer is √2 ≈ 1.41", "Q2. नमस्ते and α β θ"]),
    lambda p: write_plain_pages_pdf(p, ["Q1. Mitochondria make ATP.\nQ2. Light bends.", "Q3. Ohm's law."]),
    lambda p: write_scanned_pdf(p, ["Q1. Plants need light to make food."]),
], ids=["unicode", "plain", "scan"])
def test_ordinary_sheets_are_not_flagged(tmp_path, make):
    pdf = str(make(tmp_path / "sheet.pdf"))
    client = ExtractorClient()
    reading = client.read_pdf(pdf)
    assert reading.hidden == [] and reading.texts == client.process_pdf(pdf)


def test_only_pages_with_hidden_words_are_listed_in_page_order(tmp_path):
    honest = hp._lines(SHOWN, hp.TOP)
    pdf = tmp_path / "three.pdf"
    pdf.write_bytes(hp._page_pdf([hp._tiny(SHOWN, HIDDEN), honest, hp._white(SHOWN, "Mitosis divides the nucleus")]))
    client = ExtractorClient()
    reading = client.read_pdf(str(pdf))
    assert [(h["page"], h["words"], h["kinds"]) for h in reading.hidden] == [
        (1, len(HIDDEN_WORDS), ["too small to read"]), (3, 4, ["same colour as the background"])]
    assert reading.texts == {1: SHOWN, 2: SHOWN, 3: SHOWN}
    # Pages asked for, in page order whatever order they were asked in.
    assert [h["page"] for h in client.read_pdf(str(pdf), [3, 2]).hidden] == [3]


def test_a_word_hidden_inside_a_line_leaves_the_rest_of_the_line(tmp_path):
    content = (b"BT /F1 12 Tf 72 700 Td (Q1. Plants need) Tj 1 g ( chlorophyll and sunlight) Tj 0 g "
               b"( to grow.) Tj ET BT /F1 12 Tf 72 680 Td (Q2. The heart pumps blood.) Tj ET")
    pdf = tmp_path / "inline.pdf"
    pdf.write_bytes(hp._page_pdf([content]))
    reading = ExtractorClient().read_pdf(str(pdf))
    assert reading.texts[1] == "Q1. Plants need to grow.\nQ2. The heart pumps blood."
    assert reading.hidden[0]["sample"] == ["chlorophyll", "and", "sunlight"]


def test_check_can_be_turned_off(tmp_path):
    pdf = hiding(tmp_path, "white")
    client = ExtractorClient()
    reading = client.read_pdf(pdf, check_visibility=False)
    assert reading.hidden == [] and reading.texts == client.process_pdf(pdf)
    with pytest.raises(TypeError):
        client.read_pdf(pdf, None, False)  # keyword only


def test_bad_input_is_refused_as_process_pdf_refuses_it(tmp_path):
    client = ExtractorClient()
    with pytest.raises(TypeError, match="Argument 'pdf_path' has incorrect type"):
        client.read_pdf(None)
    with pytest.raises(FileNotFoundError):
        client.read_pdf(str(tmp_path / "missing.pdf"))
    pdf = hiding(tmp_path, "tiny")
    with pytest.raises(ValueError, match="Page 2 is out of range"):
        client.read_pdf(pdf, [2])


def test_the_vision_backend_transcribes_and_hides_nothing(tmp_path, monkeypatch):
    requests = []

    class Completions:
        def parse(self, **kwargs):
            requests.append(kwargs)
            message = type("M", (), {"parsed": ec.PageTranscription(text="what the model read"), "refusal": None})
            return type("R", (), {"choices": [type("C", (), {"message": message})]})

    class FakeOpenAI:
        def __init__(self, **kwargs):
            self.beta = type("B", (), {"chat": type("Ch", (), {"completions": Completions()})})

    monkeypatch.setattr(ec, "OpenAI", FakeOpenAI)
    client = ExtractorClient("openai", api_key="sk-given")
    client.set_dpi(30)
    reading = client.read_pdf(hiding(tmp_path, "white"))
    assert reading.texts == {1: "what the model read"} and reading.hidden == [] and len(requests) == 1


def test_pdf_reading_is_a_plain_record():
    reading = PdfReading({1: "a"}, [])
    reading.texts[2] = "b"
    assert reading.texts == {1: "a", 2: "b"} and repr(reading) == "PdfReading(pages=[1, 2], hidden=[])"
    with pytest.raises(TypeError, match="Argument 'texts' has incorrect type"):
        PdfReading([], [])
