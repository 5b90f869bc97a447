"""A host program that uses every call of the module; mypy --strict passes it."""

from velmora.core import (DescriptorDict, MemberDict, NodeDict, NodeMapEntry, Params,
                          ReductionReport, __version__)
from velmora.core import velmora_core as vc


def show(store: vc.GraphStore) -> None:
    nodes: list[NodeDict] = store.nodes()
    for node in nodes:
        descriptor: DescriptorDict | None = node.get("descriptor")
        members: list[MemberDict] = node.get("members", [])
        print(node["id"] + len(node["inputs"]), node["output"], node["kind"], node["name"],
              node["params"], descriptor and descriptor["preprocessing_ref"], node.get("n_members"),
              [(m["kind"], m["inputs"][0][1]) for m in members])
    provenance: list[NodeMapEntry] = store.node_map()
    for entry in provenance:
        if entry is not None:
            print(entry[0], entry[1] if entry[1] is None else entry[1] + 1)
    print(store.outputs(), store.node_count(), store.to_dot().count("->"))


def main() -> None:
    assert vc.version() == __version__
    g = vc.GraphStore()
    params: Params = {"table": "events", "partitions": 8, "exact": True, "rate": 0.5}
    rows = g.add_source("rows", params)
    price = g.add_op("col", [rows], {"name": "price"})
    total = g.add_reduction("sum", range(price, g.add_op(name="col", inputs=(rows,)) + 1))
    model = vc.PayloadDescriptor(kind="onnx", content_hash="9f2c", framework="torch",
                                 version="2.4", io_schema="f32[n]->f32[n]")
    ref: str | None = model.preprocessing_ref
    scored = g.add_external(model, [total], {"axis": 0})
    g.add_external({"kind": model.kind, "content_hash": model.content_hash, "framework": "f",
                    "version": model.version, "io_schema": model.io_schema}, [scored])
    g.add_external({"kind": "k", "content_hash": model.framework, "framework": "f",
                    "version": "1", "io_schema": "s", "preprocessing_ref": ref}, [])
    out = g.add_join([g.add_exchange([scored], params=None), rows])
    reduced, report = g.reduce(outputs=[out])
    counts: ReductionReport = g.reduction_report(outputs=[out])
    assert counts["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    blob: bytes = reduced.serialize()
    assert vc.GraphStore.deserialize(blob).serialize(outputs=None) == blob
    for store in (reduced, g.reduce(maximal_fusion=True)[0], g.reduce_incremental()[0]):
        show(store)
    inc = vc.IncrementalReducer()
    assert inc.step(g) == inc.watermark() == inc.total_work() >= inc.canonical_count()
    final, final_report = inc.finalize(g, maximal_fusion=False, outputs=[out])
    print(final.node_count(), final_report["input_nodes"], inc.step(store=g))
    try:
        g.add_op("neg", [10**30])
    except (ValueError, OverflowError, vc.PanicException) as e:
        print(type(e).__name__)
