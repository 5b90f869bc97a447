"""Reduction and persistence from Python: which outputs a call reduces against,
what it returns, and the IncrementalReducer fed a growing store."""

import gc
import math
import sys
import unittest

from support import chain, numpy, vc

KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
        "boundary_nodes"]


def fan_out():
    """s -> a; a -> b, c; (b, c) -> d: one stage, or two under the single-use rule."""
    s = vc.GraphStore()
    chain(s, "a", "b")
    s.add_op("c", [1])
    s.add_op("d", [2, 3])
    return s


def result(store_and_report):
    store, report = store_and_report
    return store.nodes(), store.outputs(), store.node_map(), report


class ReduceTest(unittest.TestCase):
    def test_every_way_of_reducing_a_chain(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        members = [{"kind": "op", "name": "a", "params": {}, "inputs": [("input", 0)]},
                   {"kind": "op", "name": "b", "params": {}, "inputs": [("member", 0)]}]
        nodes = [[0, False, [], "source", "s", {}], [1, True, [0], "stage", "", {}, 2, members]]
        keys = ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
        expected = ([dict(zip(keys, n)) for n in nodes], [1], [(0, None), (1, 0), (1, 1)],
                    dict(zip(KEYS, (3, 3, 3, 1, 2, 1))))
        reducer = vc.IncrementalReducer()
        for way in (s.reduce, s.reduce_incremental, lambda **kw: reducer.finalize(s, **kw)):
            got = result(way(outputs=[2]))
            self.assertEqual(got, expected)
            self.assertEqual([list(n) for n in got[0]], [keys[:6], keys])
            self.assertEqual({type(v) for v in got[3].values()}, {int})
        self.assertEqual(s.reduction_report(outputs=[2]), expected[3])

    def test_outputs_are_the_marks_unless_a_list_is_given(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        empty = ([], [], [None] * 3, dict(zip(KEYS, (3, 0, 0, 0, 0, 0))))
        self.assertEqual(result(s.reduce()), empty)
        self.assertEqual(result(vc.IncrementalReducer().finalize(s)), empty)
        marked, _ = s.reduce(outputs=[2])
        for again in (marked.reduce(), vc.IncrementalReducer().finalize(marked)):
            self.assertEqual((again[0].nodes(), again[1]["boundary_nodes"]), (marked.nodes(), 2))
        self.assertEqual(marked.reduce(outputs=[])[0].nodes(), [])
        self.assertEqual(s.reduce(outputs=[2, 2, 0])[0].outputs(), [1, 0])
        self.assertEqual([s.serialize(), s.serialize(None), marked.serialize()],
                         [s.serialize([]), s.serialize([]), marked.serialize([1])])
        twice = s.serialize([1, 1])
        self.assertEqual(twice[-20:], bytes.fromhex("02000000" + "0100000000000000" * 2))
        self.assertEqual(vc.GraphStore.deserialize(twice).outputs(), [1])

    def test_the_variants_agree_and_leave_the_store_alone(self):
        s = fan_out()
        s.add_op("add", [4, 0])
        s.add_op("add", [0, 4])
        before = s.nodes(), s.outputs(), s.node_map(), s.serialize()
        for outputs in ([4], [5, 6], [], [6, 1, 6]):
            reduced, report = s.reduce(outputs=outputs)
            self.assertEqual(result(s.reduce_incremental(outputs=outputs)),
                             result((reduced, report)))
            self.assertEqual(s.reduction_report(outputs=outputs), report)
        self.assertEqual((s.nodes(), s.outputs(), s.node_map(), s.serialize()), before)

    def test_maximal_fusion_reaches_the_reduction(self):
        flags = [(False, 2), (True, 1)]
        if numpy is not None:
            flags += [(numpy.bool_(False), 2), (numpy.bool_(True), 1)]
            self.assertEqual(fan_out().reduce(outputs=numpy.array([4, 4]))[0].outputs(), [2])
            for flag in (numpy.array(True), numpy.int64(1)):
                self.assertRaises(TypeError, fan_out().reduce, maximal_fusion=flag)
        for flag, stages in flags:
            s = fan_out()
            for way in (s.reduce, lambda **kw: vc.IncrementalReducer().finalize(s, **kw)):
                self.assertEqual(way(maximal_fusion=flag, outputs=[4])[1]["stages"], stages)

    def test_blob_round_trip(self):
        s = fan_out()
        s.add_join([4, 0], {"nan": math.nan, "neg": -0.0, "text": "a;b=c|d%\u00e9"})
        data = s.serialize([5, 2])
        back = vc.GraphStore().deserialize(data=data)
        self.assertEqual((back.outputs(), back.serialize(), back.node_map()), ([5, 2], data, []))
        # NaN != NaN, so compare the printed form; only the output flags differ.
        self.assertEqual(repr([dict(n, output=False) for n in back.nodes()]), repr(s.nodes()))


class IncrementalTest(unittest.TestCase):
    def test_steps_consume_the_delta_and_finalize_the_rest(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        counts = [(r.watermark(), r.total_work(), r.canonical_count())]
        x, y = s.add_source("x"), s.add_source("y")
        s.add_op("add", [x, y])
        steps = [r.step(s), r.step(store=s)]
        s.add_op("mul", [s.add_op("add", [y, x])], {"scalar": 1.0, "side": "r"})
        steps.append(r.step(s))
        counts.append((r.watermark(), r.total_work(), r.canonical_count()))
        s.add_op("neg", [4])
        first = result(r.finalize(s, outputs=[5]))
        counts.append((r.watermark(), r.total_work(), r.canonical_count()))
        self.assertEqual(result(r.finalize(s, outputs=[5])), first)
        s.add_op("abs", [5])
        steps.append(r.step(s))
        self.assertEqual((steps, counts, len(first[2])),
                         ([3, 0, 2, 1], [(0, 0, 0), (5, 5, 3), (6, 6, 4)], 6))

    def test_the_fed_store_is_remembered_but_not_kept(self):
        a, r = vc.GraphStore(), vc.IncrementalReducer()
        chain(a, "neg")
        refs = sys.getrefcount(a)
        self.assertEqual((r.step(a), sys.getrefcount(a)), (2, refs))
        del a
        gc.collect()
        with self.assertRaises(ValueError):  # nor is a store made after it went
            r.step(vc.GraphStore())


if __name__ == "__main__":
    unittest.main()
