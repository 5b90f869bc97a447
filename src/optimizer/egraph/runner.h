// The saturation runner: applies a rule list to an e-graph in iterations until
// nothing changes or a limit is reached, with a back-off scheduler that rests
// rules whose matches explode.
//
// One iteration: check the limits (iterations finished, e-nodes, time since
// the run began); search every rule that is not banned against the e-graph as
// it stands; let the scheduler keep or discard each rule's matches; apply the
// kept ones; rebuild once. An iteration that changed nothing (no merge joined
// two classes and the class and e-node counts are unchanged) saturates the run,
// unless rules are banned: then every ban is moved earlier by the amount that
// makes the earliest one end now, and the run goes on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/rewrite.h"

namespace velmora::egraph {

enum class StopReason { kSaturated, kIterationLimit, kNodeLimit, kTimeLimit };
[[nodiscard]] std::string_view to_string(StopReason r);

struct RunLimits {
  uint64_t iter_limit = 30;
  size_t node_limit = 10'000;
  std::chrono::nanoseconds time_limit = std::chrono::seconds(5);
};

struct BackoffConfig {
  size_t match_limit = 1000;
  size_t ban_length = 5;
};

// Back-off per rule: a rule whose matches in an iteration exceed
// match_limit << times_banned loses them and is banned until iteration
// i + (ban_length << times_banned); times_banned then grows by one.
class BackoffScheduler {
 public:
  BackoffScheduler(size_t rules, BackoffConfig config);

  [[nodiscard]] bool banned(size_t rule, uint64_t iteration) const;
  // Whether `matches` matches of `rule` in `iteration` may be applied; bans
  // the rule when not.
  bool admit(size_t rule, uint64_t iteration, size_t matches);
  // Whether any rule is banned at `iteration` (was not searched or lost its
  // matches in it).
  [[nodiscard]] bool any_banned(uint64_t iteration) const;
  // Moves every ban earlier so that the earliest one ends at `iteration`.
  void fast_forward(uint64_t iteration);

  // The most matches `rule` may have now without being banned.
  [[nodiscard]] uint64_t match_limit(size_t rule) const;

 private:
  struct RuleState {
    uint64_t times_banned = 0;
    uint64_t banned_until = 0;  // banned in iterations i < banned_until
  };
  BackoffConfig config_;
  std::vector<RuleState> rules_;
};

struct RuleIteration {
  bool searched = false;  // false while banned
  size_t matches = 0;  // found by the search
  bool banned = false;  // the matches were discarded and the rule banned
  size_t merged = 0;  // merges that joined two different classes
};

struct Iteration {
  uint64_t index = 0;
  size_t nodes = 0;  // e-nodes at the start
  size_t classes = 0;  // classes at the start
  std::vector<RuleIteration> rules;
  bool fast_forward = false;  // nothing changed but bans were moved earlier
};

struct RunReport {
  StopReason stop = StopReason::kSaturated;
  std::vector<Iteration> iterations;
  size_t nodes = 0;  // at the end
  size_t classes = 0;
};

class Runner {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit Runner(RunLimits limits, BackoffConfig backoff = {}, Clock clock = {});

  RunReport run(EGraph& g, std::span<const Rewrite> rules) const;

 private:
  RunLimits limits_;
  BackoffConfig backoff_;
  Clock clock_;
};

}  // namespace velmora::egraph
