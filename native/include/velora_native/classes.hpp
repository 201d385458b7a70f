// Classes built the way a class statement builds them.
//
// The metaclass is found and its __prepare__ called as for `class Name(bases):`,
// the namespace is filled in declaration order (__module__, __qualname__,
// __annotations__, __doc__, then the body), and the metaclass is called with
// it. Enum, ABC and pydantic records therefore see what a Python declaration
// would give them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "velora_native/function.hpp"

namespace velora::native {

namespace py = pybind11;

// A built-in type (str, dict, ...) as an object, for bases and annotations.
inline py::object type_object(PyTypeObject* type) { return borrowed(reinterpret_cast<PyObject*>(type)); }

class ClassBuilder {
 public:
  // `qualname` differs from `name` for a nested class ("Outer.Inner").
  ClassBuilder(py::handle module, const char* name, py::tuple bases, py::dict keywords = py::dict(),
               const char* qualname = nullptr);

  ClassBuilder& doc(const char* text);
  // An annotation without a value (a required field, a ClassVar).
  ClassBuilder& annotate(const char* name, py::handle type);
  // An annotated name with its value.
  ClassBuilder& field(const char* name, py::handle type, py::handle value);
  // A plain namespace entry (a member, a constant, a decorated callable).
  ClassBuilder& attr(const char* name, py::handle value);

  // A method of the body's own signature, or of `S` (see native::function).
  template <auto F, const Signature& S = *signature_of<F>>
  ClassBuilder& method() {
    return attr(S.name, native::method<F, S>(module_, PyInstanceMethod_New));
  }
  template <auto F, const Signature& S = *signature_of<F>>
  ClassBuilder& classmethod() {
    return attr(S.name, native::method<F, S>(module_, PyClassMethod_New));
  }
  template <auto F, const Signature& S = *signature_of<F>>
  ClassBuilder& staticmethod() {
    return attr(S.name, native::method<F, S>(module_, PyStaticMethod_New));
  }

  py::handle module() const { return module_; }
  py::object namespace_() const { return namespace_object_; }

  // Calls the metaclass; the builder is spent afterwards.
  py::object build();

 private:
  py::dict annotations();

  py::handle module_;
  std::string name_;
  py::tuple bases_;
  py::object metaclass_;
  py::object namespace_object_;
  py::dict keywords_;
  py::object annotations_;
  bool builtin_init_ = false;  // __init__ is a built-in, which inspect cannot see into
};

}  // namespace velora::native
