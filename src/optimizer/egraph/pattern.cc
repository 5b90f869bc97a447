#include "optimizer/egraph/pattern.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "base/panic.h"

namespace velmora::egraph {

class Pattern::Parser {
 public:
  Parser(std::string_view text, Pattern& out, bool new_vars) : text_(text), out_(out), new_vars_(new_vars) {}

  Status<PatternError> run() {
    skip_space();
    if (pos_ == text_.size()) return fail("empty pattern");
    auto root = term();
    if (!root.ok()) return Err{root.error()};
    skip_space();
    if (pos_ != text_.size()) return fail("unexpected text after the pattern");
    out_.root_ = *root;
    return {};
  }

 private:
  static bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  static bool delimiter(char c) { return space(c) || c == '(' || c == ')'; }
  void skip_space() {
    while (pos_ < text_.size() && space(text_[pos_])) ++pos_;
  }
  Err<PatternError> fail(std::string message) const { return Err{PatternError{std::move(message), pos_}}; }

  std::string_view atom() {
    const size_t start = pos_;
    while (pos_ < text_.size() && !delimiter(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  Result<uint32_t, PatternError> term() {
    if (text_[pos_] == ')') return fail("unexpected \")\"");
    if (text_[pos_] != '(') return leaf();
    ++pos_;
    skip_space();
    if (pos_ == text_.size()) return fail("unclosed \"(\"");
    if (text_[pos_] == ')') return fail("empty list");
    if (text_[pos_] == '(') return fail("a list must start with a symbol");
    const size_t head_pos = pos_;
    const std::string_view head = atom();
    if (head.size() > 1 && head[0] == '?') {
      pos_ = head_pos;
      return fail("a variable cannot start a list");
    }
    std::vector<uint32_t> kids;
    for (;;) {
      skip_space();
      if (pos_ == text_.size()) return fail("unclosed \"(\"");
      if (text_[pos_] == ')') break;
      auto k = term();
      if (!k.ok()) return k;
      kids.push_back(*k);
    }
    ++pos_;
    Term t;
    t.op = Symbol::intern(head);
    t.first_kid = static_cast<uint32_t>(out_.kids_.size());
    t.arity = static_cast<uint32_t>(kids.size());
    out_.kids_.insert(out_.kids_.end(), kids.begin(), kids.end());
    out_.terms_.push_back(t);
    return static_cast<uint32_t>(out_.terms_.size() - 1);
  }

  Result<uint32_t, PatternError> leaf() {
    const size_t start = pos_;
    const std::string_view text = atom();
    Term t;
    if (text.size() > 1 && text[0] == '?') {
      const std::string_view name = text.substr(1);
      auto it = std::find(out_.vars_.begin(), out_.vars_.end(), name);
      if (it == out_.vars_.end()) {
        if (!new_vars_) {
          pos_ = start;
          return fail("variable ?" + std::string(name) + " is not bound by the left side");
        }
        out_.vars_.emplace_back(name);
        it = out_.vars_.end() - 1;
      }
      t.is_var = true;
      t.var = static_cast<uint32_t>(it - out_.vars_.begin());
    } else {
      t.op = Symbol::intern(text);
    }
    out_.terms_.push_back(t);
    return static_cast<uint32_t>(out_.terms_.size() - 1);
  }

  std::string_view text_;
  Pattern& out_;
  bool new_vars_;
  size_t pos_ = 0;
};

Result<Pattern, PatternError> Pattern::parse(std::string_view text) {
  Pattern p;
  auto st = Parser(text, p, true).run();
  if (!st.ok()) return Err{st.error()};
  p.analyse();
  return p;
}

Result<Pattern, PatternError> Pattern::parse_in(std::string_view text, const Pattern& scope) {
  Pattern p;
  p.vars_ = scope.vars_;
  auto st = Parser(text, p, false).run();
  if (!st.ok()) return Err{st.error()};
  p.analyse();
  return p;
}

void Pattern::analyse() {
  const Term& r = terms_[root_];
  flat_ = !r.is_var;
  identity_flat_ = !r.is_var && r.arity == vars_.size();
  for (uint32_t k = 0; !r.is_var && k < r.arity; ++k) {
    const Term& t = kid(r, k);
    if (!t.is_var) flat_ = identity_flat_ = false;
    if (!t.is_var || t.var != k) identity_flat_ = false;
  }
}

void Pattern::write(std::string& out, uint32_t t) const {
  const Term& term = terms_[t];
  if (term.is_var) {
    out += '?';
    out += vars_[term.var];
    return;
  }
  if (term.arity == 0) {
    out += term.op.text();
    return;
  }
  out += '(';
  out += term.op.text();
  for (uint32_t k = 0; k < term.arity; ++k) {
    out += ' ';
    write(out, kids_[term.first_kid + k]);
  }
  out += ')';
}

std::string Pattern::to_string() const {
  std::string out;
  write(out, root_);
  return out;
}

template <typename Emit>
void Pattern::match_goals(const EGraph& g, std::vector<Goal>& goals, size_t i,
                          std::vector<ClassId>& subst, Emit& emit) const {
  if (i == goals.size()) {
    emit();
    return;
  }
  const Goal goal = goals[i];
  const Term& t = terms_[goal.term];
  if (t.is_var) {
    ClassId& slot = subst[t.var];
    if (slot == kNoClass) {
      slot = goal.cls;
      match_goals(g, goals, i + 1, subst, emit);
      slot = kNoClass;
    } else if (slot == goal.cls) {
      match_goals(g, goals, i + 1, subst, emit);
    }
    return;
  }
  g.for_each_node_in_class(goal.cls, [&](ENodeId n) {
    if (g.op(n) != t.op || g.arity(n) != t.arity) return;
    const size_t mark = goals.size();
    auto ch = g.children(n);
    for (uint32_t k = 0; k < t.arity; ++k) goals.push_back({kids_[t.first_kid + k], ch[k]});
    match_goals(g, goals, i + 1, subst, emit);
    goals.resize(mark);
  });
}

std::optional<size_t> Pattern::quick_count(const EGraph& g) const {
  const Term& r = terms_[root_];
  if (!identity_flat_) return std::nullopt;
  return g.count_with_op(r.op, r.arity);
}

void Pattern::search(const EGraph& g, Matches& out, uint32_t since) const {
  if (!g.clean()) panic("pattern search on an e-graph that needs rebuilding");
  out.width = vars_.size();
  out.classes.clear();
  out.bindings.clear();
  out.known = 0;
  const Term& r = terms_[root_];
  std::vector<ClassId> subst(vars_.size(), kNoClass);
  if (r.is_var) {
    g.for_each_class([&](ClassId c) {
      std::fill(subst.begin(), subst.end(), kNoClass);
      subst[r.var] = c;
      out.classes.push_back(c);
      out.bindings.insert(out.bindings.end(), subst.begin(), subst.end());
    });
    return;
  }
  // Live e-nodes are pairwise distinct, so a root whose children are distinct
  // variables yields each (class, bindings) once; only deeper patterns can
  // repeat one.
  const bool repeats = !identity_flat_;
  if (identity_flat_) {
    if (auto count = g.count_with_op(r.op, r.arity)) {
      out.classes.reserve(*count);
      out.bindings.reserve(*count * out.width);
    }
    g.for_each_node_with_op(r.op, [&](ENodeId n) {
      if (g.arity(n) != r.arity) return;
      if (g.changed_in(n) < since) {
        ++out.known;
        return;
      }
      auto ch = g.children(n);
      out.classes.push_back(g.class_of(n));
      out.bindings.insert(out.bindings.end(), ch.begin(), ch.end());
    });
  } else if (flat_) {
    g.for_each_node_with_op(r.op, [&](ENodeId n) {
      if (g.arity(n) != r.arity) return;
      auto ch = g.children(n);
      std::fill(subst.begin(), subst.end(), kNoClass);
      for (uint32_t k = 0; k < r.arity; ++k) {
        ClassId& slot = subst[kid(r, k).var];
        if (slot == kNoClass) {
          slot = ch[k];
        } else if (slot != ch[k]) {
          return;
        }
      }
      if (g.changed_in(n) < since) {
        ++out.known;
        return;
      }
      out.classes.push_back(g.class_of(n));
      out.bindings.insert(out.bindings.end(), subst.begin(), subst.end());
    });
  } else {
    std::vector<Goal> goals;
    ClassId current = kNoClass;
    auto emit = [&] {
      out.classes.push_back(current);
      out.bindings.insert(out.bindings.end(), subst.begin(), subst.end());
    };
    g.for_each_node_with_op(r.op, [&](ENodeId n) {
      if (g.arity(n) != r.arity) return;
      current = g.class_of(n);
      std::fill(subst.begin(), subst.end(), kNoClass);
      goals.clear();
      auto ch = g.children(n);
      for (uint32_t k = 0; k < r.arity; ++k) goals.push_back({kids_[r.first_kid + k], ch[k]});
      match_goals(g, goals, 0, subst, emit);
    });
  }
  if (!repeats || out.size() < 2) return;
  const size_t w = out.width;
  std::vector<uint32_t> order(out.size());
  std::iota(order.begin(), order.end(), 0u);
  auto key_less = [&](uint32_t a, uint32_t b) {
    if (out.classes[a] != out.classes[b]) return out.classes[a] < out.classes[b];
    return std::lexicographical_compare(out.bindings.begin() + a * w, out.bindings.begin() + (a + 1) * w,
                                        out.bindings.begin() + b * w, out.bindings.begin() + (b + 1) * w);
  };
  auto key_eq = [&](uint32_t a, uint32_t b) { return !key_less(a, b) && !key_less(b, a); };
  std::sort(order.begin(), order.end(), key_less);
  order.erase(std::unique(order.begin(), order.end(), key_eq), order.end());
  Matches unique;
  unique.width = w;
  for (uint32_t k : order) {
    unique.classes.push_back(out.classes[k]);
    unique.bindings.insert(unique.bindings.end(), out.bindings.begin() + k * w,
                           out.bindings.begin() + (k + 1) * w);
  }
  out = std::move(unique);
}

ClassId Pattern::instantiate_term(EGraph& g, uint32_t t, std::span<const ClassId> subst) const {
  const Term& term = terms_[t];
  if (term.is_var) {
    const ClassId c = at(subst, term.var);
    if (c == kNoClass) panic("pattern variable ?" + vars_[term.var] + " is unbound");
    return c;
  }
  absl::InlinedVector<ClassId, 4> kids;
  for (uint32_t k = 0; k < term.arity; ++k) kids.push_back(instantiate_term(g, kids_[term.first_kid + k], subst));
  return g.add(term.op, kids);
}

void Pattern::prefetch_instantiate(const EGraph& g, std::span<const ClassId> subst) const {
  const Term& r = terms_[root_];
  if (!flat_ || r.arity > 2) return;
  ClassId kids[2] = {kNoClass, kNoClass};
  for (uint32_t k = 0; k < r.arity; ++k) kids[k] = subst[kid(r, k).var];
  g.prefetch(r.op, std::span<const ClassId>(kids, r.arity));
}

ClassId Pattern::instantiate(EGraph& g, std::span<const ClassId> subst) const {
  return instantiate_term(g, root_, subst);
}

}  // namespace velmora::egraph
