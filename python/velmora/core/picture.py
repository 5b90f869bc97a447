"""Draws a graph as Graphviz DOT meant to be looked at, not read: one colour per kind with a
legend, each stage's members in order, and, for a reduction, the recorded graph beside the
reduced one with a link from every recorded node to the node (and member) it landed on.

Only nodes() and node_map() go in, so any store that can be listed can be drawn. Past a
limit a side keeps the nodes nearest its outputs, and the picture says what it left out:
Graphviz cannot lay out a graph of a million nodes, and nobody could read one.
"""

import html
from collections import deque
from collections.abc import Sequence
from dataclasses import dataclass

from velmora.core.types import MemberDict, NodeDict, NodeKind, NodeMapEntry, Params

MAX_NODES = 300
MEMBER_ROWS = 40  # a longer stage shows its last members, where its result is
TEXT = 40  # characters of a name or a parameter display before it is cut
FONT = "Helvetica,Arial,sans-serif"

KIND_COLOURS: dict[NodeKind, str] = {
    "source": "#8dd3c7", "op": "#9ecae1", "reduction": "#fdb462", "external": "#bebada",
    "stage": "#b3de69", "exchange": "#fb8072", "join": "#fccde5"}
MEMBER_COLOURS = {"op": "#deebf7", "red": "#fee6ce"}  # lighter op and reduction fills
OUTPUT = "#c0392b"
FADED, FADED_TEXT = "#eeeeee", "#a0a0a0"
LINK = "#2f78c4c0"  # slightly see-through: links cross a lot


@dataclass(frozen=True)
class Graph:
    """One side of a picture: a store's node dicts and the outputs it is read from."""

    nodes: list[NodeDict]
    outputs: Sequence[int]


@dataclass(frozen=True)
class Picture:
    dot: str
    left_out: list[str]  # what is not drawn, a sentence each; empty when all is


def draw(title: str, recorded: Graph, reduced: Graph | None = None,
         node_map: Sequence[NodeMapEntry] = (), max_nodes: int = MAX_NODES) -> Picture:
    """The picture of `recorded`, or of `recorded` reduced to `reduced` by a reduction whose
    provenance is `node_map`, with at most `max_nodes` nodes a side."""
    sides = [Side("recorded" if reduced else "graph", "r", recorded, max_nodes)]
    if reduced is not None:
        sides.append(Side("reduced", "s", reduced, max_nodes))
        sides[0].dropped = {i for i, entry in enumerate(node_map) if entry is None}
    clusters = [side.cluster() for side in sides]
    left_out = [note for side in sides for note in side.left_out()]
    links: list[str] = []
    if reduced is not None:
        links, missed = provenance(sides[0], sides[1], node_map)
        if missed:
            left_out.append(f"provenance: left out {missed} of "
                            f"{sum(e is not None for e in node_map)} links, to or from "
                            f"what is not drawn")
    kinds = {n["kind"] for side in sides for n in side.graph.nodes}
    head = (f'digraph show {{\n  graph [fontname="{FONT}", rankdir=TB, newrank=true, '
            f'nodesep=0.3, ranksep=0.4, labelloc=t, '
            f'label=<{legend(title, kinds, reduced is not None, left_out)}>];\n'
            f'  node [shape=plain, fontname="{FONT}", fontsize=11];\n'
            f'  edge [fontname="{FONT}", fontsize=8, fontcolor="#707070", color="#606060", '
            f'arrowsize=0.6];\n')
    return Picture(head + "".join(clusters) + "".join(links) + "}\n", left_out)


class Side:
    """A graph as one cluster of the picture, cut to the nodes nearest its outputs."""

    def __init__(self, name: str, prefix: str, graph: Graph, max_nodes: int) -> None:
        self.name, self.prefix, self.graph = name, prefix, graph
        self.drawn = nearest(graph.nodes, graph.outputs, max_nodes)
        self.outputs = set(graph.outputs)
        self.dropped: set[int] = set()

    def first_member(self, node: NodeDict) -> int:
        """The first member of `node` drawn: those before it are left out."""
        return max(0, node.get("n_members", 0) - MEMBER_ROWS)

    def cluster(self) -> str:
        nodes = self.graph.nodes
        title = f"<B>{self.name}</B>  {len(nodes)} node{'s' * (len(nodes) != 1)}"
        out = [f'  subgraph cluster_{self.name} {{\n    graph [label=<{title}>, style="rounded,'
               f'filled", fillcolor="#f8f8f8", color="#d0d0d0", fontsize=13, margin=12];\n']
        if not nodes:
            out.append(f'    {self.prefix}_empty [label="no nodes", fontcolor="{FADED_TEXT}"];\n')
        for i in sorted(self.drawn):
            out.append(f"    {self.prefix}{i} [label=<{self.label(nodes[i])}>];\n")
        for i in sorted(self.drawn):
            out.extend(self.edges(nodes[i]))
        out.append("  }\n")
        return "".join(out)

    def label(self, node: NodeDict) -> str:
        i, kind, first = node["id"], node["kind"], self.first_member(node)
        faded, output = i in self.dropped, i in self.outputs
        fill = FADED if faded else KIND_COLOURS[kind]
        ink = f' COLOR="{FADED_TEXT}"' if faded else ""
        name = node["name"]
        if kind == "external":
            d = node["descriptor"]
            name = f"{d['kind']}:{d['content_hash']}"
        tag = f"{kind} #{i}" if name else f"#{i}"
        if output:
            tag += f' <FONT COLOR="{OUTPUT}"><B>output</B></FONT>'
        elif faded:
            tag += " dropped"
        # The header's two cells share one band: a nested table, as cells leave a seam.
        rows = [f'<TR><TD COLSPAN="2" BGCOLOR="{fill}" CELLPADDING="0"><TABLE BORDER="0" '
                f'CELLSPACING="0" CELLPADDING="4"><TR><TD ALIGN="LEFT"><FONT{ink}><B>'
                f'{text(name or kind)}</B></FONT></TD><TD ALIGN="RIGHT"><FONT POINT-SIZE="9"'
                f'{ink}>{tag}</FONT></TD></TR></TABLE></TD></TR>']
        details = []
        if kind == "external":
            d = node["descriptor"]
            details.append(f"{d['framework']} {d['version']}  {d['io_schema']}")
        if node["params"]:
            details.append(short(node["params"]))
        missing = [j for j in dict.fromkeys(node["inputs"]) if j not in self.drawn]
        if missing:
            details.append("inputs not drawn: " + ", ".join(f"#{j}" for j in missing[:4])
                           + (", …" if len(missing) > 4 else ""))
        for line in details:
            rows.append(f'<TR><TD COLSPAN="2" ALIGN="LEFT"><FONT POINT-SIZE="10" COLOR='
                        f'"{FADED_TEXT if faded else "#404040"}">{text(line, 2 * TEXT)}'
                        f'</FONT></TD></TR>')
        if first:
            rows.append(f'<TR><TD COLSPAN="2" ALIGN="LEFT"><FONT POINT-SIZE="10" COLOR="'
                        f'{FADED_TEXT}">⋮ m0 … m{first - 1} not drawn</FONT></TD></TR>')
        for k, member in enumerate(node.get("members", [])[first:], first):
            rows.append(f'<TR><TD PORT="m{k}" COLSPAN="2" ALIGN="LEFT" BGCOLOR="'
                        f'{FADED if faded else MEMBER_COLOURS[member["kind"]]}"><FONT{ink}>'
                        f'{member_line(k, member)}</FONT></TD></TR>')
        border = (f'BORDER="3" COLOR="{OUTPUT}"' if output else
                  f'BORDER="1" COLOR="{"#c8c8c8" if faded else "#707070"}"')
        return (f'<TABLE {border} CELLBORDER="0" CELLSPACING="0" CELLPADDING="4" '
                f'BGCOLOR="white">{"".join(rows)}</TABLE>')

    def edges(self, node: NodeDict) -> list[str]:
        """One edge per distinct drawn input, labelled with the input positions it fills."""
        at: dict[int, list[int]] = {}
        for k, j in enumerate(node["inputs"]):
            if j in self.drawn:
                at.setdefault(j, []).append(k)
        word = "in" if node["kind"] == "stage" else ""
        out = []
        for j, positions in at.items():
            attrs = []
            if word or len(node["inputs"]) > 1:
                shown = ",".join(f"{word}{k}" for k in positions[:4])
                attrs.append(f'label="{shown}{",…" if len(positions) > 4 else ""}"')
            if node["id"] in self.dropped or j in self.dropped:
                attrs.append(f'color="{FADED_TEXT}", style=dashed')
            out.append(f"    {self.prefix}{j} -> {self.prefix}{node['id']}"
                       + (f" [{', '.join(attrs)}]" if attrs else "") + ";\n")
        return out

    def left_out(self) -> list[str]:
        nodes, notes = self.graph.nodes, []
        if len(self.drawn) < len(nodes):
            edges = sum(len(n["inputs"]) for n in nodes) - sum(
                j in self.drawn for i in self.drawn for j in nodes[i]["inputs"])
            nearest_what = "the outputs" if self.graph.outputs else "the last node"
            notes.append(f"{self.name}: drew the {len(self.drawn)} nodes nearest {nearest_what}"
                         f"; left out {len(nodes) - len(self.drawn)} of {len(nodes)} nodes "
                         f"and {edges} edges to them")
        cut_short = [first for first in map(self.first_member, (nodes[i] for i in self.drawn))
                     if first]
        if cut_short:
            notes.append(f"{self.name}: left out {sum(cut_short)} members of {len(cut_short)} "
                         f"stages longer than {MEMBER_ROWS} (each shows its last {MEMBER_ROWS})")
        return notes


def nearest(nodes: Sequence[NodeDict], outputs: Sequence[int], limit: int) -> set[int]:
    """At most `limit` ids: the outputs, then their inputs, breadth first; when those run out
    (or there are no outputs), the last node not taken yet, and what it reads."""
    if len(nodes) <= limit:
        return set(range(len(nodes)))
    taken: set[int] = set()
    queue = deque(i for i in dict.fromkeys(outputs) if 0 <= i < len(nodes))
    seen = set(queue)
    last = len(nodes) - 1
    while len(taken) < limit:
        if not queue:
            while last in seen:
                last -= 1
            queue.append(last)
            seen.add(last)
        i = queue.popleft()
        taken.add(i)
        for j in nodes[i]["inputs"]:
            if j not in seen:
                seen.add(j)
                queue.append(j)
    return taken


def provenance(recorded: Side, reduced: Side,
               node_map: Sequence[NodeMapEntry]) -> tuple[list[str], int]:
    """One link per recorded node that landed, and the number left out.

    A link ranks its reduced node level with or below its recorded one, so a reduced node
    sits beside the last recorded node that landed on it and links run across, not back up.
    A link into a member must go down a rank: Graphviz 2.43 draws a level edge into a port
    without its arrowhead, taking other attributes for it."""
    out = [f'  edge [color="{LINK}", style=dashed, minlen=0, arrowhead=vee, arrowsize=0.5];\n']
    left_out = 0
    for i, entry in enumerate(node_map):
        if entry is None:
            continue
        target, member = entry
        if i not in recorded.drawn or target not in reduced.drawn or member is not None and (
                member < reduced.first_member(reduced.graph.nodes[target])):
            left_out += 1
            continue
        if member is None:
            out.append(f'  r{i} -> s{target} [class="provenance"];\n')
        else:
            out.append(f'  r{i} -> s{target}:m{member} [class="provenance", minlen=1];\n')
    return out, left_out


def legend(title: str, kinds: set[NodeKind], reduction: bool, left_out: list[str]) -> str:
    """The graph's label: its title, a swatch per kind drawn, how to read a stage, and
    what is left out."""
    cells = [f'<TD BGCOLOR="{colour}" BORDER="1" COLOR="#707070">{kind}</TD>'
             for kind, colour in KIND_COLOURS.items() if kind in kinds]
    cells.append(f'<TD BORDER="3" COLOR="{OUTPUT}">output</TD>')
    if reduction:
        cells.append(f'<TD BGCOLOR="{FADED}" BORDER="1" COLOR="#c8c8c8"><FONT COLOR="'
                     f'{FADED_TEXT}">dropped as dead</FONT></TD>')
        cells.append(f'<TD><FONT COLOR="{LINK}">- - - - landed on</FONT></TD>')
    rows = [f'<TR><TD ALIGN="LEFT" COLSPAN="{len(cells)}"><FONT POINT-SIZE="15"><B>'
            f'{text(title, 3 * TEXT)}</B></FONT></TD></TR>',
            f'<TR>{"".join(cells)}</TR>']
    if "stage" in kinds:
        rows.append(f'<TR><TD ALIGN="LEFT" COLSPAN="{len(cells)}"><FONT POINT-SIZE="10">'
                    f'in a stage, m2 = <B>add</B>(m1, in0) is its member 2, adding the result '
                    f'of member 1 to the stage\'s input 0</FONT></TD></TR>')
    rows.extend(f'<TR><TD ALIGN="LEFT" COLSPAN="{len(cells)}"><FONT COLOR="{OUTPUT}">'
                f'{text(note, 4 * TEXT)}</FONT></TD></TR>' for note in left_out)
    return (f'<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="6" CELLPADDING="3">'
            f'{"".join(rows)}</TABLE>')


def member_line(k: int, member: MemberDict) -> str:
    """`m2 = add(m1, in0)`, then the parameters in small type."""
    operands = ", ".join(("in" if word == "input" else "m") + str(j)
                         for word, j in member["inputs"][:8])
    if len(member["inputs"]) > 8:
        operands += ", …"
    params = member["params"]
    return (f"m{k} = <B>{text(member['name'])}</B>({operands})"
            + (f' <FONT POINT-SIZE="9">{text(short(params))}</FONT>' if params else ""))


def short(params: Params) -> str:
    """`k=v, ...`, cut and quoted but not escaped: the caller's text() does that."""
    return ", ".join(f"{cut(k, TEXT // 2)}={value(v)}" for k, v in params.items())


def value(v: object) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return repr(v)  # nan, inf and -inf as they are
    if isinstance(v, str):
        return '"' + cut(v, TEXT // 2) + '"'
    return cut(str(v), TEXT // 2)


def cut(s: str, limit: int) -> str:
    return s if len(s) <= limit else s[:limit - 1] + "…"


def text(s: str, limit: int = TEXT) -> str:
    """`s` cut to `limit` characters and made printable, safe inside an HTML-like label."""
    return html.escape(printable(cut(s, limit)))


def printable(s: str) -> str:
    """`s` with line breaks and other unprintable characters written as escapes, so that a
    label or a message naming it stays on one line."""
    if s.isprintable():
        return s
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in s)
