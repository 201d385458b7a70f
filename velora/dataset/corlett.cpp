// The dataset service client: one function per REST operation on data
// snapshots, in the SDK-token family (sdk_) and the pipeline family
// (internal_). Every request goes through the platform's request object,
// read from the module at call time, and every answer is handed back as is
// once it is known to be a dict or None.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;
using namespace pybind11::literals;
using native::Kind;
using native::kNone;

namespace {

// corlett.<Method>(...), the request object read now; the answer must be a dict or None.
template <native::Literal Method, typename... Args>
py::object request(const native::Frame& call, Args&&... args) {
  return native::expect_dict(native::attr<Method>(call.global<"corlett">())(std::forward<Args>(args)...));
}

// A request body without its None entries, as the platform's helper makes it.
py::object body_without_none(const native::Frame& call, const py::dict& fields) {
  return native::expect_dict(call.global<"exclude_none">()(fields));
}

template <native::Literal Name>
py::object setting(const native::Frame& call) {
  return native::attr<Name>(call.global<"settings">());
}

// The text of `pattern` with str() of each value in its "{}", by position.
// str() and not format(): the two differ for enumerations that mix in str.
py::object path(std::string_view pattern, const std::vector<py::object>& values) {
  py::list parts;
  for (const py::object& value : values) {
    const std::size_t place = pattern.find("{}");
    parts.append(py::str(pattern.data(), place));
    parts.append(native::owned(PyObject_Str(value.ptr())));
    pattern.remove_prefix(place + 2);
  }
  parts.append(py::str(pattern.data(), pattern.size()));
  return native::owned(PyUnicode_Join(py::str().ptr(), parts.ptr()));
}

// The SDK family's paths start with the workspace and the project, the
// internal family's with the project alone; both read at the call.
py::object sdk_path(const native::Frame& call, std::string_view tail, std::initializer_list<py::handle> values = {}) {
  std::vector<py::object> all{setting<"VELORA_WORKSPACE_ID">(call), setting<"VELORA_PROJECT_ID">(call)};
  for (const py::handle value : values) all.push_back(native::borrowed(value));
  return path("/v1/sdk/workspaces/{}/projects/{}/data-snapshots" + std::string(tail), all);
}

py::object internal_path(const native::Frame& call, std::string_view tail,
                         std::initializer_list<py::handle> values = {}) {
  std::vector<py::object> all{setting<"VELORA_PROJECT_ID">(call)};
  for (const py::handle value : values) all.push_back(native::borrowed(value));
  return path("/v1/internal/workspaces/projects/{}/data-snapshots" + std::string(tail), all);
}

// The "Filename" header: standard padded Base64 of the name's UTF-8 bytes, as text.
py::object filename_header(const native::Frame& call, py::handle filename) {
  const py::object utf8 = native::owned(PyUnicode_AsUTF8String(filename.ptr()));
  const py::object encoded = native::attr<"b64encode">(call.global<"base64">())(utf8);
  return native::owned(PyUnicode_FromEncodedObject(encoded.ptr(), "utf-8", "strict"));
}

// --- SDK-token family -------------------------------------------------------

constexpr native::Signature kSdkUploadDataSnapshot{
    "sdk_upload_data_snapshot",
    {{"name", Kind::Str}, {"filename", Kind::Str}, {"binary"}, {"description", Kind::OptStr, kNone}},
    "Using SDK token, upload a new data snapshot in the current project\n\n"
    "The snapshot is created when it does not exist yet, one file is registered\n"
    "for it and `binary` is streamed as that file, named `filename`.\n\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "    filename: name the uploaded file gets\n"
    "    binary: open binary stream of the file's content\n"
    "    description: details of the data snapshot\n"
    "\n"
    "Returns:\n"
    "    dict: the data snapshot's record, with the version the file went into\n"
    "    under \"uploaded_version\"\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    KeyError: the creation answer has no \"id\"\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

// Creates (or reuses) the snapshot, registers one file, then streams it.
py::object sdk_upload_data_snapshot(const native::Call<kSdkUploadDataSnapshot>& call) {
  const py::handle description = call.arg<"description">();
  const py::object created =
      call.global<"sdk_create_data_snapshot">()(call.arg<"name">(), description, py::bool_(true));
  const py::object snapshot_id = native::expect_int(created[native::interned<"id">()]);

  const py::object metadata_path = sdk_path(call, "/{}/upload-metadata", {snapshot_id});
  const py::object metadata = body_without_none(call, py::dict("description"_a = description, "file_count"_a = 1));
  request<"post">(call, "endpoint"_a = metadata_path, "json_data"_a = metadata);

  const py::object upload_path = sdk_path(call, "/{}/upload", {snapshot_id});
  const py::dict headers("Filename"_a = filename_header(call, call.arg<"filename">()));
  return request<"post">(call, "endpoint"_a = upload_path, "data"_a = call.arg<"binary">(), "headers"_a = headers);
}

constexpr native::Signature kSdkCreateDataSnapshot{
    "sdk_create_data_snapshot",
    {{"name", Kind::Str}, {"description", Kind::OptStr, kNone}, {"exist_ok", Kind::Bool, native::kFalse}},
    "Using SDK token, create a new data snapshot in the current project\n\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "    description: details of the data snapshot\n"
    "    exist_ok: whether an existing snapshot of that name is no error\n"
    "\n"
    "Returns:\n"
    "    dict: the data snapshot's record\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_create_data_snapshot(const native::Call<kSdkCreateDataSnapshot>& call) {
  const py::object path = sdk_path(call, "");
  const py::object body =
      body_without_none(call, py::dict("name"_a = call.arg<"name">(), "description"_a = call.arg<"description">(),
                                       "exist_ok"_a = call.arg<"exist_ok">()));
  return request<"post">(call, path, "json_data"_a = body);
}

constexpr native::Signature kSdkGetDataSnapshotByName{
    "sdk_get_data_snapshot_by_name",
    {{"name", Kind::Str}},
    "Using SDK token, get a data snapshot by name.\n\n"
    "Name should be matched exactly\n"
    "\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "\n"
    "Returns:\n"
    "    dict: {\"data_snapshot\": its record, or None when there is none}\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_get_data_snapshot_by_name(const native::Call<kSdkGetDataSnapshotByName>& call) {
  const py::object path = sdk_path(call, "/name");
  return request<"get">(call, path, "params"_a = py::dict("name"_a = call.arg<"name">()));
}

constexpr native::Signature kSdkCreateDataSnapshotVersion{
    "sdk_create_data_snapshot_version",
    {{"data_snapshot_id", Kind::Int}, {"description", Kind::OptStr, kNone}},
    "Using SDK token, create a new data snapshot version.\n"
    "\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    description: details of the version\n"
    "\n"
    "Returns:\n"
    "    dict: the new version's record\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_create_data_snapshot_version(const native::Call<kSdkCreateDataSnapshotVersion>& call) {
  const py::object path = sdk_path(call, "/{}/versions", {call.arg<"data_snapshot_id">()});
  const py::object body = body_without_none(call, py::dict("description"_a = call.arg<"description">()));
  return request<"post">(call, path, "json_data"_a = body);
}

constexpr native::Signature kSdkGetDataSnapshotList{
    "sdk_get_data_snapshot_list",
    {{"page", Kind::Int, native::Default::number(1)}, {"page_size", Kind::Int, native::Default::number(1000)}}};

py::object sdk_get_data_snapshot_list(const native::Call<kSdkGetDataSnapshotList>& call) {
  return request<"get">(call, sdk_path(call, "?page={}&page_size={}", {call.arg<"page">(), call.arg<"page_size">()}));
}

constexpr native::Signature kSdkGetDataSnapshotDetail{"sdk_get_data_snapshot_detail",
                                                      {{"data_snapshot_id", Kind::Int}}};

py::object sdk_get_data_snapshot_detail(const native::Call<kSdkGetDataSnapshotDetail>& call) {
  return request<"get">(call, sdk_path(call, "/{}", {call.arg<"data_snapshot_id">()}));
}

constexpr native::Signature kSdkGetCodeSnippetToUploadTabularDataSnapshot{
    "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
    {{"name", Kind::Str}, {"data", Kind::Str}, {"file_type", Kind::Str}},
    "Get code snippet to upload tabular data snapshot.\n\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "    data: variable name of the data object in the user's code\n"
    "    file_type: file type the data is saved as\n"
    "\n"
    "Returns:\n"
    "    dict: {\"code_snippet\": the code}\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_get_code_snippet_to_upload_tabular_data_snapshot(
    const native::Call<kSdkGetCodeSnippetToUploadTabularDataSnapshot>& call) {
  const py::object path = sdk_path(call, "/tabular/code-snippet");
  const py::dict params("name"_a = call.arg<"name">(), "data"_a = call.arg<"data">(),
                        "file_type"_a = call.arg<"file_type">());
  return request<"get">(call, path, "params"_a = params);
}

constexpr native::Signature kSdkGetCodeSnippetToImportDataSnapshot{
    "sdk_get_code_snippet_to_import_data_snapshot",
    {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}},
    "Get code snippet to import data snapshot.\n"
    "\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    data_snapshot_version_id: id of the version\n"
    "\n"
    "Returns:\n"
    "    dict: {\"code_snippet\": the code}\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_get_code_snippet_to_import_data_snapshot(
    const native::Call<kSdkGetCodeSnippetToImportDataSnapshot>& call) {
  return request<"get">(call, sdk_path(call, "/{}/versions/{}/code-snippet",
                                       {call.arg<"data_snapshot_id">(), call.arg<"data_snapshot_version_id">()}));
}

// --- internal (pipeline) family --------------------------------------------

constexpr native::Signature kInternalCreateDataSnapshot{
    "internal_create_data_snapshot",
    {{"name", Kind::Str}, {"description", Kind::OptStr, kNone}, {"exist_ok", Kind::Bool, native::kFalse}},
    "Without any token, create the new data snapshot in the current project.\n\n"
    "For the internal environment (pipeline): the caller is identified by the\n"
    "user id setting instead of a token.\n"
    "\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "    description: details of the data snapshot\n"
    "    exist_ok: whether an existing snapshot of that name is no error\n"
    "\n"
    "Returns:\n"
    "    dict: the data snapshot's record\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object internal_create_data_snapshot(const native::Call<kInternalCreateDataSnapshot>& call) {
  const py::object path = internal_path(call, "");
  const py::object fields = body_without_none(
      call, py::dict("user_id"_a = setting<"VELORA_USER_ID">(call), "name"_a = call.arg<"name">(),
                     "description"_a = call.arg<"description">(), "exist_ok"_a = call.arg<"exist_ok">()));
  return request<"post">(call, path, "data"_a = fields);
}

constexpr native::Signature kInternalGetDataSnapshotByName{
    "internal_get_data_snapshot_by_name",
    {{"name", Kind::Str}},
    "Without any token, get the data snapshot in the current project.\n\n"
    "For the internal environment (pipeline). Name should be matched exactly\n"
    "\n"
    "Args:\n"
    "    name: name of the data snapshot\n"
    "\n"
    "Returns:\n"
    "    dict: {\"data_snapshot\": its record, or None when there is none}\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object internal_get_data_snapshot_by_name(const native::Call<kInternalGetDataSnapshotByName>& call) {
  const py::object path = internal_path(call, "/name");
  const py::dict params("name"_a = call.arg<"name">(), "user_id"_a = setting<"VELORA_USER_ID">(call));
  return request<"get">(call, path, "params"_a = params);
}

constexpr native::Signature kInternalCreateDataSnapshotVersion{
    "internal_create_data_snapshot_version",
    {{"data_snapshot_id", Kind::Int}, {"description", Kind::OptStr, kNone}},
    "Without any token, create a new data snapshot version.\n\n"
    "For the internal environment (pipeline): the version records the user id\n"
    "and the workflow run it was made in.\n"
    "\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    description: details of the version\n"
    "\n"
    "Returns:\n"
    "    dict: the new version's record\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object internal_create_data_snapshot_version(const native::Call<kInternalCreateDataSnapshotVersion>& call) {
  const py::object path = internal_path(call, "/{}/versions", {call.arg<"data_snapshot_id">()});
  const py::object fields = body_without_none(
      call, py::dict("user_id"_a = setting<"VELORA_USER_ID">(call), "description"_a = call.arg<"description">(),
                     "argo_workflow_run_id"_a = setting<"ARGO_WORKFLOW_RUN_ID">(call)));
  return request<"post">(call, path, "data"_a = fields);
}

constexpr native::Signature kInternalUploadDataSnapshot{
    "internal_upload_data_snapshot",
    {{"name", Kind::Str}, {"binary"}, {"description", Kind::OptStr, kNone}},
    "Without any token, upload the new data snapshot in the current project.\n\n"
    "For the internal environment (pipeline): the fields and the stream go in\n"
    "one multipart request.\n"
    "\n"
    "Args:\n"
    "    name: name of the data snapshot (made when missing)\n"
    "    binary: open binary stream of the file's content; the file keeps the stream's name\n"
    "    description: details of the data snapshot\n"
    "\n"
    "Returns:\n"
    "    dict: {\"data_snapshot\": its record, with the new version under \"uploaded_version\"}\n"
    "\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

// One multipart request: the fields and the stream together.
py::object internal_upload_data_snapshot(const native::Call<kInternalUploadDataSnapshot>& call) {
  const py::object path = internal_path(call, "/sdk");
  const py::object fields =
      body_without_none(call, py::dict("user_id"_a = setting<"VELORA_USER_ID">(call), "name"_a = call.arg<"name">(),
                                       "description"_a = call.arg<"description">(),
                                       "argo_workflow_run_id"_a = setting<"ARGO_WORKFLOW_RUN_ID">(call)));
  const py::dict files("file"_a = call.arg<"binary">());
  return request<"post">(call, "endpoint"_a = path, "data"_a = fields, "files"_a = files);
}

// --- versions and downloads, in both families --------------------------------

constexpr native::Signature kSdkGetDataSnapshotVersions{
    "sdk_get_data_snapshot_versions",
    {{"data_snapshot_id", Kind::Int}},
    "Using SDK token, list every version of a data snapshot, oldest first.\n\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n\n"
    "Returns:\n"
    "    dict: {\"data_snapshot_versions\": [version records]}\n\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object sdk_get_data_snapshot_versions(const native::Call<kSdkGetDataSnapshotVersions>& call) {
  return request<"get">(call, sdk_path(call, "/{}/versions", {call.arg<"data_snapshot_id">()}));
}

constexpr native::Signature kInternalGetDataSnapshotVersions{
    "internal_get_data_snapshot_versions",
    {{"data_snapshot_id", Kind::Int}},
    "Without any token, list every version of a data snapshot, oldest first.\n\n"
    "For the internal environment (pipeline).\n\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n\n"
    "Returns:\n"
    "    dict: {\"data_snapshot_versions\": [version records]}\n\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object internal_get_data_snapshot_versions(const native::Call<kInternalGetDataSnapshotVersions>& call) {
  const py::object path = internal_path(call, "/{}/versions", {call.arg<"data_snapshot_id">()});
  return request<"get">(call, path, "params"_a = py::dict("user_id"_a = setting<"VELORA_USER_ID">(call)));
}

constexpr native::Signature kSdkDownloadDataSnapshotFile{
    "sdk_download_data_snapshot_file",
    {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}, {"filename", Kind::Str}, {"binary"}},
    "Using SDK token, stream a stored file of a data snapshot version into `binary`.\n\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    data_snapshot_version_id: id of the version\n"
    "    filename: name of the stored file, as the version's record gives it\n"
    "    binary: open binary stream the file's bytes are written into\n\n"
    "Returns:\n"
    "    dict: {\"size\": bytes written, \"sha256\": their hex digest}\n\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

// The file name goes as a query value, which the request layer escapes.
py::object sdk_download_data_snapshot_file(const native::Call<kSdkDownloadDataSnapshotFile>& call) {
  const py::object path = sdk_path(call, "/{}/versions/{}/download",
                                   {call.arg<"data_snapshot_id">(), call.arg<"data_snapshot_version_id">()});
  return request<"download">(call, path, call.arg<"binary">(),
                             "params"_a = py::dict("filename"_a = call.arg<"filename">()));
}

constexpr native::Signature kInternalDownloadDataSnapshotFile{
    "internal_download_data_snapshot_file",
    {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}, {"filename", Kind::Str}, {"binary"}},
    "Without any token, stream a stored file of a data snapshot version into `binary`.\n\n"
    "For the internal environment (pipeline).\n\n"
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    data_snapshot_version_id: id of the version\n"
    "    filename: name of the stored file, as the version's record gives it\n"
    "    binary: open binary stream the file's bytes are written into\n\n"
    "Returns:\n"
    "    dict: {\"size\": bytes written, \"sha256\": their hex digest}\n\n"
    "Raises:\n"
    "    TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "    CorlettError: the platform service refused the request or could not be reached\n"};

py::object internal_download_data_snapshot_file(const native::Call<kInternalDownloadDataSnapshotFile>& call) {
  const py::object path = internal_path(call, "/{}/versions/{}/download",
                                        {call.arg<"data_snapshot_id">(), call.arg<"data_snapshot_version_id">()});
  const py::dict params("filename"_a = call.arg<"filename">(), "user_id"_a = setting<"VELORA_USER_ID">(call));
  return request<"download">(call, path, call.arg<"binary">(), "params"_a = params);
}

}  // namespace

VELORA_MODULE(corlett, m,
              "The dataset service client: sdk_* functions use the SDK token, internal_* the pipeline's "
              "credential.") {
  native::bind_from(m, "typing", {"Any", "BinaryIO", "Dict", "Optional"});
  m.attr("base64") = py::module_::import("base64");
  native::bind_from(m, "velora.settings", {"settings"});
  native::bind_from(m, "velora.common.corlett", {"corlett"});
  native::bind_from(m, "velora.common.utils", {"exclude_none"});
  m.attr("REQUEST_TIMEOUT") = py::int_(10);

  native::def<&sdk_upload_data_snapshot>(m);
  native::def<&sdk_create_data_snapshot>(m);
  native::def<&sdk_get_data_snapshot_by_name>(m);
  native::def<&sdk_create_data_snapshot_version>(m);
  native::def<&sdk_get_data_snapshot_list>(m);
  native::def<&sdk_get_data_snapshot_detail>(m);
  native::def<&sdk_get_code_snippet_to_upload_tabular_data_snapshot>(m);
  native::def<&sdk_get_code_snippet_to_import_data_snapshot>(m);
  native::def<&internal_create_data_snapshot>(m);
  native::def<&internal_get_data_snapshot_by_name>(m);
  native::def<&internal_create_data_snapshot_version>(m);
  native::def<&internal_upload_data_snapshot>(m);
  native::def<&sdk_get_data_snapshot_versions>(m);
  native::def<&internal_get_data_snapshot_versions>(m);
  native::def<&sdk_download_data_snapshot_file>(m);
  native::def<&internal_download_data_snapshot_file>(m);
}
