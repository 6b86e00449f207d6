"""The whole API in random order, against a plain Python model.

The machine keeps several stores (made by the constructor, by deserialize and by
reductions) and one IncrementalReducer per store. Its model holds, per store, the
nodes as typed tuples, the id of each, the output marks and, for the reducer, a
direct transcription of the folding rules (identity elimination, commutative
dedup, hash-consing). Every call is checked against the model, and every
reduction against the structural promises of reduced stores; finalize is also
checked against reduce() run on the model's own canonical form.
"""

import math
import os
import struct

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from brantel_core import GraphStore, IncrementalReducer, PayloadDescriptor
from workload import dedup, is_bare_commutative, is_identity_op, reachable, reduction_faults

# Hypothesis keeps per-test state; several copies of one machine in one process
# would share it.
pytestmark = pytest.mark.thread_unsafe

COMMUTATIVE = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}
INT64 = (-2 ** 63, 2 ** 63 - 1)
FIELDS = dict(kind="model", content_hash="h1", framework="torch", version="2.1", io_schema="x->y")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class OnlyFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"OnlyFloat({self.value})"


# ---- the model's typed values --------------------------------------------------

def float_bits(x):
    """Floats compare by canonical bits: every NaN is one value, -0.0 is not 0.0."""
    return 0x7FF8000000000000 if math.isnan(x) else struct.unpack("<Q", struct.pack("<d", x))[0]


def typed(value):
    """The ParamValue a Python argument converts to, or None when none applies."""
    if type(value) is bool:
        return ("b", value)
    if isinstance(value, (int, Index)):
        v = value.__index__()
        if INT64[0] <= v <= INT64[1]:
            return ("i", v)
        try:
            exact = float(v)
        except OverflowError:
            return None
        return ("f", float_bits(exact)) if exact == v else None
    if isinstance(value, (float, OnlyFloat)):
        return ("f", float_bits(float(value)))
    if isinstance(value, str):
        return ("s", value)
    return None


def typed_params(params):
    # Code point order is UTF-8 byte order, so sorted() matches the store's key order.
    return tuple(sorted((k, typed(v)) for k, v in (params or {}).items()))


def viewed_params(params):
    """The typed form of a nodes() params dict (its values are plain int/float/bool/str)."""
    return tuple((k, typed(v)) for k, v in params.items())


def descriptor_key(d):
    if d is None:
        return None
    if isinstance(d, PayloadDescriptor):
        d = dict(kind=d.kind, content_hash=d.content_hash, framework=d.framework, version=d.version,
                 io_schema=d.io_schema, preprocessing_ref=d.preprocessing_ref)
    return tuple(d.get(k) for k in ("kind", "content_hash", "framework", "version", "io_schema",
                                    "preprocessing_ref"))


def view_key(n):
    """The identity of a nodes() dict, as a hashable tuple (no id, no output flag)."""
    members = tuple((m["kind"], m["name"], viewed_params(m["params"]), tuple(m["inputs"]))
                    for m in n.get("members", ()))
    return (n["kind"], n["name"], viewed_params(n["params"]), descriptor_key(n.get("descriptor")),
            tuple(n["inputs"]), members)


class StoreModel:
    def __init__(self, store, keys=(), marks=(), node_map=()):
        self.store = store
        self.keys = list(keys)           # view_key per id
        self.index = {k: i for i, k in enumerate(self.keys)}
        self.marks = list(marks)
        self.node_map = list(node_map)
        self.reducer = IncrementalReducer()
        self.fold = FoldModel()
        self.add_only = all(k[0] != "stage" for k in self.keys)

    @classmethod
    def of(cls, store):
        """A model that takes a store made by the module (a reduction, a decode) at its word."""
        return cls(store, [view_key(n) for n in store.nodes()], store.outputs(), store.node_map())

    def add(self, key):
        if key not in self.index:
            self.index[key] = len(self.keys)
            self.keys.append(key)
            self.add_only = self.add_only and key[0] != "stage"
        return self.index[key]


class FoldModel:
    """The incremental reducer's rules, written out the plain way."""

    def __init__(self):
        self.canonical = []      # keys with canonical inputs
        self.table = {}
        self.id_map = []
        self.total_work = 0

    def consume(self, keys):
        for key in keys[len(self.id_map):]:
            kind, name, params, desc, inputs, members = key
            inputs = tuple(self.id_map[u] for u in inputs)
            node = (kind, name, params, desc, inputs, members)
            if kind == "op" and len(inputs) == 1 and is_identity_op(dict(kind=kind, name=name, params=dict_of(params))):
                self.id_map.append(inputs[0])
                continue
            if kind == "op" and len(inputs) == 2 and not params and name in COMMUTATIVE:
                swapped = (kind, name, params, desc, inputs[::-1], members)
                found = self.table.get(node, self.table.get(swapped))
                if found is not None:
                    self.id_map.append(found)
                    continue
            if node not in self.table:
                self.table[node] = len(self.canonical)
                self.canonical.append(node)
            self.id_map.append(self.table[node])
        self.total_work = len(self.id_map)


def dict_of(params):
    """Typed params back to Python values, as nodes() would show them."""
    out = {}
    for k, (tag, v) in params:
        out[k] = struct.unpack("<d", struct.pack("<Q", v))[0] if tag == "f" else v
    return out


def add_key(store, key):
    """Adds a model key through the add methods; returns the id."""
    kind, name, params, desc, inputs, _ = key
    p = dict_of(params)
    if kind == "source":
        return store.add_source(name, p)
    if kind == "op":
        return store.add_op(name, list(inputs), p)
    if kind == "reduction":
        return store.add_reduction(name, list(inputs), p)
    if kind == "external":
        fields = dict(zip(("kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"), desc))
        return store.add_external(fields, list(inputs), p)
    if kind == "exchange":
        return store.add_exchange(list(inputs), p)
    return store.add_join(list(inputs), p)


# ---- strategies -----------------------------------------------------------------

names = st.sampled_from(["a", "add", "mul", "neg", "f", "sum", "x|y", "%;=|", "", "é"])
keys = st.sampled_from(["scalar", "side", "k", "axis", "é", "k2"])
values = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, 0.5, float("nan"), float("inf"), 0, 1, -5, 2 ** 63 - 1, 2 ** 70,
                     True, False, "r", "l", "x", "", "a=b;c|d%"]),
    st.builds(Index, st.integers(-3, 3)),
    st.builds(OnlyFloat, st.sampled_from([0.0, 1.0, 2.5])),
)
IDENTITY_PARAMS = [{"scalar": 0.0, "side": "r"}, {"side": "l", "scalar": 0.0},
                   {"scalar": 1.0, "side": "r"}, {"scalar": 1.0, "side": "l"}]
params_strategy = st.one_of(st.none(), st.sampled_from(IDENTITY_PARAMS),
                            st.dictionaries(keys, values, max_size=3))
descriptors = st.one_of(
    st.builds(PayloadDescriptor, kind=st.sampled_from(["model", "k|x"]), content_hash=st.just("h"),
              framework=st.just("fw"), version=st.just("1"), io_schema=st.just("a->b"),
              preprocessing_ref=st.sampled_from([None, "", "prep"])),
    st.builds(lambda ref, extra: dict(FIELDS, **({"preprocessing_ref": ref} if ref != "omit" else {}), **extra),
              st.sampled_from(["omit", None, "p"]), st.sampled_from([{}, {"other": 1}])),
)
input_picks = st.lists(st.integers(0, 10 ** 6), max_size=3)

# (call on a store and its node count, exception type, exact message or None)
BAD_ADDS = [
    (lambda s, n: s.add_op("f", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda s, n: s.add_join(7), TypeError, "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    (lambda s, n: s.add_source("a", [("k", 1)]), TypeError, "params must be a dict or None"),
    (lambda s, n: s.add_exchange([], {"k": [1]}), TypeError, "param values must be int, float, bool, or str"),
    (lambda s, n: s.add_source("a", {"k": 2 ** 2000}), OverflowError,
     "param 'k': the integer fits neither an Int (signed 64 bits) nor, exactly, a Float"),
    (lambda s, n: s.add_source(b"a"), TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
    (lambda s, n: s.add_op("f", [-1]), OverflowError, None),
    (lambda s, n: s.add_reduction("r", [0.5]), TypeError, None),
    (lambda s, n: s.add_external({"kind": "k"}, []), ValueError, "descriptor missing required field 'content_hash'"),
    (lambda s, n: s.add_external(3, []), TypeError, "descriptor must be a PayloadDescriptor or dict"),
    (lambda s, n: s.add_external("x", "y"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda s, n: s.add_op("f", [n]), ValueError, None),
    (lambda s, n: s.add_join([0, n + 5, n]), ValueError, None),
    (lambda s, n: s.add_source("\ud800"), UnicodeEncodeError, None),
    (lambda s, n: s.serialize(outputs=[n]), ValueError, None),
    (lambda s, n: s.reduce(outputs=[0, n]), ValueError, None),
    (lambda s, n: s.reduce(maximal_fusion=1), TypeError, None),
    (lambda s, n: s.reduction_report(outputs="0"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
    (lambda s, n: s.add_op(name="f"), TypeError, "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
]


class ApiMachine(RuleBasedStateMachine):
    stores = Bundle("stores")

    def __init__(self):
        super().__init__()
        self.models = []

    def keep(self, model):
        self.models.append(model)
        return model

    @initialize(target=stores)
    def fresh(self):
        return self.keep(StoreModel(GraphStore()))

    @rule(target=stores)
    def another_fresh(self):
        return self.keep(StoreModel(GraphStore()))

    # ---- adds

    def pick(self, m, picks):
        return [p % len(m.keys) for p in picks] if m.keys else []

    def expect_add(self, m, call, key):
        got = call()
        assert got == m.add(key), (key, got)

    @rule(m=stores, name=names, params=params_strategy)
    def add_source(self, m, name, params):
        key = ("source", name, typed_params(params), None, (), ())
        self.expect_add(m, lambda: m.store.add_source(name, params), key)

    @rule(m=stores, kind=st.sampled_from(["op", "reduction"]), name=names, picks=input_picks,
          params=params_strategy, as_tuple=st.booleans())
    def add_named(self, m, kind, name, picks, params, as_tuple):
        inputs = self.pick(m, picks)
        given = tuple(inputs) if as_tuple else [Index(i) for i in inputs]
        key = (kind, name, typed_params(params), None, tuple(inputs), ())
        method = m.store.add_op if kind == "op" else m.store.add_reduction
        self.expect_add(m, lambda: method(name, given, params), key)

    @rule(m=stores, desc=descriptors, picks=input_picks, params=params_strategy)
    def add_external(self, m, desc, picks, params):
        inputs = self.pick(m, picks)
        full = desc if isinstance(desc, PayloadDescriptor) else dict({"preprocessing_ref": None}, **desc)
        key = ("external", "", typed_params(params), descriptor_key(full), tuple(inputs), ())
        self.expect_add(m, lambda: m.store.add_external(desc, inputs, params), key)

    @rule(m=stores, kind=st.sampled_from(["exchange", "join"]), picks=input_picks, params=params_strategy)
    def add_boundary(self, m, kind, picks, params):
        inputs = self.pick(m, picks)
        key = (kind, "", typed_params(params), None, tuple(inputs), ())
        method = m.store.add_exchange if kind == "exchange" else m.store.add_join
        self.expect_add(m, lambda: method(inputs, params), key)

    # The folding rules only fire on particular shapes; these two rules make them common.
    @rule(m=stores, name=st.sampled_from(["add", "mul", "maximum", "sub"]), a=st.integers(0, 10 ** 6),
          b=st.integers(0, 10 ** 6), params=st.sampled_from([None, {}, {"k": 1}]))
    def add_commuted_pair(self, m, name, a, b, params):
        if not m.keys:
            return
        a, b = self.pick(m, [a, b])
        for inputs in ([a, b], [b, a]):
            key = ("op", name, typed_params(params), None, tuple(inputs), ())
            self.expect_add(m, lambda: m.store.add_op(name, inputs, params), key)

    @rule(m=stores, name=st.sampled_from(["add", "mul"]), picks=st.lists(st.integers(0, 10 ** 6), max_size=3),
          params=st.sampled_from(IDENTITY_PARAMS + [{"scalar": -0.0, "side": "r"}, {"scalar": 0, "side": "r"},
                                                    {"scalar": 1.0, "side": "x"}, {"scalar": 1.0, "side": "l", "k": 1}]))
    def add_identity_like(self, m, name, picks, params):
        inputs = self.pick(m, picks)
        key = ("op", name, typed_params(params), None, tuple(inputs), ())
        self.expect_add(m, lambda: m.store.add_op(name, inputs, params), key)

    @rule(m=stores, picks=st.lists(st.integers(0, 10 ** 6), min_size=1, max_size=3), bad_at=st.integers(0, 2),
          beyond=st.integers(0, 3))
    def add_with_unknown_input(self, m, picks, bad_at, beyond):
        n = len(m.keys)
        inputs = self.pick(m, picks) if n else [0] * len(picks)
        bad_at %= len(inputs)
        inputs[bad_at] = n + beyond
        first_bad = next(i for i in inputs if i >= n)
        with pytest.raises(ValueError) as e:
            m.store.add_op("f", inputs)
        assert str(e.value) == f"no node with id {first_bad}"

    @rule(m=stores, which=st.integers(0, len(BAD_ADDS) - 1))
    def bad_call(self, m, which):
        call, exc, message = BAD_ADDS[which]
        before = m.store.serialize()
        with pytest.raises(exc) as e:
            call(m.store, len(m.keys))
        assert type(e.value) is exc
        if message is not None:
            assert str(e.value) == message
        assert m.store.serialize() == before

    # ---- views and the blob

    @rule(m=stores)
    def views(self, m):
        nodes = m.store.nodes()
        assert [view_key(n) for n in nodes] == m.keys
        assert [n["id"] for n in nodes] == list(range(len(m.keys)))
        assert [n["id"] for n in nodes if n["output"]] == sorted(m.marks)
        assert m.store.node_map() == m.node_map
        dot = m.store.to_dot().splitlines()
        edges = sum(len(n["inputs"]) for n in nodes)
        assert len(dot) == 2 + len(nodes) + edges
        assert sum(line.endswith(", shape=doublecircle];") for line in dot) == len(m.marks)

    @rule(target=stores, m=stores, outputs=st.one_of(st.none(), st.lists(st.integers(0, 10 ** 6), max_size=4)))
    def round_trip(self, m, outputs):
        chosen = None if outputs is None else self.pick(m, outputs)
        blob = m.store.serialize(outputs=chosen)
        assert blob[:4] == b"BIR1" and m.store.serialize(outputs=chosen) == blob
        copy = GraphStore.deserialize(blob)
        marks = m.marks if chosen is None else dedup(chosen)
        # Marks hold no repeats, so a blob written with repeated outputs comes back
        # as the blob of the deduplicated list.
        assert copy.serialize() == (blob if chosen is None else m.store.serialize(outputs=marks))
        assert [view_key(n) for n in copy.nodes()] == m.keys
        assert copy.outputs() == marks
        assert copy.node_map() == []
        return self.keep(StoreModel(copy, m.keys, marks))

    @rule(m=stores, cut=st.integers(0, 10 ** 6))
    def truncated_blob(self, m, cut):
        blob = m.store.serialize()
        with pytest.raises(ValueError):
            GraphStore.deserialize(blob[:cut % len(blob)])

    # ---- reductions

    def roots(self, m, outputs):
        return m.marks if outputs is None else self.pick(m, outputs)

    @rule(target=stores, m=stores, maximal=st.booleans(),
          outputs=st.one_of(st.none(), st.lists(st.integers(0, 10 ** 6), max_size=4)))
    def reduce(self, m, maximal, outputs):
        chosen = None if outputs is None else self.pick(m, outputs)
        reduced, report = m.store.reduce(maximal_fusion=maximal, outputs=chosen)
        source = m.store.nodes()
        assert reduction_faults(source, self.roots(m, outputs), reduced, report) == []
        again, again_report = m.store.reduce(maximal_fusion=maximal, outputs=chosen)
        assert (again.serialize(), again.node_map(), again_report) == (reduced.serialize(), reduced.node_map(), report)
        if not maximal:
            inc, inc_report = m.store.reduce_incremental(outputs=chosen)
            assert (inc.serialize(), inc.node_map(), inc_report) == (reduced.serialize(), reduced.node_map(), report)
            assert m.store.reduction_report(outputs=chosen) == report
        assert [view_key(n) for n in m.store.nodes()] == m.keys   # the source is untouched
        return self.keep(StoreModel.of(reduced))

    # ---- the incremental reducer

    def fold_agrees(self, m):
        r = m.reducer
        assert (r.watermark(), r.total_work(), r.canonical_count()) == (
            len(m.fold.id_map), m.fold.total_work, len(m.fold.canonical))

    @rule(m=stores)
    def step(self, m):
        expected = max(0, len(m.keys) - len(m.fold.id_map))
        assert m.reducer.step(m.store) == expected
        m.fold.consume(m.keys)
        self.fold_agrees(m)

    @rule(target=stores, m=stores, maximal=st.booleans(),
          outputs=st.one_of(st.none(), st.lists(st.integers(0, 10 ** 6), max_size=4)))
    def finalize(self, m, maximal, outputs):
        chosen = None if outputs is None else self.pick(m, outputs)
        reduced, report = m.reducer.finalize(m.store, maximal_fusion=maximal, outputs=chosen)
        m.fold.consume(m.keys)
        self.fold_agrees(m)
        fold = m.fold
        roots = self.roots(m, outputs)
        assert report["input_nodes"] == len(fold.canonical)
        assert len(reduced.node_map()) == len(fold.id_map)
        if m.add_only:
            # finalize is reduce() over the canonical form, with the node map read
            # through the fold: rebuild that form in a store and compare.
            canon = GraphStore()
            for c, key in enumerate(fold.canonical):
                assert add_key(canon, key) == c
            mapped = [fold.id_map[o] for o in roots]
            expected, expected_report = canon.reduce(maximal_fusion=maximal, outputs=mapped)
            assert expected_report == report
            assert reduced.serialize() == expected.serialize()
            assert reduced.node_map() == [expected.node_map()[c] for c in fold.id_map]
            assert reduction_faults(canon.nodes(), mapped, expected, expected_report) == []
            # The folding rules are the engine's, so reducing the store itself agrees
            # too, but for the two counts taken before folding and for nodes no output
            # reaches: reduce() drops them, while a fold shares its target's entry.
            # Commuted twins may keep another orientation (the fold keeps the first
            # one fed, reduce() the first one reachable), so they are left out.
            if not any(is_bare_commutative(n) for n in m.store.nodes()):
                whole, whole_report = m.store.reduce(maximal_fusion=maximal, outputs=chosen)
                assert reduced.serialize() == whole.serialize()
                live = reachable(m.store.nodes(), roots)
                for i, (folded, direct) in enumerate(zip(reduced.node_map(), whole.node_map(), strict=True)):
                    assert folded == direct if i in live else direct is None, i
                for key in ("input_nodes", "reachable_nodes"):
                    del whole_report[key], report[key]
                assert report == whole_report
        else:
            assert reduction_faults(m.store.nodes(), roots, reduced, report,
                                    node_map_length=len(fold.id_map)) == []
        return self.keep(StoreModel.of(reduced))

    @rule(m=stores)
    def step_rejects_other_objects(self, m):
        with pytest.raises(TypeError) as e:
            m.reducer.step(m.reducer)
        assert str(e.value) == "argument 'store': 'IncrementalReducer' object is not an instance of 'GraphStore'"
        self.fold_agrees(m)

    @rule(m=stores, other=stores)
    def step_rejects_another_store(self, m, other):
        self.step(m)  # ties a fresh reducer to its store
        if other.store is not m.store:
            with pytest.raises(ValueError) as e:
                m.reducer.step(other.store)
            assert str(e.value) == "this IncrementalReducer was fed another GraphStore; use a new reducer for this store"
        self.fold_agrees(m)

    @rule(m=stores)
    def finalize_rejects_unknown_output(self, m):
        n = len(m.keys)
        with pytest.raises(ValueError) as e:
            m.reducer.finalize(m.store, outputs=[n])
        assert str(e.value) == f"no node with id {n}"
        self.fold_agrees(m)

    @invariant()
    def counts_marks_and_folding_match(self):
        for m in self.models:
            assert m.store.node_count() == len(m.keys)
            assert m.store.outputs() == m.marks
        # A fresh reducer over the newest store after every rule, so the folding
        # rules meet every shape the other rules build, not only those a step hits.
        m = self.models[-1]
        fresh, fold = IncrementalReducer(), FoldModel()
        assert fresh.step(m.store) == len(m.keys)
        fold.consume(m.keys)
        assert fresh.canonical_count() == len(fold.canonical)


ApiMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("BRANTEL_STATEFUL_EXAMPLES", "100")),
    stateful_step_count=30,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestApi = ApiMachine.TestCase
