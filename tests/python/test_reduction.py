"""Reduction and persistence: reduce, reduce_incremental, reduction_report,
serialize and deserialize."""

import unittest

from blobs import blob, source, stage
from support import chain, numpy, vc

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"}


def report(input_nodes, reachable, canonical, stages, reduced, boundary):
    return dict(input_nodes=input_nodes, reachable_nodes=reachable, canonical_nodes=canonical,
                stages=stages, reduced_nodes=reduced, boundary_nodes=boundary)


def fan_out():
    """s -> a; a -> b, c; (b, c) -> d."""
    s = vc.GraphStore()
    s.add_source("s")
    s.add_op("a", [0])
    s.add_op("b", [1])
    s.add_op("c", [1])
    s.add_op("d", [2, 3])
    return s


class ReduceTest(unittest.TestCase):
    def test_chain_fuses_into_one_stage(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        reduced, rep = s.reduce(outputs=[2])
        self.assertEqual(rep, report(3, 3, 3, 1, 2, 1))
        self.assertEqual(reduced.nodes(), [
            {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "s", "params": {}},
            {"id": 1, "output": True, "inputs": [0], "kind": "stage", "name": "", "params": {},
             "n_members": 2, "members": [
                 {"kind": "op", "name": "a", "params": {}, "inputs": [("input", 0)]},
                 {"kind": "op", "name": "b", "params": {}, "inputs": [("member", 0)]}]},
        ])
        self.assertEqual(reduced.outputs(), [1])
        self.assertEqual(reduced.node_map(), [(0, None), (1, 0), (1, 1)])
        self.assertIsInstance(reduced, vc.GraphStore)

    def test_identity_op_falls_into_its_input(self):
        s = vc.GraphStore()
        s.add_source("x")
        s.add_op("neg", [0])
        s.add_op("add", [1], {"scalar": 0.0, "side": "r"})
        reduced, rep = s.reduce(outputs=[2])
        self.assertEqual(rep, report(3, 3, 2, 1, 2, 1))
        self.assertEqual(reduced.outputs(), [1])
        self.assertEqual(reduced.node_map()[2], reduced.node_map()[1])

    def test_without_marks_the_result_is_empty(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        reduced, rep = s.reduce()
        self.assertEqual(rep, report(3, 0, 0, 0, 0, 0))
        self.assertEqual((reduced.node_count(), reduced.outputs()), (0, []))
        self.assertEqual(reduced.node_map(), [None, None, None])

    def test_explicit_outputs_override_marks(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        reduced, _ = s.reduce(outputs=[2])
        again, rep = reduced.reduce()
        self.assertEqual(again.nodes(), reduced.nodes())
        self.assertEqual(rep["boundary_nodes"], 2)
        empty, rep = reduced.reduce(outputs=[])
        self.assertEqual((empty.node_count(), rep["reachable_nodes"]), (0, 0))
        dup, _ = s.reduce(outputs=[2, 2, 0])
        self.assertEqual(dup.outputs(), [1, 0])

    def test_dead_nodes_are_dropped(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        s.add_source("unused")
        reduced, rep = s.reduce(outputs=[1])
        self.assertEqual(rep["reachable_nodes"], 2)
        self.assertEqual(reduced.node_map(), [(0, None), (1, 0), None, None])

    def test_maximal_fusion(self):
        _, default = fan_out().reduce(outputs=[4])
        self.assertEqual((default["stages"], default["reduced_nodes"]), (2, 3))
        for flag in (True, numpy.bool_(True)) if numpy else (True,):
            with self.subTest(flag=type(flag).__name__):
                reduced, rep = fan_out().reduce(maximal_fusion=flag, outputs=[4])
                self.assertEqual((rep["stages"], rep["boundary_nodes"]), (1, 1))
                self.assertEqual(reduced.node_map()[3], (1, 2))
                self.assertEqual(reduced.nodes()[1]["n_members"], 4)
        _, off = fan_out().reduce(maximal_fusion=False, outputs=[4])
        self.assertEqual(off, default)

    @unittest.skipIf(numpy is None, "numpy is not installed")
    def test_numpy_false_and_arrays(self):
        _, off = fan_out().reduce(maximal_fusion=numpy.bool_(False), outputs=[4])
        self.assertEqual(off["stages"], 2)
        with self.assertRaises(TypeError):
            fan_out().reduce(maximal_fusion=numpy.array(True))
        with self.assertRaises(TypeError):
            fan_out().reduce(maximal_fusion=numpy.int64(1))
        reduced, _ = fan_out().reduce(outputs=numpy.array([4, 4]))
        self.assertEqual(reduced.outputs(), [2])

    def test_argument_errors(self):
        s = fan_out()
        for call in (lambda: s.reduce(True), lambda: s.reduce(maximal_fusion=1),
                     lambda: s.reduce(maximal_fusion=None), lambda: s.reduce(outputs="4"),
                     lambda: s.reduce(outputs={4}), lambda: s.reduce(output=[4]),
                     lambda: s.reduce_incremental([4]), lambda: s.reduction_report([4]),
                     lambda: s.reduce_incremental(maximal_fusion=True)):
            with self.assertRaises(TypeError):
                call()
        with self.assertRaises(TypeError) as cm:
            s.reduce(maximal_fusion=1)
        self.assertIn("maximal_fusion", str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            s.reduce(outputs="4")
        self.assertIn("outputs", str(cm.exception))
        with self.assertRaises(OverflowError):
            s.reduce(outputs=[-1])
        # maximal_fusion is converted before outputs.
        with self.assertRaises(TypeError) as cm:
            s.reduce(maximal_fusion=0, outputs="x")
        self.assertIn("maximal_fusion", str(cm.exception))

    def test_unknown_output_ids(self):
        s = vc.GraphStore()
        chain(s, "a", "b", "c", "d", "e")
        for method in (s.reduce, s.reduce_incremental, s.reduction_report):
            for outputs, bad in (([0, 5, 9], 9), ([0, 7, 9], 7), ([6], 6)):
                with self.subTest(method=method.__name__, outputs=outputs):
                    with self.assertRaises(ValueError) as cm:
                        method(outputs=outputs)
                    self.assertEqual(str(cm.exception), f"no node with id {bad}")

    def test_variants_agree(self):
        s = fan_out()
        s.add_op("add", [4, 0])
        s.add_op("add", [0, 4])
        for outputs in ([4], [5, 6], [], [6, 1, 6]):
            with self.subTest(outputs=outputs):
                reduced, rep = s.reduce(outputs=outputs)
                inc, inc_rep = s.reduce_incremental(outputs=outputs)
                self.assertEqual(inc.nodes(), reduced.nodes())
                self.assertEqual(inc.node_map(), reduced.node_map())
                self.assertEqual(inc_rep, rep)
                self.assertEqual(s.reduction_report(outputs=outputs), rep)
                self.assertEqual(set(rep), REPORT_KEYS)
                self.assertTrue(all(type(v) is int for v in rep.values()))
                self.assertEqual(rep["reduced_nodes"], rep["stages"] + rep["boundary_nodes"])
                self.assertEqual(reduced.node_count(), rep["reduced_nodes"])
                self.assertEqual(len(reduced.node_map()), s.node_count())

    def test_receiver_is_unchanged(self):
        s = fan_out()
        before = (s.nodes(), s.outputs(), s.node_map(), s.serialize())
        s.reduce(outputs=[4])
        s.reduce(maximal_fusion=True, outputs=[4])
        s.reduction_report(outputs=[3])
        self.assertEqual((s.nodes(), s.outputs(), s.node_map(), s.serialize()), before)


class SerializeTest(unittest.TestCase):
    WORKED = bytes.fromhex("56495231 02000000 00 0100000078 00000000 01 050000007363616c65"
                           " 01000000 010000006b 00 0300000000000000 01000000"
                           " 0000000000000000 01000000 0100000000000000")

    def worked_store(self):
        s = vc.GraphStore()
        s.add_source("x")
        s.add_op("scale", [0], {"k": 3})
        return s

    def test_worked_example_bytes(self):
        s = self.worked_store()
        self.assertEqual(len(self.WORKED), 70)
        self.assertEqual(s.serialize([1]), self.WORKED)
        self.assertEqual(s.serialize(outputs=[1]), self.WORKED)
        self.assertEqual(vc.GraphStore().serialize(), b"VIR1" + bytes(8))

    def test_outputs_selection(self):
        s = self.worked_store()
        self.assertEqual(s.serialize(), s.serialize([]))
        self.assertEqual(s.serialize(None), s.serialize([]))
        twice = s.serialize([1, 1])
        self.assertEqual(twice[-20:], bytes.fromhex("02000000" + "0100000000000000" * 2))
        back = vc.GraphStore.deserialize(twice)
        self.assertEqual(back.outputs(), [1])
        self.assertEqual(back.serialize([0]), vc.GraphStore.deserialize(self.WORKED).serialize([0]))

    def test_serialize_errors(self):
        s = self.worked_store()
        with self.assertRaises(ValueError) as cm:
            s.serialize(outputs=[0, 99, 5])
        self.assertEqual(str(cm.exception), "no node with id 99")
        for bad in ("1", 1, iter([1])):
            with self.subTest(outputs=bad), self.assertRaises(TypeError):
                s.serialize(bad)
        with self.assertRaises(TypeError):
            s.serialize([1], [1])

    def test_round_trip(self):
        s = fan_out()
        s.add_external(dict(kind="k", content_hash="h", framework="f", version="1",
                            io_schema="s", preprocessing_ref="p"), [4], {"t": True})
        s.add_join([5, 0], {"nan": float("nan"), "neg": -0.0, "text": "a;b=c|d%"})
        data = s.serialize([6, 2])
        back = vc.GraphStore.deserialize(data)
        self.assertEqual(back.outputs(), [6, 2])
        self.assertEqual(back.serialize(), data)
        self.assertEqual(back.node_map(), [])
        # NaN != NaN, so compare the printed form; only the output flags differ.
        plain = [dict(n, output=False) for n in back.nodes()]
        self.assertEqual(repr(plain), repr(s.nodes()))
        reduced, _ = s.reduce(outputs=[6])
        self.assertEqual(repr(vc.GraphStore.deserialize(reduced.serialize()).nodes()),
                         repr(reduced.nodes()))

    def test_deserialize_errors(self):
        cases = [(b"", "truncated velmora IR blob"), (b"VIR", "truncated velmora IR blob"),
                 (b"VIR2" + bytes(8), "not a velmora IR blob (bad magic/version)"),
                 (b"VIR1\x01\x00\x00\x00\x09", "invalid node tag 9"),
                 (self.WORKED[:-1], "truncated velmora IR blob")]
        for data, message in cases:
            with self.subTest(data=data):
                with self.assertRaises(ValueError) as cm:
                    vc.GraphStore.deserialize(data)
                self.assertEqual(str(cm.exception), message)
        for bad in (bytearray(self.WORKED), memoryview(self.WORKED), "VIR1", None):
            with self.subTest(data=type(bad).__name__):
                with self.assertRaises(TypeError) as cm:
                    vc.GraphStore.deserialize(bad)
                self.assertIn("data", str(cm.exception))
        with self.assertRaises(TypeError):
            vc.GraphStore.deserialize()

    def test_deserialize_is_static(self):
        self.assertIsInstance(vc.GraphStore.__dict__["deserialize"], staticmethod)
        via_instance = vc.GraphStore().deserialize(data=self.WORKED)
        self.assertEqual(via_instance.serialize(), self.WORKED)
        self.assertEqual(via_instance.nodes()[1]["output"], True)

    def test_blob_with_a_stage_reduces_it_as_a_boundary(self):
        s = vc.GraphStore.deserialize(blob([source("x"), stage([0], [("op|f", [("input", 0)])])],
                                           outputs=[1]))
        s.add_op("g", [1])
        reduced, rep = s.reduce(outputs=[2])
        self.assertEqual(rep["boundary_nodes"], 2)
        self.assertEqual([n["kind"] for n in reduced.nodes()], ["source", "stage", "stage"])


if __name__ == "__main__":
    unittest.main()
