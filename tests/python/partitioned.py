"""Integer-list implementations of a small pipeline vocabulary, and a reference
interpreter of the partition model, for the run tests.

A partition is a list of ints; a single value is an int. Scalars are whole
numbers and every reduction is an integer sum, max or count, so results are
exact whatever the combine tree, and the identities (``+ 0.0``, ``* 1.0``) and
the eight commutative ops really are identities and commutative, which the
reduction relies on. Functions live at module level so that worker processes
can unpickle them.
"""

from brantel import Registry

COMMUTATIVE = ("add", "mul", "maximum", "minimum", "and", "or", "eq", "ne")
BINARY = {
    "add": lambda a, b: a + b,
    "mul": lambda a, b: a * b,
    "maximum": max,
    "minimum": min,
    "and": lambda a, b: int(bool(a) and bool(b)),
    "or": lambda a, b: int(bool(a) or bool(b)),
    "eq": lambda a, b: int(a == b),
    "ne": lambda a, b: int(a != b),
    "sub": lambda a, b: a - b,
}


def elementwise(f, *xs):
    """f over co-partitioned lists, zipped to the shortest; ints broadcast."""
    if not any(isinstance(x, list) for x in xs):
        return f(*xs)
    lists = [x for x in xs if isinstance(x, list)]
    return [f(*[x[k] if isinstance(x, list) else x for x in xs]) for k in range(min(map(len, lists)))]


def source_range(params, index, partitions):
    seed, rows = params["seed"], params["rows"]
    return [(seed * 31 + index * 7 + k * 5) % 23 - 11 for k in range(rows + index % 3)]


def arith(name):
    def op(params, *xs):
        if "scalar" in params:  # one input and a whole-number scalar on a side
            s = int(params["scalar"])
            f = BINARY[name]
            return elementwise(lambda x: f(s, x) if params["side"] == "l" else f(x, s), *xs)
        return elementwise(BINARY[name], *xs)

    op.__name__ = op.__qualname__ = f"op_{name}"
    return op


for _name in BINARY:
    globals()[f"op_{_name}"] = arith(_name)


def op_scale(params, x):
    return elementwise(lambda v: v * params["k"], x)


def op_keep(params, x):
    return [v for v in x if v % params["m"]] if isinstance(x, list) else x


def op_fail(params, x):
    raise ZeroDivisionError("planted")


def flatten(xs):
    out = []
    for x in xs:
        out.extend(x if isinstance(x, list) else [x])
    return out


def sum_chunk(params, *xs):
    return sum(flatten(xs))


def count_chunk(params, *xs):
    return len(flatten(xs))


def add_up(params, partials):
    return sum(partials)


def max_chunk(params, *xs):
    return max(flatten(xs), default=0)


def max_combine(params, partials):
    return max(partials)


def model(descriptor, params, x):
    bias = len(descriptor["content_hash"])
    return elementwise(lambda v: 3 * v + bias, x)


def split_by_value(params, part, partitions):
    pieces = [[] for _ in range(partitions)]
    for v in flatten([part]):
        pieces[v % partitions].append(v)
    return pieces


def concat(params, pieces):
    return flatten(pieces)


def pairwise_join(params, *xs):
    return elementwise(lambda *vs: sum(vs), *[sorted(x) if isinstance(x, list) else x for x in xs])


def registry():
    reg = Registry().source("range", source_range).op("scale", op_scale).op("keep", op_keep)
    for name in BINARY:
        reg.op(name, globals()[f"op_{name}"])
    reg.reduction("sum", sum_chunk, add_up).reduction("count", count_chunk, add_up)
    reg.reduction("max", max_chunk, max_combine)
    reg.external("model", model)
    return reg.exchange(None, split_by_value, concat).join(None, pairwise_join)


def interpret(nodes, outputs, reg, partitions):
    """The partition model run directly: ("parts", [v] * P) or ("one", v) per node."""
    live, stack = set(), list(outputs)
    while stack:
        i = stack.pop()
        if i not in live:
            live.add(i)
            stack.extend(nodes[i]["inputs"])
    values = {}
    for node in (nodes[i] for i in sorted(live)):
        kind, params = node["kind"], node["params"]
        ins = [values[j] for j in node["inputs"]]
        spread = any(shape == "parts" for shape, _ in ins)

        def args(p):
            return [v[p] if shape == "parts" else v for shape, v in ins]

        def mapped(fn, *lead):
            if spread:
                return "parts", [fn(*lead, *args(p)) for p in range(partitions)]
            return "one", fn(*lead, *args(0))

        if kind == "source":
            values[node["id"]] = "parts", [reg.sources[node["name"]](params, p, partitions) for p in range(partitions)]
        elif kind == "op":
            values[node["id"]] = mapped(reg.ops[node["name"]], params)
        elif kind == "external":
            values[node["id"]] = mapped(reg.find_external(node["descriptor"]), node["descriptor"], params)
        elif kind == "join":
            values[node["id"]] = mapped(reg.find_join(params), params)
        elif kind == "reduction":
            impl = reg.reductions[node["name"]]
            _, partials = mapped(impl.chunk, params)
            values[node["id"]] = "one", impl.combine(params, partials if spread else [partials])
        elif kind == "exchange":
            impl = reg.find_exchange(params)
            shape, v = ins[0]
            splits = [impl.split(params, x, partitions) for x in (v if shape == "parts" else [v])]
            values[node["id"]] = "parts", [impl.merge(params, [s[j] for s in splits]) for j in range(partitions)]
        else:
            raise AssertionError(f"the reference runs add-built stores only, not {kind}")
    return [values[o][1] for o in outputs]
