"""Record a small feature pipeline, reduce it, write it as a blob, read it back.

Run through scripts/example, which builds the module and puts it on sys.path.
"""

import json

from velmora.core import velmora_core as vc


def record():
    g = vc.GraphStore()
    rows = g.add_source("rows", {"table": "events", "partitions": 8})
    price = g.add_op("col", [rows], {"name": "price"})
    qty = g.add_op("col", [rows], {"name": "qty"})
    # The host recorded the same product twice, once with swapped operands,
    # and a no-op scaling; the reducer folds all of it.
    revenue = g.add_op("mul", [price, qty])
    again = g.add_op("mul", [qty, price])
    scaled = g.add_op("mul", [again], {"scalar": 1.0, "side": "r"})
    taxed = g.add_op("mul", [revenue], {"scalar": 1.2, "side": "l"})
    clipped = g.add_op("maximum", [taxed, scaled])
    model = vc.PayloadDescriptor(kind="onnx", content_hash="9f2c", framework="torch",
                                 version="2.4", io_schema="f32[n]->f32[n]")
    scored = g.add_external(model, [clipped])
    shuffled = g.add_exchange([scored], {"key": "region"})
    total = g.add_reduction("sum", [shuffled], {"axis": 0})
    g.add_op("log", [rows])  # dead: nothing depends on it
    return g, total


def main():
    g, total = record()
    print(f"recorded {g.node_count()} nodes:")
    for node in g.nodes():
        print(" ", node)
    print("recorded graph as DOT:")
    print(g.to_dot(), end="")
    reduced, report = g.reduce(outputs=[total])
    print("report:", json.dumps(report))

    blob = reduced.serialize()
    back = vc.GraphStore.deserialize(blob)
    assert back.serialize() == blob, "a round trip gives the same bytes"
    print(f"blob: {len(blob)} bytes, read back {back.node_count()} nodes")

    print("reduced nodes:")
    for node in back.nodes():
        print(" ", node)
    print("provenance (recorded id -> reduced place):", reduced.node_map())
    print("reduced graph as DOT:")
    print(back.to_dot(), end="")


if __name__ == "__main__":
    main()
