// Panic: the one exception type for a broken internal invariant. Callers never
// catch it to recover; the Python boundary turns it into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

// Checked index into a working list: an index past the end is an invariant
// failure, never undefined behaviour.
template <typename Container>
decltype(auto) at(Container& c, std::size_t i) {
  if (i >= c.size()) {
    panic("index out of bounds: the len is " + std::to_string(c.size()) + " but the index is " +
          std::to_string(i));
  }
  return c[i];
}

}  // namespace velmora
