// MLflow integration: evaluating a logged model on its samples with the
// framework that logged it, and measuring its artifacts.
#include <pybind11/pybind11.h>

#include <tuple>

#include "velora_native/context.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;
using namespace pybind11::literals;
using native::Kind;

namespace {

// Evaluation: a logged model's methods run on sample inputs, by the framework that logged it.

// A table sample is handed over as a copy, so that a model that changes its
// input in place leaves the caller's table as it was.
py::object copy_if_table(const native::Frame& call, py::handle sample) {
  if (py::isinstance(sample, native::attr<"DataFrame">(call.global<"pd">()))) {
    return native::attr<"copy">(sample)();
  }
  return native::borrowed(sample);
}

// The method of that name, once has_method_names has found it on `obj`.
py::object checked_method(const native::Frame& call, py::handle obj, py::handle method_name) {
  call.global<"has_method_names">()(obj, py::list(py::make_tuple(method_name)));
  return py::getattr(obj, method_name);
}

// `a, b, ... = value` for `count` names, with Python's messages.
py::tuple unpack(py::handle value, Py_ssize_t count) {
  const py::tuple values(native::borrowed(value));
  const auto size = static_cast<Py_ssize_t>(values.size());
  if (size < count) {
    native::raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count, size);
  }
  if (size > count) native::raise(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
  return values;
}

// A list output as an array. numpy no longer makes one of arrays of different shapes (an ONNX
// classifier's labels and probabilities); such a list becomes an array of its items, as it did before.
py::object as_array(const native::Frame& call, py::handle list) {
  const py::object np = call.global<"np">();
  try {
    return native::attr<"array">(np)(list);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;
  }
  const py::object items = native::attr<"empty">(np)(py::len(list), "dtype"_a = "object");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) items[py::int_(i)] = PyList_GET_ITEM(list.ptr(), i);
  return items;
}

py::object check_output(const native::Frame& call, py::object output) {
  if (PyList_Check(output.ptr())) output = as_array(call, output);
  if (!native::truthy(call.global<"is_supported_primitive_class">()(output))) {
    native::raise(PyExc_ValueError,
                  "unsupported outputs_sample: %Ssupported type must be in pd.DataFrame, np.ndarray, pd.Series, str, "
                  "bytes",
                  reinterpret_cast<PyObject*>(Py_TYPE(output.ptr())));
  }
  return output;
}

constexpr native::Signature kExtractFrameworkTypeFrom{
    "extract_framework_type_from",
    {{"model_info"}},
    {"The framework that logged the model: pyfunc for a model of a single flavor, otherwise\n"
     "the first framework of EVALUATION_FUNC_MAP among the model's flavors.",
     "model_info: the logged model's ModelInfo (its flavors are read)",
     "ModelFramework: the framework to evaluate the model with",
     "RuntimeError: two or more flavors, none of a framework this module evaluates"}};

py::object extract_framework_type_from(const native::Call<kExtractFrameworkTypeFrom>& call) {
  const py::handle model_info = call.arg<"model_info">();
  if (py::len(native::attr<"flavors">(model_info)) == 1) {
    return native::attr<"pyfunc">(call.global<"ModelFramework">());
  }
  // Table order decides, not flavor order: a model logged as pytorch and as onnx is evaluated as onnx.
  for (const py::handle framework : call.global<"EVALUATION_FUNC_MAP">()) {
    if (native::contains(native::attr<"flavors">(model_info), framework)) return native::borrowed(framework);
  }
  native::raise(PyExc_RuntimeError, "not found framework evaluation class: model_info.flavors=%R",
                native::attr<"flavors">(model_info).ptr());
}

constexpr native::Signature kEvaluateModel{
    "evaluate_model",
    {{"model_info"}, {"inputs_sample"}},
    {"Load the model with its framework's loader and call each method on each of its samples.\n\n"
     "`inputs_sample` maps method names to lists of samples; the result maps the same names,\n"
     "in the same order, to the outputs in sample order. An output that is a list becomes a\n"
     "numpy array; a list of arrays of different shapes, an array of those arrays.",
     "model_info: the logged model's ModelInfo\n"
     "inputs_sample: dict from method name to a list of samples (DataFrame, Series,\n"
     "    ndarray, str or bytes)",
     "dict: method name to the list of outputs, one per sample",
     "ValueError: the framework is not one this module evaluates, inputs_sample is not a\n"
     "    dict, or an output is of a type a sample cannot be\n"
     "RuntimeError: the model's framework cannot be told from its flavors\n"
     "AttributeError: the model has no method of a given name"}};

py::object evaluate_model(const native::Call<kEvaluateModel>& call) {
  const py::handle inputs_sample = call.arg<"inputs_sample">();
  const py::object framework = call.global<"extract_framework_type_from">()(call.arg<"model_info">());
  const py::object table = call.global<"EVALUATION_FUNC_MAP">();
  if (!native::contains(table, framework)) {
    native::raise(PyExc_ValueError, "not supported framework(%S)", native::attr<"keys">(table)().ptr());
  }
  if (!PyDict_Check(inputs_sample.ptr())) native::raise(PyExc_ValueError, "inputs_sample should be a dictionary");

  // (lazy verification of method names, evaluation function, loader)
  const py::tuple entry = unpack(table[framework], 3);
  const bool lazy_verifying_method_names = native::truthy(entry[0]);
  const py::object model = entry[2](native::attr<"model_uri">(call.arg<"model_info">()));
  if (!lazy_verifying_method_names) {
    call.global<"has_method_names">()(model, py::list(native::attr<"keys">(inputs_sample)()));
  }
  py::dict outputs_sample;
  for (const py::handle item : native::attr<"items">(inputs_sample)()) {
    const py::tuple pair = unpack(item, 2);
    py::list outputs;
    for (const py::handle sample : py::iter(pair[1])) {
      outputs.append(check_output(call, entry[1](model, pair[0], sample)));
    }
    outputs_sample[pair[0]] = outputs;
  }
  return outputs_sample;
}

// Every framework's evaluation takes the model, the method's name and one sample.
constexpr native::Signature evaluation(const char* name, const char* summary) {
  return {name, {{"model"}, {"method_name", Kind::Str}, {"sample"}}, summary};
}

constexpr native::Signature kEvaluatePyfunc = evaluation(
    "_evaluate_pyfunc_model",
    "Call `method_name` of the model a pyfunc model wraps with no context and the sample\n(a table as a copy).");

py::object evaluate_pyfunc_model(const native::Call<kEvaluatePyfunc>& call) {
  const py::object unwrapped_model = native::attr<"unwrap_python_model">(call.arg<"model">())();
  const py::object method = checked_method(call, unwrapped_model, call.arg<"method_name">());
  // The wrapped model's methods take the pyfunc context first; there is none here.
  return method(py::none(), copy_if_table(call, call.arg<"sample">()));
}

constexpr native::Signature kEvaluateBasis =
    evaluation("_evaluate_basis_model", "Call `method_name` of the model on the sample (a table as a copy).");

py::object evaluate_basis_model(const native::Call<kEvaluateBasis>& call) {
  return py::getattr(call.arg<"model">(), call.arg<"method_name">())(copy_if_table(call, call.arg<"sample">()));
}

constexpr native::Signature kEvaluateOnnx =
    evaluation("_evaluate_onnx_model",
               "Prepare the ONNX model with onnxruntime's backend and call `method_name` of the prepared model.");

py::object evaluate_onnx_model(const native::Call<kEvaluateOnnx>& call) {
  const py::object backend = py::module_::import("onnxruntime.backend");
  const py::object get_device = py::module_::import("onnxruntime").attr("get_device");
  const py::object rep = native::attr<"prepare">(backend)(call.arg<"model">(), get_device());
  return checked_method(call, rep, call.arg<"method_name">())(call.arg<"sample">());
}

constexpr native::Signature kEvaluatePytorch =
    evaluation("_evaluate_pytorch_model",
               "Call `method_name` of the torch module; \"forward\" takes a numpy array and gives one.");

py::object evaluate_pytorch_model(const native::Call<kEvaluatePytorch>& call) {
  const py::module_ torch = py::module_::import("torch");
  if (call.arg<"method_name">().equal(py::str("forward"))) {
    const py::object result =
        native::attr<"forward">(call.arg<"model">())(native::attr<"from_numpy">(torch)(call.arg<"sample">()));
    return native::attr<"numpy">(native::attr<"detach">(result)())();
  }
  return py::getattr(call.arg<"model">(), call.arg<"method_name">())(call.arg<"sample">());
}

constexpr native::Signature kEvaluateTensorflow =
    evaluation("_evaluate_tensorflow_model",
               "Call `method_name` of the TensorFlow model and give the first element of its result.");

py::object evaluate_tensorflow_model(const native::Call<kEvaluateTensorflow>& call) {
  return py::getattr(call.arg<"model">(), call.arg<"method_name">())(call.arg<"sample">())[py::int_(0)];
}

// mlflow.pytorch and mlflow.tensorflow import torch and tensorflow when they
// are imported; their loaders are therefore reached on first use, so that
// loading this module costs neither.
constexpr native::Signature kLoadModel{"load_model", {{"model_uri"}, {"dst_path", Kind::OptStr, native::kNone}}};

template <native::Literal Flavor>
py::object load_model_lazily(const native::Call<kLoadModel>& call) {
  const py::object load_model = native::attr<"load_model">(py::module_::import(Flavor.text));
  // The URI alone, as every loader of the table is called; a destination only when one is asked for.
  if (call.arg<"dst_path">().is_none()) return load_model(call.arg<"model_uri">());
  return load_model(call.arg<"model_uri">(), py::arg("dst_path") = call.arg<"dst_path">());
}

constexpr native::Signature kLoadPytorchModel{"load_model",
                                              {kLoadModel.params[0], kLoadModel.params[1]},
                                              "mlflow.pytorch.load_model, imported (with torch) on first call."};
constexpr native::Signature kLoadTensorflowModel{
    "load_model",
    {kLoadModel.params[0], kLoadModel.params[1]},
    "mlflow.tensorflow.load_model, imported (with tensorflow) on first call."};

// Framework to (lazy verification, evaluation function, loader), a row each;
// the order decides framework detection.
py::dict evaluation_func_map(py::module_& m) {
  const auto eager = [](const char* flavor) { return py::module_::import(flavor).attr("load_model"); };
  const std::tuple<const char*, bool, const char*, py::object> rows[] = {
      {"onnx", true, "_evaluate_onnx_model", eager("mlflow.onnx")},
      {"pytorch", false, "_evaluate_pytorch_model",
       native::function<&load_model_lazily<"mlflow.pytorch">, kLoadPytorchModel>(m)},
      {"pyfunc", true, "_evaluate_pyfunc_model", eager("mlflow.pyfunc")},
      {"sklearn", false, "_evaluate_basis_model", eager("mlflow.sklearn")},
      {"tensorflow", false, "_evaluate_tensorflow_model",
       native::function<&load_model_lazily<"mlflow.tensorflow">, kLoadTensorflowModel>(m)},
      {"xgboost", false, "_evaluate_basis_model", eager("mlflow.xgboost")},
  };
  py::dict table;
  for (const auto& [framework, lazy, evaluate, loader] : rows) {
    table[m.attr("ModelFramework").attr(framework)] = py::make_tuple(py::bool_(lazy), m.attr(evaluate), loader);
  }
  return table;
}

// Artifact size: a logged model's artifacts, in S3-compatible storage or on local disk.

bool scheme_is(py::handle url, const char* scheme) { return native::attr<"scheme">(url).equal(py::str(scheme)); }

// The run's location, "/", the model's path; one slash where they meet.
py::object join_location(py::handle artifact_uri, py::handle artifact_path) {
  // A value that is not text fails here as `+` fails on it.
  const py::object joined = artifact_uri + py::str("/") + artifact_path;
  if (!PyUnicode_Check(artifact_uri.ptr()) || !PyUnicode_Check(artifact_path.ptr())) return joined;
  const py::object left = native::attr<"removesuffix">(artifact_uri)("/");
  return left + py::str("/") + native::attr<"removeprefix">(artifact_path)("/");
}

// Since MLflow 3 a logged model keeps its artifacts under a location of its
// own, which ModelInfo.artifact_path then holds as a full URI ("s3://...",
// "file:///..."); before, it was a path inside the run's artifacts, where a
// ":" is just a character ("v1:model").
py::object model_location(py::handle artifact_uri, py::handle artifact_path) {
  if (PyUnicode_Check(artifact_path.ptr()) && native::contains(artifact_path, py::str("://"))) {
    return native::borrowed(artifact_path);
  }
  return join_location(artifact_uri, artifact_path);
}

// Keys under the model's own folder: no leading "/", a closing "/" so that a
// sibling whose name starts the same ("model" and "model-2") is not counted.
py::object key_prefix(py::handle url) {
  const py::object path = native::attr<"lstrip">(native::attr<"path">(url))("/");
  if (py::len(path) == 0 || native::truthy(native::attr<"endswith">(path)("/"))) return path;
  return path + py::str("/");
}

// Follows every page of the listing; a prefix with no object gives 0.
py::object s3_size(const native::Frame& call, py::handle registry_data, py::handle url) {
  const py::object client = native::attr<"client">(call.global<"boto3">())(
      "s3", "endpoint_url"_a = native::attr<"storage_url">(registry_data),
      "aws_access_key_id"_a = native::attr<"access_key_id">(registry_data),
      "aws_secret_access_key"_a = native::attr<"secret_access_key">(registry_data));
  const py::object list_objects = native::attr<"list_objects_v2">(client);
  py::dict request("Bucket"_a = native::attr<"netloc">(url), "Prefix"_a = key_prefix(url));
  py::object total = py::int_(0);
  while (true) {
    const py::object response = list_objects(**request);
    const py::object lookup = native::attr<"get">(response);
    for (const py::handle entry : lookup("Contents", py::tuple())) total = total + py::object(entry["Size"]);
    if (!native::truthy(lookup("IsTruncated", false))) return py::int_(total);
    request["ContinuationToken"] = response["NextContinuationToken"];
  }
}

py::object local_size(const native::Frame& call, py::handle url) {
  const py::object path = call.global<"url2pathname">()(native::attr<"path">(url));
  const py::object directory = call.global<"Path">()(path);
  py::object total = py::int_(0);
  for (const py::handle entry : native::attr<"glob">(directory)("**/*")) {
    if (native::truthy(native::attr<"is_file">(entry)())) {
      total = total + native::attr<"st_size">(native::attr<"stat">(entry)());
    }
  }
  return py::int_(total);
}

constexpr native::Signature kGetArtifactSizeBytes{
    "get_artifact_size_bytes",
    {{"run"}, {"model_info"}},
    {"Total size in bytes of the model's artifacts, in the model registry's S3 storage or on\n"
     "local disk.",
     "run: the active MLflow run (None is refused)\n"
     "model_info: the logged model's ModelInfo; its artifact path is a path under the\n"
     "    run's artifacts, or a location of its own (a full URI, as MLflow 3 gives it)",
     "int: the total size in bytes; 0 when the model has no artifacts",
     "ValueError: no active run, no model registry in the settings, or a location that is\n"
     "    neither s3:// (with an S3 registry) nor file://"}};

py::object get_artifact_size_bytes(const native::Call<kGetArtifactSizeBytes>& call) {
  const py::handle run = call.arg<"run">();
  const py::handle model_info = call.arg<"model_info">();
  if (run.is_none()) native::raise(PyExc_ValueError, "not found active run");
  const py::object registry = native::attr<"model_registry">(call.global<"settings">());
  if (registry.is_none() || native::attr<"data">(registry).is_none()) {
    native::raise(PyExc_ValueError, "There are no model registry");
  }
  const py::object registry_data = native::attr<"data">(registry);

  const py::object artifact_uri = native::attr<"artifact_uri">(native::attr<"info">(run));
  const py::object location = model_location(artifact_uri, native::attr<"artifact_path">(model_info));
  const py::object url = call.global<"urlparse">()(location);
  if (scheme_is(url, "s3") && py::isinstance(registry_data, call.global<"MLFlowModelRegistryData">())) {
    return s3_size(call, registry_data, url);
  }
  if (scheme_is(url, "file")) return local_size(call, url);
  native::raise(PyExc_ValueError, "unsupported url schema: run.info.artifact_uri=%R", artifact_uri.ptr());
}

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
  native::def<&evaluate_pyfunc_model>(m);
  native::def<&evaluate_basis_model>(m);
  native::def<&evaluate_onnx_model>(m);
  native::def<&evaluate_pytorch_model>(m);
  native::def<&evaluate_tensorflow_model>(m);
  m.attr("EVALUATION_FUNC_MAP") = evaluation_func_map(m);
  native::def<&extract_framework_type_from>(m);
  native::def<&evaluate_model>(m);
  native::def<&get_artifact_size_bytes>(m);
}
