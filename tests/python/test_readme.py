"""The ```python, ```sh and ```console snippets of README.md and of every
docs/*.md run as written, file by file: each file's snippets in order, in an
empty directory of its own, the Python ones in one namespace, as if pasted
into one session, the shell ones with bash and the installed command line.
Snippets that build or install the project carry the skip marker."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

for module in ("zarr", "numcodecs", "soundfile", "tqdm", "matplotlib", "distributed", "h5py", "h5netcdf"):
    pytest.importorskip(module)

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SKIP = "<!-- test_readme: skip, builds or installs -->"


def snippets(page):
    """(line, language, code) of every snippet of the page to run, in order."""
    lines = page.read_text().splitlines()
    found = []
    start = 0
    while start < len(lines):
        fence = re.fullmatch(r"```(\w+)", lines[start])
        if fence is None:
            start += 1
            continue
        end = lines.index("```", start + 1)
        if fence[1] in ("python", "sh", "console") and lines[start - 1] != SKIP:
            code = lines[start + 1 : end]
            if fence[1] == "console":
                code = [line[2:] for line in code if line.startswith("$ ")]
            found.append((start + 1, fence[1], "\n".join(code) + "\n"))
        start = end + 1
    return found


def test_every_kind_of_snippet_is_found():
    assert {language for page in PAGES for _, language, _ in snippets(page)} == {"python", "sh", "console"}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_snippets_run_as_written(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    env = {**os.environ, "PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]}
    namespace = {"__name__": "__main__"}
    name = page.relative_to(ROOT)
    for line, language, code in snippets(page):
        if language == "python":
            exec(compile(code, f"{name}:{line}", "exec"), namespace)
        else:
            done = subprocess.run(["bash", "-euo", "pipefail", "-c", code], env=env, capture_output=True, text=True)
            assert done.returncode == 0, f"{name}:{line}: {done.stderr}"
