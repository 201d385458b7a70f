// MLflow integration: evaluating a logged model on its samples with the
// framework that logged it, and measuring its artifacts.
#include <pybind11/pybind11.h>

#include "mlflow_parts.hpp"
#include "velora_native/context.hpp"
#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;

namespace {

void bind_imports(py::module_& m) {
  native::bind_from(m, "typing", {"Any", "Optional", "Union"});
  native::bind_from(m, "pathlib", {"Path"});
  native::bind_from(m, "urllib.parse", {"urlparse"});
  native::bind_from(m, "urllib.request", {"url2pathname"});
  for (const char* name : {"boto3", "mlflow"}) m.attr(name) = py::module_::import(name);
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  native::bind_from(m, "mlflow.models.model", {"ModelInfo"});
  native::bind_from(m, "mlflow.pyfunc", {"PyFuncModel"});
  native::bind_from(m, "velora.model_registry.values", {"ModelFramework"});
  native::bind_from(m, "velora.settings", {"settings", "MLFlowModelRegistryData"});
  native::bind_from(m, "velora.model_registry.methods.common",
                    {"is_supported_primitive_class", "ModelInputsSample", "ModelOutputsSample"});
  native::bind_from(m, "velora.model_registry.methods.frameworks.common", {"has_method_names"});
}

}  // namespace

VELORA_MODULE(mlflow, m,
              "MLflow integration: evaluate_model runs a logged model's methods on samples, "
              "get_artifact_size_bytes measures its artifacts.") {
  native::importing_extra("model-registry", [&] { bind_imports(m); });
  velora::mlflow::define_evaluation(m);
  velora::mlflow::define_artifact_size(m);
}
