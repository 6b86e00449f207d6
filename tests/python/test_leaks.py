"""Repeated calls do not leak: every public method, on success and on each error path.

Three witnesses, each for what the others cannot see:
- the number of gc-tracked objects (a leaked list, dict or tuple);
- tracemalloc's traced memory (a leaked int, str, bytes or exception; the interpreter's
  allocators are traced, the module's C++ heap is not);
- the reference counts of the arguments (an extra reference to something the caller owns);
- RSS growth after warm-up for the calls that build whole stores in C++ (deserialize,
  reduce, finalize, a store filled by adds), where a leak is the C++ heap's.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import blob_bytes as bb
from brantel_core import GraphStore, IncrementalReducer, PayloadDescriptor, version
from workload import under_sanitizer

# gc and tracemalloc counts are process-wide: another test running alongside would
# show up as growth.
pytestmark = pytest.mark.thread_unsafe

ROUNDS = 400
WARMUP = 40
# Leaking one small object per call costs at least 16 bytes x ROUNDS; the slack is
# for free lists and caches that settle within the loop.
MEMORY_SLACK = 4 * ROUNDS
OBJECT_SLACK = 8

FIELDS = dict(kind="model", content_hash="h1", framework="torch", version="2.1", io_schema="x->y")
DESCRIPTOR = PayloadDescriptor(**FIELDS, preprocessing_ref="prep")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OnlyFloat:
    def __float__(self):
        return 2.5


class Raises:
    def __index__(self):
        raise ValueError("no")

    def __float__(self):
        raise ValueError("no")


class Text(str):
    pass


class Shrinker:
    """A value whose __float__ adds a key to the dict that holds it."""

    def __init__(self, params):
        self.params = params

    def __float__(self):
        self.params[f"k{len(self.params)}"] = 1
        return 1.0


def base_store():
    s = GraphStore()
    a = s.add_source("a", {"n": 1})
    b = s.add_source("b")
    f = s.add_op("add", [a, b])
    g = s.add_op("mul", [f], {"scalar": 1.0, "side": "l"})
    s.add_op("neg", [g])
    s.add_reduction("sum", [4], {"axis": 0})
    s.add_external(DESCRIPTOR, [5, a])
    s.add_exchange([6], {"by": "key"})
    s.add_join([7, 0])
    return s


STORE = base_store()
REDUCED, _ = STORE.reduce(outputs=[8, 5])
MARKED = GraphStore.deserialize(STORE.serialize(outputs=[8]))
BLOB = STORE.serialize(outputs=[8, 3])
BAD_STAGE = GraphStore.deserialize(bb.blob([bb.source("a"), bb.stage([0], [("src|a", [(0, 0)])])], [1]))
BIG = GraphStore()
for _i in range(20):
    BIG.add_source(f"s{_i}")
REDUCER = IncrementalReducer()
REDUCER.step(STORE)
PARAMS = {"b": True, "i": -7, "f": 0.5, "big": 2 ** 70, "s": "text", "x": Index(3), "y": OnlyFloat(), "t": Text("t")}
INPUTS = [0, 1, 1]


def fresh_add(method, *args):
    """A new node in a new store each time, so the new-node path runs and no store grows."""
    s = GraphStore()
    s.add_source("a")
    s.add_source("b")
    return getattr(s, method)(*args)


def changed_dict_add():
    params = {"a": 1}
    params["v"] = Shrinker(params)
    try:
        STORE.add_source("p", params)
    finally:
        # Break the dict-value cycle: the free-threaded 3.13 interpreter defers
        # freeing the keys of collected dicts, which tracemalloc would count.
        params.clear()


def other_store_step():
    """Fed a second store, the reducer refuses it."""
    r = IncrementalReducer()
    r.step(STORE)
    r.step(BIG)


# (id, callable, args, kwargs, expected exception or None)
CASES = [
    ("version", version, (), {}, None),
    ("version surplus", version, (1,), {}, TypeError),
    ("GraphStore()", GraphStore, (), {}, None),
    ("GraphStore(1)", GraphStore, (1,), {}, TypeError),
    ("GraphStore(k=1)", GraphStore, (), {"k": 1}, TypeError),
    # ---- add methods, existing node (lookup path)
    ("add_source existing", STORE.add_source, ("a", {"n": 1}), {}, None),
    ("add_op existing", STORE.add_op, ("add", (0, 1)), {}, None),
    ("add_op existing index", STORE.add_op, ("add", [Index(0), Index(1)], None), {}, None),
    ("add_reduction existing", STORE.add_reduction, ("sum", [4]), {"params": {"axis": 0}}, None),
    ("add_external existing", STORE.add_external, (DESCRIPTOR, [5, 0]), {}, None),
    ("add_external dict existing", STORE.add_external,
     (dict(FIELDS, preprocessing_ref="prep"), [5, 0], {}), {}, None),
    ("add_exchange existing", STORE.add_exchange, ([6], {"by": "key"}), {}, None),
    ("add_join existing", STORE.add_join, (), {"inputs": range(7, -1, -7)}, None),
    # ---- add methods, new node (insert path, fresh store)
    ("add_source new", fresh_add, ("add_source", Text("n"), PARAMS), {}, None),
    ("add_op new", fresh_add, ("add_op", "f", INPUTS, PARAMS), {}, None),
    ("add_reduction new", fresh_add, ("add_reduction", "r", INPUTS, PARAMS), {}, None),
    ("add_external new", fresh_add, ("add_external", DESCRIPTOR, INPUTS, PARAMS), {}, None),
    ("add_external dict new", fresh_add, ("add_external", dict(FIELDS), INPUTS), {}, None),
    ("add_exchange new", fresh_add, ("add_exchange", INPUTS, PARAMS), {}, None),
    ("add_join new", fresh_add, ("add_join", [], PARAMS), {}, None),
    # ---- add errors
    ("name not str", STORE.add_source, (1,), {}, TypeError),
    ("name surrogate", STORE.add_source, ("\ud800",), {}, UnicodeEncodeError),
    ("params list", STORE.add_source, ("a", [("k", 1)]), {}, TypeError),
    ("param value list", STORE.add_source, ("a", {"k": [1]}), {}, TypeError),
    ("param value hooks raise", STORE.add_source, ("a", {"k": Raises()}), {}, TypeError),
    ("param beyond double", STORE.add_source, ("a", {"k": 2 ** 2000}), {}, OverflowError),
    ("param int not exact as float", STORE.add_source, ("a", {"k": 2 ** 64 - 1}), {}, OverflowError),
    ("param key not str", STORE.add_source, ("a", {1: 2}), {}, TypeError),
    ("param str surrogate", STORE.add_source, ("a", {"k": "\udc00"}), {}, UnicodeEncodeError),
    ("inputs str", STORE.add_op, ("f", "01"), {}, TypeError),
    ("inputs int", STORE.add_op, ("f", 0), {}, TypeError),
    ("inputs None", STORE.add_join, (None,), {}, TypeError),
    ("input negative", STORE.add_op, ("f", [0, -1]), {}, OverflowError),
    ("input huge", STORE.add_op, ("f", [2 ** 64]), {}, OverflowError),
    ("input float", STORE.add_op, ("f", [0.5]), {}, TypeError),
    ("input unknown", STORE.add_op, ("f", [0, 99]), {}, ValueError),
    ("input unknown generator", STORE.add_exchange, ((i for i in (0, 50)),), {}, TypeError),
    ("input unknown range", STORE.add_exchange, (range(40, 50),), {}, ValueError),
    ("descriptor wrong type", STORE.add_external, (5, [0]), {}, TypeError),
    ("descriptor missing field", STORE.add_external, ({"kind": "k"}, [0]), {}, ValueError),
    ("descriptor field not str", STORE.add_external, (dict(FIELDS, version=2), [0]), {}, TypeError),
    ("descriptor ref not str", STORE.add_external, (dict(FIELDS, preprocessing_ref=1), [0]), {}, TypeError),
    ("add_op missing", STORE.add_op, ("f",), {}, TypeError),
    ("add_op surplus", STORE.add_op, ("f", [0], None, 1), {}, TypeError),
    ("add_op unexpected", STORE.add_op, ("f", [0]), {"colour": 1}, TypeError),
    ("add_op duplicate", STORE.add_op, ("f", [0]), {"name": "g"}, TypeError),
    ("params dict mutated by hook", changed_dict_add, (), {}, RuntimeError),
    # ---- views
    ("node_count", STORE.node_count, (), {}, None),
    ("node_count surplus", STORE.node_count, (1,), {}, TypeError),
    ("to_dot", STORE.to_dot, (), {}, None),
    ("to_dot reduced", REDUCED.to_dot, (), {}, None),
    ("nodes", STORE.nodes, (), {}, None),
    ("nodes reduced", REDUCED.nodes, (), {}, None),
    ("nodes bad stage member", BAD_STAGE.nodes, (), {}, ValueError),
    ("outputs", MARKED.outputs, (), {}, None),
    ("node_map", REDUCED.node_map, (), {}, None),
    ("node_map unexpected", REDUCED.node_map, (), {"x": 1}, TypeError),
    # ---- blob
    ("serialize", STORE.serialize, (), {}, None),
    ("serialize outputs", STORE.serialize, ([8, 2, 8],), {}, None),
    ("serialize reduced", REDUCED.serialize, (), {}, None),
    ("serialize bad output", STORE.serialize, ([8, 9],), {}, ValueError),
    ("serialize outputs str", STORE.serialize, (), {"outputs": "8"}, TypeError),
    ("deserialize", GraphStore.deserialize, (BLOB,), {}, None),
    ("deserialize truncated", GraphStore.deserialize, (BLOB[:-3],), {}, ValueError),
    ("deserialize bad magic", GraphStore.deserialize, (b"XXXX" + BLOB[4:],), {}, ValueError),
    ("deserialize bad tag", GraphStore.deserialize, (bb.blob([bb.u8(9)]),), {}, ValueError),
    ("deserialize bad utf-8", GraphStore.deserialize, (bb.blob([bb.source(b"\xff")]),), {}, ValueError),
    ("deserialize bad reference", GraphStore.deserialize, (bb.blob([bb.op("f", [0])]),), {}, ValueError),
    ("deserialize huge count", GraphStore.deserialize, (b"BIR1" + bb.u32(0xFFFFFFFF),), {}, ValueError),
    ("deserialize bytearray", GraphStore.deserialize, (bytearray(BLOB),), {}, TypeError),
    ("deserialize missing", GraphStore.deserialize, (), {}, TypeError),
    # ---- reduction
    ("reduce marks", MARKED.reduce, (), {}, None),
    ("reduce outputs", STORE.reduce, (), {"outputs": [8, 5, 8]}, None),
    ("reduce maximal", STORE.reduce, (), {"outputs": (8,), "maximal_fusion": True}, None),
    ("reduce reduced", REDUCED.reduce, (), {}, None),
    ("reduce empty outputs", STORE.reduce, (), {"outputs": []}, None),
    ("reduce bad output", STORE.reduce, (), {"outputs": [3, 9]}, ValueError),
    ("reduce bad flag", STORE.reduce, (), {"maximal_fusion": 1}, TypeError),
    ("reduce positional", STORE.reduce, (True,), {}, TypeError),
    ("reduce_incremental", STORE.reduce_incremental, (), {"outputs": [8]}, None),
    ("reduce_incremental bad output", STORE.reduce_incremental, (), {"outputs": [-1]}, OverflowError),
    ("reduction_report", STORE.reduction_report, (), {"outputs": [8, 2]}, None),
    ("reduction_report bad output", STORE.reduction_report, (), {"outputs": [10]}, ValueError),
    # ---- PayloadDescriptor
    ("PayloadDescriptor", PayloadDescriptor, (), dict(FIELDS, preprocessing_ref=None), None),
    ("PayloadDescriptor missing", PayloadDescriptor, (), {"kind": "k"}, TypeError),
    ("PayloadDescriptor not str", PayloadDescriptor, (), dict(FIELDS, kind=1), TypeError),
    ("PayloadDescriptor positional", PayloadDescriptor, ("k",), {}, TypeError),
    ("descriptor attributes", lambda d: (d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                                         d.preprocessing_ref), (DESCRIPTOR,), {}, None),
    # ---- IncrementalReducer
    ("IncrementalReducer()", IncrementalReducer, (), {}, None),
    ("IncrementalReducer(1)", IncrementalReducer, (1,), {}, TypeError),
    ("step nothing new", REDUCER.step, (STORE,), {}, None),
    ("step fresh reducer", lambda s: IncrementalReducer().step(s), (STORE,), {}, None),
    ("step not a store", REDUCER.step, ({},), {}, TypeError),
    ("step another store", other_store_step, (), {}, ValueError),
    ("watermark", REDUCER.watermark, (), {}, None),
    ("total_work", REDUCER.total_work, (), {}, None),
    ("canonical_count", REDUCER.canonical_count, (), {}, None),
    ("canonical_count surplus", REDUCER.canonical_count, (STORE,), {}, TypeError),
    ("finalize", REDUCER.finalize, (STORE,), {"outputs": [8, 3]}, None),
    ("finalize maximal marks", REDUCER.finalize, (STORE,), {"maximal_fusion": True}, None),
    ("finalize fresh", lambda s: IncrementalReducer().finalize(s), (MARKED,), {}, None),
    ("finalize bad output", REDUCER.finalize, (STORE,), {"outputs": [9]}, ValueError),
    ("finalize fresh outputs", lambda s: IncrementalReducer().finalize(s, outputs=[15, 3]), (BIG,), {}, None),
    ("finalize bad flag", REDUCER.finalize, (STORE,), {"maximal_fusion": None}, TypeError),
    ("finalize not a store", REDUCER.finalize, (REDUCER,), {}, TypeError),
]


def call_once(target, args, kwargs, expected):
    if expected is None:
        target(*args, **kwargs)
        return
    try:
        target(*args, **kwargs)
    except expected:
        return
    raise AssertionError(f"expected {expected.__name__}")


def watched(target, args, kwargs):
    objects = [target, *args, *kwargs.values()]
    owner = getattr(target, "__self__", None)
    if owner is not None:
        objects.append(owner)
    return objects


@pytest.fixture(scope="module")
def traced():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    gc.unfreeze()
    if started:
        tracemalloc.stop()


@pytest.mark.parametrize("name, target, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow(traced, name, target, args, kwargs, expected):
    for _ in range(WARMUP):
        call_once(target, args, kwargs, expected)
    objects = watched(target, args, kwargs)
    # Everything alive now moves out of the collector's view, so the collection and
    # the count below cover only what the loop leaves behind (and take milliseconds).
    gc.freeze()
    refs = [sys.getrefcount(o) for o in objects]
    tracked = len(gc.get_objects())
    memory = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        call_once(target, args, kwargs, expected)
    gc.collect()
    grown_memory = tracemalloc.get_traced_memory()[0] - memory
    grown_objects = len(gc.get_objects()) - tracked
    assert grown_objects <= OBJECT_SLACK, f"{grown_objects} more gc-tracked objects after {ROUNDS} calls"
    assert grown_memory <= MEMORY_SLACK, f"{grown_memory} more traced bytes after {ROUNDS} calls"
    assert [sys.getrefcount(o) for o in objects] == refs, "an argument gained or lost references"


def test_the_changed_dict_case_really_changes_the_dict():
    """The changed-dict row above only proves something if the hook does reach the dict."""
    with pytest.raises(RuntimeError) as e:
        changed_dict_add()
    assert str(e.value) == "dictionary changed size during iteration"
    assert STORE.add_source("a", {"n": 1}) == 0


# ---- the C++ heap: RSS after warm-up --------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def chain_store(n):
    s = GraphStore()
    last = s.add_source("x", {"n": n})
    for i in range(n):
        last = s.add_op("add" if i % 3 else "f", [last, i // 2], {"i": i % 7})
    return s


CHAIN = chain_store(30_000)
CHAIN_BLOB = CHAIN.serialize(outputs=[CHAIN.node_count() - 1])


def build_by_adds():
    chain_store(5_000)


def incremental_round():
    r = IncrementalReducer()
    r.step(CHAIN)
    r.finalize(CHAIN, outputs=[CHAIN.node_count() - 1], maximal_fusion=True)


STORE_BUILDERS = [
    ("deserialize", lambda: GraphStore.deserialize(CHAIN_BLOB)),
    ("reduce", lambda: CHAIN.reduce(outputs=[CHAIN.node_count() - 1])),
    ("reduce maximal", lambda: CHAIN.reduce(outputs=[CHAIN.node_count() - 1], maximal_fusion=True)),
    ("reduce the reduced", lambda: GraphStore.deserialize(CHAIN_BLOB).reduce()[0].reduce()),
    ("incremental finalize", incremental_round),
    ("adds then drop", build_by_adds),
    ("deserialize error late", lambda: pytest.raises(ValueError, GraphStore.deserialize, CHAIN_BLOB[:-1])),
]


@pytest.mark.skipif(under_sanitizer(), reason="ASan's quarantine holds freed memory; LeakSanitizer covers it")
@pytest.mark.parametrize("name, build", STORE_BUILDERS, ids=[b[0] for b in STORE_BUILDERS])
def test_store_building_calls_return_their_memory(name, build):
    for _ in range(3):
        build()
    # Each call builds 2 to 4 MB in C++ (keeping all ten adds 20 to 36 MB), while the
    # allocator's slack after warm-up stays below the bound. A one-off jump (the
    # free-threaded build's allocator returns pages lazily) can land in a window,
    # so a second window decides; a real leak grows both.
    windows = []
    for _ in range(2):
        gc.collect()
        before = rss_bytes()
        for _ in range(10):
            build()
        gc.collect()
        windows.append(rss_bytes() - before)
        if windows[-1] <= 8 * 2 ** 20:
            return
    raise AssertionError(f"RSS grew {[round(w / 2 ** 20, 1) for w in windows]} MiB over two windows of 10 calls")
