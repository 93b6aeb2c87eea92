import ast
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import corvane
from conftest import IS_PYPY

REPO_STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "corvane.pyi"


def installed_stub():
    """The stub installed beside the module, if the module under test is an installed one."""
    beside = pathlib.Path(corvane.__file__).with_name("corvane.pyi")
    return beside if beside.exists() else None


def stub_class():
    tree = ast.parse((installed_stub() or REPO_STUB).read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    return cls


def stub_methods():
    """name -> (parameter names after self, defaults as source text, is a property)."""
    methods = {}
    for node in stub_class().body:
        if isinstance(node, ast.FunctionDef):
            names = [a.arg for a in node.args.args[1:]]
            defaults = [ast.unparse(d) for d in node.args.defaults]
            is_property = any(ast.unparse(d) == "property" for d in node.decorator_list)
            methods[node.name] = (names, defaults, is_property)
    return methods


def test_installed_stubs_are_the_repository_stub():
    stub = installed_stub()
    if stub is None:
        pytest.skip("the module under test is the build tree's, not an installed one")
    assert stub.read_text() == REPO_STUB.read_text()
    assert (stub.parent / "corvane-stubs" / "__init__.pyi").read_text() == REPO_STUB.read_text()


def test_stub_names_the_public_face():
    public = {name for name in vars(corvane.CorvaneDict) if not name.startswith("__")}
    methods = stub_methods()
    assert set(methods) - {"__new__"} == public
    assert methods["to_dict"][2], "to_dict is a read-only property"
    assert not any(is_property for name, (_, _, is_property) in methods.items() if name != "to_dict")
    assert methods["__new__"][0] == ["dict"]
    assert inspect.signature(corvane.CorvaneDict) == inspect.Signature(
        [inspect.Parameter("dict", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    )


@pytest.mark.skipif(IS_PYPY, reason="PyPy 7.3.11 exposes no method text signatures of a type built from a spec")
def test_stub_parameters_match_the_text_signatures():
    for name, (names, defaults, is_property) in stub_methods().items():
        if name == "__new__" or is_property:
            continue
        parameters = list(inspect.signature(getattr(corvane.CorvaneDict, name)).parameters.values())[1:]
        assert [p.name for p in parameters] == names, name
        actual_defaults = [repr(p.default) for p in parameters if p.default is not inspect.Parameter.empty]
        assert actual_defaults == defaults, name


GOOD = """
    import corvane

    d = corvane.CorvaneDict({"a": 1.0, "b": 2})
    e: corvane.CorvaneDict = d.add(d, fill=5.0).divide(d).multiply_scalar(3).reset(value=1.0)
    total: float = e.sum() + e.product()
    exported: dict[str, float] = e.to_dict
"""

BAD = """
    import corvane

    d = corvane.CorvaneDict({"a": 1.0})
    d.add({"a": 1.0})
    d.multiply(d, fill="2")
    d.to_dict = {}
    d.sum(1)
    corvane.CorvaneDict(["a"])
    class Sub(corvane.CorvaneDict): ...
"""


@pytest.mark.skipif(IS_PYPY, reason="the stub is type-checked with mypy on CPython")
def test_mypy_accepts_correct_use_and_reports_misuse(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    env = dict(os.environ)
    if installed_stub() is None:
        env["MYPYPATH"] = str(REPO_STUB.parent)  # installed, mypy must find the stub on its own
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "good.py", "bad.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=False,
    )
    lines = run.stdout.splitlines()
    assert not [line for line in lines if line.startswith("good.py")], run.stdout
    flagged = {int(line.split(":")[1]) for line in lines if line.startswith("bad.py:") and ": error:" in line}
    assert flagged == {5, 6, 7, 8, 9, 10}, run.stdout
