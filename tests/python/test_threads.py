"""One store or reducer shared by several threads."""

import threading
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


if __name__ == "__main__":
    unittest.main()
