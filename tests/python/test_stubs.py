"""The installed type stub matches the installed module.

The stub is installed as rotalink.pyi beside the extension and as
rotalink-stubs/__init__.pyi (where mypy looks). The name checks need only the
standard library; stubtest (signatures, defaults, finality) and the strict
type check of examples/ run where mypy is installed.
"""
import ast
import enum
import importlib.util
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import rotalink
from rotalink_scan import report
from rotalink_sim.model import CONTROL_MODES, SPECIAL_COMMANDS

REPO = Path(__file__).resolve().parents[2]
SITE = Path(rotalink.__file__).parent
STUB = SITE / "rotalink.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(), str(STUB))


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def test_the_stub_is_installed_in_both_places_from_the_source():
    text = (REPO / "src" / "rotalink.pyi").read_text()
    assert STUB.read_text() == text
    assert (SITE / "rotalink-stubs" / "__init__.pyi").read_text() == text


def test_stub_names_match_the_module():
    tree = stub_tree()
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assert ast.literal_eval(node.value) == rotalink.__all__
    assert set(names) == set(rotalink.__all__)

    for name, node in names.items():
        runtime = getattr(rotalink, name)
        if not isinstance(node, ast.ClassDef):
            continue
        if issubclass(runtime, BaseException):
            # An exception: its attributes are set on the raised instance.
            annotated = {i.target.id for i in node.body if isinstance(i, ast.AnnAssign)}
            assert annotated == {"states", "errors"}, name
            assert {k for k in vars(runtime) if not k.startswith("_")} == set(), name
            continue
        if issubclass(runtime, enum.Enum):
            # An enum: the same members with the same values, and its properties.
            values = {i.targets[0].id: ast.literal_eval(i.value) for i in node.body if isinstance(i, ast.Assign)}
            assert values == {m.name: m.value for m in runtime}, name
            props = {i.name for i in node.body if isinstance(i, ast.FunctionDef) and decorators(i) == {"property"}}
            assert props == {k for k, v in vars(runtime).items() if isinstance(v, property)}, name
            continue
        assert decorators(node) == {"final"}, name
        members = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
                members[item.name] = decorators(item)
        public = {k: v for k, v in vars(runtime).items() if not k.startswith("_")}
        assert set(members) == set(public), name
        for member, kind in members.items():
            value = public[member]
            if isinstance(value, types.GetSetDescriptorType):
                assert kind == {"property"}, f"{name}.{member}"
            elif isinstance(value, staticmethod):
                assert kind == {"staticmethod"}, f"{name}.{member}"
            elif type(value).__name__ == "classmethod_descriptor":
                assert kind == {"classmethod"}, f"{name}.{member}"
            else:
                assert kind == set() and callable(value), f"{name}.{member}"
        # A constructor exactly where the class has one.
        has_new = any(isinstance(i, ast.FunctionDef) and i.name == "__new__" for i in node.body)
        assert has_new == (runtime.__text_signature__ is not None), name


def stub_docs(cls):
    """{member: its docstring on one line} of the class `cls` of the stub; an
    attribute's docstring is the string statement right after it."""
    node = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == cls)
    docs = {}
    for i, item in enumerate(node.body):
        if isinstance(item, ast.FunctionDef):
            docs[item.name] = " ".join((ast.get_docstring(item) or "").split())
        elif isinstance(item, ast.Assign) and i + 1 < len(node.body):
            after = node.body[i + 1]
            if isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
                docs[item.targets[0].id] = " ".join(after.value.value.split())
    return docs


def test_special_commands_agree_in_the_stub_the_docs_and_the_simulator():
    # The simulator keeps its own table (it runs without the module); the
    # bus tests check the module's frames against it.
    assert {name: "%02X" % byte for name, byte in SPECIAL_COMMANDS.items()} == {
        "enable": "FC", "disable": "FD", "set_zero": "FE", "clear_error": "FB"}
    api = (REPO / "docs" / "API.md").read_text(encoding="utf-8")
    for cls, text_signature in (("Damiao", "($self, bus)"), ("MotorGroup", "($self)")):
        docs = stub_docs(cls)
        for name, byte in SPECIAL_COMMANDS.items():
            frame = "FF FF FF FF FF FF FF %02X" % byte
            assert frame in docs[name], f"{cls}.{name}"
            assert getattr(getattr(rotalink, cls), name).__text_signature__ == text_signature
            assert f"| `{name}` | `{text_signature}` | `{frame}` |" in api, f"{cls}.{name}"


def test_control_modes_agree_in_the_module_the_stub_and_the_simulator():
    names = {number: name.upper() for name, number in CONTROL_MODES.items()}
    assert names == {1: "MIT", 2: "POS_VEL", 3: "VEL", 4: "FORCE_POS"}
    assert report.MODES == names
    listed = ", ".join(f"{n} {name}" for n, name in names.items())
    assert stub_docs("Register")["CTRL_MODE"].endswith(f"the control mode, {listed}.")
    ensure = rotalink.Damiao.ensure_mit_mode.__doc__
    mit = CONTROL_MODES["mit"]
    assert f"{names[mit]} control mode (register {int(rotalink.Register.CTRL_MODE)} = {mit})" in ensure
    assert "/".join(name for n, name in names.items() if n != mit) in ensure


needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed")


def run_mypy_tool(cwd, *args):
    r = subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


@needs_mypy
def test_stubtest_finds_no_difference(tmp_path):
    run_mypy_tool(tmp_path, "mypy.stubtest", "rotalink")


@needs_mypy
def test_the_examples_type_check_strictly():
    run_mypy_tool(REPO, "mypy", "--strict", "--cache-dir", "/dev/null", str(REPO / "examples"))


def undocumented(body, public):
    """The public names among the statements `body` (and, for classes, in
    their bodies) that have no docstring; an attribute's docstring is the
    string statement right after it."""
    missing = []
    for i, node in enumerate(body):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            if not public(node.name):
                continue
            if ast.get_docstring(node) is None:
                missing.append(node.name)
            if isinstance(node, ast.ClassDef):
                inner = undocumented(node.body, lambda n: not n.startswith("_"))
                missing += [f"{node.name}.{n}" for n in inner]
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            name = (node.targets[0] if isinstance(node, ast.Assign) else node.target).id
            after = body[i + 1] if i + 1 < len(body) else None
            if public(name) and not (isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant)
                                     and isinstance(after.value.value, str)):
                missing.append(name)
    return missing


def test_every_public_name_of_the_stub_has_a_docstring():
    tree = stub_tree()
    assert ast.get_docstring(tree)
    assert undocumented(tree.body, lambda n: n in rotalink.__all__) == []


# Arguments of the number types the module converts (its float parameters
# take __float__ or __index__, its integer parameters __index__ only). The
# snippet is type-checked and run: every call it makes must pass both, and
# each call marked `type: ignore` must be refused by both (strict mode
# reports an ignore that is not needed).
NUMBERS = """
    from typing import Callable

    import rotalink

    class Real:
        def __float__(self) -> float:
            return 0.25

    class Index:
        def __index__(self) -> int:
            return 3

    def refused(call: Callable[[], object]) -> None:
        try:
            call()
        except TypeError:
            return
        raise AssertionError("accepted")

    sp = rotalink.MitSetpoint(q=Real(), dq=Index(), kp=2, kd=True, tau=0.5)
    rotalink.mit_setpoint(Real(), Index())
    limits = rotalink.MitLimits(p_max=Real(), t_max=Index())
    motor = rotalink.Damiao(Index(), True, limits, timeout_ms=Index())
    q: float = sp.q
    p_max: float = limits.p_max
    motor_id: int = motor.motor_id
    assert (q, sp.dq, p_max, motor_id) == (0.25, 3.0, 0.25, 3)
    refused(lambda: rotalink.Damiao(Real(), 1))  # type: ignore[arg-type]
    refused(lambda: rotalink.Damiao(1, 2, timeout_ms=2.0))  # type: ignore[arg-type]
    refused(lambda: rotalink.MitSetpoint(q="1"))  # type: ignore[arg-type]
"""
NUMPY = """
    import numpy as np

    sp = rotalink.MitSetpoint(np.float32(0.25), np.float64(0.5), np.int64(2))
    motor = rotalink.Damiao(np.uint16(1), np.int64(0x11), timeout_ms=np.int32(5))
    assert (sp.q, sp.kp, motor.master_id) == (0.25, 2.0, 0x11)
    refused(lambda: rotalink.Damiao(np.float32(1), 2))  # type: ignore[arg-type]
"""


@needs_mypy
def test_number_protocol_arguments_type_check_and_run(tmp_path):
    snippet = textwrap.dedent(NUMBERS)
    if importlib.util.find_spec("numpy") is not None:
        snippet += textwrap.dedent(NUMPY)
    (tmp_path / "numbers_snippet.py").write_text(snippet)
    run_mypy_tool(tmp_path, "mypy", "--strict", "--cache-dir", "/dev/null", "numbers_snippet.py")
    r = subprocess.run([sys.executable, "numbers_snippet.py"], cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
