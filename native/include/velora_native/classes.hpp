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
#include <string_view>
#include <utility>

#include "velora_native/function.hpp"

namespace velora::native {

namespace py = pybind11;

// A built-in type (str, dict, ...) as an object, for bases and annotations.
inline py::object type_object(PyTypeObject* type) { return borrowed(reinterpret_cast<PyObject*>(type)); }

namespace detail {

// inspect takes a built-in __init__ for no class's own and finds no signature
// for the class; this descriptor answers inspect.signature(cls) with the
// parameters of cls.__init__ after the instance, for subclasses too.
inline constexpr Signature kSignatureGet{
    "__get__",
    {{"self"}, {"instance"}, {"owner", Kind::Any, kNone}},
    "The signature of owner.__init__ without its first parameter; None for an instance."};

inline py::object signature_without_self(const Call<kSignatureGet>& call) {
  if (!call.arg<"instance">().is_none()) return py::none();
  const py::object init = attr<"__init__">(call.arg<"owner">());
  const py::object signature = py::module_::import("inspect").attr("signature")(init);
  const py::list parameters(attr<"values">(attr<"parameters">(signature))());
  return attr<"replace">(signature)(py::arg("parameters") =
                                        owned(PyList_GetSlice(parameters.ptr(), 1, PY_SSIZE_T_MAX)));
}

}  // namespace detail

class ClassBuilder {
 public:
  // `qualname` differs from `name` for a nested class ("Outer.Inner").
  ClassBuilder(py::handle module, const char* name, py::tuple bases, const char* qualname = nullptr)
      : module_(module), name_(name), bases_(std::move(bases)) {
    const py::tuple prepared = py::module_::import("types").attr("prepare_class")(name, bases_);
    metaclass_ = prepared[0];
    namespace_object_ = prepared[1];
    attr("__module__", module.attr("__name__"));
    attr("__qualname__", py::str(qualname != nullptr ? qualname : name));
  }

  ClassBuilder& doc(const char* text) { return attr("__doc__", py::str(text)); }

  // An annotation without a value (a required field, a ClassVar).
  ClassBuilder& annotate(const char* name, py::handle type) {
    if (!annotations_) {
      annotations_ = py::dict();
      attr("__annotations__", annotations_);
    }
    annotations_[name] = type;
    return *this;
  }

  // A plain namespace entry (a member, a constant, a decorated callable).
  ClassBuilder& attr(const char* name, py::handle value) {
    namespace_object_[py::str(name)] = value;
    if (std::string_view(name) == "__init__") builtin_init_ = PyInstanceMethod_Check(value.ptr());
    return *this;
  }

  // A method of the body's own signature, or of `S` (see native::function); `wrap` is
  // PyClassMethod_New or PyStaticMethod_New for a class or static method.
  template <auto F, const Signature& S = *signature_of<F>>
  ClassBuilder& method(PyObject* (*wrap)(PyObject*) = PyInstanceMethod_New, bool abstract = false) {
    return attr(S.name, native::method<F, S>(module_, wrap, abstract));
  }

  // Calls the metaclass; the builder is spent afterwards.
  py::object build() {
    if (builtin_init_) {
      const std::string qualname = name_ + ".__signature__";
      ClassBuilder descriptor(module_, "InitSignature", py::tuple(), qualname.c_str());
      attr("__signature__", descriptor.method<&detail::signature_without_self>().build()());
    }
    return metaclass_(py::str(name_), bases_, namespace_object_);
  }

 private:
  py::handle module_;
  std::string name_;
  py::tuple bases_;
  py::object metaclass_;
  py::object namespace_object_;
  py::object annotations_;
  bool builtin_init_ = false;  // __init__ is a built-in, which inspect cannot see into
};

}  // namespace velora::native
