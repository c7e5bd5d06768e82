"""The manual page and the shell completion, both generated from the parser,
so that they never fall behind it. Their generators are the optional extra
[shell]: an install without it stays without them."""

from __future__ import annotations

import argparse
from typing import Iterator

from quarnel_tools.cli.failure import Failure

# Arguments that name files or directories: completed as paths.
PATHS = ("input", "output", "plot")


def _actions(parser: argparse.ArgumentParser) -> Iterator[argparse.Action]:
    for action in parser._actions:
        yield action
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from _actions(sub)


def completion(parser: argparse.ArgumentParser, shell: str) -> str:
    """The completion script for ``shell`` ("bash" or "zsh")."""
    try:
        import shtab
    except ImportError:
        raise Failure(None, "completion needs shtab (pip install shtab)") from None
    for action in _actions(parser):
        if action.dest in PATHS:
            action.complete = shtab.FILE  # type: ignore[attr-defined]
    return str(shtab.complete(parser, shell=shell))


def manpage(parser: argparse.ArgumentParser, version: str) -> str:
    """The manual page, in roff."""
    try:
        from argparse_manpage.manpage import Manpage  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise Failure(None, "the manual page needs argparse-manpage (pip install argparse-manpage)") from None
    page = Manpage(
        parser,
        _data={"project_name": "quarnel", "version": version, "manual_title": "quarnel manual",
               "description": "lossy wavelet compression of 1-D signals"},
    )
    page.add_section(
        "exit status", ">",
        "0 on success; 2 on bad input or usage, with one line on standard error, \\fBquarnel: FILE: reason\\fR; "
        "130 on an interrupt; 141 when the reader of standard output has gone.",
    )
    return str(page)
