"""The examples, and python -m velmora.core on the main job's blob: what each
command prints and writes, and how it refuses what it cannot use."""

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
from unittest import mock

from support import vc

from velmora.core.__main__ import main

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
        "boundary_nodes"]  # the report's keys in the order of the pipeline


def run(call, *args, path=None):
    """(exit status, stdout, stderr) of call(*args), with PATH set to `path` if given."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), \
            mock.patch.dict(os.environ, {"PATH": path} if path else {}):
        try:
            code = call(*args)
        except SystemExit as e:  # argparse's usage errors
            code = e.code
    return code, out.getvalue(), err.getvalue()


class CliTest(unittest.TestCase):
    def test_examples_and_commands(self):
        text = run(runpy.run_path(os.path.join(EXAMPLES, "record_and_reduce.py"))["main"])[1]
        for line in ("recorded 12 nodes:", '"reduced_nodes": 6', "shape=doublecircle"):
            self.assertIn(line, text)
        self.assertEqual(text.count("digraph velmora {"), 2)
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        svg = run(runpy.run_path(os.path.join(EXAMPLES, "render_reduced_graph.py"))["main"], tmp)
        self.assertEqual(svg[0], os.path.join(tmp, "main-job-reduced.svg") if shutil.which("dot")
                         else None)
        b, out = os.path.join(tmp, "main-job.vir"), os.path.join(tmp, "out")
        with open(b, "rb") as f:
            data = f.read()
        store = vc.GraphStore.deserialize(data)
        self.assertEqual((store.node_count(), store.outputs()), (6, [5]))
        rows = [(["nodes", b], "".join(json.dumps(n) + "\n" for n in store.nodes()), None),
                (["inspect", b], f"file: {b}\nsize: {len(data)} bytes, 6 nodes, 5 edges, 5 stage "
                 "members\nkinds: source 1, reduction 1, external 1, stage 2, exchange 1\n"
                 "outputs: 5\n", None),
                (["dot", b], store.to_dot(), None), (["dot", b, "-o", out], "", store.to_dot())]
        for args, kwargs in (([], {}), (["--maximal-fusion"], {"maximal_fusion": True}),
                             (["--outputs", "3", "3", "0"], {"outputs": [3, 3, 0]})):
            reduced, report = store.reduce(**kwargs)
            rows.append((["reduce", b, "-o", out, *args],
                         json.dumps({k: report[k] for k in KEYS}) + "\n", reduced.serialize()))
        for args, stdout, written in rows:
            with self.subTest(args=args[:1] + args[2:]):
                self.assertEqual(run(main, args), (0, stdout, ""))
                if written is not None:
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), written if args[0] == "reduce"
                                         else written.encode())
        if shutil.which("dot"):
            self.assertEqual(run(main, ["dot", b, "-o", out + ".svg"])[0], 0)
            with open(out + ".svg", "rb") as f:
                self.assertIn(b"<svg", f.read())

    def test_refusals_are_one_line_and_write_nothing(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        blob = vc.GraphStore().serialize()
        os.mkdir(os.path.join(tmp, "directory"))
        for name, content in (("garbage", b"VIR2"), ("truncated", blob[:-1]), ("empty", b""),
                              ("blob", blob)):
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(content)
        rows = [("inspect {d}/garbage", 2, "inspect: {d}/garbage: not a velmora IR blob "
                 "(bad magic/version)"),
                ("nodes {d}/truncated", 2, "nodes: {d}/truncated: truncated velmora IR blob"),
                ("dot {d}/empty -o {d}/no.svg", 2, "dot: {d}/empty: truncated velmora IR blob"),
                ("reduce {d}/directory -o {d}/no", 2, "reduce: {d}/directory: Is a directory"),
                ("inspect {d}/missing", 2, "inspect: {d}/missing: No such file or directory"),
                ("reduce {d}/blob -o {d}/no --outputs 0", 2, "reduce: {d}/blob: no node with id 0"),
                ("dot {d}/blob -o {d}/no.svg", 1, "dot: cannot render {d}/no.svg: Graphviz's dot "
                 "is not installed (install graphviz, or write the DOT text with -o NAME.dot)"),
                ("reduce {d}/blob -o {d}/no --outputs -1", 2,
                 "reduce: error: argument --outputs: invalid node_id value: '-1'"),
                ("reduce {d}/blob -o {d}/no --outputs %d" % 2**64, 2,
                 "reduce: error: argument --outputs: invalid node_id value: '%d'" % 2**64)]
        for args, status, message in rows:
            with self.subTest(args=args):
                code, out, err = run(main, args.format(d=tmp).split(), path=tmp)
                lines = err.splitlines()
                self.assertEqual((code, out, lines[-1]),
                                 (status, "", "python -m velmora.core " + message.format(d=tmp)))
                self.assertTrue(len(lines) == 1 or "error: argument" in message, err)
        self.assertEqual(sorted(os.listdir(tmp)), ["blob", "directory", "empty", "garbage",
                                                   "truncated"])

    def test_version_through_the_module_entry(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
        done = subprocess.run([sys.executable, "-m", "velmora.core", "--version"],
                              env=dict(os.environ, PYTHONPATH=root), capture_output=True,
                              text=True, check=False)
        self.assertEqual((done.returncode, done.stdout), (0, "python -m velmora.core 0.0.4\n"))


if __name__ == "__main__":
    unittest.main()
