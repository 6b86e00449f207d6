"""A params dict changed while it is converted raises the RuntimeError a dict iterator raises.

Covered: an __index__ or __float__ hook on every add method, repeated failures,
what the store and a reducer can still do afterwards, failures racing ordinary
adds on other threads, and (free-threaded) another thread changing the dict with
no hook at all.
"""

import threading
import time

import pytest

from brantel_core import GraphStore, IncrementalReducer, PayloadDescriptor
from workload import FREE_THREADED, run_threads

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


class IndexHook(FloatHook):
    def __index__(self):
        self.change()
        return 0


def grow(d):
    d["zz"] = 1


def swap_visited_key(d):
    # Same size afterwards; the new key comes after the one being converted.
    del d["a"]
    d["c"] = 2


def hooked(mutate, hook=FloatHook):
    params = {"a": 1}
    params["v"] = hook(lambda: mutate(params))
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
    """Every kind of call on a store that saw failed adds: nothing is poisoned or half-added."""
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
@pytest.mark.parametrize("hook", [FloatHook, IndexHook], ids=["float", "index"])
def test_a_hook_that_changes_the_dict_raises(capfd, method, mutate, message, hook):
    s = base()
    with pytest.raises(RuntimeError) as e:
        ADDS[method](s, hooked(mutate, hook))
    assert type(e.value) is RuntimeError and str(e.value) == message
    assert capfd.readouterr().err == ""
    still_works(s, 1)


def test_repeated_failures_never_poison():
    s = base()
    r = IncrementalReducer()
    for i in range(50):
        with pytest.raises(RuntimeError):
            ADDS["add_op" if i % 2 else "add_join"](s, hooked(grow))
        assert r.step(s) == (1 if i == 0 else 0)
    assert r.total_work() == r.watermark() == 1
    still_works(s, 1)


def test_a_hook_that_only_changes_values_is_fine():
    s = base()
    params = {"a": 1, "b": 2}
    params["a"] = FloatHook(lambda: params.update(b=3))
    i = s.add_source("x", params)
    assert s.nodes()[i]["params"] == {"a": 0.5, "b": 3}


@pytest.mark.thread_unsafe
def test_failures_on_some_threads_leave_the_others_adds_intact():
    s = base()
    per_thread = 300

    def work(t):
        ids = []
        for j in range(per_thread):
            if t % 2:
                with pytest.raises(RuntimeError):
                    ADDS["add_op"](s, hooked(grow if j % 2 else swap_visited_key))
            else:
                ids.append(s.add_op(f"t{t}", [0], {"j": j}))
        return ids

    results = run_threads(4, work)
    added = [i for ids in results for i in ids]
    assert sorted(added) == list(range(1, 1 + 2 * per_thread))
    assert s.node_count() == 1 + 2 * per_thread
    still_works(s, s.node_count())


@pytest.mark.thread_unsafe
@pytest.mark.skipif(not FREE_THREADED, reason="under the GIL no other thread runs during a conversion")
def test_another_thread_changing_the_dict_raises_runtime_error():
    # A non-ASCII key takes the path that lets go of the dict between items.
    s = base()
    params = {f"é{i}": i for i in range(2000)}
    stop = threading.Event()

    def churn():
        # Only ever growing, so that every change shows in the size.
        i = 0
        while not stop.is_set():
            params[f"x{i}"] = i
            i += 1
            time.sleep(0.0001)

    changer = threading.Thread(target=churn)
    changer.start()
    try:
        outcomes = set()
        for _ in range(2000):
            try:
                s.add_source("x", params)
                outcomes.add("added")
            except RuntimeError as e:
                assert str(e) == GROWN
                outcomes.add("raised")
            if "raised" in outcomes:
                break
    finally:
        stop.set()
        changer.join()
    assert "raised" in outcomes
    still_works(s, s.node_count())
