// Part of velora.model_registry.schemas.
// Column and tensor specs, the data schemas that group them, and the plain
// spec records.
#include <pybind11/pybind11.h>

#include "schemas_common.hpp"

namespace velora::schemas {

namespace {

py::list one_element_shape() {
  py::list shape;
  shape.append(1);
  return shape;
}

constexpr native::Signature kValidateName{"validate_name",
                                          {{"cls"}, {"v"}},
                                          {"Refuse an empty name.", "v: the name given to the field",
                                           "str: the name, unchanged", "ValueError: the name is the empty string"}};

py::object validate_name(const native::Call<kValidateName>& call) {
  const py::handle v = call.arg<"v">();
  if (PyUnicode_Check(v.ptr()) && PyUnicode_GetLength(v.ptr()) == 0) {
    native::raise(PyExc_ValueError, "Name is empty string");
  }
  return borrow(v);
}

constexpr native::Signature kValidateShape{
    "validate_shape",
    {{"cls"}, {"v"}},
    {"Refuse a shape other than [1] (None passes).", "v: the shape given to the field", "the shape, unchanged",
     "ValueError: a shape other than None or [1]"}};

py::object validate_shape(const native::Call<kValidateShape>& call) {
  const py::handle v = call.arg<"v">();
  if (!v.is_none() && !v.equal(one_element_shape())) {
    const py::object column = native::attr<"column">(call.global<"DataSchemaType">());
    native::raise(PyExc_ValueError, "Shape of '%S' type schema should be [1]", column.ptr());
  }
  return borrow(v);
}

// The rules both kinds of schema share: all specs named or none, and no
// name twice. Returns whether the specs are named. The first name is read
// unconditionally, so an empty sequence raises IndexError as indexing does.
bool check_spec_names(py::handle specs) {
  py::list names;
  bool some_named = false;
  bool some_unnamed = false;
  for (const py::handle spec : specs) {
    // A spec without a `name` attribute counts as unnamed.
    py::object name = native::or_none(native::optional_attr<"name">(spec));
    (name.is_none() ? some_unnamed : some_named) = true;
    names.append(std::move(name));
  }
  if (some_named && some_unnamed) {
    native::raise(PyExc_ValueError, "Either all or none of the schema should have names: %S", specs.ptr());
  }
  if (names.empty()) native::raise(PyExc_IndexError, "list index out of range");
  const bool named = !names[0].is_none();
  if (named && py::len(py::set(names)) < names.size()) {
    native::raise(PyExc_ValueError, "Duplicated names in the schema: %S", specs.ptr());
  }
  return named;
}

constexpr native::Signature kValidateColumnSchema{
    "validate_schema",
    {{"cls"}, {"v"}},
    {"Refuse specs of which only some are named, or named twice.", "v: the column specs", "list: the specs, unchanged",
     "ValueError: only some specs are named, or a name is used twice\n"
     "IndexError: no specs at all"}};

py::object validate_column_schema(const native::Call<kValidateColumnSchema>& call) {
  check_spec_names(call.arg<"v">());
  return borrow(call.arg<"v">());
}

constexpr native::Signature kValidateTensorSchema{
    "validate_schema",
    {{"cls"}, {"v"}},
    {"Refuse specs of which only some are named, or named twice, and several unnamed tensors.", "v: the tensor specs",
     "list: the specs, unchanged",
     "ValueError: only some specs are named, a name is used twice, or several tensors\n"
     "    have no name\n"
     "IndexError: no specs at all"}};

py::object validate_tensor_schema(const native::Call<kValidateTensorSchema>& call) {
  const py::handle specs = call.arg<"v">();
  if (!check_spec_names(specs) && py::len(specs) > 1) {
    native::raise(PyExc_ValueError, "Tensor name is needed when there are more than one tensors: %S", specs.ptr());
  }
  return borrow(specs);
}

void define_specs(py::module_& m) {
  const py::object optional_str = typed(m, "Optional", {str_type()});
  const py::object int_list = typed(m, "List", {int_type()});
  const py::object optional_int_list = typed(m, "Optional", {int_list});

  native::ClassBuilder spec(m, "SchemaSpec", py::make_tuple(m.attr("BaseModel")));
  spec.doc("One column of a table or one tensor: an optional name, a data type and a shape.")
      .field("name", optional_str, py::none())
      .annotate("dtype", typed(m, "Union", {str_type(), m.attr("DataType")}))
      .field("shape", optional_int_list, py::none());
  check<&validate_name>(spec, {"name"});
  m.attr("SchemaSpec") = spec.build();

  native::ClassBuilder column(m, "ColumnSpec", py::make_tuple(m.attr("SchemaSpec")));
  column.doc("One column of a table; its shape is [1].").field("shape", optional_int_list, one_element_shape());
  check<&validate_shape>(column, {"shape"});
  m.attr("ColumnSpec") = column.build();

  record(m, "TensorSpec", "SchemaSpec", "One tensor; its shape must be stated.", {{"shape", int_list}});
}

void define_schemas(py::module_& m) {
  const py::object kinds = m.attr("DataSchemaType");
  const py::object column_kind = native::attr<"column">(kinds);
  const py::object tensor_kind = native::attr<"tensor">(kinds);

  native::ClassBuilder schema(m, "DataSchema", py::make_tuple(m.attr("BaseModel"), m.attr("ABC")));
  schema
      .doc(
          "A named group of specs of one kind: all columns or all tensors.\n\n"
          "Unlike a plain list of specs, a data schema carries a name of its own, because inference\n"
          "services built on the version-2 inference protocol accept several named inputs.")
      .annotate("name", str_type())
      .annotate("type", typed(m, "Literal", {column_kind, tensor_kind}))
      .field("schema_", typed(m, "Sequence", {m.attr("SchemaSpec")}), required_field(m, "alias", py::str("schema")));
  configure(schema, "DataSchema", {.populate_by_name = true});
  m.attr("DataSchema") = schema.build();

  native::ClassBuilder columns(m, "ColumnDataSchema", py::make_tuple(m.attr("DataSchema")));
  columns.doc("A data schema of table columns.")
      .annotate("type", typed(m, "Literal", {column_kind}))
      .field("schema_", typed(m, "Sequence", {m.attr("ColumnSpec")}), required_field(m, "alias", py::str("schema")));
  check<&validate_column_schema>(columns, {"schema_"});
  m.attr("ColumnDataSchema") = columns.build();

  native::ClassBuilder tensors(m, "TensorDataSchema", py::make_tuple(m.attr("DataSchema")));
  tensors.doc("A data schema of tensors.")
      .annotate("type", typed(m, "Literal", {tensor_kind}))
      .field("schema_", typed(m, "Sequence", {m.attr("TensorSpec")}), required_field(m, "alias", py::str("schema")));
  check<&validate_tensor_schema>(tensors, {"schema_"});
  m.attr("TensorDataSchema") = tensors.build();
}

void define_spec_models(py::module_& m) {
  const py::object optional_str = typed(m, "Optional", {str_type()});
  const py::object int_list = typed(m, "List", {int_type()});
  record(m, "ColumnSpecModel", "BaseModel", "Column spec model.",
         {{"name", optional_str, py::none()},
          {"dtype", str_type()},
          {"shape", typed(m, "Optional", {int_list}), one_element_shape()}});
  record(m, "TensorSpecModel", "BaseModel", "Tensor spec model.",
         {{"name", optional_str, py::none()}, {"dtype", str_type()}, {"shape", int_list}});
}

}  // namespace

void define_data_schemas(py::module_& m) {
  define_specs(m);
  define_schemas(m);
  define_spec_models(m);
}

}  // namespace velora::schemas
