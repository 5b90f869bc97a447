"""Draw the main job's graph beside its reduction, and keep its blob.

    python examples/render_reduced_graph.py [OUT_DIR]

Writes OUT_DIR/main-job.vir, the recorded graph with its output marked, and
OUT_DIR/main-job.svg, the picture that

    python -m velmora.core show OUT_DIR/main-job.vir --reduce -o OUT_DIR/main-job.svg

draws: the recorded graph on the left, its reduction on the right, a dashed
link from each recorded node to the node (and stage member) it landed on. Without
Graphviz's `dot` it writes the DOT text instead, as OUT_DIR/main-job.dot. Needs
the velmora package importable: installed with pip, or a staged build tree on
PYTHONPATH (build/py/<tag>).
"""

import os
import shutil
import sys

from velmora.core.__main__ import main as command_line

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from record_and_reduce import record  # noqa: E402  (the main job's graph)


def main(out_dir="."):
    g, total = record()
    os.makedirs(out_dir, exist_ok=True)
    blob_path = os.path.join(out_dir, "main-job.vir")
    with open(blob_path, "wb") as f:
        f.write(g.serialize(outputs=[total]))
    picture = os.path.join(out_dir, "main-job.svg" if shutil.which("dot") else "main-job.dot")
    status = command_line(["show", blob_path, "--reduce", "-o", picture])
    if status:
        sys.exit(status)
    print(f"wrote {blob_path} ({g.node_count()} nodes) and {picture}")
    return picture


if __name__ == "__main__":
    main(*sys.argv[1:2])
