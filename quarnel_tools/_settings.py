"""One codec configuration shared by the numcodecs codec, the Zarr codec and
the command line: either the fixed options (method, scale, cutoff, coder) or
one error target (max_error, rel_error or psnr) with an optional method and
coder for the bounded encoder."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional

import numpy as np

import quarnel
import quarnel_tools

TARGETS = ("max_error", "rel_error", "psnr")
METHODS = ("cdf97", "cdf53", "db4", "sym4")
CODERS = ("auto", "deflate", "arans")
# The defaults of quarnel.QrnlCompressionOptions, written out so that a
# configuration records them.
DEFAULT_METHOD, DEFAULT_SCALE, DEFAULT_CUTOFF, DEFAULT_CODER = "cdf97", 11, "low", "auto"


def _check_choice(name: str, value: Any, choices: tuple) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"unknown {name} {value!r}, expected one of {', '.join(repr(c) for c in choices)}")
    return value


def _check_target(name: str, value: Any) -> float:
    value = quarnel_tools._as_number(name, value)
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a finite number above 0, not {value!r}")
    return value


@dataclass(frozen=True)
class Settings:
    """A validated configuration; build it with ``Settings.parse``."""

    method: Optional[str] = None
    scale: Optional[int] = None
    cutoff: Optional[str] = None
    coder: Optional[str] = None
    target: Optional[str] = None
    bound: Optional[float] = None

    @classmethod
    def parse(
        cls,
        *,
        method: Optional[str] = None,
        scale: Optional[int] = None,
        cutoff: Optional[str] = None,
        coder: Optional[str] = None,
        max_error: Optional[float] = None,
        rel_error: Optional[float] = None,
        psnr: Optional[float] = None,
    ) -> "Settings":
        given = {k: v for k, v in zip(TARGETS, (max_error, rel_error, psnr)) if v is not None}
        if len(given) > 1:
            raise ValueError(f"give at most one of max_error, rel_error, psnr, not {' and '.join(given)}")
        if method is not None:
            method = _check_choice("method", method, METHODS)
        if coder is not None:
            coder = _check_choice("coder", coder, CODERS)
        if given:
            (target, bound), = given.items()
            fixed = [name for name, v in (("scale", scale), ("cutoff", cutoff)) if v is not None]
            if fixed:
                raise ValueError(f"{' and '.join(fixed)} cannot be combined with the error target {target}")
            return cls(method=method, coder=coder, target=target, bound=_check_target(target, bound))
        settings = cls(
            method=DEFAULT_METHOD if method is None else method,
            scale=DEFAULT_SCALE if scale is None else scale,
            cutoff=DEFAULT_CUTOFF if cutoff is None else cutoff,
            coder=DEFAULT_CODER if coder is None else coder,
        )
        try:
            settings.options()  # the module's own checks and messages for scale and cutoff
        except OverflowError as e:
            # A scale outside a byte: the module's words, as the ValueError
            # every other wrong option gives.
            raise ValueError(str(e)) from None
        return settings

    @classmethod
    def from_config(cls, config: Mapping[str, Any]) -> "Settings":
        """Parse a JSON configuration (no "id" or "name" key)."""
        return cls.parse(**config)

    def options(self) -> quarnel.QrnlCompressionOptions:
        return quarnel.QrnlCompressionOptions(self.method, self.scale, self.cutoff, self.coder)

    def config(self) -> Dict[str, Any]:
        """JSON values only; ``from_config`` gives these settings back."""
        if self.target is None:
            return {"method": self.method, "scale": self.scale, "cutoff": self.cutoff, "coder": self.coder}
        out: Dict[str, Any] = {self.target: self.bound}
        if self.method is not None:
            out["method"] = self.method
        if self.coder is not None:
            out["coder"] = self.coder
        return out

    def compress(self, samples: np.ndarray, threads: Optional[int] = None) -> bytes:
        """Compress a contiguous 1-D float32 or float64 array."""
        if self.target is None:
            return quarnel_tools.compress(samples, self.options(), threads=threads)
        return quarnel_tools.compress(
            samples, threads=threads, method=self.method, coder=self.coder, **{self.target: self.bound}
        )

    def describe(self) -> str:
        return ", ".join(f"{k}={v}" for k, v in self.config().items())
