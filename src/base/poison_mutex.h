// PoisonMutex: a mutex that is poisoned for good when an exception leaves a
// section that holds it, so state that may be half-updated is never seen again.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/panic.h"

namespace velmora {

class PoisonMutex {
 public:
  // `message` is the start of the panic text every use after poisoning raises.
  explicit PoisonMutex(std::string message) : message_(std::move(message)) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  [[nodiscard]] bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  friend class PoisonGuard;
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  std::string message_;
};

// Holds a PoisonMutex for one scope. Locking a poisoned mutex panics; unwinding
// out of a writer's scope by an exception poisons it. A reader's scope never
// poisons: it changes nothing, so nothing can be left half-done. A kSteps
// writer is one whose every statement that can throw runs inside
// `sparing_allocation_failures`, which then poisons on any failure other than
// an allocation's; its scope needs no count of exceptions in flight, which
// costs two runtime calls a lock on the hottest paths. A kStepsUnlocked
// writer is a kSteps one whose caller keeps every other thread away from
// what the mutex guards by other means: it poisons alike, but leaves the
// lock alone, which it would always find free.
class PoisonGuard {
 public:
  enum Mode { kWriter, kReader, kSteps, kStepsUnlocked };

  explicit PoisonGuard(PoisonMutex& m, Mode mode = kWriter)
      : m_(m),
        steps_(mode == kSteps || mode == kStepsUnlocked),
        locks_(mode != kStepsUnlocked),
        exceptions_(mode == kWriter ? std::uncaught_exceptions() : -1) {
    if (locks_) m_.mutex_.lock();
    if (m_.poisoned()) {
      if (locks_) m_.mutex_.unlock();
      panic(m_.message_);
    }
  }
  ~PoisonGuard() {
    if (exceptions_ >= 0 && std::uncaught_exceptions() > exceptions_) poison();
    if (locks_) m_.mutex_.unlock();
  }

  // Runs `f`, a step that either completes or changes nothing; an allocation
  // failure in it leaves the mutex unpoisoned on its way out.
  template <typename F>
  decltype(auto) sparing_allocation_failures(F&& f) {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      exceptions_ = -1;
      throw;
    } catch (const std::length_error&) {
      exceptions_ = -1;
      throw;
    } catch (...) {
      if (steps_) poison();
      throw;
    }
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;

 private:
  void poison() { m_.poisoned_.store(true, std::memory_order_release); }

  PoisonMutex& m_;
  bool steps_;
  bool locks_;
  int exceptions_;
};

}  // namespace velmora
