"""Recording, inspecting and reducing a graph from Python: what the builders accept
and intern as one node, the views, which outputs a reduction uses and what it
returns, and the IncrementalReducer fed a growing store."""

import gc
import math
import sys
import unittest

from support import chain, numpy, stage_blob, vc

F = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
KEYS = ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
REPORT = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
          "boundary_nodes"]
Real = type("Real", (), {"__float__": lambda self: 1.0})
Text = type("Text", (str,), {})
Params = type("Params", (dict,), {"items": None})  # read through the dict protocol


def index(value):  # not an int, but an index
    return type("Index", (), {"__index__": lambda self: value})()


def shrinking():
    """Inputs whose first id, when read, empties the list."""
    inputs = [type("Shrink", (), {"__index__": lambda self: inputs.clear() or 1})(), 0, 0]
    return inputs


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


# Each line holds calls that intern one node, a different one on every line.
SAME = [
    ['add_source("x")', 'add_source("x", None)', 'add_source("x", {})',
     'add_source(params=None, name="x")', 'add_source("x", Params())'],
    ['add_source("x", {"b": 1, "a": 2})', 'add_source("x", Params(a=2, b=1))'],
    ['add_source("x", {"a": 1})', 'add_source("x", {"a": index(1)})'],
    ['add_source("x", {"a": True})'],
    ['add_source("x", {"a": 1.0})', 'add_source("x", {"a": Real()})'],
    ['add_source("x", {"a": "1"})', 'add_source("x", {"a": Text("1")})'],
    ['add_source("x", {"a": math.nan})', 'add_source("x", {"a": -math.nan})'],
    ['add_source("x", {"a": -0.0})'],
    ['add_source("x", {"a": 2**63})', 'add_source("x", {"a": 9223372036854775808.0})'],
    ['add_op("f", [0, 1])', 'add_op("f", (0, 1))', 'add_op("f", range(2))',
     'add_op("f", [index(0), index(1)])', 'add_op("f", [False, True])',
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
        node = s.add_source("x", {"i": 2**63 - 1, "j": -2**63, "f": 2**63, "g": -2**63 - 1,
                                  "b": False, "x": index(7), "r": Real(), "t": Text("t"),
                                  "z": -0.0, "n": math.nan})
        self.assertEqual(repr(s.nodes()[node]["params"]), repr(dict(
            b=False, f=2.0**63, g=float(-2**63 - 1), i=2**63 - 1, j=-2**63, n=math.nan, r=1.0,
            t="t", x=7, z=-0.0)))
        d = vc.PayloadDescriptor(**F)
        self.assertEqual([d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                          d.preprocessing_ref], ["k", "h", "f", "1", "s", None])
        self.assertEqual(vc.PayloadDescriptor(**F, preprocessing_ref="").preprocessing_ref, "")
        self.assertNotEqual(d, vc.PayloadDescriptor(**F))

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
        got = s.nodes()
        self.assertEqual([list(n.items()) for n in got], [list(zip(KEYS, row)) for row in rows])
        self.assertEqual([list(n["descriptor"]) for n in got[5:]], [[*F, "preprocessing_ref"]] * 2)

    def test_stage_members_of_a_blob(self):
        data = stage_blob("red|sum|axis=i1", "op|a%7Cb|k=f3ff0000000000000;s=sl")
        self.assertEqual(vc.GraphStore.deserialize(data).nodes()[1]["members"], [
            {"kind": "red", "name": "sum", "params": {"axis": 1}, "inputs": [("input", 0)]},
            {"kind": "op", "name": "a|b", "params": {"k": 1.0, "s": "l"},
             "inputs": [("member", 0)]}])

    def test_results_are_fresh_copies_and_the_collector_is_left_alone(self):
        self.addCleanup(gc.enable if gc.isenabled() else gc.disable)
        s = vc.GraphStore()
        s.add_op("f", [s.add_source("x", {"n": 3})])
        reduced, _ = s.reduce(outputs=[1])

        def views():
            return [(r.nodes(), r.outputs(), r.node_map()) for r in (s, reduced)]

        before = views()
        for enabled in (False, True):
            (gc.enable if enabled else gc.disable)()
            for nodes, outputs, node_map in views():
                self.assertEqual(gc.isenabled(), enabled)
                nodes[0]["params"]["n"] = 4
                nodes[-1]["inputs"].append(7)
                outputs.append(1)
                node_map.append(None)
        self.assertEqual(views(), before)


class ReduceTest(unittest.TestCase):
    def test_every_way_of_reducing_a_chain(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        members = [{"kind": "op", "name": "a", "params": {}, "inputs": [("input", 0)]},
                   {"kind": "op", "name": "b", "params": {}, "inputs": [("member", 0)]}]
        nodes = [[0, False, [], "source", "s", {}], [1, True, [0], "stage", "", {}, 2, members]]
        keys = KEYS[:6] + ["n_members", "members"]
        expected = ([dict(zip(keys, n)) for n in nodes], [1], [(0, None), (1, 0), (1, 1)],
                    dict(zip(REPORT, (3, 3, 3, 1, 2, 1))))
        reducer, before = vc.IncrementalReducer(), (s.nodes(), s.serialize())
        for way in (s.reduce, s.reduce_incremental, lambda **kw: reducer.finalize(s, **kw)):
            got = result(way(outputs=[2]))
            self.assertEqual(got, expected)
            self.assertEqual([list(n) for n in got[0]], [KEYS[:6], keys])
            self.assertEqual({type(v) for v in got[3].values()}, {int})
        self.assertEqual(s.reduction_report(outputs=[2]), expected[3])
        self.assertEqual((s.nodes(), s.serialize(), s.outputs(), s.node_map()), before + ([], []))

    def test_outputs_are_the_marks_unless_a_list_is_given(self):
        s = vc.GraphStore()
        chain(s, "a", "b")
        empty = ([], [], [None] * 3, dict(zip(REPORT, (3, 0, 0, 0, 0, 0))))
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
        back, nodes = vc.GraphStore().deserialize(data=twice), s.nodes()
        self.assertEqual((back.nodes(), back.outputs(), back.node_map(), back.serialize()),
                         (nodes[:1] + [dict(nodes[1], output=True)] + nodes[2:], [1], [],
                          s.serialize([1])))

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
