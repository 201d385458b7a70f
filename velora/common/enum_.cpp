// The string enumeration base: members declared with auto() are the
// strings of their own names and print as those names.
#include <pybind11/pybind11.h>

#include "velora_native/classes.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::Kind;

namespace {

py::object generate_next_value(const native::Call& call) { return py::reinterpret_borrow<py::object>(call[0]); }

// __repr__ and __str__ both give the name; each binding needs its own body.
py::object member_repr(const native::Call& call) { return native::attr<"name">(call[0]); }
py::object member_str(const native::Call& call) { return native::attr<"name">(call[0]); }

py::object has_value(const native::Call& call) {
  const py::object values = native::attr<"_value2member_map_">(call[0]);
  const int found = PySequence_Contains(values.ptr(), call[1].ptr());
  if (found < 0) throw py::error_already_set();
  return py::bool_(found == 1);
}

}  // namespace

PYBIND11_MODULE(enum_, m) {
  const py::module_ enum_module = py::module_::import("enum");
  const py::module_ typing = py::module_::import("typing");
  m.attr("Enum") = enum_module.attr("Enum");
  m.attr("auto") = enum_module.attr("auto");
  m.attr("Any") = typing.attr("Any");
  m.attr("List") = typing.attr("List");
  m.attr("_") = m.attr("auto");

  const py::tuple bases = py::make_tuple(native::type_object(&PyUnicode_Type), m.attr("Enum"));
  m.attr("StrEnum") =
      native::ClassBuilder(m, "StrEnum", bases)
          .doc(
              "Enum mixin for using auto(): a member declared with auto() gets its own name as value.\n\n"
              "Members are plain strings equal to their values and print as their names.")
          .staticmethod<&generate_next_value>(
              {"_generate_next_value_",
               {{"name", Kind::Str}, {"start", Kind::Int}, {"count", Kind::Int}, {"last_values", Kind::List}},
               "Give a member declared with auto() its own name as value."})
          .method<&member_repr>({"__repr__", {{"self"}}, "The member's name, bare."})
          .method<&member_str>({"__str__", {{"self"}}, "The member's name."})
          .classmethod<&has_value>({"has_value",
                                    {{"cls"}, {"value", Kind::Str}},
                                    "Whether `value` is the value of one of the members.\n\n"
                                    "    >>> class Color(StrEnum):\n"
                                    "    ...     RED = auto()\n"
                                    "    ...     GREEN = auto()\n"
                                    "    ...     BLUE = auto()\n"
                                    "    >>> Color.has_value(\"RED\")\n"
                                    "    True\n"})
          .build();
}
