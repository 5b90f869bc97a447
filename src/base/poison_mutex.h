// PoisonMutex: a mutex that is poisoned for good when an exception leaves a
// section that holds it, so state that may be half-updated is never seen again.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
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
// out of the scope by an exception poisons it.
class PoisonGuard {
 public:
  explicit PoisonGuard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
    m_.mutex_.lock();
    if (m_.poisoned()) {
      m_.mutex_.unlock();
      panic(m_.message_);
    }
  }
  ~PoisonGuard() {
    if (std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true, std::memory_order_release);
    m_.mutex_.unlock();
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;

 private:
  PoisonMutex& m_;
  int exceptions_;
};

}  // namespace velmora
