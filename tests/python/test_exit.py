"""The interpreter may exit while daemon threads are inside the module.

On the free-threaded build the interpreter ends such a thread when it re-attaches,
by unwinding its stack; that has to pass through the module's frames. Each run is
a child process whose main thread exits with status 7 while two daemon threads
loop over one call; it must end with that status and nothing on stderr, 20 runs
of 20 (a run takes a fifth of a second).
"""

import subprocess
import sys

import pytest

from workload import under_sanitizer

CHILD = r"""
import sys, threading, time
import brantel_core as bc

method, pause = sys.argv[1], float(sys.argv[2])
g = bc.GraphStore()
last = g.add_source("s")
for i in range(20_000):
    last = g.add_op("add" if i % 3 == 0 else f"f{i % 7}", [last], {"scalar": 0.0, "side": "r"} if i % 3 == 0 else {"i": i})
blob = g.serialize()
r = bc.IncrementalReducer()
work = {
    "reduce": lambda: g.reduce(outputs=[last], maximal_fusion=True),
    "step": lambda: bc.IncrementalReducer().step(g),
    "finalize": lambda: r.finalize(g, outputs=[last]),
    "serialize": g.serialize,
    "deserialize": lambda: bc.GraphStore.deserialize(blob),
    "add": lambda: [g.add_op("a", [k], {"n": threading.get_ident()}) for k in range(5_000)],
}[method]
running = threading.Barrier(3)


def loop():
    running.wait()
    while True:
        work()


for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
running.wait()
time.sleep(pause)
sys.exit(7)
"""

METHODS = ["reduce", "step", "finalize", "serialize", "deserialize", "add"]


@pytest.mark.thread_unsafe
@pytest.mark.skipif(under_sanitizer(), reason="twenty interpreter start-ups per case are too slow under a sanitizer")
@pytest.mark.parametrize("method", METHODS)
def test_exit_with_daemon_threads_inside_a_call(method):
    for run in range(20):
        # Staggered pauses meet the threads at different points of their calls.
        child = subprocess.run([sys.executable, "-c", CHILD, method, str(0.02 + 0.013 * run)],
                               capture_output=True, text=True, timeout=120)
        assert (child.returncode, child.stderr) == (7, ""), f"run {run}"
