// The Python views of IR values: node dicts, id lists, reports. Each returns a
// new reference, or nullptr with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "node/node.h"
#include "optimizer/pipeline.h"
#include "param/param.h"
#include "store/store.h"

namespace velmora::py {

PyObject* params_to_py(const ParamMap& params);
PyObject* str_to_py(std::string_view s);
PyObject* id_to_py(NodeId id);
PyObject* count_to_py(uint64_t n);
PyObject* ids_to_py(std::span<const NodeId> ids);
PyObject* ids_to_py(const InputIds& ids);

struct ModuleState;
// The inspection view: one node dict per node of `snap`, in id order; a stage
// member token that does not parse is a ValueError.
PyObject* nodes_to_py(const ModuleState& state, const Snapshot& snap);
// One entry per node of the unreduced graph: None or (id, member | None).
PyObject* node_map_to_py(const NodeMap& map);
PyObject* report_to_py(const ModuleState& state, const ReductionReport& report);

}  // namespace velmora::py
