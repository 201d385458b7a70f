#include "velora_native/classes.hpp"

#include <string_view>
#include <utility>

namespace velora::native {

namespace {

// inspect takes a built-in __init__ for no class's own and finds no signature
// for the class; this descriptor answers inspect.signature(cls) with the
// parameters of cls.__init__ after the instance, for subclasses too.
constexpr Signature kSignatureGet{"__get__",
                                  {{"self"}, {"instance"}, {"owner", Kind::Any, kNone}},
                                  "The signature of owner.__init__ without its first parameter; None for an instance."};

py::object signature_without_self(const Call<kSignatureGet>& call) {
  if (!call.arg<"instance">().is_none()) return py::none();
  const py::object init = attr<"__init__">(call.arg<"owner">());
  const py::object signature = py::module_::import("inspect").attr("signature")(init);
  const py::list parameters(attr<"values">(attr<"parameters">(signature))());
  return attr<"replace">(signature)(py::arg("parameters") =
                                        owned(PyList_GetSlice(parameters.ptr(), 1, PY_SSIZE_T_MAX)));
}

}  // namespace

ClassBuilder::ClassBuilder(py::handle module, const char* name, py::tuple bases, py::dict keywords,
                           const char* qualname)
    : module_(module), name_(name), bases_(std::move(bases)) {
  const py::tuple prepared = py::module_::import("types").attr("prepare_class")(name, bases_, keywords);
  metaclass_ = prepared[0];
  namespace_object_ = prepared[1];
  keywords_ = prepared[2];
  attr("__module__", module.attr("__name__"));
  attr("__qualname__", py::str(qualname != nullptr ? qualname : name));
}

py::dict ClassBuilder::annotations() {
  if (!annotations_) {
    annotations_ = py::dict();
    attr("__annotations__", annotations_);
  }
  return annotations_;
}

ClassBuilder& ClassBuilder::doc(const char* text) { return attr("__doc__", py::str(text)); }

ClassBuilder& ClassBuilder::annotate(const char* name, py::handle type) {
  annotations()[name] = type;
  return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, py::handle type, py::handle value) {
  annotate(name, type);
  return attr(name, value);
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
  namespace_object_[py::str(name)] = value;
  if (std::string_view(name) == "__init__") builtin_init_ = PyInstanceMethod_Check(value.ptr());
  return *this;
}

py::object ClassBuilder::build() {
  if (builtin_init_) {
    const std::string qualname = name_ + ".__signature__";
    const py::object descriptor =
        ClassBuilder(module_, "InitSignature", py::make_tuple(type_object(&PyBaseObject_Type)), py::dict(),
                     qualname.c_str())
            .method<&signature_without_self>()
            .build();
    attr("__signature__", descriptor());
  }
  return metaclass_(py::str(name_), bases_, namespace_object_, **keywords_);
}

}  // namespace velora::native
