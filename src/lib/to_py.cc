#include "lib/to_py.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "base/hash_key.h"
#include "base/id_index.h"
#include "base/panic.h"
#include "lib/module.h"
#include "lib/plumbing.h"

namespace velmora::py {
namespace {

PyObject* param_value_to_py(const ParamValue& v) {
  switch (v.kind()) {
    case ParamValue::Kind::kInt: return PyLong_FromLongLong(v.as_int());
    case ParamValue::Kind::kFloat: return PyFloat_FromDouble(v.as_float());
    case ParamValue::Kind::kBool: return PyBool_FromLong(v.as_bool());
    case ParamValue::Kind::kStr: return str_to_py(v.as_str());
  }
  panic("param value of unknown kind");
}

PyObject* param_ref_to_py(const ParamRef& r) {
  switch (r.kind) {
    case ParamValue::Kind::kInt: return PyLong_FromLongLong(std::bit_cast<int64_t>(r.bits));
    case ParamValue::Kind::kFloat: return PyFloat_FromDouble(std::bit_cast<double>(r.bits));
    case ParamValue::Kind::kBool: return PyBool_FromLong(r.bits != 0);
    case ParamValue::Kind::kStr: return str_to_py(r.str);
  }
  panic("param value of unknown kind");
}

}  // namespace

PyObject* params_to_py(const ParamMap& params) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : params) {
    Ref k(str_to_py(name));
    Ref v(param_value_to_py(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* str_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* id_to_py(NodeId id) { return count_to_py(id.value()); }

PyObject* count_to_py(uint64_t n) { return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(n)); }

namespace {
template <typename Ids>
PyObject* id_list(const Ids& ids) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = id_to_py(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}
}  // namespace

PyObject* ids_to_py(std::span<const NodeId> ids) { return id_list(ids); }
PyObject* ids_to_py(const InputIds& ids) { return id_list(ids); }

namespace {

// The kind words follow one another in kind order, as the kinds' table.
constexpr bool kinds_in_order() {
  for (int k = 0; k < NodeKey::kKindCount; ++k) {
    if (std::string_view(kWordTexts[kWordSource + k]) != kKinds[k].word) return false;
  }
  return kWordSource + NodeKey::kKindCount - 1 == kWordJoin;
}
static_assert(kinds_in_order());

// Builds the node dicts of one nodes() call. Keys and kind words come from the
// module; each store text becomes one str, shared by every dict that shows
// it (strs are immutable, so sharing them is not observable).
class NodesBuilder {
 public:
  explicit NodesBuilder(const ModuleState& state) : words_(state.words) {}
  NodesBuilder(const NodesBuilder&) = delete;
  NodesBuilder& operator=(const NodesBuilder&) = delete;
  ~NodesBuilder() {
    for (PyObject* p : texts_) Py_XDECREF(p);
  }

  PyObject* node(const NodeView& node, NodeId id, bool output) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const NodeKey::Kind kind = node.kind();
    const bool named = NodeKey::named(kind);
    const bool ok = put(dict.get(), kWordId, id_to_py(id)) &&
                    put(dict.get(), kWordOutput, Py_NewRef(output ? Py_True : Py_False)) &&
                    put(dict.get(), kWordInputs, ids_to_py(node.inputs())) &&
                    put(dict.get(), kWordKind, Py_NewRef(words_[kind_word(kind)])) &&
                    put(dict.get(), kWordName, named ? text(node.name_id(), node.name()) : str_to_py("")) &&
                    put(dict.get(), kWordParams, params(node.params()));
    if (!ok) return nullptr;
    // Past the keys every node has, a descriptor or members where the kind has them.
    for (Part part : kind_info(kind).parts()) {
      if (part == Part::kDescriptor) {
        if (!put(dict.get(), kWordDescriptor, descriptor(node.descriptor()))) return nullptr;
      } else if (part == Part::kMembers) {
        if (!put(dict.get(), kWordNMembers, PyLong_FromSize_t(node.member_count())) ||
            !put(dict.get(), kWordMembers, members(node))) {
          return nullptr;
        }
      }
    }
    return dict.release();
  }

 private:
  static Word kind_word(NodeKey::Kind kind) { return static_cast<Word>(kWordSource + static_cast<int>(kind)); }

  // dict[word] = value, taking over `value`.
  bool put(PyObject* dict, Word word, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItem(dict, words_[word], owned.get()) == 0;
  }

  // A new reference to the str of store text `id`.
  PyObject* text(TextId text_id, std::string_view s) {
    const uint32_t id = text_id.word();
    if (id >= texts_.size()) texts_.resize(std::max<std::size_t>(id + 1, 2 * texts_.size()), nullptr);
    PyObject*& slot = texts_[id];
    if (slot == nullptr) {
      slot = str_to_py(s);
      if (slot == nullptr) return nullptr;
    }
    return Py_NewRef(slot);
  }

  PyObject* params(const ParamsView& params) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const ParamRef& r : params) {
      Ref k(text(r.name_id, r.name));
      Ref v(r.kind == ParamValue::Kind::kStr ? text(r.str_id, r.str) : param_ref_to_py(r));
      if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
  }

  // (word, index): where a stage member's input comes from.
  PyObject* stage_ref(const StageRef& r) {
    Ref index(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(r.index)));
    if (!index) return nullptr;
    PyObject* word = words_[r.kind == StageRef::Kind::kInput ? kWordInput : kWordMember];
    return PyTuple_Pack(2, word, index.get());
  }

  PyObject* member(const MemberView& member) {
    auto parsed = parse_op_token(member.op);
    if (!parsed) return value_error("unparseable stage member token " + quote_str(member.op));
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Ref inputs(PyList_New(static_cast<Py_ssize_t>(member.argc)));
    if (!inputs) return nullptr;
    for (uint32_t k = 0; k < member.argc; ++k) {
      PyObject* ref = stage_ref(member.ref(k));
      if (ref == nullptr) return nullptr;
      PyList_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(k), ref);
    }
    if (!put(dict.get(), kWordKind, str_to_py(parsed->kind)) ||
        !put(dict.get(), kWordName, str_to_py(parsed->name)) ||
        !put(dict.get(), kWordParams, params_to_py(parsed->params)) ||
        !put(dict.get(), kWordInputs, inputs.release())) {
      return nullptr;
    }
    return dict.release();
  }

  PyObject* members(const NodeView& node) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(node.member_count())));
    if (!list) return nullptr;
    Py_ssize_t k = 0;
    bool ok = true;
    node.for_each_member([&](const MemberView& m) {
      if (!ok) return;
      PyObject* entry = member(m);
      if (entry == nullptr) {
        ok = false;
        return;
      }
      PyList_SET_ITEM(list.get(), k++, entry);
    });
    if (!ok) return nullptr;
    return list.release();
  }

  PyObject* descriptor(const DescriptorView& d) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), kWordKind, str_to_py(d.kind)) ||
        !put(dict.get(), kWordContentHash, str_to_py(d.content_hash)) ||
        !put(dict.get(), kWordFramework, str_to_py(d.framework)) ||
        !put(dict.get(), kWordVersion, str_to_py(d.version)) ||
        !put(dict.get(), kWordIoSchema, str_to_py(d.io_schema)) ||
        !put(dict.get(), kWordPreprocessingRef,
             d.preprocessing_ref ? str_to_py(*d.preprocessing_ref) : Py_NewRef(Py_None))) {
      return nullptr;
    }
    return dict.release();
  }

  PyObject* const* words_;
  std::vector<PyObject*> texts_;  // strong references, by store text id
};

// Marks are usually few: a scan, or a table once a linear test per node would
// cost more than building one.
class OutputTest {
 public:
  explicit OutputTest(const std::vector<NodeId>& outputs) : outputs_(outputs) {
    if (outputs.size() <= kScanLimit) return;
    set_.reserve_more(outputs.size());  // marks are distinct store ids: fewer than 2^32
    for (std::size_t k = 0; k < outputs.size(); ++k) set_.insert(hash_word(outputs[k].value()), static_cast<uint32_t>(k));
  }
  bool operator()(NodeId id) const {
    if (outputs_.size() > kScanLimit) {
      return IdIndex::found(set_.find(hash_word(id.value()), [&](uint32_t k) { return outputs_[k] == id; }));
    }
    return std::find(outputs_.begin(), outputs_.end(), id) != outputs_.end();
  }

 private:
  static constexpr std::size_t kScanLimit = 16;
  const std::vector<NodeId>& outputs_;
  IdIndex set_;  // positions in outputs_, keyed by the mark: marks may come from a blob
};

}  // namespace

// Keeps the cyclic collector from running while a view builds its objects:
// they are all new and none can form a cycle, yet a million of them would
// trigger collections that walk every tracked object again and again. The
// collector's earlier state comes back afterwards. Under a GIL no other Python
// code runs meanwhile; without one, another thread could switch the collector
// on or off in between and have its choice undone, so there it is left alone.
class CollectorPause {
 public:
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
#ifdef Py_GIL_DISABLED
  CollectorPause() {}  // NOLINT: user-provided, so the unused guard draws no warning
#else
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_ == 1) PyGC_Enable();
  }

 private:
  int was_enabled_;
#endif
};

PyObject* nodes_to_py(const ModuleState& state, const Snapshot& snap) {
  const OutputTest is_output(snap.outputs);
  const CollectorPause pause;
  NodesBuilder builder(state);
  Ref list(PyList_New(static_cast<Py_ssize_t>(snap.nodes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
    PyObject* node = builder.node(snap.nodes[i], NodeId(i), is_output(NodeId(i)));
    if (node == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node);
  }
  return list.release();
}

PyObject* node_map_to_py(const NodeMap& map) {
  const CollectorPause pause;
  Ref list(PyList_New(static_cast<Py_ssize_t>(map.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < map.size(); ++i) {
    PyObject* entry = nullptr;
    if (!map[i]) {
      entry = Py_NewRef(Py_None);
    } else if (map[i]->member) {
      entry = Py_BuildValue("(KK)", static_cast<unsigned long long>(map[i]->node.value()),
                            static_cast<unsigned long long>(*map[i]->member));
    } else {
      entry = Py_BuildValue("(KO)", static_cast<unsigned long long>(map[i]->node.value()), Py_None);
    }
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* report_to_py(const ModuleState& state, const ReductionReport& r) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<Word, uint64_t> counts[] = {
      {kWordInputNodes, r.input_nodes},         {kWordReachableNodes, r.reachable_nodes},
      {kWordCanonicalNodes, r.canonical_nodes}, {kWordStages, r.stages},
      {kWordReducedNodes, r.reduced_nodes},     {kWordBoundaryNodes, r.boundary_nodes},
  };
  for (const auto& [word, count] : counts) {
    Ref value(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItem(dict.get(), state.words[word], value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace velmora::py
