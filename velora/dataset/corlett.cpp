// The dataset service client: one function per REST operation on data
// snapshots, in the SDK-token family (sdk_) and the pipeline family
// (internal_). Every request goes through the platform's request object,
// read from the module at call time, and every answer is handed back as is
// once it is known to be a dict or None.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::Kind;

namespace {

using native::detail::steal_or_throw;

// The keyword names of a call, one tuple per spelling, kept for the process.
template <native::Literal... Names>
PyObject* keyword_names() {
  static PyObject* const names = PyTuple_Pack(sizeof...(Names), native::interned<Names>()...);
  return names;
}

// corlett.<Method>(...): the leading values go by position, the last ones by
// the keywords named. The answer must be a dict or None.
template <native::Literal Method, native::Literal... Keywords, typename... Values>
py::object send(const native::Call& call, const Values&... values) {
  static_assert(sizeof...(Values) >= sizeof...(Keywords));
  const py::object corlett = call.global<"corlett">();
  std::array<PyObject*, sizeof...(Values) + 1> args{corlett.ptr(), py::handle(values).ptr()...};
  PyObject* names = nullptr;
  if constexpr (sizeof...(Keywords) > 0) {
    names = keyword_names<Keywords...>();
    if (names == nullptr) throw py::error_already_set();
  }
  const std::size_t positional = args.size() - sizeof...(Keywords);
  py::object answer = steal_or_throw(PyObject_VectorcallMethod(native::interned<Method>(), args.data(),
                                                               positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
  native::expect_dict(answer);
  return answer;
}

// A dict of the given entries, in order.
template <native::Literal... Keys, typename... Values>
py::dict entries(const Values&... values) {
  static_assert(sizeof...(Keys) == sizeof...(Values));
  py::dict result;
  const std::array<PyObject*, sizeof...(Keys)> keys{native::interned<Keys>()...};
  const std::array<PyObject*, sizeof...(Values)> items{py::handle(values).ptr()...};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (PyDict_SetItem(result.ptr(), keys[i], items[i]) < 0) throw py::error_already_set();
  }
  return result;
}

// A request body without its None entries, as the platform's helper makes it.
py::object body_without_none(const native::Call& call, const py::dict& fields) {
  py::object body = call.global<"exclude_none">()(fields);
  native::expect_dict(body);
  return body;
}

template <native::Literal Name>
py::object setting(const native::Call& call) {
  return native::attr<Name>(call.global<"settings">());
}

// A path template such as "/v1/.../{pid}/data-snapshots/{did}", cut at its
// placeholders when compiled. Its text is ASCII; the values come between the pieces.
// The index of `c` in `text` from `start` on. A plain loop: under GCC's
// -fsanitize=undefined, string_view::find is not a constant expression.
constexpr std::size_t index_of(std::string_view text, char c, std::size_t start) {
  while (start < text.size() && text[start] != c) ++start;
  return start;
}

template <native::Literal Template>
struct PathTemplate {
  static constexpr std::string_view text{Template.text, sizeof(Template.text) - 1};
  static constexpr std::size_t placeholders = std::ranges::count(text, '{');
  static_assert(std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; }));

  static constexpr std::array<std::string_view, placeholders + 1> pieces = [] {
    std::array<std::string_view, placeholders + 1> cut{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < placeholders; ++i) {
      const std::size_t open = index_of(text, '{', start);
      cut[i] = text.substr(start, open - start);
      start = index_of(text, '}', open) + 1;
    }
    cut[placeholders] = text.substr(start);
    return cut;
  }();

  static constexpr std::size_t literal_length = [] {
    std::size_t length = 0;
    for (const std::string_view piece : pieces) length += piece.size();
    return length;
  }();
};

// The text a value takes in a path, as str() gives it. A str is used as it is
// and an int's digits are written here, sparing str()'s signal check and a
// new string for what ids and settings are as a rule.
class PathText {
 public:
  explicit PathText(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
      text_ = py::reinterpret_borrow<py::object>(value);
      return;
    }
    if (PyLong_CheckExact(value.ptr())) {
      int overflow = 0;
      const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
      if (overflow == 0 && !(number == -1 && PyErr_Occurred())) {
        digits_ = {digits_buffer_.data(),
                   static_cast<std::size_t>(
                       std::to_chars(digits_buffer_.data(), digits_buffer_.data() + digits_buffer_.size(), number).ptr -
                       digits_buffer_.data())};
        return;
      }
    }
    text_ = steal_or_throw(PyObject_Str(value.ptr()));
  }
  PathText(const PathText&) = delete;
  PathText& operator=(const PathText&) = delete;

  // ASCII digits, or empty for a text.
  std::string_view digits() const { return digits_; }
  PyObject* text() const { return text_.ptr(); }

  Py_ssize_t length() const {
    return text_ ? PyUnicode_GET_LENGTH(text_.ptr()) : static_cast<Py_ssize_t>(digits_.size());
  }
  Py_UCS4 widest() const { return text_ ? PyUnicode_MAX_CHAR_VALUE(text_.ptr()) : 0x7f; }

 private:
  std::array<char, 24> digits_buffer_;  // holds digits_
  std::string_view digits_;
  py::object text_;
};

// Writes into a new str of known length and width.
class TextWriter {
 public:
  TextWriter(Py_ssize_t length, Py_UCS4 widest)
      : result_(steal_or_throw(PyUnicode_New(length, widest))),
        kind_(PyUnicode_KIND(result_.ptr())),
        data_(PyUnicode_DATA(result_.ptr())) {}

  void ascii(std::string_view text) {
    if (kind_ == PyUnicode_1BYTE_KIND) {
      std::memcpy(static_cast<char*>(data_) + at_, text.data(), text.size());
    } else {
      for (std::size_t i = 0; i < text.size(); ++i) {
        PyUnicode_WRITE(kind_, data_, at_ + static_cast<Py_ssize_t>(i), static_cast<Py_UCS4>(text[i]));
      }
    }
    at_ += static_cast<Py_ssize_t>(text.size());
  }

  void value(const PathText& part) {
    if (part.text() == nullptr) return ascii(part.digits());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(part.text());
    if (PyUnicode_KIND(part.text()) == kind_) {
      std::memcpy(static_cast<char*>(data_) + at_ * kind_, PyUnicode_DATA(part.text()),
                  static_cast<std::size_t>(length) * static_cast<std::size_t>(kind_));
    } else if (PyUnicode_CopyCharacters(result_.ptr(), at_, part.text(), 0, length) < 0) {
      throw py::error_already_set();
    }
    at_ += length;
  }

  py::object result() && { return std::move(result_); }

 private:
  py::object result_;
  int kind_;
  void* data_;
  Py_ssize_t at_ = 0;
};

// The path of a template with the values' texts in its placeholders.
template <native::Literal Template, typename... Values>
py::object fill(const Values&... values) {
  using Path = PathTemplate<Template>;
  static_assert(sizeof...(Values) == Path::placeholders, "one value per placeholder");
  const std::array<PathText, sizeof...(Values)> texts{PathText(py::handle(values))...};
  auto length = static_cast<Py_ssize_t>(Path::literal_length);
  Py_UCS4 widest = 0x7f;
  for (const PathText& text : texts) {
    length += text.length();
    widest = std::max(widest, text.widest());
  }
  TextWriter writer(length, widest);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    writer.ascii(Path::pieces[i]);
    writer.value(texts[i]);
  }
  writer.ascii(Path::pieces.back());
  return std::move(writer).result();
}

// The SDK family's paths start with the workspace and the project, the
// internal family's with the project alone; both read at the call.
template <native::Literal Template, typename... Values>
py::object sdk_path(const native::Call& call, const Values&... values) {
  const py::object settings = call.global<"settings">();
  return fill<Template>(native::attr<"VELORA_WORKSPACE_ID">(settings), native::attr<"VELORA_PROJECT_ID">(settings),
                        values...);
}

template <native::Literal Template, typename... Values>
py::object internal_path(const native::Call& call, const Values&... values) {
  return fill<Template>(setting<"VELORA_PROJECT_ID">(call), values...);
}

// The "Filename" header: standard padded Base64 of the name's UTF-8 bytes, as text.
py::object filename_header(const native::Call& call, py::handle filename) {
  const py::object utf8 = steal_or_throw(PyUnicode_AsUTF8String(filename.ptr()));
  const py::object encoded = native::attr<"b64encode">(call.global<"base64">())(utf8);
  return steal_or_throw(PyUnicode_FromEncodedObject(encoded.ptr(), "utf-8", "strict"));
}

// --- SDK-token family -------------------------------------------------------

py::object sdk_create_data_snapshot(const native::Call& call) {
  const py::object path = sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots">(call);
  const py::object body =
      body_without_none(call, entries<"name", "description", "exist_ok">(call[0], call[1], call[2]));
  return send<"post", "json_data">(call, path, body);
}

py::object sdk_get_data_snapshot_by_name(const native::Call& call) {
  const py::object path = sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/name">(call);
  return send<"get", "params">(call, path, entries<"name">(call[0]));
}

py::object sdk_create_data_snapshot_version(const native::Call& call) {
  const py::object path =
      sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/{did}/versions">(call, call[0]);
  const py::object body = body_without_none(call, entries<"description">(call[1]));
  return send<"post", "json_data">(call, path, body);
}

py::object sdk_get_data_snapshot_list(const native::Call& call) {
  const py::object path =
      sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots?page={page}&page_size={page_size}">(
          call, call[0], call[1]);
  return send<"get">(call, path);
}

py::object sdk_get_data_snapshot_detail(const native::Call& call) {
  const py::object path = sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/{did}">(call, call[0]);
  return send<"get">(call, path);
}

py::object sdk_get_code_snippet_to_upload_tabular_data_snapshot(const native::Call& call) {
  const py::object path = sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/tabular/code-snippet">(call);
  return send<"get", "params">(call, path, entries<"name", "data", "file_type">(call[0], call[1], call[2]));
}

py::object sdk_get_code_snippet_to_import_data_snapshot(const native::Call& call) {
  const py::object path =
      sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/{did}/versions/{vid}/code-snippet">(
          call, call[0], call[1]);
  return send<"get">(call, path);
}

// Creates (or reuses) the snapshot, registers one file, then streams it.
py::object sdk_upload_data_snapshot(const native::Call& call) {
  const py::handle name = call[0];
  const py::handle filename = call[1];
  const py::handle binary = call[2];
  const py::handle description = call[3];

  const py::object created = call.global<"sdk_create_data_snapshot">()(name, description, py::bool_(true));
  const py::object snapshot_id = native::expect_int(created[native::interned<"id">()]);

  const py::object settings = call.global<"settings">();
  const py::object workspace_id = native::attr<"VELORA_WORKSPACE_ID">(settings);
  const py::object project_id = native::attr<"VELORA_PROJECT_ID">(settings);
  const py::object metadata_path =
      fill<"/v1/sdk/workspaces/{workspace_id}/projects/{project_id}/data-snapshots/{data_snapshot_id}/upload-metadata">(
          workspace_id, project_id, snapshot_id);
  const py::object metadata = body_without_none(call, entries<"description", "file_count">(description, py::int_(1)));
  send<"post", "endpoint", "json_data">(call, metadata_path, metadata);

  const py::object upload_path =
      fill<"/v1/sdk/workspaces/{workspace_id}/projects/{project_id}/data-snapshots/{data_snapshot_id}/upload">(
          workspace_id, project_id, snapshot_id);
  const py::dict headers = entries<"Filename">(filename_header(call, filename));
  return send<"post", "endpoint", "data", "headers">(call, upload_path, binary, headers);
}

// --- internal (pipeline) family --------------------------------------------

py::object internal_create_data_snapshot(const native::Call& call) {
  const py::object path = internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots">(call);
  const py::object fields = body_without_none(call, entries<"user_id", "name", "description", "exist_ok">(
                                                        setting<"VELORA_USER_ID">(call), call[0], call[1], call[2]));
  return send<"post", "data">(call, path, fields);
}

py::object internal_get_data_snapshot_by_name(const native::Call& call) {
  const py::object path = internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots/name">(call);
  return send<"get", "params">(call, path, entries<"name", "user_id">(call[0], setting<"VELORA_USER_ID">(call)));
}

py::object internal_create_data_snapshot_version(const native::Call& call) {
  const py::object path =
      internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots/{did}/versions">(call, call[0]);
  const py::object fields =
      body_without_none(call, entries<"user_id", "description", "argo_workflow_run_id">(
                                  setting<"VELORA_USER_ID">(call), call[1], setting<"ARGO_WORKFLOW_RUN_ID">(call)));
  return send<"post", "data">(call, path, fields);
}

// One multipart request: the fields and the stream together.
py::object internal_upload_data_snapshot(const native::Call& call) {
  const py::object path = internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots/sdk">(call);
  const py::object fields = body_without_none(
      call, entries<"user_id", "name", "description", "argo_workflow_run_id">(
                setting<"VELORA_USER_ID">(call), call[0], call[2], setting<"ARGO_WORKFLOW_RUN_ID">(call)));
  const py::dict files = entries<"file">(call[1]);
  return send<"post", "endpoint", "data", "files">(call, path, fields, files);
}

// --- versions and downloads, in both families --------------------------------

py::object sdk_get_data_snapshot_versions(const native::Call& call) {
  return send<"get">(call,
                     sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/{did}/versions">(call, call[0]));
}

py::object internal_get_data_snapshot_versions(const native::Call& call) {
  const py::object path =
      internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots/{did}/versions">(call, call[0]);
  return send<"get", "params">(call, path, entries<"user_id">(setting<"VELORA_USER_ID">(call)));
}

// The file goes as a query value, which the request layer escapes; the answer is what it wrote.
py::object sdk_download_data_snapshot_file(const native::Call& call) {
  const py::object path =
      sdk_path<"/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots/{did}/versions/{vid}/download">(call, call[0],
                                                                                                       call[1]);
  return send<"download", "params">(call, path, call[3], entries<"filename">(call[2]));
}

py::object internal_download_data_snapshot_file(const native::Call& call) {
  const py::object path =
      internal_path<"/v1/internal/workspaces/projects/{pid}/data-snapshots/{did}/versions/{vid}/download">(
          call, call[0], call[1]);
  return send<"download", "params">(call, path, call[3],
                                    entries<"filename", "user_id">(call[2], setting<"VELORA_USER_ID">(call)));
}

void bind_imports(py::module_& m) {
  const py::module_ typing = py::module_::import("typing");
  for (const char* name : {"Any", "BinaryIO", "Dict", "Optional"}) m.attr(name) = typing.attr(name);
  m.attr("base64") = py::module_::import("base64");
  m.attr("settings") = py::module_::import("velora.settings").attr("settings");
  m.attr("corlett") = py::module_::import("velora.common.corlett").attr("corlett");
  m.attr("exclude_none") = py::module_::import("velora.common.utils").attr("exclude_none");
}

void define_sdk_family(py::module_& m) {
  native::def<&sdk_upload_data_snapshot>(
      m, {"sdk_upload_data_snapshot",
          {{"name", Kind::Str}, {"filename", Kind::Str}, {"binary"}, {"description", Kind::OptStr, native::kNone}},
          "Using SDK token, upload a new data snapshot in the current project\n\n"
          "The snapshot is created when it does not exist yet, one file is registered\n"
          "for it and `binary` is streamed as that file, named `filename`.\n\n"
          "Args:\n"
          "    name: name of the data snapshot\n"
          "    filename: name the uploaded file gets\n"
          "    binary: open binary stream of the file's content\n"
          "    description: details of the data snapshot\n"});
  native::def<&sdk_create_data_snapshot>(m, {"sdk_create_data_snapshot",
                                             {{"name", Kind::Str},
                                              {"description", Kind::OptStr, native::kNone},
                                              {"exist_ok", Kind::Bool, native::Default::boolean(false)}},
                                             "Using SDK token, create a new data snapshot in the current project\n\n"
                                             "Args:\n"
                                             "    name: name of the data snapshot\n"
                                             "    description: details of the data snapshot\n"
                                             "    exist_ok: whether an existing snapshot of that name is no error\n"});
  native::def<&sdk_get_data_snapshot_by_name>(m, {"sdk_get_data_snapshot_by_name",
                                                  {{"name", Kind::Str}},
                                                  "Using SDK token, get a data snapshot by name.\n\n"
                                                  "Name should be matched exactly\n"});
  native::def<&sdk_create_data_snapshot_version>(
      m, {"sdk_create_data_snapshot_version",
          {{"data_snapshot_id", Kind::Int}, {"description", Kind::OptStr, native::kNone}},
          "Using SDK token, create a new data snapshot version.\n"});
  native::def<&sdk_get_data_snapshot_list>(
      m, {"sdk_get_data_snapshot_list",
          {{"page", Kind::Int, native::Default::number(1)}, {"page_size", Kind::Int, native::Default::number(1000)}}});
  native::def<&sdk_get_data_snapshot_detail>(m, {"sdk_get_data_snapshot_detail", {{"data_snapshot_id", Kind::Int}}});
  native::def<&sdk_get_code_snippet_to_upload_tabular_data_snapshot>(
      m, {"sdk_get_code_snippet_to_upload_tabular_data_snapshot",
          {{"name", Kind::Str}, {"data", Kind::Str}, {"file_type", Kind::Str}},
          "Get code snippet to upload tabular data snapshot.\n\n"
          "Args:\n"
          "    name: name of the data snapshot\n"
          "    data: variable name of the data object in the user's code\n"
          "    file_type: file type the data is saved as\n"});
  native::def<&sdk_get_code_snippet_to_import_data_snapshot>(
      m, {"sdk_get_code_snippet_to_import_data_snapshot",
          {{"data_snapshot_id", Kind::Int}, {"data_snapshot_version_id", Kind::Int}},
          "Get code snippet to import data snapshot.\n"});
}

void define_internal_family(py::module_& m) {
  native::def<&internal_create_data_snapshot>(
      m, {"internal_create_data_snapshot",
          {{"name", Kind::Str},
           {"description", Kind::OptStr, native::kNone},
           {"exist_ok", Kind::Bool, native::Default::boolean(false)}},
          "Without any token, create the new data snapshot in the current project.\n\n"
          "For the internal environment (pipeline): the caller is identified by the\n"
          "user id setting instead of a token.\n"});
  native::def<&internal_get_data_snapshot_by_name>(
      m, {"internal_get_data_snapshot_by_name",
          {{"name", Kind::Str}},
          "Without any token, get the data snapshot in the current project.\n\n"
          "For the internal environment (pipeline). Name should be matched exactly\n"});
  native::def<&internal_create_data_snapshot_version>(
      m, {"internal_create_data_snapshot_version",
          {{"data_snapshot_id", Kind::Int}, {"description", Kind::OptStr, native::kNone}},
          "Without any token, create a new data snapshot version.\n\n"
          "For the internal environment (pipeline): the version records the user id\n"
          "and the workflow run it was made in.\n"});
  native::def<&internal_upload_data_snapshot>(
      m, {"internal_upload_data_snapshot",
          {{"name", Kind::Str}, {"binary"}, {"description", Kind::OptStr, native::kNone}},
          "Without any token, upload the new data snapshot in the current project.\n\n"
          "For the internal environment (pipeline): the fields and the stream go in\n"
          "one multipart request.\n"});
}

constexpr const char* kDownloadArgs =
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n"
    "    data_snapshot_version_id: id of the version\n"
    "    filename: name of the stored file, as the version's record gives it\n"
    "    binary: open binary stream the file's bytes are written into\n\n"
    "Returns:\n"
    "    dict: {\"size\": bytes written, \"sha256\": their hex digest}\n\n"
    "Raises:\n"
    "    CorlettError: the platform service refused or could not be reached\n";

constexpr const char* kVersionsArgs =
    "Args:\n"
    "    data_snapshot_id: id of the data snapshot\n\n"
    "Returns:\n"
    "    dict: {\"data_snapshot_versions\": [version records]}\n\n"
    "Raises:\n"
    "    CorlettError: the platform service refused or could not be reached\n";

void define_version_reads(py::module_& m) {
  const native::Param snapshot{"data_snapshot_id", Kind::Int};
  const native::Param version{"data_snapshot_version_id", Kind::Int};
  const std::string sdk_versions =
      std::string("Using SDK token, list every version of a data snapshot, oldest first.\n\n") + kVersionsArgs;
  const std::string internal_versions = std::string(
                                            "Without any token, list every version of a data snapshot, oldest "
                                            "first.\n\nFor the internal environment (pipeline).\n\n") +
                                        kVersionsArgs;
  const std::string sdk_download =
      std::string("Using SDK token, stream a stored file of a data snapshot version into `binary`.\n\n") +
      kDownloadArgs;
  const std::string internal_download = std::string(
                                            "Without any token, stream a stored file of a data snapshot version "
                                            "into `binary`.\n\nFor the internal environment (pipeline).\n\n") +
                                        kDownloadArgs;
  native::def<&sdk_get_data_snapshot_versions>(m, {"sdk_get_data_snapshot_versions", {snapshot}, sdk_versions.c_str()});
  native::def<&internal_get_data_snapshot_versions>(
      m, {"internal_get_data_snapshot_versions", {snapshot}, internal_versions.c_str()});
  native::def<&sdk_download_data_snapshot_file>(m, {"sdk_download_data_snapshot_file",
                                                    {snapshot, version, {"filename", Kind::Str}, {"binary"}},
                                                    sdk_download.c_str()});
  native::def<&internal_download_data_snapshot_file>(m, {"internal_download_data_snapshot_file",
                                                         {snapshot, version, {"filename", Kind::Str}, {"binary"}},
                                                         internal_download.c_str()});
}

}  // namespace

PYBIND11_MODULE(corlett, m) {
  bind_imports(m);
  m.attr("REQUEST_TIMEOUT") = py::int_(10);
  define_sdk_family(m);
  define_internal_family(m);
  define_version_reads(m);
}
