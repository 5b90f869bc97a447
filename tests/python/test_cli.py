"""python -m velmora.core on the main job's blob: what each command prints and
writes, and how it refuses a file it cannot use."""

import collections
import contextlib
import io
import json
import os
import runpy
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import vc

import velmora

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(velmora.__file__)))
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "render_reduced_graph.py")


def as_json(value):
    return json.loads(json.dumps(value))  # tuples become lists, as the command prints them


class CliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._dir = tempfile.TemporaryDirectory()
        cls.dir = cls._dir.name
        with contextlib.redirect_stdout(io.StringIO()):
            runpy.run_path(EXAMPLE)["main"](cls.dir)
        cls.blob_path = os.path.join(cls.dir, "main-job.vir")
        with open(cls.blob_path, "rb") as f:
            cls.blob = f.read()
        cls.store = vc.GraphStore.deserialize(cls.blob)
        cls.env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            p for p in (ROOT, os.environ.get("PYTHONPATH")) if p))

    @classmethod
    def tearDownClass(cls):
        cls._dir.cleanup()

    def cli(self, *args, env=None):
        return subprocess.run([sys.executable, "-m", "velmora.core", *args], cwd=self.dir,
                              env=env or self.env, capture_output=True, text=True,
                              check=False)

    def out(self, name):
        path = os.path.join(self.dir, name)
        if os.path.exists(path):
            os.unlink(path)
        return path

    def test_example_writes_the_reduced_blob_and_svg_when_graphviz_is_there(self):
        self.assertEqual(self.store.node_count(), 6)
        self.assertEqual(self.store.outputs(), [5])
        svg = os.path.join(self.dir, "main-job-reduced.svg")
        self.assertEqual(os.path.exists(svg), shutil.which("dot") is not None)

    def test_nodes_prints_each_node_dict_on_a_line(self):
        done = self.cli("nodes", self.blob_path)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual([json.loads(line) for line in lines], as_json(self.store.nodes()))

    def test_inspect_counts_kinds_and_shows_outputs_and_sizes(self):
        done = self.cli("inspect", self.blob_path)
        self.assertEqual(done.returncode, 0, done.stderr)
        nodes = self.store.nodes()
        kinds = collections.Counter(n["kind"] for n in nodes)
        edges = sum(len(n["inputs"]) for n in nodes)
        self.assertIn(f"size: {len(self.blob)} bytes, {len(nodes)} nodes, {edges} edges",
                      done.stdout)
        for kind, count in kinds.items():
            self.assertIn(f"{kind} {count}", done.stdout)
        self.assertIn("outputs: 5\n", done.stdout)

    def test_reduce_writes_the_blob_and_prints_the_report(self):
        recorded = runpy.run_path(os.path.join(os.path.dirname(EXAMPLE),
                                               "record_and_reduce.py"))["record"]
        g, total = recorded()
        path = os.path.join(self.dir, "recorded.vir")
        with open(path, "wb") as f:
            f.write(g.serialize([total]))
        cases = [([], {}), (["--maximal-fusion"], {"maximal_fusion": True}),
                 (["--outputs", "3", "3", "0"], {"outputs": [3, 3, 0]}),
                 (["--outputs", str(total), "--maximal-fusion"],
                  {"outputs": [total], "maximal_fusion": True})]
        stored = vc.GraphStore.deserialize(g.serialize([total]))
        for args, kwargs in cases:
            with self.subTest(args=args):
                out = self.out("reduced.vir")
                done = self.cli("reduce", path, "-o", out, *args)
                self.assertEqual(done.returncode, 0, done.stderr)
                reduced, report = stored.reduce(**kwargs)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), reduced.serialize())
                self.assertEqual(json.loads(done.stdout), report)

    def test_dot_prints_writes_and_renders(self):
        done = self.cli("dot", self.blob_path)
        self.assertEqual((done.returncode, done.stdout), (0, self.store.to_dot()))
        out = self.out("graph.gv")
        self.assertEqual(self.cli("dot", self.blob_path, "-o", out).returncode, 0)
        with open(out, encoding="utf-8") as f:
            self.assertEqual(f.read(), self.store.to_dot())
        out = self.out("graph.svg")
        if shutil.which("dot"):
            done = self.cli("dot", self.blob_path, "-o", out)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(out, encoding="utf-8") as f:
                self.assertIn("<svg", f.read())
            os.unlink(out)
        # Without Graphviz on the PATH it says so, and writes nothing.
        done = self.cli("dot", self.blob_path, "-o", out, env=dict(self.env, PATH=self.dir))
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, r"\A[^\n]*graph\.svg[^\n]*dot is not installed[^\n]*\n\Z")
        self.assertFalse(os.path.exists(out))

    def test_refuses_unusable_files_on_one_line_and_writes_nothing(self):
        bad = {"garbage.vir": b"not a blob at all", "truncated.vir": self.blob[:-3],
               "empty.vir": b"", "directory.vir": None, "missing.vir": False}
        for name, content in bad.items():
            path = os.path.join(self.dir, name)
            if content is None:
                os.makedirs(path, exist_ok=True)
            elif content is not False:
                with open(path, "wb") as f:
                    f.write(content)
        commands = [["inspect"], ["nodes"], ["dot", "-o", "out.svg"], ["reduce", "-o", "out.vir"]]
        for name in bad:
            for command in commands:
                with self.subTest(name=name, command=command[0]):
                    done = self.cli(command[0], name, *command[1:])
                    self.assertEqual(done.returncode, 2)
                    self.assertEqual(done.stdout, "")
                    self.assertRegex(done.stderr, rf"\A[^\n]*: {name}: [^\n]+\n\Z")
                    self.assertEqual([n for n in os.listdir(self.dir)
                                      if n.startswith(("out.", ".velmora-"))], [])

    def test_refuses_output_ids_that_are_not_nodes(self):
        cases = [(["6"], r"\A[^\n]*main-job\.vir: no node with id 6\n\Z"),
                 (["0", "99"], r"\A[^\n]*main-job\.vir: no node with id 99\n\Z"),
                 (["-1"], r"invalid node_id value: '-1'\n\Z"),
                 ([str(2**64)], r"invalid node_id value: '18446744073709551616'\n\Z")]
        for ids, message in cases:
            with self.subTest(ids=ids):
                out = self.out("never.vir")
                done = self.cli("reduce", self.blob_path, "-o", out, "--outputs", *ids)
                self.assertEqual(done.returncode, 2)
                self.assertRegex(done.stderr, message)
                self.assertFalse(os.path.exists(out))

    def test_help_on_each_command(self):
        for command in ([], ["inspect"], ["nodes"], ["dot"], ["reduce"]):
            with self.subTest(command=command):
                done = self.cli(*command, "--help")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("usage: python -m velmora.core", done.stdout)


if __name__ == "__main__":
    unittest.main()
