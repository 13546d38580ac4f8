"""AnswersheetService.read_answersheet_async: many sheets read and parsed at once on one event loop."""

import asyncio
import threading
from unittest import mock

import pytest

import quorvan_core.answersheet_service as asm
from quorvan_core.ocr_extractor.extractor_client import PdfReading
from tests.test_answersheet_service import make_paper, make_sheet, rubric


def paper():
    return make_paper(("Q1", "Define photosynthesis.", 10.0, rubric(5.0, 5.0), "Plants make sugar from light."))


class SlowReader:
    """An extractor whose reads wait for one another: only reads on other threads can all finish."""

    def __init__(self, n):
        self.barrier = threading.Barrier(n, timeout=10)
        self.threads = set()

    def process_pdf(self, pdf_path, page_numbers):
        self.threads.add(threading.get_ident())
        self.barrier.wait()
        return {1: f"Q1. text of {pdf_path}"}


def test_sheets_are_read_on_worker_threads_with_the_extractor_handed_in(tmp_path):
    paths = []
    for name in ("a", "b", "c"):
        paths.append(str(tmp_path / f"{name}.pdf"))
        (tmp_path / f"{name}.pdf").write_bytes(b"%PDF-1.4")
    shared = mock.Mock()
    llm = mock.Mock()
    parsed = []

    async def parse(texts, question_paper):
        parsed.append(texts[1])
        return make_sheet(("Q1", texts[1], [1]))

    llm.parseAnswersheet_async = parse
    service = asm.AnswersheetService(extractor_client=shared, llm_service=llm)
    reader = SlowReader(3)

    async def main():
        return await asyncio.gather(*(service.read_answersheet_async(p, paper(), extractor_client=reader)
                                      for p in paths))

    sheets = asyncio.run(main())
    assert [s.get_answer("Q1").text for s in sheets] == [f"Q1. text of {p}" for p in paths]
    assert len(reader.threads) == 3 and threading.get_ident() not in reader.threads
    assert shared.mock_calls == []  # the shared client was neither switched nor used
    assert service.extracted_texts is None


def test_by_default_the_pipelines_client_is_switched_to_the_recommended_extractor(tmp_path):
    pdf = tmp_path / "s.pdf"
    pdf.write_bytes(b"%PDF-1.4")
    shared = mock.Mock()
    shared.read_pdf.return_value = PdfReading({1: "Q1. x"}, [{"page": 1, "words": 2, "sample": ["a", "b"],
                                                              "kinds": ["invisible"], "replaced": False}])
    llm = mock.Mock()
    llm.parseAnswersheet_async = mock.AsyncMock(return_value=make_sheet(("Q1", "x", [1])))
    service = asm.AnswersheetService(extractor_client=shared, llm_service=llm)
    with mock.patch.object(asm, "ExtractorClient") as client_class:
        sheet = asyncio.run(service.read_answersheet_async(str(pdf), paper(), [1]))
    client_class.get_recommended_extractor_for_subject.assert_called_once_with("Biology")
    shared.change_extractor.assert_called_once_with(client_class.get_recommended_extractor_for_subject.return_value)
    shared.read_pdf.assert_called_once_with(str(pdf), [1], check_visibility=True)
    shared.process_pdf.assert_not_called()
    assert sheet.get_question_ids() == ["Q1"]
    # The pages as read, for judging the parse, and what was left out of them.
    assert sheet.extracted_texts is shared.read_pdf.return_value.texts
    assert sheet.hidden_text is shared.read_pdf.return_value.hidden


@pytest.mark.parametrize("check", [True, False])
def test_the_visibility_check_is_asked_of_the_extractor_as_given(tmp_path, check):
    pdf = tmp_path / "s.pdf"
    pdf.write_bytes(b"%PDF-1.4")
    reader = mock.Mock()
    reader.read_pdf.return_value = PdfReading({1: "Q1. x"}, [])
    llm = mock.Mock()
    llm.parseAnswersheet_async = mock.AsyncMock(return_value=make_sheet(("Q1", "x", [1])))
    service = asm.AnswersheetService(extractor_client=mock.Mock(), llm_service=llm)
    sheet = asyncio.run(service.read_answersheet_async(str(pdf), paper(), extractor_client=reader,
                                                       check_visibility=check))
    reader.read_pdf.assert_called_once_with(str(pdf), None, check_visibility=check)
    assert sheet.hidden_text == []


def test_an_extractor_without_read_pdf_reads_with_process_pdf(tmp_path):
    pdf = tmp_path / "s.pdf"
    pdf.write_bytes(b"%PDF-1.4")
    class OnlyProcessPdf:  # an extractor of the caller's own, without read_pdf
        process_pdf = mock.Mock(return_value={1: "Q1. x"})

    reader = OnlyProcessPdf()
    llm = mock.Mock()
    llm.parseAnswersheet_async = mock.AsyncMock(return_value=make_sheet(("Q1", "x", [1])))
    service = asm.AnswersheetService(extractor_client=mock.Mock(), llm_service=llm)
    sheet = asyncio.run(service.read_answersheet_async(str(pdf), paper(), extractor_client=reader))
    reader.process_pdf.assert_called_once_with(str(pdf), None)
    assert sheet.extracted_texts == {1: "Q1. x"} and sheet.hidden_text == []


@pytest.mark.parametrize("failing, error, message", [
    ("missing", FileNotFoundError, "PDF file not found: "),
    ("extract", RuntimeError, "Failed to extract text from PDF: bad bytes"),
    ("parse", RuntimeError, "Failed to parse answers: model down"),
])
def test_failures_name_their_step(tmp_path, failing, error, message):
    pdf = tmp_path / "s.pdf"
    if failing != "missing":
        pdf.write_bytes(b"%PDF-1.4")
    reader = mock.Mock()
    reader.read_pdf.side_effect = ValueError("bad bytes") if failing == "extract" else None
    reader.read_pdf.return_value = PdfReading({1: "x"}, [])
    llm = mock.Mock()
    llm.parseAnswersheet_async = mock.AsyncMock(side_effect=RuntimeError("model down"))
    service = asm.AnswersheetService(extractor_client=mock.Mock(), llm_service=llm)
    with pytest.raises(error) as raised:
        asyncio.run(service.read_answersheet_async(str(pdf), paper(), extractor_client=reader))
    assert message in str(raised.value)
    if failing != "missing":
        assert raised.value.__context__ is not None


def test_arguments_are_checked_when_called():
    service = asm.AnswersheetService(extractor_client=mock.Mock(), llm_service=mock.Mock())
    with pytest.raises(TypeError, match="Argument 'pdf_path' has incorrect type"):
        service.read_answersheet_async(None, paper())
    with pytest.raises(ValueError, match="Answersheet and question paper cannot be None"):
        service.read_answersheet_async("x.pdf", None)
