// velora.model_registry.schemas: the model registry's validated records,
// revision-stamped documents, samples, signatures and model configuration.
//
// Every name the module relies on is bound here as a module attribute and
// read from the module when a function runs, so that a patched name is seen.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <string>

#include "schemas_common.hpp"
#include "velora_native/context.hpp"

namespace velora::schemas {

namespace {

using namespace pybind11::literals;
using native::bind_from;

void bind_imports(py::module_& m) {
  bind_from(m, "velora.pydantic_compat", {"PYDANTIC_V2", "NATIVE_FUNCTION_TYPES", "model_dump", "model_validate"});
  if (pydantic_v2(m)) {
    bind_from(m, "pydantic", {"BaseModel", "ConfigDict", "Field", "field_validator"});
  } else {
    bind_from(m, "pydantic", {"BaseModel", "Field", "validator"});
  }
  bind_from(m, "abc", {"ABC", "abstractmethod"});
  bind_from(m, "types", {"SimpleNamespace"});
  bind_from(m, "typing",
            {"Any", "ClassVar", "Dict", "List", "Literal", "Mapping", "Optional", "Sequence", "Union", "Unpack"});
  bind_from(m, "pathlib", {"Path"});
  m.attr("json") = py::module_::import("json");
  m.attr("time") = py::module_::import("time");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  bind_from(m, "mlflow.types.schema", {"DataType"});
  bind_from(m, "mlflow.types.utils", {"_infer_pandas_column", "clean_tensor_type", "_get_tensor_shape"});
  bind_from(m, "velora.model_registry.values", {"SchemaRevision", "DataSchemaType", "ModelFramework"});
  bind_from(m, "velora.common.values", {"WorkloadType"});
  bind_from(m, "velora.common.schemas", {"BaseInfo"});
  bind_from(m, "velora.model_registry.methods.artifacts.common",
            {"CustomEncoder", "extract_model_path_from_mlflow", "stringify_io_name_by_module"});
}

// The record configuration, given in the names of the version-2 forms: read
// as `model_config`, or under pydantic 1 as the inner class `Config`, where
// two of the names are older ones.
py::object configuration(py::module_& m, const char* qualname, const py::dict& config) {
  if (pydantic_v2(m)) return m.attr("ConfigDict")(**config);
  const py::dict version1_names("populate_by_name"_a = "allow_population_by_field_name",
                                "ignored_types"_a = "keep_untouched");
  const std::string inner = std::string(qualname) + ".Config";
  native::ClassBuilder builder(m, "Config", py::make_tuple(native::type_object(&PyBaseObject_Type)), inner.c_str());
  for (const auto& [key, value] : config) {
    const py::object version1 = version1_names.attr("get")(key, key);
    builder.attr(native::utf8(version1).data(), value);
  }
  return builder.build();
}

}  // namespace

py::object evaluated(py::module_& m, const std::string& expression) {
  return py::eval(py::str(expression), py::dict(), m.attr("__dict__"));
}

void record(py::module_& m, const char* name, const char* bases, const char* doc, std::initializer_list<Entry> body,
            std::initializer_list<Member> members, const py::dict& config) {
  native::ClassBuilder builder(m, name, evaluated(m, std::string("(") + bases + ",)"));
  builder.doc(doc);
  for (const Entry& entry : body) {
    if (entry.annotation != nullptr) builder.annotate(entry.name, evaluated(m, entry.annotation));
    if (entry.value != nullptr) builder.attr(entry.name, evaluated(m, entry.value));
  }
  if (!config.empty()) builder.attr(pydantic_v2(m) ? "model_config" : "Config", configuration(m, name, config));
  for (const auto& [member, value] : members) builder.attr(member, value);
  m.attr(name) = builder.build();
}

}  // namespace velora::schemas

VELORA_MODULE(schemas, m,
              "The model registry's validated records: data schemas, revision-stamped documents, IO samples, "
              "signatures and model configuration.") {
  namespace schemas = velora::schemas;
  velora::native::importing_extra("model-registry", [&] { schemas::bind_imports(m); });
  schemas::define_data_schemas(m);
  schemas::define_documents(m);
  schemas::define_samples(m);
  schemas::define_config(m);
}
