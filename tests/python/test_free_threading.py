"""Free-threaded interpreter: the module keeps the GIL off and serialises threads itself."""

import sys
import sysconfig
import threading

import pytest

import brantel_core
from brantel_core import GraphStore

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs the free-threaded interpreter")

THREADS = 8


def test_importing_keeps_the_gil_disabled():
    assert brantel_core.version() == "0.0.2"
    assert sys._is_gil_enabled() is False


def run_threads(work):
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def main(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=main, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    return results


def build_chain(s, n=2000):
    ids = [s.add_source("src", {"n": 1})]
    for i in range(n):
        ids.append(s.add_op(f"op{i % 13}", [ids[-1], ids[i // 2]], {"axis": i % 4, "scale": 0.5}))
    return ids


def test_threads_adding_the_same_nodes_get_the_same_dense_ids():
    shared = GraphStore()
    results = run_threads(lambda i: build_chain(shared))
    alone = GraphStore()
    expected = build_chain(alone)
    assert all(r == expected for r in results)
    assert shared.node_count() == alone.node_count() == len(set(expected))
    assert sorted(set(expected)) == list(range(shared.node_count()))
    assert shared.serialize() == alone.serialize()


def test_reads_and_reductions_run_while_other_threads_add():
    shared = GraphStore()
    build_chain(shared, 200)

    def work(i):
        if i % 2 == 0:
            return len(build_chain(shared, 1000 + i))
        seen = []
        for _ in range(20):
            n = shared.node_count()
            blob = shared.serialize()
            assert GraphStore.deserialize(blob).node_count() >= n
            _, report = shared.reduce(outputs=[n - 1])
            assert report["input_nodes"] >= n
            seen.append(len(shared.nodes()))
        assert seen == sorted(seen)
        return seen[-1]

    run_threads(work)
    alone = GraphStore()
    for i in range(0, THREADS, 2):
        build_chain(alone, 1000 + i)
    # Every thread's nodes are there whatever the interleaving; ids may differ.
    assert shared.node_count() == alone.node_count()
