"""The progress bar of long commands."""

from __future__ import annotations

import sys
from typing import Any


def progress(total: int, quiet: bool, what: str) -> Any:
    from tqdm import tqdm

    # Only on a terminal, and only for work that lasts more than a moment.
    return tqdm(
        total=total, desc=what, unit="sample", unit_scale=True, delay=0.5, leave=False,
        disable=quiet or not sys.stderr.isatty(), file=sys.stderr,
    )
