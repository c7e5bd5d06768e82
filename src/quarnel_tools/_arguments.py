"""The arguments every entry of the package shares, checked once: an error
target and the bounded encoder's method and coder. The rules are the codec's
(``_native.check_target``) and the module's options class's; this only maps
Python values onto them."""

from __future__ import annotations

from typing import Literal, Optional, Tuple

import numpy as np

import quarnel_tools._native as _native
from quarnel import QrnlCompressionOptions

# The keywords of the error targets, at the codec's ErrorTarget numbers.
TARGETS = ("max_error", "rel_error", "psnr")

# The codec's names of its methods, cut-offs and coders, for type checkers,
# as the module's stub spells them; the codec checks the values at run time.
Method = Literal["cdf97", "cdf53", "db4", "sym4"]
Cutoff = Literal["low", "medium", "high"]
Coder = Literal["auto", "deflate", "arans"]


def as_number(name: str, value: object) -> float:
    """A target given as any real number, as a float; bools are refused."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def target(
    max_error: Optional[float], rel_error: Optional[float], psnr: Optional[float]
) -> Optional[Tuple[int, float]]:
    """The one target given, as (ErrorTarget number, value), or None; its
    value checked by the codec's rule."""
    given = [(i, v) for i, v in enumerate((max_error, rel_error, psnr)) if v is not None]
    if len(given) > 1:
        names = " and ".join(TARGETS[i] for i, _ in given)
        raise TypeError(f"give at most one error target, not {names}")
    if not given:
        return None
    kind, value = given[0]
    number = as_number(TARGETS[kind], value)
    try:
        _native.check_target(kind, number)
    except ValueError as e:
        raise ValueError(f"{TARGETS[kind]}: {e}") from None  # the codec's rule, under the caller's name
    return kind, number


def deflate_level(value: Optional[int]) -> int:
    """A DEFLATE level, the codec's default for None, checked by the codec's
    rule."""
    if value is None:
        level: int = _native.DEFAULT_DEFLATE_LEVEL
        return level
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"deflate_level must be an int, not {type(value).__name__}")
    _native.check_deflate_level(int(value))
    return int(value)


def bounded_choices(method: Optional[Method], coder: Optional[Coder]) -> QrnlCompressionOptions:
    """The bounded encoder's method and coder, parsed by the module's options
    class with its checks and messages; an unpinned method parses as the
    default."""
    if method is None:
        return QrnlCompressionOptions(coder=coder)
    return QrnlCompressionOptions(method=method, coder=coder)
