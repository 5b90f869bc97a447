"""A host program that uses every call of the module; mypy --strict passes it."""

from velmora.core import (DescriptorDict, MemberDict, NodeDict, NodeMapEntry, Params,
                          ReductionReport, __version__)
from velmora.core import velmora_core as vc


def record() -> tuple[vc.GraphStore, int]:
    g = vc.GraphStore()
    params: Params = {"table": "events", "partitions": 8, "exact": True, "rate": 0.5}
    rows = g.add_source("rows", params)
    price = g.add_op("col", [rows], {"name": "price"})
    qty = g.add_op(name="col", inputs=(rows,), params=None)
    total = g.add_reduction("sum", range(price, qty + 1), {"axis": 0})
    model = vc.PayloadDescriptor(kind="onnx", content_hash="9f2c", framework="torch",
                                 version="2.4", io_schema="f32[n]->f32[n]")
    fields: str = model.kind + model.content_hash + model.framework + model.version
    ref: str | None = model.preprocessing_ref
    scored = g.add_external(model, [total])
    g.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "1",
                    "io_schema": fields}, [scored])
    g.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "1",
                    "io_schema": model.io_schema, "preprocessing_ref": ref}, [])
    shuffled = g.add_exchange([scored], {"key": "region"})
    joined = g.add_join([shuffled, rows])
    return g, joined


def show(store: vc.GraphStore) -> None:
    nodes: list[NodeDict] = store.nodes()
    for node in nodes:
        ident: int = node["id"]
        inputs: list[int] = node["inputs"]
        print(ident, inputs, node["output"], node["kind"], node["name"], node["params"])
        if "descriptor" in node:
            descriptor: DescriptorDict = node["descriptor"]
            print(descriptor["preprocessing_ref"])
        if node["kind"] == "stage":
            members: list[MemberDict] = node.get("members", [])
            print(node.get("n_members"), [(m["kind"], m["inputs"][0][1]) for m in members])
    outputs: list[int] = store.outputs()
    provenance: list[NodeMapEntry] = store.node_map()
    for entry in provenance:
        if entry is not None:
            reduced_id, member = entry
            print(reduced_id, member if member is None else member + 1)
    print(outputs, store.node_count(), store.to_dot().count("->"))


def main() -> None:
    version: str = vc.version()
    assert version == __version__
    g, out = record()
    reduced, report = g.reduce(outputs=[out])
    again, _ = g.reduce(maximal_fusion=True, outputs=[out])
    once, _ = g.reduce_incremental(outputs=[out])
    counts: ReductionReport = g.reduction_report(outputs=[out])
    assert counts["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    blob: bytes = reduced.serialize()
    back = vc.GraphStore.deserialize(blob)
    assert back.serialize(outputs=None) == blob == reduced.serialize(reduced.outputs())
    show(back)
    show(again)
    show(once)

    inc = vc.IncrementalReducer()
    consumed: int = inc.step(g)
    assert consumed == inc.watermark() == inc.total_work() >= inc.canonical_count()
    final, final_report = inc.finalize(g, maximal_fusion=False, outputs=[out])
    print(final.node_count(), final_report["input_nodes"], inc.step(store=g))
    try:
        g.add_op("neg", [10**30])
    except (ValueError, OverflowError, vc.PanicException) as e:
        print(type(e).__name__)


if __name__ == "__main__":
    main()
