#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Run it after a format change and read the diff; the seeds are small on purpose.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def u8(v): return struct.pack("<B", v)
def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)
def s(b): return u32(len(b)) + b
def ids(*xs): return u32(len(xs)) + b"".join(u64(x) for x in xs)
def params(*entries): return u32(len(entries)) + b"".join(entries)
def p_int(k, v): return s(k) + u8(0) + struct.pack("<q", v)
def p_float(k, bits): return s(k) + u8(1) + u64(bits)
def p_bool(k, v): return s(k) + u8(2) + u8(v)
def p_str(k, v): return s(k) + u8(3) + s(v)
def blob(records, outputs): return b"BIR1" + u32(len(records)) + b"".join(records) + ids(*outputs)


source = u8(0) + s(b"src") + params(p_int(b"n", 1))
every_kind = [
    source,
    u8(1) + s(b"add") + params(p_float(b"scalar", 0), p_str(b"side", b"r")) + ids(0),
    u8(2) + s(b"sum") + params(p_int(b"axis", 0), p_bool(b"keep", 1)) + ids(1),
    u8(3) + s(b"onnx") + s(b"sha256:ab") + s(b"torch") + s(b"2.1") + s(b"f32") + u8(1) + s(b"ref")
    + params(p_float(b"x", 0x7FF8000000000001)) + ids(2),
    u8(3) + s(b"onnx") + s(b"h") + s(b"torch") + s(b"2.1") + s(b"f32") + u8(0) + params() + ids(),
    u8(4) + ids(3, 4) + u32(2) + s(b"op|a") + u32(1) + u8(0) + u32(1)
    + s(b"red|b|axis=i0") + u32(2) + u8(1) + u32(0) + u8(0) + u32(0),
    u8(5) + params(p_int(b"n", 4)) + ids(5),
    u8(6) + params(p_str(b"how", "inn\u00e9r".encode())) + ids(6, 0),
]

blob_seeds = {
    "empty": blob([], []),
    "two_nodes": blob([source, u8(1) + s(b"neg") + params() + ids(0)], [1]),
    "every_kind": blob(every_kind, [7, 2, 7]),
    "noncanonical": blob([u8(0) + s(b"s") + params(p_bool(b"b", 2), p_int(b"a", 1))], [0]) + b"trailing",
    "err_bad_magic": b"BIR2" + u32(0) + u32(0),
    "err_truncated": b"BIR1" + u32(0xFFFFFFFF) + u64(0) + u32(0),
    "err_node_tag": b"BIR1" + u32(1) + u8(7),
    "err_param_tag": b"BIR1" + u32(1) + u8(0) + s(b"s") + u32(1) + s(b"k") + u8(4),
    "err_stage_ref_tag": b"BIR1" + u32(1) + u8(4) + ids() + u32(1) + s(b"op|f") + u32(1) + u8(2) + u32(0),
    "err_utf8": b"BIR1" + u32(1) + u8(0) + s(b"\xff\xfe") + params() + ids(),
    "err_node_ref": blob([source, source, u8(1) + s(b"f") + params() + ids(1)], []),
}

label_seeds = {
    "op_add": b"op|add|scalar=f0000000000000000;side=sr",
    "red_sum": b"red|sum|axis=i0",
    "bare": b"op|scale",
    "escaped": b"op|a%7Cb%25|k%3Dy=sa%3Bb;z=s|",
    "params": b"x=btrue;y=sab;i=i-9223372036854775808;f=f+3ff0000000000000",
    "bad_trailing": b"x=i1;",
}

for target, seeds in (("blob_decode_fuzzer", blob_seeds), ("label_fuzzer", label_seeds)):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)
