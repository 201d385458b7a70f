// Part of velora.model_registry.methods.frameworks.mlflow.
// Running a logged model's methods on sample inputs, by the framework that
// logged it.
#include <pybind11/pybind11.h>

#include <utility>

#include "mlflow_parts.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace velora::mlflow {

namespace {

namespace py = pybind11;
using native::Kind;
using native::truthy;

bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// getattr(obj, name) for a name given as a str object.
py::object method_of(py::handle obj, py::handle name) { return native::owned(PyObject_GetAttr(obj.ptr(), name.ptr())); }

// A table sample is handed over as a copy, so that a model that changes its
// input in place leaves the caller's table as it was.
py::object copy_if_table(const native::Frame& call, py::handle sample) {
  if (native::is_instance(sample, native::attr<"DataFrame">(call.global<"pd">()))) {
    return native::attr<"copy">(sample)();
  }
  return native::borrowed(sample);
}

void verify_method(const native::Frame& call, py::handle obj, py::handle method_name) {
  py::list names;
  names.append(method_name);
  call.global<"has_method_names">()(obj, names);
}

// `from <module> import <name>`: a submodule of that name is imported too.
py::object import_from(const char* module, const char* name) {
  py::list fromlist;
  fromlist.append(name);
  const py::object imported = native::owned(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
  return imported.attr(name);
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

struct Evaluation {
  bool lazy_verifying_method_names;
  py::object evaluate;
  py::object loader;
};

Evaluation evaluation_of(py::handle entry) {
  const py::tuple triple = unpack(entry, 3);
  return {truthy(triple[0]), triple[1], triple[2]};
}

py::object check_output(const native::Frame& call, py::object output) {
  if (PyList_Check(output.ptr())) output = native::attr<"array">(call.global<"np">())(output);
  if (!truthy(call.global<"is_supported_primitive_class">()(output))) {
    native::raise(PyExc_ValueError,
                  "unsupported outputs_sample: %Ssupported type must be in pd.DataFrame, np.ndarray, pd.Series, str, "
                  "bytes",
                  reinterpret_cast<PyObject*>(Py_TYPE(output.ptr())));
  }
  return output;
}

py::list evaluate_samples(const native::Frame& call, const Evaluation& evaluation, py::handle model,
                          py::handle method_name, py::handle samples) {
  py::list outputs;
  for (const py::handle sample : py::iter(native::borrowed(samples))) {
    outputs.append(check_output(call, evaluation.evaluate(model, method_name, sample)));
  }
  return outputs;
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
    if (contains(native::attr<"flavors">(model_info), framework)) return native::borrowed(framework);
  }
  native::raise(PyExc_RuntimeError, "not found framework evaluation class: model_info.flavors=%R",
                native::attr<"flavors">(model_info).ptr());
}

constexpr native::Signature kEvaluateModel{
    "evaluate_model",
    {{"model_info"}, {"inputs_sample"}},
    {"Load the model with its framework's loader and call each method on each of its samples.\n\n"
     "`inputs_sample` maps method names to lists of samples; the result maps the same names,\n"
     "in the same order, to the outputs in sample order.",
     "model_info: the logged model's ModelInfo\n"
     "inputs_sample: dict from method name to a list of samples (DataFrame, Series,\n"
     "    ndarray, str or bytes)",
     "dict: method name to the list of outputs, one per sample",
     "ValueError: the framework is not one this module evaluates, inputs_sample is not a\n"
     "    dict, or an output is of a type a sample cannot be\n"
     "RuntimeError: the model's framework cannot be told from its flavors\n"
     "AttributeError: the model has no method of a given name"}};

py::object evaluate_model(const native::Call<kEvaluateModel>& call) {
  const py::handle model_info = call.arg<"model_info">();
  const py::handle inputs_sample = call.arg<"inputs_sample">();
  const py::object framework = call.global<"extract_framework_type_from">()(model_info);
  const py::object table = call.global<"EVALUATION_FUNC_MAP">();
  if (!contains(table, framework)) {
    native::raise(PyExc_ValueError, "not supported framework(%S)", native::attr<"keys">(table)().ptr());
  }
  if (!PyDict_Check(inputs_sample.ptr())) native::raise(PyExc_ValueError, "inputs_sample should be a dictionary");

  const Evaluation evaluation = evaluation_of(table[framework]);
  const py::object model = evaluation.loader(native::attr<"model_uri">(model_info));
  if (!evaluation.lazy_verifying_method_names) {
    call.global<"has_method_names">()(model, py::list(native::attr<"keys">(inputs_sample)()));
  }
  py::dict outputs_sample;
  for (const py::handle item : native::attr<"items">(inputs_sample)()) {
    const py::tuple pair = unpack(item, 2);
    outputs_sample[pair[0]] = evaluate_samples(call, evaluation, model, pair[0], pair[1]);
  }
  return outputs_sample;
}

// Every framework's evaluation takes the model, the method's name and one sample.
constexpr native::Param kModel{"model"};
constexpr native::Param kMethodName{"method_name", Kind::Str};
constexpr native::Param kSample{"sample"};

constexpr native::Signature kEvaluatePyfunc{
    "_evaluate_pyfunc_model",
    {kModel, kMethodName, kSample},
    "Call `method_name` of the model a pyfunc model wraps with no context and the sample\n"
    "(a table as a copy)."};

py::object evaluate_pyfunc_model(const native::Call<kEvaluatePyfunc>& call) {
  const py::object unwrapped_model = native::attr<"unwrap_python_model">(call.arg<"model">())();
  verify_method(call, unwrapped_model, call.arg<"method_name">());
  // The wrapped model's methods take the pyfunc context first; there is none here.
  return method_of(unwrapped_model, call.arg<"method_name">())(py::none(), copy_if_table(call, call.arg<"sample">()));
}

constexpr native::Signature kEvaluateBasis{"_evaluate_basis_model",
                                           {kModel, kMethodName, kSample},
                                           "Call `method_name` of the model on the sample (a table as a copy)."};

py::object evaluate_basis_model(const native::Call<kEvaluateBasis>& call) {
  return method_of(call.arg<"model">(), call.arg<"method_name">())(copy_if_table(call, call.arg<"sample">()));
}

constexpr native::Signature kEvaluateOnnx{
    "_evaluate_onnx_model",
    {kModel, kMethodName, kSample},
    "Prepare the ONNX model with onnxruntime's backend and call `method_name` of the prepared model."};

py::object evaluate_onnx_model(const native::Call<kEvaluateOnnx>& call) {
  const py::object backend = import_from("onnxruntime", "backend");
  const py::object get_device = import_from("onnxruntime", "get_device");
  const py::object rep = native::attr<"prepare">(backend)(call.arg<"model">(), get_device());
  verify_method(call, rep, call.arg<"method_name">());
  return method_of(rep, call.arg<"method_name">())(call.arg<"sample">());
}

constexpr native::Signature kEvaluatePytorch{
    "_evaluate_pytorch_model",
    {kModel, kMethodName, kSample},
    "Call `method_name` of the torch module; \"forward\" takes a numpy array and gives one."};

py::object evaluate_pytorch_model(const native::Call<kEvaluatePytorch>& call) {
  const py::module_ torch = py::module_::import("torch");
  if (call.text<"method_name">() == "forward") {
    const py::object result =
        native::attr<"forward">(call.arg<"model">())(native::attr<"from_numpy">(torch)(call.arg<"sample">()));
    return native::attr<"numpy">(native::attr<"detach">(result)())();
  }
  return method_of(call.arg<"model">(), call.arg<"method_name">())(call.arg<"sample">());
}

constexpr native::Signature kEvaluateTensorflow{
    "_evaluate_tensorflow_model",
    {kModel, kMethodName, kSample},
    "Call `method_name` of the TensorFlow model and give the first element of its result."};

py::object evaluate_tensorflow_model(const native::Call<kEvaluateTensorflow>& call) {
  return method_of(call.arg<"model">(), call.arg<"method_name">())(call.arg<"sample">())[py::int_(0)];
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

// Framework to (lazy verification, evaluation function, loader); the order
// decides framework detection.
py::dict evaluation_func_map(py::module_& m) {
  const py::object framework = m.attr("ModelFramework");
  const auto entry = [&m](bool lazy, const char* evaluate, py::object loader) {
    return py::make_tuple(py::bool_(lazy), m.attr(evaluate), std::move(loader));
  };
  py::dict table;
  table[framework.attr("onnx")] =
      entry(true, "_evaluate_onnx_model", py::module_::import("mlflow.onnx").attr("load_model"));
  table[framework.attr("pytorch")] = entry(
      false, "_evaluate_pytorch_model", native::function<&load_model_lazily<"mlflow.pytorch">, kLoadPytorchModel>(m));
  table[framework.attr("pyfunc")] =
      entry(true, "_evaluate_pyfunc_model", py::module_::import("mlflow.pyfunc").attr("load_model"));
  table[framework.attr("sklearn")] =
      entry(false, "_evaluate_basis_model", py::module_::import("mlflow.sklearn").attr("load_model"));
  table[framework.attr("tensorflow")] =
      entry(false, "_evaluate_tensorflow_model",
            native::function<&load_model_lazily<"mlflow.tensorflow">, kLoadTensorflowModel>(m));
  table[framework.attr("xgboost")] =
      entry(false, "_evaluate_basis_model", py::module_::import("mlflow.xgboost").attr("load_model"));
  return table;
}

}  // namespace

void define_evaluation(py::module_& m) {
  native::def<&evaluate_pyfunc_model>(m);
  native::def<&evaluate_basis_model>(m);
  native::def<&evaluate_onnx_model>(m);
  native::def<&evaluate_pytorch_model>(m);
  native::def<&evaluate_tensorflow_model>(m);
  m.attr("EVALUATION_FUNC_MAP") = evaluation_func_map(m);
  native::def<&extract_framework_type_from>(m);
  native::def<&evaluate_model>(m);
}

}  // namespace velora::mlflow
