"""Recording, inspecting and reducing a graph: what the builders intern as one node,
the views, which outputs a reduction uses, the IncrementalReducer fed a growing
store; and every refusal, with its exception and exact message, changing nothing."""

import gc
import math
import random
import sys
import unittest

from support import chain, numpy, vc

F = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
NO_KIND = {k: v for k, v in F.items() if k != "kind"}
PARAM_VALUES = "param values must be int, float, bool, or str"
NOT_STR = "'%s' object cannot be converted to 'str'"
NO_IDS = "argument '%s': a str is not a sequence of node ids"
NOT_SEQ = "argument '%s': '%s' object is not a sequence"
NOT_BOOL = "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"
NOT_STORE = "argument 'store': '%s' object is not an instance of 'GraphStore'"
FIELD = "descriptor missing required field '%s'"
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"
RESIZED = "dictionary changed size during iteration"
REKEYED = "dictionary keys changed during iteration"
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


def result(store_and_report):
    store, report = store_and_report
    return store.nodes(), store.outputs(), store.node_map(), report


# Each line holds calls that intern one node, a different one on every line.
SAME = [
    ['add_source("x")', 'add_source("x", None)', 'add_source("x", {})',
     'add_source("x", Params())'],
    ['add_source("x", {"b": 1, "a": 2})', 'add_source("x", Params(a=2, b=1))'],
    ['add_source("x", {"c": "s", "b": 1, "a": "t"})',
     'add_source("x", {"a": "t", "b": 1, "c": "s"})', 'add_source("x", Params(c="s", b=1, a="t"))'],
    ['add_source("x", {"a": 1})', 'add_source("x", {"a": index(1)})'],
    ['add_source("x", {"a": 1.0})', 'add_source("x", {"a": Real()})'],
    ['add_source("x", {"a": "1"})', 'add_source("x", {"a": Text("1")})'],
    ['add_source("x", {"a": math.nan})', 'add_source("x", {"a": -math.nan})'],
    ['add_source("x", {"a": 2**63})', 'add_source("x", {"a": 9223372036854775808.0})'],
    ['add_op("f", [0, 1])', 'add_op("f", (0, 1))', 'add_op("f", range(2))',
     'add_op("f", [index(0), index(1)])', 'add_op("f", [False, True])'],
    ['add_op("f", [1])', 'add_op("f", shrinking())'],
    ['add_reduction("f", [0, 1])'],
    ['add_exchange([])'],
    ['add_exchange([0, 1])'],
    ['add_join([0, 1])'],
    ['add_join([1, 0])'],
    ["add_external(F, [])", "add_external(PD(**F), [])", "add_external(dict(F, extra=[1]), [])",
     "add_external(dict(F, preprocessing_ref=None), [])"],
    ['add_external(dict(F, preprocessing_ref=""), [])'],
]


def changing(change):
    """A params dict whose first value's conversion calls change(the dict)."""
    params = {"a": type("Hook", (), {"__index__": lambda self: change(params) or 1})(), "b": 2}
    return params


def raising(error, method):
    """An object whose `method` raises error("hook"); it reads as 2.5 and hashes as "kind"."""
    def fail(*args):
        raise error("hook")

    methods = {"__float__": lambda self: 2.5, "__hash__": lambda self: hash("kind")}
    return type("Raising", (), dict(methods, **{method: fail}))()


# Run on a store s of 4 nodes, a reducer r that consumed 3 of them, a store t of
# one node, b = s.serialize() and staged, the blob of s reduced to a stage.
ERRORS = [
    ("PD(**dict(F, kind=1, content_hash=2))", TypeError, "argument 'kind': " + NOT_STR % "int"),
    # Conversion order: name, inputs, params; add_external: inputs, descriptor, params.
    ('s.add_op(5, "01", 5)', TypeError, "argument 'name': " + NOT_STR % "int"),
    ('s.add_reduction("f", "01", 5)', TypeError, NO_IDS % "inputs"),
    ('s.add_op("f", [9], 5)', TypeError, "params must be a dict or None"),
    ('s.add_external("d", "01", 5)', TypeError, NO_IDS % "inputs"),
    ('s.add_external("d", [9], 5)', TypeError, "descriptor must be a PayloadDescriptor or dict"),
    ("s.add_external({}, [9], 5)", ValueError, FIELD % "kind"),
    ("s.add_external(F, [9], 5)", TypeError, "params must be a dict or None"),
    ("s.add_external(F, [9])", ValueError, "no node with id 9"),
    ('s.add_exchange("01", 5)', TypeError, NO_IDS % "inputs"),
    ("s.add_join([9], 5)", TypeError, "params must be a dict or None"),
    # Inputs: the first id that is not a node, at the boundaries of the id range.
    ('s.add_op("f", [0, 9, 7])', ValueError, "no node with id 9"),
    ("s.add_join([0, 4])", ValueError, "no node with id 4"),
    ("s.add_exchange([2**64 - 1])", ValueError, "no node with id 18446744073709551615"),
    ("s.add_exchange([2**64])", OverflowError, "int too big to convert"),
    ("s.add_exchange([0, -1])", OverflowError, "can't convert negative int to unsigned"),
    *((f's.add_op("f", {inputs})', TypeError, NOT_SEQ % ("inputs", kind))
      for inputs, kind in (("iter([0])", "list_iterator"), ("{0}", "set"), ("{0: 1}", "dict"),
                           ("None", "NoneType"))),
    *((f"s.add_join([0, {bad}])", TypeError,
       f"argument 'inputs': '{kind}' object cannot be interpreted as an integer")
      for bad, kind in (("1.0", "float"), ("[1]", "list"))),
    # Params, also below the first item.
    *((f's.add_source("x", {params})', TypeError, "params must be a dict or None")
      for params in ('[("a", 1)]', "()", '"a=1"', "5")),
    *((f's.add_source("x", {{"a": 1, "b": {value}}})', TypeError, PARAM_VALUES)
      for value in ("10**400", "None", "[1]", '{"c": 1}', 'b"x"', "1j", "object()")),
    ('s.add_source("x", {"a": 1, 2: 3})', TypeError, NOT_STR % "int"),
    ('s.add_op("f", [0], changing(lambda d: d.update(z=1)))', RuntimeError, RESIZED),
    ('s.add_op("f", [0], changing(lambda d: d.update(c=d.pop("a"))))', RuntimeError, REKEYED),
    ('s.add_op("f", [0], changing(lambda d: d.update(c=d.pop("b"))))', RuntimeError, REKEYED),
    # Descriptors: preprocessing_ref is read first; fields are looked up, not defaulted.
    ('s.add_external("x", [])', TypeError, "descriptor must be a PayloadDescriptor or dict"),
    ('s.add_external({"preprocessing_ref": 1}, [])', TypeError, NOT_STR % "int"),
    ("s.add_external({k: v for k, v in F.items() if k != 'io_schema'}, [])", ValueError,
     FIELD % "io_schema"),
    ("s.add_external(dict(F, kind=None), [])", TypeError, NOT_STR % "NoneType"),
    ('s.add_external(dict(F, io_schema={"k": "v"}), [])', TypeError, NOT_STR % "dict"),
    ("s.add_external(dict(F, preprocessing_ref=3), [])", TypeError, NOT_STR % "int"),
    ('s.add_external(type("D", (dict,), {"__missing__": str})(kind="k"), [])', ValueError,
     FIELD % "content_hash"),
    # Only "not this kind" moves a conversion on: other errors of a hook pass unchanged.
    *((call.format(error.__name__), error, "hook")
      for error in (KeyboardInterrupt, SystemExit, MemoryError)
      for call in ('s.add_op("f", [0], {{"k": raising({}, "__index__")}})',
                   's.add_op("f", [0], {{"k": raising({}, "__float__")}})',
                   's.add_op("f", [0, raising({}, "__index__")])',
                   's.add_external({{raising({}, "__eq__"): "k", **NO_KIND}}, [0])')),
    # Text that UTF-8 cannot hold.
    *((call.replace("?", "\\ud800"), UnicodeEncodeError, SURROGATE) for call in (
        's.add_source("?")', 's.add_source("x", {"?": 1})', 's.add_source("x", {"k": "?"})',
        's.add_external(dict(F, kind="?"), [])')),
    ("""GS.deserialize(staged.replace(b"op|f", b'ab"c')).nodes()""", ValueError,
     'unparseable stage member token "ab\\"c"'),
    ('s.reduce(maximal_fusion=0, outputs="x")', TypeError, NOT_BOOL),
    ('s.reduce(outputs="4")', TypeError, NO_IDS % "outputs"),
    *((f"s.{method}(outputs={ids})", ValueError, f"no node with id {bad}")
      for method in ("reduce", "reduce_incremental", "reduction_report", "serialize")
      for ids, bad in (([4], 4), ([0, 7, 5], 7))),
    ('GS.deserialize(b"VIR2" + b[4:])', ValueError, "not a velmora IR blob (bad magic/version)"),
    *((f"GS.deserialize({data})", TypeError,
       f"argument 'data': '{kind}' object is not an instance of 'bytes'")
      for data, kind in (("bytearray(b)", "bytearray"), ("memoryview(b)", "memoryview"),
                         ('"VIR1"', "str"))),
    # The reducer: a bad output consumes nothing, and it keeps to the store it was fed.
    ("r.step(t)", ValueError, "this reducer belongs to another store"),
    ("r.finalize(t, outputs=[0])", ValueError, "this reducer belongs to another store"),
    ("r.finalize(s, outputs=[2, 99, 4])", ValueError, "no node with id 99"),
    ("r.finalize(s, outputs=[4])", ValueError, "no node with id 4"),
    ('r.finalize(42, maximal_fusion=1, outputs="x")', TypeError, NOT_STORE % "int"),
    ('r.finalize(s, maximal_fusion=1, outputs="x")', TypeError, NOT_BOOL),
]


def error_names():
    """The names the calls of ERRORS run with, made anew."""
    s, r, t = vc.GraphStore(), vc.IncrementalReducer(), vc.GraphStore()
    chain(s, "f", "g")
    r.step(s)
    s.add_op("h", [2])
    t.add_source("y")
    return dict(globals(), GS=vc.GraphStore, PD=vc.PayloadDescriptor, IR=vc.IncrementalReducer,
                s=s, r=r, t=t, b=s.serialize(), staged=s.reduce(outputs=[3])[0].serialize())


class BuildersTest(unittest.TestCase):
    def test_every_refusal_and_its_message(self):
        for call, error, message in ERRORS:
            names = error_names()
            s, r, t = names["s"], names["r"], names["t"]
            with self.subTest(call):
                with self.assertRaises(error) as cm:
                    eval(call, names)
                self.assertEqual(str(cm.exception), message)
                state = (s.node_count(), r.watermark(), r.total_work(), r.canonical_count())
                self.assertEqual((state, t.node_count()), ((4, 3, 3, 3), 1))

    def test_a_dict_reads_as_its_subclass_does(self):
        # A plain dict of exact values is read in one pass; a subclass, or any other
        # value, takes the general reading, which must give the same node or error.
        values = [True, 0, -2**63, 2**63, -2**63 - 1, 10**400, -0.0, math.nan, 1.5, "", "\xe9",
                  "\ud800", None, index(3), Text("t"), Real()]
        rng, s = random.Random(7), vc.GraphStore()
        for _ in range(300):
            params = {rng.choice(["a", "b", "\xe9", "\ud800", 1]): rng.choice(values)
                      for _ in range(rng.randrange(5))}
            outcomes = []
            for form in (dict, Params):
                try:
                    outcomes.append(s.add_source("x", form(params)))
                except (TypeError, UnicodeEncodeError) as e:
                    outcomes.append(repr(e))
            self.assertEqual(outcomes[0], outcomes[1], params)

    def test_interning_and_the_forms_of_one_node(self):
        s = vc.GraphStore()
        names = dict(globals(), PD=vc.PayloadDescriptor, s=s)
        self.assertEqual([s.add_source("a"), s.add_source("b"), s.add_source("a")], [0, 1, 0])
        firsts = []
        for line in SAME:
            ids = {call: eval("s." + call, names) for call in line}
            self.assertEqual(len(set(ids.values())), 1, ids)
            firsts.append(ids[line[0]])
        self.assertEqual(len(set(firsts)), len(SAME), firsts)

    def test_a_node_read_back_is_found_again_by_its_call(self):
        # The builders hash a key as they read it, the blob reader from the
        # stored node: if the two disagreed, a node added again after a round
        # trip would be stored twice.
        rng, s, calls = random.Random(5), vc.GraphStore(), []
        for _ in range(300):
            n = s.node_count()
            inputs = [rng.randrange(n) for _ in range(rng.randrange(3))] if n else []
            values = [1, -2.5, math.nan, True, "v", "", index(2)]  # index: the general reading
            params = {rng.choice(["a", "b", "\xe9"]): rng.choice(values)
                      for _ in range(rng.randrange(4))}
            call = rng.choice([("add_source", ("s%d" % rng.randrange(5), params)),
                               ("add_op", ("f%d" % rng.randrange(5), inputs, params)),
                               ("add_reduction", ("r", inputs, params)),
                               ("add_exchange", (inputs[:1], params)),
                               ("add_join", (inputs, params)),
                               ("add_external", (F, inputs, params))])
            calls.append((call, getattr(s, call[0])(*call[1])))
        t = vc.GraphStore.deserialize(s.serialize())
        self.assertEqual([getattr(t, m)(*a) for (m, a), _ in calls], [i for _, i in calls])
        self.assertEqual(t.node_count(), s.node_count())

    def test_strs_made_where_others_were_freed_keep_their_own_texts(self):
        # The builders know strs met before by identity: a str freed and
        # another made at its address must still read as its own text.
        rng, s, first = random.Random(11), vc.GraphStore(), {}
        for _ in range(3000):
            name, key, value = ("".join(rng.choice("ab") for _ in range(rng.randrange(2, 5)))
                                for _ in range(3))  # new objects, freed after the call
            node = s.add_op(name, [], {key: value, "k": key})
            self.assertEqual(first.setdefault((name, key, value), node), node)
        self.assertEqual({(n["name"], n["params"]["k"], n["params"][n["params"]["k"]]): n["id"]
                          for n in s.nodes()}, first)

    def test_node_dicts_of_every_kind(self):
        s = vc.GraphStore()
        self.assertEqual((s.nodes(), s.outputs(), s.node_map(), s.to_dot()),
                         ([], [], [], "digraph velmora {\n}\n"))
        # Each param value is stored by the first rule that fits: bool, int64, float, str.
        s.add_source("s", {"i": 2**63 - 1, "j": -2**63, "f": 2**63, "g": -2**63 - 1, "b": False,
                           "x": index(7), "r": Real(), "t": Text("t"), "z": -0.0, "n": math.nan})
        s.add_op("a", [0])
        s.add_join([0, 1], {"how": "inner"})
        s.add_reduction("sum", [2], {"axis": 0})
        s.add_exchange([3])
        s.add_external(F, [4, 4], {"t": True})
        d = vc.PayloadDescriptor(**F, preprocessing_ref="p")
        s.add_external(d, [])
        params = dict(b=False, f=2.0**63, g=float(-2**63 - 1), i=2**63 - 1, j=-2**63, n=math.nan,
                      r=1.0, t="t", x=7, z=-0.0)
        rows = [[0, False, [], "source", "s", params], [1, False, [0], "op", "a", {}],
                [2, False, [0, 1], "join", "", {"how": "inner"}],
                [3, False, [2], "reduction", "sum", {"axis": 0}],
                [4, False, [3], "exchange", "", {}],
                [5, False, [4, 4], "external", "", {"t": True}, dict(F, preprocessing_ref=None)],
                [6, False, [], "external", "", {}, dict(F, preprocessing_ref="p")]]
        got = s.nodes()  # NaN is not equal to itself: compare the printed forms
        self.assertEqual(repr([list(n.items()) for n in got]),
                         repr([list(zip(KEYS, row)) for row in rows]))
        self.assertEqual([list(n["descriptor"]) for n in got[5:]], [[*F, "preprocessing_ref"]] * 2)
        self.assertEqual([d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                          d.preprocessing_ref], [*F.values(), "p"])
        d = vc.PayloadDescriptor(**F)
        self.assertEqual((d.preprocessing_ref, d == vc.PayloadDescriptor(**F)), (None, False))


class ReduceTest(unittest.TestCase):
    def test_every_way_of_reducing_a_chain(self):
        s = vc.GraphStore()
        s.add_op("b", [s.add_op("a", [s.add_source("s")])], {"k": -0.5, "t": "x|y"})
        members = [{"kind": "op", "name": "a", "params": {}, "inputs": [("input", 0)]},
                   {"kind": "op", "name": "b", "params": {"k": -0.5, "t": "x|y"},
                    "inputs": [("member", 0)]}]
        nodes = [[0, False, [], "source", "s", {}], [1, True, [0], "stage", "", {}, 2, members]]
        keys = KEYS[:6] + ["n_members", "members"]
        expected = ([dict(zip(keys, n)) for n in nodes], [1], [(0, None), (1, 0), (1, 1)],
                    dict(zip(REPORT, (3, 3, 3, 1, 2, 1))))
        reducer, before = vc.IncrementalReducer(), (s.nodes(), s.serialize())
        self.addCleanup(gc.enable if gc.isenabled() else gc.disable)
        ways = (s.reduce, s.reduce_incremental, lambda **kw: reducer.finalize(s, **kw))
        for way, collecting in zip(ways, (False, True, False)):
            (gc.enable if collecting else gc.disable)()
            reduced, report = way(outputs=[2])
            got = result((reduced, report))  # the views leave the collector as they found it
            self.assertEqual((got, gc.isenabled()), (expected, collecting))
            self.assertEqual([list(n) for n in got[0]], [KEYS[:6], keys])
            self.assertEqual({type(v) for v in got[3].values()}, {int})
            got[0][0]["params"]["n"] = 4  # and are fresh copies
            got[0][1]["members"][1]["inputs"].append(7)
            got[1].append(1)
            got[2].append(None)
            self.assertEqual(result((reduced, report)), expected)
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

    def test_a_carried_stage_equal_to_a_fused_one_is_one_node(self):
        g = vc.GraphStore()
        a = g.add_op("neg", [g.add_source("s")])
        r, _ = g.reduce(outputs=[a])
        n = r.add_op("neg", [0])  # the fused op recorded again
        report = dict(zip(REPORT, (3, 3, 3, 1, 3, 2)))
        expected = (r.nodes()[:2], [1], [(0, None), (1, None), (1, 0)], report)
        reducer = vc.IncrementalReducer()
        for way in (r.reduce, r.reduce_incremental, lambda **kw: reducer.finalize(r, **kw)):
            self.assertEqual(result(way(outputs=[1, n])), expected)
        self.assertEqual(r.reduction_report(outputs=[n, 1]), report)
        self.assertEqual((reducer.watermark(), result(reducer.finalize(r, outputs=[1, n]))),
                         (3, expected))

    def test_maximal_fusion_reaches_the_reduction(self):
        s = vc.GraphStore()  # s -> a -> b, a -> c, (b, c) -> d: two stages, or one if maximal
        s.add_op("d", [chain(s, "a", "b"), s.add_op("c", [1])])
        flags = [(False, 2), (True, 1)]
        if numpy is not None:
            flags += [(numpy.bool_(False), 2), (numpy.bool_(True), 1)]
            self.assertEqual(s.reduce(outputs=numpy.array([4, 4]))[0].outputs(), [2])
            for flag in (numpy.array(True), numpy.int64(1)):
                self.assertRaises(TypeError, s.reduce, maximal_fusion=flag)
        for flag, stages in flags:
            for way in (s.reduce, lambda **kw: vc.IncrementalReducer().finalize(s, **kw)):
                self.assertEqual(way(maximal_fusion=flag, outputs=[4])[1]["stages"], stages)
        self.assertEqual([s.reduce_incremental(outputs=[4])[1]["stages"],
                          s.reduction_report(outputs=[4])["stages"]], [2, 2])  # never maximal

    def test_steps_consume_the_delta_and_finalize_the_rest(self):
        s, r = vc.GraphStore(), vc.IncrementalReducer()
        seen = [(r.watermark(), r.total_work(), r.canonical_count())]
        x, y = s.add_source("x"), s.add_source("y")
        s.add_op("add", [x, y])
        seen += [r.step(s), r.step(store=s)]
        s.add_op("mul", [s.add_op("add", [y, x])], {"scalar": 1.0, "side": "r"})
        seen += [r.step(s), (r.watermark(), r.total_work(), r.canonical_count())]
        s.add_op("neg", [4])
        first = result(r.finalize(s, outputs=[5]))
        seen += [(r.watermark(), r.total_work(), r.canonical_count()), len(first[2])]
        self.assertEqual(result(r.finalize(s, outputs=[5])), first)
        s.add_op("abs", [5])
        seen.append(r.step(s))
        self.assertEqual(seen, [(0, 0, 0), 3, 0, 2, (5, 5, 3), (6, 6, 4), 6, 1])
        # The fed store is not kept alive, and a store made after it went is refused.
        refs = sys.getrefcount(s)
        self.assertEqual((r.step(s), sys.getrefcount(s)), (0, refs))
        del s
        gc.collect()
        self.assertRaises(ValueError, r.step, vc.GraphStore())


if __name__ == "__main__":
    unittest.main()
