#include "velora_native/function.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velora_native/errors.hpp"

namespace velora::native {

namespace {

// What each Kind takes: exactly `type` (any value when it is null), and None when `allows_none`.
constexpr detail::KindRule kRules[] = {
    {nullptr, Kind::Any, true},        {&PyUnicode_Type, Kind::Str, false}, {&PyUnicode_Type, Kind::OptStr, true},
    {&PyLong_Type, Kind::Int, false},  {&PyLong_Type, Kind::OptInt, true},  {nullptr, Kind::Bool, true},
    {&PyList_Type, Kind::List, false}, {&PyList_Type, Kind::OptList, true}, {&PyDict_Type, Kind::Dict, false},
};

std::string text_signature(const detail::CompiledSignature& signature) {
  std::string line;
  for (const detail::CompiledParam& param : signature.params) {
    line += (line.empty() ? "" : ", ") + std::string(param.c_name);
    if (param.fallback != nullptr) line += "=" + py::repr(param.fallback).cast<std::string>();
  }
  return signature.name + "(" + line + ")";
}

// The docstring in the SDK's layout (see Doc).
std::string laid_out(const Doc& doc) {
  std::string text = doc.summary;
  const std::pair<const char*, const char*> sections[] = {
      {"Args:", doc.args}, {"Returns:", doc.returns}, {"Raises:", doc.raises}};
  for (const auto& [heading, lines] : sections) {
    if (lines == nullptr) continue;
    text += std::string("\n\n") + heading + "\n    ";
    for (const char c : std::string_view(lines)) {
      text += c;
      if (c == '\n') text += "    ";
    }
  }
  return doc.args == nullptr ? text : text + "\n";
}

// "f() takes exactly 3 positional arguments (1 given)" and its variants.
[[noreturn]] void raise_arity(const detail::CompiledSignature& signature, Py_ssize_t given) {
  const auto most = static_cast<Py_ssize_t>(signature.params.size());
  if (most == 0) {
    raise(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", signature.name.c_str(), given);
  }
  const auto least = static_cast<Py_ssize_t>(signature.required);
  const Py_ssize_t expected = given < least ? least : most;
  const char* bound = least == most ? "exactly" : (given < least ? "at least" : "at most");
  raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name.c_str(), bound,
        expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const detail::CompiledSignature& signature, PyObject* keyword) {
  const auto count = static_cast<Py_ssize_t>(signature.params.size());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (signature.params[i].name == keyword) return i;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyUnicode_Compare(signature.params[i].name, keyword) == 0) return i;
  }
  return -1;
}

// Places positional and keyword arguments into their slots, in the order
// of checks callers see: surplus positionals, then a missing required
// argument, then an unknown or repeated keyword.
using Slots = std::array<PyObject*, kMaxParams>;  // borrowed from the caller or the signature
// Values made by conversion; rarely any, so nothing is made for them until one is.
using Converted = std::vector<py::object>;

void bind_arguments(const detail::CompiledSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& slots) {
  const auto count = static_cast<Py_ssize_t>(signature.params.size());
  if (nargs > count) raise_arity(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  PyObject* bad_keyword = nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nkw > 0 && count == 0) raise(PyExc_TypeError, "%s() takes no keyword arguments", signature.name.c_str());
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = find_param(signature, keyword);
    if (index >= nargs) slots[index] = args[nargs + k];
    if (index < nargs && bad_keyword == nullptr) bad_keyword = keyword;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (slots[i] != nullptr) continue;
    PyObject* fallback = signature.params[i].fallback;
    if (fallback == nullptr) raise_arity(signature, i);
    slots[i] = fallback;
  }
  if (bad_keyword != nullptr) {
    raise(PyExc_TypeError,
          find_param(signature, bad_keyword) >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                                  : "%s() got an unexpected keyword argument '%U'",
          signature.name.c_str(), bad_keyword);
  }
}

// Checks one argument; a converted value replaces it in `slot` and is kept in `converted`.
void check_argument(const detail::CompiledParam& param, PyObject*& slot, Converted& converted) {
  const detail::KindRule& rule = param.rule;
  // A Bool takes any value (its type is null), by its truth.
  if (rule.kind == Kind::Bool) slot = truthy(slot) ? Py_True : Py_False;
  if (rule.type == nullptr || Py_IS_TYPE(slot, rule.type) || (slot == Py_None && rule.allows_none)) return;
  py::object value = rule.type == &PyLong_Type ? int_of(slot) : py::object();
  if (!value) raise_argument_type(param.c_name, rule.type, slot);
  slot = converted.emplace_back(std::move(value)).ptr();
}

}  // namespace

PyObject* default_object(const Default& fallback) {
  using Tag = Default::Tag;
  if (fallback.tag == Tag::Required) return nullptr;
  if (fallback.tag == Tag::Integer) return owned(PyLong_FromLongLong(fallback.integer)).release().ptr();
  return Py_NewRef(fallback.tag == Tag::None ? Py_None : Py_False);
}

py::object Frame::lookup_global(PyObject* name) const {
  PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module_.ptr()), name);
  if (value == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  if (value == nullptr) throw py::error_already_set();
  return borrowed(value);
}

namespace detail {

CompiledSignature compile(const Signature& declared) {
  CompiledSignature signature;
  signature.name = declared.name;
  for (const Param& param : std::span(declared.params, declared.size())) {
    PyObject* name = owned(PyUnicode_InternFromString(param.name)).release().ptr();
    PyObject* fallback = default_object(param.fallback);
    if (fallback == nullptr && signature.required < signature.params.size()) {
      throw std::logic_error("required parameter after an optional one");
    }
    if (fallback == nullptr) ++signature.required;
    const auto rule = std::ranges::find(kRules, param.kind, &detail::KindRule::kind);
    signature.params.push_back({name, param.name, *rule, fallback});
  }
  signature.doc = text_signature(signature) + "\n--\n\n" + laid_out(declared.doc);
  return signature;
}

PyObject* invoke(const CompiledSignature& signature, Runner run, PyObject* module, PyObject* const* args,
                 Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  try {
    Slots slots{};
    Converted made;
    bind_arguments(signature, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
    for (std::size_t i = 0; i < signature.params.size(); ++i) check_argument(signature.params[i], slots[i], made);
    return run(module, slots.data()).release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

py::object make_builtin(PyMethodDef* definition, py::handle module) {
  const py::object name = owned(PyModule_GetNameObject(module.ptr()));
  return owned(PyCFunction_NewEx(definition, module.ptr(), name.ptr()));
}

py::object wrapped(py::object builtin, PyObject* (*wrap)(PyObject*), bool abstract) {
  if (abstract) {
    const py::module_ functools = py::module_::import("functools");
    const py::object forwarder = functools.attr("update_wrapper")(functools.attr("partial")(builtin), builtin);
    builtin = py::module_::import("abc").attr("abstractmethod")(forwarder);
  }
  return owned(wrap(builtin.ptr()));
}

}  // namespace detail

void check_globals(py::module_& module) {
  for (const char* name : detail::globals_read) {
    if (!py::hasattr(module, name)) {
      raise(PyExc_ImportError, "module %R reads the attribute '%s', which it does not define",
            module.attr("__name__").ptr(), name);
    }
  }
}

}  // namespace velora::native
