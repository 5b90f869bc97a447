"""Type mistakes a host program can make; mypy --strict reports each marked line."""

from velmora.core import NodeDict, ReductionReport
from velmora.core import velmora_core as vc

g = vc.GraphStore()
x = g.add_source("x", {"n": None})  # error: a parameter value that is not int, float, bool or str
g.add_source(0)  # error: the name is a str
g.add_op("neg", x)  # error: inputs is a sequence of ids, not one id
g.add_op("neg", "01")  # error: a str is not a sequence of ids
g.add_op("neg", [x], [("a", 1)])  # error: params is a dict
g.add_exchange([x], params={1: 2})  # error: parameter names are str
g.add_external("onnx", [x])  # error: a descriptor or a descriptor dict
g.add_external({"kind": "k", "content_hash": "h"}, [x])  # error: descriptor fields are missing
vc.PayloadDescriptor("k", "h", "f", "v", "s")  # error: the fields are keyword-only
d = vc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
d.kind = "other"  # error: read-only
ref: str = d.preprocessing_ref  # error: it may be None
g.reduce(True)  # error: maximal_fusion is keyword-only
g.reduce(outputs=x)  # error: outputs is a sequence
g.reduction_report(maximal_fusion=True)  # error: no such keyword
vc.GraphStore.deserialize("blob")  # error: the blob is bytes
store, report = g.reduce()
n: str = report["stages"]  # error: the counts are int
report["nodes"]  # error: no such key
node: NodeDict = g.nodes()[0]
node["descriptor"]["io_schema"] = 1  # error: the fields are str
name: int = node["name"]  # error: the name is a str
entry = g.node_map()[0]
entry[0]  # error: the entry may be None
vc.IncrementalReducer().step(42)  # error: step takes a GraphStore
vc.IncrementalReducer().finalize(g, True)  # error: maximal_fusion is keyword-only
counts: ReductionReport = {"stages": 1}  # error: the six counts are required
vc.version(1)  # error: no arguments
