// Part of velora.model_registry.schemas.
// Samples of a model's methods turned into the IO sample document and into
// per-method signatures. Both builders name each sample through the same
// outside function, so the two documents carry the same names.
#include <pybind11/pybind11.h>

#include "schemas_common.hpp"

namespace velora::schemas {

namespace {

using namespace pybind11::literals;

enum class SampleKind { DataFrame, Series, Array };

// Which of the supported kinds `sample` is; anything else is refused.
SampleKind kind_of(const native::Frame& call, py::handle sample) {
  const py::object pd = call.global<"pd">();
  if (native::is_instance(sample, native::attr<"DataFrame">(pd))) return SampleKind::DataFrame;
  if (native::is_instance(sample, native::attr<"Series">(pd))) return SampleKind::Series;
  if (native::is_instance(sample, native::attr<"ndarray">(call.global<"np">()))) return SampleKind::Array;
  native::raise(PyExc_ValueError, "unknown sample type: type=%R", reinterpret_cast<PyObject*>(Py_TYPE(sample.ptr())));
}

// The first value of a column or series, as a plain Python value.
py::object first_value(py::handle column) {
  const py::object values = native::attr<"to_list">(column)();
  return owned(PySequence_GetItem(values.ptr(), 0));
}

py::list single(py::handle value) {
  py::list list;
  list.append(value);
  return list;
}

py::object io_field_data(const native::Frame& call, py::handle sample, py::handle name) {
  switch (kind_of(call, sample)) {
    case SampleKind::DataFrame: {
      py::list columns;
      for (const py::handle label : native::attr<"columns">(sample)) {
        const py::object column = owned(PyObject_GetItem(sample.ptr(), label.ptr()));
        columns.append(py::dict("name"_a = label, "data"_a = single(first_value(column))));
      }
      return columns;
    }
    case SampleKind::Series:
      return single(first_value(sample));
    case SampleKind::Array:
      return single(py::dict("name"_a = name, "data"_a = native::attr<"tolist">(sample)()));
  }
  return py::none();
}

constexpr native::Signature kIoSampleField{
    "generate_io_field",
    {{"sample"}, {"name", native::Kind::Str}},
    {"The IO field of a DataFrame (first row), Series (first value) or ndarray (whole array).",
     "sample: a DataFrame, Series or ndarray\n"
     "name: the field's name",
     "the IO field", "ValueError: a sample of another type"}};

py::object io_sample_field(const native::Call<kIoSampleField>& call) {
  const py::handle sample = call.arg<"sample">();
  const py::handle name = call.arg<"name">();
  return call.global<"IOField">()("name"_a = name, "data"_a = io_field_data(call, sample, name));
}

py::object column_spec(const native::Frame& call, py::handle name, py::handle column) {
  return call.global<"ColumnSpec">()("name"_a = name, "dtype"_a = call.global<"_infer_pandas_column">()(column));
}

py::object column_schema(const native::Frame& call, py::handle name, const py::list& specs) {
  const py::object column = native::attr<"column">(call.global<"DataSchemaType">());
  return call.global<"ColumnDataSchema">()("name"_a = name, "type"_a = column, "schema"_a = specs);
}

constexpr native::Signature kSignatureField{
    "generate_io_field",
    {{"name", native::Kind::Str}, {"sample"}},
    {"The column schema of a DataFrame or Series, or the tensor schema of an ndarray.",
     "name: the schema's name\n"
     "sample: a DataFrame, Series or ndarray",
     "ColumnDataSchema or TensorDataSchema", "ValueError: a sample of another type"}};

py::object signature_field(const native::Call<kSignatureField>& call) {
  const py::handle name = call.arg<"name">();
  const py::handle sample = call.arg<"sample">();
  switch (kind_of(call, sample)) {
    case SampleKind::DataFrame: {
      py::list specs;
      for (const py::handle label : native::attr<"columns">(sample)) {
        specs.append(column_spec(call, label, owned(PyObject_GetItem(sample.ptr(), label.ptr()))));
      }
      return column_schema(call, name, specs);
    }
    case SampleKind::Series:
      return column_schema(call, name, single(column_spec(call, name, sample)));
    case SampleKind::Array: {
      const py::object dtype = call.global<"clean_tensor_type">()(native::attr<"dtype">(sample));
      const py::object shape = call.global<"_get_tensor_shape">()(sample);
      const py::object spec =
          call.global<"TensorSpec">()("name"_a = name, "dtype"_a = py::str(dtype), "shape"_a = shape);
      const py::object tensor = native::attr<"tensor">(call.global<"DataSchemaType">());
      return call.global<"TensorDataSchema">()("name"_a = name, "type"_a = tensor, "schema"_a = single(spec));
    }
  }
  return py::none();
}

// How a builder calls its class's generate_io_field: the IO sample document
// takes the sample first, the signature the name first.
enum class ArgumentOrder { SampleFirst, NameFirst };

// The fields or schemas of one method's samples of one kind ("input" or
// "output"), each named by stringify_io_name_by_module with its position.
py::list io_entries(const native::Frame& call, py::handle cls, py::handle context, PyObject* kind, py::handle samples,
                    ArgumentOrder order) {
  py::list entries;
  Py_ssize_t index = 0;
  for (const py::handle sample : samples) {
    const py::object name = call.global<"stringify_io_name_by_module">()(
        py::handle(kind), index++, native::attr<"framework">(context), native::attr<"mlflow_model_info">(context));
    const py::object generate = native::attr<"generate_io_field">(cls);
    entries.append(order == ArgumentOrder::SampleFirst ? generate(sample, name) : generate(name, sample));
  }
  return entries;
}

// The frame both builders share: the entry checks, then per method of
// `inputs_sample` the input entries and, when the method has output
// samples, the output entries (None otherwise), handed to `make`.
template <typename Make>
py::dict per_method(const native::Frame& call, py::handle cls, py::handle context, ArgumentOrder order, Make&& make) {
  require_entries<"mlflow_model_info", "inputs_sample", "framework">(context);
  py::dict built;
  const py::object methods = native::attr<"items">(native::attr<"inputs_sample">(context))();
  for (const py::handle item : methods) {
    const py::object method = item[py::int_(0)];
    const py::list inputs = io_entries(call, cls, context, native::interned<"input">(), item[py::int_(1)], order);
    const py::object outputs_sample =
        native::has_attr<"outputs_sample">(context) ? native::attr<"outputs_sample">(context) : py::object(py::dict());
    const py::object output_samples = native::attr<"get">(outputs_sample)(method);
    const py::object outputs =
        truthy(output_samples)
            ? py::object(io_entries(call, cls, context, native::interned<"output">(), output_samples, order))
            : py::object(py::none());
    built[method] = make(inputs, outputs);
  }
  return built;
}

constexpr native::Signature kBuildIoSample{
    "build",
    {{"cls"}, {"context"}},
    {"The IO sample document of the context's `inputs_sample` and `outputs_sample`.",
     "context: a builder context with mlflow_model_info, inputs_sample and framework\n"
     "    (outputs_sample optional)",
     "IOSample: the IO sample document",
     "ValueError: the context lacks an entry the document needs (\"not found ... in builder\n"
     "    context\")\n"
     "ValueError: a sample of an unsupported type"}};

py::object build_io_sample(const native::Call<kBuildIoSample>& call) {
  const py::object signatures =
      per_method(call, call.arg<"cls">(), call.arg<"context">(), ArgumentOrder::SampleFirst,
                 [&](py::handle inputs, py::handle outputs) {
                   return call.global<"IOSignature">()("inputs"_a = inputs, "outputs"_a = outputs);
                 });
  return call.global<"IOSample">()("signatures"_a = signatures);
}

constexpr native::Signature kBuildModelSignatures{
    "build",
    {{"cls"}, {"context"}},
    {"Per method of the context's `inputs_sample`, the signature of its input and output samples.",
     "context: a builder context with mlflow_model_info, inputs_sample and framework\n"
     "    (outputs_sample optional)",
     "dict: method name to its ModelSignature",
     "ValueError: the context lacks an entry the document needs (\"not found ... in builder\n"
     "    context\")\n"
     "ValueError: a sample of an unsupported type"}};

py::object build_model_signatures(const native::Call<kBuildModelSignatures>& call) {
  return per_method(call, call.arg<"cls">(), call.arg<"context">(), ArgumentOrder::NameFirst,
                    [&](py::handle inputs, py::handle outputs) {
                      return call.global<"ModelSignature">()("inputs"_a = inputs, "outputs"_a = outputs);
                    });
}

constexpr native::Signature kValidateUniqueName{"validate_unique_name",
                                                {{"cls"}, {"v"}},
                                                {"Refuse a data schema name used twice.", "v: the data schemas",
                                                 "the data schemas, unchanged", "ValueError: a name is used twice"}};

py::object validate_unique_name(const native::Call<kValidateUniqueName>& call) {
  const py::handle v = call.arg<"v">();
  if (!PyList_Check(v.ptr())) return borrow(v);
  py::set names;
  for (const py::handle schema : v) names.add(native::attr<"name">(schema));
  if (py::len(names) < py::len(v)) {
    native::raise(PyExc_ValueError, "Duplicated names in the schema list: %S", v.ptr());
  }
  return borrow(v);
}

void define_io_records(py::module_& m) {
  const py::object any = m.attr("Any");
  record(
      m, "IOField", "BaseModel", "One sample reduced to plain data, under its IO name.",
      {{"name", str_type()}, {"data", typed(m, "Union", {m.attr("List"), typed(m, "Union", {m.attr("Dict"), any})})}});
  record(m, "IOSignature", "BaseModel", "The IO fields of one method's input samples and of its output samples.",
         {{"inputs", typed(m, "Sequence", {any})},
          {"outputs", typed(m, "Optional", {typed(m, "Sequence", {any})}), py::none()}});

  m.attr("IOSample") = native::ClassBuilder(m, "IOSample", py::make_tuple(m.attr("RevisionableSchema")))
                           .doc("The IO sample document: per method, its sample values under their IO names.")
                           .attr("revision", native::attr<"rev2">(m.attr("SchemaRevision")))
                           .attr("schema_name", py::str("velora_io_sample"))
                           .annotate("signatures", typed(m, "Mapping", {str_type(), m.attr("IOSignature")}))
                           .classmethod<&build_io_sample>()
                           .staticmethod<&io_sample_field>()
                           .build();
}

void define_model_signature(py::module_& m) {
  const py::object schemas = typed(
      m, "Union", {typed(m, "List", {m.attr("ColumnDataSchema")}), typed(m, "List", {m.attr("TensorDataSchema")})});
  native::ClassBuilder signature(m, "ModelSignature", py::make_tuple(m.attr("BaseModel")));
  signature
      .doc(
          "The data schemas of one method's inputs and outputs.\n\n"
          "The annotations follow the signature schema of MLflow 2.12.1. The inputs must be all column\n"
          "schemas or all tensor schemas; whether inputs and outputs have the same form is not tested.")
      .annotate("inputs", schemas)
      .field("outputs", typed(m, "Optional", {schemas}), py::none());
  check<&validate_unique_name>(signature, {"inputs", "outputs"});
  m.attr("ModelSignature") = signature.classmethod<&build_model_signatures>().staticmethod<&signature_field>().build();
}

}  // namespace

void define_samples(py::module_& m) {
  define_io_records(m);
  define_model_signature(m);
}

}  // namespace velora::schemas
