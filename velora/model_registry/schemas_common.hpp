// Part of velora.model_registry.schemas.
// What the translation units of velora.model_registry.schemas share: typing
// forms, the switch between the two pydantic majors, and the builder-context
// checks.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "velora_native/classes.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"
#include "velora_native/objects.hpp"

namespace velora::schemas {

namespace py = pybind11;
namespace native = velora::native;

inline py::object str_type() { return native::type_object(&PyUnicode_Type); }
inline py::object int_type() { return native::type_object(&PyLong_Type); }

// A typing form of the module subscripted with its arguments, as
// `Optional[str]` or `Union[str, DataType]` would be written.
py::object typed(py::handle module, const char* form, std::initializer_list<py::handle> args);

// The record configuration the module's records use, in the names of the
// version-2 forms; written as the version-1 inner `Config` when pydantic 1 is in use.
struct RecordConfig {
  bool populate_by_name = false;
  bool use_enum_values = false;
  bool ignore_native_functions = false;
};

void configure(native::ClassBuilder& builder, const char* qualname, const RecordConfig& config);

// An annotated name of a record, with its default when it has one.
struct Field {
  const char* name;
  py::object type;
  py::object fallback = {};
};

// class <name>(<base>) with a docstring and fields, bound as a module attribute.
void record(py::module_& m, const char* name, const char* base, const char* doc, std::initializer_list<Field> fields);

// `Field(..., <option>=value)`: a required field with an option (alias, discriminator).
py::object required_field(py::handle module, const char* option, py::handle value);

// A class method declared as a field check on `fields` in the chosen form:
// `field_validator(*fields)` or `validator(*fields, allow_reuse=True)`.
py::object field_check(py::handle module, std::initializer_list<const char*> fields, const py::object& method);

template <auto F>
native::ClassBuilder& check(native::ClassBuilder& builder, std::initializer_list<const char*> fields) {
  return builder.attr(native::signature_of<F>->name,
                      field_check(builder.module(), fields, native::method<F>(builder.module(), PyClassMethod_New)));
}

using native::owned;
using native::truthy;
inline py::object borrow(py::handle value) { return native::borrowed(value); }

// The builders' entry check: the first entry the context lacks raises
// "not found <entry> in builder context: context=<printed context>".
template <native::Literal Entry>
void require_entry(py::handle context) {
  if (!native::has_attr<Entry>(context)) {
    native::raise(PyExc_ValueError, "not found %s in builder context: context=%R", Entry.text, context.ptr());
  }
}

template <native::Literal... Entries>
void require_entries(py::handle context) {
  (require_entry<Entries>(context), ...);
}

void define_data_schemas(py::module_& m);
void define_documents(py::module_& m);
void define_samples(py::module_& m);
void define_config(py::module_& m);

}  // namespace velora::schemas
