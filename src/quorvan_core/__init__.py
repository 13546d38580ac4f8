"""Marks students' answer sheets against generated rubrics with a large language model."""

__version__ = "0.1.0"
