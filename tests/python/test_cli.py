"""python -m velmora.core: the examples and every command on their blob."""

import contextlib
import io
import json
import os
import pathlib
import runpy
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from support import vc
from test_graph import REPORT  # the report's keys in the order of the pipeline

from velmora.core.__main__ import main

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typecheck")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


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
    def test_examples_and_every_command(self):
        text = run(runpy.run_path(os.path.join(EXAMPLES, "record_and_reduce.py"))["main"])[1]
        self.assertEqual([text.count(t) for t in ("digraph velmora {", '"reduced_nodes": 6')],
                         [2, 1])
        d = self.enterContext(tempfile.TemporaryDirectory())
        svg = run(runpy.run_path(os.path.join(EXAMPLES, "render_reduced_graph.py"))["main"], d)
        self.assertEqual(svg[0], f"{d}/main-job-reduced.svg" if shutil.which("dot") else None)
        b = f"{d}/main-job.vir"
        data = pathlib.Path(b).read_bytes()
        store = vc.GraphStore.deserialize(data)
        os.mkdir(f"{d}/directory")
        written = {"g": b"VIR2", "t": data[:-1]}
        for name, content in written.items():
            pathlib.Path(f"{d}/{name}").write_bytes(content)
        written.update({"main-job.vir": data, "g.gv": store.to_dot().encode()})
        rows = [("nodes {b}", 0, "".join(json.dumps(n) + "\n" for n in store.nodes()), ""),
                ("--version", 0, "python -m velmora.core 0.0.4\n", ""),
                ("inspect {b}", 0, f"file: {b}\nsize: {len(data)} bytes, 6 nodes, "
                 "5 edges, 5 stage members\nkinds: source 1, reduction 1, external 1, stage 2, "
                 "exchange 1\noutputs: 5\n", ""),
                ("dot {b}", 0, store.to_dot(), ""), ("dot {b} -o {d}/g.gv", 0, "", ""),
                ("nodes {d}/g", 2, "", "nodes: {d}/g: not a velmora IR blob (bad magic/version)"),
                ("dot {d}/t -o {d}/no.svg", 2, "", "dot: {d}/t: truncated velmora IR blob"),
                ("reduce {d}/directory -o {d}/no", 2, "", "reduce: {d}/directory: Is a directory"),
                ("inspect {d}/missing", 2, "", "inspect: {d}/missing: No such file or directory"),
                ("reduce {b} -o {d}/no --outputs 0 6", 2, "", "reduce: {b}: no node with id 6"),
                ("dot {b} -o {d}/no.svg", 1, "", "dot: cannot render {d}/no.svg: Graphviz's dot "
                 "is not installed (install graphviz, or write the DOT text with -o NAME.dot)"),
                ("reduce {b} -o {d}/no --outputs -1", 2, "",
                 "reduce: error: argument --outputs: invalid node_id value: '-1'"),
                ("reduce {b} -o {d}/no --outputs %d" % 2**64, 2, "",
                 "reduce: error: argument --outputs: invalid node_id value: '%d'" % 2**64)]
        reductions = [("", {}), (" --maximal-fusion", {"maximal_fusion": True}),
                      (" --outputs 3 3 0", {"outputs": [3, 3, 0]})]
        for i, (args, kwargs) in enumerate(reductions):
            reduced, report = store.reduce(**kwargs)
            rows.append((f"reduce {{b}} -o {{d}}/{i}.vir{args}", 0,
                         json.dumps({k: report[k] for k in REPORT}) + "\n", ""))
            written[f"{i}.vir"] = reduced.serialize()
        for args, status, stdout, error in rows:
            with self.subTest(args):
                code, out, err = run(main, args.format(b=b, d=d).split(), path=d)
                error = error and f"python -m velmora.core {error}\n".format(b=b, d=d)
                if "error: argument" in error:  # after argparse's usage
                    err = err[-len(error):]
                self.assertEqual((code, out, err), (status, stdout, error))
        for name, content in written.items():
            self.assertEqual(pathlib.Path(f"{d}/{name}").read_bytes(), content, name)
        self.assertEqual(sorted(os.listdir(d)), sorted([*written, "directory"] + [
            "main-job-reduced.svg"] * bool(shutil.which("dot"))))
        for command in ("", "inspect", "nodes", "dot", "reduce"):
            self.assertEqual(run(main, [*command.split(), "--help"])[0], 0)
        if shutil.which("dot"):
            self.assertEqual(run(main, ["dot", b, "-o", f"{d}/g.svg"])[0], 0)
            self.assertIn(b"<svg", pathlib.Path(f"{d}/g.svg").read_bytes())

    def test_the_module_entry_passes_the_exit_status(self):
        done = subprocess.run([sys.executable, "-m", "velmora.core", "nodes", "missing"],
                              env=dict(os.environ, PYTHONPATH=ROOT), cwd=PROGRAMS,
                              capture_output=True, text=True, check=False)
        self.assertEqual((done.returncode, done.stderr[-26:]), (2, "No such file or directory\n"))


if __name__ == "__main__":
    unittest.main()
