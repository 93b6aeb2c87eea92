"""Which way a dict crossed the host boundary, as the bulk crossing's test
hooks of a build with fault injection tell it: plain dicts from the smallest
bulk size up cross in bulk both ways, everything else entry by entry, and a
host whose built-ins fail their check walks every dict with the same results
and errors. A normal build exports no hooks, and these tests are skipped there."""
import contextlib

import pytest

from corvane import CorvaneDict
from conftest import bulk_crossing_hooks, needs_host, same_values

HOOKS = bulk_crossing_hooks()
pytestmark = pytest.mark.skipif(HOOKS is None, reason="a build without fault injection exports no hooks")


class Plain(dict):
    """Walked entry by entry: a subclass is never served in bulk."""


def crossings():
    return HOOKS["bulk_crossings"]()


def plain(size, **extra):
    source = {f"key{i}": i * 0.25 for i in range(size)}
    source.update(extra)
    return source


@contextlib.contextmanager
def builtins_withheld():
    """The crossing acts as on a host whose built-ins failed their check."""
    HOOKS["withhold_builtins"](1)
    try:
        yield
    finally:
        HOOKS["withhold_builtins"](0)


def outcome(source):
    """The result's contents, or the exception's type and text."""
    try:
        return "built", CorvaneDict(source).to_dict
    except Exception as error:  # noqa: BLE001 - the exception is what is compared
        return type(error), str(error)


@needs_host("bulk_crossing")
def test_plain_dicts_from_the_smallest_bulk_size_cross_in_bulk():
    construction = HOOKS["smallest_bulk_construction"]()
    export = HOOKS["smallest_bulk_export"]()
    assert 2 <= construction <= export
    cases = [  # the dict, how many crossings it makes, whether it builds
        (plain(construction - 1), 0, True),
        (plain(construction), 1, True),  # built in bulk, exported entry by entry
        (plain(export - 1), 1, True),
        (plain(export), 2, True),
        (Plain(plain(export)), 1, True),  # walked, then exported in bulk
        (plain(export, odd=None), 0, False),  # refused: the walk raises
        (plain(export, big=2 ** 1024), 0, False),
        (plain(export, **{"a\ud800": 1.0}), 0, False),
        (plain(export, **{"nul\0key": 1.0, "int": 3, "bool": True}), 2, True),
    ]
    for source, expected, builds in cases:
        before = crossings()
        status = outcome(source)[0]
        assert crossings() - before == expected, (len(source), status)
        assert (status == "built") == builds, (len(source), status)


def test_without_usable_builtins_every_dict_is_walked_with_the_same_outcome():
    crosses = max(HOOKS["smallest_bulk_construction"](), HOOKS["smallest_bulk_export"](), 2)
    sources = [
        plain(crosses), plain(crosses * 30), plain(crosses, **{"nul\0key": 1.0, "é": 2.0}),
        plain(crosses, odd=None), {7: 1.0, **plain(crosses)}, plain(crosses, big=2 ** 1024),
        plain(crosses, **{"a\ud800": 1.0}), plain(crosses, int=2 ** 53 + 1, bool=False),
    ]
    usable = HOOKS["bulk_crossing_usable"]()
    expected = [outcome(source) for source in sources]
    with builtins_withheld():
        assert HOOKS["bulk_crossing_usable"]() == 0
        before = crossings()
        walked = [outcome(source) for source in sources]
        assert crossings() == before
    for (status, made), (walked_status, walked_made) in zip(expected, walked):
        if status == "built" and walked_status == "built":
            same_values(made, walked_made)
        else:
            assert (status, made) == (walked_status, walked_made)
    assert HOOKS["bulk_crossing_usable"]() == usable
