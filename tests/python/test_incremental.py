"""IncrementalReducer: stepping a growing store and finishing with a reduction."""

import gc
import sys
import unittest

from support import chain, vc

IDENTITY = {"scalar": 1.0, "side": "r"}


def counts(r):
    return r.watermark(), r.total_work(), r.canonical_count()


class StepTest(unittest.TestCase):
    def test_new_reducer(self):
        self.assertEqual(counts(vc.IncrementalReducer()), (0, 0, 0))
        with self.assertRaises(TypeError):
            vc.IncrementalReducer(1)
        with self.assertRaises(TypeError):
            vc.IncrementalReducer(store=vc.GraphStore())

    def test_steps_consume_only_the_delta(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a", "b", "c", "d")
        self.assertEqual(r.step(s), 5)
        self.assertEqual(r.step(store=s), 0)
        s.add_op("e", [4])
        s.add_op("f", [5])
        self.assertEqual(r.step(s), 2)
        self.assertEqual(counts(r), (7, 7, 7))

    def test_canonical_form_merges_commuted_and_identity_nodes(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        x, y = s.add_source("x"), s.add_source("y")
        s.add_op("add", [x, y])
        self.assertEqual(r.step(s), 3)
        s.add_op("add", [y, x])
        s.add_op("mul", [3], IDENTITY)
        self.assertEqual(r.step(s), 2)
        self.assertEqual(counts(r), (5, 5, 3))
        s.add_op("add", [y, x], {"p": 1})
        self.assertEqual(r.step(s), 1)
        self.assertEqual(counts(r), (6, 6, 4))

    def test_one_step_or_one_per_node_agree(self):
        s = vc.GraphStore()
        x, y = s.add_source("x"), s.add_source("y")
        a = s.add_op("mul", [x, y])
        b = s.add_op("mul", [y, x])
        s.add_op("sub", [a, b])
        s.add_op("add", [4], {"scalar": 0.0, "side": "l"})
        whole, single = vc.IncrementalReducer(), vc.IncrementalReducer()
        whole.step(s)
        fed = vc.GraphStore()
        for node in s.nodes():
            getattr(fed, "add_" + node["kind"])(node["name"], *(
                [node["inputs"]] if node["kind"] != "source" else []), node["params"])
            single.step(fed)
        self.assertEqual(counts(whole), counts(single))
        self.assertLess(whole.canonical_count(), whole.watermark())
        a_store, a_rep = whole.finalize(s, outputs=[5])
        b_store, b_rep = single.finalize(fed, outputs=[5])
        self.assertEqual((a_store.nodes(), a_store.node_map(), a_rep),
                         (b_store.nodes(), b_store.node_map(), b_rep))

    def test_a_second_store_is_refused(self):
        a, b, r = vc.GraphStore(), vc.GraphStore(), vc.IncrementalReducer()
        chain(a, "neg")
        chain(b, "exp", "log", "sin")
        refs = sys.getrefcount(a)
        self.assertEqual(r.step(a), 2)
        self.assertEqual(sys.getrefcount(a), refs)  # remembered, not kept alive
        expected = r.finalize(a, outputs=[1])
        for call in (lambda: r.step(b), lambda: r.finalize(b, outputs=[0])):
            with self.assertRaises(ValueError) as cm:
                call()
            self.assertIn("belongs to another store", str(cm.exception))
            self.assertEqual(counts(r), (2, 2, 2))
        got = r.finalize(a, outputs=[1])
        self.assertEqual((got[0].nodes(), got[1]), (expected[0].nodes(), expected[1]))
        a.add_op("abs", [1])
        self.assertEqual(r.step(a), 1)
        del a, expected, got
        gc.collect()
        with self.assertRaises(ValueError):  # nor is a store made after it went
            r.step(vc.GraphStore())

    def test_store_argument_errors(self):
        r = vc.IncrementalReducer()
        for call in (lambda: r.step(42), lambda: r.step(store=None), lambda: r.step(),
                     lambda: r.step(vc.GraphStore(), vc.GraphStore()),
                     lambda: r.watermark(1)):
            with self.assertRaises(TypeError):
                call()
        with self.assertRaises(TypeError) as cm:
            r.step(42)
        self.assertIn("store", str(cm.exception))
        self.assertEqual(counts(r), (0, 0, 0))


class FinalizeTest(unittest.TestCase):
    def test_same_result_as_reduce_for_a_chain(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a", "b")
        reduced, rep = r.finalize(s, outputs=[2])
        expected, expected_rep = s.reduce(outputs=[2])
        self.assertEqual(reduced.nodes(), expected.nodes())
        self.assertEqual(reduced.outputs(), [1])
        self.assertEqual(reduced.node_map(), [(0, None), (1, 0), (1, 1)])
        self.assertEqual(rep, expected_rep)

    def test_without_marks_the_result_is_empty(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a")
        s.add_op("mul", [1], IDENTITY)
        reduced, rep = r.finalize(s)
        self.assertEqual(reduced.node_count(), 0)
        self.assertEqual(rep["input_nodes"], r.canonical_count())
        self.assertEqual(rep["input_nodes"], 2)
        self.assertEqual(reduced.node_map(), [None] * 3)

    def test_finalize_consumes_the_rest_and_can_repeat(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a", "b", "c")
        r.step(s)
        s.add_op("mul", [3], IDENTITY)
        s.add_op("d", [4])
        first, first_rep = r.finalize(s, outputs=[5])
        self.assertEqual(counts(r)[:2], (6, 6))
        second, second_rep = r.finalize(s, outputs=[5])
        self.assertEqual((first.nodes(), first_rep), (second.nodes(), second_rep))
        self.assertEqual(len(first.node_map()), r.watermark())
        self.assertEqual(first.node_map()[4], first.node_map()[3])
        s.add_op("e", [5])
        self.assertEqual(r.step(s), 1)

    def test_marks_of_the_store_are_used(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a", "b")
        marked, _ = s.reduce(outputs=[2])
        reduced, rep = r.finalize(marked)
        self.assertEqual(reduced.outputs(), [1])
        self.assertEqual(rep["boundary_nodes"], 2)

    def test_bad_output_consumes_nothing(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a", "b", "c")
        r.step(s)
        for i in range(6):
            s.add_op("n%d" % i, [3 + i])
        with self.assertRaises(ValueError) as cm:
            r.finalize(s, outputs=[2, 99, 10])
        self.assertEqual(str(cm.exception), "no node with id 99")
        self.assertEqual(counts(r), (4, 4, 4))
        reduced, _ = r.finalize(s, outputs=[9])
        self.assertEqual(r.watermark(), 10)
        self.assertEqual(reduced.node_count(), 2)

    def test_argument_errors(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(s, "a")
        calls = [lambda: r.finalize(s, maximal_fusion=1), lambda: r.finalize(s, True),
                 lambda: r.finalize(s, outputs="1"), lambda: r.finalize(outputs=[1]),
                 lambda: r.finalize(None)]
        for call in calls:
            with self.assertRaises(TypeError):
                call()
        with self.assertRaises(TypeError) as cm:
            r.finalize(42, maximal_fusion=1, outputs="x")
        self.assertIn("store", str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            r.finalize(s, maximal_fusion=1, outputs="x")
        self.assertIn("maximal_fusion", str(cm.exception))
        self.assertEqual(counts(r), (0, 0, 0))

    def test_maximal_fusion(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        s.add_source("s")
        s.add_op("a", [0])
        s.add_op("b", [1])
        s.add_op("c", [1])
        s.add_op("d", [2, 3])
        _, default = r.finalize(s, outputs=[4])
        _, maximal = r.finalize(s, maximal_fusion=True, outputs=[4])
        self.assertEqual((default["stages"], maximal["stages"]), (2, 1))


if __name__ == "__main__":
    unittest.main()
