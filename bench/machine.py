"""The machine and tool versions a run was measured on."""

from __future__ import annotations

import glob
import os
import platform
import re
import subprocess
import sys
from importlib import metadata


def _first_line(cmd: list[str]) -> str:
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return "not found"
    text = (out.stdout or out.stderr).strip()
    return text.splitlines()[0] if text else "not found"


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _ram() -> str:
    try:
        with open("/proc/meminfo") as f:
            kb = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
        return f"{kb / 1024 / 1024:.1f} GiB"
    except (OSError, AttributeError):
        return "unknown"


def _os() -> str:
    try:
        with open("/etc/os-release") as f:
            name = re.search(r'^PRETTY_NAME="?(.*?)"?$', f.read(), re.M).group(1)
    except (OSError, AttributeError):
        name = platform.system()
    return f"{name}, kernel {platform.release()}"


def _compiler(root: str) -> str:
    # The compiler CMake used for the installed build, when its cache is at hand.
    for cache in sorted(glob.glob(os.path.join(root, "build", "*", "CMakeCache.txt"))):
        with open(cache, errors="replace") as f:
            m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", f.read(), re.M)
        if m:
            return f"{_first_line([m.group(1).strip(), '--version'])} ({m.group(1).strip()})"
    return _first_line(["c++", "--version"])


def _version(dist: str) -> str:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "not installed"


def load_average() -> str:
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def describe(root: str) -> list[tuple[str, str]]:
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        ("CPU", _cpu_model()),
        ("Cores", f"{os.cpu_count()} ({usable} usable by this process)"),
        ("RAM", _ram()),
        ("OS", _os()),
        ("Python", f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})"),
        ("Compiler", _compiler(root)),
        ("Poppler (library)", _first_line(["pkg-config", "--modversion", "poppler-cpp"])),
        ("pdftotext", _first_line(["pdftotext", "-v"])),
        ("Tesseract", _first_line(["tesseract", "--version"])),
        ("pypdfium2", _version("pypdfium2")),
        ("pdfminer.six", _version("pdfminer.six")),
        ("openai", _version("openai")),
        ("quorvan_core", _version("quorvan_core")),
    ]
