"""Hand-written IR blobs, for stores the builders cannot make."""

import struct


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def string(s):
    b = s.encode()
    return u32(len(b)) + b


def ids(seq):
    return u32(len(seq)) + b"".join(u64(i) for i in seq)


def source(name):
    return b"\x00" + string(name) + u32(0)


def stage(inputs, members):
    """members: (op text, [("input"|"member", k), ...]) pairs."""
    out = b"\x04" + ids(inputs) + u32(len(members))
    for op, refs in members:
        out += string(op) + u32(len(refs))
        for word, k in refs:
            out += (b"\x00" if word == "input" else b"\x01") + u32(k)
    return out


def blob(records, outputs=()):
    return b"VIR1" + u32(len(records)) + b"".join(records) + ids(outputs)
