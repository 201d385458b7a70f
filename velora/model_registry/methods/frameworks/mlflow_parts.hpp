// The bodies of velora.model_registry.methods.frameworks.mlflow, by the
// translation unit that holds them; the module file binds them.
#pragma once

#include <pybind11/pybind11.h>

#include "velora_native/function.hpp"
#include "velora_native/objects.hpp"

namespace velora::mlflow {

namespace py = pybind11;

using native::truthy;

// isinstance(value, type), with the type given as any object.
inline bool is_instance(py::handle value, py::handle type) {
  const int found = PyObject_IsInstance(value.ptr(), type.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// mlflow_evaluation.cpp
py::object extract_framework_type_from(const native::Call& call);
py::object evaluate_model(const native::Call& call);
py::object evaluate_pyfunc_model(const native::Call& call);
py::object evaluate_basis_model(const native::Call& call);
py::object evaluate_onnx_model(const native::Call& call);
py::object evaluate_pytorch_model(const native::Call& call);
py::object evaluate_tensorflow_model(const native::Call& call);

// mlflow_artifact_size.cpp
py::object get_artifact_size_bytes(const native::Call& call);

}  // namespace velora::mlflow
