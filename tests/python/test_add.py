"""The add methods: argument conversion, its errors, and interning."""

import enum
import math
import struct

import pytest

from brantel_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="model", content_hash="h1", framework="torch", version="2.1", io_schema="x->y")


def descriptor(**extra):
    return PayloadDescriptor(**FIELDS, **extra)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """__index__ and __float__ both raise: no conversion rule applies."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class OnlyFloat:
    def __float__(self):
        return 2.5


class Text(str):
    pass


class Twin(str):
    """A str whose instances are all distinct dict keys, whatever their text."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


class Colour(enum.IntEnum):
    RED = 3


@pytest.fixture
def store():
    s = GraphStore()
    s.add_source("a")
    return s


# (description, call on a store holding one source, exception type, exact message or None)
FAILURES = [
    ("params as pairs", lambda s: s.add_source("b", [("k", 1)]), TypeError, "params must be a dict or None"),
    ("params as str", lambda s: s.add_op("f", [0], "k=1"), TypeError, "params must be a dict or None"),
    ("value list", lambda s: s.add_source("b", {"k": [1]}), TypeError,
     "param values must be int, float, bool, or str"),
    ("value None", lambda s: s.add_source("b", {"k": None}), TypeError,
     "param values must be int, float, bool, or str"),
    ("value bytes", lambda s: s.add_join([0], {"k": b"x"}), TypeError,
     "param values must be int, float, bool, or str"),
    *[(f"value {name} int", lambda s, v=v: s.add_source("b", {"k": v}), OverflowError,
       "param 'k': the integer fits neither an Int (signed 64 bits) nor, exactly, a Float")
      for name, v in [("unsigned", 2 ** 64 - 1), ("negative", -2 ** 64 - 1), ("index", Index(2 ** 64 - 2)),
                      ("beyond double", 10 ** 400)]],
    ("two keys with one text", lambda s: s.add_source("b", {"a": 0, Twin("k"): 1, "k": 2}), ValueError,
     "params hold two keys with the text 'k'"),
    ("value hooks raise", lambda s: s.add_source("b", {"k": Raises(ValueError("no"))}), TypeError,
     "param values must be int, float, bool, or str"),
    ("key not str", lambda s: s.add_source("b", {1: 2}), TypeError, "'int' object is not an instance of 'str'"),
    ("inputs str", lambda s: s.add_op("f", "0"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    ("inputs str subclass", lambda s: s.add_exchange(Text("0")), TypeError,
     "argument 'inputs': Can't extract `str` to `Vec`"),
    ("inputs int", lambda s: s.add_op("f", 0), TypeError,
     "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    ("inputs None", lambda s: s.add_join(None), TypeError,
     "argument 'inputs': 'None' is not an instance of 'Sequence'"),
    ("inputs dict", lambda s: s.add_op("f", {0: 0}), TypeError,
     "argument 'inputs': 'dict' object is not an instance of 'Sequence'"),
    ("inputs generator", lambda s: s.add_op("f", (i for i in [0])), TypeError,
     "argument 'inputs': 'generator' object is not an instance of 'Sequence'"),
    ("input float", lambda s: s.add_op("f", [0.0]), TypeError,
     "argument 'inputs': 'float' object cannot be interpreted as an integer"),
    ("input hook TypeError", lambda s: s.add_op("f", [Raises(TypeError("bad id"))]), TypeError,
     "argument 'inputs': bad id"),
    ("input hook ValueError", lambda s: s.add_op("f", (Raises(ValueError("bad id")),)), ValueError, "bad id"),
    ("input negative", lambda s: s.add_op("f", [-1]), OverflowError, None),
    ("input too large", lambda s: s.add_op("f", [2 ** 64]), OverflowError, None),
    ("input index negative", lambda s: s.add_op("f", [Index(-1)]), OverflowError, None),
    ("input missing", lambda s: s.add_op("f", [1]), ValueError, "no node with id 1"),
    ("name int", lambda s: s.add_source(1), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
    ("name None", lambda s: s.add_op(None, [0]), TypeError, "argument 'name': 'None' is not an instance of 'str'"),
    ("name bytes", lambda s: s.add_reduction(b"f", [0]), TypeError,
     "argument 'name': 'bytes' object is not an instance of 'str'"),
    ("name lone surrogate", lambda s: s.add_source("\ud800"), UnicodeEncodeError, None),
    ("key lone surrogate", lambda s: s.add_source("b", {"\udfff": 1}), UnicodeEncodeError, None),
    ("value lone surrogate", lambda s: s.add_source("b", {"k": "\ud800"}), UnicodeEncodeError, None),
    ("descriptor str", lambda s: s.add_external("model", [0]), TypeError,
     "descriptor must be a PayloadDescriptor or dict"),
    ("descriptor only kind", lambda s: s.add_external({"kind": "model"}, [0]), ValueError,
     "descriptor missing required field 'content_hash'"),
    ("descriptor no io_schema", lambda s: s.add_external({k: v for k, v in FIELDS.items() if k != "io_schema"}, [0]),
     ValueError, "descriptor missing required field 'io_schema'"),
    ("descriptor field int", lambda s: s.add_external({**FIELDS, "version": 2}, [0]), TypeError,
     "'int' object is not an instance of 'str'"),
    ("descriptor field None", lambda s: s.add_external({**FIELDS, "kind": None}, [0]), TypeError,
     "'None' is not an instance of 'str'"),
    ("descriptor ref read first", lambda s: s.add_external({"preprocessing_ref": 1}, [0]), TypeError,
     "'int' object is not an instance of 'str'"),
    ("external inputs before descriptor", lambda s: s.add_external("model", "0"), TypeError,
     "argument 'inputs': Can't extract `str` to `Vec`"),
    ("external descriptor before params", lambda s: s.add_external("model", [0], [1]), TypeError,
     "descriptor must be a PayloadDescriptor or dict"),
    ("op inputs before params", lambda s: s.add_op("f", "0", [1]), TypeError,
     "argument 'inputs': Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("call, error, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures_raise_and_leave_the_store_unchanged(call, error, message):
    # A store of its own, not the fixture: under pytest-run-parallel the threads
    # of one test share its fixtures, and this test asserts exact contents.
    store = GraphStore()
    store.add_source("a")
    before = store.nodes()
    with pytest.raises(error) as e:
        call(store)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    else:
        assert not str(e.value).startswith("argument ")
    assert store.nodes() == before
    # No id was consumed.
    assert store.add_source("next") == 1


def test_equal_nodes_share_an_id():
    s = GraphStore()
    a = s.add_source("a")
    assert s.add_source("a") == a
    assert s.add_source("a", {}) == a
    assert s.add_source("a", None) == a
    f = s.add_op("f", [a, a], {"x": 1, "y": "z", "w": 0.5})
    assert s.add_op("f", [a, a], {"w": 0.5, "y": "z", "x": 1}) == f
    assert s.add_op("f", (a, a), {"y": "z", "w": 0.5, "x": 1}) == f
    assert s.node_count() == 2


def test_inputs_may_be_any_sequence_of_integers():
    s = GraphStore()
    s.add_source("a")
    first = s.add_op("f", [0])

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i >= 1:
                raise IndexError
            return 0

    class MyList(list):
        pass

    for inputs in [(0,), range(1), [Index(0)], Seq(), MyList([0]), [False]]:
        assert s.add_op("f", inputs) == first
    assert s.node_count() == 2


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda ids: ids.append(1), [0, 0, 1]),  # read up to the list's new end
        (lambda ids: ids.clear(), [0]),  # the walk stops where the list now ends
        (lambda ids: ids.extend([1] * 64), [0, 0] + [1] * 64),  # past the room taken for two
    ],
)
def test_inputs_follow_a_list_changed_while_it_is_read(change, expected):
    # The id list is sized up front from the list's length; that must stay a hint.
    s = GraphStore()
    s.add_source("a")
    s.add_source("b")
    inputs: list[object] = []
    inputs[:] = [Mutator(lambda: change(inputs)), 0]
    node = s.add_op("f", inputs)
    assert s.nodes()[node]["inputs"] == expected


def test_value_types_are_distinct():
    s = GraphStore()
    a = s.add_source("a")
    ids = {s.add_op("f", [a], {"k": v}) for v in [True, 1, 1.0, "1"]}
    assert len(ids) == 4
    assert s.add_op("f", [a], {"k": 0.0}) != s.add_op("f", [a], {"k": -0.0})


def test_nans_with_different_payloads_are_one_value():
    quiet = float("nan")
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000123))[0]
    assert math.isnan(payload)
    s = GraphStore()
    assert s.add_source("a", {"k": quiet}) == s.add_source("a", {"k": payload})


@pytest.mark.parametrize("value, expected", [
    (2 ** 63 - 1, 2 ** 63 - 1),
    (-2 ** 63, -2 ** 63),
    (2 ** 63, float(2 ** 63)),
    (2 ** 70, float(2 ** 70)),
    (-2 ** 70, float(-2 ** 70)),
    (2 ** 64, float(2 ** 64)),
    (Twin("k"), "k"),
    (Index(5), 5),
    (Index(2 ** 70), float(2 ** 70)),
    (Colour.RED, 3),
    (OnlyFloat(), 2.5),
    (Text("abc"), "abc"),
    (False, False),
])
def test_value_conversion_rules(value, expected):
    s = GraphStore()
    s.add_source("a", {"k": value})
    stored = s.nodes()[0]["params"]["k"]
    assert type(stored) is type(expected) and stored == expected


def test_str_subclasses_and_unicode_are_stored_as_utf8():
    s = GraphStore()
    a = s.add_source(Text("données"), {Text("clé"): Text("✓")})
    assert s.add_source("données", {"clé": "✓"}) == a
    assert s.nodes()[0]["name"] == "données"
    assert s.nodes()[0]["params"] == {"clé": "✓"}


def test_descriptor_dict_and_payload_descriptor_are_the_same_node():
    s = GraphStore()
    a = s.add_source("a")
    node = s.add_external(descriptor(), [a])

    class Fields(dict):
        pass

    assert s.add_external(dict(FIELDS), [a]) == node
    assert s.add_external({**FIELDS, "preprocessing_ref": None, "other": 1}, [a]) == node
    assert s.add_external(Fields(FIELDS), [a]) == node
    with_ref = s.add_external(descriptor(preprocessing_ref=""), [a])
    assert with_ref != node
    assert s.add_external({**FIELDS, "preprocessing_ref": ""}, [a]) == with_ref


def test_bad_input_ids_name_the_first_offender_and_consume_no_id():
    s = GraphStore()
    for i in range(10):
        s.add_source(f"s{i}")
    with pytest.raises(ValueError) as e:
        s.add_op("f", [3, 99, 100])
    assert str(e.value) == "no node with id 99"
    with pytest.raises(ValueError) as e:
        s.add_op("f", [10])
    assert str(e.value) == "no node with id 10"
    assert s.add_op("f", [9]) == 10


def test_input_counts_are_not_enforced():
    s = GraphStore()
    a, b, c = (s.add_source(n) for n in "abc")
    assert s.add_join([]) == 3
    assert s.add_join([a, b, c]) == 4
    assert s.add_exchange([a, b]) == 5
    assert s.add_exchange([a, a]) == 6


class Mutator:
    """A value whose __index__ changes the list that holds it."""

    def __init__(self, change):
        self.change = change

    def __index__(self):
        self.change()
        return 0


def test_a_hook_may_call_back_into_the_store():
    s = GraphStore()
    a = s.add_source("a")

    class Reenter:
        def __index__(self):
            s.add_op("inner", [a], {"z": "zz", "y": 1.5})
            return 5

    outer = s.add_op("outer", [a], {"k": Reenter(), "m": "text"})
    nodes = s.nodes()
    assert (nodes[1]["name"], nodes[1]["params"]) == ("inner", {"y": 1.5, "z": "zz"})
    assert (outer, nodes[outer]["name"], nodes[outer]["params"]) == (2, "outer", {"k": 5, "m": "text"})


def test_hook_interrupts_are_not_swallowed():
    s = GraphStore()
    with pytest.raises(KeyboardInterrupt):
        s.add_source("a", {"k": Raises(KeyboardInterrupt())})
    assert s.node_count() == 0


NAN_PAYLOADS = [0x7FF0000000000123, 0xFFF8000000000000, 0x7FFFFFFFFFFFFFFF]


def float_of_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of_float(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


class Real(float):
    """A float subclass: converted through the float protocol, not in place."""


@pytest.mark.parametrize("bits", NAN_PAYLOADS, ids=hex)
@pytest.mark.parametrize("wrap", [float, Real], ids=["float", "subclass"])
def test_nan_payloads_dedupe_in_either_order_and_keep_the_first_bits(bits, wrap):
    s = GraphStore()
    a = s.add_source("a")
    first = s.add_op("f", [a], {"k": wrap(float_of_bits(bits)), "m": 1})
    assert s.add_op("f", [a], {"m": 1, "k": float("nan")}) == first
    quiet_first = s.add_op("g", [a], {"k": float("nan")})
    assert s.add_op("g", [a], {"k": wrap(float_of_bits(bits))}) == quiet_first
    assert s.node_count() == 3
    assert bits_of_float(s.nodes()[first]["params"]["k"]) == bits
    assert GraphStore.deserialize(s.serialize()).add_op("f", [a], {"k": float("nan"), "m": 1}) == first


def test_params_are_sorted_by_key_bytes_whatever_the_dict_order():
    # Reversed dicts take the sorting path; hooks and non-ASCII text take the
    # general conversion path, the rest is read in place.
    keys = [f"k{i:02d}" for i in range(40)] + ["a", "ab", "B", "é", "k0"]
    values = [1, 2.5, True, "text", "ünïcode", Index(7), Real(0.5), -1, 0]
    items = [(k, values[i % len(values)]) for i, k in enumerate(keys)]

    def stored_form(v):
        return v.value if isinstance(v, Index) else float(v) if isinstance(v, Real) else v

    s = GraphStore()
    src = s.add_source("a")
    ids = []
    for count in [0, 1, 2, 3, 16, 17, len(items)]:
        forward = dict(items[:count])
        node = s.add_op(f"n{count}", [src], forward)
        assert s.add_op(f"n{count}", [src], dict(reversed(items[:count]))) == node
        stored = s.nodes()[node]["params"]
        assert list(stored) == sorted(forward, key=lambda k: k.encode())
        assert stored == {k: stored_form(v) for k, v in forward.items()}
        ids.append(node)
    assert len(set(ids)) == 7


def test_a_hook_that_replaces_an_earlier_value_does_not_change_what_was_read():
    s = GraphStore()
    a = s.add_source("a")
    params = {"a": "".join(["x"] * 64), "b": None, "c": 3}

    class Replace:
        def __index__(self):
            # Drops the dict's (and the last) reference to the str read for "a".
            params["a"] = "other"
            params["c"] = 4
            return 5

    params["b"] = Replace()
    node = s.add_op("f", [a], params)
    assert s.nodes()[node]["params"] == {"a": "x" * 64, "b": 5, "c": 4}


def test_a_source_does_not_inherit_the_inputs_of_an_earlier_call():
    s = GraphStore()
    s.add_source("a")
    s.add_op("f", [0, 0])
    fresh = GraphStore()
    assert fresh.add_source("b") == 0
    with pytest.raises(ValueError):
        fresh.add_op("f", [0, 1])
    assert fresh.add_source("c", {"k": 1}) == 1


@pytest.mark.parametrize("others", [0, 1, 24], ids=["alone", "after-z", "among-many"])
def test_keys_with_the_same_text_are_refused(others):
    # Each pairing the ordered-keys fast path and the sort meet differently.
    s = GraphStore()
    s.add_source("a")
    filler = {f"z{i:02d}": i for i in range(others)}
    with pytest.raises(ValueError, match="^params hold two keys with the text 'k'$"):
        s.add_op("f", [0], {**filler, Twin("k"): 1, Twin("k"): 2})
    assert s.node_count() == 1
