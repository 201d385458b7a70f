// Part of velora.model_registry.schemas.
// The document contract (Revisionable), its builder context, its
// implementation on pydantic records (RevisionableSchema) and the revision
// document (Revision).
#include <memory>

#include "schemas_common.hpp"
#include "velora_native/context.hpp"

namespace velora::schemas {

namespace {

// A schema name is a str; None stands for a missing one.
constexpr bool kMissingNameAllowed = true;

using namespace pybind11::literals;

constexpr const char* kJsonSuffix = ".json";

constexpr native::Signature kBuilderContextRepr{"__repr__", {{"self"}}, "BuilderContext(a=1, b='x'), entries by name."};

// BuilderContext(a=1, b='x'): the entries sorted by name.
py::object builder_context_repr(const native::Call<kBuilderContextRepr>& call) {
  const py::handle self = call.arg<"self">();
  const py::object name = native::attr<"__name__">(py::type::handle_of(self));
  const int entered = Py_ReprEnter(self.ptr());
  if (entered < 0) throw py::error_already_set();
  if (entered > 0) return py::str("{}(...)").format(name);
  // Leaves the interpreter's repr recursion guard on every exit.
  const std::unique_ptr<PyObject, decltype(&Py_ReprLeave)> guard(self.ptr(), &Py_ReprLeave);
  const py::dict entries = native::attr<"__dict__">(self);
  py::list keys(entries.attr("keys")());
  if (PyList_Sort(keys.ptr()) < 0) throw py::error_already_set();
  py::list parts;
  for (const py::handle key : keys) parts.append(py::str("{}={!r}").format(key, entries[key]));
  return py::str("{}({})").format(name, py::str(", ").attr("join")(parts));
}

constexpr native::Signature kDump{
    "dump",
    {{"self"}, {"fp"}},
    {"Write the document to the text stream `fp` as JSON.", "fp: an open text stream, which stays open", "None",
     "TypeError: a value the JSON encoder cannot write (nothing is written then)"}};

py::object dump(const native::Call<kDump>& call) {
  const py::object mapping = native::attr<"to_dict">(call.arg<"self">())();
  // The text of json.dump, made by the writer's one-shot (C) encoder and written at
  // once: much faster for large samples, and nothing is written when encoding fails.
  const py::object text = call.global<"json">().attr("dumps")(mapping, "cls"_a = call.global<"CustomEncoder">());
  native::attr<"write">(call.arg<"fp">())(text);
  return py::none();
}

constexpr native::Signature kGetFilename{
    "get_filename",
    {{"cls"}},
    {"The document's file name: its schema name followed by \".json\".", "none besides the class", "str: the file name",
     "ValueError: the schema name is empty\n"
     "TypeError: the schema name is not a str"}};

py::object get_filename(const native::Call<kGetFilename>& call) {
  const py::object name =
      native::expect_exact(native::attr<"get_schema_name">(call.arg<"cls">())(), &PyUnicode_Type, kMissingNameAllowed);
  if (!native::truthy(name)) native::raise(PyExc_ValueError, "not allowed empty schema_name");
  return name + py::str(kJsonSuffix);
}

constexpr native::Signature kExtractSchemaNameFromFilename{
    "extract_schema_name_from_filename",
    {{"cls"}, {"filename", native::Kind::Str}},
    {"`filename` without its final \".json\", or None when it does not end with it.",
     "filename: a file name, exactly a str", "Optional[str]: the schema name, or None",
     "TypeError: filename is not exactly a str"}};

py::object extract_schema_name_from_filename(const native::Call<kExtractSchemaNameFromFilename>& call) {
  const py::handle filename = call.arg<"filename">();
  if (!native::truthy(filename.attr("endswith")(kJsonSuffix))) return py::none();
  return filename.attr("removesuffix")(kJsonSuffix);
}

// The contract's abstract operations do nothing when called directly: one
// body, bound under each operation's signature.
constexpr bool kAbstract = true;
constexpr native::Signature kAbstractOperation{"abstract_operation"};
constexpr native::Signature kAbstractLoad{"load",
                                          {{"cls"}, {"fp"}},
                                          {"Read a document from `fp`.", "fp: an open text stream", "the document",
                                           "what the document class's own load raises"}};
constexpr native::Signature kAbstractToDict{
    "to_dict",
    {{"self"}},
    {"The document as a mapping.", "none besides the instance", "the document as a mapping",
     "what the document class's own to_dict raises"}};
constexpr native::Signature kAbstractFromDict{"from_dict",
                                              {{"cls"}, {"item"}},
                                              {"A document from a mapping.", "item: the document's fields",
                                               "the document", "what the document class's own from_dict raises"}};
constexpr native::Signature kAbstractBuild{"build",
                                           {{"cls"}, {"context"}},
                                           {"A document from a builder context.", "context: a builder context",
                                            "the document", "what the document class's own build raises"}};
constexpr native::Signature kAbstractGetSchemaName{
    "get_schema_name",
    {{"cls"}},
    {"The name of the document kind.", "none besides the class", "str: the schema name",
     "what the document class's own get_schema_name raises"}};

py::object abstract_operation(const native::Call<kAbstractOperation>&) { return py::none(); }

constexpr native::Signature kToDict{
    "to_dict",
    {{"self"}},
    {"The record's fields under their aliases, as a plain dict.", "none besides the instance",
     "dict: the fields by alias", "TypeError: the record's dump is not a dict"}};

py::object to_dict(const native::Call<kToDict>& call) {
  return native::expect_dict(call.global<"model_dump">()(call.arg<"self">(), "by_alias"_a = true));
}

constexpr native::Signature kLoad{
    "load",
    {{"cls"}, {"fp"}},
    {"A validated document read as JSON from `fp`.", "fp: an open text stream of JSON", "the validated document",
     "json.JSONDecodeError: the text is not JSON\n"
     "pydantic's ValidationError: the JSON does not fit the document"}};

py::object load(const native::Call<kLoad>& call) {
  const py::object data = call.global<"json">().attr("load")(call.arg<"fp">());
  return call.global<"model_validate">()(call.arg<"cls">(), data);
}

constexpr native::Signature kFromDict{
    "from_dict",
    {{"cls"}, {"item", native::Kind::Dict}},
    {"A validated document from a dict.", "item: the document's fields, exactly a dict", "the validated document",
     "TypeError: item is not exactly a dict\n"
     "pydantic's ValidationError: the fields do not fit the document"}};

py::object from_dict(const native::Call<kFromDict>& call) {
  return call.global<"model_validate">()(call.arg<"cls">(), call.arg<"item">());
}

constexpr native::Signature kBuildNotImplemented{
    "build",
    {{"cls"}, {"context"}},
    {"Documents supply their own builder; this one raises.", "context: a builder context", "nothing",
     "NotImplementedError: always; each document class has its own build"}};

py::object build_not_implemented(const native::Call<kBuildNotImplemented>&) {
  PyErr_SetNone(PyExc_NotImplementedError);
  throw py::error_already_set();
}

constexpr native::Signature kGetSchemaName{"get_schema_name",
                                           {{"cls"}},
                                           {"The class's `schema_name`.", "none besides the class",
                                            "str: the schema name", "TypeError: the class's schema_name is not a str"}};

py::object get_schema_name(const native::Call<kGetSchemaName>& call) {
  return native::expect_exact(native::attr<"schema_name">(call.arg<"cls">()), &PyUnicode_Type, kMissingNameAllowed);
}

constexpr native::Signature kParse{"parse",
                                   {{"cls"}, {"path"}},
                                   {"The revision document velora_revision.json of the directory `path`.",
                                    "path: the directory (a str or a path)", "Revision: the revision document",
                                    "OSError: the file cannot be read (FileNotFoundError when missing)\n"
                                    "json.JSONDecodeError: the text is not JSON\n"
                                    "pydantic's ValidationError: the JSON does not fit a revision document"}};

// Read as UTF-8 whatever the locale, so a document reads the same on every machine.
py::object parse(const native::Call<kParse>& call) {
  py::object directory = native::borrowed(call.arg<"path">());
  if (PyUnicode_Check(directory.ptr())) directory = call.global<"Path">()(directory);
  const py::object filename = native::attr<"get_filename">(call.arg<"cls">())();
  const py::object path = native::owned(PyNumber_TrueDivide(directory.ptr(), filename.ptr()));
  const py::object file = native::attr<"open">(path)("encoding"_a = "utf-8");
  return native::with(file, [&](const py::object&) { return native::attr<"load">(call.global<"Revision">())(file); });
}

constexpr native::Signature kBuildRevision{
    "build",
    {{"cls"}, {"context"}},
    {"A revision document of the context's `revision`.", "context: a builder context with a revision entry",
     "Revision: the revision document",
     "AttributeError: the context has no revision\n"
     "pydantic's ValidationError: the revision is not a SchemaRevision"}};

py::object build_revision(const native::Call<kBuildRevision>& call) {
  return call.global<"Revision">()("revision"_a = native::attr<"revision">(call.arg<"context">()));
}

}  // namespace

void define_documents(py::module_& m) {
  const py::object context =
      native::ClassBuilder(m, "BuilderContext", py::make_tuple(m.attr("SimpleNamespace")),
                           "Revisionable.BuilderContext")
          .doc("Named entries from which documents are built, given as keywords and read as attributes.")
          .method<&builder_context_repr>()
          .build();
  record(m, "Revisionable", "ABC",
         "A model registry document written to and read from its own JSON file, named after its schema.", {},
         {{"BuilderContext", context},
          member<&dump>(m, PyInstanceMethod_New),
          member<&abstract_operation, kAbstractLoad>(m, PyClassMethod_New, kAbstract),
          member<&abstract_operation, kAbstractToDict>(m, PyInstanceMethod_New, kAbstract),
          member<&abstract_operation, kAbstractFromDict>(m, PyClassMethod_New, kAbstract),
          member<&abstract_operation, kAbstractBuild>(m, PyClassMethod_New, kAbstract),
          member<&get_filename>(m, PyClassMethod_New),
          member<&extract_schema_name_from_filename>(m, PyClassMethod_New),
          member<&abstract_operation, kAbstractGetSchemaName>(m, PyClassMethod_New, kAbstract)});

  // Under pydantic 1 a class attribute of an unknown callable type becomes a field.
  record(m, "RevisionableSchema", "Revisionable, BaseModel", "A document that is a validated record.",
         {{"schema_name", "ClassVar[str]"}, {"revision", "ClassVar[SchemaRevision]"}},
         {member<&to_dict>(m, PyInstanceMethod_New), member<&load>(m, PyClassMethod_New),
          member<&from_dict>(m, PyClassMethod_New), member<&build_not_implemented>(m, PyClassMethod_New),
          member<&get_schema_name>(m, PyClassMethod_New)},
         py::dict("use_enum_values"_a = true, "ignored_types"_a = m.attr("NATIVE_FUNCTION_TYPES")));
  record(m, "Revision", "RevisionableSchema",
         "The revision document: the revision of the document format in a directory.",
         {{"schema_name", nullptr, "'velora_revision'"}, {"revision", "SchemaRevision"}},
         {member<&parse>(m, PyClassMethod_New), member<&build_revision>(m, PyClassMethod_New)});
}

}  // namespace velora::schemas
