"""Looks at and reduces IR blob files from the shell: python -m velmora.core --help."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Sequence

from velmora.core import velmora_core as vc
from velmora.core.types import NodeDict, NodeKind, ReductionReport

PROG = "python -m velmora.core"
KINDS: tuple[NodeKind, ...] = ("source", "op", "reduction", "external", "stage", "exchange", "join")
# Output suffixes that Graphviz's dot renders; any other name gets the DOT text.
RENDERED = {".svg": "svg", ".png": "png", ".pdf": "pdf"}


class Refused(Exception):
    """A file that cannot be used: one line on stderr naming it, exit status 2."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")


class CannotRender(Exception):
    """Graphviz is missing or failed: one line on stderr, exit status 1."""


def read_store(path: str) -> tuple[vc.GraphStore, int]:
    """The store in the blob file at `path`, and the file's size."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused(path, e.strerror or str(e)) from None
    try:
        return vc.GraphStore.deserialize(data), len(data)
    except ValueError as e:
        raise Refused(path, str(e)) from None


def write_file(path: str, data: bytes) -> None:
    """Writes beside `path` and renames, so a failure leaves nothing behind."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=".velmora-")
    except OSError as e:
        raise Refused(path, e.strerror or str(e)) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)  # mkstemp makes it private
        os.replace(temp, path)
    except OSError as e:
        os.unlink(temp)
        raise Refused(path, e.strerror or str(e)) from None


def nodes_of(path: str, store: vc.GraphStore) -> list[NodeDict]:
    try:
        return store.nodes()
    except ValueError as e:  # a stage member the blob carries that does not parse
        raise Refused(path, str(e)) from None


def cmd_inspect(args: argparse.Namespace) -> None:
    store, size = read_store(args.file)
    nodes = nodes_of(args.file, store)
    kinds = Counter(node["kind"] for node in nodes)
    edges = sum(len(node["inputs"]) for node in nodes)
    members = sum(node.get("n_members", 0) for node in nodes)
    outputs = store.outputs()
    print(f"file: {args.file}")
    print(f"size: {size} bytes, {len(nodes)} nodes, {edges} edges, {members} stage members")
    print("kinds:", ", ".join(f"{kind} {kinds[kind]}" for kind in KINDS if kinds[kind]) or "none")
    print("outputs:", " ".join(map(str, outputs)) or "none")


def cmd_nodes(args: argparse.Namespace) -> None:
    store, _ = read_store(args.file)
    for node in nodes_of(args.file, store):
        print(json.dumps(node, ensure_ascii=False))


def render(out: str, fmt: str, text: str) -> bytes:
    dot = shutil.which("dot")
    if dot is None:
        raise CannotRender(f"cannot render {out}: Graphviz's dot is not installed "
                           f"(install graphviz, or write the DOT text with -o NAME.dot)")
    done = subprocess.run([dot, f"-T{fmt}"], input=text.encode(), capture_output=True,
                          check=False)
    if done.returncode != 0:
        why = done.stderr.decode(errors="replace").strip().splitlines()
        raise CannotRender(f"cannot render {out}: dot failed"
                           + (f": {why[0]}" if why else f" with status {done.returncode}"))
    return done.stdout


def cmd_dot(args: argparse.Namespace) -> None:
    store, _ = read_store(args.file)
    text = store.to_dot()
    if args.output is None:
        sys.stdout.write(text)
        return
    fmt = RENDERED.get(os.path.splitext(args.output)[1].lower())
    write_file(args.output, render(args.output, fmt, text) if fmt else text.encode())


def cmd_reduce(args: argparse.Namespace) -> None:
    store, _ = read_store(args.file)
    try:
        reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    except ValueError as e:  # an --outputs id that is not a node
        raise Refused(args.file, str(e)) from None
    write_file(args.output, reduced.serialize())
    print(json.dumps(ordered(report)))


def ordered(r: ReductionReport) -> dict[str, int]:
    """The report with its keys in the order of the pipeline's steps."""
    return {"input_nodes": r["input_nodes"], "reachable_nodes": r["reachable_nodes"],
            "canonical_nodes": r["canonical_nodes"], "stages": r["stages"],
            "reduced_nodes": r["reduced_nodes"], "boundary_nodes": r["boundary_nodes"]}


def node_id(text: str) -> int:
    value = int(text)
    if not 0 <= value < 2**64:
        raise ValueError(text)
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG, description="Look at and reduce velmora IR blob files.",
        epilog="A file that cannot be read or is not a whole blob is reported on one line "
               "on stderr, with exit status 2; nothing is written then.")
    top.add_argument("--version", action="version", version=f"%(prog)s {vc.version()}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("inspect", help="sizes, node count by kind and outputs of a blob",
                       description="Print a blob's size in bytes, its node, edge and stage "
                                   "member counts, its node count by kind and its outputs.")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.set_defaults(run=cmd_inspect)

    p = sub.add_parser("nodes", help="one node dict a line, as JSON",
                       description="Print each node of a blob as a JSON object on one line, "
                                   "in id order (the dicts of GraphStore.nodes()).")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.set_defaults(run=cmd_nodes)

    p = sub.add_parser("dot", help="the graph as Graphviz DOT text, or rendered",
                       description="Print a blob's graph as DOT text, or write it to OUT: "
                                   "rendered through Graphviz's dot when OUT ends in .svg, "
                                   ".png or .pdf, as DOT text otherwise.")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.add_argument("-o", "--output", metavar="OUT", help="the file to write")
    p.set_defaults(run=cmd_dot)

    p = sub.add_parser("reduce", help="reduce a blob into a new one and print the report",
                       description="Reduce a blob's graph, write the reduced blob to OUT and "
                                   "print the reduction report as JSON. The outputs are the "
                                   "blob's own, or exactly those given with --outputs.")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.add_argument("-o", "--output", metavar="OUT", required=True,
                   help="where to write the reduced blob")
    p.add_argument("--maximal-fusion", action="store_true",
                   help="also fuse fan-out ops whose consumers all land in one stage")
    p.add_argument("--outputs", metavar="ID", nargs="+", type=node_id,
                   help="reduce against these node ids instead of the blob's outputs")
    p.set_defaults(run=cmd_reduce)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except Refused as e:
        print(f"{PROG} {args.command}: {e}", file=sys.stderr)
        return 2
    except CannotRender as e:
        print(f"{PROG} {args.command}: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`... | head`): quietly, and without a second
        # error when the interpreter flushes stdout on exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
