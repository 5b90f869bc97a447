"""Store memory and nodes() speed against plain Python holding the same graph.

Records n nodes add_op("scale", [i], {"k": i, "side": "r"}) over one source and
prints, in one run:
- the resident growth per node of a GraphStore, and of a Python dict of tuple
  keys plus a node list (what a pure-Python interner keeps);
- nodes(): microseconds per node, against building the same dicts in Python
  from that tuple list.

Usage: VELMORA_PY_DIR=<build>/py/<tag> python bench/store_bench.py [nodes]
"""

import gc
import os
import sys
import time

if os.environ.get("VELMORA_PY_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["VELMORA_PY_DIR"]))
from velmora.core import velmora_core as vc  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def native_store(n):
    g = vc.GraphStore()
    prev = g.add_source("rows", {})
    add = g.add_op
    for i in range(n):
        prev = add("scale", [prev], {"k": i, "side": "r"})
    return g


def python_store(n):
    index, nodes = {}, []

    def intern(key):
        found = index.get(key)
        if found is None:
            found = index[key] = len(nodes)
            nodes.append(key)
        return found

    prev = intern(("source", "rows", (), ()))
    for i in range(n):
        prev = intern(("op", "scale", (("k", i), ("side", "r")), (prev,)))
    return index, nodes


def python_nodes(nodes):
    out = []
    for i, (kind, name, params, inputs) in enumerate(nodes):
        out.append({"id": i, "output": False, "inputs": list(inputs), "kind": kind,
                    "name": name, "params": dict(params)})
    return out


def measure(make, n):
    before = resident()
    held = make(n)
    return held, (resident() - before) / n


def best(f, rounds=3):
    t = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
        del r
    return t


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    store, native_bytes = measure(native_store, n)
    (index, nodes), python_bytes = measure(python_store, n)
    native_s = best(store.nodes)
    python_s = best(lambda: python_nodes(nodes))
    print("%d nodes add_op(\"scale\", [i], {\"k\": i, \"side\": \"r\"}), Python %s"
          % (n, sys.version.split()[0]))
    print("%-34s %10s %14s" % ("", "bytes/node", "nodes() us/node"))
    print("%-34s %10.0f %14.3f" % ("velmora_core GraphStore", native_bytes, native_s / n * 1e6))
    print("%-34s %10.0f %14.3f" % ("Python dict of tuple keys + list", python_bytes,
                                   python_s / n * 1e6))
    print("%-34s %9.1fx %13.1fx" % ("native advantage", python_bytes / native_bytes,
                                    python_s / native_s))


if __name__ == "__main__":
    main()
