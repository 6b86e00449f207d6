"""Hand-written IR blob bytes for tests: a second, deliberately naive writer.

Records are built field by field from the layout, so a test can produce blobs
that serialize() never writes (stages, duplicate records, bad tags).
"""

import struct

MAGIC = b"BIR1"


def u8(n):
    return bytes([n])


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return u32(len(b)) + b


def ids(values):
    return u32(len(values)) + b"".join(u64(v) for v in values)


def params(entries=()):
    """entries: (key, tag, payload bytes) triples, written in the given order."""
    return u32(len(entries)) + b"".join(text(k) + u8(tag) + payload for k, tag, payload in entries)


def int_param(key, value):
    return (key, 0, struct.pack("<q", value))


def float_param(key, value):
    return (key, 1, struct.pack("<d", value))


def bool_param(key, byte):
    return (key, 2, u8(byte))


def str_param(key, value):
    return (key, 3, text(value))


def source(name, prm=()):
    return u8(0) + text(name) + params(prm)


def op(name, inputs, prm=()):
    return u8(1) + text(name) + params(prm) + ids(inputs)


def reduction(name, inputs, prm=()):
    return u8(2) + text(name) + params(prm) + ids(inputs)


def external(fields, inputs, prm=(), ref=None):
    body = b"".join(text(f) for f in fields)
    body += u8(0) if ref is None else u8(1) + text(ref)
    return u8(3) + body + params(prm) + ids(inputs)


def stage(inputs, members):
    """members: (label, [(ref tag, index), ...]) pairs."""
    out = u8(4) + ids(inputs) + u32(len(members))
    for label, args in members:
        out += text(label) + u32(len(args)) + b"".join(u8(tag) + u32(i) for tag, i in args)
    return out


def exchange(inputs, prm=()):
    return u8(5) + params(prm) + ids(inputs)


def join(inputs, prm=()):
    return u8(6) + params(prm) + ids(inputs)


def blob(records, outputs=()):
    return MAGIC + u32(len(records)) + b"".join(records) + u32(len(outputs)) + b"".join(u64(o) for o in outputs)
