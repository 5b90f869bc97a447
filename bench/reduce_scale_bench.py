"""reduce from Python as graphs grow, with the memory it adds beside the store it reads,
and deserialize's speed beside serialize's, in one run:
- the mixed graph of bench/mixed_graph.h (drawn as in reduce_peer_bench.py) at 100k, 1M and,
  with --large, 10M nodes: reduce time, nodes/s, and growth from one size to the next;
- a chain whose every node has its own params, add_op("scale", [i], {"k": i, "side": "r"});
- the 1M mixed graph's blob: serialize and deserialize MB/s.

"store" is the resident memory recording the graph added (the Python lists the recorder
keeps are freed first); "peak" is the most resident memory the first reduce of that graph
added above what the process held before it (its result included), read from the kernel's
high-water mark; each graph is recorded and reduced in a fresh process. Times are the best of
the rounds. "faults" are the minor page faults of the first reduce, priced at what touching a
fresh page costs in the same process (measured first), as a share of that reduce's time.

Usage: VELMORA_PY_DIR=<build>/py/<tag> python bench/reduce_scale_bench.py [--large] [rounds]
"""

import mmap
import resource
import subprocess
import sys
import time

from reduce_peer_bench import record_mixed_graph, vc
from store_bench import native_store, resident

MB = 1e6


def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def fault_seconds():
    """What faulting in one fresh 4 KiB page costs here, best of a few 64 MiB maps."""
    size, best = 64 << 20, float("inf")
    for _ in range(3):
        m = mmap.mmap(-1, size)
        t0 = time.perf_counter()
        for i in range(0, size, 4096):
            m[i] = 1
        best = min(best, (time.perf_counter() - t0) / (size // 4096))
        m.close()
    return best


def mixed(n):
    rec, out = record_mixed_graph(n, keep=False)
    return rec.store, out


def scale_chain(n):
    g = native_store(n - 1)  # a source and n - 1 ops, each reading the one before
    return g, g.node_count() - 1


def measure(name, make, n, rounds):
    before = resident()
    store, out = make(n)
    store_bytes = resident() - before
    times = []
    for r in range(rounds):
        base = resident()
        if r == 0:
            reset_peak()
            f0 = minor_faults()
        t0 = time.perf_counter()
        result = store.reduce(outputs=[out])
        times.append(time.perf_counter() - t0)
        if r == 0:
            added = peak() - base
            faults = minor_faults() - f0
        del result
    t = min(times)
    nodes = store.node_count()
    print(f"{name:<14} {nodes:>9} nodes  reduce {t:7.3f} s  {nodes / t / 1e6:5.2f}M nodes/s  "
          f"store {store_bytes / MB:7.1f} MB ({store_bytes / nodes:5.1f} B a node)  "
          f"peak +{added / MB:7.1f} MB ({added / store_bytes:4.2f}x the store)  "
          f"faults {faults} ({faults * FAULT / times[0]:4.0%} of the first reduce at "
          f"{FAULT * 1e6:.1f} us each)", flush=True)
    return store, out, t


def blob_speed(store, out, rounds):
    best_w = best_r = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        blob = store.serialize(outputs=[out])
        best_w = min(best_w, time.perf_counter() - t0)
        t0 = time.perf_counter()
        back = vc.GraphStore.deserialize(blob)
        best_r = min(best_r, time.perf_counter() - t0)
        del back
    print(f"blob of {store.node_count()} nodes: {len(blob) / MB:.1f} MB, serialize "
          f"{len(blob) / best_w / MB:6.0f} MB/s, deserialize {len(blob) / best_r / MB:6.0f} MB/s")


CASES = {"mixed": mixed, "chain": scale_chain}
FAULT = 0.0  # seconds a fresh page costs, measured by each case's process


def child(kind, n, rounds):
    global FAULT
    FAULT = fault_seconds()
    store, out, t = measure(f"mixed {n // 1000}k" if kind == "mixed" else "scale chain 1M",
                            CASES[kind], n, rounds)
    if kind == "mixed" and n == 1_000_000:
        blob_speed(store, out, rounds)
    print(f"= {store.node_count()} {t}")


def main():
    args = sys.argv[1:]
    if args[:1] == ["--case"]:
        return child(args[1], int(args[2]), int(args[3]))
    large = "--large" in args
    args = [a for a in args if a != "--large"]
    rounds = args[0] if args else "3"
    # Each case in a process of its own: resident growth counts only pages new to the
    # process, so memory an earlier case freed would hide part of the next one's store.
    last = None
    for kind, n in [("mixed", 100_000), ("mixed", 1_000_000)] + \
            ([("mixed", 10_000_000)] if large else []) + [("chain", 1_000_000)]:
        out = subprocess.run([sys.executable, __file__, "--case", kind, str(n), rounds],
                             check=True, capture_output=True, text=True).stdout
        lines = out.splitlines()
        print("\n".join(lines[:-1]), flush=True)
        nodes, t = (float(v) for v in lines[-1].split()[1:])
        if kind == "mixed" and last is not None:
            print(f"  growth {last[0] // 1000}k -> {n // 1000}k: {t / last[2]:.2f}x the time for "
                  f"{nodes / last[1]:.2f}x the nodes")
        if kind == "mixed":
            last = (n, nodes, t)


if __name__ == "__main__":
    main()
