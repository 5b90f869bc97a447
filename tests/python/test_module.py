"""The module object: what it registers, its exception, signatures and docs."""

import os
import subprocess
import sys
import unittest

from support import FREE_THREADED, vc

try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None

GS = vc.GraphStore
PD = vc.PayloadDescriptor
IR = vc.IncrementalReducer

# (callable, text signature, docstring lines); no lines means no docstring.
SURFACE = [
    (vc.version, "()", []),
    (GS, "()", [
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to",
        "share across threads under the GIL and free-threaded 3.14t).",
    ]),
    (GS.add_source, "($self, name, params=None)", []),
    (GS.add_op, "($self, name, inputs, params=None)", []),
    (GS.add_reduction, "($self, name, inputs, params=None)", []),
    (GS.add_external, "($self, descriptor, inputs, params=None)", []),
    (GS.add_exchange, "($self, inputs, params=None)", [
        "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity is its",
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.',
    ]),
    (GS.add_join, "($self, inputs, params=None)", [
        "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs `[left, right]`; identity is its",
        '`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.',
    ]),
    (GS.node_count, "($self)", []),
    (GS.to_dot, "($self)", []),
    (GS.nodes, "($self)", [
        "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and",
        "`reproduce` interprets it). Each entry is a dict with `id`, `kind`",
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a",
        "`descriptor` dict for external nodes and `n_members` for stage nodes.",
    ]),
    (GS.outputs, "($self)", [
        "The marked output node ids, in mark order (what an IR evaluator returns, in order).",
    ]),
    (GS.node_map, "($self)", [
        "\u00a78.2(i): for each node of the arena this store was REDUCED FROM, where it landed here \u2014",
        "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that",
        "arena's node id. Empty for a store that did not come out of a reduction.",
    ]),
    (GS.reduce, "($self, *, maximal_fusion=False, outputs=None)", [
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind",
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in",
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is",
        "pinned by the frozen M4 suite).",
    ]),
    (GS.reduce_incremental, "($self, *, outputs=None)", [
        "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine",
        "step-by-step reduction while building, use `IncrementalReducer`.",
    ]),
    (GS.reduction_report, "($self, *, outputs=None)", [
        "The reduction report for the current graph, without keeping the reduced store.",
    ]),
    (GS.serialize, "($self, outputs=None)", [
        "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:",
        "the serializable IR \u2014 not cloudpickle \u2014 is the canonical durable representation). With",
        "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a",
        "property of the compile request); the default keeps the marks-based behavior.",
    ]),
    (GS.deserialize, "(data)", [
        "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so",
        "`serialize` of the result is byte-identical to the input (plan M8 determinism gate).",
    ]),
    (PD, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)", [
        "Reproducibility metadata an External node carries (participates in the structural hash).",
    ]),
    (IR, "()", [
        "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being built; each",
        "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,",
        "commutativity dedup, hash-consing \u2014 the same sound rules the EggEngine runs), so a concise",
        "canonical form is maintained while building and `finalize` does one linear pass instead of a",
        "whole-history optimization. `total_work()` counts nodes processed across all steps \u2014 it equals",
        "the node count of the store, no matter how many steps fed it (the incrementality witness).",
    ]),
    (IR.step, "($self, store)", [
        "Consume the nodes recorded in `store` since the last step. Returns how many were processed",
        "(the delta size). The reducer must always be fed the same store.",
    ]),
    (IR.watermark, "($self)", ["How many of the store's nodes have been consumed so far."]),
    (IR.total_work, "($self)", [
        "Cumulative nodes processed across all steps (== watermark: each node touched once).",
    ]),
    (IR.canonical_count, "($self)", ["Size of the maintained canonical form."]),
    (IR.finalize, "($self, store, *, maximal_fusion=False, outputs=None)", [
        "Finish: consume any remaining delta, then reduce the maintained canonical form against the",
        "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored marks",
        "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.",
    ]),
]


class ModuleTest(unittest.TestCase):
    def test_version(self):
        self.assertEqual(vc.version(), "0.0.4")
        self.assertEqual(vc.__doc__, "")
        with self.assertRaises(TypeError):
            vc.version(1)

    def test_public_names_in_registration_order(self):
        public = [n for n in vars(vc) if not n.startswith("__")]
        self.assertEqual(public, ["GraphStore", "PayloadDescriptor", "IncrementalReducer",
                                  "version", "PanicException"])

    def test_panic_exception_is_a_base_exception(self):
        self.assertTrue(issubclass(vc.PanicException, BaseException))
        self.assertFalse(issubclass(vc.PanicException, Exception))
        self.assertEqual(vc.PanicException.__module__ + "." + vc.PanicException.__name__,
                         "velmora_core.PanicException")

    def test_signatures_and_docstrings(self):
        for obj, sig, lines in SURFACE:
            with self.subTest(obj=getattr(obj, "__qualname__", obj)):
                self.assertEqual(obj.__text_signature__, sig)
                self.assertEqual(obj.__doc__, "\n".join(lines) if lines else None)

    def test_method_table_order(self):
        gs = [n for n in vars(GS) if not n.startswith("__")]
        self.assertEqual(gs, ["add_source", "add_op", "add_reduction", "add_external",
                              "add_exchange", "add_join", "node_count", "to_dot", "serialize",
                              "deserialize", "nodes", "outputs", "node_map", "reduce",
                              "reduce_incremental", "reduction_report"])
        ir = [n for n in vars(IR) if not n.startswith("__")]
        self.assertEqual(ir, ["step", "watermark", "total_work", "canonical_count", "finalize"])
        pd = [n for n in vars(PD) if not n.startswith("__")]
        self.assertEqual(pd, ["kind", "content_hash", "framework", "version", "io_schema",
                              "preprocessing_ref"])

    def test_instances_have_no_settable_attributes(self):
        for obj in (GS(), IR(), PD(kind="k", content_hash="h", framework="f", version="v",
                                   io_schema="s")):
            with self.subTest(type=type(obj).__name__):
                self.assertFalse(hasattr(obj, "__dict__"))
                with self.assertRaises(AttributeError):
                    obj.extra = 1
        with self.assertRaises(AttributeError):
            GS().add_source = None
        with self.assertRaises(TypeError):
            GS.add_source = None

    def test_descriptor_properties_have_no_docstrings(self):
        for name in ("kind", "content_hash", "framework", "version", "io_schema",
                     "preprocessing_ref"):
            self.assertIsNone(vars(PD)[name].__doc__, name)

    @unittest.skipIf(interpreters is None, "no subinterpreter support")
    def test_imports_in_a_subinterpreter_with_its_own_gil(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
        code = "\n".join([
            "import sys",
            "sys.path.insert(0, %r)" % root,
            "from velmora.core import velmora_core as vc",
            "s = vc.GraphStore()",
            "assert s.add_source('x') == 0 and s.node_count() == 1",
            "try:",
            "    s.add_op('f', [5])",
            "except ValueError as e:",
            "    assert str(e) == 'no node with id 5'",
            "else:",
            "    raise AssertionError('no error')",
        ])
        interp = interpreters.create()
        try:
            self.assertIsNone(interpreters.run_string(interp, code))
        finally:
            interpreters.destroy(interp)
        self.assertEqual(vc.GraphStore().add_source("y"), 0)


@unittest.skipUnless(FREE_THREADED, "needs a free-threaded interpreter")
class FreeThreadedImportTest(unittest.TestCase):
    def test_a_fresh_import_keeps_the_gil_disabled(self):
        # A fresh interpreter, left to its own choice: PYTHON_GIL would override it.
        root = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
        env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        code = "\n".join([
            "import sys, warnings",
            "warnings.simplefilter('error', RuntimeWarning)",
            "sys.path.insert(0, %r)" % root,
            "from velmora.core import velmora_core",
            "print(sys._is_gil_enabled())",
        ])
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=False)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "False\n", ""))
        self.assertFalse(sys._is_gil_enabled())


if __name__ == "__main__":
    unittest.main()
