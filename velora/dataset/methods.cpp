// The user-facing dataset operations: saving a table or an array as a new
// dataset, creating datasets and versions, looking them up, the service's
// code snippets, and mounting the project's dataset storage through rclone.
//
// Each service operation finds out which workload it runs in and calls the
// client family that fits it: the SDK-token one in a development instance,
// the internal one in a pipeline run. Every imported name is read from the
// module at call time, so that patching it there takes effect.
#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "velora_native/context.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"
#include "velora_native/objects.hpp"

namespace native = velora::native;
namespace py = pybind11;
using namespace pybind11::literals;
using native::Frame;
using native::Kind;

namespace {

constexpr Py_ssize_t kMaxDescription = 100;

// cls(**mapping), with the message a call with keyword expansion gives for a non-mapping.
py::object from_mapping(py::handle cls, py::handle mapping) {
  if (!PyDict_Check(mapping.ptr()) && !native::optional_attr<"keys">(mapping)) {
    native::raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", native::type_name(mapping));
  }
  return cls(**native::owned(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping.ptr())));
}

// [cls(**mapping) for mapping in mappings]
py::list each_from_mapping(py::handle cls, py::handle mappings) {
  py::list records;
  for (const py::handle mapping : mappings) records.append(from_mapping(cls, mapping));
  return records;
}

// A service result declared as a dict that is read further: None cannot be.
py::object expect_readable_dict(py::handle result) {
  if (native::expect_dict(result).is_none()) {
    native::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
  }
  return native::borrowed(result);
}

// dict.get("key", fallback)
template <native::Literal Key>
py::object entry(py::handle dictionary, py::handle fallback = py::none()) {
  return native::attr<"get">(dictionary)(py::handle(native::interned<Key>()), fallback);
}

// dict.get("key", []), declared a list.
template <native::Literal Key>
py::object list_entry(py::handle dictionary) {
  return native::expect_exact(entry<Key>(dictionary, py::list()), &PyList_Type);
}

py::object open_file(py::handle path, const char* mode) { return py::module_::import("io").attr("open")(path, mode); }

// --- the workload dispatch frame -------------------------------------------

enum class Workload { dev_instance, pipeline, other };

py::object inspect_workload(const Frame& call) {
  py::object workload_type = call.global<"inspect_workload_type">()();
  if (workload_type.is_none()) native::raise(PyExc_ValueError, "Unable to inspect workload type");
  return workload_type;
}

Workload classify(const Frame& call, py::handle workload_type) {
  const py::object types = call.global<"WorkloadType">();
  if (workload_type.equal(native::attr<"dev_instance">(types))) return Workload::dev_instance;
  if (workload_type.equal(native::attr<"pipeline">(types))) return Workload::pipeline;
  return Workload::other;
}

void check_description(py::handle description) {
  if (!description.is_none() && PyUnicode_GET_LENGTH(description.ptr()) > kMaxDescription) {
    native::raise(PyExc_ValueError, "Description must be less than 100 characters");
  }
}

// Around every service operation: the workload must be known, a description
// short enough, and the workload one of the two the SDK serves.
Workload enter(const Frame& call, py::handle description = {}) {
  const py::object workload_type = inspect_workload(call);
  if (description) check_description(description);
  const Workload workload = classify(call, workload_type);
  if (workload == Workload::other) {
    native::raise(PyExc_ValueError, "entity name of launch param is set to unsupported workload type");
  }
  return workload;
}

// For the operations a pipeline does not offer.
void enter_dev_instance(const Frame& call, py::handle description = {}) {
  if (enter(call, description) == Workload::pipeline) native::raise(PyExc_NotImplementedError, "Not implemented yet");
}

// The workload's client function: the SDK-token one in a development instance, else the internal one.
template <native::Literal Sdk, native::Literal Internal>
py::object client(const Frame& call, Workload workload) {
  return workload == Workload::dev_instance ? call.global<Sdk>() : call.global<Internal>();
}

// The id of the dataset named `name`, looked up through the workload's family.
py::object find_dataset_id(const Frame& call, Workload workload, py::handle name) {
  const py::object response = expect_readable_dict(
      client<"sdk_get_data_snapshot_by_name", "internal_get_data_snapshot_by_name">(call, workload)(name));
  const py::object dataset = native::expect_dict(entry<"data_snapshot">(response));
  if (dataset.is_none()) native::raise(PyExc_ValueError, "Dataset '%U' does not exist.", name.ptr());
  const py::object id = entry<"id">(dataset);
  if (id.is_none()) native::raise(PyExc_ValueError, "Data snapshot id does not exist.");
  return native::expect_int(id);
}

// --- save_dataset -----------------------------------------------------------

py::object as_dataframe(const Frame& call, py::handle data) {
  const py::object data_frame = native::attr<"DataFrame">(call.global<"pd">());
  if (py::isinstance(data, native::attr<"ndarray">(call.global<"np">()))) return data_frame(data);
  if (py::isinstance(data, data_frame)) return native::borrowed(data);
  native::raise(PyExc_ValueError, "data is not supported object");
}

// tmp_dir / <32 hex digits>.<file type>
py::object data_file_path(const Frame& call, py::handle tmp_dir, py::handle file_type) {
  const py::object directory = call.global<"Path">()(tmp_dir);
  const py::object path = directory / native::attr<"hex">(call.global<"uuid4">()());
  return native::attr<"with_suffix">(path)(py::str(".") + file_type);
}

// A dataset file type as data, read by write_data_file and read_data_file.
struct FileType {
  const char* member = nullptr;                   // of DatasetFileType
  py::object (Frame::*module)() const = nullptr;  // read at call time, so that patching it there takes effect
  // A method of the table where no data keyword is named, else a function of
  // the module given the caller's data and the file by keyword.
  const char* writer = nullptr;
  const char* data_keyword = nullptr;
  const char* file_keyword = nullptr;
  // A function of the module given the file, and `keyword`=`value` where one is named.
  const char* reader = nullptr;
  const char* keyword = nullptr;
  native::Default value = native::kRequired;
  bool opened = false;     // writer and reader take the file open, not its path
  bool runs_code = false;  // reading it runs code from whoever wrote it
  // It may hold objects, pickled (an npy file of a table with text): the reader's keyword
  // is then the caller's allow_pickle.
  bool pickles_objects = false;
  // The class of the module that the reader must give, where it also reads other kinds of file.
  const char* result = nullptr;
};

// The table goes through pandas; pickle and npy keep the caller's object itself.
constexpr FileType kFileTypes[] = {
    {.member = "csv",
     .module = &Frame::global<"pd">,
     .writer = "to_csv",
     .reader = "read_csv",
     .keyword = "index_col",
     .value = native::Default::number(0)},
    {.member = "parquet", .module = &Frame::global<"pd">, .writer = "to_parquet", .reader = "read_parquet"},
    {.member = "pickle",
     .module = &Frame::global<"pickle">,
     .writer = "dump",
     .data_keyword = "obj",
     .file_keyword = "file",
     .reader = "load",
     .opened = true,
     .runs_code = true},
    {.member = "npy",
     .module = &Frame::global<"np">,
     .writer = "save",
     .data_keyword = "arr",
     .file_keyword = "file",
     .reader = "load",
     .keyword = "allow_pickle",
     .pickles_objects = true,
     .result = "ndarray"},
};

// The row whose DatasetFileType member equals `file_type` (a str), or none.
const FileType* find_file_type(const Frame& call, py::handle file_type) {
  const py::object types = call.global<"DatasetFileType">();
  for (const FileType& type : kFileTypes) {
    if (file_type.equal(py::getattr(types, type.member))) return &type;
  }
  return nullptr;
}

// use(the file): its path, or the file opened in binary `mode` where the type takes it open.
template <typename Use>
py::object on_file(const FileType& type, py::handle path, const char* mode, Use&& use) {
  if (!type.opened) return use(path);
  return native::with(open_file(path, mode), use);
}

void write_data_file(const Frame& call, py::handle filename, py::handle data, py::handle dataframe,
                     py::handle file_type) {
  const FileType* type = find_file_type(call, file_type);
  if (type == nullptr) native::raise(PyExc_ValueError, "file_type is not supported type");
  on_file(*type, filename, "wb", [&](py::handle file) {
    if (type->data_keyword == nullptr) return py::getattr(dataframe, type->writer)(file);
    return py::getattr(std::invoke(type->module, call), type->writer)(py::arg(type->data_keyword) = data,
                                                                      py::arg(type->file_keyword) = file);
  });
}

// Reads what write_data_file wrote, by the same file types.
py::object read_data_file(const Frame& call, py::handle filename, const FileType& type, bool allow_pickle) {
  return on_file(type, filename, "rb", [&](py::handle file) {
    const py::object reader = py::getattr(std::invoke(type.module, call), type.reader);
    if (type.keyword == nullptr) return reader(file);
    const py::object value =
        type.pickles_objects ? py::bool_(allow_pickle) : native::owned(native::default_object(type.value));
    return reader(file, py::arg(type.keyword) = value);
  });
}

// Streams the open file to the upload of the workload's family.
py::object upload_data_file(const Frame& call, py::handle workload_type, py::handle name, py::handle description,
                            py::handle filename, py::handle file) {
  const Workload workload = classify(call, workload_type);
  if (workload == Workload::dev_instance) {
    const py::object response =
        call.global<"sdk_upload_data_snapshot">()("name"_a = name, "filename"_a = native::attr<"name">(filename),
                                                  "binary"_a = file, "description"_a = description);
    return from_mapping(call.global<"DatasetInfo">(), response);
  }
  if (workload == Workload::pipeline) {
    const py::object response = call.global<"internal_upload_data_snapshot">()("name"_a = name, "binary"_a = file,
                                                                               "description"_a = description);
    return from_mapping(call.global<"DatasetInfo">(), response[native::interned<"data_snapshot">()]);
  }
  const py::str message =
      py::str("entity name of launch param is set to unsupported workload type: {}").format(workload_type);
  native::raise(PyExc_ValueError, "%U", message.ptr());
}

constexpr native::Param kDescription{"description", Kind::OptStr, native::kNone};

constexpr native::Signature kSaveDataset{
    "save_dataset",
    {{"name", Kind::Str}, {"data"}, {"file_type"}, kDescription},
    {"upload tabular dataset to the Velora system\n\n"
     "The data is written as a file of the given type in a private temporary\n"
     "directory and streamed to the platform as a new dataset.",
     "name: name of the dataset\n"
     "data: the table (pandas DataFrame) or array (numpy ndarray) to save\n"
     "file_type: file extension string (DatasetFileType: csv, parquet, pickle, npy)\n"
     "description: details of the dataset. Defaults to None.",
     "DatasetInfo: the new dataset, as the platform describes it",
     "TypeError: name or description of the wrong type\n"
     "ValueError: the workload type is unknown or unsupported, data is neither a DataFrame\n"
     "    nor an ndarray, the description is over 100 characters, or file_type is not one of\n"
     "    the four\n"
     "CorlettError: the platform service refused the request or could not be reached"}};

py::object save_dataset(const native::Call<kSaveDataset>& call) {
  const py::handle data = call.arg<"data">();
  const py::handle file_type = call.arg<"file_type">();
  const py::object workload_type = inspect_workload(call);
  const py::object dataframe = as_dataframe(call, data);
  check_description(call.arg<"description">());
  const py::object directory = native::attr<"TemporaryDirectory">(call.global<"tempfile">())();
  return native::with(directory, [&](const py::object& tmp_dir) {
    const py::object filename = data_file_path(call, tmp_dir, file_type);
    write_data_file(call, filename, data, dataframe, file_type);
    return native::with(open_file(filename, "rb"), [&](const py::object& file) {
      return upload_data_file(call, workload_type, call.arg<"name">(), call.arg<"description">(), filename, file);
    });
  });
}

// --- datasets, versions, lookups and snippets -------------------------------

constexpr native::Signature kCreateDataset{
    "create_dataset",
    {{"name", Kind::Str}, kDescription, {"exist_ok", Kind::Bool, native::kFalse}},
    {"Create the dataset directory on the platform.",
     "name: name of the dataset\n"
     "description: details of the dataset. Defaults to None.\n"
     "exist_ok: when True, no error is raised if the dataset already exists.",
     "DatasetInfo: the dataset",
     "TypeError: an argument of the wrong type\n"
     "ValueError: the workload type is unknown or unsupported, or the description is over\n"
     "    100 characters\n"
     "CorlettError: the platform service refused the request or could not be reached"}};

py::object create_dataset(const native::Call<kCreateDataset>& call) {
  const Workload workload = enter(call, call.arg<"description">());
  const py::object response = native::expect_dict(client<"sdk_create_data_snapshot", "internal_create_data_snapshot">(
      call, workload)(call.arg<"name">(), call.arg<"description">(), call.arg<"exist_ok">()));
  return from_mapping(call.global<"DatasetInfo">(), response);
}

constexpr native::Signature kCreateDatasetVersion{
    "create_dataset_version",
    {{"dataset_name", Kind::Str}, kDescription},
    {"Create a new version of the dataset with the given name.",
     "dataset_name: name of the dataset\n"
     "description: details of the version. Defaults to None.",
     "DatasetVersionInfo: the new version",
     "TypeError: an argument of the wrong type\n"
     "ValueError: the workload type is unknown or unsupported, the description is over 100\n"
     "    characters, or no dataset has that name\n"
     "CorlettError: the platform service refused the request or could not be reached"}};

// Looks the dataset up by name, then asks for a new version of it.
py::object create_dataset_version(const native::Call<kCreateDatasetVersion>& call) {
  const Workload workload = enter(call, call.arg<"description">());
  const py::object dataset_id = find_dataset_id(call, workload, call.arg<"dataset_name">());
  const py::object response =
      native::expect_dict(client<"sdk_create_data_snapshot_version", "internal_create_data_snapshot_version">(
          call, workload)(dataset_id, call.arg<"description">()));
  return from_mapping(call.global<"DatasetVersionInfo">(), response);
}

constexpr native::Signature kCreateDatasetVersionById{"create_dataset_version_by_id",
                                                      {{"dataset_id", Kind::Int}, kDescription}};

py::object create_dataset_version_by_id(const native::Call<kCreateDatasetVersionById>& call) {
  enter_dev_instance(call, call.arg<"description">());
  const py::object response =
      call.global<"sdk_create_data_snapshot_version">()(call.arg<"dataset_id">(), call.arg<"description">());
  return from_mapping(call.global<"DatasetVersionInfo">(), response);
}

// What the operations only a development instance offers raise.
constexpr const char* kDevInstanceRaises =
    "TypeError: an argument of the wrong type\n"
    "ValueError: the workload type is unknown or unsupported\n"
    "NotImplementedError: in a pipeline\n"
    "CorlettError: the platform service refused the request or could not be reached";

constexpr native::Signature kGetDatasetList{
    "get_dataset_list",
    {{"page", Kind::Int, native::Default::number(1)}, {"page_size", Kind::Int, native::Default::number(1000)}},
    {"Get one page of the project's datasets.",
     "page: current page number. Defaults to 1.\n"
     "page_size: number of items per page. Defaults to 1000.",
     "List[DatasetInfo]: the datasets of that page", kDevInstanceRaises}};

py::object get_dataset_list(const native::Call<kGetDatasetList>& call) {
  enter_dev_instance(call);
  const py::object response = expect_readable_dict(call.global<"sdk_get_data_snapshot_list">()(
      "page"_a = call.arg<"page">(), "page_size"_a = call.arg<"page_size">()));
  return each_from_mapping(call.global<"DatasetInfo">(), entry<"data_snapshots">(response, py::list()));
}

constexpr native::Signature kGetDataset{
    "get_dataset",
    {{"dataset_id", Kind::Int}},
    {"Get the dataset with the given id.", "dataset_id: id of the dataset",
     "Optional[DatasetInfo]: the dataset, None when the platform has none", kDevInstanceRaises}};

py::object get_dataset(const native::Call<kGetDataset>& call) {
  enter_dev_instance(call);
  const py::object response =
      expect_readable_dict(call.global<"sdk_get_data_snapshot_detail">()(call.arg<"dataset_id">()));
  const py::object dataset = native::expect_dict(entry<"data_snapshot">(response));
  if (dataset.is_none()) return py::none();
  return from_mapping(call.global<"DatasetInfo">(), dataset);
}

constexpr native::Signature kGetCodeSnippetToUploadDataset{
    "get_code_snippet_to_upload_dataset",
    {{"name", Kind::Str}, {"data", Kind::Str}, {"file_type", Kind::Str}},
    {"Get the code snippet that uploads a data object to a dataset.",
     "name: name of the dataset\n"
     "data: variable name of the data object in your code\n"
     "file_type: file type to save the data as",
     "dict: {\"code_snippet\": the code}", kDevInstanceRaises}};

constexpr native::Signature kGetCodeSnippetToImportDataset{
    "get_code_snippet_to_import_dataset",
    {{"dataset_id", Kind::Int}, {"dataset_version_id", Kind::Int}},
    {"Get the code snippet that imports a dataset version.",
     "dataset_id: id of the dataset\n"
     "dataset_version_id: id of the dataset version",
     "dict: {\"code_snippet\": the code}", kDevInstanceRaises}};

// A code snippet the service writes: the SDK family's `Client` given the arguments named, as they came.
template <const native::Signature& S, native::Literal Client, native::Literal... Args>
py::object code_snippet(const native::Call<S>& call) {
  enter_dev_instance(call);
  return native::expect_dict(call.template global<Client>()(call.template arg<Args>()...));
}

// --- versions, downloads and loading -------------------------------------------

// Every version record of the dataset, as the service lists them: oldest first.
py::object version_records(const Frame& call, Workload workload, py::handle dataset_id) {
  const py::object response = expect_readable_dict(
      client<"sdk_get_data_snapshot_versions", "internal_get_data_snapshot_versions">(call, workload)(dataset_id));
  py::object versions = list_entry<"data_snapshot_versions">(response);
  for (const py::handle version : versions) expect_readable_dict(version);
  return versions;
}

constexpr native::Signature kGetDatasetVersions{
    "get_dataset_versions",
    {{"name", Kind::Str}},
    {"Get every version of a dataset, oldest first.", "name: name of the dataset",
     "List[DatasetVersionInfo]: its versions, oldest first",
     "TypeError: name of the wrong type\n"
     "ValueError: no dataset has that name, or the workload type is unknown or unsupported\n"
     "CorlettError: the platform service refused or could not be reached"}};

py::object get_dataset_versions(const native::Call<kGetDatasetVersions>& call) {
  const Workload workload = enter(call);
  const py::object versions = version_records(call, workload, find_dataset_id(call, workload, call.arg<"name">()));
  return each_from_mapping(call.global<"DatasetVersionInfo">(), versions);
}

// The version numbered `number`, or with None the latest one that has a file.
py::object chosen_version(py::handle versions, py::handle name, py::handle number) {
  for (Py_ssize_t i = PyList_GET_SIZE(versions.ptr()) - 1; i >= 0; --i) {
    const py::handle version = PyList_GET_ITEM(versions.ptr(), i);
    if (number.is_none() ? PyList_GET_SIZE(list_entry<"files">(version).ptr()) > 0
                         : entry<"version">(version).equal(number)) {
      return native::borrowed(version);
    }
  }
  if (number.is_none()) native::raise(PyExc_ValueError, "Dataset '%U' has no version with a file.", name.ptr());
  native::raise(PyExc_ValueError, "Dataset '%U' has no version %S.", name.ptr(), number.ptr());
}

// The service's file name becomes a path in the caller's directory: one plain component only.
void check_file_name(py::handle filename) {
  native::expect_exact(filename, &PyUnicode_Type);
  const std::string_view text = native::utf8(filename);
  constexpr std::string_view kSeparators("/\\\0", 3);
  if (text.empty() || text == "." || text == ".." || text.find_first_of(kSeparators) != std::string_view::npos) {
    native::raise(PyExc_ValueError, "The service named a file that is not a plain file name: filename=%R",
                  filename.ptr());
  }
}

// What download_dataset and load_dataset fetch: a version and its one file.
struct Wanted {
  Workload workload;
  py::object dataset_id;
  py::object version;
  py::object sha256;  // of the file, as its record gives it
  py::object filename;
};

Wanted wanted_file(const Frame& call, Workload workload, py::handle name, py::handle number) {
  py::object dataset_id = find_dataset_id(call, workload, name);
  py::object version = chosen_version(version_records(call, workload, dataset_id), name, number);
  const py::object files = list_entry<"files">(version);
  const Py_ssize_t count = PyList_GET_SIZE(files.ptr());
  const py::object shown = entry<"version">(version);
  if (count == 0) native::raise(PyExc_ValueError, "Version %S of dataset '%U' has no file.", shown.ptr(), name.ptr());
  if (count > 1) {
    native::raise(PyExc_ValueError, "Version %S of dataset '%U' has %zd files; only a version of one file is read.",
                  shown.ptr(), name.ptr(), count);
  }
  const py::object file = expect_readable_dict(PyList_GET_ITEM(files.ptr(), 0));
  py::object filename = entry<"filename">(file);
  check_file_name(filename);
  return {workload, std::move(dataset_id), std::move(version), entry<"sha256">(file), std::move(filename)};
}

void check_digest(const Wanted& wanted, py::handle received, py::handle name) {
  const py::object got = entry<"sha256">(expect_readable_dict(received));
  if (!got.equal(wanted.sha256)) {
    native::raise(PyExc_ValueError,
                  "Checksum mismatch for %R of dataset '%U' version %S: the record says sha256 %S, "
                  "the download has sha256 %S",
                  wanted.filename.ptr(), name.ptr(), entry<"version">(wanted.version).ptr(), wanted.sha256.ptr(),
                  got.ptr());
  }
}

// Streams the file into a hidden temporary file in `directory`, checks its sha256 against the
// record, then renames it into place: an existing file of that name is replaced only by checked
// bytes, and nothing is left behind on a failure.
py::object download_into(const Frame& call, const Wanted& wanted, py::handle directory, py::handle name) {
  const py::object folder = call.global<"Path">()(directory);
  const py::object target = folder / wanted.filename;
  const py::object hex = native::attr<"hex">(call.global<"uuid4">()());
  const py::object partial = folder / native::owned(PyUnicode_FromFormat(".%U.part", hex.ptr()));
  try {
    const py::object received = native::with(open_file(partial, "xb"), [&](const py::object& binary) {
      return client<"sdk_download_data_snapshot_file", "internal_download_data_snapshot_file">(call, wanted.workload)(
          wanted.dataset_id, entry<"id">(wanted.version), wanted.filename, binary);
    });
    check_digest(wanted, received, name);
    native::attr<"replace">(call.global<"os">())(partial, target);
  } catch (...) {
    try {
      native::attr<"unlink">(partial)("missing_ok"_a = true);
    } catch (py::error_already_set&) {
      // The error that stopped the download is the one to report.
    }
    throw;
  }
  return py::str(target);
}

constexpr native::Signature kDownloadDataset{
    "download_dataset",
    {{"name", Kind::Str}, {"version", Kind::OptInt, native::kNone}, {"path", Kind::OptStr, native::kNone}},
    {"Download the file of a dataset version into a directory.\n\n"
     "The bytes go to a hidden temporary file in that directory and are checked against\n"
     "the sha256 of the version's record before the file is renamed into place, under its\n"
     "stored name; an existing file of that name is replaced only then.",
     "name: name of the dataset\n"
     "version: version number. Defaults to None: the latest version that has a file.\n"
     "path: directory to put the file in. Defaults to None: the current directory.",
     "str: the path of the downloaded file",
     "ValueError: no dataset has that name, no such version, the version has no file,\n"
     "    or the bytes' sha256 differs from the record's (nothing is left behind)\n"
     "NotADirectoryError: path is not an existing directory\n"
     "CorlettError: the platform service refused or could not be reached"}};

py::object download_dataset(const native::Call<kDownloadDataset>& call) {
  const py::handle name = call.arg<"name">();
  const py::handle path = call.arg<"path">();
  const Workload workload = enter(call);
  const py::object directory = path.is_none() ? native::attr<"getcwd">(call.global<"os">())() : native::borrowed(path);
  if (!native::truthy(native::attr<"is_dir">(call.global<"Path">()(directory))())) {
    native::raise(PyExc_NotADirectoryError, "download_dataset needs an existing directory: path=%R", directory.ptr());
  }
  return download_into(call, wanted_file(call, workload, name, call.arg<"version">()), directory, name);
}

// The file type a stored file's suffix names.
const FileType& file_type_of(const Frame& call, const Wanted& wanted, py::handle name) {
  const py::object suffix = native::attr<"suffix">(call.global<"Path">()(wanted.filename));
  // Path.suffix is empty or starts with the dot.
  const FileType* type = find_file_type(call, native::owned(PySequence_GetSlice(suffix.ptr(), 1, PY_SSIZE_T_MAX)));
  if (type != nullptr) return *type;
  native::raise(PyExc_ValueError,
                "Version %S of dataset '%U' holds %R, which is not a csv, parquet, npy or pickle file.",
                entry<"version">(wanted.version).ptr(), name.ptr(), wanted.filename.ptr());
}

constexpr native::Signature kLoadDataset{
    "load_dataset",
    {{"name", Kind::Str}, {"version", Kind::OptInt, native::kNone}, {"allow_pickle", Kind::Bool, native::kFalse}},
    {"Load a dataset version into memory, read by its file type.\n\n"
     "The file is downloaded into a private temporary directory, which is removed again:\n"
     "csv with pandas.read_csv (first column as the index), parquet with pandas.read_parquet,\n"
     "npy with numpy.load (allow_pickle as given), pickle with pickle.load.",
     "name: name of the dataset\n"
     "version: version number. Defaults to None: the latest version that has a file.\n"
     "allow_pickle: read a pickle file, or an npy file of objects (a table with text, say),\n"
     "    which holds them pickled. Reading one runs code from whoever wrote it, so only\n"
     "    pass True for a dataset you trust. Defaults to False.",
     "the data: a pandas DataFrame (csv, parquet), a numpy ndarray (npy) or the pickled object",
     "ValueError: as download_dataset; also for a pickle file, or an npy file of objects,\n"
     "    without allow_pickle, or a file that is not of a dataset file type\n"
     "CorlettError: the platform service refused or could not be reached"}};

py::object load_dataset(const native::Call<kLoadDataset>& call) {
  const py::handle name = call.arg<"name">();
  const Workload workload = enter(call);
  const Wanted wanted = wanted_file(call, workload, name, call.arg<"version">());
  const FileType& type = file_type_of(call, wanted, name);
  if (!call.flag<"allow_pickle">() && type.runs_code) {
    native::raise(PyExc_ValueError,
                  "Dataset '%U' version %S is a pickle file, and reading a pickle runs code from whoever wrote it; "
                  "pass allow_pickle=True only if you trust it.",
                  name.ptr(), entry<"version">(wanted.version).ptr());
  }
  const py::object directory = native::attr<"TemporaryDirectory">(call.global<"tempfile">())();
  return native::with(directory, [&](const py::object& tmp_dir) {
    const py::object data =
        read_data_file(call, download_into(call, wanted, tmp_dir, name), type, call.flag<"allow_pickle">());
    if (type.result == nullptr || py::isinstance(data, py::getattr(std::invoke(type.module, call), type.result))) {
      return data;
    }
    // numpy.load opens an npz archive too, lazily: it would hold the file open after its directory is gone.
    if (const py::object close = native::optional_attr<"close">(data)) close();
    native::raise(PyExc_ValueError, "Version %S of dataset '%U' holds %R, which is not an %s file: it reads as %s.",
                  entry<"version">(wanted.version).ptr(), name.ptr(), wanted.filename.ptr(), type.member,
                  native::type_name(data));
  });
}

// --- mount_dataset ----------------------------------------------------------

constexpr std::string_view kMountBase = "/home/jovyan/workspace/";

// The two mounts: a directory of the project's storage, its rclone remote, and
// whether it is mounted read-only.
struct Mount {
  const char* dir;
  const char* remote;
  bool read_only;
};
constexpr Mount kMounts[] = {{"dataset", "veloradataset", true}, {"dataset-staged", "veloradatasetstaged", false}};

// One WebDAV remote per directory; the settings are read as each is written.
py::object config_section(const Frame& call, const Mount& mount) {
  const py::object settings = call.global<"settings">();
  const py::object url = native::attr<"VELORA_WEBDAV_URL">(settings);
  const py::object project_dir = native::attr<"VELORA_PROJECT_DIR">(settings);
  const py::object token = native::attr<"VELORA_SDK_TOKEN">(settings);
  // str.format shows each value as an f-string does.
  return py::str("[{}]\ntype = webdav\nurl = {}/{}/{}/\nbearer_token = {}\nvendor = other\n\n")
      .format(mount.remote, url, project_dir, mount.dir, token);
}

// open()'s opener for the configuration: it holds the SDK token, so only its owner may read it.
constexpr native::Signature kOpenOwnerOnly{"_open_owner_only", {{"path"}, {"flags"}}};

py::object open_owner_only(const native::Call<kOpenOwnerOnly>& call) {
  return native::attr<"open">(call.global<"os">())(call.arg<"path">(), call.arg<"flags">(), 0600);
}

void write_config(const Frame& call, py::handle config_file) {
  const py::object file = py::module_::import("io").attr("open")(config_file, "w", "encoding"_a = "utf-8",
                                                                 "opener"_a = call.global<"_open_owner_only">());
  native::with(file, [&](const py::object& f) {
    // A file that was there before keeps its old mode through O_CREAT; this makes it the owner's alone.
    native::attr<"fchmod">(call.global<"os">())(native::attr<"fileno">(f)(), 0600);
    for (const Mount& mount : kMounts) native::attr<"write">(f)(config_section(call, mount));
    return py::none();
  });
}

// Starts one `rclone mount --daemon`; it exits once the mount runs, its status telling whether it does.
void start_mount(const Frame& call, const Mount& mount) {
  const std::string mount_point = std::string(kMountBase) + mount.dir;
  native::attr<"mkdir">(call.global<"Path">()(mount_point))("parents"_a = true, "exist_ok"_a = true);
  py::list command(py::make_tuple("rclone", "mount", std::string(mount.remote) + ":/", mount_point, "--dir-cache-time",
                                  "5s", "--allow-other", "--daemon"));
  if (mount.read_only) command.append("--read-only");
  const py::object subprocess = call.global<"subprocess">();
  const py::object process = native::attr<"Popen">(subprocess)(command, "stderr"_a = native::attr<"PIPE">(subprocess));
  native::with(process, [&](const py::object& p) {
    const py::object stderr_bytes = py::tuple(native::attr<"communicate">(p)())[1];
    if (native::attr<"returncode">(p).not_equal(py::int_(0))) {
      native::raise(PyExc_RuntimeError, "%S", native::attr<"decode">(stderr_bytes)("utf-8").ptr());
    }
    return py::none();
  });
}

constexpr native::Signature kMountDataset{
    "mount_dataset",
    {},
    {"Mount the project's dataset storage under /home/jovyan/workspace.\n\n"
     "Writes the rclone configuration (readable by its owner only, as it holds the\n"
     "SDK token) and starts two rclone mounts as daemons: \"dataset\" read-only and\n"
     "\"dataset-staged\" writable.",
     "none", "None, once both mounts run",
     "ValueError: VELORA_PROJECT_ID is not set\n"
     "RuntimeError: rclone failed to mount; the message is its error output\n"
     "OSError: rclone cannot be started, or the configuration cannot be written"}};

py::object mount_dataset(const native::Call<kMountDataset>& call) {
  const py::object project_id = native::attr<"VELORA_PROJECT_ID">(call.global<"settings">());
  if (!py::bool_(project_id)) {
    native::raise(PyExc_ValueError, "VELORA_PROJECT_ID is not set. Please call set_joined_project() first.");
  }
  const py::object config_dir = native::attr<"home">(call.global<"Path">())() / py::str(".config") / py::str("rclone");
  const py::object config_file = config_dir / py::str("rclone.conf");
  native::attr<"unlink">(config_file)("missing_ok"_a = true);
  // Created private: the file it holds carries the SDK token.
  native::attr<"mkdir">(config_dir)("mode"_a = 0700, "parents"_a = true, "exist_ok"_a = true);
  write_config(call, config_file);
  for (const Mount& mount : kMounts) start_mount(call, mount);
  return py::none();
}

}  // namespace

VELORA_MODULE(methods, m,
              "The dataset operations: save_dataset, datasets and versions by workload, downloading and loading "
              "a version back, code snippets and mount_dataset.") {
  for (const char* name : {"os", "pickle", "subprocess", "tempfile"}) m.attr(name) = py::module_::import(name);
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  native::bind_from(m, "typing", {"Any", "Dict", "List", "Optional", "Union"});
  native::bind_from(m, "pathlib", {"Path"});
  native::bind_from(m, "uuid", {"uuid4"});
  native::bind_from(m, "velora.settings", {"settings"});
  native::bind_from(m, "velora.common.utils", {"inspect_workload_type"});
  native::bind_from(m, "velora.common.values", {"WorkloadType"});
  native::bind_from(m, "velora.dataset.schemas", {"DatasetInfo", "DatasetVersionInfo"});
  native::bind_from(m, "velora.dataset.values", {"DatasetFileType"});
  native::bind_from(
      m, "velora.dataset.corlett",
      {"sdk_upload_data_snapshot", "internal_upload_data_snapshot", "sdk_create_data_snapshot",
       "internal_create_data_snapshot", "sdk_get_data_snapshot_by_name", "internal_get_data_snapshot_by_name",
       "sdk_create_data_snapshot_version", "internal_create_data_snapshot_version", "sdk_get_data_snapshot_list",
       "sdk_get_data_snapshot_detail", "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
       "sdk_get_code_snippet_to_import_data_snapshot", "sdk_get_data_snapshot_versions",
       "internal_get_data_snapshot_versions", "sdk_download_data_snapshot_file",
       "internal_download_data_snapshot_file"});

  native::def<&save_dataset>(m);
  native::def<&mount_dataset>(m);
  native::def<&open_owner_only>(m);
  native::def<&create_dataset>(m);
  native::def<&create_dataset_version>(m);
  native::def<&create_dataset_version_by_id>(m);
  native::def<&get_dataset_list>(m);
  native::def<&get_dataset>(m);
  native::def<&code_snippet<kGetCodeSnippetToUploadDataset, "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
                            "name", "data", "file_type">>(m);
  native::def<&code_snippet<kGetCodeSnippetToImportDataset, "sdk_get_code_snippet_to_import_data_snapshot",
                            "dataset_id", "dataset_version_id">>(m);
  native::def<&get_dataset_versions>(m);
  native::def<&download_dataset>(m);
  native::def<&load_dataset>(m);
}
