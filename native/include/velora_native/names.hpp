// Interned Python names, made once per spelling and kept for the process.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

namespace velora::native {

namespace py = pybind11;

// A string literal usable as a template argument: interned<"name">().
template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit on purpose
};

// The interned str for a literal. The reference is never released: like the
// interpreter's own interned names it lives as long as the process.
template <Literal L>
PyObject* interned() {
  static PyObject* const name = PyUnicode_InternFromString(L.text);
  return name;
}

// getattr(obj, "name") through an interned name.
template <Literal L>
py::object attr(py::handle obj) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), interned<L>());
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// hasattr(obj, "name"): only AttributeError means absent.
template <Literal L>
bool has_attr(py::handle obj) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_GetOptionalAttr(obj.ptr(), interned<L>(), &value);
#else
  const int found = _PyObject_LookupAttr(obj.ptr(), interned<L>(), &value);
#endif
  Py_XDECREF(value);
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

}  // namespace velora::native
