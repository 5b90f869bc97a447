"""reduce against a straightforward pure-Python program doing the same pipeline
(dead-code elimination, canonicalization by hash-consing with commuted operands
and identity scalars folded, duplicate elimination, single-use stage fusion,
provenance), on the mixed graph of bench/mixed_graph.h, drawn from the same seed.

Usage: VELMORA_PY_DIR=<build>/py/<tag> python bench/reduce_peer_bench.py [nodes] [rounds]
Prints both times, the speed-up, and checks that both report the same counts.
"""

import math
import os
import struct
import sys
import time

if os.environ.get("VELMORA_PY_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["VELMORA_PY_DIR"]))
from velmora.core import velmora_core as vc  # noqa: E402

MASK = (1 << 64) - 1
UNARY = ("neg", "exp", "log", "abs", "sqrt", "tanh")
BINARY = ("add", "mul", "maximum", "minimum")
COMMUTATIVE = frozenset(("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"))
_bits = struct.Struct("<d").pack


class SplitMix:
    def __init__(self, seed):
        self.s = seed

    def next(self):
        self.s = (self.s + 0x9E3779B97F4A7C15) & MASK
        z = self.s
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n


class Recorder:
    """Records into a velmora store and, if `keep`, keeps the same graph as plain
    tuples (kind, name, params, inputs) for the Python pipeline."""

    def __init__(self, keep=True):
        self.store = vc.GraphStore()
        self.nodes = [] if keep else None
        self.used = []

    def put(self, kind, name, params, inputs):
        for i in inputs:
            self.used[i] = True
        if kind == "source":
            nid = self.store.add_source(name, params)
        elif kind == "reduction":
            nid = self.store.add_reduction(name, inputs, params)
        else:
            nid = self.store.add_op(name, inputs, params)
        if nid == len(self.used):
            if self.nodes is not None:
                items = tuple(sorted((k, _bits(v) if isinstance(v, float) else v)
                                     for k, v in params.items()))
                self.nodes.append((kind, name, items, tuple(inputs)))
            self.used.append(False)
        return nid


def record_mixed_graph(target, seed=42, keep=True):
    rng = SplitMix(seed)
    rec = Recorder(keep)

    def near():
        gap = 1
        while (rng.next() & 3) != 0 and gap < 64:
            gap += 1
        n = len(rec.used)
        return 0 if gap >= n else n - gap

    recent = []
    rec.put("source", "rows", {"part": 0}, [])
    part = 1
    while len(rec.used) < target:
        r = rng.below(100)
        if r < 3:
            rec.put("source", "rows", {"part": part}, [])
            part += 1
        elif r < 13:
            rec.put("reduction", "sum" if r < 8 else "mean", {"axis": 0}, [near()])
        elif r < 23:
            side = "l" if r & 1 else "r"
            if r < 18:
                rec.put("op", "add", {"scalar": 0.0, "side": side}, [near()])
            else:
                rec.put("op", "mul", {"scalar": 1.0, "side": side}, [near()])
        elif r < 45:
            name = BINARY[rng.below(4)]
            a = near()
            b = rng.below(len(rec.used))
            rec.put("op", name, {}, [a, b])
            recent.append((name, a, b))
            if len(recent) > 16:
                del recent[0]
        elif r < 50 and recent:
            name, a, b = recent[rng.below(len(recent))]
            rec.put("op", name, {}, [b, a])
        elif r < 60:
            k = float(rng.below(8) + 2)
            rec.put("op", "mul", {"scalar": k}, [near()])
        else:
            rec.put("op", UNARY[rng.below(6)], {}, [near()])
    level = [i for i, u in enumerate(rec.used) if not u]
    while len(level) > 1:
        nxt = []
        for i in range(0, len(level), 8):
            chunk = level[i:i + 8]
            nxt.append(chunk[0] if len(chunk) == 1 else rec.put("op", "combine", {}, chunk))
        level = nxt
    return rec, level[0]


IDENTITIES = frozenset((("add", (("scalar", _bits(0.0)), ("side", s)))) for s in "lr") | \
    frozenset((("mul", (("scalar", _bits(1.0)), ("side", s)))) for s in "lr")


def python_reduce(nodes, outputs):
    """The pipeline over (kind, name, params, inputs) tuples; returns the counts."""
    n = len(nodes)
    # Dead code.
    live = [False] * n
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if not live[i]:
            live[i] = True
            stack.extend(nodes[i][3])
    # Canonical form: hash-cons in order, children through their classes.
    canon = [-1] * n
    index = {}
    graph = []  # (template, children, opaque)
    for i in range(n):
        if not live[i]:
            continue
        kind, name, params, inputs = nodes[i]
        children = tuple(canon[c] for c in inputs)
        if kind == "op" and len(children) == 1 and (name, params) in IDENTITIES:
            canon[i] = children[0]
            continue
        key = (kind, name, params, children)
        if kind == "op" and not params and len(children) == 2 and name in COMMUTATIVE:
            swapped = (kind, name, params, children[::-1])
            if swapped in index:
                key = swapped
        found = index.get(key)
        if found is None:
            found = len(graph)
            index[key] = found
            graph.append(((kind, name, params), children, kind != "op"))
        canon[i] = found
    reachable = sum(live)
    outs = [canon[o] for o in outputs]
    # Single-use fusion.
    m = len(graph)
    consumers = [[] for _ in range(m)]
    for j, (_, children, _) in enumerate(graph):
        for c in children:
            consumers[c].append(j)
    is_out = [False] * m
    for o in outs:
        is_out[o] = True
    parent = list(range(m))

    def root(x):
        r = x
        while parent[r] != r:
            r = parent[r]
        while parent[x] != r:
            parent[x], x = r, parent[x]
        return r

    for i, (_, _, opaque) in enumerate(graph):
        cs = consumers[i]
        if not opaque and len(cs) == 1 and not is_out[i] and not graph[cs[0]][2]:
            a, b = root(i), root(cs[0])
            if a != b:
                parent[max(a, b)] = min(a, b)
    key = [i if graph[i][2] else root(i) for i in range(m)]
    groups = {}
    for i in range(m):
        groups.setdefault(key[i], []).append(i)
    reduced = []
    emitted = {}
    placement = [None] * m
    stages = boundary = 0
    for k in sorted(groups, key=lambda k: groups[k][-1]):
        members = groups[k]
        if graph[k][2]:
            tmpl, children, _ = graph[k]
            reduced.append((tmpl, tuple(emitted[key[c]] for c in children)))
            boundary += 1
            emitted[k] = len(reduced) - 1
            placement[k] = (emitted[k], None)
            continue
        number = {x: p for p, x in enumerate(members)}
        slots = {}
        ops = []
        for x in members:
            refs = []
            for c in graph[x][1]:
                if c in number:
                    refs.append(("member", number[c]))
                else:
                    refs.append(("input", slots.setdefault(key[c], len(slots))))
            ops.append((graph[x][0], tuple(refs)))
        reduced.append((tuple(emitted[s] for s in slots), tuple(ops)))
        stages += 1
        emitted[k] = len(reduced) - 1
        for p, x in enumerate(members):
            placement[x] = (emitted[k], p)
    node_map = [placement[canon[i]] if live[i] else None for i in range(n)]
    return node_map, {"input_nodes": n, "reachable_nodes": reachable, "canonical_nodes": m,
                      "stages": stages, "reduced_nodes": len(reduced), "boundary_nodes": boundary}


def best_of(rounds, f):
    best, result = math.inf, None
    for _ in range(rounds):
        t0 = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    rec, out = record_mixed_graph(size)
    native_s, (reduced, report) = best_of(rounds, lambda: rec.store.reduce(outputs=[out]))
    python_s, (node_map, counts) = best_of(rounds, lambda: python_reduce(rec.nodes, [out]))
    n = len(rec.nodes)
    print("reduce of the %d-node mixed graph, Python %s, best of %d"
          % (n, sys.version.split()[0], rounds))
    print("%-26s %9.3f s %12.0f nodes/s" % ("velmora_core reduce", native_s, n / native_s))
    print("%-26s %9.3f s %12.0f nodes/s" % ("pure-Python pipeline", python_s, n / python_s))
    print("%-26s %9.1fx" % ("speed-up", python_s / native_s))
    same = dict(report) == counts and reduced.node_map() == node_map
    print("same counts and node_map: %s  %s" % ("yes" if same else "NO", counts))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
