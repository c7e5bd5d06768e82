"""One codec configuration shared by the numcodecs codec, the Zarr codec and
the command line: either the fixed options (method, scale, cutoff, coder) or
one error target (max_error, rel_error or psnr) with an optional method and
coder for the bounded encoder, and with either a DEFLATE level.

Every rule is the codec's: the names and defaults come from it, the options
are checked by ``quarnel.QrnlCompressionOptions`` and a target by the same
checks ``quarnel_tools.compress`` makes."""

from __future__ import annotations

import sys
import types
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple

import numpy as np

import quarnel
import quarnel_tools
import quarnel_tools._native as _native
from quarnel_tools._arguments import TARGETS as TARGETS  # the command line takes them from here
from quarnel_tools._arguments import bounded_choices, target
from quarnel_tools._arguments import deflate_level as _deflate_level

if TYPE_CHECKING:
    from quarnel_tools._arguments import Coder, Cutoff, Method

# The codec's names for its methods, cut-offs and coders, in its order.
METHODS: Tuple[Method, ...] = _native.METHODS
CUTOFFS: Tuple[Cutoff, ...] = _native.CUTOFFS
CODERS: Tuple[Coder, ...] = _native.CODERS
# The codec's defaults, those of quarnel.QrnlCompressionOptions, so that a
# configuration records them.
DEFAULT_METHOD: Method
DEFAULT_SCALE: int
DEFAULT_CUTOFF: Cutoff
DEFAULT_CODER: Coder
DEFAULT_METHOD, DEFAULT_SCALE, DEFAULT_CUTOFF, DEFAULT_CODER = (
    _native.DEFAULT_OPTIONS[k] for k in ("method", "scale", "cutoff", "coder")
)
# The codec's scales and DEFLATE levels, lowest first, and its default level.
SCALES = range(_native.SCALES[0], _native.SCALES[1] + 1)
DEFLATE_LEVELS = range(_native.DEFLATE_LEVELS[0], _native.DEFLATE_LEVELS[1] + 1)
DEFAULT_DEFLATE_LEVEL: int = _native.DEFAULT_DEFLATE_LEVEL


@dataclass(frozen=True)
class Settings:
    """A validated configuration; build it with ``Settings.parse``."""

    method: Optional[Method] = None
    scale: Optional[int] = None
    cutoff: Optional[Cutoff] = None
    coder: Optional[Coder] = None
    target: Optional[str] = None
    bound: Optional[float] = None
    # Streams with the trailer (checksum and mask) unless a consumer wants
    # the bare format.
    trailer: bool = True
    # With a largest-error target: a coarser stream and the samples it
    # leaves beyond the bound listed in the trailer.
    corrections: bool = True
    # For a payload coded with DEFLATE; None is the codec's default.
    deflate_level: Optional[int] = None

    @classmethod
    def parse(cls, **config: Any) -> "Settings":
        """Checks the keyword parameters of ``Configured``."""
        return Configured(**config).settings

    @classmethod
    def from_config(cls, config: Mapping[str, Any]) -> "Settings":
        """Parse a JSON configuration (no "id" or "name" key)."""
        return cls.parse(**config)

    def options(self) -> quarnel.QrnlCompressionOptions:
        # Settings without a target: parse() gives them all four options.
        assert self.method is not None and self.scale is not None and self.cutoff is not None
        return quarnel.QrnlCompressionOptions(self.method, self.scale, self.cutoff, self.coder)

    def config(self) -> Dict[str, Any]:
        """JSON values only; ``from_config`` gives these settings back. The
        trailer, the default, goes unsaid."""
        out: Dict[str, Any]
        if self.target is None:
            out = {"method": self.method, "scale": self.scale, "cutoff": self.cutoff, "coder": self.coder}
        else:
            out = {self.target: self.bound}
            if self.method is not None:
                out["method"] = self.method
            if self.coder is not None:
                out["coder"] = self.coder
        if not self.trailer:
            out["trailer"] = False
        if not self.corrections:
            out["corrections"] = False
        if self.deflate_level is not None:
            out["deflate_level"] = self.deflate_level
        return out

    def compress(
        self,
        samples: np.ndarray,
        threads: Optional[int] = None,
        fill_value: Optional[float] = None,
        metadata: Optional[quarnel_tools.Metadata] = None,
    ) -> bytes:
        """Compress a contiguous 1-D float32 or float64 array. With the
        trailer, samples equal to `fill_value` are masked; without it the
        fill value and the metadata are not kept."""
        if not self.trailer:
            fill_value = metadata = None
        if self.target is None:
            return quarnel_tools.compress(
                samples,
                self.options(),
                threads=threads,
                trailer=self.trailer,
                fill_value=fill_value,
                metadata=metadata,
                deflate_level=self.deflate_level,
            )
        # The bound in its target's place.
        max_error, rel_error, psnr = (self.bound if name == self.target else None for name in TARGETS)
        return quarnel_tools.compress(
            samples,
            threads=threads,
            max_error=max_error,
            rel_error=rel_error,
            psnr=psnr,
            method=self.method,
            coder=self.coder,
            trailer=self.trailer,
            fill_value=fill_value,
            metadata=metadata,
            corrections=self.corrections,
            deflate_level=self.deflate_level,
        )

    def describe(self) -> str:
        return ", ".join(f"{k}={v}" for k, v in self.config().items())


class Configured:
    """The settings as keyword parameters, named once for every door that
    takes them (the codecs, the HDF5 filter's keywords), so that ``help()``
    and editors show them; ``settings`` holds them checked. The fixed options
    ``method``, ``scale``, ``cutoff``, ``coder``, or one target
    ``max_error``, ``rel_error`` or ``psnr`` with an optional ``method`` and
    ``coder``; ``trailer``, ``corrections`` and ``deflate_level`` with
    either."""

    settings: Settings

    def __init__(
        self,
        method: Optional[Method] = None,
        scale: Optional[int] = None,
        cutoff: Optional[Cutoff] = None,
        coder: Optional[Coder] = None,
        *,
        max_error: Optional[float] = None,
        rel_error: Optional[float] = None,
        psnr: Optional[float] = None,
        trailer: bool = True,
        corrections: bool = True,
        deflate_level: Optional[int] = None,
    ) -> None:
        for name, flag in (("trailer", trailer), ("corrections", corrections)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
        level = None if deflate_level is None else _deflate_level(deflate_level)
        given = target(max_error, rel_error, psnr)
        if given is not None:
            kind, bound = given
            bounded_choices(method, coder)
            fixed = [name for name, v in (("scale", scale), ("cutoff", cutoff)) if v is not None]
            if fixed:
                raise ValueError(f"{' and '.join(fixed)} cannot be combined with the error target {TARGETS[kind]}")
            settings = Settings(
                method=method,
                coder=coder,
                target=TARGETS[kind],
                bound=bound,
                trailer=trailer,
                corrections=corrections,
                deflate_level=level,
            )
        else:
            settings = Settings(
                method=DEFAULT_METHOD if method is None else method,
                scale=DEFAULT_SCALE if scale is None else scale,
                cutoff=DEFAULT_CUTOFF if cutoff is None else cutoff,
                coder=DEFAULT_CODER if coder is None else coder,
                trailer=trailer,
                deflate_level=level,
            )
            try:
                settings.options()  # the module's own checks and messages
            except OverflowError as e:
                # A scale outside a byte: the module's words, as the
                # ValueError every other wrong option gives.
                raise ValueError(str(e)) from None
        object.__setattr__(self, "settings", settings)  # frozen dataclasses too
        self._configured()

    def _configured(self) -> None:
        """What a door checks or derives from its settings, once they are set."""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        # A door that takes these parameters as they are names itself, not
        # this class, in the message of a keyword it does not know.
        super().__init_subclass__(**kwargs)
        if "__init__" in vars(cls):
            return
        init = Configured.__init__
        code = init.__code__
        if sys.version_info >= (3, 11):
            code = code.replace(co_qualname=f"{cls.__qualname__}.__init__")
        own = types.FunctionType(code, init.__globals__, "__init__", init.__defaults__, init.__closure__)
        own.__kwdefaults__, own.__annotations__ = init.__kwdefaults__, init.__annotations__
        own.__qualname__, own.__doc__ = f"{cls.__qualname__}.__init__", init.__doc__
        cls.__init__ = own  # type: ignore[method-assign]
