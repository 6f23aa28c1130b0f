"""The README as a new user follows it: every command it shows for the
examples, the simulator and the scanner is one their parsers take, every
Python block compiles, and every link to a section finds its heading."""
import importlib
import re
import shlex
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
PROGRAMS = ("python3 examples/", "rotalink-sim ", "rotalink-scan ", "rotalink-setup ")


def commands():
    """(program, arguments) of every command line the README shows."""
    out = []
    for line in README.splitlines():
        line = line.strip().lstrip("$ ")
        if line.startswith(PROGRAMS):
            words = shlex.split(line.split(" #")[0].replace("\\", ""))
            program = words[1] if words[0] == "python3" else words[0]
            out.append(pytest.param(program, words[2:] if words[0] == "python3" else words[1:], id=line))
    return out


def parse(program, args):
    if program.startswith("examples/"):
        name = Path(program).stem
        if name == "values":
            assert args == []
            return
        if "--plot" in args:
            pytest.importorskip("matplotlib")  # the option checks for it at once
        sys.path.insert(0, str(ROOT / "examples"))
        try:
            importlib.import_module(name).parse_args(args)
        finally:
            sys.path.remove(str(ROOT / "examples"))
    elif program == "rotalink-sim":
        pytest.importorskip("rotalink_sim.cli").parse_args(args)
    elif program == "rotalink-setup":
        pytest.importorskip("rotalink_scan.setup_tool").build_parser().parse_intermixed_args(args)
    else:
        pytest.importorskip("rotalink_scan.cli").build_parser().parse_args(args)


@pytest.mark.parametrize("program, args", commands())
def test_every_command_shown_is_accepted(program, args, monkeypatch):
    monkeypatch.chdir(ROOT)
    parse(program, args)  # a refused command exits (SystemExit 2)


def test_commands_cover_every_program():
    shown = {c.values[0] for c in commands()}
    assert {"rotalink-sim", "rotalink-scan", "rotalink-setup"} <= shown
    assert {f"examples/{p.name}" for p in (ROOT / "examples").glob("[!_]*.py")} <= shown


def test_python_blocks_compile_and_links_find_their_sections():
    blocks = re.findall(r"```python\n(.*?)```", README, re.S)
    assert len(blocks) >= 4
    for block in blocks:
        compile(block, "README.md", "exec")
    slugs = {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
             for h in re.findall(r"^#+ (.*)$", README, re.M)}
    links = set(re.findall(r"\]\(#([^)]+)\)", README))
    assert links and links <= slugs, links - slugs
