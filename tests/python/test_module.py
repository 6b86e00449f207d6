"""The module object, its classes and the argument parser's messages."""

import inspect

import pytest

import brantel_core
from brantel_core import GraphStore, IncrementalReducer, PanicException, PayloadDescriptor

CLASSES = [GraphStore, PayloadDescriptor, IncrementalReducer]


def test_version():
    assert brantel_core.version() == "0.0.2"
    assert brantel_core.version.__module__ == "brantel_core"


def test_module_adds_its_objects_in_order_with_an_empty_docstring():
    names = [n for n in vars(brantel_core) if not n.startswith("__")]
    assert names == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version", "PanicException"]
    assert brantel_core.__doc__ == ""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_plain_builtins_types(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls.extra = 1
    instance = cls() if cls is not PayloadDescriptor else PayloadDescriptor(
        kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    with pytest.raises(AttributeError):
        instance.extra = 1


def test_payload_descriptor_has_six_read_only_attributes_and_identity_equality():
    d = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (
        "k", "h", "f", "v", "s", None)
    e = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s",
                          preprocessing_ref="")
    assert e.preprocessing_ref == ""
    for attribute in ["kind", "preprocessing_ref"]:
        with pytest.raises(AttributeError):
            setattr(d, attribute, "x")
    twin = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    assert d != twin and d == d


@pytest.mark.parametrize("field", ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"])
def test_payload_descriptor_fields_must_be_str(field):
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    fields[field] = 7
    with pytest.raises(TypeError) as e:
        PayloadDescriptor(**fields)
    assert str(e.value) == f"argument '{field}': 'int' object is not an instance of 'str'"


def test_panic_exception_is_a_direct_base_exception():
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)


TEXT_SIGNATURES = [
    (GraphStore, "()"),
    (PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
    (IncrementalReducer, "()"),
    (brantel_core.version, "()"),
    (GraphStore.add_source, "($self, name, params=None)"),
    (GraphStore.add_op, "($self, name, inputs, params=None)"),
    (GraphStore.add_reduction, "($self, name, inputs, params=None)"),
    (GraphStore.add_external, "($self, descriptor, inputs, params=None)"),
    (GraphStore.add_exchange, "($self, inputs, params=None)"),
    (GraphStore.add_join, "($self, inputs, params=None)"),
    (GraphStore.node_count, "($self)"),
    (GraphStore.to_dot, "($self)"),
    (GraphStore.nodes, "($self)"),
    (GraphStore.outputs, "($self)"),
    (GraphStore.node_map, "($self)"),
    (GraphStore.serialize, "($self, outputs=None)"),
    (GraphStore.deserialize, "(data)"),
    (GraphStore.reduce, "($self, *, maximal_fusion=False, outputs=None)"),
    (GraphStore.reduce_incremental, "($self, *, outputs=None)"),
    (GraphStore.reduction_report, "($self, *, outputs=None)"),
    (IncrementalReducer.step, "($self, store)"),
    (IncrementalReducer.watermark, "($self)"),
    (IncrementalReducer.total_work, "($self)"),
    (IncrementalReducer.canonical_count, "($self)"),
    (IncrementalReducer.finalize, "($self, store, *, maximal_fusion=False, outputs=None)"),
]


@pytest.mark.parametrize("obj, text", TEXT_SIGNATURES, ids=lambda x: getattr(x, "__qualname__", None))
def test_text_signatures(obj, text):
    assert obj.__text_signature__ == text
    # inspect reads the same text; bound methods drop $self.
    expected = text.replace("$self, ", "").replace("($self)", "()")
    target = obj
    if text.startswith("($self"):
        owner = GraphStore if hasattr(GraphStore, obj.__name__) else IncrementalReducer
        target = getattr(owner(), obj.__name__)
    assert str(inspect.signature(target)) == expected


def test_docstrings():
    assert PayloadDescriptor.__doc__ == (
        "Reproducibility metadata an External node carries (participates in the structural hash).")
    store_doc = GraphStore.__doc__
    for phrase in ["Thread-safe", "interior mutability", "mutex", "free-threaded 3.14t"]:
        assert phrase in store_doc
    assert "step" in IncrementalReducer.__doc__ and "canonical" in IncrementalReducer.__doc__
    assert '"exchange"' in GraphStore.add_exchange.__doc__ and "one logical input" in GraphStore.add_exchange.__doc__
    assert '"join"' in GraphStore.add_join.__doc__ and "[left, right]" in GraphStore.add_join.__doc__


def test_keyword_arguments_reach_their_parameters():
    s = GraphStore()
    a = s.add_source(name="a", params={"k": 1})
    assert s.add_op(inputs=[a], name="f") == s.add_op("f", [a])
    assert s.add_join(params=None, inputs=[a, a]) == s.add_join([a, a])


_s = GraphStore()
_s.add_source("a")

PARSER_ERRORS = [
    (lambda: _s.add_op(),
     "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
    (lambda: _s.add_op("f"), "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    (lambda: _s.add_op(inputs=[0]), "GraphStore.add_op() missing 1 required positional argument: 'name'"),
    (lambda: _s.add_op("f", [0], None, 1),
     "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: _s.add_source("a", None, 1),
     "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: _s.node_count(1), "GraphStore.node_count() takes 0 positional arguments but 1 was given"),
    (lambda: _s.nodes(1, 2), "GraphStore.nodes() takes 0 positional arguments but 2 were given"),
    (lambda: _s.add_op("f", [0], colour=1), "GraphStore.add_op() got an unexpected keyword argument 'colour'"),
    (lambda: _s.to_dot(x=1), "GraphStore.to_dot() got an unexpected keyword argument 'x'"),
    (lambda: _s.add_op("f", [0], name="g"), "GraphStore.add_op() got multiple values for argument 'name'"),
    (lambda: _s.reduce(True), "GraphStore.reduce() takes 0 positional arguments but 1 was given"),
    (lambda: _s.serialize(None, None),
     "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: GraphStore.deserialize(), "GraphStore.deserialize() missing 1 required positional argument: 'data'"),
    (lambda: GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: GraphStore(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
    (lambda: PayloadDescriptor(),
     "PayloadDescriptor.__new__() missing 5 required keyword arguments: "
     "'kind', 'content_hash', 'framework', 'version', and 'io_schema'"),
    (lambda: PayloadDescriptor(content_hash="h", framework="f", version="v", io_schema="s"),
     "PayloadDescriptor.__new__() missing 1 required keyword argument: 'kind'"),
    (lambda: PayloadDescriptor(kind="k", content_hash="h", framework="f"),
     "PayloadDescriptor.__new__() missing 2 required keyword arguments: 'version' and 'io_schema'"),
    (lambda: PayloadDescriptor("k"), "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: brantel_core.version(1), "version() takes 0 positional arguments but 1 was given"),
    (lambda: IncrementalReducer(1), "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: IncrementalReducer().step(), "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
    (lambda: IncrementalReducer().finalize(_s, False),
     "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", PARSER_ERRORS, ids=[m for _, m in PARSER_ERRORS])
def test_argument_parser_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


class FakeNumpyBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


# A type that calls itself numpy's bool is accepted through its truth value; the
# same shape under another name or module is not.
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool"
FakeNumpyBool.__module__ = "numpy"


class NotNumpyBool(FakeNumpyBool):
    pass


NotNumpyBool.__name__ = NotNumpyBool.__qualname__ = "bool"
NotNumpyBool.__module__ = "mymodule"


@pytest.mark.parametrize("value, message", [
    (1, "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"),
    (None, "argument 'maximal_fusion': 'None' is not an instance of 'bool'"),
    ("yes", "argument 'maximal_fusion': 'str' object is not an instance of 'bool'"),
    (NotNumpyBool(True), "argument 'maximal_fusion': 'bool' object is not an instance of 'bool'"),
])
def test_maximal_fusion_must_be_a_bool(value, message):
    with pytest.raises(TypeError) as e:
        _s.reduce(maximal_fusion=value)
    assert str(e.value) == message


def test_maximal_fusion_accepts_numpy_bools():
    s = GraphStore()
    a = s.add_op("a", [s.add_source("x")])
    s.add_op("d", [s.add_op("b", [a]), s.add_op("c", [a])])
    fused = s.reduce(maximal_fusion=True, outputs=[4])[1]
    plain = s.reduce(maximal_fusion=False, outputs=[4])[1]
    assert fused != plain
    assert s.reduce(maximal_fusion=FakeNumpyBool(True), outputs=[4])[1] == fused
    assert s.reduce(maximal_fusion=FakeNumpyBool(False), outputs=[4])[1] == plain
    numpy = pytest.importorskip("numpy", exc_type=ImportError)
    assert s.reduce(maximal_fusion=numpy.bool_(True), outputs=[4])[1] == fused
    assert s.reduce(maximal_fusion=numpy.bool_(False), outputs=[4])[1] == plain


@pytest.mark.parametrize("call, message", [
    (lambda: IncrementalReducer().step(1), "argument 'store': 'int' object is not an instance of 'GraphStore'"),
    (lambda: IncrementalReducer().finalize(None), "argument 'store': 'None' is not an instance of 'GraphStore'"),
    (lambda: GraphStore.deserialize(bytearray(b"BIR1")),
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: GraphStore.deserialize(memoryview(b"BIR1")),
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    (lambda: _s.serialize(outputs="0"), "argument 'outputs': Can't extract `str` to `Vec`"),
    (lambda: _s.reduce(outputs=5), "argument 'outputs': 'int' object is not an instance of 'Sequence'"),
])
def test_object_arguments_are_type_checked(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_bytes_subclasses_are_read_as_bytes():
    class Blob(bytes):
        pass

    assert GraphStore.deserialize(Blob(_s.serialize())).serialize() == _s.serialize()
