// Built-in functions and methods made from a declared signature.
//
// Every function of the SDK's modules is a vectorcall built-in whose
// arguments are parsed and checked here, by one set of rules and messages,
// before the C++ body runs. The body receives a `Call`: the checked
// arguments and the module, whose attributes it reads at call time.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velora_native/names.hpp"

namespace velora::native {

namespace py = pybind11;

// How an argument is checked and converted on entry.
enum class Kind : unsigned char {
  Any,      // taken as given
  Str,      // exactly a str
  OptStr,   // exactly a str, or None
  Int,      // an int; another number is converted (2.7 -> 2, True -> 1)
  OptInt,   // as Int, or None
  Bool,     // any value, by its truth value
  List,     // exactly a list
  OptList,  // exactly a list, or None
  Dict,     // exactly a dict
};

// A parameter's default, written as a literal so that it can be shown in
// the text signature.
struct Default {
  enum class Tag : unsigned char { Required, None, False, True, Integer, Text };
  Tag tag = Tag::Required;
  long long integer = 0;
  const char* text = nullptr;

  static constexpr Default required() { return {}; }
  static constexpr Default none() { return {Tag::None}; }
  static constexpr Default boolean(bool value) { return {value ? Tag::True : Tag::False}; }
  static constexpr Default number(long long value) { return {Tag::Integer, value}; }
  static constexpr Default string(const char* value) { return {Tag::Text, 0, value}; }
};

inline constexpr Default kRequired = Default::required();
inline constexpr Default kNone = Default::none();

struct Param {
  const char* name;
  Kind kind = Kind::Any;
  Default fallback = kRequired;
};

// A function's declared signature: name, parameters in order, docstring.
struct Signature {
  const char* name;
  std::initializer_list<Param> params;
  const char* doc = "";
};

inline constexpr std::size_t kMaxParams = 10;

// The checked arguments of one call and the module the function belongs to.
class Call {
 public:
  Call(py::handle module, const std::array<PyObject*, kMaxParams>& args) : module_(module), args_(args) {}

  py::handle operator[](std::size_t index) const { return args_[index]; }
  py::handle module() const { return module_; }

  // A module attribute, read now (so that a patched or reassigned name is seen).
  template <Literal L>
  py::object global() const {
    return lookup_global(interned<L>());
  }

  // The text of a checked str argument.
  std::string_view text(std::size_t index) const;

  // A checked Bool argument.
  bool flag(std::size_t index) const { return args_[index] == Py_True; }

 private:
  py::object lookup_global(PyObject* name) const;

  py::handle module_;
  const std::array<PyObject*, kMaxParams>& args_;  // borrowed for the call
};

using Body = py::object (*)(const Call&);

namespace detail {

struct CompiledParam {
  PyObject* name;      // interned
  const char* c_name;  // for messages
  Kind kind;
  PyObject* fallback;  // nullptr when required; a constant kept for the process
};

struct CompiledSignature {
  std::string name;
  std::string doc;  // text signature line, "--", then the docstring
  std::vector<CompiledParam> params;
  std::size_t required = 0;
};

CompiledSignature compile(const Signature& signature);

// Parses, checks, runs `body` and turns C++ exceptions into Python errors.
PyObject* invoke(const CompiledSignature& signature, Body body, PyObject* module, PyObject* const* args,
                 Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// One static entry per body: the C entry point CPython calls, its method
// definition and the compiled signature it checks against.
template <Body F>
struct Binding {
  static inline std::optional<CompiledSignature> signature;
  static inline PyMethodDef definition{};

  static PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return invoke(*signature, F, module, args, nargsf, kwnames);
  }

  static PyMethodDef* define(const Signature& declared) {
    if (!signature) {
      signature = compile(declared);
      definition.ml_name = signature->name.c_str();
      definition.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry));
      definition.ml_flags = METH_FASTCALL | METH_KEYWORDS;
      definition.ml_doc = signature->doc.c_str();
    }
    return &definition;
  }
};

py::object make_builtin(PyMethodDef* definition, py::handle module);

// Owns a new reference from the C API, or throws the error it set.
py::object steal_or_throw(PyObject* created);

}  // namespace detail

// A built-in function bound to `module`.
template <Body F>
py::object function(py::handle module, const Signature& signature) {
  return detail::make_builtin(detail::Binding<F>::define(signature), module);
}

// The same, wrapped to behave in a class as an instance method (the first
// parameter receives the instance), a class method or a static method.
template <Body F>
py::object instance_method(py::handle module, const Signature& signature) {
  return detail::steal_or_throw(PyInstanceMethod_New(function<F>(module, signature).ptr()));
}

template <Body F>
py::object class_method(py::handle module, const Signature& signature) {
  return detail::steal_or_throw(PyClassMethod_New(function<F>(module, signature).ptr()));
}

template <Body F>
py::object static_method(py::handle module, const Signature& signature) {
  return detail::steal_or_throw(PyStaticMethod_New(function<F>(module, signature).ptr()));
}

// abc.abstractmethod for a built-in. A built-in takes no attributes, so the
// mark goes on a functools.partial forwarding to it, which also carries its
// name, docstring and signature (through __wrapped__).
py::object mark_abstract(const py::object& builtin);

template <Body F>
py::object abstract_instance_method(py::handle module, const Signature& signature) {
  return detail::steal_or_throw(PyInstanceMethod_New(mark_abstract(function<F>(module, signature)).ptr()));
}

template <Body F>
py::object abstract_class_method(py::handle module, const Signature& signature) {
  return detail::steal_or_throw(PyClassMethod_New(mark_abstract(function<F>(module, signature)).ptr()));
}

// Binds a function as a module attribute.
template <Body F>
void def(py::module_& module, const Signature& signature) {
  module.attr(signature.name) = function<F>(module, signature);
}

}  // namespace velora::native
