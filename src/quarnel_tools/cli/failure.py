"""What a command refuses: bad input or usage, reported in one line."""

from __future__ import annotations

from typing import Any


class Failure(Exception):
    """Bad input or usage: one line on stderr and status 2."""

    def __init__(self, path: Any, reason: str) -> None:
        super().__init__(f"{path}: {reason}" if path is not None else reason)


def one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__
