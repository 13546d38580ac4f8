"""PDF text extraction."""
