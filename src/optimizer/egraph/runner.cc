#include "optimizer/egraph/runner.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace velmora::egraph {

std::string_view to_string(StopReason r) {
  switch (r) {
    case StopReason::kSaturated:
      return "saturated";
    case StopReason::kIterationLimit:
      return "iteration limit";
    case StopReason::kNodeLimit:
      return "node limit";
    case StopReason::kTimeLimit:
      return "time limit";
  }
  return "unknown";
}

BackoffScheduler::BackoffScheduler(size_t rules, BackoffConfig config) : config_(config), rules_(rules) {}

namespace {
// x << n without losing bits: saturates instead of wrapping.
uint64_t shifted(uint64_t x, uint64_t n) {
  if (x == 0) return 0;
  if (n >= 64 || x > (std::numeric_limits<uint64_t>::max() >> n)) return std::numeric_limits<uint64_t>::max();
  return x << n;
}
}  // namespace

bool BackoffScheduler::banned(size_t rule, uint64_t iteration) const {
  return iteration < rules_[rule].banned_until;
}

uint64_t BackoffScheduler::match_limit(size_t rule) const {
  return shifted(config_.match_limit, rules_[rule].times_banned);
}

bool BackoffScheduler::admit(size_t rule, uint64_t iteration, size_t matches) {
  RuleState& s = rules_[rule];
  if (matches <= match_limit(rule)) return true;
  const uint64_t length = shifted(config_.ban_length, s.times_banned);
  s.banned_until = length > std::numeric_limits<uint64_t>::max() - iteration
                       ? std::numeric_limits<uint64_t>::max()
                       : iteration + length;
  ++s.times_banned;
  return false;
}

bool BackoffScheduler::any_banned(uint64_t iteration) const {
  return std::any_of(rules_.begin(), rules_.end(),
                     [&](const RuleState& s) { return iteration < s.banned_until; });
}

void BackoffScheduler::fast_forward(uint64_t iteration) {
  uint64_t earliest = std::numeric_limits<uint64_t>::max();
  for (const RuleState& s : rules_) {
    if (iteration < s.banned_until) earliest = std::min(earliest, s.banned_until);
  }
  if (earliest == std::numeric_limits<uint64_t>::max()) return;  // nothing banned
  const uint64_t delta = earliest - iteration;
  for (RuleState& s : rules_) {
    if (iteration < s.banned_until) s.banned_until -= delta;
  }
}

Runner::Runner(RunLimits limits, BackoffConfig backoff, Clock clock)
    : limits_(limits), backoff_(backoff), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

RunReport Runner::run(EGraph& g, std::span<const Rewrite> rules) const {
  RunReport report;
  BackoffScheduler scheduler(rules.size(), backoff_);
  std::vector<Matches> matches(rules.size());
  // Per rule, the epoch of its last search whose matches were all applied;
  // its next search need not hand back the ones still unchanged.
  std::vector<uint32_t> applied_since(rules.size(), 0);
  g.rebuild();
  const auto start = clock_();
  for (uint64_t i = 0;; ++i) {
    if (i >= limits_.iter_limit) {
      report.stop = StopReason::kIterationLimit;
      break;
    }
    if (g.num_nodes() > limits_.node_limit) {
      report.stop = StopReason::kNodeLimit;
      break;
    }
    if (clock_() - start > limits_.time_limit) {
      report.stop = StopReason::kTimeLimit;
      break;
    }
    Iteration& it = report.iterations.emplace_back();
    it.index = i;
    it.nodes = g.num_nodes();
    it.classes = g.num_classes();
    it.rules.resize(rules.size());
    const uint32_t epoch = g.begin_epoch();
    for (size_t r = 0; r < rules.size(); ++r) {
      matches[r].classes.clear();
      matches[r].bindings.clear();
      matches[r].known = 0;
      if (scheduler.banned(r, i)) continue;
      it.rules[r].searched = true;
      // When the count alone is known and already too many, the matches would
      // only be discarded: skip collecting them.
      if (auto count = rules[r].lhs().quick_count(g); count && *count > scheduler.match_limit(r)) {
        it.rules[r].matches = *count;
        it.rules[r].banned = true;
        scheduler.admit(r, i, *count);
        continue;
      }
      rules[r].search(g, matches[r], applied_since[r]);
      // The scheduler counts every match, known ones included.
      const size_t found = matches[r].size() + matches[r].known;
      it.rules[r].matches = found;
      if (!scheduler.admit(r, i, found)) {
        it.rules[r].banned = true;
        matches[r].classes.clear();
        matches[r].bindings.clear();
      } else {
        applied_since[r] = epoch;  // all of them are applied below
      }
    }
    size_t merged = 0;
    for (size_t r = 0; r < rules.size(); ++r) {
      it.rules[r].merged = rules[r].apply(g, matches[r]);
      merged += it.rules[r].merged;
    }
    g.rebuild();
    if (merged == 0 && g.num_nodes() == it.nodes && g.num_classes() == it.classes) {
      if (!scheduler.any_banned(i)) {
        report.stop = StopReason::kSaturated;
        break;
      }
      scheduler.fast_forward(i);
      it.fast_forward = true;
    }
  }
  report.nodes = g.num_nodes();
  report.classes = g.num_classes();
  return report;
}

}  // namespace velmora::egraph
