// Patterns: terms over symbols and variables, written as s-expressions, e.g.
// "(add ?a ?b)", "(mul ?a 1.0)" or "?x".
//
// An atom is any run of characters other than white space and parentheses; it
// names a symbol by its whole text, so "add" never matches "add_x" and "1.0"
// matches only the symbol "1.0". An atom that starts with "?" (and has more
// after it) is a variable. A list's head must be an atom that is not a
// variable; "(f)" and "f" both mean f with no children. A term matches an
// e-node only with exactly its number of children. Variables bind classes and
// are numbered in order of first occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/symbol.h"

namespace velmora::egraph {

struct PatternError {
  std::string message;
  size_t offset = 0;  // byte offset into the pattern text
  friend bool operator==(const PatternError&, const PatternError&) = default;
};

// The matches of one search: match k is the class `classes[k]` and the
// bindings `subst(k)` (one class per pattern variable).
struct Matches {
  size_t width = 0;
  std::vector<ClassId> classes;
  std::vector<ClassId> bindings;
  // Matches found but left out, because a search from epoch `since` saw them
  // already (see `Pattern::search`).
  size_t known = 0;

  [[nodiscard]] size_t size() const { return classes.size(); }
  [[nodiscard]] std::span<const ClassId> subst(size_t k) const {
    return {bindings.data() + k * width, width};
  }
};

class Pattern {
 public:
  static Result<Pattern, PatternError> parse(std::string_view text);
  // Parses a pattern that may use only the variables of `scope` (the left side
  // of a rule), with the numbering they have there.
  static Result<Pattern, PatternError> parse_in(std::string_view text, const Pattern& scope);

  // The pattern written back as an s-expression with single spaces.
  [[nodiscard]] std::string to_string() const;

  // The number of matches `search` would find, when the e-graph knows it
  // without a search.
  [[nodiscard]] std::optional<size_t> quick_count(const EGraph& g) const;
  // Every (class, bindings) that matches, each once. The e-graph must be clean.
  // Given `since`, a pattern whose root has only variables as children leaves
  // out (and counts in `out.known`) the matches at e-nodes unchanged since
  // epoch `since`: when every match of a search was applied, applying those
  // again only finds what is already there.
  void search(const EGraph& g, Matches& out, uint32_t since = 0) const;
  // Prefetches what `instantiate(g, subst)` will look up first.
  void prefetch_instantiate(const EGraph& g, std::span<const ClassId> subst) const;
  // Adds the pattern with its variables replaced by `subst`; returns its class.
  ClassId instantiate(EGraph& g, std::span<const ClassId> subst) const;

 private:
  struct Term {
    bool is_var = false;
    uint32_t var = 0;
    Symbol op;
    uint32_t first_kid = 0;  // into kids_
    uint32_t arity = 0;
  };
  class Parser;
  struct Goal {
    uint32_t term;
    ClassId cls;
  };

  [[nodiscard]] const Term& kid(const Term& t, uint32_t k) const { return terms_[kids_[t.first_kid + k]]; }
  void analyse();
  template <typename Emit>
  void match_goals(const EGraph& g, std::vector<Goal>& goals, size_t i, std::vector<ClassId>& subst,
                   Emit& emit) const;
  ClassId instantiate_term(EGraph& g, uint32_t t, std::span<const ClassId> subst) const;
  void write(std::string& out, uint32_t t) const;

  std::vector<Term> terms_;
  std::vector<uint32_t> kids_;
  uint32_t root_ = 0;
  std::vector<std::string> vars_;
  // Shape of the root, for the fast paths of search.
  bool flat_ = false;  // the root's children are all variables
  bool identity_flat_ = false;  // ... and child k is variable k, all distinct
};

}  // namespace velmora::egraph
