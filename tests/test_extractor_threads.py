"""Pages read on several threads (text layers, then scans by OCR) give exactly what reading page by page gives."""

from concurrent.futures import ThreadPoolExecutor

import pytest

from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support import pdfs

SCANNED = {9, 30}


def _page(n):
    if n in SCANNED:
        return f"Question {n}: Name three prime numbers"
    return f"Q{n}. Explain how the water cycle moves heat around page {n}. [{n % 7 + 1} marks]\nAnswer in three lines."


PAGES = [_page(n) for n in range(1, 41)]


@pytest.fixture(scope="module")
def long_pdf(tmp_path_factory):
    return str(pdfs.write_mixed_pdf(tmp_path_factory.mktemp("pdf") / "long.pdf", PAGES, scanned=SCANNED))


@pytest.fixture(scope="module")
def one_by_one(long_pdf):
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("QUORVAN_EXTRACT_THREADS", "1")
        return ExtractorClient().process_pdf(long_pdf)


def test_one_thread_reads_the_pages(one_by_one):
    assert list(one_by_one) == list(range(1, 41))
    for n, text in one_by_one.items():
        if n in SCANNED:
            assert [line for line in text.splitlines() if line.strip()] == [PAGES[n - 1]]
        else:
            assert text == PAGES[n - 1]


@pytest.mark.parametrize("threads", ["2", "3", "8", None, "0", "-2", "many", "2.5"])
def test_any_thread_setting_gives_the_same_result(monkeypatch, long_pdf, one_by_one, threads):
    if threads is None:
        monkeypatch.delenv("QUORVAN_EXTRACT_THREADS", raising=False)
    else:
        monkeypatch.setenv("QUORVAN_EXTRACT_THREADS", threads)
    result = ExtractorClient().process_pdf(long_pdf)
    assert result == one_by_one and list(result) == list(one_by_one)


def test_selected_pages_on_several_threads(monkeypatch, long_pdf, one_by_one):
    monkeypatch.setenv("QUORVAN_EXTRACT_THREADS", "4")
    wanted = [40, 3, 17, 9, 22, 23, 24, 25, 26]
    result = ExtractorClient().process_pdf(long_pdf, wanted)
    assert list(result) == sorted(wanted)
    assert all(result[n] == one_by_one[n] for n in wanted)


@pytest.mark.parametrize("threads", ["1", "4"])
def test_the_first_unreadable_page_is_the_one_named(monkeypatch, tmp_path, threads):
    # Pages 12 to 40 cannot be loaded: whichever thread meets one first, page 12 is named.
    path = str(pdfs.write_plain_pages_pdf(tmp_path / "b.pdf", PAGES, broken_from=12))
    monkeypatch.setenv("QUORVAN_EXTRACT_THREADS", threads)
    with pytest.raises(ValueError) as info:
        ExtractorClient().process_pdf(path)
    assert str(info.value) == f"Page 12 of '{path}' cannot be read: the file is damaged"
    assert ExtractorClient().process_pdf(path, list(range(1, 12)))[11].startswith("Q11.")


@pytest.mark.parametrize("threads", ["1", "2", "8"])
def test_the_first_scan_that_fails_is_the_one_named(monkeypatch, long_pdf, threads):
    # Without language data every OCR engine fails to start, the helpers' too:
    # whichever thread fails first, the first scanned page (9) is named.
    monkeypatch.setenv("QUORVAN_EXTRACT_THREADS", threads)
    monkeypatch.setenv("TESSDATA_PREFIX", "/nonexistent")
    with ThreadPoolExecutor(max_workers=1) as pool:  # a fresh thread: a fresh engine
        future = pool.submit(ExtractorClient().process_pdf, long_pdf)
        with pytest.raises(RuntimeError) as info:
            future.result()
    assert str(info.value).startswith(f"Failed to read page 9 of '{long_pdf}' with OCR: Tesseract could not load")
