// Part of velora.model_registry.schemas.
// What the translation units of velora.model_registry.schemas share: records
// declared as rows, the switch between the two pydantic majors, and the
// builder-context checks.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "velora_native/classes.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"
#include "velora_native/objects.hpp"

namespace velora::schemas {

namespace py = pybind11;
namespace native = velora::native;

inline bool pydantic_v2(py::handle module) { return native::truthy(module.attr("PYDANTIC_V2")); }

// An expression read in the module's namespace, with the builtins beside it.
py::object evaluated(py::module_& m, const std::string& expression);

// One entry of a record's body, in declaration order: an annotated name, with
// its default when `value` is given, or a plain attribute when `annotation` is
// null. Both are Python expressions read in the module's namespace, as a class
// body reads them: "Optional[List[int]]", "Field(..., alias='schema')".
struct Entry {
  const char* name;
  const char* annotation;
  const char* value = nullptr;
};

// A method or other built attribute of a record, by name.
using Member = std::pair<const char*, py::object>;

// class <name>(<bases>): <doc> <body> <config> <members>, bound as a module
// attribute. `bases` is the text of the class statement's base list; `config`
// the record configuration in the names of the version-2 forms.
void record(py::module_& m, const char* name, const char* bases, const char* doc, std::initializer_list<Entry> body,
            std::initializer_list<Member> members = {}, const py::dict& config = py::dict());

// A method of a record, named by its signature: the body `F` under its own
// signature or under `S`, wrapped by `wrap` (see native::method).
template <auto F, const native::Signature& S = *native::signature_of<F>>
Member member(py::handle module, PyObject* (*wrap)(PyObject*), bool abstract = false) {
  return {S.name, native::method<F, S>(module, wrap, abstract)};
}

// A class method declared as a field check on `fields` in the chosen form:
// `field_validator(*fields)` or `validator(*fields, allow_reuse=True)`.
template <auto F, const native::Signature& S = *native::signature_of<F>, typename... Fields>
Member check(py::handle module, Fields... fields) {
  const py::object checked = native::method<F, S>(module, PyClassMethod_New);
  if (pydantic_v2(module)) return {S.name, module.attr("field_validator")(fields...)(checked)};
  // pydantic 1 registers validators by module and qualified name; both kinds of
  // schema declare a `validate_schema`, hence allow_reuse.
  return {S.name, module.attr("validator")(fields..., py::arg("allow_reuse") = true)(checked)};
}

// The builders' entry check: the first entry the context lacks raises
// "not found <entry> in builder context: context=<printed context>".
template <native::Literal... Entries>
void require_entries(py::handle context) {
  const auto require = [&](const char* entry, const py::object& found) {
    if (!found) native::raise(PyExc_ValueError, "not found %s in builder context: context=%R", entry, context.ptr());
  };
  (require(Entries.text, native::optional_attr<Entries>(context)), ...);
}

void define_data_schemas(py::module_& m);
void define_documents(py::module_& m);
void define_samples(py::module_& m);
void define_config(py::module_& m);

}  // namespace velora::schemas
