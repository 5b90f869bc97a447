// A node's token and label, written once for both forms a node takes: an
// owned NodeKey and a NodeView of an arena. Either offers kind(), name(),
// params() (with empty(), append_token() and display()), descriptor() (an
// External's, with the PayloadDescriptor's field names) and member_count()
// (a Stage's); the template text needs for_each_member too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "node/node.h"
#include "param/param.h"

namespace velmora::node_text {

// The escaped canonical text of the node without its inputs.
template <typename Node>
void append_token(const Node& node, std::string& t) {
  const KindInfo& info = kind_info(node.kind());
  t += info.token_head;
  if (info.named()) {
    append_escaped(t, node.name());
  } else if (node.kind() == NodeKey::Kind::kExternal) {
    // Descriptor fields go in as they are: the token is a name, not a parse.
    const auto& d = node.descriptor();
    for (std::string_view f : {std::string_view(d.kind), std::string_view(d.content_hash),
                               std::string_view(d.framework), std::string_view(d.version),
                               std::string_view(d.io_schema)}) {
      t += f;
      t += '|';
    }
    t += d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : std::string_view("-");
  } else if (node.kind() == NodeKey::Kind::kStage) {
    t += std::to_string(node.member_count());
    return;
  }
  const auto& params = node.params();
  if (!params.empty()) {
    t += '|';
    params.append_token(t);
  }
}

// The one-line display text used in DOT.
template <typename Node>
std::string label(const Node& node) {
  const KindInfo& info = kind_info(node.kind());
  std::string s(info.label_head);
  if (info.named()) {
    s += node.name();
  } else if (node.kind() == NodeKey::Kind::kExternal) {
    const auto& d = node.descriptor();
    s += d.kind;
    s += ':';
    s += d.content_hash;
    s += " [";
    s += d.framework;
    s += ' ';
    s += d.version;
    s += ']';
  } else if (node.kind() == NodeKey::Kind::kStage) {
    s += std::to_string(node.member_count());
    s += " members]";
    return s;
  }
  const auto& params = node.params();
  if (!params.empty()) {
    s += ' ';
    s += params.display();
  }
  return s;
}

// A length-prefixed text: "3:abc".
inline void append_counted(std::string& out, std::string_view s) {
  out += std::to_string(s.size());
  out += ':';
  out += s;
}

// The text a node's template (the node without its inputs) is known by: its
// token, except where the token does not determine the node up to its inputs.
// A Stage's token shows only its member count and an External's joins raw
// descriptor fields with "|" (and writes an absent preprocessing_ref like a
// "-" one), so two distinct nodes could share a token and be merged or rebuilt
// from the wrong template. Those two get a length-prefixed text of their whole
// key; it still starts with their kind's prefix, so it never reads as an "op|"
// token.
template <typename Node>
void append_template_text(const Node& node, std::string& s) {
  switch (node.kind()) {
    case NodeKey::Kind::kStage: {
      s += "stage|";
      s += std::to_string(node.member_count());
      node.for_each_member([&s](const auto& m) {
        s += '|';
        append_counted(s, m.op);
        s += ':';
        for (uint32_t r = 0; r < m.argc; ++r) {
          if (r > 0) s += ',';
          const StageRef ref = m.ref(r);
          s += ref.kind == StageRef::Kind::kInput ? 'i' : 'm';
          s += std::to_string(ref.index);
        }
      });
      return;
    }
    case NodeKey::Kind::kExternal: {
      const auto& d = node.descriptor();
      s += "ext|";
      for (std::string_view field : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
        append_counted(s, field);
      }
      if (d.preprocessing_ref) {
        s += '+';
        append_counted(s, *d.preprocessing_ref);
      } else {
        s += '-';
      }
      const auto& params = node.params();
      if (!params.empty()) {
        s += '|';
        params.append_token(s);
      }
      return;
    }
    default:
      append_token(node, s);
  }
}

}  // namespace velmora::node_text
