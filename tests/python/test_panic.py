"""A params dict changed by its own value's __float__ is an internal error, not a poison.

test_add.py covers the __index__ hook on add_source; this file covers the __float__
hook on every add method, repeated panics, what the store and a reducer can still
do afterwards, and panics racing ordinary adds on other threads.
"""

import re

import pytest

from brantel_core import GraphStore, IncrementalReducer, PanicException, PayloadDescriptor
from workload import run_threads

GROWN = "dictionary changed size during iteration"
KEYS = "dictionary keys changed during iteration"
DESCRIPTOR = PayloadDescriptor(kind="m", content_hash="h", framework="f", version="1", io_schema="a->b")


class FloatHook:
    """A float-like value whose conversion runs `change` on the dict holding it."""

    def __init__(self, change):
        self.change = change

    def __float__(self):
        self.change()
        return 0.5


def grow(d):
    d["zz"] = 1


def swap_visited_key(d):
    # Same size afterwards; the new key comes after the one being converted.
    del d["a"]
    d["c"] = 2


def hooked(mutate):
    params = {"a": 1}
    params["v"] = FloatHook(lambda: mutate(params))
    return params


ADDS = {
    "add_source": lambda s, p: s.add_source("x", p),
    "add_op": lambda s, p: s.add_op("f", [0], p),
    "add_reduction": lambda s, p: s.add_reduction("sum", [0], params=p),
    "add_external": lambda s, p: s.add_external(DESCRIPTOR, [0], p),
    "add_exchange": lambda s, p: s.add_exchange([0], p),
    "add_join": lambda s, p: s.add_join([0, 0], p),
}


def base():
    s = GraphStore()
    s.add_source("a")
    return s


def still_works(s, count):
    """Every kind of call on a store that saw panics: nothing is poisoned or half-added."""
    assert s.node_count() == count
    f = s.add_op("f", [count - 1], {"v": 0.5})
    assert f == count
    assert s.add_op("f", [count - 1], {"v": 0.5}) == f
    copy = GraphStore.deserialize(s.serialize(outputs=[f]))
    assert copy.nodes()[:count + 1] == [dict(n, output=n["id"] == f) for n in s.nodes()]
    reduced, report = s.reduce(outputs=[f], maximal_fusion=True)
    assert report["input_nodes"] == count + 1 and reduced.outputs()
    assert s.to_dot().count(" [label=") == count + 1
    r = IncrementalReducer()
    assert r.step(s) == count + 1
    assert r.finalize(s, outputs=[f])[1]["input_nodes"] == r.canonical_count()


@pytest.mark.parametrize("method", ADDS, ids=list(ADDS))
@pytest.mark.parametrize("mutate, message", [(grow, GROWN), (swap_visited_key, KEYS)], ids=["grow", "swap"])
def test_a_float_hook_that_changes_the_dict_panics(capfd, method, mutate, message):
    s = base()

    def swallow_ordinary_errors():
        try:
            ADDS[method](s, hooked(mutate))
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            return "caught"

    with pytest.raises(PanicException) as e:
        swallow_ordinary_errors()
    assert type(e.value).__mro__[1] is BaseException
    assert str(e.value) == message
    err = capfd.readouterr().err.splitlines()
    # One short line that names the error and the place it arose.
    assert len(err) == 1 and message in err[0] and re.search(r"\S+:\d+", err[0]), err
    still_works(s, 1)


def test_repeated_panics_report_each_time_and_never_poison(capfd):
    s = base()
    r = IncrementalReducer()
    for i in range(50):
        with pytest.raises(PanicException):
            ADDS["add_op" if i % 2 else "add_join"](s, hooked(grow))
        assert r.step(s) == (1 if i == 0 else 0)
    assert capfd.readouterr().err.count(GROWN) == 50
    assert r.total_work() == r.watermark() == 1
    still_works(s, 1)


def test_a_hook_that_only_changes_values_is_fine():
    s = base()
    params = {"a": 1, "b": 2}
    params["a"] = FloatHook(lambda: params.update(b=3))
    i = s.add_source("x", params)
    assert s.nodes()[i]["params"] == {"a": 0.5, "b": 3}


@pytest.mark.thread_unsafe
def test_panics_on_some_threads_leave_the_others_adds_intact(capfd):
    s = base()
    per_thread = 300

    def work(t):
        ids = []
        for j in range(per_thread):
            if t % 2:
                with pytest.raises(PanicException):
                    ADDS["add_op"](s, hooked(grow if j % 2 else swap_visited_key))
            else:
                ids.append(s.add_op(f"t{t}", [0], {"j": j}))
        return ids

    results = run_threads(4, work)
    added = [i for ids in results for i in ids]
    assert sorted(added) == list(range(1, 1 + 2 * per_thread))
    assert s.node_count() == 1 + 2 * per_thread
    err = capfd.readouterr().err
    assert err.count(GROWN) + err.count(KEYS) == 2 * per_thread
    still_works(s, s.node_count())
