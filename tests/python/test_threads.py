"""One store or reducer shared by several threads.

Under an interpreter with a GIL the module's calls never overlap, so these
tests mostly check the bookkeeping; on the free-threaded interpreter the calls
really run at the same time, and only the store's and the reducer's own locks
keep them apart.
"""

import random
import threading
import time
import unittest

from support import chain, vc

THREADS = 6
KEYS = 300


def run_threads(target, count=THREADS):
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as e:  # surfaced in the main thread below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


class SharedStoreTest(unittest.TestCase):
    def test_interning_from_many_threads(self):
        s = vc.GraphStore()
        root = s.add_source("root")
        shared = [None] * THREADS
        own = [None] * THREADS

        def work(t):
            shared[t] = [s.add_op("f", [root], {"i": i}) for i in range(KEYS)]
            own[t] = [s.add_op("g", [root], {"t": t, "i": i}) for i in range(KEYS)]

        run_threads(work)
        self.assertTrue(all(ids == shared[0] for ids in shared))
        self.assertEqual(len(set(shared[0])), KEYS)
        distinct = {i for ids in own for i in ids}
        self.assertEqual(len(distinct), THREADS * KEYS)
        self.assertFalse(distinct & set(shared[0]))
        self.assertEqual(s.node_count(), 1 + KEYS + THREADS * KEYS)
        self.assertEqual(sorted(distinct | set(shared[0]) | {root}), list(range(s.node_count())))

    def test_reductions_run_while_nodes_are_added(self):
        s = vc.GraphStore()
        chain(s, *["op%d" % i for i in range(50)])
        seen = []

        def work(t):
            if t == 0:
                for i in range(200):
                    s.add_op("late%d" % i, [i])
            elif t == 1:
                for _ in range(20):
                    _, rep = s.reduce(outputs=[50])
                    seen.append(rep["input_nodes"])
            else:
                for _ in range(20):
                    vc.GraphStore.deserialize(s.serialize())
                    s.nodes()

        run_threads(work, 4)
        self.assertEqual(seen, sorted(seen))
        self.assertTrue(all(51 <= n <= 251 for n in seen))
        self.assertEqual(s.node_count(), 251)


class SharedReducerTest(unittest.TestCase):
    def test_steps_from_many_threads_consume_each_node_once(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        s.add_source("x")

        def work(t):
            if t == 0:
                for i in range(400):
                    s.add_op("n%d" % (i % 7), [i])
            elif t == 1:
                for _ in range(30):
                    r.finalize(s, outputs=[0])
                    r.canonical_count()
            else:
                for _ in range(200):
                    r.step(s)

        run_threads(work, 4)
        r.step(s)
        self.assertEqual((r.watermark(), r.total_work()), (401, 401))


class MixedLoadTest(unittest.TestCase):
    """Writers intern into one store while readers list, serialize, reduce and step it."""

    WRITERS = 4
    SHARED = 300  # keys every writer interns, in the same order
    OWN = 200  # keys only one writer interns
    CHUNK = 50  # keys a writer interns before it lets the readers catch up
    KEEP = 40  # results kept per reader for the checks afterwards, one per store size

    @staticmethod
    def shared_key(j, ids, root):
        inputs = [root] + [ids[j - d] for d in (1, 3, 7) if j - d >= 0]
        return "f%d" % (j % 5), inputs, {"j": j, "w": j / 3, "odd": j % 2 == 1}

    def test_interning_under_mixed_load(self):
        s = vc.GraphStore()
        reducers = [vc.IncrementalReducer(), vc.IncrementalReducer()]
        done = threading.Event()
        shared = [None] * self.WRITERS
        own = [None] * self.WRITERS
        listings, blobs, reductions = [], [], []
        ticks = [0] * 6  # calls made by each reader

        def let_readers_in():
            # A writer alone would be done before the readers wake up; waiting
            # for one more reader call puts reads between the writes.
            seen, deadline = sum(ticks), time.monotonic() + 2
            while sum(ticks) == seen and time.monotonic() < deadline and not done.is_set():
                time.sleep(0.0001)

        def writer(t):
            rng = random.Random(t)
            root = s.add_source("root", {"n": 1})
            ids, mine = [], []
            pending = sorted(rng.sample(range(self.SHARED + self.OWN), self.OWN))
            for step in range(self.SHARED + self.OWN):
                if step % self.CHUNK == 0:
                    let_readers_in()
                if pending and pending[0] == step:
                    pending.pop(0)
                    known = [root] + ids + mine
                    inputs = rng.sample(known, min(len(known), rng.randint(1, 3)))
                    mine.append(s.add_op("g", inputs, {"t": t, "i": len(mine)}))
                else:
                    name, inputs, params = self.shared_key(len(ids), ids, root)
                    ids.append(s.add_op(name, inputs, params))
            shared[t], own[t] = [root] + ids, mine

        def lister():
            while not done.is_set():
                snap = s.nodes()
                ticks[0] += 1
                self.assertEqual([n["id"] for n in snap], list(range(len(snap))))
                self.assertTrue(all(i < n["id"] for n in snap for i in n["inputs"]))
                if len(listings) < self.KEEP and (not listings or
                                                  len(listings[-1]) != len(snap)):
                    listings.append(snap)

        def serializer():
            while not done.is_set():
                blob = s.serialize()
                ticks[1] += 1
                if len(blobs) < self.KEEP and (not blobs or len(blobs[-1]) != len(blob)):
                    blobs.append(blob)

        def reducer(incremental):
            rng = random.Random(incremental)
            last = 0
            while not done.is_set():
                n = s.node_count()
                if n == 0:
                    continue
                out = rng.randrange(last if last < n else 0, n)
                fn = s.reduce_incremental if incremental else s.reduce
                reduced, report = fn(outputs=[out])
                ticks[2 + incremental] += 1
                self.assertGreaterEqual(report["input_nodes"], out + 1)
                if len(reductions) < self.KEEP and last != n:
                    reductions.append((out, incremental, reduced.serialize()))
                last = n

        def stepper(k):
            # The second reducer is stepped by both steppers at once.
            while not done.is_set():
                reducers[k].step(s)
                reducers[1].step(s)
                ticks[4 + k] += 1

        readers = [lister, serializer, lambda: reducer(False), lambda: reducer(True),
                   lambda: stepper(0), lambda: stepper(1)]

        def body(i):
            if i < self.WRITERS:
                try:
                    writer(i)
                finally:
                    finished.wait()
            else:
                readers[i - self.WRITERS]()

        # The readers stop once every writer is through.
        finished = threading.Barrier(self.WRITERS, action=done.set)
        run_threads(body, self.WRITERS + len(readers))

        # Equal keys got one id, distinct keys distinct ids, and nothing else is stored.
        self.assertTrue(all(ids == shared[0] for ids in shared))
        self.assertEqual(len(set(shared[0])), 1 + self.SHARED)
        mine = [i for ids in own for i in ids]
        self.assertEqual(len(set(mine)), len(mine))
        self.assertEqual(sorted(mine + shared[0]), list(range(s.node_count())))

        final = s.nodes()
        self.assertTrue(all(i < n["id"] for n in final for i in n["inputs"]))
        # Every listing and every blob taken on the way is the store as it was
        # then: a prefix of the final one, under the same ids.
        for snap in listings:
            self.assertEqual(snap, final[:len(snap)])
        for b in blobs:
            back = vc.GraphStore.deserialize(b).nodes()
            self.assertEqual(back, final[:len(back)])
        # A reduction sees only what its outputs reach, so one made on the way
        # equals the same reduction of the final store.
        self.assertTrue(reductions)
        for out, incremental, got in reductions:
            fn = s.reduce_incremental if incremental else s.reduce
            self.assertEqual(got, fn(outputs=[out])[0].serialize(), (out, incremental))
        for r in reducers:
            r.step(s)
            self.assertEqual(r.watermark(), s.node_count())
            self.assertEqual(r.total_work(), r.watermark())


class ArgumentsMutatedWhileReadTest(unittest.TestCase):
    """Builders reading dicts and lists that other threads change at the same time."""

    ROUNDS = 2000  # calls per builder, at least
    MUTATIONS = 4000  # changes per mutating thread while the builders run, at least
    KEYS = ["k%d" % i for i in range(24)]
    DICT_ERRORS = {"dictionary changed size during iteration",
                   "dictionary keys changed during iteration"}
    FIELDS = dict(kind="onnx", content_hash="h", framework="torch", version="1",
                  io_schema="f32")

    def test_builders_get_a_clean_result_or_the_documented_error(self):
        s = vc.GraphStore()
        base = [s.add_source("x%d" % i) for i in range(6)]
        params = {k: 0 for k in self.KEYS}
        inputs = list(base)
        fields = dict(self.FIELDS)
        done = threading.Event()
        built, refused = [], []
        changes = [0] * 4  # by each mutating thread

        def mutate_dict(t):
            rng = random.Random(t)
            values = [1, -2, 2.5, True, "v", 10**12]
            while not done.is_set():
                changes[t - 2] += 1
                k = rng.choice(self.KEYS)
                action = rng.randrange(4)
                if action == 0:
                    params[k] = rng.choice(values)
                elif action == 1:
                    params.pop(k, None)
                    params[k] = rng.choice(values)
                elif action == 2:
                    params["extra"] = 1
                    params.pop("extra", None)
                else:
                    fields.pop("framework", None)
                    fields["framework"] = rng.choice(["torch", "jax"])

        def mutate_list(t):
            rng = random.Random(t)
            while not done.is_set():
                changes[t - 2] += 1
                action = rng.randrange(5)
                try:
                    if action == 0:
                        inputs.append(rng.choice(base))
                    elif action == 1 and len(inputs) > 1:
                        inputs.pop()
                    elif action == 2:
                        inputs[rng.randrange(len(inputs))] = rng.choice(base)
                    elif action == 3:
                        inputs.sort()
                    else:
                        inputs[:] = rng.sample(base, rng.randint(1, len(base)))
                except (IndexError, ValueError):
                    pass  # the other mutator shrank the list meanwhile

        def build(t):
            try:
                i = 0
                while i < self.ROUNDS or min(changes) < self.MUTATIONS:
                    i += 1
                    try:
                        if i % 3 == 2:
                            built.append(s.add_external(fields, inputs, params))
                        else:
                            built.append(s.add_op("h%d" % t, inputs, params))
                    except RuntimeError as e:
                        self.assertIn(str(e), self.DICT_ERRORS)
                        refused.append(e)
                    except ValueError as e:
                        self.assertEqual(str(e), "descriptor missing required field 'framework'")
                        refused.append(e)
            finally:
                finished.wait()

        def body(i):
            if i < 2:
                build(i)
            elif i < 4:
                mutate_dict(i)
            else:
                mutate_list(i)

        finished = threading.Barrier(2, action=done.set)
        run_threads(body, 6)
        self.assertGreaterEqual(len(built) + len(refused), 2 * self.ROUNDS)
        nodes = s.nodes()
        allowed = set(self.KEYS) | {"extra"}
        for i in built:
            node = nodes[i]
            self.assertTrue(set(node["inputs"]) <= set(base), node)
            self.assertTrue(set(node["params"]) <= allowed, node)
            self.assertTrue(all(type(v) in (int, float, bool, str)
                                for v in node["params"].values()), node)
            if node["kind"] == "external":
                self.assertIn(node["descriptor"]["framework"], ("torch", "jax"))


if __name__ == "__main__":
    unittest.main()
