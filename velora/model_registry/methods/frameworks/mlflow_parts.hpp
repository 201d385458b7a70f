// The parts of velora.model_registry.methods.frameworks.mlflow: each
// translation unit defines its functions on the module.
#pragma once

#include <pybind11/pybind11.h>

namespace velora::mlflow {

void define_evaluation(pybind11::module_& m);     // mlflow_evaluation.cpp
void define_artifact_size(pybind11::module_& m);  // mlflow_artifact_size.cpp

}  // namespace velora::mlflow
