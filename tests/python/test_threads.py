"""One store or reducer shared by several threads. With a GIL the calls never
overlap, so these mostly check bookkeeping; without one they run at once, and each
test is sized to fail without the lock it leans on (the store's or the reducer's)."""

import random
import threading
import time
import unittest

from support import FREE_THREADED, vc

DESCRIPTOR = dict(kind="onnx", content_hash="h", framework="torch", version="1", io_schema="f32")


def run_threads(target, count):
    """Runs target(0) .. target(count - 1) at once; re-raises the first error."""
    barrier, errors = threading.Barrier(count), []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as e:  # surfaced in the main thread below
            errors.append(e)

    # Daemons: a thread stuck in a corrupted table fails the test, not the run.
    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
        if t.is_alive():
            raise AssertionError("a thread is stuck")
    if errors:
        raise errors[0]


def until_writers_finish(writers, reader_count, writer, reader):
    """Runs writers and readers at once; a reader runs once, then until the writers end."""
    done = threading.Event()
    finished = threading.Barrier(writers, action=done.set)

    def body(i):
        if i >= writers:
            reader(i - writers)
            while not done.is_set():
                reader(i - writers)
            return
        try:
            writer(i)
        finally:
            finished.wait()

    run_threads(body, writers + reader_count)


class StoreLockTest(unittest.TestCase):
    """Writers intern into one store, each the same keys in the same order and
    keys of its own, while readers list, serialize, reduce and step it."""

    ROUNDS, KEYS, KEEP = 6 if FREE_THREADED else 1, 8000, 3  # KEEP: per reader and round

    def test_interning_under_reads(self):
        for _ in range(self.ROUNDS):
            s, r = vc.GraphStore(), vc.IncrementalReducer()
            root = s.add_source("root")
            shared, own, kept = ([[] for _ in range(4)] for _ in range(3))

            def writer(t):
                for i in range(self.KEYS):
                    shared[t].append(s.add_op("f", [root], {"i": i}))
                    own[t].append(s.add_op("g", [shared[t][-1]], {"t": t, "i": i}))

            def reader(k):
                time.sleep(0.001)  # leaves the cores to the writers most of the time
                if k == 3:
                    r.step(s)
                elif len(kept[k]) < self.KEEP:
                    out = s.node_count() - 1
                    fn = (s.reduce, s.reduce_incremental)[len(kept[k]) % 2]
                    kept[k].append((out, s.nodes() if k == 0 else
                                    vc.GraphStore.deserialize(s.serialize()).nodes() if k == 1
                                    else fn(outputs=[out])[0].serialize()))

            until_writers_finish(4, 4, writer, reader)
            self.assertEqual(shared, [shared[0]] * 4)
            self.assertEqual(sorted(sum(own, [root] + shared[0])), list(range(s.node_count())))
            final = s.nodes()  # each id holds the key it was handed out for
            self.assertEqual([final[k]["params"] for k in shared[0] + own[3]],
                             [{"i": i} for i in range(self.KEYS)] +
                             [{"t": 3, "i": i} for i in range(self.KEYS)])
            # Each read saw one moment: a prefix, and a reduction sees only its output's past.
            for _, snap in kept[0] + kept[1]:
                self.assertEqual(snap, final[:len(snap)])
            for j, (out, blob) in enumerate(kept[2]):
                fn = (s.reduce, s.reduce_incremental)[j % 2]
                self.assertEqual(blob, fn(outputs=[out])[0].serialize(), out)
            r.step(s)
            self.assertEqual((r.watermark(), r.total_work()), (len(final), len(final)))


class ReducerLockTest(unittest.TestCase):
    """Threads step and finalize a fresh reducer at once, over a store big enough to overlap."""

    ROUNDS, NODES = 30 if FREE_THREADED else 2, 10000

    def test_each_node_is_consumed_once(self):
        s, rng = vc.GraphStore(), random.Random(5)
        s.add_source("x")
        for _ in range(self.NODES):  # commuted pairs, identities, duplicates
            inputs = [rng.randrange(s.node_count()) for _ in range(rng.randint(1, 2))]
            s.add_op(rng.choice(["add", "mul", "sub"]), inputs,
                     rng.choice([None, {"scalar": 1.0, "side": "l"}]))
        n = s.node_count()
        fresh = vc.IncrementalReducer()
        want = fresh.finalize(s, outputs=[n - 1])[0].serialize()
        for _ in range(self.ROUNDS):
            r, got = vc.IncrementalReducer(), []

            def work(t):
                if t % 2:
                    r.step(s)
                else:
                    got.append(r.finalize(s, outputs=[n - 1])[0].serialize())

            run_threads(work, 4)
            self.assertEqual((r.watermark(), r.total_work(), r.canonical_count()),
                             (n, n, fresh.canonical_count()))
            self.assertEqual(got, [want, want])


class ArgumentsMutatedWhileReadTest(unittest.TestCase):
    """Builders reading dicts and lists that other threads change at the same time."""

    ROUNDS, MUTATIONS = 2000, 4000  # at least: calls per builder, changes per mutator
    KEYS = ["k%d" % i for i in range(24)]
    DICT_ERRORS = {"dictionary changed size during iteration",
                   "dictionary keys changed during iteration"}

    def test_builders_get_a_clean_result_or_the_documented_error(self):
        s = vc.GraphStore()
        base = [s.add_source("x%d" % i) for i in range(6)]
        params, inputs, fields = {k: 0 for k in self.KEYS}, list(base), dict(DESCRIPTOR)
        built, changes = [], [0] * 4  # changes by each mutating thread
        rngs, values = [random.Random(t) for t in range(4)], [1, -2, 2.5, True, "v", 10**12]

        def pop_and_put(d, k, v):
            d.pop(k, None)
            d[k] = v

        mutations = [  # of the dicts for mutating threads 0 and 1, of the list for 2 and 3
            [lambda rng: params.__setitem__(rng.choice(self.KEYS), rng.choice(values)),
             lambda rng: pop_and_put(params, rng.choice(self.KEYS), rng.choice(values)),
             lambda rng: (params.__setitem__("extra", 1), params.pop("extra")),
             lambda rng: pop_and_put(fields, "framework", rng.choice(["torch", "jax"]))],
            [lambda rng: inputs.append(rng.choice(base)),
             lambda rng: len(inputs) > 1 and inputs.pop(),
             lambda rng: inputs.__setitem__(rng.randrange(len(inputs)), rng.choice(base)),
             lambda rng: inputs.sort(),
             lambda rng: inputs.__setitem__(slice(None), rng.sample(base, rng.randint(1, 6)))],
        ]

        def mutate(t):
            changes[t] += 1
            try:
                rngs[t].choice(mutations[t // 2])(rngs[t])
            except (IndexError, KeyError, ValueError):
                pass  # the other thread changed the same container meanwhile

        def build(t):
            i = 0
            while i < self.ROUNDS or min(changes) < self.MUTATIONS:
                i += 1
                try:
                    built.append(s.add_external(fields, inputs, params) if i % 3 == 2
                                 else s.add_op("h%d" % t, inputs, params))
                except RuntimeError as e:
                    self.assertIn(str(e), self.DICT_ERRORS)
                except ValueError as e:
                    self.assertEqual(str(e), "descriptor missing required field 'framework'")

        until_writers_finish(2, 4, build, mutate)
        nodes = s.nodes()
        for node in map(nodes.__getitem__, built):
            self.assertLessEqual(set(node["inputs"]), set(base))
            self.assertLessEqual(set(node["params"]), set(self.KEYS) | {"extra"})
            self.assertTrue(all(type(v) in (int, float, bool, str)
                                for v in node["params"].values()), node)
            self.assertIn(node.get("descriptor", {}).get("framework", "jax"), ("torch", "jax"))


if __name__ == "__main__":
    unittest.main()
