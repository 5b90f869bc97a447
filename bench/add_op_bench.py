"""add_op throughput: the native store against a pure-Python interner that does
the same hash-consing (type-classified params sorted by name, floats by bit
pattern with NaNs folded, inputs checked, a dict of tuple keys), in one run.

Usage: VELMORA_PY_DIR=<build>/py/<tag> python bench/add_op_bench.py [calls]
Prints ns per call for new keys and for repeated keys, and the speed-ups.
"""

import math
import os
import struct
import sys
import time

if os.environ.get("VELMORA_PY_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["VELMORA_PY_DIR"]))
from velmora.core import velmora_core as vc  # noqa: E402

_float_bits = struct.Struct("<d").pack
_NAN_BITS = _float_bits(math.nan)


class PyInterner:
    def __init__(self):
        self.index = {}
        self.nodes = []

    def add_source(self, name):
        return self._intern(("src", name, (), ()))

    def add_op(self, name, inputs, params=None):
        if not isinstance(name, str):
            raise TypeError("name must be a str")
        ids = tuple(inputs)
        count = len(self.nodes)
        for i in ids:
            if i >= count:
                raise ValueError("no node with id %d" % i)
        items = []
        if params:
            for key, value in params.items():
                if type(value) is bool:
                    items.append((key, 2, value))
                elif isinstance(value, int):
                    items.append((key, 0, value))
                elif isinstance(value, float):
                    items.append((key, 1, _NAN_BITS if value != value else _float_bits(value)))
                elif isinstance(value, str):
                    items.append((key, 3, value))
                else:
                    raise TypeError("param values must be int, float, bool, or str")
            items.sort(key=lambda item: item[0])
        return self._intern(("op", name, tuple(items), ids))

    def _intern(self, key):
        found = self.index.get(key)
        if found is None:
            found = len(self.nodes)
            self.index[key] = found
            self.nodes.append(key)
        return found


def calls(n):
    # One input, two params, over a pool of distinct keys.
    return [("op%d" % (i % 64), [i % 97], {"scale": float(i), "side": "r" if i % 2 else "l"})
            for i in range(n)]


def timed(make, args):
    best_new = best_hit = math.inf
    for _ in range(3):
        store = make()
        for i in range(97):
            store.add_source("s%d" % i)
        add = store.add_op
        t0 = time.perf_counter()
        for name, inputs, params in args:
            add(name, inputs, params)
        t1 = time.perf_counter()
        for name, inputs, params in args:
            add(name, inputs, params)
        t2 = time.perf_counter()
        best_new = min(best_new, t1 - t0)
        best_hit = min(best_hit, t2 - t1)
    return best_new / len(args) * 1e9, best_hit / len(args) * 1e9


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    args = calls(n)
    native = timed(vc.GraphStore, args)
    python = timed(PyInterner, args)
    print("add_op, one input and two params, %d calls, Python %s" % (n, sys.version.split()[0]))
    print("%-22s %12s %12s" % ("", "new keys", "repeat keys"))
    print("%-22s %9.0f ns %9.0f ns" % ("velmora_core", *native))
    print("%-22s %9.0f ns %9.0f ns" % ("pure-Python interner", *python))
    print("%-22s %11.1fx %11.1fx" % ("speed-up", python[0] / native[0], python[1] / native[1]))


if __name__ == "__main__":
    main()
