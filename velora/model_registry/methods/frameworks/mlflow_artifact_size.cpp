// Part of velora.model_registry.methods.frameworks.mlflow.
// The size of a logged model's artifacts, in S3-compatible storage or on
// local disk.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "mlflow_parts.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace velora::mlflow {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using native::truthy;
using native::utf8;

py::object add(py::handle left, py::handle right) { return native::owned(PyNumber_Add(left.ptr(), right.ptr())); }

bool scheme_is(py::handle url, const char* scheme) {
  const py::object parsed = native::attr<"scheme">(url);
  return PyUnicode_Check(parsed.ptr()) && PyUnicode_CompareWithASCIIString(parsed.ptr(), scheme) == 0;
}

// Since MLflow 3 a logged model keeps its artifacts under a location of its
// own, which ModelInfo.artifact_path then holds as a full URI; before, it was
// a path inside the run's artifacts. (A one-letter scheme is a drive letter.)
bool is_own_location(const native::Frame& call, py::handle artifact_path) {
  if (!PyUnicode_Check(artifact_path.ptr())) return false;
  const py::object scheme = native::attr<"scheme">(call.global<"urlparse">()(artifact_path));
  return py::len(scheme) > 1;
}

// The run's location, "/", the model's path; one slash where they meet.
py::object join_location(py::handle artifact_uri, py::handle artifact_path) {
  // A value that is not text fails here as `+` fails on it.
  const py::object joined = add(add(artifact_uri, py::str("/")), artifact_path);
  if (!PyUnicode_Check(artifact_uri.ptr()) || !PyUnicode_Check(artifact_path.ptr())) return joined;
  std::string_view left = utf8(artifact_uri);
  std::string_view right = utf8(artifact_path);
  if (left.ends_with('/')) left.remove_suffix(1);
  if (right.starts_with('/')) right.remove_prefix(1);
  std::string location(left);
  location += '/';
  location += right;
  return py::str(location);
}

py::object model_location(const native::Frame& call, py::handle artifact_uri, py::handle artifact_path) {
  if (is_own_location(call, artifact_path)) return native::borrowed(artifact_path);
  return join_location(artifact_uri, artifact_path);
}

// Keys under the model's own folder: no leading "/", a closing "/" so that a
// sibling whose name starts the same ("model" and "model-2") is not counted.
py::str key_prefix(py::handle url) {
  std::string_view path = utf8(native::attr<"path">(url));
  while (path.starts_with('/')) path.remove_prefix(1);
  std::string prefix(path);
  if (!prefix.empty() && !prefix.ends_with('/')) prefix += '/';
  return py::str(prefix);
}

// Follows every page of the listing; a prefix with no object gives 0.
py::object s3_size(const native::Frame& call, py::handle registry_data, py::handle url) {
  const py::object client = native::attr<"client">(call.global<"boto3">())(
      "s3", "endpoint_url"_a = native::attr<"storage_url">(registry_data),
      "aws_access_key_id"_a = native::attr<"access_key_id">(registry_data),
      "aws_secret_access_key"_a = native::attr<"secret_access_key">(registry_data));
  const py::object list_objects = native::attr<"list_objects_v2">(client);
  py::dict request("Bucket"_a = native::attr<"netloc">(url), "Prefix"_a = key_prefix(url));
  py::object total = py::int_(0);
  while (true) {
    const py::object response = list_objects(**request);
    const py::object lookup = native::attr<"get">(response);
    for (const py::handle entry : lookup("Contents", py::tuple())) total = add(total, entry["Size"]);
    if (!truthy(lookup("IsTruncated", false))) return py::int_(total);
    request["ContinuationToken"] = response["NextContinuationToken"];
  }
}

py::object local_size(const native::Frame& call, py::handle url) {
  const py::object path = call.global<"url2pathname">()(native::attr<"path">(url));
  const py::object directory = call.global<"Path">()(path);
  py::object total = py::int_(0);
  for (const py::handle entry : native::attr<"glob">(directory)("**/*")) {
    if (truthy(native::attr<"is_file">(entry)())) {
      total = add(total, native::attr<"st_size">(native::attr<"stat">(entry)()));
    }
  }
  return py::int_(total);
}

constexpr native::Signature kGetArtifactSizeBytes{
    "get_artifact_size_bytes",
    {{"run"}, {"model_info"}},
    {"Total size in bytes of the model's artifacts, in the model registry's S3 storage or on\n"
     "local disk.",
     "run: the active MLflow run (None is refused)\n"
     "model_info: the logged model's ModelInfo; its artifact path is under the run's",
     "int: the total size in bytes; 0 when the model has no artifacts",
     "ValueError: no active run, no model registry in the settings, or a run location\n"
     "    that is neither s3:// (with an S3 registry) nor a local path"}};

py::object get_artifact_size_bytes(const native::Call<kGetArtifactSizeBytes>& call) {
  const py::handle run = call.arg<"run">();
  const py::handle model_info = call.arg<"model_info">();
  if (run.is_none()) native::raise(PyExc_ValueError, "not found active run");
  const py::object registry = native::attr<"model_registry">(call.global<"settings">());
  if (registry.is_none() || native::attr<"data">(registry).is_none()) {
    native::raise(PyExc_ValueError, "There are no model registry");
  }
  const py::object registry_data = native::attr<"data">(registry);

  const py::object artifact_uri = native::attr<"artifact_uri">(native::attr<"info">(run));
  const py::object location = model_location(call, artifact_uri, native::attr<"artifact_path">(model_info));
  const py::object url = call.global<"urlparse">()(location);
  if (scheme_is(url, "s3") && native::is_instance(registry_data, call.global<"MLFlowModelRegistryData">())) {
    return s3_size(call, registry_data, url);
  }
  if (scheme_is(url, "file")) return local_size(call, url);
  native::raise(PyExc_ValueError, "unsupported url schema: run.info.artifact_uri=%R", artifact_uri.ptr());
}

}  // namespace

void define_artifact_size(py::module_& m) { native::def<&get_artifact_size_bytes>(m); }

}  // namespace velora::mlflow
