"""What threads buy with and without the GIL, in one run.

Usage: VELMORA_PY_DIR=<build>/py/<tag> python bench/ft_threads_bench.py
           [--threads N] [--nodes M] [--rounds R]

1. Independent work: N jobs, each building its own store of M nodes through the
   builders and reducing it, done by N threads at once against the same N jobs
   one after another on one thread. The module never releases the interpreter
   lock, so under a GIL the threads take turns (about 1x); on the free-threaded
   interpreter they run on separate cores, up to N times faster when there are
   N idle cores.
2. One shared store: N threads interning M distinct keys each, into one shared
   store, against the same keys interned by N threads into N stores of their
   own and by one thread into one store. Every intern takes the store's lock,
   so the shared store serializes the interning itself; the argument
   conversion around it still runs in parallel.

Prints the best of R rounds of each, with the CPU time the process used in
that round: CPU time over wall time is how many cores the run kept busy, which
tells a lack of parallelism (about 1) from a lack of idle cores (the machine's
other load) when the speed-up falls short. Each job has its own argument
objects: threads sharing one dict or list would also measure the contention on
its reference count.
"""

import argparse
import os
import sys
import threading
import time

if os.environ.get("VELMORA_PY_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["VELMORA_PY_DIR"]))
from velmora.core import velmora_core as vc  # noqa: E402

NAMES = ("add", "mul", "neg", "exp", "abs")


def job_args(tag, count):
    """(name, inputs, params) for count op nodes over two sources; one in five
    is an identity the reduction removes, and many are commuted pairs."""
    args = []
    for i in range(count):
        name = NAMES[i % len(NAMES)]
        a, b = max(0, i + 1 - (i % 7) - 1), i + 1
        inputs = [b, a] if i % 2 else [a, b]
        if i % 5 == 4:
            params = {"scalar": 0.0 if name == "add" else 1.0, "side": "r"}
            inputs = [b]
        else:
            params = {"tag": tag, "k": i % 11}
        args.append((name, inputs, params))
    return args


def build(store, args):
    store.add_source("x")
    store.add_source("y")
    add = store.add_op
    last = 0
    for name, inputs, params in args:
        last = add(name, inputs, params)
    return last


def build_and_reduce(args):
    store = vc.GraphStore()
    last = build(store, args)
    store.reduce(outputs=[last])


def intern_only(store, args):
    add = store.add_op
    for name, inputs, params in args:
        add(name, inputs, params)


def on_threads(work):
    """Runs each callable of `work` on its own thread; returns the wall time
    from their common start to the last one's end."""
    start = threading.Barrier(len(work) + 1)
    errors = []

    def body(fn):
        start.wait()
        try:
            fn()
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(fn,)) for fn in work]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return elapsed


def serially(work):
    t0 = time.perf_counter()
    for fn in work:
        fn()
    return time.perf_counter() - t0


def best(rounds, measure):
    """(wall, cpu) seconds of the round with the least wall time."""
    runs = []
    for _ in range(rounds):
        c0 = time.process_time()
        wall = measure()
        runs.append((wall, time.process_time() - c0))
    return min(runs)


def line(label, took, base=None):
    wall, cpu = took
    text = "   %-24s %7.3f s  cpu %6.3f s (%.1f cores)" % (label, wall, cpu, cpu / wall)
    if base is not None:
        text += "  speed-up %.2fx" % (base[0] / wall)
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--nodes", type=int, default=50_000)
    parser.add_argument("--rounds", type=int, default=5)
    opt = parser.parse_args()
    n, m = opt.threads, opt.nodes
    args = [job_args(t, m) for t in range(n)]

    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print("Python %s%s, GIL %s, %d cores, %d threads, %d nodes a job, best of %d" % (
        sys.version.split()[0], getattr(sys, "abiflags", ""), "on" if gil else "off",
        os.cpu_count() or 0, n, m, opt.rounds))

    jobs = [lambda a=a: build_and_reduce(a) for a in args]
    one = best(opt.rounds, lambda: serially(jobs))
    many = best(opt.rounds, lambda: on_threads(jobs))
    print("1. own store each: build %d nodes and reduce it, %d jobs" % (m, n))
    print(line("one thread", one))
    print(line("%d threads" % n, many, one))

    sources = ["x", "y"]

    def fresh():
        store = vc.GraphStore()
        for name in sources:
            store.add_source(name)
        return store

    def serial_intern():
        store = fresh()
        return serially([lambda a=a: intern_only(store, a) for a in args])

    def own_intern():
        stores = [fresh() for _ in args]
        return on_threads([lambda s=s, a=a: intern_only(s, a) for s, a in zip(stores, args)])

    shared = []

    def shared_intern():
        store = fresh()
        shared.append(store)
        return on_threads([lambda a=a: intern_only(store, a) for a in args])

    total = n * m
    t_one = best(opt.rounds, serial_intern)
    t_own = best(opt.rounds, own_intern)
    t_shared = best(opt.rounds, shared_intern)
    keys = {(name, tuple(inputs), tuple(sorted(p.items()))) for a in args for name, inputs, p in a}
    assert all(store.node_count() == 2 + len(keys) for store in shared)
    print("2. interning %d keys, %d a thread (%.0f ns a key on one thread)" % (
        total, m, t_one[0] / total * 1e9))
    print(line("one thread, one store", t_one))
    print(line("%d threads, own stores" % n, t_own, t_one))
    print(line("%d threads, one store" % n, t_shared, t_one))
    print("   one shared store against own stores: %+.0f%% wall time" % (
        (t_shared[0] / t_own[0] - 1) * 100))


if __name__ == "__main__":
    main()
