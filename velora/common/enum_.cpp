// The string enumeration base: members declared with auto() are the
// strings of their own names and print as those names.
#include <pybind11/pybind11.h>

#include "velora_native/classes.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::Kind;

namespace {

constexpr native::Signature kGenerateNextValue{
    "_generate_next_value_",
    {{"name", Kind::Str}, {"start", Kind::Int}, {"count", Kind::Int}, {"last_values", Kind::List}},
    "Give a member declared with auto() its own name as value."};
py::object generate_next_value(const native::Call<kGenerateNextValue>& call) {
  return native::borrowed(call.arg<"name">());
}

// __repr__ and __str__ both give the name.
constexpr native::Signature kRepr{"__repr__", {{"self"}}, "The member's name, bare."};
constexpr native::Signature kStr{"__str__", {{"self"}}, "The member's name."};
py::object member_name(const native::Call<kRepr>& call) { return native::attr<"name">(call.arg<"self">()); }

constexpr native::Signature kHasValue{
    "has_value",
    {{"cls"}, {"value", Kind::Str}},
    {"Whether `value` is the value of one of the members.\n\n"
     "    >>> class Color(StrEnum):\n"
     "    ...     RED = auto()\n"
     "    ...     GREEN = auto()\n"
     "    ...     BLUE = auto()\n"
     "    >>> Color.has_value(\"RED\")\n"
     "    True",
     "value: the value to look for, exactly a str", "bool: True when a member has that value",
     "TypeError: value is not exactly a str (a member of an enumeration included)"}};
py::object has_value(const native::Call<kHasValue>& call) {
  return py::bool_(native::contains(native::attr<"_value2member_map_">(call.arg<"cls">()), call.arg<"value">()));
}

}  // namespace

VELORA_MODULE(enum_, m, "The string enumeration base, StrEnum.") {
  native::bind_from(m, "enum", {"Enum", "auto"});
  native::bind_from(m, "typing", {"Any", "List"});
  m.attr("_") = m.attr("auto");

  m.attr("StrEnum") =
      native::ClassBuilder(m, "StrEnum", py::make_tuple(native::type_object(&PyUnicode_Type), m.attr("Enum")))
          .doc(
              "Enum mixin for using auto(): a member declared with auto() gets its own name as value.\n\n"
              "Members are plain strings equal to their values and print as their names.")
          .method<&generate_next_value>(PyStaticMethod_New)
          .method<&member_name>()
          .method<&member_name, kStr>()
          .method<&has_value>(PyClassMethod_New)
          .build();
}
