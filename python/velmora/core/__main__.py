"""Looks at and reduces IR blob files from the shell: python -m velmora.core --help."""

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Sequence
from typing import NoReturn

from velmora.core import picture
from velmora.core import velmora_core as vc
from velmora.core.picture import printable
from velmora.core.types import NodeDict, NodeKind, Params, ReductionReport

PROG = "python -m velmora.core"
KINDS: tuple[NodeKind, ...] = ("source", "op", "reduction", "external", "stage", "exchange", "join")
# Output suffixes that Graphviz's dot renders; any other name gets the DOT text.
RENDERED = {".svg": "svg", ".png": "png", ".pdf": "pdf"}
SHOWN = (*RENDERED, ".dot", ".gv")
NODE_ID_LIMIT = 2**64


class Refused(Exception):
    """A file or argument that cannot be used: one line on stderr naming it, exit status 2."""

    def __init__(self, what: str, reason: str) -> None:
        super().__init__(f"{what}: {reason}")


class BadUsage(Exception):
    """argparse's complaint about the command line, reported by the parser named `prog`."""

    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog


class CannotRender(Exception):
    """Graphviz is missing or failed: one line on stderr, exit status 1."""


class Parser(argparse.ArgumentParser):
    """Reports a bad command line on one line, without the usage block (--help has it)."""

    def error(self, message: str) -> NoReturn:
        raise BadUsage(self.prog, message)


def reason(e: OSError) -> str:
    return e.strerror or str(e)


def read_store(path: str) -> tuple[vc.GraphStore, int]:
    """The store in the blob file at `path`, and the file's size."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused(path, reason(e)) from None
    try:
        return vc.GraphStore.deserialize(data), len(data)
    except ValueError as e:
        raise Refused(path, str(e)) from None


def write_file(path: str, data: bytes) -> None:
    """Writes `data` to `path` as cp does. A file that exists (or the file a symlink names, a
    device, a FIFO) is opened, truncated and written in place, which keeps its mode, owner and
    links; a new file is written under a temporary name beside it and then linked into place,
    so a half-written one never appears."""
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC)
        except FileNotFoundError:
            if os.path.islink(path):  # cp will not create a file through such a link either
                raise Refused(path, "a symbolic link to nothing") from None
            if create(path, data):
                return
            continue  # the name appeared meanwhile: write into what it is now
        except OSError as e:
            raise Refused(path, reason(e)) from None
        try:
            try:
                write_all(fd, data)
            finally:
                os.close(fd)
        except OSError as e:
            raise Refused(path, reason(e)) from None
        return


def create(path: str, data: bytes) -> bool:
    """Makes `path` a new file holding `data`; False if the name was taken meanwhile."""
    try:
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".velmora-")
    except OSError as e:
        raise Refused(path, reason(e)) from None
    try:
        try:
            write_all(fd, data)
            umask = os.umask(0o022)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)  # what open() would give; mkstemp makes it private
        finally:
            os.close(fd)
        try:
            os.link(temp, path)  # unlike rename, never replaces a file made since we looked
        except FileExistsError:
            return False
        except OSError:  # a file system without hard links
            os.rename(temp, path)
        return True
    except OSError as e:
        raise Refused(path, reason(e)) from None
    finally:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


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


def json_params(params: Params) -> dict[str, object]:
    """JSON has no NaN or infinity: such a float becomes {"float": "nan" | "inf" | "-inf"}."""
    return {k: v if not isinstance(v, float) or math.isfinite(v) else {"float": str(v)}
            for k, v in params.items()}


def cmd_nodes(args: argparse.Namespace) -> None:
    store, _ = read_store(args.file)
    for node in nodes_of(args.file, store):
        out: dict[str, object] = {**node, "params": json_params(node["params"])}
        if "members" in node:
            out["members"] = [dict(m, params=json_params(m["params"])) for m in node["members"]]
        print(json.dumps(out, ensure_ascii=False, allow_nan=False))


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
                           + (f": {why[0]}" if why
                              else f" with status {done.returncode}"))
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


def cmd_show(args: argparse.Namespace) -> None:
    if not args.reduce and (args.maximal_fusion or args.outputs is not None):
        raise BadUsage(f"{PROG} show", "--maximal-fusion and --outputs go with --reduce")
    store, _ = read_store(args.file)
    graph = picture.Graph(nodes_of(args.file, store), store.outputs())
    title = os.path.basename(args.file)
    if not args.reduce:
        drawn = picture.draw(title, graph, max_nodes=args.max_nodes)
    else:
        try:
            reduced, _ = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
        except ValueError as e:  # an --outputs id that is not a node
            raise Refused(args.file, str(e)) from None
        if args.outputs is not None:
            graph = picture.Graph(graph.nodes, args.outputs)
        title += (" reduced" + " with maximal fusion" * args.maximal_fusion
                  + (" to outputs " + " ".join(map(str, args.outputs)) if args.outputs else ""))
        drawn = picture.draw(title, graph, picture.Graph(reduced.nodes(), reduced.outputs()),
                             reduced.node_map(), args.max_nodes)
    fmt = RENDERED.get(os.path.splitext(args.output)[1].lower())
    write_file(args.output, render(args.output, fmt, drawn.dot) if fmt else drawn.dot.encode())
    for note in drawn.left_out:
        say(f"{PROG} show", f"{args.file}: {note}")


def ordered(r: ReductionReport) -> dict[str, int]:
    """The report with its keys in the order of the pipeline's steps."""
    return {"input_nodes": r["input_nodes"], "reachable_nodes": r["reachable_nodes"],
            "canonical_nodes": r["canonical_nodes"], "stages": r["stages"],
            "reduced_nodes": r["reduced_nodes"], "boundary_nodes": r["boundary_nodes"]}


def node_id(text: str) -> int:
    # int() alone would also take "+1", " 1", "1_0" and other scripts' digits.
    digits = text.lstrip("0") or "0"  # int() refuses more than 4300 digits
    if not (text.isascii() and text.isdigit()) or len(digits) > 20 \
            or int(digits) >= NODE_ID_LIMIT:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a node id (ASCII decimal digits, below 2**64)")
    return int(digits)


def count(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or len(text.lstrip("0")) > 20 \
            or int(text.lstrip("0") or "0") == 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a count of 1 or more")
    return int(text.lstrip("0"))


def shown_file(text: str) -> str:
    if os.path.splitext(text)[1].lower() not in SHOWN:
        raise argparse.ArgumentTypeError(f"{text!r} does not end in " + ", ".join(
            SHOWN[:-1]) + f" or {SHOWN[-1]}")
    return text


def parser() -> Parser:
    top = Parser(
        prog=PROG, description="Look at and reduce velmora IR blob files.",
        epilog="A file or argument that cannot be used is reported on one line on stderr, "
               "with exit status 2, and so is a failure to write OUT; nothing is written then. "
               "A failure inside the module (out of memory, a broken invariant) is reported "
               "on one line with exit status 1.")
    top.add_argument("--version", action="version", version=f"%(prog)s {vc.version()}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("inspect", help="sizes, node count by kind and outputs of a blob",
                       description="Print a blob's size in bytes, its node, edge and stage "
                                   "member counts, its node count by kind and its outputs.")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.set_defaults(run=cmd_inspect)

    p = sub.add_parser("nodes", help="one node dict a line, as JSON",
                       description="Print each node of a blob as a JSON object on one line, "
                                   "in id order (the dicts of GraphStore.nodes(); pairs "
                                   "become lists). A float parameter that is not finite, "
                                   "which JSON cannot write, is written as {\"float\": "
                                   "\"nan\"}, {\"float\": \"inf\"} or {\"float\": \"-inf\"}.")
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
                   help="reduce against these node ids (ASCII decimal digits) instead of "
                        "the blob's outputs")
    p.set_defaults(run=cmd_reduce)

    p = sub.add_parser(
        "show", help="a picture of the graph, or of its reduction beside it",
        description="Draw a blob's graph for people: each node in its kind's colour (a legend "
                    "names them) with its name and parameters, outputs framed in red, and each "
                    "stage with its members in order, as m2 = op(m1, in0) (in0 the stage's "
                    "first input, m1 its second member). With --reduce the graph is drawn "
                    "beside its reduction, with a dashed link from every recorded node to the "
                    "node (and member) it landed on; nodes dropped as dead are faded. OUT "
                    "ending in .svg, .png or .pdf is rendered through Graphviz's dot; .dot or "
                    ".gv gets the DOT text.",
        epilog=f"A side with more than N nodes shows the N nearest its outputs (the marked "
               f"ones, the --outputs ids, or else the last nodes), and a stage longer than "
               f"{picture.MEMBER_ROWS} members its last {picture.MEMBER_ROWS}; the picture "
               f"and stderr say what was left out.")
    p.add_argument("file", metavar="FILE", help="an IR blob")
    p.add_argument("-o", "--output", metavar="OUT", required=True, type=shown_file,
                   help="the picture to write: .svg, .png, .pdf, .dot or .gv")
    p.add_argument("--reduce", action="store_true",
                   help="draw the reduction beside the graph, linked node to node")
    p.add_argument("--maximal-fusion", action="store_true",
                   help="with --reduce: also fuse fan-out ops whose consumers all land in "
                        "one stage")
    p.add_argument("--outputs", metavar="ID", nargs="+", type=node_id,
                   help="with --reduce: reduce against these node ids instead of the blob's "
                        "outputs")
    p.add_argument("--max-nodes", metavar="N", type=count, default=picture.MAX_NODES,
                   help=f"the most nodes drawn on a side (default {picture.MAX_NODES})")
    p.set_defaults(run=cmd_show)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    prog, subject = PROG, None
    try:
        args = parser().parse_args(argv)
        prog, subject = f"{PROG} {args.command}", args.file
        args.run(args)
    except BadUsage as e:
        return fail(e.prog, str(e), 2)
    except Refused as e:
        return fail(prog, str(e), 2)
    except CannotRender as e:
        return fail(prog, str(e), 1)
    except MemoryError as e:  # e.g. a blob larger than memory
        return fail(prog, internal(subject, "out of memory", e), 1)
    except vc.PanicException as e:
        return fail(prog, internal(subject, "internal error", e), 1)
    except BrokenPipeError:
        # The reader went away (`... | head`): quietly, and without a second
        # error when the interpreter flushes stdout on exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


def internal(subject: str | None, what: str, e: BaseException) -> str:
    detail = f"{what} ({type(e).__name__}{': ' if str(e) else ''}{e})"
    return detail if subject is None else f"{subject}: {detail}"


def fail(prog: str, message: str, status: int) -> int:
    say(prog, message)
    return status


def say(prog: str, message: str) -> None:
    print(f"{prog}: {printable(message)}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
