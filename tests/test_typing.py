import ast
import inspect
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import corvane
from conftest import IS_PYPY, bits, needs_host, same_values

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


def text_signature_parameters(callable_):
    text = callable_.__text_signature__
    assert text, f"{callable_!r} has no text signature"
    scope = {}
    exec(f"def probe{text}: pass", scope)
    return list(inspect.signature(scope["probe"]).parameters)


def test_stub_names_the_public_face():
    public = {name for name in vars(corvane.CorvaneDict) if not name.startswith("__")}
    methods = stub_methods()
    assert set(methods) - {"__new__"} == public
    assert methods["to_dict"][2], "to_dict is a read-only property"
    assert not any(is_property for name, (_, _, is_property) in methods.items() if name != "to_dict")
    assert methods["__new__"][0] == ["dict"]
    # From the class's own text signature: how inspect reads one for a class
    # differs between hosts (PyPy 7.3.19 and 8.0.1 look at __init__ and __new__
    # first), the signature the module gives does not.
    assert text_signature_parameters(corvane.CorvaneDict) == ["dict"]


@needs_host("method_text_signatures")
def test_stub_parameters_match_the_text_signatures():
    for name, (names, defaults, is_property) in stub_methods().items():
        if name == "__new__" or is_property:
            continue
        parameters = list(inspect.signature(getattr(corvane.CorvaneDict, name)).parameters.values())[1:]
        assert [p.name for p in parameters] == names, name
        actual_defaults = [repr(p.default) for p in parameters if p.default is not inspect.Parameter.empty]
        assert actual_defaults == defaults, name


def test_stub_parameters_and_defaults_are_the_ones_the_methods_apply():
    # Every host, docstrings shown or not: each call by the stub's keywords is
    # accepted, and leaving the defaulted ones out gives what passing the
    # stub's defaults gives. Key "a" is missing from `other`, so its value
    # shows the `fill` applied; another fill must change it.
    receiver = corvane.CorvaneDict({"a": 3.0, "b": 5.0})
    arguments = {"other": corvane.CorvaneDict({"b": 2.0}), "value": 7.0}
    for name, (names, defaults, is_property) in stub_methods().items():
        if name == "__new__" or is_property:
            continue
        method = getattr(receiver, name)
        required = {n: arguments[n] for n in names[:len(names) - len(defaults)]}
        stated = {n: ast.literal_eval(d) for n, d in zip(names[len(names) - len(defaults):], defaults)}
        applied = method(**required)
        by_stub = method(**required, **stated)
        if isinstance(applied, float):
            assert bits(applied) == bits(by_stub), name
            continue
        same_values(applied.to_dict, by_stub.to_dict)
        if stated:
            other_fill = method(**required, **{n: d + 1.0 for n, d in stated.items()})
            assert bits(other_fill.to_dict["a"]) != bits(applied.to_dict["a"]), name


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


# What the module accepts and the stub must too: numbers by __float__ or
# __index__, and dicts whose declared value type is any such number.
GOOD_NUMBERS = """
    import collections
    from decimal import Decimal
    from fractions import Fraction

    import corvane

    counts: collections.Counter[str] = collections.Counter("abracadabra")
    ints: dict[str, int] = {"a": 1}
    flags: dict[str, bool] = {"a": True}
    from_counts = corvane.CorvaneDict(counts)
    from_ints = corvane.CorvaneDict(ints)
    from_flags = corvane.CorvaneDict(flags)
    from_decimals = corvane.CorvaneDict({"a": Decimal("1.5"), "b": Decimal(2)})
    from_fractions = corvane.CorvaneDict({"a": Fraction(1, 3)})
    d = from_ints.add(from_counts, fill=Fraction(1, 2)).multiply(from_flags, fill=Decimal("2"))
    e = d.add_scalar(Decimal(1)).subtract_scalar(True).divide_scalar(Fraction(1, 3)).reset(Decimal("0.5"))
    f = e.divide(from_decimals, fill=2).subtract(from_fractions, fill=Fraction(3)).multiply_scalar(2)
"""

# An object with __index__ alone.
GOOD_INDEX = """
    import corvane


    class Indexed:
        def __index__(self) -> int:
            return 3


    d = corvane.CorvaneDict({"a": Indexed()})
    e = d.add_scalar(Indexed()).subtract(d, fill=Indexed())
"""

GOOD_NUMPY = """
    import numpy as np

    import corvane

    d = corvane.CorvaneDict({"a": np.float32(1.5), "b": np.float32(2.0)})
    e = d.add(d, fill=np.float32(0.5)).multiply_scalar(np.float32(3)).reset(value=np.int64(2))
    f = e.divide_scalar(np.float64(4.0))
"""

# Misuse the stub must still report, one error per line from line 5 on.
BAD_NUMBERS = """
    import types
    import corvane
    d = corvane.CorvaneDict({"a": 1.0})
    corvane.CorvaneDict({1: 2.0})
    corvane.CorvaneDict(types.MappingProxyType({"a": 1.0}))
    corvane.CorvaneDict({"a": "1"})
    corvane.CorvaneDict({"a": None})
    d.add_scalar(None)
    d.reset("1")
    d.add(d, fill=None)
    d.divide(d, fill=b"1")
"""
BAD_NUMBERS_LINES = set(range(5, 13))


def checked_files(tmp_path):
    """Writes the snippets; numpy's only where numpy (and its stubs) can be imported."""
    files = {"good_numbers.py": GOOD_NUMBERS, "good_index.py": GOOD_INDEX, "bad_numbers.py": BAD_NUMBERS}
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    else:
        files["good_numpy.py"] = GOOD_NUMPY
    for name, text in files.items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    return sorted(files)


@pytest.mark.skipif(IS_PYPY, reason="the stub is type-checked with mypy on CPython")
def test_mypy_accepts_every_number_the_module_takes(tmp_path):
    files = checked_files(tmp_path)
    env = dict(os.environ)
    if installed_stub() is None:
        env["MYPYPATH"] = str(REPO_STUB.parent)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *files],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=False,
    )
    lines = run.stdout.splitlines()
    assert not [line for line in lines if line.startswith("good_")], run.stdout
    flagged = {int(line.split(":")[1]) for line in lines if line.startswith("bad_numbers.py:") and ": error:" in line}
    assert flagged == BAD_NUMBERS_LINES, run.stdout


def basedpyright():
    """basedpyright from the test environment, or from the project's tools venv."""
    beside = pathlib.Path(sys.executable).with_name("basedpyright")
    tools = pathlib.Path(__file__).resolve().parent.parent / ".venv" / "tools" / "bin" / "basedpyright"
    for candidate in (beside, tools):
        # The tools venv belongs to this machine's CPython; from inside another
        # system (a host tree) its launcher exists but cannot run.
        if candidate.exists() and subprocess.run([str(candidate), "--version"], capture_output=True).returncode == 0:
            return candidate
    return None


@pytest.mark.skipif(IS_PYPY, reason="the stub is type-checked with basedpyright on CPython")
def test_basedpyright_accepts_correct_use_and_reports_misuse(tmp_path):
    checker = basedpyright()
    if checker is None:
        pytest.skip("basedpyright is not installed (make's tools venv has it)")
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    files = ["good.py", "bad.py", *checked_files(tmp_path)]
    config = {"typeCheckingMode": "strict", "pythonVersion": "%d.%d" % sys.version_info[:2]}
    if installed_stub() is None:
        config["extraPaths"] = [str(REPO_STUB.parent)]  # installed, it must find the stub on its own
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    run = subprocess.run(
        [str(checker), "--pythonpath", sys.executable, "--outputjson", *files],
        cwd=tmp_path, capture_output=True, text=True, check=False,
    )
    report = json.loads(run.stdout)
    errors = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            name = pathlib.Path(diagnostic["file"]).name
            errors.setdefault(name, set()).add(diagnostic["range"]["start"]["line"] + 1)
    assert not {name: lines for name, lines in errors.items() if name.startswith("good")}, run.stdout
    assert errors.get("bad.py") == {5, 6, 7, 8, 9, 10}, run.stdout
    assert errors.get("bad_numbers.py") == BAD_NUMBERS_LINES, run.stdout


def test_typed_cases_match_what_the_module_does():
    """The stub's verdicts hold at run time: the accepted snippets run, every
    line the checkers must flag raises TypeError."""
    snippets = [GOOD_NUMBERS]
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    else:
        snippets.append(GOOD_NUMPY)
    for snippet in snippets:
        exec(compile(textwrap.dedent(snippet), "<typed case>", "exec"), {})
    lines = textwrap.dedent(BAD_NUMBERS).splitlines()
    prelude = "\n".join(lines[: min(BAD_NUMBERS_LINES) - 1])
    for number in sorted(BAD_NUMBERS_LINES):
        namespace = {}
        exec(prelude, namespace)
        with pytest.raises(TypeError):
            exec(lines[number - 1], namespace)


@needs_host("conversion_takes_index")
def test_index_only_numbers_are_taken():
    exec(compile(textwrap.dedent(GOOD_INDEX), "<typed case>", "exec"), {})
