"""Render the main job's reduced graph to SVG with Graphviz, and keep its blob.

    python examples/render_reduced_graph.py [OUT_DIR]

Writes OUT_DIR/main-job.vir (the reduced graph's blob, which
`python -m velmora.core` reads) and, when Graphviz's `dot` is installed,
OUT_DIR/main-job-reduced.svg. Needs the velmora package importable: installed
with pip, or a staged build tree on PYTHONPATH (build/py/<tag>).
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from record_and_reduce import record  # noqa: E402  (the main job's graph)


def main(out_dir="."):
    g, total = record()
    reduced, report = g.reduce(outputs=[total])
    os.makedirs(out_dir, exist_ok=True)
    blob_path = os.path.join(out_dir, "main-job.vir")
    with open(blob_path, "wb") as f:
        f.write(reduced.serialize())
    print(f"wrote {blob_path}: {reduced.node_count()} nodes "
          f"({report['stages']} stages) reduced from {g.node_count()}")

    dot = shutil.which("dot")
    if dot is None:
        print("Graphviz's dot is not installed (apt-get install graphviz): no SVG")
        return None
    svg_path = os.path.join(out_dir, "main-job-reduced.svg")
    subprocess.run([dot, "-Tsvg", "-o", svg_path], input=reduced.to_dot().encode(),
                   check=True)
    print(f"wrote {svg_path}")
    return svg_path


if __name__ == "__main__":
    main(*sys.argv[1:2])
