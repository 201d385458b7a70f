// Part of velora.model_registry.schemas.
// Samples of a model's methods turned into the IO sample document and into
// per-method signatures. Both builders name each sample through the same
// outside function, so the two documents carry the same names.
#include "schemas_common.hpp"

namespace velora::schemas {

namespace {

using namespace pybind11::literals;

enum class SampleKind { DataFrame, Series, Array };

// Which of the supported kinds `sample` is; anything else is refused.
SampleKind kind_of(const native::Frame& call, py::handle sample) {
  const py::object pd = call.global<"pd">();
  if (py::isinstance(sample, native::attr<"DataFrame">(pd))) return SampleKind::DataFrame;
  if (py::isinstance(sample, native::attr<"Series">(pd))) return SampleKind::Series;
  if (py::isinstance(sample, native::attr<"ndarray">(call.global<"np">()))) return SampleKind::Array;
  native::raise(PyExc_ValueError, "unknown sample type: type=%R", reinterpret_cast<PyObject*>(Py_TYPE(sample.ptr())));
}

// The first value of a column or series, as a plain Python value.
py::object first_value(py::handle column) { return native::attr<"to_list">(column)()[py::int_(0)]; }

py::list single(py::handle value) { return py::list(py::make_tuple(value)); }

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
  py::list data;
  switch (kind_of(call, sample)) {
    case SampleKind::DataFrame:
      for (const py::handle label : native::attr<"columns">(sample)) {
        data.append(py::dict("name"_a = label, "data"_a = single(first_value(sample[label]))));
      }
      break;
    case SampleKind::Series:
      data = single(first_value(sample));
      break;
    case SampleKind::Array:
      data = single(py::dict("name"_a = name, "data"_a = native::attr<"tolist">(sample)()));
  }
  return call.global<"IOField">()("name"_a = name, "data"_a = data);
}

py::object column_spec(const native::Frame& call, py::handle name, py::handle column) {
  return call.global<"ColumnSpec">()("name"_a = name, "dtype"_a = call.global<"_infer_pandas_column">()(column));
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
  py::list specs;
  switch (kind_of(call, sample)) {
    case SampleKind::DataFrame:
      for (const py::handle label : native::attr<"columns">(sample)) {
        specs.append(column_spec(call, label, sample[label]));
      }
      break;
    case SampleKind::Series:
      specs = single(column_spec(call, name, sample));
      break;
    case SampleKind::Array: {
      const py::object dtype = call.global<"clean_tensor_type">()(native::attr<"dtype">(sample));
      const py::object shape = call.global<"_get_tensor_shape">()(sample);
      const py::object spec =
          call.global<"TensorSpec">()("name"_a = name, "dtype"_a = py::str(dtype), "shape"_a = shape);
      const py::object tensor = native::attr<"tensor">(call.global<"DataSchemaType">());
      return call.global<"TensorDataSchema">()("name"_a = name, "type"_a = tensor, "schema"_a = single(spec));
    }
  }
  const py::object column = native::attr<"column">(call.global<"DataSchemaType">());
  return call.global<"ColumnDataSchema">()("name"_a = name, "type"_a = column, "schema"_a = specs);
}

// How a builder calls its class's generate_io_field: the IO sample document
// takes the sample first, the signature the name first.
enum class ArgumentOrder { SampleFirst, NameFirst };

// The frame both builders share: the entry checks, then per method of
// `inputs_sample` the input entries and, when the method has output
// samples, the output entries (None otherwise), in a `Record` of the module.
template <native::Literal Record>
py::dict per_method(const native::Frame& call, py::handle cls, py::handle context, ArgumentOrder order) {
  require_entries<"mlflow_model_info", "inputs_sample", "framework">(context);
  // The fields or schemas of one method's samples of one kind ("input" or
  // "output"), each named by stringify_io_name_by_module with its position.
  const auto entries = [&](PyObject* kind, py::handle samples) {
    py::list built;
    Py_ssize_t index = 0;
    for (const py::handle sample : samples) {
      const py::object name = call.global<"stringify_io_name_by_module">()(
          py::handle(kind), index++, native::attr<"framework">(context), native::attr<"mlflow_model_info">(context));
      const py::object generate = native::attr<"generate_io_field">(cls);
      built.append(order == ArgumentOrder::SampleFirst ? generate(sample, name) : generate(name, sample));
    }
    return built;
  };
  // A context without outputs_sample has no output samples.
  py::object outputs_sample = native::optional_attr<"outputs_sample">(context);
  if (!outputs_sample) outputs_sample = py::dict();
  py::dict built;
  for (const py::handle item : native::attr<"items">(native::attr<"inputs_sample">(context))()) {
    const py::object method = item[py::int_(0)];
    const py::list inputs = entries(native::interned<"input">(), item[py::int_(1)]);
    const py::object output_samples = native::attr<"get">(outputs_sample)(method);
    py::object outputs = py::none();
    if (native::truthy(output_samples)) outputs = entries(native::interned<"output">(), output_samples);
    built[method] = call.global<Record>()("inputs"_a = inputs, "outputs"_a = outputs);
  }
  return built;
}

// What both builders take and raise.
constexpr const char* kBuildArgs =
    "context: a builder context with mlflow_model_info, inputs_sample and framework\n"
    "    (outputs_sample optional)";
constexpr const char* kBuildRaises =
    "ValueError: the context lacks an entry the document needs (\"not found ... in builder\n"
    "    context\")\n"
    "ValueError: a sample of an unsupported type";

constexpr native::Signature kBuildIoSample{
    "build",
    {{"cls"}, {"context"}},
    {"The IO sample document of the context's `inputs_sample` and `outputs_sample`.", kBuildArgs,
     "IOSample: the IO sample document", kBuildRaises}};

py::object build_io_sample(const native::Call<kBuildIoSample>& call) {
  const py::dict signatures =
      per_method<"IOSignature">(call, call.arg<"cls">(), call.arg<"context">(), ArgumentOrder::SampleFirst);
  return call.global<"IOSample">()("signatures"_a = signatures);
}

constexpr native::Signature kBuildModelSignatures{
    "build",
    {{"cls"}, {"context"}},
    {"Per method of the context's `inputs_sample`, the signature of its input and output samples.", kBuildArgs,
     "dict: method name to its ModelSignature", kBuildRaises}};

py::object build_model_signatures(const native::Call<kBuildModelSignatures>& call) {
  return per_method<"ModelSignature">(call, call.arg<"cls">(), call.arg<"context">(), ArgumentOrder::NameFirst);
}

constexpr native::Signature kValidateUniqueName{"validate_unique_name",
                                                {{"cls"}, {"v"}},
                                                {"Refuse a data schema name used twice.", "v: the data schemas",
                                                 "the data schemas, unchanged", "ValueError: a name is used twice"}};

py::object validate_unique_name(const native::Call<kValidateUniqueName>& call) {
  const py::handle v = call.arg<"v">();
  if (!PyList_Check(v.ptr())) return native::borrowed(v);
  py::set names;
  for (const py::handle schema : v) names.add(native::attr<"name">(schema));
  if (py::len(names) < py::len(v)) {
    native::raise(PyExc_ValueError, "Duplicated names in the schema list: %S", v.ptr());
  }
  return native::borrowed(v);
}

}  // namespace

void define_samples(py::module_& m) {
  record(m, "IOField", "BaseModel", "One sample reduced to plain data, under its IO name.",
         {{"name", "str"}, {"data", "Union[List, Union[Dict, Any]]"}});
  record(m, "IOSignature", "BaseModel", "The IO fields of one method's input samples and of its output samples.",
         {{"inputs", "Sequence[Any]"}, {"outputs", "Optional[Sequence[Any]]", "None"}});
  record(m, "IOSample", "RevisionableSchema",
         "The IO sample document: per method, its sample values under their IO names.",
         {{"revision", nullptr, "SchemaRevision.rev2"},
          {"schema_name", nullptr, "'velora_io_sample'"},
          {"signatures", "Mapping[str, IOSignature]"}},
         {member<&build_io_sample>(m, PyClassMethod_New), member<&io_sample_field>(m, PyStaticMethod_New)});

  record(m, "ModelSignature", "BaseModel",
         "The data schemas of one method's inputs and outputs.\n\n"
         "The annotations follow the signature schema of MLflow 2.12.1. The inputs must be all column\n"
         "schemas or all tensor schemas; whether inputs and outputs have the same form is not tested.",
         {{"inputs", "Union[List[ColumnDataSchema], List[TensorDataSchema]]"},
          {"outputs", "Optional[Union[List[ColumnDataSchema], List[TensorDataSchema]]]", "None"}},
         {check<&validate_unique_name>(m, "inputs", "outputs"), member<&build_model_signatures>(m, PyClassMethod_New),
          member<&signature_field>(m, PyStaticMethod_New)});
}

}  // namespace velora::schemas
