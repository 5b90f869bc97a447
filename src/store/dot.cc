// Graphviz rendering: all node lines in id order, then all edge lines.
#include <algorithm>

#include "store/store.h"

namespace velmora {
namespace {

std::string escape_label(const std::string& label) {
  std::string out;
  out.reserve(label.size());
  for (char c : label) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string render_dot(const NodesView& nodes, const std::vector<NodeId>& outputs) {
  std::string out = "digraph velmora {\n";
  std::vector<bool> marked(nodes.size(), false);  // one pass over the marks, not one per node
  for (NodeId o : outputs) {
    if (o.value() < marked.size()) marked[o.value()] = true;
  }
  for (uint64_t id = 0; id < nodes.size(); ++id) {
    out += "  n" + std::to_string(id) + " [label=\"" + escape_label(nodes[id].label()) + "\"";
    if (marked[id]) {
      out += ", shape=doublecircle";
    }
    out += "];\n";
  }
  for (uint64_t id = 0; id < nodes.size(); ++id) {
    for (NodeId input : nodes[id].inputs()) {
      out += "  n" + std::to_string(input.value()) + " -> n" + std::to_string(id) + ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace velmora
