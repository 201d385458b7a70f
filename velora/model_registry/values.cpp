// The model registry's closed vocabularies.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "velora_native/classes.hpp"

namespace native = velora::native;
namespace py = pybind11;

namespace {

// The revision of greatest numeric value (decimal text compared as integers);
// the first of equal ones wins. The module's own class is used, whatever
// class the method is called through.
constexpr native::Signature kLatestRevision{
    "get_latest_revision",
    {{"cls"}},
    {"The latest schema revision: the member of the highest number.", "none besides the class",
     "SchemaRevision: the latest revision", "ValueError: a member's value is not decimal integer text"}};
py::object latest_revision(const native::Call<kLatestRevision>& call) {
  py::object latest = py::none();
  py::object latest_key;
  for (const py::handle member : call.global<"SchemaRevision">()) {
    py::object key = py::int_(native::attr<"value">(member));
    if (!latest_key || key > latest_key) {
      latest = native::borrowed(member);
      latest_key = std::move(key);
    }
  }
  return latest;
}

using Members = std::initializer_list<std::pair<const char*, const char*>>;

// class Name(str, Enum) with explicit values.
native::ClassBuilder value_enum(py::module_& m, const char* name, Members members) {
  native::ClassBuilder builder(m, name, py::make_tuple(native::type_object(&PyUnicode_Type), m.attr("Enum")));
  for (const auto& [member, value] : members) builder.attr(member, py::str(value));
  return builder;
}

// class Name(StrEnum) with members declared by auto(), bound as a module attribute.
void auto_enum(py::module_& m, const char* name, const char* doc, std::initializer_list<const char*> members) {
  native::ClassBuilder builder(m, name, py::make_tuple(m.attr("StrEnum")));
  builder.doc(doc);
  const py::object auto_ = m.attr("auto");
  for (const char* member : members) builder.attr(member, auto_());
  m.attr(name) = builder.build();
}

}  // namespace

VELORA_MODULE(values, m, "The model registry's enumerations.") {
  native::bind_from(m, "velora.common.enum_", {"Enum", "StrEnum", "auto"});

  m.attr("SchemaRevision") = value_enum(m, "SchemaRevision", {{"rev1", "1"}, {"rev2", "2"}})
                                 .method<&latest_revision>(PyClassMethod_New)
                                 .build();
  auto_enum(m, "ModelRegistryType", "Supported Model Registry type.", {"mlflow", "wandb"});
  auto_enum(m, "ModelFramework", "Supported Model Framework to log model.",
            {"onnx", "pytorch", "pyfunc", "sklearn", "tensorflow", "xgboost"});
  m.attr("DataSchemaType") = value_enum(m, "DataSchemaType", {{"column", "column"}, {"tensor", "tensor"}}).build();
}
