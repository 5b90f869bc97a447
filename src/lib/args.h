// Binding call arguments to a fixed signature, for both calling conventions
// the module meets: vectorcall (methods) and tuple + dict (tp_new).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include "lib/plumbing.h"

namespace velmora::py {

// One parameter of a method as its text signature shows it.
struct Param {
  enum class Kind : uint8_t { kEither, kKeywordOnly };  // kEither: by position or by keyword
  const char* name = nullptr;
  Kind kind = Kind::kEither;
  const char* fallback = nullptr;  // the default as written, e.g. "None"; nullptr: required
};
constexpr Param arg(const char* name) { return {name, Param::Kind::kEither, nullptr}; }
constexpr Param arg(const char* name, const char* fallback) {
  return {name, Param::Kind::kEither, fallback};
}
constexpr Param kwarg(const char* name) { return {name, Param::Kind::kKeywordOnly, nullptr}; }
constexpr Param kwarg(const char* name, const char* fallback) {
  return {name, Param::Kind::kKeywordOnly, fallback};
}

// What binding needs of a method: the name its messages use (e.g.
// "GraphStore.add_op") and its parameters, the positional ones first.
struct Signature {
  const char* function;
  const Param* params;
  int count;
  int positional;
};

class BoundArgs {
 public:
  static constexpr int kMax = 6;

  // false with TypeError set when the call does not fit the signature.
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The usual call: every parameter given, by position.
    if (kwnames == nullptr && nargs == sig.count && sig.count == sig.positional) {
      for (int i = 0; i < sig.count; ++i) slots_[i] = args[i];
      return true;
    }
    return bind_any(sig, args, nargs, kwnames);
  }
  bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);

  // The argument bound to parameter i (borrowed), or nullptr when omitted.
  PyObject* operator[](int i) const { return slots_[i]; }

 private:
  bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);
  bool take_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs);
  bool place(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs);
  bool check_required(const Signature& sig);

  std::array<PyObject*, kMax> slots_{};
  std::vector<Ref> held_;  // keeps keyword values read from a dict alive
};

}  // namespace velmora::py
