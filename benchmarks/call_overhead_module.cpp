// Three functions of the same three-parameter signature, bound three ways,
// for benchmarks/bench_call_overhead.py.
#include <pybind11/pybind11.h>

#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::Kind;

namespace {

constexpr native::Signature kNative{
    "native",
    {{"name", Kind::Str}, {"description", Kind::OptStr, native::kNone}, {"exist_ok", Kind::Bool, native::kFalse}}};

py::object native_body(const native::Call<kNative>& call) { return native::borrowed(call.arg<"name">()); }

py::object args_body(const py::args& args, const py::kwargs& kwargs) {
  if (args.size() > 0) return args[0];
  return kwargs["name"];
}

}  // namespace

PYBIND11_MODULE(call_overhead, m) {
  native::def<&native_body>(m);
  m.def("pybind_args", &args_body);
}
