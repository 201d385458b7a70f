// Built-in functions and methods made from a declared signature.
//
// Every function of the SDK's modules is a vectorcall built-in whose
// arguments are parsed and checked here, by one set of rules and messages,
// before the C++ body runs. A body is declared beside its signature and
// reads its arguments by name:
//
//   constexpr native::Signature kGreet{"greet", {{"name", Kind::Str}}, "Say hello."};
//   py::object greet(const native::Call<kGreet>& call) { return call.global<"hello">()(call.arg<"name">()); }
//
// A name the signature does not declare fails to compile. The module
// attributes bodies read with global<"..."> are checked when the module is
// imported (see VELORA_MODULE).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velora_native/objects.hpp"

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
  enum class Tag : unsigned char { Required, None, False, Integer };
  Tag tag = Tag::Required;
  long long integer = 0;

  static constexpr Default number(long long value) { return {Tag::Integer, value}; }
};

inline constexpr Default kRequired{};
inline constexpr Default kNone{Default::Tag::None};
inline constexpr Default kFalse{Default::Tag::False};

// The constant a declared default stands for, as a new reference (null for kRequired).
PyObject* default_object(const Default& fallback);

struct Param {
  const char* name = nullptr;
  Kind kind = Kind::Any;
  Default fallback = kRequired;
};

inline constexpr std::size_t kMaxParams = 10;

// A docstring: its summary, then, when given, the Args, Returns and Raises
// sections laid out as every docstring of the SDK is: each under its heading
// after a blank line, every line of it indented by four spaces. A plain
// text is a summary alone.
struct Doc {
  const char* summary = "";
  const char* args = nullptr;
  const char* returns = nullptr;
  const char* raises = nullptr;
};

// A function's declared signature: name, parameters in order, docstring.
// Declared constexpr beside the body that takes a Call of it.
struct Signature {
  const char* name;
  Param params[kMaxParams] = {};
  Doc doc;

  constexpr std::size_t size() const {
    std::size_t count = 0;
    while (count < kMaxParams && params[count].name != nullptr) ++count;
    return count;
  }
};

namespace detail {

// The position of the parameter called `name`, or kMaxParams.
constexpr std::size_t position(const Signature& signature, const char* name) {
  for (std::size_t i = 0; i < signature.size(); ++i) {
    if (std::string_view(signature.params[i].name) == name) return i;
  }
  return kMaxParams;
}

// Whether a body declared with `own` may run under `bound`: the parameters
// it reads come first there, with the same names and checks.
constexpr bool begins_with(const Signature& bound, const Signature& own) {
  if (own.size() > bound.size()) return false;
  for (std::size_t i = 0; i < own.size(); ++i) {
    if (std::string_view(bound.params[i].name) != own.params[i].name || bound.params[i].kind != own.params[i].kind) {
      return false;
    }
  }
  return true;
}

// Each name a body reads with global<>, noted when the module's library
// loads. (Constant-initialised, so it exists before any note; every module
// has its own, as the layer is linked into each with hidden visibility.)
inline std::vector<const char*> globals_read;

template <Literal L>
struct GlobalRead {
  static inline const bool noted = [] {
    globals_read.push_back(L.text);
    return true;
  }();
};

}  // namespace detail

// The module a running function belongs to, whose attributes it reads at call time.
class Frame {
 public:
  Frame(py::handle module, PyObject* const* args) : module_(module), args_(args) {}

  // A module attribute, read now (so that a patched or reassigned name is seen).
  template <Literal L>
  py::object global() const {
    static_cast<void>(&detail::GlobalRead<L>::noted);
    return lookup_global(interned<L>());
  }

 protected:
  py::object lookup_global(PyObject* name) const;

  py::handle module_;
  PyObject* const* args_;  // the checked arguments, borrowed for the call
};

// The checked arguments of one call, read by the names `S` declares.
template <const Signature& S>
class Call : public Frame {
 public:
  using Frame::Frame;

  template <Literal L>
  py::handle arg() const {
    return args_[index<L>()];
  }

  // A Bool argument.
  template <Literal L>
  bool flag() const {
    static_assert(S.params[index<L>()].kind == Kind::Bool, "flag<> reads a Bool parameter");
    return arg<L>().ptr() == Py_True;
  }

 private:
  template <Literal L>
  static constexpr std::size_t index() {
    constexpr std::size_t found = detail::position(S, L.text);
    static_assert(found < kMaxParams, "the signature declares no parameter of this name");
    return found;
  }
};

namespace detail {

// The signature a body py::object f(const Call<S>&) is declared with.
template <const Signature& S>
constexpr const Signature* declared_signature(py::object (*)(const Call<S>&)) {
  return &S;
}

// The check of a Kind (see function.cpp).
struct KindRule {
  PyTypeObject* type;
  Kind kind;
  bool allows_none;
};

struct CompiledParam {
  PyObject* name;      // interned
  const char* c_name;  // for messages
  KindRule rule;
  PyObject* fallback;  // nullptr when required; a constant kept for the process
};

struct CompiledSignature {
  std::string name;
  std::string doc;  // text signature line, "--", then the docstring
  std::vector<CompiledParam> params;
  std::size_t required = 0;
};

CompiledSignature compile(const Signature& signature);

// Runs a body on the checked arguments.
using Runner = py::object (*)(py::handle module, PyObject* const* args);

// Parses, checks, runs the body and turns C++ exceptions into Python errors.
PyObject* invoke(const CompiledSignature& signature, Runner run, PyObject* module, PyObject* const* args,
                 Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// One static entry per body and signature: the C entry point CPython calls,
// its method definition and the compiled signature it checks against.
template <auto F, const Signature& S>
struct Binding {
  static_assert(begins_with(S, *declared_signature(F)), "a body runs only under a signature that begins with its own");

  static inline std::optional<CompiledSignature> signature;
  static inline PyMethodDef definition{};

  static py::object run(py::handle module, PyObject* const* args) {
    return F(Call<*declared_signature(F)>(module, args));
  }

  static PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return invoke(*signature, &run, module, args, nargsf, kwnames);
  }

  static PyMethodDef* define() {
    if (!signature) {
      signature = compile(S);
      definition = {signature->name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry)),
                    METH_FASTCALL | METH_KEYWORDS, signature->doc.c_str()};
    }
    return &definition;
  }
};

py::object make_builtin(PyMethodDef* definition, py::handle module);

// A built-in wrapped for a class (see method). abc.abstractmethod cannot
// mark a built-in, which takes no attributes, so the mark goes on a
// functools.partial forwarding to it, which also carries its name,
// docstring and signature (through __wrapped__).
py::object wrapped(py::object builtin, PyObject* (*wrap)(PyObject*), bool abstract);

}  // namespace detail

// The signature a body is declared with (a pointer, as GCC takes it in default template arguments).
template <auto F>
inline constexpr const Signature* signature_of = detail::declared_signature(F);

// A built-in function bound to `module`, under the body's own signature or
// under `S`, another signature whose parameters begin with the body's.
template <auto F, const Signature& S = *signature_of<F>>
py::object function(py::handle module) {
  return detail::make_builtin(detail::Binding<F, S>::define(), module);
}

// The same, wrapped for a class by `wrap`: PyInstanceMethod_New (the first
// parameter receives the instance), PyClassMethod_New or PyStaticMethod_New;
// marked abstract when `abstract` is set.
template <auto F, const Signature& S = *signature_of<F>>
py::object method(py::handle module, PyObject* (*wrap)(PyObject*), bool abstract = false) {
  return detail::wrapped(function<F, S>(module), wrap, abstract);
}

// Binds a function as a module attribute of its declared name.
template <auto F, const Signature& S = *signature_of<F>>
void def(py::module_& module) {
  module.attr(S.name) = function<F, S>(module);
}

// Raises ImportError when a body reads a module attribute the module does not define.
void check_globals(py::module_& module);

}  // namespace velora::native

// Defines an extension module with its docstring; once the body has run, every
// name its functions read with global<> must be a module attribute.
#define VELORA_MODULE(name, m, docstring)             \
  static void velora_module_body(pybind11::module_&); \
  PYBIND11_MODULE(name, m) {                          \
    m.doc() = docstring;                              \
    velora_module_body(m);                            \
    velora::native::check_globals(m);                 \
  }                                                   \
  void velora_module_body([[maybe_unused]] pybind11::module_& m)
