"""The read-only views: nodes(), outputs(), node_map() and to_dot()."""

import gc
import unittest

from blobs import blob, source, stage
from support import vc

DESCRIPTOR = dict(kind="onnx", content_hash="abc", framework="torch", version="2.1",
                  io_schema="f32[3]")


class NodesTest(unittest.TestCase):
    def test_source_dict_keys_and_values(self):
        s = vc.GraphStore()
        s.add_source("x", {"n": 3})
        (node,) = s.nodes()
        self.assertEqual(list(node.items()), [("id", 0), ("output", False), ("inputs", []),
                                              ("kind", "source"), ("name", "x"),
                                              ("params", {"n": 3})])

    def test_worked_example(self):
        s = vc.GraphStore()
        s.add_source("s")
        s.add_op("a", [0])
        s.add_join([0, 1], {"how": "inner"})
        expected = [
            {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "s", "params": {}},
            {"id": 1, "output": False, "inputs": [0], "kind": "op", "name": "a", "params": {}},
            {"id": 2, "output": False, "inputs": [0, 1], "kind": "join", "name": "",
             "params": {"how": "inner"}},
        ]
        got = s.nodes()
        self.assertEqual(got, expected)
        self.assertEqual([list(d) for d in got], [list(d) for d in expected])

    def test_kind_words_and_unnamed_kinds(self):
        s = vc.GraphStore()
        x = s.add_source("x")
        s.add_op("f", [x])
        s.add_reduction("sum", [x], {"axis": 0})
        s.add_external(DESCRIPTOR, [x])
        s.add_exchange([x], {"scheme": "hash"})
        s.add_join([x, x])
        nodes = s.nodes()
        self.assertEqual([n["kind"] for n in nodes],
                         ["source", "op", "reduction", "external", "exchange", "join"])
        self.assertEqual([n["name"] for n in nodes], ["x", "f", "sum", "", "", ""])
        self.assertFalse(any(n["output"] for n in nodes))
        self.assertEqual(nodes[5]["inputs"], [0, 0])

    def test_external_descriptor_dict(self):
        s = vc.GraphStore()
        s.add_external(DESCRIPTOR, [])
        s.add_external(vc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="norm"), [],
                       {"k": 1})
        first, second = s.nodes()
        self.assertEqual(list(first), ["id", "output", "inputs", "kind", "name", "params",
                                       "descriptor"])
        self.assertEqual(list(first["descriptor"].items()),
                         list(DESCRIPTOR.items()) + [("preprocessing_ref", None)])
        self.assertEqual(second["descriptor"]["preprocessing_ref"], "norm")
        self.assertEqual(second["params"], {"k": 1})

    def test_results_are_fresh_copies(self):
        s = vc.GraphStore()
        s.add_source("x", {"n": 3})
        s.add_op("f", [0])
        before = s.nodes()
        got = s.nodes()
        got[0]["params"]["n"] = 4
        got[1]["inputs"].append(7)
        got.pop()
        s.outputs().append(1)
        s.node_map().append(None)
        self.assertEqual(s.nodes(), before)
        self.assertEqual((s.outputs(), s.node_map()), ([], []))

    def test_views_leave_the_collector_as_they_found_it(self):
        s = vc.GraphStore()
        s.add_source("x")
        reduced, _ = s.reduce(outputs=[0])
        was = gc.isenabled()
        try:
            for enabled in (True, False):
                (gc.enable if enabled else gc.disable)()
                s.nodes()
                reduced.node_map()
                self.assertEqual(gc.isenabled(), enabled)
        finally:
            (gc.enable if was else gc.disable)()

    def test_views_take_no_arguments(self):
        s = vc.GraphStore()
        for view in (s.nodes, s.outputs, s.node_map, s.to_dot):
            with self.subTest(view=view.__name__), self.assertRaises(TypeError):
                view(1)


class StageNodesTest(unittest.TestCase):
    def test_stage_members_are_parsed_from_their_tokens(self):
        data = blob([source("x"), stage([0], [
            ("op|mul|scalar=f3ff0000000000000;side=sl", [("input", 0)]),
            ("red|sum|axis=i1", [("member", 0)]),
            ("op|a%7Cb", [("member", 1), ("input", 0)]),
        ])], outputs=[1])
        node = vc.GraphStore.deserialize(data).nodes()[1]
        self.assertEqual(list(node), ["id", "output", "inputs", "kind", "name", "params",
                                      "n_members", "members"])
        self.assertEqual(node["output"], True)
        self.assertEqual((node["kind"], node["name"], node["params"]), ("stage", "", {}))
        self.assertEqual(node["n_members"], 3)
        self.assertEqual(node["members"], [
            {"kind": "op", "name": "mul", "params": {"scalar": 1.0, "side": "l"},
             "inputs": [("input", 0)]},
            {"kind": "red", "name": "sum", "params": {"axis": 1}, "inputs": [("member", 0)]},
            {"kind": "op", "name": "a|b", "params": {}, "inputs": [("member", 1), ("input", 0)]},
        ])
        self.assertEqual([list(m) for m in node["members"]], [["kind", "name", "params",
                                                               "inputs"]] * 3)

    def test_unparseable_member_token_fails_the_whole_view(self):
        for token, shown in (("abc", '"abc"'), ('src|x"y', '"src|x\\"y"'),
                             ("op|f|a=", '"op|f|a="')):
            with self.subTest(token=token):
                store = vc.GraphStore.deserialize(blob([source("x"),
                                                        stage([0], [(token, [("input", 0)])])]))
                with self.assertRaises(ValueError) as cm:
                    store.nodes()
                self.assertEqual(str(cm.exception), "unparseable stage member token " + shown)
                self.assertEqual(store.node_count(), 2)


class DotTest(unittest.TestCase):
    def test_empty_store(self):
        self.assertEqual(vc.GraphStore().to_dot(), "digraph velmora {\n}\n")

    def test_labels_edges_and_output_shape(self):
        s = vc.GraphStore.deserialize(blob([source("x"), source('q"\\\n'),
                                            stage([0, 1], [("op|f", [("input", 0)])] * 3)],
                                           outputs=[2, 2]))
        self.assertEqual(s.to_dot(), "digraph velmora {\n"
                                     '  n0 [label="Source x"];\n'
                                     '  n1 [label="Source q\\"\\\\\n"];\n'
                                     '  n2 [label="Stage[3 members]", shape=doublecircle];\n'
                                     "  n0 -> n2;\n"
                                     "  n1 -> n2;\n"
                                     "}\n")

    def test_builder_graph(self):
        s = vc.GraphStore()
        s.add_source("rows", {"n": 3})
        s.add_op("add", [0, 0], {"side": "r", "scalar": 0.5})
        self.assertEqual(s.to_dot(), "digraph velmora {\n"
                                     '  n0 [label="Source rows {n=3}"];\n'
                                     '  n1 [label="Op add {scalar=0.5, side=\\"r\\"}"];\n'
                                     "  n0 -> n1;\n"
                                     "  n0 -> n1;\n"
                                     "}\n")


if __name__ == "__main__":
    unittest.main()
