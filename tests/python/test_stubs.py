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
import types
from pathlib import Path

import pytest

import rotalink

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
            else:
                assert kind == set() and callable(value), f"{name}.{member}"
        # A constructor exactly where the class has one.
        has_new = any(isinstance(i, ast.FunctionDef) and i.name == "__new__" for i in node.body)
        assert has_new == (runtime.__text_signature__ is not None), name


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
