// The plumbing every conversion shares: owned references, a dict reader that
// notices changes made meanwhile, and the raising of the module's usual
// errors. Each function that raises returns nullptr with the exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>

#include "absl/container/inlined_vector.h"

namespace velmora {
struct BadNodeId;
}  // namespace velmora

namespace velmora::py {

// The one owner of a strong reference.
class Ref {
 public:
  Ref() = default;
  // Takes over `p` (a new reference, or nullptr).
  explicit Ref(PyObject* p) : p_(p) {}
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }
  Ref(Ref&& o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Reads a dict's own items in order, one strong (key, value) pair per advance.
// Each advance first checks that the dict kept its size and its keys, so a
// dict changed by a conversion hook between advances stops with RuntimeError.
// The keys are taken when reading starts: a hook that removes one key and adds
// another keeps the size, and only the key met in its place tells.
class DictReader {
 public:
  explicit DictReader(PyObject* dict);
  // false at the end, or with an exception set (then `failed()` is true).
  bool next(Ref& key, Ref& value);
  [[nodiscard]] bool failed() const { return failed_; }

 private:
  bool keys_changed();

  PyObject* dict_;
  Py_ssize_t pos_ = 0;
  absl::InlinedVector<Ref, 4> keys_;  // the keys at the start, in order
  std::size_t read_ = 0;             // how many of them were met so far
  bool failed_ = false;
};

// Turns a pending TypeError into one that names the argument; other errors
// stay as they are.
void name_argument(const char* arg);

// ValueError "no node with id <id>"; returns nullptr.
PyObject* map_err(const BadNodeId& e);
// ValueError with `message`; returns nullptr.
PyObject* value_error(const std::string& message);

}  // namespace velmora::py
