// Small object helpers every module uses.
#pragma once

#include <pybind11/pybind11.h>

namespace velora::native {

namespace py = pybind11;

// Owns a new reference returned by the C API, or throws the error it set.
inline py::object owned(PyObject* created) {
  if (created == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(created);
}

// A new reference to a value held elsewhere.
inline py::object borrowed(py::handle value) { return py::reinterpret_borrow<py::object>(value); }

// bool(value), with the error of __bool__ passed on.
inline bool truthy(py::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

}  // namespace velora::native
