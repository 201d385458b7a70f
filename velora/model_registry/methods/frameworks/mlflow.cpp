// MLflow integration: evaluating a logged model on its samples with the
// framework that logged it, and measuring its artifacts.
#include <pybind11/pybind11.h>

#include <utility>

#include "mlflow_parts.hpp"
#include "velora_native/function.hpp"
#include "velora_native/names.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::Kind;

namespace {

// mlflow.pytorch and mlflow.tensorflow import torch and tensorflow when they
// are imported; their loaders are therefore reached on first use, so that
// loading this module costs neither.
template <native::Literal Flavor>
py::object load_model_lazily(const native::Call& call) {
  return native::attr<"load_model">(py::module_::import(Flavor.text))(call[0], call[1]);
}

template <native::Literal Flavor>
py::object lazy_loader(py::module_& m, const char* doc) {
  return native::function<&load_model_lazily<Flavor>>(
      m, {"load_model", {{"model_uri"}, {"dst_path", Kind::OptStr, native::kNone}}, doc});
}

void bind_imports(py::module_& m) {
  const py::module_ typing = py::module_::import("typing");
  m.attr("Any") = typing.attr("Any");
  m.attr("Optional") = typing.attr("Optional");
  m.attr("Union") = typing.attr("Union");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("urlparse") = py::module_::import("urllib.parse").attr("urlparse");
  m.attr("url2pathname") = py::module_::import("urllib.request").attr("url2pathname");
  m.attr("boto3") = py::module_::import("boto3");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("mlflow") = py::module_::import("mlflow");
  m.attr("ModelInfo") = py::module_::import("mlflow.models.model").attr("ModelInfo");
  m.attr("PyFuncModel") = py::module_::import("mlflow.pyfunc").attr("PyFuncModel");
  m.attr("ModelFramework") = py::module_::import("velora.model_registry.values").attr("ModelFramework");
  m.attr("settings") = py::module_::import("velora.settings").attr("settings");
  m.attr("MLFlowModelRegistryData") = py::module_::import("velora.settings").attr("MLFlowModelRegistryData");
  const py::module_ common = py::module_::import("velora.model_registry.methods.common");
  m.attr("is_supported_primitive_class") = common.attr("is_supported_primitive_class");
  m.attr("ModelInputsSample") = common.attr("ModelInputsSample");
  m.attr("ModelOutputsSample") = common.attr("ModelOutputsSample");
  m.attr("has_method_names") =
      py::module_::import("velora.model_registry.methods.frameworks.common").attr("has_method_names");
}

constexpr native::Param kModel{"model"};
constexpr native::Param kMethodName{"method_name", Kind::Str};
constexpr native::Param kSample{"sample"};

void bind_evaluation_functions(py::module_& m) {
  using namespace velora::mlflow;
  native::def<&evaluate_pyfunc_model>(
      m, {"_evaluate_pyfunc_model",
          {kModel, kMethodName, kSample},
          "Call `method_name` of the model a pyfunc model wraps with no context and the sample\n"
          "(a table as a copy)."});
  native::def<&evaluate_basis_model>(m, {"_evaluate_basis_model",
                                         {kModel, kMethodName, kSample},
                                         "Call `method_name` of the model on the sample (a table as a copy)."});
  native::def<&evaluate_onnx_model>(
      m, {"_evaluate_onnx_model",
          {kModel, kMethodName, kSample},
          "Prepare the ONNX model with onnxruntime's backend and call `method_name` of the prepared model."});
  native::def<&evaluate_pytorch_model>(
      m, {"_evaluate_pytorch_model",
          {kModel, kMethodName, kSample},
          "Call `method_name` of the torch module; \"forward\" takes a numpy array and gives one."});
  native::def<&evaluate_tensorflow_model>(
      m, {"_evaluate_tensorflow_model",
          {kModel, kMethodName, kSample},
          "Call `method_name` of the TensorFlow model and give the first element of its result."});
}

// Framework to (lazy verification, evaluation function, loader); the order
// decides framework detection.
py::dict evaluation_func_map(py::module_& m) {
  const py::object framework = m.attr("ModelFramework");
  const py::object mlflow = m.attr("mlflow");
  const auto entry = [&m](bool lazy, const char* evaluate, py::object loader) {
    return py::make_tuple(py::bool_(lazy), m.attr(evaluate), std::move(loader));
  };
  py::dict table;
  table[framework.attr("onnx")] =
      entry(true, "_evaluate_onnx_model", py::module_::import("mlflow.onnx").attr("load_model"));
  table[framework.attr("pytorch")] =
      entry(false, "_evaluate_pytorch_model",
            lazy_loader<"mlflow.pytorch">(m, "mlflow.pytorch.load_model, imported (with torch) on first call."));
  table[framework.attr("pyfunc")] =
      entry(true, "_evaluate_pyfunc_model", py::module_::import("mlflow.pyfunc").attr("load_model"));
  table[framework.attr("sklearn")] =
      entry(false, "_evaluate_basis_model", py::module_::import("mlflow.sklearn").attr("load_model"));
  table[framework.attr("tensorflow")] = entry(
      false, "_evaluate_tensorflow_model",
      lazy_loader<"mlflow.tensorflow">(m, "mlflow.tensorflow.load_model, imported (with tensorflow) on first call."));
  table[framework.attr("xgboost")] =
      entry(false, "_evaluate_basis_model", py::module_::import("mlflow.xgboost").attr("load_model"));
  return table;
}

}  // namespace

PYBIND11_MODULE(mlflow, m) {
  bind_imports(m);
  bind_evaluation_functions(m);
  m.attr("EVALUATION_FUNC_MAP") = evaluation_func_map(m);

  native::def<&velora::mlflow::extract_framework_type_from>(
      m, {"extract_framework_type_from",
          {{"model_info"}},
          "The framework that logged the model: pyfunc for a model of a single flavor, otherwise\n"
          "the first framework of EVALUATION_FUNC_MAP among the model's flavors."});
  native::def<&velora::mlflow::evaluate_model>(
      m, {"evaluate_model",
          {{"model_info"}, {"inputs_sample"}},
          "Load the model with its framework's loader and call each method on each of its samples.\n\n"
          "`inputs_sample` maps method names to lists of samples; the result maps the same names,\n"
          "in the same order, to the outputs in sample order."});
  native::def<&velora::mlflow::get_artifact_size_bytes>(
      m, {"get_artifact_size_bytes",
          {{"run"}, {"model_info"}},
          "Total size in bytes of the model's artifacts, in the model registry's S3 storage or on\n"
          "local disk."});
}
