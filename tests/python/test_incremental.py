"""IncrementalReducer from Python: stepping, folding rules, finalize, errors, threads."""

import threading

import pytest

import brantel_core as bc

REPORT_KEYS = {
    "input_nodes",
    "reachable_nodes",
    "canonical_nodes",
    "stages",
    "reduced_nodes",
    "boundary_nodes",
}


def identity(name, side):
    return {"scalar": 0.0 if name == "add" else 1.0, "side": side}


def state(r):
    return (r.watermark(), r.total_work(), r.canonical_count())


def worked_example():
    g = bc.GraphStore()
    a = g.add_source("a")
    b = g.add_source("b")
    ab = g.add_op("add", [a, b])
    ba = g.add_op("add", [b, a])
    m = g.add_op("mul", [ba], {"scalar": 1.0, "side": "l"})
    g.add_op("neg", [m])
    g.add_op("neg", [ab])
    return g


def test_fresh_reducer_is_empty():
    assert state(bc.IncrementalReducer()) == (0, 0, 0)


def test_worked_example():
    g = worked_example()
    r = bc.IncrementalReducer()
    assert r.step(g) == 7
    assert state(r) == (7, 7, 4)


def test_steps_consume_only_the_delta():
    g = bc.GraphStore()
    x = g.add_source("x")
    f = g.add_op("f", [x])
    g.add_op("g", [f])
    r = bc.IncrementalReducer()
    assert r.step(g) == 3
    assert r.step(g) == 0
    assert state(r) == (3, 3, 3)
    g.add_op("h", [f])
    g.add_op("k", [x])
    assert r.step(g) == 2
    assert r.total_work() == 5 == r.watermark()


@pytest.mark.parametrize(
    "name, params, eliminated",
    [
        ("add", {"scalar": 0.0, "side": "r"}, True),
        ("add", {"scalar": 0.0, "side": "l"}, True),
        ("mul", {"scalar": 1.0, "side": "r"}, True),
        ("mul", {"scalar": 1.0, "side": "l"}, True),
        ("add", {"scalar": 0, "side": "r"}, False),
        ("add", {"scalar": -0.0, "side": "r"}, False),
        ("add", {"scalar": 0.0, "side": "x"}, False),
        ("add", {"scalar": 0.0, "side": "r", "extra": 1}, False),
        ("mul", {"scalar": True, "side": "r"}, False),
    ],
)
def test_identity_elimination(name, params, eliminated):
    g = bc.GraphStore()
    x = g.add_source("x")
    y = g.add_op(name, [x], params)
    r = bc.IncrementalReducer()
    r.step(g)
    assert r.canonical_count() == (1 if eliminated else 2)
    assert r.watermark() == 2
    g.add_op("neg", [y])
    g.add_op("neg", [x])
    assert r.step(g) == 2
    assert r.canonical_count() == (2 if eliminated else 4)
    assert r.watermark() == 4


def test_chain_of_identity_wrappers_folds_to_the_operand():
    g = bc.GraphStore()
    x = g.add_source("x")
    w = x
    for _ in range(3):
        for name, side in [("add", "r"), ("mul", "l"), ("add", "l"), ("mul", "r")]:
            w = g.add_op(name, [w], identity(name, side))
    g.add_op("f", [w, x])
    g.add_op("f", [x, x])
    r = bc.IncrementalReducer()
    assert r.step(g) == 15
    assert r.canonical_count() == 2


@pytest.mark.parametrize(
    "name, params, canonical",
    [
        ("add", None, 3),
        ("maximum", None, 3),
        ("ne", {}, 3),
        ("add", {"k": 1}, 4),
        ("sub", None, 4),
    ],
)
def test_commutative_pairs(name, params, canonical):
    g = bc.GraphStore()
    a = g.add_source("a")
    b = g.add_source("b")
    g.add_op(name, [a, b], params)
    g.add_op(name, [b, a], params)
    r = bc.IncrementalReducer()
    r.step(g)
    assert r.canonical_count() == canonical
    assert r.watermark() == 4


def test_commuted_pair_keeps_first_orientation_in_finalize():
    g = bc.GraphStore()
    a = g.add_source("a")
    b = g.add_source("b")
    first = g.add_op("add", [b, a])
    second = g.add_op("add", [a, b])
    reduced, report = bc.IncrementalReducer().finalize(g, outputs=[second])
    assert report["canonical_nodes"] == 3
    nodes = reduced.nodes()
    ids = {n["name"]: n["id"] for n in nodes if n["kind"] == "source"}
    (stage,) = [n for n in nodes if n["kind"] == "stage"]
    # The member reads b then a: the orientation met first.
    assert stage["members"][0]["inputs"] == [("input", 0), ("input", 1)]
    assert stage["inputs"] == [ids["b"], ids["a"]]
    node_map = reduced.node_map()
    assert node_map[first] == node_map[second]


@pytest.mark.parametrize("arity", [0, 1, 2, 3])
@pytest.mark.parametrize("name, side", [("add", "r"), ("add", "l"), ("mul", "r"), ("mul", "l")])
def test_identity_labels_reduce_alike_whatever_the_input_count(name, side, arity):
    # Only a one-input identity folds, in both reductions: folding add([x, y]) into
    # x would drop y.
    g = bc.GraphStore()
    inputs = [g.add_source(f"s{i}") for i in range(arity)]
    z = g.add_op(name, inputs, identity(name, side))
    out = g.add_op("neg", [z])
    for maximal in (False, True):
        whole, whole_report = g.reduce(outputs=[out], maximal_fusion=maximal)
        inc, inc_report = bc.IncrementalReducer().finalize(g, outputs=[out], maximal_fusion=maximal)
        assert (inc.serialize(), inc.node_map()) == (whole.serialize(), whole.node_map())
        assert inc_report["input_nodes"] == g.node_count() - (arity == 1)
        assert inc_report["reduced_nodes"] == whole_report["reduced_nodes"]


def test_identity_op_without_inputs_is_an_ordinary_node():
    g = bc.GraphStore()
    lonely = g.add_op("add", [], {"scalar": 0.0, "side": "r"})
    g.add_op("neg", [lonely])
    r = bc.IncrementalReducer()
    assert r.step(g) == 2
    assert state(r) == (2, 2, 2)
    _, report = r.finalize(g, outputs=[1])
    assert report["reachable_nodes"] == 2


def test_finalize_before_any_step_consumes_the_store():
    g = worked_example()
    r = bc.IncrementalReducer()
    reduced, report = r.finalize(g, outputs=[5, 6])
    assert set(report) == REPORT_KEYS
    assert report["input_nodes"] == r.canonical_count() == 4
    assert state(r) == (7, 7, 4)
    node_map = reduced.node_map()
    assert len(node_map) == g.node_count() == 7
    assert node_map[2] == node_map[3] == node_map[4]
    assert node_map[5] == node_map[6]
    assert len(reduced.outputs()) == 1


def test_finalize_twice_gives_the_same_result():
    g = worked_example()
    r = bc.IncrementalReducer()
    first, first_report = r.finalize(g, outputs=[6, 0], maximal_fusion=True)
    second, second_report = r.finalize(g, outputs=[6, 0], maximal_fusion=True)
    assert first.nodes() == second.nodes()
    assert first.node_map() == second.node_map()
    assert first.outputs() == second.outputs()
    assert first_report == second_report
    assert state(r) == (7, 7, 4)
    # Still usable afterwards.
    g.add_op("late", [6])
    assert r.step(g) == 1
    again, _ = r.finalize(g, outputs=[7])
    assert len(again.node_map()) == 8


def test_finalize_matches_reduce_when_the_rules_agree():
    g = bc.GraphStore()
    a = g.add_source("a", {"path": "s3://x"})
    b = g.add_source("b")
    a0 = g.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    ab = g.add_op("mul", [a0, b])
    ba = g.add_op("mul", [b, a])
    f = g.add_op("f", [ab], {"k": 3})
    h = g.add_op("h", [ba, f])
    s = g.add_reduction("sum", [h], {"axis": 0})
    out = g.add_op("scale", [s], {"by": 2.5})
    for maximal in (False, True):
        whole, whole_report = g.reduce(outputs=[out, h], maximal_fusion=maximal)
        inc, inc_report = bc.IncrementalReducer().finalize(g, outputs=[out, h], maximal_fusion=maximal)
        assert inc.nodes() == whole.nodes()
        assert inc.outputs() == whole.outputs()
        assert inc.node_map() == whole.node_map()
        assert inc_report["input_nodes"] == 7 and whole_report["input_nodes"] == 9
        for key in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"):
            assert inc_report[key] == whole_report[key], key


def test_finalize_uses_output_marks_when_outputs_is_none():
    g = bc.GraphStore()
    x = g.add_source("x")
    g.add_op("f", [x])
    reduced, _ = g.reduce(outputs=[1])
    # A reduced store has marks; a store built by the add methods has none.
    _, report = bc.IncrementalReducer().finalize(reduced)
    assert report["reachable_nodes"] == reduced.node_count()
    empty, empty_report = bc.IncrementalReducer().finalize(g)
    assert empty.node_count() == 0
    assert empty_report["reachable_nodes"] == 0
    assert empty.node_map() == [None, None]


def test_finalize_with_an_unknown_output_leaves_the_reducer_unchanged():
    g = worked_example()
    r = bc.IncrementalReducer()
    with pytest.raises(ValueError) as e:
        r.finalize(g, outputs=[7])
    assert str(e.value) == "no node with id 7"
    assert state(r) == (0, 0, 0)

    r.step(g)
    g.add_op("late", [6])
    with pytest.raises(ValueError) as e:
        r.finalize(g, outputs=[0, 9])
    assert str(e.value) == "no node with id 9"
    assert state(r) == (7, 7, 4)


def _larger():
    g = worked_example()
    g.add_op("late", [6])
    g.add_op("later", [7])
    return g


OTHER_STORES = {
    "smaller": lambda first: worked_example().reduce(outputs=[6])[0],
    "larger": lambda first: _larger(),
    "empty": lambda first: bc.GraphStore(),
    "copy of the first": lambda first: bc.GraphStore.deserialize(first.serialize()),
}


@pytest.mark.parametrize("other", sorted(OTHER_STORES))
def test_another_store_is_refused_and_changes_nothing(other):
    first = worked_example()
    r = bc.IncrementalReducer()
    r.step(first)
    stranger = OTHER_STORES[other](first)
    for call in (lambda: r.step(stranger), lambda: r.finalize(stranger)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "this IncrementalReducer was fed another GraphStore; use a new reducer for this store"
        assert state(r) == (7, 7, 4)
    assert r.finalize(first, outputs=[6])[0].node_count() == 3


def test_a_store_at_a_reused_address_is_still_another_store():
    r = bc.IncrementalReducer()
    first = bc.GraphStore()
    first.add_source("a")
    r.step(first)
    del first
    # Stores made right after the first is freed often reuse its memory; none of
    # them may pass for it.
    for _ in range(20):
        later = bc.GraphStore()
        later.add_source("a")
        with pytest.raises(ValueError):
            r.step(later)
    assert state(r) == (1, 1, 1)


class Prefix(str):
    """An expected message of which only the start is fixed."""


DESCRIPTOR = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda r, g: r.step(42), TypeError, "argument 'store': 'int' object is not an instance of 'GraphStore'"),
        (lambda r, g: r.step(None), TypeError, "argument 'store': 'None' is not an instance of 'GraphStore'"),
        (
            lambda r, g: r.finalize(bc.PayloadDescriptor(**DESCRIPTOR)),
            TypeError,
            "argument 'store': 'PayloadDescriptor' object is not an instance of 'GraphStore'",
        ),
        (lambda r, g: r.step(), TypeError, "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
        (lambda r, g: r.step(g, other=1), TypeError, "IncrementalReducer.step() got an unexpected keyword argument 'other'"),
        (lambda r, g: r.step(g, store=g), TypeError, "IncrementalReducer.step() got multiple values for argument 'store'"),
        (lambda r, g: r.step(g, g), TypeError, Prefix("IncrementalReducer.step() takes ")),
        (lambda r, g: r.watermark(1), TypeError, Prefix("IncrementalReducer.watermark() takes ")),
        (lambda r, g: r.finalize(g, [0]), TypeError, Prefix("IncrementalReducer.finalize() takes ")),
        (lambda r, g: r.finalize(g, outputs="01"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (lambda r, g: r.finalize(g, outputs=5), TypeError, "argument 'outputs': 'int' object is not an instance of 'Sequence'"),
        (lambda r, g: r.finalize(g, outputs=[0, 1.5]), TypeError, Prefix("argument 'outputs': ")),
        (lambda r, g: r.finalize(g, outputs=[-1]), OverflowError, None),
        (lambda r, g: r.finalize(g, outputs=[2**64]), OverflowError, None),
        (lambda r, g: r.finalize(g, maximal_fusion=1), TypeError, Prefix("argument 'maximal_fusion': ")),
        (lambda r, g: r.finalize(g, maximal_fusion=None), TypeError, Prefix("argument 'maximal_fusion': ")),
    ],
)
def test_argument_errors_leave_the_reducer_unchanged(call, exc, message):
    g = worked_example()
    r = bc.IncrementalReducer()
    with pytest.raises(exc) as e:
        call(r, g)
    assert type(e.value) is exc
    if isinstance(message, Prefix):
        assert str(e.value).startswith(message)
    elif message is not None:
        assert str(e.value) == message
    assert state(r) == (0, 0, 0)


def test_outputs_accepts_any_int_sequence():
    g = worked_example()
    results = [bc.IncrementalReducer().finalize(g, outputs=o)[0].outputs() for o in ([6, 0], (6, 0), range(6, -1, -6))]
    assert results[0] == results[1] == results[2]


def test_threads_step_while_another_thread_adds():
    g = bc.GraphStore()
    r = bc.IncrementalReducer()
    target = 4000
    consumed = []
    lock = threading.Lock()
    done = threading.Event()

    def add():
        last = g.add_source("s")
        i = 0
        while g.node_count() < target:
            i += 1
            if i % 4 == 0:
                last = g.add_op("add", [last], {"scalar": 0.0, "side": "r"})
            elif i % 4 == 1:
                last = g.add_op("add", [last, last // 2])
            elif i % 4 == 2:
                last = g.add_op("add", [last // 2, last])
            else:
                last = g.add_op("f", [last], {"i": i})
        done.set()

    def stepper():
        mine = 0
        while not done.is_set():
            mine += r.step(g)
        with lock:
            consumed.append(mine)

    threads = [threading.Thread(target=stepper) for _ in range(4)] + [threading.Thread(target=add)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    total = sum(consumed) + r.step(g)
    assert total == g.node_count() == r.watermark() == r.total_work()

    fresh = bc.IncrementalReducer()
    outputs = [g.node_count() - 1, 0]
    mine, mine_report = r.finalize(g, outputs=outputs)
    theirs, theirs_report = fresh.finalize(g, outputs=outputs)
    assert mine.nodes() == theirs.nodes()
    assert mine.node_map() == theirs.node_map()
    assert mine_report == theirs_report
    assert r.canonical_count() == fresh.canonical_count()
