#include "velora_native/classes.hpp"

#include <utility>

namespace velora::native {

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
  return *this;
}

py::object ClassBuilder::build() { return metaclass_(py::str(name_), bases_, namespace_object_, **keywords_); }

}  // namespace velora::native
