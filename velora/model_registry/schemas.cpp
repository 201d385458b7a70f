// velora.model_registry.schemas: the model registry's validated records,
// revision-stamped documents, samples, signatures and model configuration.
//
// Every name the module relies on is bound here as a module attribute and
// read from the module when a function runs, so that a patched name is seen.
#include <pybind11/pybind11.h>

#include "schemas_common.hpp"
#include "velora_native/context.hpp"

namespace py = pybind11;
namespace schemas = velora::schemas;
using velora::native::bind_from;

namespace {

void bind_pydantic(py::module_& m) {
  bind_from(m, "velora.pydantic_compat", {"PYDANTIC_V2", "NATIVE_FUNCTION_TYPES", "model_dump", "model_validate"});
  if (schemas::truthy(m.attr("PYDANTIC_V2"))) {
    bind_from(m, "pydantic", {"BaseModel", "ConfigDict", "Field", "field_validator"});
  } else {
    bind_from(m, "pydantic", {"BaseModel", "Field", "validator"});
  }
}

void bind_unpack(py::module_& m) {
  const py::module_ typing = py::module_::import("typing");
  m.attr("Unpack") =
      py::hasattr(typing, "Unpack") ? typing.attr("Unpack") : py::module_::import("typing_extensions").attr("Unpack");
}

void bind_imports(py::module_& m) {
  bind_pydantic(m);
  bind_from(m, "abc", {"ABC", "abstractmethod"});
  bind_from(m, "types", {"SimpleNamespace"});
  bind_from(m, "typing", {"Any", "ClassVar", "Dict", "List", "Literal", "Mapping", "Optional", "Sequence", "Union"});
  bind_unpack(m);
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

}  // namespace

VELORA_MODULE(schemas, m,
              "The model registry's validated records: data schemas, revision-stamped documents, IO samples, "
              "signatures and model configuration.") {
  velora::native::importing_extra("model-registry", [&] { bind_imports(m); });
  schemas::define_data_schemas(m);
  schemas::define_documents(m);
  schemas::define_samples(m);
  schemas::define_config(m);
}
