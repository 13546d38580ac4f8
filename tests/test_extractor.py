import base64
import errno
import io
import json
import re
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

import pytest
from PIL import Image

from quorvan_core.ocr_extractor import extractor_client as ec
from quorvan_core.ocr_extractor.extractor_client import ExtractorClient, ExtractorRecommendation
from tests.support import pdfs

SAMPLES = Path("/work/shared/data/pdf-samples")

TYPED_PAGES = [
    "Q1. Café, naïve, façade, Ångström — señor Müller.\nQ2. Explain photosynthesis. [5 marks]",
    "प्रश्न 3: गणित की परिभाषा लिखिए।\nQ4. नमस्ते दुनिया",
    "Q5. Prove ∑ xᵢ ≤ ∫ f(x) dx and √2 ≈ 1.414.\nQ6. If α + β = θ then π ≠ 3, x ≥ 0 ± ∞",
]
SCANNED_PAGES = [
    "Question 1: Explain photosynthesis.\nQuestion 2: Name three prime numbers.",
    "Answer sheet page two\nThe mitochondria is the powerhouse",
]


@pytest.fixture(autouse=True)
def _clean_env(monkeypatch):
    for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL"):
        monkeypatch.delenv(name, raising=False)
    # Each test sees the once-per-type warning afresh.
    monkeypatch.setattr(ec, "_warned_types", set())


@pytest.fixture(scope="module")
def typed_pdf(tmp_path_factory):
    return str(pdfs.write_text_pdf(tmp_path_factory.mktemp("pdf") / "paper.pdf", TYPED_PAGES))


@pytest.fixture(scope="module")
def scanned_pdf(tmp_path_factory):
    return str(pdfs.write_scanned_pdf(tmp_path_factory.mktemp("pdf") / "scan.pdf", SCANNED_PAGES))


def lines_of(text):
    return [line for line in text.splitlines() if line.strip()]


# ------------------------------------------------------------ local backend


def test_unicode_pages_come_back_per_page_in_order(typed_pdf):
    result = ExtractorClient().process_pdf(typed_pdf)
    assert result == {1: TYPED_PAGES[0], 2: TYPED_PAGES[1], 3: TYPED_PAGES[2]}
    assert list(result) == [1, 2, 3]


@pytest.mark.parametrize(
    "requested, pages",
    [(None, [1, 2, 3]), ([], [1, 2, 3]), ([2], [2]), ([3, 1], [1, 3]), ([2, 2], [2])],
)
def test_page_selection(typed_pdf, requested, pages):
    result = ExtractorClient().process_pdf(typed_pdf, requested)
    assert list(result) == pages
    assert all(result[p] == TYPED_PAGES[p - 1] for p in pages)


def test_scan_is_read_by_ocr(scanned_pdf):
    result = ExtractorClient().process_pdf(scanned_pdf)
    assert [lines_of(result[p]) for p in (1, 2)] == [page.split("\n") for page in SCANNED_PAGES]


def test_scanner_stamp_does_not_hide_the_scan(tmp_path):
    path = pdfs.write_scanned_pdf(tmp_path / "s.pdf", SCANNED_PAGES[:1], stamp="Scanned with CamScanner")
    text = ExtractorClient().process_pdf(str(path))[1]
    assert lines_of(text)[:2] == SCANNED_PAGES[0].split("\n")


def test_typed_and_scanned_pages_in_one_file(tmp_path):
    pages = ["Name: Asha Rao\nRoll number: 42", SCANNED_PAGES[1], "Thank you"]
    path = pdfs.write_mixed_pdf(tmp_path / "m.pdf", pages, scanned={2})
    result = ExtractorClient().process_pdf(str(path))
    assert result[1] == pages[0] and result[3] == pages[2]
    assert lines_of(result[2]) == SCANNED_PAGES[1].split("\n")


def test_owner_password_alone_does_not_lock_the_file(tmp_path):
    path = pdfs.write_encrypted_pdf(tmp_path / "e.pdf", ["Q1. Define osmosis."], user_password=None)
    assert ExtractorClient().process_pdf(str(path)) == {1: "Q1. Define osmosis."}


def test_threads_extract_at_once(scanned_pdf, typed_pdf):
    client = ExtractorClient()
    jobs = [scanned_pdf, typed_pdf] * 3
    with ThreadPoolExecutor(max_workers=3) as pool:
        results = list(pool.map(client.process_pdf, jobs))
    assert all(r == results[i % 2] for i, r in enumerate(results))


def test_extraction_is_silent(capfd, tmp_path, scanned_pdf):
    client = ExtractorClient()
    client.process_pdf(scanned_pdf)
    with pytest.raises(ValueError):
        client.process_pdf(str(pdfs.write_corrupt_pdf(tmp_path / "c.pdf")))
    assert capfd.readouterr() == ("", "")


def test_missing_ocr_language_data_is_a_clear_error(monkeypatch, scanned_pdf, capfd):
    monkeypatch.setenv("TESSDATA_PREFIX", "/nonexistent")
    errors = []

    def run():  # a fresh thread gets a fresh OCR engine, which reads TESSDATA_PREFIX
        try:
            ExtractorClient().process_pdf(scanned_pdf, [1])
        except RuntimeError as e:
            errors.append(str(e))

    with ThreadPoolExecutor(max_workers=1) as pool:
        pool.submit(run).result()
    assert errors == [f"Failed to read page 1 of '{scanned_pdf}' with OCR: Tesseract could not load its "
                      "English language data (install the tesseract-ocr-eng package or set TESSDATA_PREFIX)"]
    assert capfd.readouterr() == ("", "")


# -------------------------------------------------------------- bad inputs

def _truncated(path, keep):
    whole = pdfs.write_text_pdf(path.with_name("whole.pdf"), TYPED_PAGES)
    return pdfs.write_truncated_pdf(path, whole, keep)


BAD_FILES = [
    ("truncated_early", lambda p: _truncated(p, 0.1), "is damaged or truncated and cannot be read"),
    ("truncated_late", lambda p: _truncated(p, 0.95), "is damaged or truncated and cannot be read"),
    ("not_pdf", pdfs.write_not_pdf, "is not a PDF file (no %PDF- header)"),
    ("empty", lambda p: pdfs.write_not_pdf(p, b""), "is not a PDF file (it is empty)"),
    ("corrupt", pdfs.write_corrupt_pdf, "is damaged or truncated and cannot be read"),
    ("encrypted", lambda p: pdfs.write_encrypted_pdf(p, ["secret"]),
     "is encrypted and cannot be opened without its password"),
    ("zero_pages", pdfs.write_zero_page_pdf, "has no pages"),
]


@pytest.mark.parametrize("writer, says", [b[1:] for b in BAD_FILES], ids=[b[0] for b in BAD_FILES])
def test_bad_file_is_a_value_error_naming_it(tmp_path, writer, says):
    path = str(writer(tmp_path / "bad.pdf"))
    with pytest.raises(ValueError) as info:
        ExtractorClient().process_pdf(path)
    assert str(info.value).startswith(f"'{path}' {says}")


@pytest.mark.parametrize("where, error, code", [("missing.pdf", FileNotFoundError, errno.ENOENT),
                                                ("", IsADirectoryError, errno.EISDIR)])
def test_os_errors_carry_errno_and_filename(tmp_path, where, error, code):
    path = str(tmp_path / where) if where else str(tmp_path)
    with pytest.raises(error) as info:
        ExtractorClient().process_pdf(path)
    assert (info.value.errno, info.value.filename) == (code, path)
    if error is FileNotFoundError:
        assert str(info.value) == f"[Errno 2] PDF file not found: '{path}'"


@pytest.mark.parametrize("pages, page", [([4], 4), ([0], 0), ([-1], -1), ([1, 9, 5], 5), ([10**30], None)])
def test_page_out_of_range_names_page_and_count(typed_pdf, pages, page):
    with pytest.raises(ValueError, match=r"^Page (-?\d+) is out of range: '.*paper\.pdf' has 3 pages$") as info:
        ExtractorClient().process_pdf(typed_pdf, pages)
    if page is not None:
        assert str(info.value).startswith(f"Page {page} ")


@pytest.mark.parametrize("bad", [1.0, "1", True, None])
def test_page_number_that_is_not_an_int(typed_pdf, bad):
    with pytest.raises(ValueError, match=r"^page_numbers\[1\] must be an int, got " + type(bad).__name__):
        ExtractorClient().process_pdf(typed_pdf, [1, bad])


@pytest.mark.parametrize(
    "args, message",
    [
        ((None,), "Argument 'pdf_path' has incorrect type (expected str, got NoneType)"),
        ((Path("a.pdf"),), "Argument 'pdf_path' has incorrect type (expected str, got PosixPath)"),
        ((type("S", (str,), {})("a.pdf"),), "Argument 'pdf_path' has incorrect type (expected str, got S)"),
        (("a.pdf", (1, 2)), "Argument 'page_numbers' has incorrect type (expected list, got tuple)"),
    ],
)
def test_argument_types(args, message):
    with pytest.raises(TypeError) as info:
        ExtractorClient().process_pdf(*args)
    assert str(info.value) == message


def test_null_character_in_path():
    with pytest.raises(ValueError, match="null character"):
        ExtractorClient().process_pdf("a\0.pdf")


# ----------------------------------------------------------- construction


def test_defaults_and_repr():
    client = ExtractorClient()
    assert (client.extractor_type, client.region, client.dpi, client.backend) == ("local", "us-east-1", 150, "local")
    assert repr(client) == "<ExtractorClient extractor_type='local' backend='local' dpi=150>"

    class Mine(ExtractorClient):
        pass

    mine = Mine(region="eu-west-1")
    mine.note = "anything"
    assert repr(mine).startswith("<Mine ") and mine.region == "eu-west-1"


@pytest.mark.parametrize("kind", ["OpenAI", "tesseract", ""])
def test_unknown_type_names_accepted_types(kind):
    with pytest.raises(ValueError) as info:
        ExtractorClient(extractor_type=kind)
    assert all(f"'{t}'" in str(info.value) for t in ("local", "openai", "aws", "gemini", "mathpix"))


@pytest.mark.parametrize("kwargs, arg", [({"extractor_type": None}, "extractor_type"), ({"region": 1}, "region"),
                                         ({"api_key": 5}, "api_key"), ({"app_key": b"k"}, "app_key")])
def test_constructor_argument_types(kwargs, arg):
    with pytest.raises(TypeError, match=f"^Argument '{arg}' has incorrect type"):
        ExtractorClient(**kwargs)


@pytest.mark.parametrize("kind", ["aws", "gemini", "mathpix"])
def test_type_without_backend_warns_once_and_extracts_locally(kind, capsys, typed_pdf):
    with pytest.warns(RuntimeWarning, match=f"^Extractor type '{kind}' has no backend here; the 'local'") as rec:
        client = ExtractorClient(extractor_type=kind)
    assert rec[0].filename == __file__  # pointed at the caller
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ExtractorClient(extractor_type=kind)  # said once already
        assert client.process_pdf(typed_pdf, [1]) == {1: TYPED_PAGES[0]}
    assert (client.backend, capsys.readouterr().out) == ("local", "")


def test_openai_backend_with_key(monkeypatch):
    assert ExtractorClient("openai", api_key="sk-given").backend == "openai"
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    assert ExtractorClient("openai").backend == "openai"


@pytest.mark.parametrize("key, package, missing", [
    (False, True, ["OpenAI API key"]),
    (True, False, ["'openai' package"]),
    (False, False, ["OpenAI API key", "'openai' package"]),
])
def test_openai_backend_says_what_is_missing(monkeypatch, key, package, missing):
    if key:
        monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    if not package:
        monkeypatch.setattr(ec, "OpenAI", None)
    with pytest.raises(ValueError, match="^Extractor type 'openai' needs ") as info:
        ExtractorClient("openai")
    assert [m for m in ("OpenAI API key", "'openai' package") if m in str(info.value)] == missing


@pytest.mark.parametrize("value, stored", [(300, 300), (72.9, 72), (1, 1), (1200, 1200), ("bad", TypeError),
                                           (None, TypeError), (0, ValueError), (0.5, ValueError),
                                           (-5, ValueError), (1201, ValueError)])
def test_set_dpi(value, stored):
    client = ExtractorClient()
    if isinstance(stored, int):
        assert client.set_dpi(value) is None
        assert client.dpi == stored and type(client.dpi) is int
        return
    with pytest.raises(stored) as info:
        client.set_dpi(dpi=value)
    if stored is ValueError:
        assert str(info.value) == f"dpi must be between 1 and 1200, got {int(value)}"
    assert client.dpi == 150


def test_dpi_assigned_directly_is_checked_at_extraction(typed_pdf):
    client = ExtractorClient()
    client.dpi = 0
    with pytest.raises(ValueError, match="dpi must be between"):
        client.process_pdf(typed_pdf)


# ------------------------------------------------- recommendation and change

NOTATION = ["Mathematics", "maths", "Applied Mathematics", "PHYSICS", "Chemistry", "Further Maths",
            "Statistics", "Biochemistry", "Astrophysics", "गणित"]
PROSE = ["History", "English Literature", "Physical Education", "Biology", "Geography", ""]


@pytest.mark.parametrize("subject", NOTATION + PROSE)
@pytest.mark.parametrize("key", [True, False])
def test_recommendation_by_subject(monkeypatch, subject, key):
    if key:
        monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    rec = ExtractorClient.get_recommended_extractor_for_subject(subject)
    assert isinstance(rec, ExtractorRecommendation)
    assert rec.subject == subject and rec.reason
    assert rec.extractor_type == ("openai" if key and subject in NOTATION else "local")
    assert repr(rec).startswith(f"ExtractorRecommendation(subject={subject!r}, extractor_type=")


def test_recommendation_needs_the_package_too(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    monkeypatch.setattr(ec, "OpenAI", None)
    rec = ExtractorClient().get_recommended_extractor_for_subject(subject="Physics")
    assert rec.extractor_type == "local" and "'openai' package" in rec.reason


def test_recommendation_subject_must_be_str():
    with pytest.raises(TypeError, match="^Argument 'subject' has incorrect type"):
        ExtractorClient.get_recommended_extractor_for_subject(None)


@pytest.mark.parametrize(
    "configured, subject, backend",
    [
        ("local", "Physics", "local"),     # configured type honoured
        ("openai", "History", "openai"),
        ("aws", "Physics", "openai"),      # no backend here: the recommendation decides
        ("aws", "History", "local"),
        ("mathpix", "Maths", "openai"),
    ],
)
def test_change_extractor_with_recommendation(monkeypatch, configured, subject, backend):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        client = ExtractorClient(configured)
    rec = ExtractorClient.get_recommended_extractor_for_subject(subject)
    assert client.change_extractor(rec) is None
    assert (client.extractor_type, client.backend) == (configured, backend)


def test_recommendation_never_selects_a_backend_that_cannot_run(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    rec = ExtractorClient.get_recommended_extractor_for_subject("Physics")
    monkeypatch.delenv("OPENAI_API_KEY")
    with pytest.warns(RuntimeWarning):
        client = ExtractorClient("gemini", api_key="gemini-key")  # not an OpenAI key
    client.change_extractor(SimpleNamespace(extractor_type=rec.extractor_type))
    assert client.backend == "local"


def test_change_extractor_by_type_name(monkeypatch):
    client = ExtractorClient()
    with pytest.raises(ValueError, match="OpenAI API key"):
        client.change_extractor("openai")
    assert (client.extractor_type, client.backend) == ("local", "local")
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    client.change_extractor("openai")
    assert (client.extractor_type, client.backend) == ("openai", "openai")
    with pytest.warns(RuntimeWarning, match="'aws'"):
        client.change_extractor(extractor="aws")
    assert (client.extractor_type, client.backend) == ("aws", "local")


@pytest.mark.parametrize("bad, error, message", [
    ("bogus", ValueError, "Unknown extractor type 'bogus'"),
    (SimpleNamespace(extractor_type="bogus"), ValueError, "Unknown extractor type 'bogus'"),
    (None, TypeError, "Argument 'extractor' has incorrect type (expected str or ExtractorRecommendation, "
                      "got NoneType)"),
])
def test_change_extractor_refuses(bad, error, message):
    with pytest.raises(error) as info:
        ExtractorClient().change_extractor(bad)
    assert str(info.value).startswith(message)


# --------------------------------------------------------- vision backend


def requested_page(request):
    text = request["messages"][1]["content"][0]["text"]
    return int(re.fullmatch(r"Transcribe page (\d+) of .*", text, re.S).group(1))


class FakeOpenAI:
    """Stands in for openai.OpenAI; answers each page, whenever it is asked, with a fixed text or failure."""

    def __init__(self, answers):
        self.answers = answers  # page number -> text, exception or None (a refusal)
        self.clients = []
        self.requests = []

    def __call__(self, **kwargs):
        self.clients.append(kwargs)
        return SimpleNamespace(beta=SimpleNamespace(chat=SimpleNamespace(completions=self)))

    def parse(self, **kwargs):
        self.requests.append(kwargs)
        answer = self.answers[requested_page(kwargs)]
        if isinstance(answer, Exception):
            raise answer
        parsed = ec.PageTranscription(text=answer) if isinstance(answer, str) else None
        message = SimpleNamespace(parsed=parsed, refusal=None if parsed else "I cannot help with that")
        return SimpleNamespace(choices=[SimpleNamespace(message=message)])


@pytest.fixture
def fake_openai(monkeypatch):
    def install(answers):
        fake = FakeOpenAI(answers)
        monkeypatch.setattr("quorvan_core.ocr_extractor.extractor_client.OpenAI", fake)
        return fake

    return install


@pytest.fixture(scope="module")
def sheet_pdf(tmp_path_factory):
    # 10 x 20 inch pages: whole pixel sizes at any dpi.
    path = tmp_path_factory.mktemp("pdf") / "sheet.pdf"
    return str(pdfs.write_text_pdf(path, ["Answer one", "Answer two"], page_size=(720, 1440)))


@pytest.mark.parametrize("dpi", [30, 72])
def test_vision_request_shape_and_png(fake_openai, sheet_pdf, dpi):
    fake = fake_openai({1: "first page", 2: "second page"})
    client = ExtractorClient("openai", api_key="sk-given")
    client.set_dpi(dpi)
    assert client.process_pdf(sheet_pdf) == {1: "first page", 2: "second page"}
    assert fake.clients == [{"api_key": "sk-given"}]
    assert sorted(map(requested_page, fake.requests)) == [1, 2]
    for request in fake.requests:
        page = requested_page(request)
        assert set(request) == {"model", "messages", "response_format"}
        assert request["model"] == "gpt-5-mini-2025-08-07"
        assert request["response_format"] is ec.PageTranscription
        system, user = request["messages"]
        assert system["role"] == "system" and "line breaks" in system["content"]
        assert user["role"] == "user"
        text, image = user["content"]
        assert text == {"type": "text", "text": f"Transcribe page {page} of sheet.pdf."}
        assert image["type"] == "image_url" and set(image["image_url"]) == {"url"}
        prefix = "data:image/png;base64,"
        assert image["image_url"]["url"].startswith(prefix)
        png = Image.open(io.BytesIO(base64.b64decode(image["image_url"]["url"][len(prefix):], validate=True)))
        assert (png.format, png.size) == ("PNG", (10 * dpi, 20 * dpi))


def test_vision_reads_only_requested_pages(fake_openai, sheet_pdf):
    fake = fake_openai({2: "second page"})
    assert ExtractorClient("openai", api_key="k").process_pdf(sheet_pdf, [2]) == {2: "second page"}
    assert [r["messages"][1]["content"][0]["text"] for r in fake.requests] == ["Transcribe page 2 of sheet.pdf."]


@pytest.mark.parametrize("answer, cause", [(ConnectionError("rate limited"), "rate limited"),
                                           (None, "the model refused: I cannot help with that")])
def test_vision_failure_names_the_page(fake_openai, sheet_pdf, answer, cause):
    fake_openai({1: "first page", 2: answer})
    with pytest.raises(RuntimeError) as info:
        ExtractorClient("openai", api_key="k").process_pdf(sheet_pdf)
    assert str(info.value) == f"Failed to transcribe page 2 of '{sheet_pdf}': {cause}"
    assert info.value.__cause__ is None
    if isinstance(answer, Exception):
        assert info.value.__context__ is answer


def test_recommended_vision_uses_the_environment_key(fake_openai, monkeypatch, sheet_pdf):
    # The pipelines' sequence, with a configured type that has no backend here.
    fake = fake_openai({1: "first page"})
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    with pytest.warns(RuntimeWarning):
        client = ExtractorClient("gemini", api_key="gemini-key")
    client.change_extractor(ExtractorClient.get_recommended_extractor_for_subject("Physics"))
    assert client.process_pdf(sheet_pdf, [1]) == {1: "first page"}
    assert fake.clients == [{"api_key": "sk-env"}]


def test_vision_key_removed_after_selection(monkeypatch, sheet_pdf):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    client = ExtractorClient("openai")
    monkeypatch.delenv("OPENAI_API_KEY")
    with pytest.raises(ValueError, match="^The 'openai' backend needs an OpenAI API key"):
        client.process_pdf(sheet_pdf)


@pytest.mark.e2e
@pytest.mark.parametrize("fault, cause", [(None, None), ("500", "Error code: 500"),
                                          ("refusal", "the model refused: I'm sorry")])
def test_vision_through_the_openai_client_and_stand_in(monkeypatch, sheet_pdf, fault, cause):
    from tests.support.standin import StandIn

    with StandIn() as standin:
        monkeypatch.setenv("OPENAI_BASE_URL", standin.base_url)
        client = ExtractorClient("openai", api_key="sk-test")
        client.set_dpi(30)
        if fault is None:
            assert client.process_pdf(sheet_pdf) == {1: "[page image 300x600]", 2: "[page image 300x600]"}
            formats = [r["response_format"]["json_schema"] for r in standin.requests]
            assert [f["name"] for f in formats] == ["PageTranscription"] * 2
            assert formats[0]["schema"]["required"] == ["text"]
            return
        standin.inject(fault, every=2, schema="PageTranscription")
        with pytest.raises(RuntimeError) as info:
            client.process_pdf(sheet_pdf)
    assert str(info.value).startswith(f"Failed to transcribe page 2 of '{sheet_pdf}': {cause}")


# ------------------------------------------------------ real-world samples

def _samples():
    if not (SAMPLES / "files.json").exists():
        return []
    entries = json.loads((SAMPLES / "files.json").read_text())["data"]
    return [pytest.param(e, id=e["path"]) for e in entries if (SAMPLES / e["path"]).exists()]


@pytest.mark.skipif(not SAMPLES.exists(), reason="real-world PDF samples are not on this machine")
@pytest.mark.parametrize("entry", _samples())
def test_real_world_samples(entry):
    path = str(SAMPLES / entry["path"])
    client = ExtractorClient()
    client.set_dpi(100)
    if entry["encrypted"]:
        with pytest.raises(ValueError, match="is encrypted"):
            client.process_pdf(path)
    elif entry["path"].startswith("017-"):
        # Its page tree is broken: Poppler counts the pages but cannot load them.
        with pytest.raises(ValueError, match=r"^Page 1 of .* cannot be read: the file is damaged$"):
            client.process_pdf(path)
    else:
        result = client.process_pdf(path)
        assert list(result) == list(range(1, entry["pages"] + 1))
        assert all(type(text) is str for text in result.values())
