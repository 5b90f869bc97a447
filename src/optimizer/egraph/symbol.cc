#include "optimizer/egraph/symbol.h"

#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/panic.h"

namespace velmora::egraph {
namespace {

// Only rules intern texts, so callers can only look texts up here, and no
// input can lengthen a chain: the map needs no keyed hash. Unlike Abseil's
// tables of this release, it is whole after a failed allocation.
struct GlobalTable {
  std::shared_mutex mu;
  std::deque<std::string> texts;  // never shrinks; addresses are stable
  std::vector<std::string_view> by_id;
  std::unordered_map<std::string_view, uint32_t> ids;
};

GlobalTable& table() {
  static GlobalTable* t = new GlobalTable();  // never destroyed: symbols outlive statics
  return *t;
}

}  // namespace

Symbol Symbol::intern(std::string_view text) {
  GlobalTable& t = table();
  {
    std::shared_lock lock(t.mu);
    if (auto it = t.ids.find(text); it != t.ids.end()) return Symbol(it->second);
  }
  std::unique_lock lock(t.mu);
  if (auto it = t.ids.find(text); it != t.ids.end()) return Symbol(it->second);
  if (t.by_id.size() >= kLocalBit) panic("symbol table is full");
  // All or nothing: room first, and the text taken back if indexing it fails.
  if (t.by_id.size() == t.by_id.capacity()) t.by_id.reserve(2 * t.by_id.size() + 16);
  const auto id = static_cast<uint32_t>(t.by_id.size());
  std::string_view stored = t.texts.emplace_back(text);
  try {
    t.ids.emplace(stored, id);
  } catch (...) {
    t.texts.pop_back();
    throw;
  }
  t.by_id.push_back(stored);
  return Symbol(id);
}

std::optional<Symbol> Symbol::find(std::string_view text) {
  GlobalTable& t = table();
  std::shared_lock lock(t.mu);
  if (auto it = t.ids.find(text); it != t.ids.end()) return Symbol(it->second);
  return std::nullopt;
}

std::string_view Symbol::text() const {
  if (is_local()) return {};
  GlobalTable& t = table();
  std::shared_lock lock(t.mu);
  return at(t.by_id, id_);
}

Symbol LocalSymbols::distinct(std::string_view text) {
  if (auto global = Symbol::find(text)) return *global;
  if (next_ >= Symbol::kLocalBit - 1) panic("local symbol scope is full");
  return Symbol(Symbol::kLocalBit | next_++);
}

}  // namespace velmora::egraph
