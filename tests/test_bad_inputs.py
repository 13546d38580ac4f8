"""Files the extractor should refuse or survive: every one gives a clear
Python error naming the file, or its pages, and never a crash or a hang.

tests/test_extractor.py has the basic bad files (missing, a directory,
truncated at 10% and 95%, not a PDF, empty, corrupt, encrypted, zero pages,
pages out of range); these go further.
"""

import errno
import os
import random
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from quorvan_core.ocr_extractor.extractor_client import ExtractorClient
from tests.support import pdfs

TEXT = "Q1. Explain the water cycle in three sentences, naming evaporation and condensation."
PAGES = [f"Q{n}. Explain how page {n} of the paper is read back word for word.\nUse two full sentences."
         for n in range(1, 4)]


@pytest.fixture
def client():
    c = ExtractorClient()
    c.set_dpi(30)  # pages that lose their text go to OCR: keep it quick
    return c


def _objects(content=b"BT /F1 12 Tf 72 720 Td (" + TEXT.encode() + b") Tj ET", *, catalog=None, pages=None,
             page=None, font=None, extra=()):
    """The numbered objects of a one-page PDF, any of them replaceable."""
    stream = b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content)
    return [
        catalog or b"<< /Type /Catalog /Pages 2 0 R >>",
        pages or b"<< /Type /Pages /Kids [5 0 R] /Count 1 >>",
        font or b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        stream,
        page or b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                b"/Contents 4 0 R >>",
        *extra,
    ]


def _write(tmp_path, data, name="bad.pdf"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def _is_page_dict(result, pages):
    return list(result) == pages and all(type(t) is str for t in result.values())


# ------------------------------------------------------- not a PDF at all

NOT_PDF = [
    ("png", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR" + bytes(64)),
    ("jpeg", b"\xff\xd8\xff\xe0\0\x10JFIF\0" + bytes(64)),
    ("docx_zip", b"PK\x03\x04\x14\0\x06\0" + bytes(64) + b"word/document.xml"),
    ("utf16_text", "Q1. Name three prime numbers.".encode("utf-16")),
    ("random_bytes", random.Random(7).randbytes(4096).replace(b"%PDF-", b"%PDX-")),
    ("header_after_first_kib", b"x" * 1100 + pdfs.zero_page_pdf_bytes()),
]


@pytest.mark.parametrize("data", [d for _, d in NOT_PDF], ids=[n for n, _ in NOT_PDF])
def test_other_file_types_named_pdf(tmp_path, client, data):
    path = _write(tmp_path, data)
    with pytest.raises(ValueError) as info:
        client.process_pdf(path)
    assert str(info.value) == f"'{path}' is not a PDF file (no %PDF- header)"


@pytest.mark.parametrize("data", [
    b"%PDF-1.7",
    b"%PDF-1.4\n%%EOF\n",
    b"<!DOCTYPE html><html><body><p>Download %PDF-1.4 here</p></body></html>",
    b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n",
], ids=["header_only", "header_and_eof", "html_mentioning_a_header", "no_xref_no_trailer"])
def test_a_header_with_nothing_readable_behind_it(tmp_path, client, data):
    path = _write(tmp_path, data)
    with pytest.raises(ValueError, match=rf"^'{re.escape(path)}' (is damaged or truncated and cannot be read|has no pages)"):
        client.process_pdf(path)


# ------------------------------------------------------ truncated and damaged

@pytest.fixture(scope="module")
def whole_pdf(tmp_path_factory):
    return pdfs.write_text_pdf(tmp_path_factory.mktemp("pdf") / "whole.pdf", PAGES)


@pytest.mark.parametrize("keep", [0.02, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999])
def test_cut_at_any_point(tmp_path, client, whole_pdf, keep):
    # Poppler rebuilds what it can: either the pages that survive or a clear error.
    path = str(pdfs.write_truncated_pdf(tmp_path / "cut.pdf", whole_pdf, keep))
    try:
        result = client.process_pdf(path)
    except ValueError as e:
        assert re.match(rf"^('{re.escape(path)}' is damaged or truncated|'{re.escape(path)}' has no pages|"
                        rf"Page \d of '{re.escape(path)}' cannot be read)", str(e)), str(e)
    else:
        assert _is_page_dict(result, list(result)) and set(result) <= {1, 2, 3}


def test_flipped_bytes(tmp_path, client, whole_pdf):
    # Bytes changed at random places: each file still opens, or fails with a ValueError.
    data = whole_pdf.read_bytes()
    rng = random.Random(2024)
    for i in range(40):
        mutant = bytearray(data)
        for _ in range(rng.randint(1, 12)):
            mutant[rng.randrange(16, len(mutant))] = rng.randrange(256)
        path = _write(tmp_path, bytes(mutant), f"m{i}.pdf")
        try:
            result = client.process_pdf(path)
        except ValueError as e:
            assert path in str(e)
        else:
            assert all(type(k) is int and type(v) is str for k, v in result.items())


MALFORMED = [
    ("unknown_operators", dict(content=b"BT /F1 12 Tf 72 720 Td (" + TEXT.encode() + b") Tj foo bar ET ET Q Q")),
    ("unbalanced_saves", dict(content=b"q " * 5000 + b"BT /F1 12 Tf 72 720 Td (" + TEXT.encode() + b") Tj ET")),
    ("nested_arrays", dict(content=b"[" * 50000 + b"]" * 50000)),
    ("garbage_flate_stream", dict(content=b"x\x9c" + bytes(range(256)))),
    ("missing_font", dict(font=b"null")),
    ("font_with_broken_file", dict(font=b"<< /Type /Font /Subtype /TrueType /BaseFont /Foo "
                                        b"/FontDescriptor << /FontFile2 6 0 R >> >>",
                                   extra=[b"<< /Length 10 >>\nstream\n0123456789\nendstream"])),
    ("contents_loop", dict(page=b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents [5 0 R 4 0 R] >>")),
    ("nested_dictionaries", dict(pages=b"<< /Type /Pages /Kids [5 0 R] /Count 1 /X " + b"<< /A " * 20000
                                      + b">> " * 20000 + b">>")),
    ("image_of_two_billion_pixels_a_side", dict(
        content=b"q 612 0 0 792 0 0 cm /Im1 Do Q",
        page=b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /Im1 6 0 R >> >> "
             b"/Contents 4 0 R >>",
        extra=[b"<< /Type /XObject /Subtype /Image /Width 2000000000 /Height 2000000000 /ColorSpace /DeviceGray "
               b"/BitsPerComponent 8 /Length 3 >>\nstream\nabc\nendstream"])),
]


@pytest.mark.parametrize("parts", [m for _, m in MALFORMED], ids=[n for n, _ in MALFORMED])
def test_malformed_page_content_still_gives_the_page(tmp_path, client, parts):
    result = client.process_pdf(_write(tmp_path, pdfs._assemble(_objects(**parts))))
    assert _is_page_dict(result, [1])


@pytest.mark.parametrize("objects, says", [
    (_objects(catalog=b"42"), "is damaged or truncated and cannot be read (Couldn't read page catalog)"),
    (_objects(catalog=b"<< /Type /Catalog >>"), "has no pages"),
    (_objects(pages=b"[1 2 3]"), "has no pages"),
    (_objects(pages=b"<< /Type /Pages /Kids [5 0 R] /Count 1000000000 >>"), "has no pages"),
    (_objects(pages=b"<< /Type /Pages /Kids [5 0 R] /Count -3 >>"), "has no pages"),
], ids=["catalog_not_a_dictionary", "no_page_tree", "page_tree_not_a_dictionary", "page_count_of_a_billion",
        "negative_page_count"])
def test_broken_catalog_and_page_tree(tmp_path, client, objects, says):
    path = _write(tmp_path, pdfs._assemble(objects))
    with pytest.raises(ValueError) as info:
        client.process_pdf(path)
    assert str(info.value) == f"'{path}' {says}"


def test_page_tree_that_loops_back_on_itself(tmp_path, client):
    path = _write(tmp_path, pdfs._assemble(_objects(pages=b"<< /Type /Pages /Kids [5 0 R 2 0 R] /Count 2 >>")))
    with pytest.raises(ValueError) as info:
        client.process_pdf(path)
    assert str(info.value) == f"Page 2 of '{path}' cannot be read: the file is damaged"
    assert client.process_pdf(path, [1]) == {1: TEXT}


def test_page_tree_a_thousand_levels_deep(tmp_path, client):
    depth = 1000
    objects = _objects()
    first = len(objects) + 1
    objects[1] = b"<< /Type /Pages /Kids [%d 0 R] /Count 1 >>" % first
    for level in range(depth):
        number = first + level
        parent = 2 if level == 0 else number - 1
        kid = 5 if level == depth - 1 else number + 1
        objects.append(b"<< /Type /Pages /Parent %d 0 R /Kids [%d 0 R] /Count 1 >>" % (parent, kid))
    objects[4] = objects[4].replace(b"/Parent 2 0 R", b"/Parent %d 0 R" % (first + depth - 1))
    assert client.process_pdf(_write(tmp_path, pdfs._assemble(objects))) == {1: TEXT}


# -------------------------------------------------------------- encryption

@pytest.mark.parametrize("method", ["RC4", "AES_128", "AES_256"])
def test_each_encryption_method(tmp_path, client, method):
    from fpdf import FPDF
    from fpdf.enums import EncryptionMethod

    def write(name, user_password):
        pdf = FPDF()
        pdf.set_encryption(owner_password="owner", user_password=user_password,
                           encryption_method=getattr(EncryptionMethod, method))
        pdf.add_page()
        pdf.set_font("helvetica", size=12)
        pdf.multi_cell(0, 8, TEXT)
        pdf.output(str(tmp_path / name))
        return str(tmp_path / name)

    locked = write("locked.pdf", "secret")
    with pytest.raises(ValueError) as info:
        client.process_pdf(locked)
    assert str(info.value) == f"'{locked}' is encrypted and cannot be opened without its password"
    assert client.process_pdf(write("open.pdf", None)) == {1: TEXT}


# --------------------------------------------------------------------- huge

def test_twenty_thousand_pages(tmp_path):
    pages = [f"Q{n}. State the law of conservation of energy and give one example." for n in range(1, 20001)]
    path = str(pdfs.write_plain_pages_pdf(tmp_path / "big.pdf", pages))
    client = ExtractorClient()
    result = client.process_pdf(path)
    assert list(result) == list(range(1, 20001))
    assert result[1] == pages[0] and result[20000] == pages[-1]
    assert client.process_pdf(path, [20000, 7]) == {7: pages[6], 20000: pages[-1]}
    with pytest.raises(ValueError, match=r"^Page 20001 is out of range: '.*' has 20000 pages$"):
        client.process_pdf(path, [1, 20001])


@pytest.mark.parametrize("size", [(14400, 14400), (1e9, 1e9), (100000, 80), (600, 100000), (612, 1e7)],
                         ids=["200_inches_square", "a_billion_points_square", "long_thin_strip", "tall_thin_strip",
                              "a_mile_long"])
def test_huge_pages(tmp_path, size):
    # With text the layer is read whatever the size; a blank one is rendered at
    # a capped size to look for a scan, then read as empty.
    width, height = size
    typed = pdfs.write_plain_pages_pdf(tmp_path / "typed.pdf", [TEXT], page_size=(width, height))
    blank = pdfs.write_plain_pages_pdf(tmp_path / "blank.pdf", [""], page_size=(width, height))
    client = ExtractorClient()
    assert client.process_pdf(str(typed)) == {1: TEXT}
    assert client.process_pdf(str(blank)) == {1: ""}


def test_huge_page_with_a_mark_goes_to_ocr_at_a_size_it_accepts(tmp_path):
    # A long strip with a box drawn on it: too wide for Tesseract at the
    # asked dpi, so it is rendered narrower; OCR finds no words in a box.
    objects = _objects(content=b"0 g 100 0 200 1 re f",
                       page=b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100000 1] /Contents 4 0 R >>")
    client = ExtractorClient()
    client.set_dpi(300)
    assert client.process_pdf(_write(tmp_path, pdfs._assemble(objects))) == {1: ""}


# ------------------------------------------------------ not regular files

def test_named_pipe(tmp_path, client):
    path = tmp_path / "answers.pdf"
    os.mkfifo(path)
    done = threading.Event()

    def rescue():
        # Should the extractor open the pipe and wait, feed it a few bytes so
        # the test fails on its assertion instead of hanging.
        while not done.wait(0.02):
            try:
                fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                continue
            os.write(fd, b"not a pdf")
            os.close(fd)

    rescuer = threading.Thread(target=rescue, daemon=True)
    rescuer.start()
    try:
        with pytest.raises(ValueError) as info:
            client.process_pdf(str(path))
    finally:
        done.set()
        rescuer.join()
    assert str(info.value) == f"'{path}' is not a PDF file (it is a named pipe)"


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="no /dev/zero")
@pytest.mark.parametrize("device", ["/dev/null", "/dev/zero"])
def test_devices(client, device):
    with pytest.raises(ValueError) as info:
        client.process_pdf(device)
    assert str(info.value) == f"'{device}' is not a PDF file (it is a device)"


def test_symlinks(tmp_path, client, whole_pdf):
    (tmp_path / "link.pdf").symlink_to(whole_pdf)
    assert client.process_pdf(str(tmp_path / "link.pdf"), [2]) == {2: PAGES[1]}
    (tmp_path / "dangling.pdf").symlink_to(tmp_path / "nowhere.pdf")
    with pytest.raises(FileNotFoundError) as info:
        client.process_pdf(str(tmp_path / "dangling.pdf"))
    assert info.value.filename == str(tmp_path / "dangling.pdf")
    (tmp_path / "loop.pdf").symlink_to(tmp_path / "loop.pdf")
    with pytest.raises(OSError) as info:
        client.process_pdf(str(tmp_path / "loop.pdf"))
    assert (info.value.errno, info.value.filename) == (errno.ELOOP, str(tmp_path / "loop.pdf"))


# ------------------------------------------------------------------- paths

def test_name_too_long(tmp_path, client):
    path = str(tmp_path / ("q" * 300 + ".pdf"))
    with pytest.raises(OSError) as info:
        client.process_pdf(path)
    assert (info.value.errno, info.value.filename) == (errno.ENAMETOOLONG, path)


def test_path_through_a_file(client, whole_pdf):
    # "whole.pdf/inside.pdf" names nothing that exists.
    path = str(Path(whole_pdf) / "inside.pdf")
    with pytest.raises(FileNotFoundError) as info:
        client.process_pdf(path)
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, path)


def test_undecodable_file_name(tmp_path, client, whole_pdf):
    raw = os.fsencode(str(tmp_path)) + b"/answers-\xff\xfe.pdf"
    with open(raw, "wb") as f:
        f.write(Path(whole_pdf).read_bytes())
    name = os.fsdecode(raw)  # holds lone surrogates
    assert client.process_pdf(name, [1]) == {1: PAGES[0]}
    os.remove(raw)
    with pytest.raises(FileNotFoundError) as info:
        client.process_pdf(name)
    assert info.value.filename == name
    broken = _write(tmp_path, b"%PDF-1.7\nnothing", "answers-\u00e9.pdf")
    with pytest.raises(ValueError, match=r"^'.*answers-\u00e9\.pdf' is damaged"):
        client.process_pdf(broken)


# ----------------------------------------------- nowhere to write, nothing written

def test_extraction_writes_nothing_and_needs_no_writable_folder(tmp_path, monkeypatch, whole_pdf):
    # The working folder is deleted (nothing can be created in it) and TMPDIR
    # and HOME point nowhere; typed and scanned pages are still read, on a
    # fresh thread so the OCR engine starts up under these conditions too.
    folder = tmp_path / "papers"
    folder.mkdir()
    typed = folder / "typed.pdf"
    typed.write_bytes(Path(whole_pdf).read_bytes())
    scan = pdfs.write_scanned_pdf(folder / "scan.pdf", ["Question 1: Explain photosynthesis."])
    before = sorted(p.name for p in folder.iterdir())

    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    monkeypatch.setenv("TMPDIR", "/nonexistent/tmp")
    monkeypatch.setenv("HOME", "/nonexistent/home")

    def extract():
        client = ExtractorClient()
        return client.process_pdf(str(typed)), client.process_pdf(str(scan))

    with ThreadPoolExecutor(max_workers=1) as pool:
        typed_text, scan_text = pool.submit(extract).result()
    assert typed_text == {1: PAGES[0], 2: PAGES[1], 3: PAGES[2]}
    assert "Explain photosynthesis" in scan_text[1]
    assert sorted(p.name for p in folder.iterdir()) == before
