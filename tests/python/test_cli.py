"""python -m velmora.core: the examples and every command on their blob, the one-line
refusals, internal failures, JSON that JSON readers take, and how -o writes its file."""

import contextlib
import io
import json
import os
import pathlib
import re
import runpy
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import blobs
import support
from support import vc
from test_graph import REPORT  # the report's keys in the order of the pipeline

import velmora.core.__main__ as cli
from velmora.core.__main__ import main
from velmora.core.picture import FADED, KIND_COLOURS, MEMBER_COLOURS

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(vc.__file__)))
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
P = "python -m velmora.core"


def run(call, *args, path=None):
    """(exit status, stdout, stderr) of call(*args), with PATH set to `path` if given."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), \
            mock.patch.dict(os.environ, {"PATH": path} if path else {}):
        try:
            code = call(*args)
        except SystemExit as e:  # --help and --version
            code = e.code
    return code, out.getvalue(), err.getvalue()


def main_job():
    return runpy.run_path(os.path.join(EXAMPLES, "record_and_reduce.py"))["record"]()


def chain_blob(d):
    """A blob of s -> neg -> abs, abs marked, in directory d."""
    g = vc.GraphStore()
    out = g.add_op("abs", [g.add_op("neg", [g.add_source("s")])])
    path = os.path.join(d, "chain.vir")
    pathlib.Path(path).write_bytes(g.serialize(outputs=[out]))
    return path, g.reduce(outputs=[out])[0].serialize()


class CliTest(unittest.TestCase):
    def test_examples_and_every_command(self):
        text = run(runpy.run_path(os.path.join(EXAMPLES, "record_and_reduce.py"))["main"])[1]
        self.assertEqual([text.count(t) for t in ("digraph velmora {", '"reduced_nodes": 6')],
                         [2, 1])
        d = self.enterContext(tempfile.TemporaryDirectory())
        picture = run(runpy.run_path(os.path.join(EXAMPLES, "render_reduced_graph.py"))["main"],
                      d)[0]
        self.assertEqual(picture, f"{d}/main-job." + ("svg" if shutil.which("dot") else "dot"))
        g, total = main_job()
        self.assertEqual(pathlib.Path(f"{d}/main-job.vir").read_bytes(),
                         g.serialize(outputs=[total]))
        b = f"{d}/reduced.vir"
        data = g.reduce(outputs=[total])[0].serialize()
        store = vc.GraphStore.deserialize(data)
        os.mkdir(f"{d}/directory")
        written = {"g": b"VIR2", "t": data[:-1], "bad-member": blobs.blob(
            [blobs.source("s"), blobs.stage([0], [("op|f|a=", [("input", 0)])])], [1])}
        for name, content in written.items():
            pathlib.Path(f"{d}/{name}").write_bytes(content)
        written.update({"reduced.vir": data, "g.gv": store.to_dot().encode()})
        pathlib.Path(b).write_bytes(data)
        no_id = "is not a node id (ASCII decimal digits, below 2**64)"
        # An error line ending in "\n" is the whole of stderr; one without it is the
        # start of stderr's one line (argparse's own wording changes between versions).
        rows = [("nodes {b}", 0, "".join(json.dumps(n) + "\n" for n in store.nodes()), ""),
                ("--version", 0, f"{P} 0.0.4\n", ""),
                ("inspect {b}", 0, f"file: {b}\nsize: {len(data)} bytes, 6 nodes, "
                 "5 edges, 5 stage members\nkinds: source 1, reduction 1, external 1, stage 2, "
                 "exchange 1\noutputs: 5\n", ""),
                ("dot {b}", 0, store.to_dot(), ""), ("dot {b} -o {d}/g.gv", 0, "", ""),
                ("nodes {d}/g", 2, "", "nodes: {d}/g: not a velmora IR blob (bad magic/version)\n"),
                ("dot {d}/t -o {d}/no.svg", 2, "", "dot: {d}/t: truncated velmora IR blob\n"),
                ("reduce {d}/directory -o {d}/no", 2, "", "reduce: {d}/directory: Is a directory\n"),
                ("inspect {d}/missing", 2, "", "inspect: {d}/missing: No such file or directory\n"),
                (["inspect", "{d}/new\nline"], 2, "",
                 "inspect: {d}/new\\nline: No such file or directory\n"),
                ("reduce {b} -o {d}/no --outputs 0 6", 2, "", "reduce: {b}: no node with id 6\n"),
                *[(f"{c} {{d}}/bad-member", 2, "", f"{c}: {{d}}/bad-member: unparseable stage "
                   'member token "op|f|a="\n') for c in ("inspect", "nodes")],
                ("dot {b} -o {d}/no.svg", 1, "", "dot: cannot render {d}/no.svg: Graphviz's dot "
                 "is not installed (install graphviz, or write the DOT text with -o NAME.dot)\n"),
                *[(["reduce", "{b}", "-o", "{d}/no", "--outputs", "0", bad], 2, "",
                   f"reduce: argument --outputs: {bad!r} {no_id}\n")
                  for bad in ("-1", "x", "1.5", str(2**64), "9" * 5000, "+1", " 1", "١", "")],
                ("frob {b}", 2, "", ": argument COMMAND: invalid choice: 'frob'"),
                ("", 2, "", ": the following arguments are required: COMMAND"),
                ("inspect", 2, "", " inspect: the following arguments are required: FILE"),
                ("reduce {b} -o {d}/no --outputs", 2, "", " reduce: argument --outputs: "),
                ("reduce {b} --outputs 1", 2, "", " reduce: the following arguments are required"),
                ("nodes {b} --frob", 2, "", ": unrecognized arguments: --frob\n"),
                ("show {b} -o {d}/no.txt", 2, "", "show: argument -o/--output: '{d}/no.txt' does "
                 "not end in .svg, .png, .pdf, .dot or .gv\n"),
                ("show {b} -o {d}/no.dot --outputs 1", 2, "",
                 "show: --maximal-fusion and --outputs go with --reduce\n"),
                ("show {b} -o {d}/no.dot --maximal-fusion", 2, "",
                 "show: --maximal-fusion and --outputs go with --reduce\n"),
                ("show {b} -o {d}/no.dot --reduce --outputs 6", 2, "",
                 "show: {b}: no node with id 6\n"),
                *[(f"show {{b}} -o {{d}}/no.dot --max-nodes {n}", 2, "", "show: argument "
                   f"--max-nodes: '{n}' is not a count of 1 or more\n") for n in ("0", "-3", "x")],
                ("show {d}/bad-member -o {d}/no.dot", 2, "", "show: {d}/bad-member: unparseable "
                 'stage member token "op|f|a="\n'),
                ("show {b} -o {d}/no.png", 1, "", "show: cannot render {d}/no.png: Graphviz's "
                 "dot is not installed (install graphviz, or write the DOT text with -o "
                 "NAME.dot)\n")]
        reductions = [("", {}), (" --maximal-fusion", {"maximal_fusion": True}),
                      (" --outputs 3 3 0", {"outputs": [3, 3, 0]}),
                      (" --outputs 00" + "0" * 5000 + "4", {"outputs": [4]})]
        for i, (args, kwargs) in enumerate(reductions):
            reduced, report = store.reduce(**kwargs)
            rows.append((f"reduce {{b}} -o {{d}}/{i}.vir{args}", 0,
                         json.dumps({k: report[k] for k in REPORT}) + "\n", ""))
            written[f"{i}.vir"] = reduced.serialize()
        for args, status, stdout, error in rows:
            with self.subTest(str(args)[:80]):
                args = [a.format(b=b, d=d) for a in (args.split() if isinstance(
                    args, str) else args)]
                code, out, err = run(main, args, path=d)
                error = error and P + (" " if error[0].isalpha() else "") + error.format(
                    b=b, d=d)
                self.assertEqual((code, out, err[:len(error)], err.count("\n")),
                                 (status, stdout, error, bool(error)))
        for name, content in written.items():
            self.assertEqual(pathlib.Path(f"{d}/{name}").read_bytes(), content, name)
        self.assertEqual(sorted(os.listdir(d)), sorted([*written, "directory", "main-job.vir",
                                                        os.path.basename(picture)]))
        for command in ("", "inspect", "nodes", "dot", "reduce", "show"):
            self.assertEqual(run(main, [*command.split(), "--help"])[0], 0)
        self.assertIn('{"float": "-inf"}', run(main, ["nodes", "--help"])[1])
        if shutil.which("dot"):
            self.assertEqual(run(main, ["dot", b, "-o", f"{d}/g.svg"])[0], 0)
            self.assertIn(b"<svg", pathlib.Path(f"{d}/g.svg").read_bytes())

    def test_failures_inside_the_module_give_one_line_and_status_1(self):
        d = self.enterContext(tempfile.TemporaryDirectory())
        b, _ = chain_blob(d)
        panic = vc.PanicException("stage fusion emitted one node twice")
        with mock.patch.object(cli, "read_store", side_effect=panic):
            self.assertEqual(run(main, ["reduce", b, "-o", f"{d}/no"]), (
                1, "", f"{P} reduce: {b}: internal error (PanicException: stage fusion "
                       "emitted one node twice)\n"))
        # A blob larger than the address space the process may have: read for real, in a
        # child held to 2 GiB, which also shows the module's entry passing the status on.
        with open(f"{d}/huge.vir", "wb") as f:
            f.truncate(16 << 30)  # sparse: takes no disk
        limit = ("import resource, runpy, sys; resource.setrlimit(resource.RLIMIT_AS, "
                 "(2 << 30, 2 << 30)); sys.argv[0] = 'velmora'; "
                 "runpy.run_module('velmora.core', run_name='__main__')")
        done = subprocess.run([sys.executable, "-c", limit, "inspect", f"{d}/huge.vir"],
                              env=dict(os.environ, PYTHONPATH=ROOT), capture_output=True,
                              text=True, check=False)
        # A debug free-threaded interpreter's own allocator warns before failing; those
        # lines are the interpreter's, ours is the last one.
        ours = [line for line in done.stderr.splitlines(keepends=True)
                if not line.startswith("mimalloc: ")]
        self.assertEqual((done.returncode, done.stdout, ours),
                         (1, "", [f"{P} inspect: {d}/huge.vir: out of memory (MemoryError)\n"]))
        self.assertEqual(sorted(os.listdir(d)), ["chain.vir", "huge.vir"])

    def test_nodes_writes_json_that_readers_take(self):
        d = self.enterContext(tempfile.TemporaryDirectory())
        g = vc.GraphStore()
        specials = {"n": float("nan"), "p": float("inf"), "m": float("-inf"), "z": -0.0,
                    "i": 2**63 - 1, "s": "\u2028\"", "b": True}
        g.add_op("f", [g.add_source("s", specials)], {"n": float("nan")})
        pathlib.Path(f"{d}/g.vir").write_bytes(g.serialize())
        member = "op|m|p=f7ff0000000000000;q=ffff0000000000000"  # +inf and -inf
        pathlib.Path(f"{d}/stage.vir").write_bytes(blobs.blob(
            [blobs.source("s"), blobs.stage([0], [(member, [("input", 0)])])]))

        def strict(constant):
            raise AssertionError(f"{constant} is not JSON")
        lines = [json.loads(line, parse_constant=strict)
                 for f in ("g", "stage")
                 for line in run(main, ["nodes", f"{d}/{f}.vir"])[1].split("\n")[:-1]]
        self.assertEqual([lines[0]["params"], lines[1]["params"],
                          lines[3]["members"][0]["params"]],
                         [{**specials, "n": {"float": "nan"}, "p": {"float": "inf"},
                           "m": {"float": "-inf"}}, {"n": {"float": "nan"}},
                          {"p": {"float": "inf"}, "q": {"float": "-inf"}}])


def every_kind():
    """A graph of every kind whose reduction fuses, folds, merges and drops."""
    g = vc.GraphStore()
    s = g.add_source("rows", {"table": "t", "n": 3})
    b = g.add_op("exp", [g.add_op("neg", [s])])  # a chain: one stage
    same = g.add_op("mul", [b], {"scalar": 1.0, "side": "r"})  # an identity: lands on b
    p, q = g.add_op("add", [b, s]), g.add_op("add", [s, b])  # commuted: one node
    r = g.add_reduction("sum", [p], {"axis": 0})
    e = g.add_external({"kind": "onnx", "content_hash": "9f", "framework": "torch",
                        "version": "2", "io_schema": "f32"}, [r])
    j = g.add_join([g.add_exchange([e], {"key": "k"}), q], {"how": "inner"})
    g.add_op("log", [s])  # dead
    return g, [j, same]


def labels(dot, side):
    """{id: HTML label} of one side's nodes in DOT text from show."""
    return {int(i): label for i, label in re.findall(
        rf"^    {side}(\d+) \[label=<(.*)>\];$", dot, re.MULTILINE)}


class ShowTest(unittest.TestCase):
    def show(self, blob, *args, status=0):
        """The DOT text and stderr lines of show on `blob` (bytes)."""
        d = self.enterContext(tempfile.TemporaryDirectory())
        pathlib.Path(f"{d}/g.vir").write_bytes(blob)
        code, out, err = run(main, ["show", f"{d}/g.vir", "-o", f"{d}/g.dot", *args])
        self.assertEqual((code, out), (status, ""), err)
        prefix = f"{P} show: {d}/g.vir: "
        self.assertTrue(all(line.startswith(prefix) for line in err.splitlines()), err)
        return pathlib.Path(f"{d}/g.dot").read_text(), err.replace(prefix, "").splitlines()

    def test_every_kind_with_its_colour_members_and_provenance(self):
        g, outputs = every_kind()
        reduced = g.reduce(outputs=outputs)[0]
        blob = g.serialize(outputs=outputs)
        red_stage = blobs.blob([blobs.source("s"), blobs.stage([0, 0], [
            ("op|f", [("input", 1)]), ("red|g|x=i3", [("member", 0), ("input", 0)])])], [1])
        cases = [("--reduce", blob, g.nodes(), reduced.nodes(), reduced.node_map(), outputs),
                 ("a reduced blob alone", reduced.serialize(), reduced.nodes(), None, [],
                  reduced.outputs()),
                 ("a reduction member", red_stage, vc.GraphStore.deserialize(red_stage).nodes(),
                  None, [], [1])]
        for name, data, nodes, reduced_nodes, node_map, marked in cases:
            with self.subTest(name):
                dot, notes = self.show(data, *["--reduce"] * bool(reduced_nodes))
                self.assertEqual(notes, [])
                dropped = {i for i, e in enumerate(node_map) if e is None}
                self.assertEqual(dropped, {10} if reduced_nodes else set())
                sides = [("r", nodes, set(marked))]
                if reduced_nodes:
                    sides.append(("s", reduced_nodes, {n["id"] for n in reduced_nodes
                                                       if n["output"]}))
                for side, side_nodes, side_outputs in sides:
                    drawn = labels(dot, side)
                    self.assertEqual(sorted(drawn), [n["id"] for n in side_nodes])
                    for n in side_nodes:
                        label = drawn[n["id"]]
                        colour = FADED if n["id"] in dropped else KIND_COLOURS[n["kind"]]
                        self.assertEqual(re.search(r'BGCOLOR="(#\w+)"', label)[1], colour)
                        self.assertIn(f'<TD BGCOLOR="{KIND_COLOURS[n["kind"]]}" BORDER="1" '
                                      f'COLOR="#707070">{n["kind"]}</TD>', dot)  # the legend
                        self.assertEqual('BORDER="3"' in label, n["id"] in side_outputs)
                        for j in set(n["inputs"]):
                            self.assertRegex(dot, rf"\n    {side}{j} -> {side}{n['id']}\b")
                        at = 0
                        for k, m in enumerate(n.get("members", [])):
                            operands = ", ".join(("in" if w == "input" else "m") + str(i)
                                                 for w, i in m["inputs"])
                            line = f'<TD PORT="m{k}" COLSPAN="2" ALIGN="LEFT" BGCOLOR="' \
                                   f'{MEMBER_COLOURS[m["kind"]]}"><FONT>m{k} = <B>' \
                                   f'{m["name"]}</B>({operands})'
                            self.assertGreater(label.find(line, at), at, line)
                            at = label.find(line, at)
                        self.assertEqual(dot.count(f"    {side}{n['id']} [label="), 1)
                links = re.findall(r'^  r(\d+) -> s(\d+)(?::m(\d+))? \[class="provenance"',
                                   dot, re.MULTILINE)
                self.assertEqual(sorted((int(i), int(t), int(m) if m else None) for i, t, m in links),
                                 [(i, *e) for i, e in enumerate(node_map) if e is not None])

    def test_past_the_limits_it_says_what_it_left_out(self):
        g = vc.GraphStore()
        last = support.chain(g, *["neg", "exp"] * 22 + ["abs"])  # 46 nodes, one stage of 45
        dot, notes = self.show(g.serialize(outputs=[last]), "--reduce", "--max-nodes", "10")
        self.assertEqual(notes, [
            "recorded: drew the 10 nodes nearest the outputs; left out 36 of 46 nodes and "
            "36 edges to them",
            "reduced: left out 5 members of 1 stages longer than 40 (each shows its last 40)",
            "provenance: left out 36 of 46 links, to or from what is not drawn"])
        for note in notes:
            self.assertIn(note, dot)
        self.assertEqual(sorted(labels(dot, "r")), list(range(36, 46)))
        self.assertIn("inputs not drawn: #35", labels(dot, "r")[36])
        stage = labels(dot, "s")[1]
        self.assertIn("⋮ m0 … m4 not drawn", stage)
        self.assertEqual(re.findall(r'PORT="m(\d+)"', stage), [str(k) for k in range(5, 45)])
        self.assertEqual(len(re.findall('class="provenance"', dot)), 10)
        # Without outputs it keeps the last node and what it reads, then the next last.
        g = vc.GraphStore()
        a, b = g.add_source("a"), g.add_source("b")
        g.add_op("f", [a]), g.add_op("g", [b])
        dot, notes = self.show(g.serialize(), "--max-nodes", "3")
        self.assertEqual(sorted(labels(dot, "r")), [1, 2, 3])
        self.assertEqual(notes, ["graph: drew the 3 nodes nearest the last node; left out 1 of "
                                 "4 nodes and 1 edges to them"])

    @unittest.skipUnless(shutil.which("dot"), "Graphviz's dot is not installed")
    def test_graphviz_renders_the_main_job_and_awkward_names(self):
        d = self.enterContext(tempfile.TemporaryDirectory())
        run(runpy.run_path(os.path.join(EXAMPLES, "render_reduced_graph.py"))["main"], d)
        svg = pathlib.Path(f"{d}/main-job.svg").read_text()
        self.assertEqual(svg.count('class="edge provenance"'), 11)  # all but the dead log
        g = vc.GraphStore()
        s = g.add_source('<b>&amp;"]\n', {"}{": "<TD>", "x": float("nan")})
        g.add_op("\u0301\x00|;=", [s, s], {"%": -0.0})
        pathlib.Path(f"{d}/odd.vir").write_bytes(g.serialize(outputs=[1]))
        for out, magic in (("odd.svg", b"<?xml"), ("odd.png", b"\x89PNG"), ("odd.pdf", b"%PDF")):
            self.assertEqual(run(main, ["show", f"{d}/odd.vir", "--reduce", "-o",
                                        f"{d}/{out}"])[0::2], (0, ""))
            self.assertTrue(pathlib.Path(f"{d}/{out}").read_bytes().startswith(magic), out)
        self.assertIn("&lt;b&gt;&amp;amp;&quot;]\\n", pathlib.Path(f"{d}/odd.svg").read_text())


class WriteTest(unittest.TestCase):
    """-o writes into what OUT names, as cp does, and creates a new file whole or not at all."""

    def test_every_kind_of_target(self):
        # (name, what OUT is made as: a list of (kind, name, argument), OUT, status, error)
        cases = [("new file", [], "out", 0, ""),
                 ("0600 file", [("file", "out", 0o600)], "out", 0, ""),
                 ("hard link", [("file", "out", 0o644), ("link", "alias", "out")], "out", 0, ""),
                 ("symlink", [("file", "real", 0o640), ("symlink", "out", "real")], "out", 0, ""),
                 ("symlink to a 0600 file", [("file", "real", 0o600), ("symlink", "out", "real")],
                  "out", 0, ""),
                 ("FIFO", [("fifo", "out", None)], "out", 0, ""),
                 ("dangling symlink", [("symlink", "out", "nothing")], "out", 2,
                  "{out}: a symbolic link to nothing"),
                 ("directory", [("dir", "out", None)], "out", 2, "{out}: Is a directory"),
                 ("missing directory", [], "nowhere/out", 2,
                  "{out}: No such file or directory")]
        old_umask = os.umask(0o027)
        self.addCleanup(os.umask, old_umask)
        for name, made, out, status, error in cases:
            with self.subTest(name):
                d = self.enterContext(tempfile.TemporaryDirectory())
                b, reduced = chain_blob(d)
                before = {}
                for kind, path, arg in made:
                    path = os.path.join(d, path)
                    if kind == "file":
                        pathlib.Path(path).write_bytes(b"old and longer than the new blob " * 9)
                        os.chmod(path, arg)
                    elif kind == "link":
                        os.link(os.path.join(d, arg), path)
                    elif kind == "symlink":
                        os.symlink(arg, path)
                    elif kind == "fifo":
                        os.mkfifo(path)
                    else:
                        os.mkdir(path)
                    before[path] = None
                before = {path: os.lstat(path) for path in before}
                out = os.path.join(d, out)
                # A FIFO's reader holds it open, so the writer does not wait for one; the
                # blob is far smaller than the pipe's buffer.
                fifo = os.open(out, os.O_RDONLY | os.O_NONBLOCK) if made and made[0][
                    0] == "fifo" else None
                result = run(main, ["reduce", b, "-o", out])
                if fifo is not None:
                    self.addCleanup(os.close, fifo)
                error = error and f"{P} reduce: {error.format(out=out)}\n"
                self.assertEqual(result[0::2], (status, error))
                names = sorted(os.listdir(d))
                self.assertEqual(names, sorted({"chain.vir", *(os.path.basename(p) for p in before),
                                                *(["out"] if status == 0 else [])}))
                for path, st in before.items():  # the same file, with its mode and links
                    now = os.lstat(path)
                    self.assertEqual((now.st_ino, now.st_mode, now.st_nlink),
                                     (st.st_ino, st.st_mode, st.st_nlink), path)
                if status == 0:
                    self.assertEqual(os.read(fifo, 1 << 16) if fifo is not None
                                     else pathlib.Path(out).read_bytes(), reduced)
                if not made and status == 0:
                    self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
                for kind, path, arg in made:  # every name of the file shows the new bytes
                    if kind in ("link", "symlink") and status == 0:
                        self.assertEqual(pathlib.Path(d, path).read_bytes(), reduced)

    def test_nothing_is_left_when_writing_fails(self):
        d = self.enterContext(tempfile.TemporaryDirectory())
        b, reduced = chain_blob(d)
        pathlib.Path(f"{d}/kept").write_bytes(b"kept")
        # A refusal before writing leaves an existing OUT as it was.
        self.assertEqual(run(main, ["reduce", b, "-o", f"{d}/kept", "--outputs", "9"])[0], 2)
        self.assertEqual(pathlib.Path(f"{d}/kept").read_bytes(), b"kept")
        # A new file that cannot be written whole (the file size limit, which Python's
        # ignored SIGXFSZ turns into EFBIG) leaves neither it nor a temporary file.
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(reduced) - 1, hard))
        try:
            result = run(main, ["reduce", b, "-o", f"{d}/new"])
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        self.assertEqual(result, (2, "", f"{P} reduce: {d}/new: File too large\n"))
        self.assertEqual(sorted(os.listdir(d)), ["chain.vir", "kept"])


if __name__ == "__main__":
    unittest.main()
