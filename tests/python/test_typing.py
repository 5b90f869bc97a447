"""The hand-written stubs agree with the module and type-check host programs.

The mypy checks run under interpreters that can import mypy (Debian's mypy is
the system python3's); the signature and version checks run everywhere.
"""

import ast
import contextlib
import inspect
import io
import os
import re
import runpy
import site
import subprocess
import sys
import tempfile
import unittest

from support import vc

import velmora
import velmora.core

try:
    import mypy
except ImportError:
    mypy = None

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = os.path.join(HERE, "typecheck")
VERSION_FILE = os.path.join(HERE, "..", "..", "VERSION")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(velmora.__file__)))
STUB = os.path.join(ROOT, "velmora", "core", "velmora_core.pyi")


def stub_signatures():
    """(qualified name, [(parameter name, kind, has default)]) of every function in the
    stub; a class's __new__ stands for the class itself."""
    kinds = (("posonlyargs", inspect.Parameter.POSITIONAL_ONLY),
             ("args", inspect.Parameter.POSITIONAL_OR_KEYWORD),
             ("kwonlyargs", inspect.Parameter.KEYWORD_ONLY))

    def params(fn, drop_first):
        a = fn.args
        positional = a.posonlyargs + a.args
        defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
        has_default = dict(zip((p.arg for p in positional), defaults))
        has_default.update((p.arg, d) for p, d in zip(a.kwonlyargs, a.kw_defaults))
        out = [(p.arg, kind, has_default[p.arg] is not None)
               for field, kind in kinds for p in getattr(a, field)]
        return out[1:] if drop_first else out

    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, params(node, False)
        elif isinstance(node, ast.ClassDef):
            for fn in node.body:
                if not isinstance(fn, ast.FunctionDef):
                    continue
                decorators = {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}
                static = "staticmethod" in decorators
                if "property" in decorators:
                    continue
                if fn.name == "__new__":
                    yield node.name, params(fn, True)
                else:
                    yield f"{node.name}.{fn.name}", params(fn, not static)


class SignatureTest(unittest.TestCase):
    def test_stub_signatures_match_the_text_signatures(self):
        # stubtest cannot see the constructors (their __new__ takes *args) and
        # takes the static deserialize for a classmethod: this covers them, and
        # runs under every interpreter.
        checked = 0
        for name, expected in stub_signatures():
            obj = vc
            for part in name.split("."):
                obj = getattr(obj, part)
            runtime = [(p.name, p.kind, p.default is not inspect.Parameter.empty)
                       for p in inspect.signature(obj).parameters.values()]
            if runtime[:1] and runtime[0][0] == "self":
                runtime = runtime[1:]
            with self.subTest(name):
                self.assertEqual(runtime, expected)
            checked += 1
        self.assertGreater(checked, 20)
        self.assertIsInstance(inspect.getattr_static(vc.GraphStore, "deserialize"),
                              staticmethod)

    def test_host_program_using_every_call_runs(self):
        program = runpy.run_path(os.path.join(PROGRAMS, "host_ok.py"))
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            program["main"]()  # asserts what it relies on
        self.assertTrue(out.getvalue().endswith("OverflowError\n"))

    def test_version_comes_from_the_version_file(self):
        self.assertEqual(velmora.core.__version__, vc.version())
        if os.path.exists(VERSION_FILE):  # a source tree
            with open(VERSION_FILE, encoding="ascii") as f:
                self.assertEqual(f.read().strip(), vc.version())


@unittest.skipIf(mypy is None, "mypy is not importable by this interpreter")
class MypyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._cache = tempfile.TemporaryDirectory()
        cls.env = dict(os.environ)
        installed = set(site.getsitepackages()) | {site.getusersitepackages()}
        if ROOT not in installed:  # mypy finds an installed package by itself
            cls.env["MYPYPATH"] = ROOT
        cls.env["PYTHONPATH"] = os.pathsep.join(
            p for p in (ROOT, os.environ.get("PYTHONPATH")) if p)

    @classmethod
    def tearDownClass(cls):
        cls._cache.cleanup()

    def run_mypy(self, *args):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
             "--cache-dir", self._cache.name, *args],
            capture_output=True, text=True, env=self.env, cwd=PROGRAMS, check=False)

    def test_host_program_using_every_call_passes(self):
        done = self.run_mypy("host_ok.py")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_package_passes(self):
        done = self.run_mypy("-p", "velmora")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_every_mistake_is_reported(self):
        with open(os.path.join(PROGRAMS, "host_bad.py"), encoding="utf-8") as f:
            marked = {i for i, line in enumerate(f, 1) if "# error:" in line}
        done = self.run_mypy("host_bad.py")
        self.assertEqual(done.returncode, 1, done.stderr)
        reported = {int(m) for m in re.findall(r"^host_bad\.py:(\d+): error:", done.stdout,
                                                re.MULTILINE)}
        self.assertEqual(reported, marked, done.stdout)

    def test_stubs_match_the_module(self):
        done = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "--allowlist",
             os.path.join(PROGRAMS, "stubtest_allowlist.txt"), "velmora.core.velmora_core"],
            capture_output=True, text=True, env=self.env, check=False)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
    unittest.main()
