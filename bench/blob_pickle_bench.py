"""Compare the IR blob with pickle, in one run, on the same graph.

For a store built through the builders (mostly parameterised ops, plus
sources, externals, exchanges and joins), it times

  blob:   GraphStore.serialize(outputs=...) and GraphStore.deserialize(blob)
  pickle: pickle.dumps(store.nodes()) and pickle.loads(...) of that list

and prints the best of several rounds as seconds, MB/s of the encoded size
and nodes/s, with both encoded sizes. The pickle side starts from an already
built nodes() list (its cost is printed separately), and pickle.loads gives
back plain dicts, not a store.

Run it with the directory of a staged module build on the command line, e.g.

  cmake -S . -B build-x -DVELMORA_PYTHONS=/usr/bin/python3.11
  cmake --build build-x -j2
  python3.11 bench/blob_pickle_bench.py build-x/py/py311 [--nodes 200000] [--rounds 5]

The interpreter running the script must be the one the module was built for
(the tag names it; build-x/python-tags.txt lists tag and interpreter).
"""

import argparse
import os
import pickle
import sys
import time


def build(core, count):
    store = core.GraphStore()
    descriptor = {
        "kind": "onnx",
        "content_hash": "sha256:ab12",
        "framework": "torch",
        "version": "2.3",
        "io_schema": "f32[n]->f32[n]",
    }
    names = ("add", "mul", "scale", "clip")
    last = store.add_source("table_0", {"rows": 0})
    for i in range(1, count):
        kind = i % 10
        if i % 1000 == 0:
            last = store.add_source("table_%d" % i, {"rows": i})
        elif kind == 1:
            last = store.add_external(descriptor, [last], {"batch": i})
        elif kind == 2:
            last = store.add_join([last, i // 2], {"how": "inner"})
        elif kind == 3:
            last = store.add_exchange([last], {"scheme": "hash", "parts": i})
        else:
            inputs = [last, i - 3] if i % 7 == 0 and i >= 3 else [last]
            last = store.add_op(names[i % 4], inputs,
                                {"scalar": i * 0.5, "side": "l" if i % 2 else "r"})
    return store


def best_of(rounds, fn):
    best, result = None, None
    for _ in range(rounds):
        t0 = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t0
        best = dt if best is None or dt < best else best
    return best, result


def line(label, seconds, size, count):
    print("  %-18s %8.3f s %10.1f MB/s %12.0f nodes/s"
          % (label, seconds, size / seconds / 1e6, count / seconds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("module_dir", help="staged module directory, e.g. build-x/py/py311")
    parser.add_argument("--nodes", type=int, default=200000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.nodes < 1 or args.rounds < 1:
        parser.error("--nodes and --rounds must be positive")

    sys.path.insert(0, os.path.abspath(args.module_dir))
    from velmora.core import velmora_core as core

    t0 = time.perf_counter()
    store = build(core, args.nodes)
    count = store.node_count()
    print("velmora_core %s, Python %s: %d nodes built in %.2f s"
          % (core.version(), sys.version.split()[0], count, time.perf_counter() - t0))
    outputs = [count - 1, count // 2]

    write_s, blob = best_of(args.rounds, lambda: store.serialize(outputs))
    read_s, back = best_of(args.rounds, lambda: core.GraphStore.deserialize(blob))
    if back.node_count() != count or back.serialize() != blob:
        raise SystemExit("the blob did not round-trip")

    listing_s, nodes = best_of(args.rounds, store.nodes)
    dumps_s, pickled = best_of(args.rounds,
                               lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL))
    loads_s, loaded = best_of(args.rounds, lambda: pickle.loads(pickled))
    if loaded != nodes:
        raise SystemExit("pickle did not round-trip")

    print("sizes: blob %d bytes (%.1f/node), pickle %d bytes (%.1f/node)"
          % (len(blob), len(blob) / count, len(pickled), len(pickled) / count))
    print("best of %d rounds:" % args.rounds)
    line("blob serialize", write_s, len(blob), count)
    line("blob deserialize", read_s, len(blob), count)
    line("nodes() listing", listing_s, len(pickled), count)
    line("pickle.dumps", dumps_s, len(pickled), count)
    line("pickle.loads", loads_s, len(pickled), count)
    print("blob serialize is %.1f times as fast as pickle.dumps, deserialize %.1f times as fast"
          " as pickle.loads" % (dumps_s / write_s, loads_s / read_s))


if __name__ == "__main__":
    main()
