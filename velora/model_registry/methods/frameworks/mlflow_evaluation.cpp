// Running a logged model's methods on sample inputs, by the framework that
// logged it.
#include <pybind11/pybind11.h>

#include "mlflow_parts.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/names.hpp"

namespace velora::mlflow {

namespace {

bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// getattr(obj, name) for a name given as a str object.
py::object method_of(py::handle obj, py::handle name) { return native::owned(PyObject_GetAttr(obj.ptr(), name.ptr())); }

// A table sample is handed over as a copy, so that a model that changes its
// input in place leaves the caller's table as it was.
py::object copy_if_table(const native::Call& call, py::handle sample) {
  if (is_instance(sample, native::attr<"DataFrame">(call.global<"pd">()))) {
    return native::attr<"copy">(sample)();
  }
  return py::reinterpret_borrow<py::object>(sample);
}

void verify_method(const native::Call& call, py::handle obj, py::handle method_name) {
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
  const py::tuple values(py::reinterpret_borrow<py::object>(value));
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

py::object check_output(const native::Call& call, py::object output) {
  if (PyList_Check(output.ptr())) output = native::attr<"array">(call.global<"np">())(output);
  if (!truthy(call.global<"is_supported_primitive_class">()(output))) {
    native::raise(PyExc_ValueError,
                  "unsupported outputs_sample: %Ssupported type must be in pd.DataFrame, np.ndarray, pd.Series, str, "
                  "bytes",
                  reinterpret_cast<PyObject*>(Py_TYPE(output.ptr())));
  }
  return output;
}

py::list evaluate_samples(const native::Call& call, const Evaluation& evaluation, py::handle model,
                          py::handle method_name, py::handle samples) {
  py::list outputs;
  for (const py::handle sample : py::iter(py::reinterpret_borrow<py::object>(samples))) {
    outputs.append(check_output(call, evaluation.evaluate(model, method_name, sample)));
  }
  return outputs;
}

}  // namespace

py::object extract_framework_type_from(const native::Call& call) {
  const py::handle model_info = call[0];
  if (py::len(native::attr<"flavors">(model_info)) == 1) {
    return native::attr<"pyfunc">(call.global<"ModelFramework">());
  }
  // Table order decides, not flavor order: a model logged as pytorch and as onnx is evaluated as onnx.
  for (const py::handle framework : call.global<"EVALUATION_FUNC_MAP">()) {
    if (contains(native::attr<"flavors">(model_info), framework)) return py::reinterpret_borrow<py::object>(framework);
  }
  native::raise(PyExc_RuntimeError, "not found framework evaluation class: model_info.flavors=%R",
                native::attr<"flavors">(model_info).ptr());
}

py::object evaluate_model(const native::Call& call) {
  const py::handle model_info = call[0];
  const py::handle inputs_sample = call[1];
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

py::object evaluate_pyfunc_model(const native::Call& call) {
  const py::object unwrapped_model = native::attr<"unwrap_python_model">(call[0])();
  verify_method(call, unwrapped_model, call[1]);
  // The wrapped model's methods take the pyfunc context first; there is none here.
  return method_of(unwrapped_model, call[1])(py::none(), copy_if_table(call, call[2]));
}

py::object evaluate_basis_model(const native::Call& call) {
  return method_of(call[0], call[1])(copy_if_table(call, call[2]));
}

py::object evaluate_onnx_model(const native::Call& call) {
  const py::object backend = import_from("onnxruntime", "backend");
  const py::object get_device = import_from("onnxruntime", "get_device");
  const py::object rep = native::attr<"prepare">(backend)(call[0], get_device());
  verify_method(call, rep, call[1]);
  return method_of(rep, call[1])(call[2]);
}

py::object evaluate_pytorch_model(const native::Call& call) {
  const py::module_ torch = py::module_::import("torch");
  if (call.text(1) == "forward") {
    const py::object result = native::attr<"forward">(call[0])(native::attr<"from_numpy">(torch)(call[2]));
    return native::attr<"numpy">(native::attr<"detach">(result)())();
  }
  return method_of(call[0], call[1])(call[2]);
}

py::object evaluate_tensorflow_model(const native::Call& call) {
  return method_of(call[0], call[1])(call[2])[py::int_(0)];
}

}  // namespace velora::mlflow
