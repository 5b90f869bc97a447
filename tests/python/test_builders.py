"""Recording a graph and reading it back: what the builders accept and intern as
one node, and the views nodes(), outputs(), node_map() and to_dot()."""

import gc
import math
import unittest

from support import stage_blob, vc

F = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")


class Index:  # not an int, but an index
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


Real = type("Real", (), {"__float__": lambda self: 1.0})
Text = type("Text", (str,), {})
Params = type("Params", (dict,), {"items": None})  # read through the dict protocol


def shrinking():
    """Inputs whose first id, when read, empties the list."""
    inputs = [type("Shrink", (), {"__index__": lambda self: inputs.clear() or 1})(), 0, 0]
    return inputs


# Each line holds calls that intern one node, a different one on every line.
SAME = [
    ['add_source("x")', 'add_source("x", None)', 'add_source("x", {})',
     'add_source(params=None, name="x")', 'add_source("x", Params())'],
    ['add_source("x", {"b": 1, "a": 2})', 'add_source("x", Params(a=2, b=1))'],
    ['add_source("x", {"a": 1})', 'add_source("x", {"a": Index(1)})'],
    ['add_source("x", {"a": True})'],
    ['add_source("x", {"a": 1.0})', 'add_source("x", {"a": Real()})'],
    ['add_source("x", {"a": "1"})', 'add_source("x", {"a": Text("1")})'],
    ['add_source("x", {"a": math.nan})', 'add_source("x", {"a": -math.nan})'],
    ['add_source("x", {"a": 0.0})'],
    ['add_source("x", {"a": -0.0})'],
    ['add_source("x", {"a": 2**63})', 'add_source("x", {"a": 9223372036854775808.0})'],
    ['add_op("f", [0, 1])', 'add_op("f", (0, 1))', 'add_op("f", range(2))',
     'add_op("f", [Index(0), Index(1)])', 'add_op("f", [False, True])',
     'add_op(params=None, inputs=[0, 1], name="f")'],
    ['add_op("f", [1, 0])'],
    ['add_op("f", [1])', 'add_op("f", shrinking())'],
    ['add_op("f", [1, 1])'],
    ['add_reduction("f", [0, 1])', 'add_reduction(inputs=[0, 1], name="f", params={})'],
    ['add_exchange([])'],
    ['add_exchange([0, 1])', "add_exchange(inputs=[0, 1], params={})"],
    ['add_join([0, 1])', 'add_join(inputs=[0, 1])'],
    ['add_join([1, 0])'],
    ['add_join([0])'],
    ["add_external(F, [])", "add_external(PD(**F), [])", "add_external(dict(F, extra=[1]), [])",
     "add_external(dict(F, preprocessing_ref=None), [])",
     "add_external(inputs=[], params=None, descriptor=F)"],
    ['add_external(dict(F, preprocessing_ref=""), [])'],
    ['add_external(dict(F, version="2"), [])'],
]


class BuildersTest(unittest.TestCase):
    def test_interning_and_the_forms_of_one_node(self):
        s = vc.GraphStore()
        names = dict(globals(), PD=vc.PayloadDescriptor, s=s)
        self.assertEqual([s.add_source("a"), s.add_source("b"), s.add_source("a")], [0, 1, 0])
        first = {}
        for line in SAME:
            ids = {call: eval("s." + call, names) for call in line}
            with self.subTest(line[0]):
                self.assertEqual(len(set(ids.values())), 1, ids)
                self.assertNotIn(ids[line[0]], first, first.get(ids[line[0]]))
            first[ids[line[0]]] = line[0]
        self.assertEqual(s.node_count(), len(SAME) + 2)

    def test_param_values_are_stored_by_the_first_rule_that_fits(self):
        s = vc.GraphStore()
        for value, stored in [(True, True), (False, False), (2**63 - 1, 2**63 - 1),
                              (-2**63, -2**63), (2**63, 9223372036854775808.0),
                              (-2**63 - 1, float(-2**63 - 1)), (Index(7), 7), (Real(), 1.0),
                              (Text("t"), "t"), (-0.0, -0.0), (math.nan, math.nan)]:
            node = s.add_source("x", {"a": value})
            got = s.nodes()[node]["params"]["a"]
            self.assertEqual((type(got), repr(got)), (type(stored), repr(stored)))
        d = vc.PayloadDescriptor(**F)
        self.assertEqual([d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                          d.preprocessing_ref], ["k", "h", "f", "1", "s", None])
        self.assertEqual(vc.PayloadDescriptor(**F, preprocessing_ref="").preprocessing_ref, "")
        self.assertNotEqual(d, vc.PayloadDescriptor(**F))


class ViewsTest(unittest.TestCase):
    def test_node_dicts_of_every_kind(self):
        s = vc.GraphStore()
        self.assertEqual((s.nodes(), s.outputs(), s.node_map(), s.to_dot()),
                         ([], [], [], "digraph velmora {\n}\n"))
        s.add_source("s", {"n": 3})
        s.add_op("a", [0])
        s.add_join([0, 1], {"how": "inner"})
        s.add_reduction("sum", [2], {"axis": 0})
        s.add_exchange([3])
        s.add_external(F, [4, 4], {"t": True})
        s.add_external(vc.PayloadDescriptor(**F, preprocessing_ref="p"), [])
        rows = [[0, False, [], "source", "s", {"n": 3}], [1, False, [0], "op", "a", {}],
                [2, False, [0, 1], "join", "", {"how": "inner"}],
                [3, False, [2], "reduction", "sum", {"axis": 0}],
                [4, False, [3], "exchange", "", {}],
                [5, False, [4, 4], "external", "", {"t": True}, dict(F, preprocessing_ref=None)],
                [6, False, [], "external", "", {}, dict(F, preprocessing_ref="p")]]
        keys = ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
        got = s.nodes()
        self.assertEqual([list(n.items()) for n in got], [list(zip(keys, row)) for row in rows])
        self.assertEqual([list(n["descriptor"]) for n in got[5:]], [[*F, "preprocessing_ref"]] * 2)

    def test_stage_members_of_a_blob(self):
        data = stage_blob("red|sum|axis=i1", "op|a%7Cb|k=f3ff0000000000000;s=sl")
        self.assertEqual(vc.GraphStore.deserialize(data).nodes()[1]["members"], [
            {"kind": "red", "name": "sum", "params": {"axis": 1}, "inputs": [("input", 0)]},
            {"kind": "op", "name": "a|b", "params": {"k": 1.0, "s": "l"},
             "inputs": [("member", 0)]}])

    def test_results_are_fresh_copies_and_the_collector_is_left_alone(self):
        s = vc.GraphStore()
        s.add_source("x", {"n": 3})
        s.add_op("f", [0])
        reduced, _ = s.reduce(outputs=[1])
        was = gc.isenabled()
        before = [(r.nodes(), r.outputs(), r.node_map()) for r in (s, reduced)]
        try:
            for store, enabled in ((s, False), (reduced, True)):
                (gc.enable if enabled else gc.disable)()
                nodes, outputs, node_map = store.nodes(), store.outputs(), store.node_map()
                self.assertEqual(gc.isenabled(), enabled)
                nodes[0]["params"]["n"] = 4
                nodes[1]["inputs"].append(7)
                nodes.pop()
                outputs.append(1)
                node_map.append(None)
        finally:
            (gc.enable if was else gc.disable)()
        self.assertEqual([(r.nodes(), r.outputs(), r.node_map()) for r in (s, reduced)], before)


if __name__ == "__main__":
    unittest.main()
