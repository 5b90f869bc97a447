"""The module's surface (names, order, text signatures, docstrings); the stubs, checked
against it and by mypy where this interpreter has it (Debian's python3 does); the import
in a subinterpreter."""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import site
import subprocess
import sys
import tempfile
import unittest

from support import vc

import velmora.core

try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typecheck")

# Every class, method, property and function in registration and method-table
# order: a line "name text-signature", then the docstring's lines indented.
SURFACE_TEXT = """
GraphStore ()
    Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to
    share across threads under the GIL and free-threaded 3.14t).
GraphStore.add_source ($self, name, params=None)
GraphStore.add_op ($self, name, inputs, params=None)
GraphStore.add_reduction ($self, name, inputs, params=None)
GraphStore.add_external ($self, descriptor, inputs, params=None)
GraphStore.add_exchange ($self, inputs, params=None)
    Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its
    `scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.
GraphStore.add_join ($self, inputs, params=None)
    Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its
    `scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.
GraphStore.node_count ($self)
GraphStore.to_dot ($self)
GraphStore.serialize ($self, outputs=None)
    Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:
    the serializable IR — not cloudpickle — is the canonical durable representation). With
    `outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a
    property of the compile request); the default keeps the marks-based behavior.
GraphStore.deserialize (data)
    Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so
    `serialize` of the result is byte-identical to the input (plan M8 determinism gate).
GraphStore.nodes ($self)
    Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and
    `reproduce` interprets it). Each entry is a dict with `id`, `kind`
    (source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a
    `descriptor` dict for external nodes and `n_members` for stage nodes.
GraphStore.outputs ($self)
    The marked output node ids, in mark order (what an IR evaluator returns, in order).
GraphStore.node_map ($self)
    §8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —
    `(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that
    arena's node id. Empty for a store that did not come out of a reduction.
GraphStore.reduce ($self, *, maximal_fusion=False, outputs=None)
    Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind
    RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in
    to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is
    pinned by the frozen M4 suite).
GraphStore.reduce_incremental ($self, *, outputs=None)
    One-shot incremental reduction of the current graph (same result as `reduce`). For genuine
    step-by-step reduction while building, use `IncrementalReducer`.
GraphStore.reduction_report ($self, *, outputs=None)
    The reduction report for the current graph, without keeping the reduced store.
PayloadDescriptor (*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)
    Reproducibility metadata an External node carries (participates in the structural hash).
PayloadDescriptor.kind
PayloadDescriptor.content_hash
PayloadDescriptor.framework
PayloadDescriptor.version
PayloadDescriptor.io_schema
PayloadDescriptor.preprocessing_ref
IncrementalReducer ()
    Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each
    `step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,
    commutativity dedup, hash-consing — the same sound rules the EggEngine runs), so a concise
    canonical form is maintained while building and `finalize` does one linear pass instead of a
    whole-history optimization. `total_work()` counts nodes processed across all steps — it equals
    the node count of the store, no matter how many steps fed it (the incrementality witness).
IncrementalReducer.step ($self, store)
    Consume the nodes recorded in `store` since the last step. Returns how many were processed
    (the delta size). The reducer must always be fed the same store.
IncrementalReducer.watermark ($self)
    How many of the store's nodes have been consumed so far.
IncrementalReducer.total_work ($self)
    Cumulative nodes processed across all steps (== watermark: each node touched once).
IncrementalReducer.canonical_count ($self)
    Size of the maintained canonical form.
IncrementalReducer.finalize ($self, store, *, maximal_fusion=False, outputs=None)
    Finish: consume any remaining delta, then reduce the maintained canonical form against the
    store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks
    ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.
version ()
"""


def surface():
    """[(name, text signature or None, docstring or None)] of SURFACE_TEXT."""
    return [(name, signature or None, "\n".join(line[4:] for line in doc.splitlines()) or None)
            for name, signature, doc in re.findall(r"^(\S+) ?(.*)\n((?:    .*\n)*)",
                                                   SURFACE_TEXT, re.MULTILINE)]


def stub_signatures():
    """(name, text signature) of each function of the stub; __new__ stands for its class."""
    stub = pathlib.Path(ROOT, "velmora", "core", "velmora_core.pyi")
    for node in ast.parse(stub.read_text()).body:
        for fn in node.body if isinstance(node, ast.ClassDef) else [node]:
            if not isinstance(fn, ast.FunctionDef) or fn.decorator_list and ast.unparse(
                    fn.decorator_list[0]) == "property":
                continue
            for arg in fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs:
                arg.annotation = None
            text = ast.unparse(fn.args)
            if fn.name == "__new__":
                yield node.name, "(%s)" % text.removeprefix("cls").removeprefix(", ")
            else:
                name = fn.name if fn is node else f"{node.name}.{fn.name}"
                yield name, "(%s)" % re.sub(r"^self\b", "$self", text)


class SurfaceTest(unittest.TestCase):
    def test_names_signatures_docstrings_and_stubs(self):
        self.assertEqual((vc.version(), vc.__doc__), ("0.0.4", ""))
        public = [top + name for top in vars(vc) if not top.startswith("_") for name in [
            "", *("." + n for n in getattr(getattr(vc, top), "__dict__", ()) if n[0] != "_")]]
        self.assertEqual(public, [name for name, _, _ in surface()] + ["PanicException"])
        for name, signature, doc in surface():
            obj = vc
            for part in name.split("."):
                obj = getattr(obj, part)
            with self.subTest(name):
                self.assertEqual((getattr(obj, "__text_signature__", None), obj.__doc__),
                                 (signature, doc))
        self.assertIsInstance(vars(vc.GraphStore)["deserialize"], staticmethod)
        # stubtest cannot see the constructors (their __new__ takes *args) and takes
        # the static deserialize for a classmethod; this covers them, everywhere.
        self.assertEqual(dict(stub_signatures()), {n: s for n, s, _ in surface() if s})
        version = pathlib.Path(PROGRAMS, "..", "..", "..", "VERSION")
        if version.exists():  # a source tree
            self.assertEqual(version.read_text().strip(), velmora.core.__version__)

    def test_panic_exception_and_read_only_instances(self):
        panic = vc.PanicException
        self.assertEqual((panic.__module__, panic.__name__, panic.__bases__),
                         ("velmora_core", "PanicException", (BaseException,)))
        fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
        for obj in (vc.GraphStore(), vc.IncrementalReducer(), vc.PayloadDescriptor(**fields)):
            self.assertFalse(hasattr(obj, "__dict__"))
            for attr in ("extra", "kind", "add_source", "step"):
                self.assertRaises(AttributeError, setattr, obj, attr, None)
        self.assertRaises(TypeError, setattr, vc.GraphStore, "add_source", None)

    @unittest.skipIf(interpreters is None, "no subinterpreter support")
    def test_imports_in_a_subinterpreter_with_its_own_gil(self):
        code = (f"import sys\nsys.path.insert(0, {ROOT!r})\n"
                "from velmora.core import velmora_core as vc\n"
                "s = vc.GraphStore()\n"
                "assert (s.add_source('x'), s.node_count()) == (0, 1)\n"
                "assert vc.IncrementalReducer().step(s) == 1\n")
        interp = interpreters.create()
        try:
            self.assertIsNone(interpreters.run_string(interp, code))
        finally:
            interpreters.destroy(interp)
        self.assertEqual(vc.GraphStore().add_source("y"), 0)


# Per parameter name: an argument every method taking it accepts, and one it refuses
# with its message. The messages name the parameter, so each shows where it was bound.
NOT_STR = "argument '%s': '%s' object cannot be converted to 'str'"
ARGS = {
    "name": ('"x"', "5", NOT_STR % ("name", "int")),
    "inputs": ("[1]", '"01"', "argument 'inputs': a str is not a sequence of node ids"),
    "params": ('{"a": 1}', "5", "params must be a dict or None"),
    "descriptor": ("F", '"x"', "descriptor must be a PayloadDescriptor or dict"),
    "outputs": ("[4]", '"4"', "argument 'outputs': a str is not a sequence of node ids"),
    "maximal_fusion": ("True", "0",
                       "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"),
    "data": ("b", '"VIR1"', "argument 'data': 'str' object is not an instance of 'bytes'"),
    "store": ("s", "42", "argument 'store': 'int' object is not an instance of 'GraphStore'"),
    **{field: ('"v"', "None", NOT_STR % (field, "NoneType"))
       for field in ("kind", "content_hash", "framework", "version", "io_schema")},
    "preprocessing_ref": ('"p"', "5", NOT_STR % ("preprocessing_ref", "int")),
}


def binding_names():
    """A store s (x -> a -> b, a -> c, (b, c) -> d), its blob b, a new reducer r."""
    s = vc.GraphStore()
    s.add_op("d", [s.add_op("b", [s.add_op("a", [s.add_source("x")])]), s.add_op("c", [1])])
    return dict(s=s, b=s.serialize(), r=vc.IncrementalReducer(), vc=vc, GS=vc.GraphStore,
                PD=vc.PayloadDescriptor, IR=vc.IncrementalReducer,
                F=dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s"))


def seen(result):
    """What a call's result shows: a reduction's stores by their nodes and marks."""
    if isinstance(result, tuple):
        return result[0].nodes(), result[0].outputs(), result[1]
    if isinstance(result, vc.PayloadDescriptor):
        return [getattr(result, field) for field in vars(vc.PayloadDescriptor) if field[0] != "_"]
    return result


class BinderTest(unittest.TestCase):
    def call(self, target, args, error=None, message=None):
        """Runs target(*args) (args: expressions, "name=expression" by keyword)."""
        names = binding_names()
        with self.subTest(call=f"{target}({', '.join(args)})"):
            if error is None:
                return seen(eval(f"{target}({', '.join(args)})", names))
            with self.assertRaises(error) as cm:
                eval(f"{target}({', '.join(args)})", names)
            self.assertEqual(str(cm.exception), message)

    def test_every_parameter_missing_repeated_and_extra_argument(self):
        for name, text, _ in surface():
            if text is None:
                continue  # a property
            owner, _, method = name.rpartition(".")
            target = {"": {"GraphStore": "GS", "PayloadDescriptor": "PD",
                           "IncrementalReducer": "IR"}.get(method, "vc." + method),
                      "IncrementalReducer": "r." + method}.get(owner, f"s.{method}")
            if name == "GraphStore.deserialize":
                target = "GS.deserialize"
            function = vc.__name__ + ".version" if name == "version" else name
            namespace = {}
            exec(f"def f{re.sub(r'[$]self(, )?', '', text)}: pass", namespace)
            params = list(inspect.signature(namespace["f"]).parameters.values())
            by_position = [p for p in params if p.kind == p.POSITIONAL_OR_KEYWORD]
            required = ([ARGS[p.name][0] for p in by_position if p.default is p.empty] +
                        [f"{p.name}={ARGS[p.name][0]}" for p in params
                         if p.kind == p.KEYWORD_ONLY and p.default is p.empty])
            self.call(target, required)
            for p in params:
                good, bad, message = ARGS[p.name]
                others = [f"{q.name}={ARGS[q.name][0]}" for q in params
                          if q.default is q.empty and q is not p]
                self.call(target, [*others, f"{p.name}={bad}"], TypeError, message)
                # Those before p by position, those after it by keyword.
                before = [ARGS[q.name][0] for q in by_position[:by_position.index(p)]
                          ] if p in by_position else []
                rest = others[len(before):]
                if p in by_position:
                    self.call(target, [*before, bad, *rest], TypeError, message)
                    self.call(target, [*before, good, *rest, f"{p.name}={good}"], TypeError,
                              f"{function}() got multiple values for argument '{p.name}'")
                if p.default is p.empty:
                    only = "keyword-only " * (p.kind == p.KEYWORD_ONLY)
                    self.call(target, [*before, *rest], TypeError,
                              f"{function}() missing required {only}argument '{p.name}'")
                else:  # the others given, so that the default shows
                    given = [*others, *(f"{q.name}={ARGS[q.name][0]}" for q in params
                                        if q.default is not q.empty and q is not p)]
                    self.assertEqual(self.call(target, [*given, f"{p.name}={p.default!r}"]),
                                     self.call(target, given))
            # The interpreter binds the methods without parameters itself.
            its_own = not params and name not in ("GraphStore", "IncrementalReducer")
            extra = [ARGS[p.name][0] for p in by_position] + ["1"]
            most = len(by_position)
            self.call(target, extra, TypeError, (
                f"{function}() takes no arguments (1 given)" if its_own else
                f"{function}() takes {most} positional argument{'s' * (most != 1)} but "
                f"{most + 1} {'was' if most == 0 else 'were'} given"))
            self.call(target, [*required, "bogus=1"], TypeError,
                      f"{function}() takes no keyword arguments" if its_own else
                      f"{function}() got an unexpected keyword argument 'bogus'")


@unittest.skipIf(importlib.util.find_spec("mypy") is None, "this interpreter has no mypy")
class MypyTest(unittest.TestCase):
    def check(self, module, *args):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            p for p in (ROOT, os.environ.get("PYTHONPATH")) if p))
        if ROOT not in set(site.getsitepackages()) | {site.getusersitepackages()}:
            env["MYPYPATH"] = ROOT  # mypy finds an installed package by itself
        if module == "mypy":  # one cache for the test's runs
            args += ("--strict", "--no-error-summary", "--cache-dir", self.cache)
        return subprocess.run([sys.executable, "-m", module, *args], capture_output=True,
                              text=True, env=env, cwd=PROGRAMS, check=False)

    def test_stubs_pass_and_catch_every_mistake(self):
        self.cache = self.enterContext(tempfile.TemporaryDirectory())
        for args in (["host_ok.py"], ["-p", "velmora"]):
            done = self.check("mypy", *args)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        done = self.check("mypy.stubtest", "--allowlist", "stubtest_allowlist.txt",
                          "velmora.core.velmora_core")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = pathlib.Path(PROGRAMS, "host_bad.py").read_text().splitlines()
        marked = {i for i, line in enumerate(lines, 1) if "# error:" in line}
        done = self.check("mypy", "host_bad.py")
        reported = re.findall(r"^host_bad\.py:(\d+): error:", done.stdout, re.MULTILINE)
        self.assertEqual((done.returncode, set(map(int, reported))), (1, marked), done.stdout)


if __name__ == "__main__":
    unittest.main()
