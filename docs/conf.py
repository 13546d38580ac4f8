"""The quorvan_core user guide: Markdown pages (MyST), the library's API from its modules' docstrings, and
a page per command written from the command's own parser (_ext/quorvan_commands.py)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "quorvan_core"
author = "the quorvan_core developers"
extensions = ["myst_parser", "sphinx.ext.autodoc", "quorvan_commands"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
html_theme = "alabaster"
html_static_path: list[str] = []
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": False}
# Nothing is fetched: the guide builds offline.
intersphinx_mapping: dict[str, tuple[str, None]] = {}
