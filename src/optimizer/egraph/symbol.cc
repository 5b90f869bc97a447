#include "optimizer/egraph/symbol.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/panic.h"

namespace velmora::egraph {
namespace {

struct GlobalTable {
  std::shared_mutex mu;
  std::deque<std::string> texts;  // never shrinks; addresses are stable
  std::vector<std::string_view> by_id;
  absl::flat_hash_map<std::string_view, uint32_t> ids;
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
  const auto id = static_cast<uint32_t>(t.by_id.size());
  std::string_view stored = t.texts.emplace_back(text);
  t.by_id.push_back(stored);
  t.ids.emplace(stored, id);
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

Symbol LocalSymbols::get(std::string_view text) {
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  std::string_view stored = texts_.emplace_back(text);
  Symbol s;
  if (auto global = Symbol::find(text)) {
    s = *global;
  } else {
    if (next_ >= Symbol::kLocalBit - 1) panic("local symbol scope is full");
    s = Symbol(Symbol::kLocalBit | next_++);
    named_.emplace(s.id(), stored);
  }
  ids_.emplace(stored, s);
  return s;
}

Symbol LocalSymbols::distinct(std::string_view text) {
  if (auto global = Symbol::find(text)) return *global;
  if (next_ >= Symbol::kLocalBit - 1) panic("local symbol scope is full");
  return Symbol(Symbol::kLocalBit | next_++);
}

std::string_view LocalSymbols::text(Symbol s) const {
  if (!s.is_local()) return s.text();
  auto it = named_.find(s.id());
  return it == named_.end() ? std::string_view() : it->second;
}

}  // namespace velmora::egraph
