import argparse
from contextvars import ContextVar

# The sheet a line of the run's log belongs to.
log_sheet: ContextVar[str]

def main(argv: list[str] | None = None) -> int: ...
def parser() -> argparse.ArgumentParser: ...
