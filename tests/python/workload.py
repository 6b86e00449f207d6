"""Shared pieces of the stress, leak, stateful and deep suites.

- run_threads: starts workers behind a barrier, joins them with a deadline and
  re-raises the first failure, so a deadlock fails a test instead of hanging it.
- replay: rebuilds a store from nodes() dicts through the add methods, which is
  how a test gets "the same store, cut at n nodes" to compare a reduction with.
- reduction_faults: the structural promises of every reduced store, checked
  against the store it came from.
"""

import sysconfig
import threading
import time

from brantel_core import GraphStore

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def under_sanitizer():
    """True when a sanitizer runtime is loaded (TSan interpreter or preloaded ASan):
    everything runs 5 to 20 times slower, so budgets are counted in rounds."""
    if "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""):
        return True
    try:
        with open("/proc/self/maps") as maps:
            return "libclang_rt.asan" in maps.read()
    except OSError:
        return False


def run_threads(count, work, timeout=120.0):
    """Runs work(i) on count threads released together; returns the results in
    thread order. Any exception in a worker fails the call."""
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def main(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - re-raised below, in the test's thread
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=main, args=(i,), name=f"worker-{i}") for i in range(count)]
    for t in threads:
        t.start()
    end = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, end - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"threads still running after {timeout}s (deadlock?): {stuck}"
    if errors:
        raise errors[0]
    return results


def add_like(store, node):
    """Adds the node that a nodes() dict describes; returns the id it got."""
    kind = node["kind"]
    params = node["params"]
    if kind == "source":
        return store.add_source(node["name"], params)
    if kind == "op":
        return store.add_op(node["name"], node["inputs"], params)
    if kind == "reduction":
        return store.add_reduction(node["name"], node["inputs"], params)
    if kind == "external":
        return store.add_external(node["descriptor"], node["inputs"], params)
    if kind == "exchange":
        return store.add_exchange(node["inputs"], params)
    if kind == "join":
        return store.add_join(node["inputs"], params)
    raise AssertionError(f"no add method for kind {kind!r}")


def replay(nodes):
    """A fresh store holding exactly these nodes with the same ids (stages and
    marks cannot be added from Python, so the dicts must come from an add-built store)."""
    store = GraphStore()
    for node in nodes:
        got = add_like(store, node)
        assert got == node["id"], f"replay gave id {got} for node {node['id']}"
    return store


def reachable(nodes, outputs):
    """Ids reachable from outputs over the input edges of nodes() dicts."""
    seen = set()
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if i in seen:
            continue
        seen.add(i)
        stack.extend(nodes[i]["inputs"])
    return seen


def dedup(ids):
    out = []
    for i in ids:
        if i not in out:
            out.append(i)
    return out


def reduction_faults(source_nodes, outputs, reduced, report, node_map_length=None):
    """Every broken promise of one reduction, as text (empty when it is sound).

    source_nodes: nodes() of the reduced-from arena (as far as the reduction saw it);
    outputs: the roots it was given. node_map_length overrides the expected node map
    length (finalize indexes it by the fed store's nodes, not by source_nodes).
    """
    faults = []
    rnodes = reduced.nodes()
    nmap = reduced.node_map()
    for n in rnodes:
        if n["kind"] == "op":
            faults.append(f"reduced node {n['id']} is an Op")
        if any(not (0 <= x < n["id"]) for x in n["inputs"]):
            faults.append(f"reduced node {n['id']} refers to {n['inputs']}")
        for j, m in enumerate(n.get("members", ())):
            for ref, index in m["inputs"]:
                bound = len(n["inputs"]) if ref == "input" else j
                if not (0 <= index < bound):
                    faults.append(f"member {j} of stage {n['id']} has ref {(ref, index)}")
    expected_length = len(source_nodes) if node_map_length is None else node_map_length
    if len(nmap) != expected_length:
        faults.append(f"node map has {len(nmap)} entries, expected {expected_length}")
    for i, entry in enumerate(nmap):
        if entry is None:
            continue
        target, member = entry
        if not (0 <= target < len(rnodes)):
            faults.append(f"node map entry {i} points at missing node {target}")
            continue
        if member is not None:
            t = rnodes[target]
            if t["kind"] != "stage" or not (0 <= member < t["n_members"]):
                faults.append(f"node map entry {i} points at member {member} of {t['kind']} {target}")
    if node_map_length is None:
        live = reachable(source_nodes, outputs)
        for i in range(min(len(nmap), len(source_nodes))):
            if (nmap[i] is None) != (i not in live):
                faults.append(f"node map entry {i} is {nmap[i]} but reachable={i in live}")
            elif i in live and source_nodes[i]["kind"] == "op" and nmap[i][1] is None:
                # An identity op may land on its operand, which need not be an op.
                if not is_identity_op(source_nodes[i]):
                    faults.append(f"reachable op {i} landed outside a stage: {nmap[i]}")
        if report["reachable_nodes"] != len(live):
            faults.append(f"report says {report['reachable_nodes']} reachable, found {len(live)}")
        if report["input_nodes"] != len(source_nodes):
            faults.append(f"report says {report['input_nodes']} input nodes, expected {len(source_nodes)}")
        mapped = dedup(nmap[o][0] for o in outputs)
        if reduced.outputs() != mapped:
            faults.append(f"reduced outputs {reduced.outputs()} but the node map gives {mapped}")
    if report["reduced_nodes"] != report["stages"] + report["boundary_nodes"]:
        faults.append(f"report does not add up: {report}")
    if len(rnodes) > report["reduced_nodes"]:
        faults.append(f"{len(rnodes)} nodes stored but {report['reduced_nodes']} emitted")
    return faults


IDENTITY_SCALARS = {"add": 0.0, "mul": 1.0}
COMMUTATIVE_OPS = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}


def is_bare_commutative(node):
    """An op the commutativity rules may swap: one of the eight names, no params, two inputs."""
    return (node["kind"] == "op" and node["name"] in COMMUTATIVE_OPS and not node["params"]
            and len(node["inputs"]) == 2)


def is_identity_op(node):
    """The four identity labels: add of +0.0 or mul by 1.0, on side "r" or "l", nothing else."""
    if node["kind"] != "op" or node["name"] not in IDENTITY_SCALARS:
        return False
    p = node["params"]
    if set(p) != {"scalar", "side"} or type(p["scalar"]) is not float or p["side"] not in ("r", "l"):
        return False
    want = IDENTITY_SCALARS[node["name"]]
    return p["scalar"] == want and str(p["scalar"]) == str(want)
