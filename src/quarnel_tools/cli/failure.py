"""What a command refuses: bad input or usage, reported in one line."""

from __future__ import annotations

from pathlib import Path
from typing import Any

# IN or OUT given as "-": standard input or output. Two objects of their own,
# told apart by identity, so that a file named "-" stays reachable as "./-".
STDIN = Path("-")
STDOUT = Path("-")


def shown(path: Any) -> str:
    """How messages name ``path``: the pipes by the stream they are."""
    if path is STDIN:
        return "<stdin>"
    if path is STDOUT:
        return "<stdout>"
    return str(path)


class Failure(Exception):
    """Bad input or usage: one line on stderr and status 2."""

    def __init__(self, path: Any, reason: str) -> None:
        super().__init__(f"{shown(path)}: {reason}" if path is not None else reason)


def one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__
