// The dataset service client: one function per REST operation on data
// snapshots, in the SDK-token family (sdk_) and the pipeline family
// (internal_). An operation both families offer has one body, run under
// each family's data. Every request goes through the platform's request
// object, read from the module at call time, and every answer is handed
// back as is once it is known to be a dict or None.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;
using namespace pybind11::literals;
using native::Kind;
using native::kNone;

namespace {

// How the two families differ. The SDK family's caller is named by the token
// the request object sends; the pipeline family has none, so the user id
// setting goes in every query and body, and no workspace in the path.
struct Family {
  std::string_view base;  // the path before the operation's own part
  const char* body;       // the request keyword a body goes under: JSON or form fields
  bool pipeline;
};

constexpr Family kSdk{"/v1/sdk/workspaces/%s/projects/%s/data-snapshots", "json_data", false};
constexpr Family kPipeline{"/v1/internal/workspaces/projects/%s/data-snapshots", "data", true};

// --- docstrings ---------------------------------------------------------------

// The texts as one, for a docstring made of shared parts.
template <native::Literal... Parts>
inline constexpr auto joined = [] {
  std::array<char, (sizeof(Parts.text) + ... + 1) - sizeof...(Parts)> text{};
  char* out = text.data();
  ((out = std::copy_n(Parts.text, sizeof(Parts.text) - 1, out)), ...);
  return text;
}();

constexpr native::Literal kRaises =
    "TypeError: an argument of the wrong type, or an answer that is not a dict\n"
    "CorlettError: the platform service refused the request or could not be reached";

// An operation both families offer, as each family's member: the name with
// the family's prefix, and the summary (the pipeline's own, where it has one)
// between the family's lead and note.
template <native::Literal Name, const native::Signature& Params, native::Literal Summary, native::Literal Args,
          native::Literal Returns, native::Literal PipelineSummary = Summary>
struct Operation {
  // Params under the member's name and docstring.
  template <native::Literal Prefix, native::Literal Lead, native::Literal Text, native::Literal Note = "">
  static constexpr native::Signature member() {
    native::Signature own = Params;
    own.name = joined<Prefix, Name>.data();
    own.doc = {joined<Lead, Text, Note>.data(), Args.text, Returns.text, kRaises.text};
    return own;
  }

  static constexpr native::Signature sdk = member<"sdk_", "Using SDK token, ", Summary>();
  static constexpr native::Signature pipeline =
      member<"internal_", "Without any token, ", PipelineSummary,
             "\n\nFor the internal environment (pipeline): the caller is identified by the\n"
             "user id setting instead of a token.">();
};

// --- requests ---------------------------------------------------------------

// corlett.<Method>(...), the request object read now; the answer must be a dict or None.
template <native::Literal Method, typename... Args>
py::object request(const native::Frame& call, Args&&... args) {
  return native::expect_dict(native::attr<Method>(call.global<"corlett">())(std::forward<Args>(args)...));
}

// The family's path with `tail`, each "%s" filled by position: the workspace
// (SDK family) and the project, read at the call, then `values`. %s shows a
// value as str() does, not format(): the two differ for enumerations that mix in str.
py::object family_path(const native::Frame& call, const Family& family, std::string_view tail,
                       std::initializer_list<py::handle> values = {}) {
  const py::object settings = call.global<"settings">();
  py::list all;
  if (!family.pipeline) all.append(native::attr<"VELORA_WORKSPACE_ID">(settings));
  all.append(native::attr<"VELORA_PROJECT_ID">(settings));
  for (const py::handle value : values) all.append(value);
  const py::str pattern(std::string(family.base) + std::string(tail));
  return native::owned(PyUnicode_Format(pattern.ptr(), py::tuple(all).ptr()));
}

// A request body without its None entries, as the platform's helper makes it.
// The pipeline family names the caller first and, for what makes a version,
// the workflow run last.
py::object body(const native::Frame& call, const Family& family, const py::dict& fields, bool makes_version = false) {
  const py::object settings = call.global<"settings">();
  py::dict all;
  if (family.pipeline) all["user_id"] = native::attr<"VELORA_USER_ID">(settings);
  if (PyDict_Update(all.ptr(), fields.ptr()) < 0) throw py::error_already_set();
  if (family.pipeline && makes_version) all["argo_workflow_run_id"] = native::attr<"ARGO_WORKFLOW_RUN_ID">(settings);
  return native::expect_dict(call.global<"exclude_none">()(all));
}

// A POST of the family's body to `path`.
py::object post(const native::Frame& call, const Family& family, py::handle path, const py::dict& fields,
                bool makes_version = false) {
  return request<"post">(call, path, py::arg(family.body) = body(call, family, fields, makes_version));
}

// corlett.<Method>(*args, params=params): the pipeline family adds the user id
// last; an empty query is not sent.
template <native::Literal Method, typename... Args>
py::object query(const native::Frame& call, const Family& family, py::dict params, Args&&... args) {
  if (family.pipeline) params["user_id"] = native::attr<"VELORA_USER_ID">(call.global<"settings">());
  if (params.empty()) return request<Method>(call, std::forward<Args>(args)...);
  return request<Method>(call, std::forward<Args>(args)..., "params"_a = params);
}

// A GET of the family's path with `Tail` filled by the arguments named.
template <const native::Signature& S, const Family& F, native::Literal Tail, native::Literal... Args>
py::object get_path(const native::Call<S>& call) {
  return query<"get">(call, F, py::dict(), family_path(call, F, Tail.text, {call.template arg<Args>()...}));
}

// A GET of the family's path with `Tail`, the arguments named as its query.
template <const native::Signature& S, const Family& F, native::Literal Tail, native::Literal... Args>
py::object get_query(const native::Call<S>& call) {
  py::dict params;
  ((params[Args.text] = call.template arg<Args>()), ...);
  return query<"get">(call, F, params, family_path(call, F, Tail.text));
}

// The "Filename" header: standard padded Base64 of the name's UTF-8 bytes, as text.
py::object filename_header(const native::Frame& call, py::handle filename) {
  const py::object utf8 = native::owned(PyUnicode_AsUTF8String(filename.ptr()));
  const py::object encoded = native::attr<"b64encode">(call.global<"base64">())(utf8);
  return native::owned(PyUnicode_FromEncodedObject(encoded.ptr(), "utf-8", "strict"));
}

// --- operations of both families ----------------------------------------------

constexpr native::Signature kCreateDataSnapshot{
    "create_data_snapshot",
    {{"name", Kind::Str}, {"description", Kind::OptStr, kNone}, {"exist_ok", Kind::Bool, native::kFalse}}};
using CreateDataSnapshot =
    Operation<"create_data_snapshot", kCreateDataSnapshot, "create a new data snapshot in the current project.",
              "name: name of the data snapshot\n"
              "description: details of the data snapshot\n"
              "exist_ok: whether an existing snapshot of that name is no error",
              "dict: the data snapshot's record", "create the new data snapshot in the current project.">;

template <const Family& F>
py::object create_data_snapshot(const native::Call<kCreateDataSnapshot>& call) {
  return post(call, F, family_path(call, F, ""),
              py::dict("name"_a = call.arg<"name">(), "description"_a = call.arg<"description">(),
                       "exist_ok"_a = call.arg<"exist_ok">()));
}

constexpr native::Signature kGetDataSnapshotByName{"get_data_snapshot_by_name", {{"name", Kind::Str}}};
using GetDataSnapshotByName =
    Operation<"get_data_snapshot_by_name", kGetDataSnapshotByName,
              "get a data snapshot by name.\n\nName should be matched exactly.", "name: name of the data snapshot",
              "dict: {\"data_snapshot\": its record, or None when there is none}",
              "get the data snapshot in the current project.\n\nName should be matched exactly.">;

constexpr native::Signature kCreateDataSnapshotVersion{
    "create_data_snapshot_version", {{"data_snapshot_id", Kind::Int}, {"description", Kind::OptStr, kNone}}};
using CreateDataSnapshotVersion =
    Operation<"create_data_snapshot_version", kCreateDataSnapshotVersion, "create a new data snapshot version.",
              "data_snapshot_id: id of the data snapshot\n"
              "description: details of the version",
              "dict: the new version's record",
              "create a new data snapshot version.\n\nThe version also records the workflow run it was made in.">;

template <const Family& F>
py::object create_data_snapshot_version(const native::Call<kCreateDataSnapshotVersion>& call) {
  const py::object path = family_path(call, F, "/%s/versions", {call.arg<"data_snapshot_id">()});
  return post(call, F, path, py::dict("description"_a = call.arg<"description">()), true);
}

constexpr native::Signature kGetDataSnapshotVersions{"get_data_snapshot_versions", {{"data_snapshot_id", Kind::Int}}};
using GetDataSnapshotVersions =
    Operation<"get_data_snapshot_versions", kGetDataSnapshotVersions,
              "list every version of a data snapshot, oldest first.", "data_snapshot_id: id of the data snapshot",
              "dict: {\"data_snapshot_versions\": [version records]}">;

constexpr native::Signature kDownloadDataSnapshotFile{
    "download_data_snapshot_file",
    {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}, {"filename", Kind::Str}, {"binary"}}};
using DownloadDataSnapshotFile = Operation<"download_data_snapshot_file", kDownloadDataSnapshotFile,
                                           "stream a stored file of a data snapshot version into `binary`.",
                                           "data_snapshot_id: id of the data snapshot\n"
                                           "data_snapshot_version_id: id of the version\n"
                                           "filename: name of the stored file, as the version's record gives it\n"
                                           "binary: open binary stream the file's bytes are written into",
                                           "dict: {\"size\": bytes written, \"sha256\": their hex digest}">;

// The file name goes as a query value, which the request layer escapes.
template <const Family& F>
py::object download_data_snapshot_file(const native::Call<kDownloadDataSnapshotFile>& call) {
  const py::object path = family_path(call, F, "/%s/versions/%s/download",
                                      {call.arg<"data_snapshot_id">(), call.arg<"data_snapshot_version_id">()});
  return query<"download">(call, F, py::dict("filename"_a = call.arg<"filename">()), path, call.arg<"binary">());
}

// --- uploads, one per family --------------------------------------------------

constexpr native::Signature kSdkUploadDataSnapshot{
    "sdk_upload_data_snapshot",
    {{"name", Kind::Str}, {"filename", Kind::Str}, {"binary"}, {"description", Kind::OptStr, kNone}},
    {"Using SDK token, upload a new data snapshot in the current project.\n\n"
     "The snapshot is created when it does not exist yet, one file is registered\n"
     "for it and `binary` is streamed as that file, named `filename`.",
     "name: name of the data snapshot\n"
     "filename: name the uploaded file gets\n"
     "binary: open binary stream of the file's content\n"
     "description: details of the data snapshot",
     "dict: the data snapshot's record, with the version the file went into\n"
     "under \"uploaded_version\"",
     "TypeError: an argument of the wrong type, or an answer that is not a dict\n"
     "KeyError: the creation answer has no \"id\"\n"
     "CorlettError: the platform service refused the request or could not be reached"}};

// Creates (or reuses) the snapshot, registers one file, then streams it.
py::object sdk_upload_data_snapshot(const native::Call<kSdkUploadDataSnapshot>& call) {
  const py::handle description = call.arg<"description">();
  const py::object created =
      call.global<"sdk_create_data_snapshot">()(call.arg<"name">(), description, py::bool_(true));
  const py::object snapshot_id = native::expect_int(created[native::interned<"id">()]);

  const py::object metadata_path = family_path(call, kSdk, "/%s/upload-metadata", {snapshot_id});
  const py::object metadata = body(call, kSdk, py::dict("description"_a = description, "file_count"_a = 1));
  request<"post">(call, "endpoint"_a = metadata_path, "json_data"_a = metadata);

  const py::object upload_path = family_path(call, kSdk, "/%s/upload", {snapshot_id});
  const py::dict headers("Filename"_a = filename_header(call, call.arg<"filename">()));
  return request<"post">(call, "endpoint"_a = upload_path, "data"_a = call.arg<"binary">(), "headers"_a = headers);
}

constexpr native::Signature kInternalUploadDataSnapshot{
    "internal_upload_data_snapshot",
    {{"name", Kind::Str}, {"binary"}, {"description", Kind::OptStr, kNone}},
    {"Without any token, upload the new data snapshot in the current project.\n\n"
     "For the internal environment (pipeline): the fields and the stream go in\n"
     "one multipart request.",
     "name: name of the data snapshot (made when missing)\n"
     "binary: open binary stream of the file's content; the file keeps the stream's name\n"
     "description: details of the data snapshot",
     "dict: {\"data_snapshot\": its record, with the new version under \"uploaded_version\"}", kRaises.text}};

// One multipart request: the fields and the stream together.
py::object internal_upload_data_snapshot(const native::Call<kInternalUploadDataSnapshot>& call) {
  const py::object fields =
      body(call, kPipeline, py::dict("name"_a = call.arg<"name">(), "description"_a = call.arg<"description">()), true);
  return request<"post">(call, "endpoint"_a = family_path(call, kPipeline, "/sdk"), "data"_a = fields,
                         "files"_a = py::dict("file"_a = call.arg<"binary">()));
}

// --- the SDK family's listings and snippets -----------------------------------

constexpr native::Signature kSdkGetDataSnapshotList{
    "sdk_get_data_snapshot_list",
    {{"page", Kind::Int, native::Default::number(1)}, {"page_size", Kind::Int, native::Default::number(1000)}}};

constexpr native::Signature kSdkGetDataSnapshotDetail{"sdk_get_data_snapshot_detail",
                                                      {{"data_snapshot_id", Kind::Int}}};

constexpr native::Signature kSdkGetCodeSnippetToUploadTabularDataSnapshot{
    "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
    {{"name", Kind::Str}, {"data", Kind::Str}, {"file_type", Kind::Str}},
    {"Get code snippet to upload tabular data snapshot.",
     "name: name of the data snapshot\n"
     "data: variable name of the data object in the user's code\n"
     "file_type: file type the data is saved as",
     "dict: {\"code_snippet\": the code}", kRaises.text}};

constexpr native::Signature kSdkGetCodeSnippetToImportDataSnapshot{
    "sdk_get_code_snippet_to_import_data_snapshot",
    {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}},
    {"Get code snippet to import data snapshot.",
     "data_snapshot_id: id of the data snapshot\n"
     "data_snapshot_version_id: id of the version",
     "dict: {\"code_snippet\": the code}", kRaises.text}};

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
  native::def<&create_data_snapshot<kSdk>, CreateDataSnapshot::sdk>(m);
  native::def<&get_query<kGetDataSnapshotByName, kSdk, "/name", "name">, GetDataSnapshotByName::sdk>(m);
  native::def<&create_data_snapshot_version<kSdk>, CreateDataSnapshotVersion::sdk>(m);
  native::def<&get_path<kSdkGetDataSnapshotList, kSdk, "?page=%s&page_size=%s", "page", "page_size">>(m);
  native::def<&get_path<kSdkGetDataSnapshotDetail, kSdk, "/%s", "data_snapshot_id">>(m);
  native::def<&get_query<kSdkGetCodeSnippetToUploadTabularDataSnapshot, kSdk, "/tabular/code-snippet", "name", "data",
                         "file_type">>(m);
  native::def<&get_path<kSdkGetCodeSnippetToImportDataSnapshot, kSdk, "/%s/versions/%s/code-snippet",
                        "data_snapshot_id", "data_snapshot_version_id">>(m);
  native::def<&create_data_snapshot<kPipeline>, CreateDataSnapshot::pipeline>(m);
  native::def<&get_query<kGetDataSnapshotByName, kPipeline, "/name", "name">, GetDataSnapshotByName::pipeline>(m);
  native::def<&create_data_snapshot_version<kPipeline>, CreateDataSnapshotVersion::pipeline>(m);
  native::def<&internal_upload_data_snapshot>(m);
  native::def<&get_path<kGetDataSnapshotVersions, kSdk, "/%s/versions", "data_snapshot_id">,
              GetDataSnapshotVersions::sdk>(m);
  native::def<&get_path<kGetDataSnapshotVersions, kPipeline, "/%s/versions", "data_snapshot_id">,
              GetDataSnapshotVersions::pipeline>(m);
  native::def<&download_data_snapshot_file<kSdk>, DownloadDataSnapshotFile::sdk>(m);
  native::def<&download_data_snapshot_file<kPipeline>, DownloadDataSnapshotFile::pipeline>(m);
}
