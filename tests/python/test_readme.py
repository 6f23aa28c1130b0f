"""The README and docs/reference.md as a new user follows them: every
command they show for the examples, the simulator and the tools is one their
parsers take, every Python block compiles, every link to a section (in the
same file or in another document) finds its heading, and the reference's
tables agree with the module."""
import importlib
import re
import shlex
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
REFERENCE = (ROOT / "docs" / "reference.md").read_text(encoding="utf-8")
PROGRAMS = ("python3 examples/", "rotalink-sim ", "rotalink-scan ", "rotalink-setup ", "rotalink-stop ",
            "rotalink-plot ")


def commands():
    """(program, arguments) of every command line the README and the reference show."""
    out = []
    for line in (README + "\n" + REFERENCE).splitlines():
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
        if name == "robot":
            pytest.importorskip("numpy")
        sys.path.insert(0, str(ROOT / "examples"))
        try:
            importlib.import_module(name).parse_args(args)
        finally:
            sys.path.remove(str(ROOT / "examples"))
    elif program == "rotalink-sim":
        pytest.importorskip("rotalink_sim.cli").parse_args(args)
    elif program == "rotalink-setup":
        pytest.importorskip("rotalink_scan.setup_tool").build_parser().parse_intermixed_args(args)
    elif program == "rotalink-stop":
        pytest.importorskip("rotalink_scan.stop").build_parser().parse_args(args)
    elif program == "rotalink-plot":
        pytest.importorskip("rotalink_scan.plot").build_parser().parse_args(args)
    else:
        pytest.importorskip("rotalink_scan.cli").build_parser().parse_args(args)


@pytest.mark.parametrize("program, args", commands())
def test_every_command_shown_is_accepted(program, args, monkeypatch):
    monkeypatch.chdir(ROOT)
    parse(program, args)  # a refused command exits (SystemExit 2)


def test_commands_cover_every_program():
    shown = {c.values[0] for c in commands()}
    assert {"rotalink-sim", "rotalink-scan", "rotalink-setup", "rotalink-stop", "rotalink-plot"} <= shown
    assert {f"examples/{p.name}" for p in (ROOT / "examples").glob("[!_]*.py")} <= shown


def slugs(path):
    """The anchors of a Markdown file's headings, as GitHub makes them."""
    text = path.read_text(encoding="utf-8")
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, re.M)}


@pytest.mark.parametrize("doc", ["README.md", "docs/reference.md"])
def test_python_blocks_compile_and_links_find_their_sections(doc):
    path = ROOT / doc
    text = path.read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= (4 if doc == "README.md" else 2)
    for block in blocks:
        compile(block, doc, "exec")
    links = re.findall(r"\]\(([^)\s]*)\)", text)
    assert links
    for link in links:
        if link.startswith(("http://", "https://")):
            continue
        target, _, anchor = link.partition("#")
        file = (path.parent / target).resolve() if target else path
        assert file.is_file(), f"{doc}: {link} names no file"
        if anchor:
            assert anchor in slugs(file), f"{doc}: {link} finds no heading"


def test_the_bit_rate_table_is_the_modules():
    rotalink = pytest.importorskip("rotalink")
    if not hasattr(rotalink, "CAN_BIT_RATES"):
        pytest.skip("this build of rotalink has no CAN_BIT_RATES")
    rows = re.findall(r"^\| (\d) \| (\d+) \| (\d+|\(classic CAN\)) \| `ip link set IFACE up type can "
                      r"bitrate (\d+)(?: dbitrate (\d+) fd on)?` \|$", REFERENCE, re.M)
    table = {int(code): (int(rate), None if data.startswith("(") else int(data)) for code, rate, data, _, _ in rows}
    assert table == dict(rotalink.CAN_BIT_RATES)
    for code, rate, data, ip_rate, ip_data in rows:  # the ip link line says the same
        assert (ip_rate, ip_data) == (rate, "" if data.startswith("(") else data), code
