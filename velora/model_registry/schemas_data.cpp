// Part of velora.model_registry.schemas.
// Column and tensor specs, the data schemas that group them, and the plain
// spec records.
#include <algorithm>

#include "schemas_common.hpp"

namespace velora::schemas {

namespace {

constexpr native::Signature kValidateName{"validate_name",
                                          {{"cls"}, {"v"}},
                                          {"Refuse an empty name.", "v: the name given to the field",
                                           "str: the name, unchanged", "ValueError: the name is the empty string"}};

py::object validate_name(const native::Call<kValidateName>& call) {
  const py::handle v = call.arg<"v">();
  if (PyUnicode_Check(v.ptr()) && PyUnicode_GetLength(v.ptr()) == 0) {
    native::raise(PyExc_ValueError, "Name is empty string");
  }
  return native::borrowed(v);
}

constexpr native::Signature kValidateShape{
    "validate_shape",
    {{"cls"}, {"v"}},
    {"Refuse a shape other than [1] (None passes).", "v: the shape given to the field", "the shape, unchanged",
     "ValueError: a shape other than None or [1]"}};

py::object validate_shape(const native::Call<kValidateShape>& call) {
  const py::handle v = call.arg<"v">();
  if (!v.is_none() && !v.equal(py::list(py::make_tuple(1)))) {
    const py::object column = native::attr<"column">(call.global<"DataSchemaType">());
    native::raise(PyExc_ValueError, "Shape of '%S' type schema should be [1]", column.ptr());
  }
  return native::borrowed(v);
}

constexpr native::Signature kValidateColumnSchema{
    "validate_schema",
    {{"cls"}, {"v"}},
    {"Refuse specs of which only some are named, or named twice.", "v: the column specs", "list: the specs, unchanged",
     "ValueError: only some specs are named, or a name is used twice\n"
     "IndexError: no specs at all"}};

constexpr native::Signature kValidateTensorSchema{
    "validate_schema",
    {{"cls"}, {"v"}},
    {"Refuse specs of which only some are named, or named twice, and several unnamed tensors.", "v: the tensor specs",
     "list: the specs, unchanged",
     "ValueError: only some specs are named, a name is used twice, or several tensors\n"
     "    have no name\n"
     "IndexError: no specs at all"}};

// The rules both kinds of schema share: all specs named or none, and no name
// twice; tensors also refuse several unnamed specs. An empty sequence raises
// IndexError, as reading its first name would. One body, bound under each
// kind's signature.
constexpr native::Signature kValidateSchema{"validate_schema", {{"cls"}, {"v"}}, {}};

template <bool kTensors>
py::object validate_schema(const native::Call<kValidateSchema>& call) {
  const py::handle specs = call.arg<"v">();
  py::list names;
  // A spec without a `name` attribute counts as unnamed.
  for (const py::handle spec : specs) names.append(native::or_none(native::optional_attr<"name">(spec)));
  const auto unnamed = std::count_if(names.begin(), names.end(), [](py::handle name) { return name.is_none(); });
  if (unnamed != 0 && static_cast<std::size_t>(unnamed) != names.size()) {
    native::raise(PyExc_ValueError, "Either all or none of the schema should have names: %S", specs.ptr());
  }
  if (names.empty()) native::raise(PyExc_IndexError, "list index out of range");
  if (unnamed == 0 && py::len(py::set(names)) < names.size()) {
    native::raise(PyExc_ValueError, "Duplicated names in the schema: %S", specs.ptr());
  }
  if (kTensors && unnamed != 0 && py::len(specs) > 1) {
    native::raise(PyExc_ValueError, "Tensor name is needed when there are more than one tensors: %S", specs.ptr());
  }
  return native::borrowed(specs);
}

}  // namespace

void define_data_schemas(py::module_& m) {
  record(
      m, "SchemaSpec", "BaseModel", "One column of a table or one tensor: an optional name, a data type and a shape.",
      {{"name", "Optional[str]", "None"}, {"dtype", "Union[str, DataType]"}, {"shape", "Optional[List[int]]", "None"}},
      {check<&validate_name>(m, "name")});
  record(m, "ColumnSpec", "SchemaSpec", "One column of a table; its shape is [1].",
         {{"shape", "Optional[List[int]]", "[1]"}}, {check<&validate_shape>(m, "shape")});
  record(m, "TensorSpec", "SchemaSpec", "One tensor; its shape must be stated.", {{"shape", "List[int]"}});

  record(m, "DataSchema", "BaseModel, ABC",
         "A named group of specs of one kind: all columns or all tensors.\n\n"
         "Unlike a plain list of specs, a data schema carries a name of its own, because inference\n"
         "services built on the version-2 inference protocol accept several named inputs.",
         {{"name", "str"},
          {"type", "Literal[DataSchemaType.column, DataSchemaType.tensor]"},
          {"schema_", "Sequence[SchemaSpec]", "Field(..., alias='schema')"}},
         {}, py::dict(py::arg("populate_by_name") = true));
  record(
      m, "ColumnDataSchema", "DataSchema", "A data schema of table columns.",
      {{"type", "Literal[DataSchemaType.column]"}, {"schema_", "Sequence[ColumnSpec]", "Field(..., alias='schema')"}},
      {check<&validate_schema<false>, kValidateColumnSchema>(m, "schema_")});
  record(
      m, "TensorDataSchema", "DataSchema", "A data schema of tensors.",
      {{"type", "Literal[DataSchemaType.tensor]"}, {"schema_", "Sequence[TensorSpec]", "Field(..., alias='schema')"}},
      {check<&validate_schema<true>, kValidateTensorSchema>(m, "schema_")});

  record(m, "ColumnSpecModel", "BaseModel", "Column spec model.",
         {{"name", "Optional[str]", "None"}, {"dtype", "str"}, {"shape", "Optional[List[int]]", "[1]"}});
  record(m, "TensorSpecModel", "BaseModel", "Tensor spec model.",
         {{"name", "Optional[str]", "None"}, {"dtype", "str"}, {"shape", "List[int]"}});
}

}  // namespace velora::schemas
