// The methods of the module's classes, each described once. A class lists
// its methods in one table (its constructor first, then its methods in
// method-table order); from each entry the build makes the binder's
// signature, the text signature heading the docstring, the method-table row
// and the entry the interpreter calls, so none of them can drift from another.
//
// Every entry the interpreter calls does the same four things: keep C++
// exceptions on this side (`guarded`), bind the arguments, give the body the
// module's state on demand, and run the body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/module.h"
#include "node/node.h"

namespace velmora {
class GraphStore;
}  // namespace velmora

namespace velmora::py {

// What a method body gets: its receiver, its bound arguments and the module.
class Call {
 public:
  // `self` is the instance, or the class for a constructor or static method.
  Call(PyObject* self, PyTypeObject* owner) : self_(self), owner_(owner) {}

  [[nodiscard]] PyObject* self() const { return self_; }
  [[nodiscard]] PyTypeObject* owner() const { return owner_; }
  // The argument bound to parameter i (borrowed), or nullptr when omitted.
  PyObject* operator[](int i) const { return args_[i]; }
  // The module's state, looked up once; nullptr with an error set.
  ModuleState* state() {
    if (state_ == nullptr) state_ = state_of(owner_);
    return state_;
  }

  BoundArgs& args() { return args_; }

 private:
  PyObject* self_;
  PyTypeObject* owner_;
  ModuleState* state_ = nullptr;
  BoundArgs args_;
};

struct Method {
  // kClass: the constructor, whose docstring is the class's.
  enum class Binding : uint8_t { kClass, kMethod, kStatic };
  const char* name;
  Binding binding = Binding::kMethod;
  std::array<Param, BoundArgs::kMax> params{};  // up to the first without a name
  PyObject* (*body)(Call&) = nullptr;
  const char* doc = nullptr;  // the docstring's body; nullptr for none

  [[nodiscard]] constexpr int count() const {
    int n = 0;
    while (n < BoundArgs::kMax && params[n].name != nullptr) ++n;
    return n;
  }
  [[nodiscard]] constexpr int positional() const {
    int n = 0;
    while (n < count() && params[n].kind == Param::Kind::kEither) ++n;
    return n;
  }
  // The parameters have no gap, the positional ones come first, and none is
  // required after one that has a default (the interpreter's own rules for a
  // signature); there is a body to run.
  [[nodiscard]] constexpr bool well_formed() const {
    if (body == nullptr) return false;
    for (int i = count(); i < BoundArgs::kMax; ++i) {
      if (params[i].name != nullptr) return false;
    }
    for (int i = positional(); i < count(); ++i) {
      if (params[i].kind != Param::Kind::kKeywordOnly) return false;
    }
    for (int i = 1; i < positional(); ++i) {
      if (params[i - 1].fallback != nullptr && params[i].fallback == nullptr) return false;
    }
    return true;
  }
};

namespace detail {

// Writes the texts one after another into `out` (when given); returns the
// length written.
class TextWriter {
 public:
  constexpr explicit TextWriter(char* out) : out_(out) {}
  constexpr TextWriter& operator<<(const char* s) {
    for (; *s != '\0'; ++s, ++n_) {
      if (out_ != nullptr) out_[n_] = *s;
    }
    return *this;
  }
  [[nodiscard]] constexpr std::size_t size() const { return n_; }

 private:
  char* out_;
  std::size_t n_ = 0;
};

// The docstring in the interpreter's convention: "name(params)\n--\n\n" and
// the body, so that __text_signature__ and __doc__ read the two apart.
constexpr std::size_t write_doc(const Method& m, char* out) {
  TextWriter w(out);
  w << m.name << "(";
  const char* sep = "";
  if (m.binding == Method::Binding::kMethod) {
    w << "$self";
    sep = ", ";
  }
  for (int i = 0; i < m.count(); ++i) {
    w << sep;
    if (i == m.positional()) w << "*, ";
    w << m.params[i].name;
    if (m.params[i].fallback != nullptr) w << "=" << m.params[i].fallback;
    sep = ", ";
  }
  w << ")\n--\n\n";
  if (m.doc != nullptr) w << m.doc;
  return w.size();
}

// The name binding messages use: the class's, then ".method" for a method.
constexpr std::size_t write_function(const Method& cls, const Method& m, char* out) {
  TextWriter w(out);
  w << cls.name;
  if (&m != &cls) w << "." << m.name;
  return w.size();
}

template <std::size_t N, typename Write>
constexpr std::array<char, N + 1> text_of(Write write) {
  std::array<char, N + 1> text{};
  write(text.data());
  return text;
}

}  // namespace detail

// The docstring of a method.
template <const Method& M>
inline constexpr auto kDocOf = detail::text_of<detail::write_doc(M, nullptr)>(
    [](char* out) { detail::write_doc(M, out); });

// Replaces the static method `def` names in the class dict by a function of
// `def` bound to the class, keeping the method's place in the dict.
int bind_to(PyTypeObject* type, PyMethodDef* def);

// Entry I of `Table`, made ready for the interpreter.
template <const auto& Table, std::size_t I>
struct Made {
  static constexpr const Method& method = Table[I];
  static_assert(method.well_formed());
  static_assert((I == 0) == (method.binding == Method::Binding::kClass),
                "a table starts with its class's constructor, and has only that one");

  static constexpr const auto& doc = kDocOf<Table[I]>;
  static constexpr auto function =
      detail::text_of<detail::write_function(Table[0], method, nullptr)>(
          [](char* out) { detail::write_function(Table[0], method, out); });
  static constexpr Signature signature{function.data(), method.params.data(), method.count(),
                                       method.positional()};

  static PyObject* run(PyObject* self, PyTypeObject* owner, auto&&... args) {
    return guarded(owner, [&]() -> PyObject* {
      Call call(self, owner);
      if constexpr (sizeof...(args) != 0) {
        if (!call.args().bind(signature, args...)) return nullptr;
      }
      return method.body(call);
    });
  }

  // The entries, by calling convention.
  static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    // A static method's receiver is its class (see bind_static_methods).
    PyTypeObject* owner = method.binding == Method::Binding::kStatic
                              ? reinterpret_cast<PyTypeObject*>(self)
                              : Py_TYPE(self);
    return run(self, owner, args, nargs, kw);
  }
  static PyObject* no_args(PyObject* self, PyObject*) { return run(self, Py_TYPE(self)); }
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run(reinterpret_cast<PyObject*>(type), type, args, kwargs);
  }

  static PyMethodDef def() {
    if constexpr (method.count() == 0) {
      static_assert(method.binding == Method::Binding::kMethod);
      return {method.name, no_args, METH_NOARGS, doc.data()};
    } else {
      const int flags = METH_FASTCALL | METH_KEYWORDS |
                        (method.binding == Method::Binding::kStatic ? METH_STATIC : 0);
      return {method.name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast)), flags,
              doc.data()};
    }
  }
};

// The class slots a table gives: docstring, constructor and method table.
template <const auto& Table>
class ClassMethods {
 public:
  static constexpr std::size_t kCount = std::size(Table);

  static char* doc() { return const_cast<char*>(Made<Table, 0>::doc.data()); }
  static void* construct() { return reinterpret_cast<void*>(Made<Table, 0>::construct); }
  static PyMethodDef* defs() { return defs_.data(); }

  // The interpreter hides the receiver of a function flagged METH_STATIC, so
  // each static method is put in the class dict again, as a function of the
  // same entry without that flag, bound to the class.
  static int bind_static_methods(PyTypeObject* type) {
    for (std::size_t i = 0; i < kCount; ++i) {
      if ((defs_[i].ml_flags & METH_STATIC) != 0 && bind_to(type, &bound_[i]) < 0) return -1;
    }
    return 0;
  }

 private:
  template <std::size_t... I>
  static std::array<PyMethodDef, kCount> make(std::index_sequence<I...>) {
    return {Made<Table, I + 1>::def()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
  }

  // Made anew, not copied from defs_: the two are initialised in no set order.
  static std::array<PyMethodDef, kCount> unflagged() {
    std::array<PyMethodDef, kCount> defs = make(std::make_index_sequence<kCount - 1>());
    for (PyMethodDef& def : defs) def.ml_flags &= ~METH_STATIC;
    return defs;
  }

  static inline std::array<PyMethodDef, kCount> defs_ =
      make(std::make_index_sequence<kCount - 1>());
  static inline std::array<PyMethodDef, kCount> bound_ = unflagged();
};

// `outs` when given, each id checked against the store's count before anything
// is touched; otherwise the store's marks. Empty with ValueError set for an id
// the store does not hold.
std::optional<std::vector<NodeId>> chosen_outputs(const GraphStore& store,
                                                  std::optional<Inputs>&& outs);

}  // namespace velmora::py
