from threading import Event
from typing import Any

from pydantic import BaseModel

class PageTranscription(BaseModel):
    text: str

class PdfReading:
    texts: dict[int, str]
    hidden: list[dict[str, Any]]
    pages: list[dict[str, Any]]
    calls: list[dict[str, Any]]
    def __init__(self, texts: dict[int, str], hidden: list[dict[str, Any]], pages: list[dict[str, Any]] | None = None, calls: list[dict[str, Any]] | None = None) -> None: ...

class ReadLimits:
    max_pages: int
    max_chars: int
    timeout: float
    memory_mb: int
    def __init__(self, max_pages: int = 300, max_chars: int = 1000000, timeout: float = 120.0, memory_mb: int = 2048) -> None: ...

class ReadLimitError(ValueError):
    limit: str

class ExtractorRecommendation:
    subject: str
    extractor_type: str
    reason: str
    def __init__(self, subject: str, extractor_type: str, reason: str = '') -> None: ...

class ExtractorClient:
    extractor_type: str
    region: str
    api_key: str | None
    app_id: str | None
    app_key: str | None
    dpi: int
    backend: str
    model: str
    reader: str
    min_confidence: float
    def __init__(self, extractor_type: str = 'local', region: str = 'us-east-1', api_key: str | None = None, app_id: str | None = None, app_key: str | None = None, *, model: str = 'gpt-5-mini-2025-08-07', reader: str = 'local', min_confidence: float = 85.0) -> None: ...
    def set_dpi(self, dpi: int) -> None: ...
    def change_extractor(self, extractor: str | ExtractorRecommendation) -> None: ...
    @staticmethod
    def get_recommended_extractor_for_subject(subject: str) -> ExtractorRecommendation: ...
    def process_pdf(self, pdf_path: str, page_numbers: list[int] | None = None) -> dict[int, str]: ...
    def read_pdf(self, pdf_path: str, page_numbers: list[int] | None = None, *, check_visibility: bool = True, limits: ReadLimits | None = None, cancel: Event | None = None) -> PdfReading: ...
