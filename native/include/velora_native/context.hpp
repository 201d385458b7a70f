// Python's `with` statement, for C++ bodies.
//
// `with(manager, body)` does what `with manager as value: return body(value)`
// does: __exit__ is called on every way out of the body, with the error when
// one passes; an error raised by __exit__ itself replaces the body's error and
// keeps it as its __context__. Scoping a temporary directory or an open file
// this way releases it on every exit path, with the library's own semantics.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <utility>

#include "velora_native/objects.hpp"

namespace velora::native {

namespace py = pybind11;

namespace detail {

// __exit__ with the error that left the body; true when the manager swallowed it.
inline bool exit_with_error(const py::object& on_exit, const py::error_already_set& error) {
  try {
    return py::bool_(on_exit(or_none(error.type()), or_none(error.value()), or_none(error.trace())));
  } catch (py::error_already_set& raised) {
    if (error.value() && raised.value().ptr() != error.value().ptr()) {
      PyException_SetContext(raised.value().ptr(), error.value().inc_ref().ptr());
    }
    throw;
  }
}

}  // namespace detail

// The body's result, or None when __exit__ swallowed the error.
template <typename Body>
py::object with(py::handle manager, Body&& body) {
  const py::object on_exit = attr<"__exit__">(manager);
  const py::object value = attr<"__enter__">(manager)();
  py::object result;
  try {
    result = std::forward<Body>(body)(value);
  } catch (py::error_already_set& error) {
    if (detail::exit_with_error(on_exit, error)) return py::none();
    throw;
  } catch (...) {
    on_exit(py::none(), py::none(), py::none());
    throw;
  }
  on_exit(py::none(), py::none(), py::none());
  return result;
}

// The imports an optional part of the package brings, run inside
// `velora._extras.needs_extra(extra)`: a missing module is reported naming the extra.
// Called while a module initialises: pybind11 turns a Python error there into a bare
// "initialization failed", but reports a C++ error's text as the ImportError itself.
template <typename Body>
void importing_extra(const char* extra, Body&& body) {
  const py::module_ extras = py::module_::import("velora._extras");
  try {
    with(extras.attr("needs_extra")(extra), [&](const py::object&) {
      std::forward<Body>(body)();
      return py::object();
    });
  } catch (py::error_already_set& error) {
    if (!error.matches(extras.attr("MissingExtraError"))) throw;
    throw std::runtime_error(py::str(error.value()));
  }
}

}  // namespace velora::native
