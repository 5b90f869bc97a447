"""Every way a call of the module can be refused: the exception and its exact
message, and that nothing changed. Arguments are converted in a fixed order, so
a call with several bad arguments names the first."""

import unittest

from support import chain, stage_blob, vc

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
SIZE = "dictionary changed size during iteration"
KEYS = "dictionary keys changed during iteration"


def changing(change):
    """A params dict whose first value's conversion calls change(the dict)."""
    params = {"a": type("Hook", (), {"__index__": lambda self: change(params) or 1})(), "b": 2}
    return params


def raising(error, method):
    """An object whose `method` raises error("hook"); otherwise it reads as the
    float 2.5 and hashes as "kind"."""
    def fail(*args):
        raise error("hook")

    methods = {"__float__": lambda self: 2.5, "__hash__": lambda self: hash("kind")}
    return type("Raising", (), dict(methods, **{method: fail}))()


# Run on a store s of 4 nodes, a reducer r that consumed 3 of them, a store t of
# one node and b = s.serialize().
ERRORS = [
    ("vc.version(1)", TypeError,
     "velmora.core.velmora_core.version() takes no arguments (1 given)"),
    ("GS(1)", TypeError, "GraphStore() takes 0 positional arguments but 1 was given"),
    ("IR(1)", TypeError, "IncrementalReducer() takes 0 positional arguments but 1 was given"),
    ("IR(store=s)", TypeError, "IncrementalReducer() got an unexpected keyword argument 'store'"),
    ('PD("k", "h", "f", "v", "s")', TypeError,
     "PayloadDescriptor() takes 0 positional arguments but 5 were given"),
    ('PD(kind="k")', TypeError,
     "PayloadDescriptor() missing required keyword-only argument 'content_hash'"),
    *((f"PD(**dict(F, {field}=5))", TypeError, f"argument '{field}': " + NOT_STR % "int")
      for field in [*F, "preprocessing_ref"]),
    ("PD(**dict(F, io_schema=None))", TypeError, "argument 'io_schema': " + NOT_STR % "NoneType"),
    ("PD(**dict(F, kind=1, content_hash=2))", TypeError, "argument 'kind': " + NOT_STR % "int"),
    # Binding the arguments.
    ("s.add_source()", TypeError, "GraphStore.add_source() missing required argument 'name'"),
    ('s.add_source("x", None, 3)', TypeError,
     "GraphStore.add_source() takes 2 positional arguments but 3 were given"),
    ('s.add_source(nme="x")', TypeError,
     "GraphStore.add_source() got an unexpected keyword argument 'nme'"),
    ('s.add_source("x", name="y")', TypeError,
     "GraphStore.add_source() got multiple values for argument 'name'"),
    ('s.add_op("f")', TypeError, "GraphStore.add_op() missing required argument 'inputs'"),
    ("s.add_external(F)", TypeError,
     "GraphStore.add_external() missing required argument 'inputs'"),
    ("s.add_join()", TypeError, "GraphStore.add_join() missing required argument 'inputs'"),
    ("s.node_count(1)", TypeError, "GraphStore.node_count() takes no arguments (1 given)"),
    ('GS.add_source(42, "x")', TypeError,
     "descriptor 'add_source' for 'velmora_core.GraphStore' objects doesn't apply to a 'int' "
     "object"),
    # Conversion order: name, inputs, params; add_external: inputs, descriptor, params.
    ("s.add_source(5, 5)", TypeError, "argument 'name': " + NOT_STR % "int"),
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
                           ("0", "int"), ("None", "NoneType"))),
    ("s.add_join([0, 1.0])", TypeError,
     "argument 'inputs': 'float' object cannot be interpreted as an integer"),
    ("s.add_join([0, [1]])", TypeError,
     "argument 'inputs': 'list' object cannot be interpreted as an integer"),
    # Params, also below the first item.
    *((f's.add_source("x", {params})', TypeError, "params must be a dict or None")
      for params in ('[("a", 1)]', "()", '"a=1"', "5")),
    *((f's.add_source("x", {{"a": 1, "b": {value}}})', TypeError, PARAM_VALUES)
      for value in ("10**400", "None", "[1]", '{"c": 1}', 'b"x"', "1j", "object()")),
    ('s.add_source("x", {"a": 1, 2: 3})', TypeError, NOT_STR % "int"),
    ('s.add_op("f", [0], changing(lambda d: d.update(z=1)))', RuntimeError, SIZE),
    ('s.add_op("f", [0], changing(lambda d: d.update(c=d.pop("a"))))', RuntimeError, KEYS),
    ('s.add_op("f", [0], changing(lambda d: d.update(c=d.pop("b"))))', RuntimeError, KEYS),
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
    # Views, reductions and blobs.
    *((f"s.{view}(1)", TypeError, f"GraphStore.{view}() takes no arguments (1 given)")
      for view in ("nodes", "outputs", "node_map", "to_dot")),
    ('GS.deserialize(stage_blob("abc")).nodes()', ValueError,
     'unparseable stage member token "abc"'),
    ("GS.deserialize(stage_blob('src|x\"y')).nodes()", ValueError,
     'unparseable stage member token "src|x\\"y"'),
    ("s.reduce(True)", TypeError,
     "GraphStore.reduce() takes 0 positional arguments but 1 was given"),
    ('s.reduce(maximal_fusion=0, outputs="x")', TypeError, NOT_BOOL),
    ('s.reduce(outputs="4")', TypeError, NO_IDS % "outputs"),
    ("s.reduce(outputs={4})", TypeError, NOT_SEQ % ("outputs", "set")),
    ("s.reduce(output=[4])", TypeError,
     "GraphStore.reduce() got an unexpected keyword argument 'output'"),
    ("s.reduce(outputs=[-1])", OverflowError, "can't convert negative int to unsigned"),
    ("s.reduce_incremental(maximal_fusion=True)", TypeError,
     "GraphStore.reduce_incremental() got an unexpected keyword argument 'maximal_fusion'"),
    ("s.reduction_report([3])", TypeError,
     "GraphStore.reduction_report() takes 0 positional arguments but 1 was given"),
    *((f"s.{method}(outputs={ids})", ValueError, f"no node with id {bad}")
      for method in ("reduce", "reduce_incremental", "reduction_report", "serialize")
      for ids, bad in (([4], 4), ([0, 7, 5], 7))),
    ("s.serialize(iter([1]))", TypeError, NOT_SEQ % ("outputs", "list_iterator")),
    ("s.serialize([1], [1])", TypeError,
     "GraphStore.serialize() takes 1 positional argument but 2 were given"),
    ("GS.deserialize()", TypeError, "GraphStore.deserialize() missing required argument 'data'"),
    ("GS.deserialize(b[:-1])", ValueError, "truncated velmora IR blob"),
    ('GS.deserialize(b"VIR2" + b[4:])', ValueError, "not a velmora IR blob (bad magic/version)"),
    *((f"GS.deserialize({data})", TypeError,
       f"argument 'data': '{kind}' object is not an instance of 'bytes'")
      for data, kind in (("bytearray(b)", "bytearray"), ("memoryview(b)", "memoryview"),
                         ('"VIR1"', "str"))),
    # The reducer: a bad output consumes nothing, and it keeps to the store it was fed.
    ("r.step(42)", TypeError, NOT_STORE % "int"),
    ("r.step()", TypeError, "IncrementalReducer.step() missing required argument 'store'"),
    *((f"r.{method}(1)", TypeError, f"IncrementalReducer.{method}() takes no arguments (1 given)")
      for method in ("watermark", "total_work", "canonical_count")),
    ("r.step(t)", ValueError, "this reducer belongs to another store"),
    ("r.finalize(t, outputs=[0])", ValueError, "this reducer belongs to another store"),
    ("r.finalize(s, outputs=[2, 99, 4])", ValueError, "no node with id 99"),
    ("r.finalize(s, outputs=[4])", ValueError, "no node with id 4"),
    ("r.finalize(s, True)", TypeError,
     "IncrementalReducer.finalize() takes 1 positional argument but 2 were given"),
    ("r.finalize(outputs=[1])", TypeError,
     "IncrementalReducer.finalize() missing required argument 'store'"),
    ('r.finalize(42, maximal_fusion=1, outputs="x")', TypeError, NOT_STORE % "int"),
    ('r.finalize(s, maximal_fusion=1, outputs="x")', TypeError, NOT_BOOL),
    ('r.finalize(s, outputs="1")', TypeError, NO_IDS % "outputs"),
]


class ErrorTest(unittest.TestCase):
    def test_every_refusal_and_its_message(self):
        for call, error, message in ERRORS:
            s, r, t = vc.GraphStore(), vc.IncrementalReducer(), vc.GraphStore()
            chain(s, "f", "g")
            r.step(s)
            s.add_op("h", [2])
            t.add_source("y")
            names = dict(globals(), GS=vc.GraphStore, PD=vc.PayloadDescriptor,
                         IR=vc.IncrementalReducer, s=s, r=r, t=t, b=s.serialize())
            with self.subTest(call):
                with self.assertRaises(error) as cm:
                    eval(call, names)
                self.assertEqual(str(cm.exception), message)
                state = (s.node_count(), r.watermark(), r.total_work(), r.canonical_count())
                self.assertEqual((state, t.node_count()), ((4, 3, 3, 3), 1))


if __name__ == "__main__":
    unittest.main()
