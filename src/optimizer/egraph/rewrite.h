// A rewrite rule: a name and two patterns. Every match of the left side gets
// the right side added with the match's bindings and merged with the matched
// class. The right side may use only variables of the left side.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/pattern.h"

namespace velmora::egraph {

class Rewrite {
 public:
  static Result<Rewrite, PatternError> make(std::string name, std::string_view lhs, std::string_view rhs);

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] const Pattern& lhs() const { return lhs_; }
  [[nodiscard]] const Pattern& rhs() const { return rhs_; }

  void search(const EGraph& g, Matches& out, uint32_t since = 0) const { lhs_.search(g, out, since); }
  // Returns how many merges joined two classes that were different.
  size_t apply(EGraph& g, const Matches& matches) const;

 private:
  Rewrite(std::string name, Pattern lhs, Pattern rhs)
      : name_(std::move(name)), lhs_(std::move(lhs)), rhs_(std::move(rhs)) {}
  std::string name_;
  Pattern lhs_;
  Pattern rhs_;
};

inline Result<Rewrite, PatternError> Rewrite::make(std::string name, std::string_view lhs,
                                                   std::string_view rhs) {
  auto l = Pattern::parse(lhs);
  if (!l.ok()) return Err{l.error()};
  auto r = Pattern::parse_in(rhs, *l);
  if (!r.ok()) return Err{r.error()};
  return Rewrite(std::move(name), std::move(*l), std::move(*r));
}

inline size_t Rewrite::apply(EGraph& g, const Matches& matches) const {
  size_t changed = 0;
  // Two stages ahead: first the classes a match names (the merge's and the
  // right side's children), then the hash-cons slot, whose key needs their roots.
  constexpr size_t kAhead = 16;
  for (size_t k = 0; k < matches.size(); ++k) {
    if (k + 2 * kAhead < matches.size()) {
      g.prefetch_class(matches.classes[k + 2 * kAhead]);
      for (ClassId c : matches.subst(k + 2 * kAhead)) g.prefetch_class(c);
    }
    if (k + kAhead < matches.size()) rhs_.prefetch_instantiate(g, matches.subst(k + kAhead));
    const ClassId c = rhs_.instantiate(g, matches.subst(k));
    if (g.merge(matches.classes[k], c)) ++changed;
  }
  return changed;
}

}  // namespace velmora::egraph
