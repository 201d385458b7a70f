// Part of velora.model_registry.schemas.
// The model configuration document, its parts and builders, the plain
// configuration records and the registry records.
#include "schemas_common.hpp"

namespace velora::schemas {

namespace {

using namespace pybind11::literals;

constexpr native::Signature kValidateMethodName{
    "validate_method_name",
    {{"cls"}, {"v"}},
    {"Refuse a method name that is not a Python identifier.", "v: the signatures, keyed by method name",
     "the signatures, unchanged", "ValueError: a key is not a Python identifier"}};

py::object validate_method_name(const native::Call<kValidateMethodName>& call) {
  const py::handle v = call.arg<"v">();
  for (const py::handle key : v) {
    const int valid = PyUnicode_Check(key.ptr()) ? PyUnicode_IsIdentifier(key.ptr()) : 0;
    if (valid < 0) throw py::error_already_set();
    if (valid == 0) native::raise(PyExc_ValueError, "Key names in signatures should take a form of python method name");
  }
  return native::borrowed(v);
}

constexpr native::Signature kBuildModelConfig{
    "build",
    {{"cls"}, {"context"}},
    {"The model configuration of a builder context: flavors, signatures, then extensions.",
     "context: a Revisionable.BuilderContext holding what the documents are built from",
     "ModelConfig: the model configuration document",
     "ValueError: the context lacks an entry the document needs (\"not found ... in builder\n"
     "    context\")\n"
     "ValueError: launch parameters of an unknown workload"}};

py::object build_model_config(const native::Call<kBuildModelConfig>& call) {
  const py::handle context = call.arg<"context">();
  const py::object flavors = native::attr<"build">(call.global<"ModelFlavors">())(context);
  const py::object signatures = native::attr<"build">(call.global<"ModelSignature">())(context);
  const py::object extensions = native::attr<"build">(call.global<"ModelExtensions">())(context);
  return call.global<"ModelConfig">()("flavors"_a = flavors, "signatures"_a = signatures, "extensions"_a = extensions);
}

constexpr native::Signature kBuildFlavors{
    "build",
    {{"cls"}, {"context"}},
    {"Flavors from the context's MLflow model information and framework.",
     "context: a builder context with mlflow_model_info and framework", "ModelFlavors: the flavors",
     "ValueError: the context lacks an entry the document needs (\"not found ... in builder\n"
     "    context\")"}};

py::object build_flavors(const native::Call<kBuildFlavors>& call) {
  const py::handle context = call.arg<"context">();
  require_entries<"mlflow_model_info", "framework">(context);
  const py::object framework = native::attr<"framework">(context);
  const py::object model_path =
      call.global<"extract_model_path_from_mlflow">()(native::attr<"mlflow_model_info">(context), framework);
  return call.global<"ModelFlavors">()("model_path"_a = model_path, "framework"_a = framework);
}

// The training workload of the launch parameters' source record, by its entityname.
py::object source_workload(const native::Frame& call, py::handle source) {
  if (source.is_none()) return py::none();
  const py::object entityname = native::attr<"entityname">(source);
  const py::object workload_types = call.global<"WorkloadType">();
  py::object workload;
  if (entityname.equal(native::attr<"dev_instance">(workload_types))) {
    workload = call.global<"LinkWorkload">();
  } else if (entityname.equal(native::attr<"pipeline">(workload_types))) {
    workload = call.global<"TrainingRunWorkload">();
  } else {
    native::raise(PyExc_ValueError, "entity name of launch parameters should be in [dev_instance, pipeline]");
  }
  const py::dict fields = call.global<"model_dump">()(source);
  return workload(**fields);
}

constexpr native::Signature kBuildExtensions{
    "build",
    {{"cls"}, {"context"}},
    {"Extensions from the context's image snapshot, artifact size and launch parameters.", "context: a builder context",
     "ModelExtensions: the extensions",
     "ValueError: launch parameters whose entity name is neither dev_instance nor pipeline"}};

py::object build_extensions(const native::Call<kBuildExtensions>& call) {
  const py::handle context = call.arg<"context">();
  require_entries<"mlflow_model_info", "image_snapshot_info", "artifact_size_bytes", "launch_params">(context);
  const py::object source = source_workload(call, native::attr<"source">(native::attr<"launch_params">(context)));
  const py::object now = native::attr<"time">(call.global<"time">())();
  const py::object model_info =
      call.global<"ModelInfo">()("created_at"_a = native::owned(PyNumber_Long(now.ptr())),
                                 "artifact_size"_a = native::attr<"artifact_size_bytes">(context));
  const py::object image = native::attr<"image_snapshot_info">(context);
  const py::object image_url = native::attr<"image_url">(image);
  const py::object service = call.global<"VeloraImageSnapshotService">()(
      "name"_a = "image_snapshots", "resource_uuid"_a = native::attr<"run_uuid">(image));
  const py::object container = call.global<"RuntimeContainer">()("image_url"_a = image_url, "service"_a = service);
  return call.global<"ModelExtensions">()("model_info"_a = model_info, "container"_a = container, "source"_a = source);
}

}  // namespace

void define_config(py::module_& m) {
  record(m, "ModelInfo", "BaseModel",
         "When the model was registered (seconds since the Unix epoch) and the size of its artifacts in bytes.",
         {{"created_at", "int"}, {"artifact_size", "Optional[int]", "None"}});
  record(m, "VeloraImageSnapshotService", "BaseModel",
         "The platform entity that manages a container image, so that its build can be traced.\n\n"
         "`name` is the name of the platform's image snapshot table.",
         {{"name", "Literal['image_snapshots']"}, {"resource_uuid", "str"}});
  record(m, "RuntimeContainer", "BaseModel", "The runtime container from which the serving environment is built.",
         {{"image_url", "str"}, {"service", "VeloraImageSnapshotService"}});
  record(m, "SourceWorkload", "BaseModel",
         "The workload on which the model was trained, kept for traceability.\n\n"
         "Subclasses carry what is needed to reproduce the training environment as far as possible.",
         {});
  record(m, "LinkWorkload", "SourceWorkload", "Training in a development instance.",
         {{"entityname", "Literal[WorkloadType.dev_instance]"},
          {"resource_id", "int"},
          {"dev_instance_type", "Optional[str]", "None"}});
  record(m, "TrainingRunWorkload", "SourceWorkload", "Training in a pipeline run.",
         {{"entityname", "Literal[WorkloadType.pipeline]"},
          {"resource_id", "int"},
          {"run_uuid", "Optional[str]", "None"},
          {"pipeline_id", "Optional[int]", "None"},
          {"pipeline_version_id", "Optional[int]", "None"}});
  record(m, "ModelExtensions", "BaseModel", "Where the model comes from and how it is served.",
         {{"model_info", "ModelInfo"},
          {"container", "RuntimeContainer"},
          {"source", "Optional[Union[LinkWorkload, TrainingRunWorkload]]", "Field(..., discriminator='entityname')"},
          {"velora_sdk_version", "Optional[str]", "None"}},
         {member<&build_extensions>(m, PyClassMethod_New)});

  record(m, "ModelFlavors", "BaseModel", "How the model is stored and by which framework it was logged.",
         {{"model_path", "str"}, {"framework", "Union[str, ModelFramework]"}},
         {member<&build_flavors>(m, PyClassMethod_New)});
  record(m, "ModelConfig", "RevisionableSchema",
         "The model configuration document: flavors, per-method signatures and extensions.",
         {{"schema_name", nullptr, "'velora_model_config'"},
          {"revision", nullptr, "SchemaRevision.rev2"},
          {"flavors", "ModelFlavors"},
          {"signatures", "Mapping[str, ModelSignature]"},
          {"extensions", "Optional[ModelExtensions]", "None"}},
         {check<&validate_method_name>(m, "signatures"), member<&build_model_config>(m, PyClassMethod_New)});

  record(m, "VeloraParamModel", "BaseModel", "Velora input model.",
         {{"type", "str"}, {"schema_", "List[Union[ColumnSpecModel, TensorSpecModel]]", "Field(..., alias='schema')"}});
  record(m, "VeloraSignatureModel", "BaseModel", "Velora signature model.",
         {{"inputs", "List[VeloraParamModel]"}, {"outputs", "List[VeloraParamModel]"}});
  m.attr("VeloraSignatures") = evaluated(m, "Dict[str, VeloraSignatureModel]");
  record(m, "ModelFlavorsModel", "BaseModel", "Model flavors with plain types.",
         {{"model_path", "str"}, {"framework", "Union[str, ModelFramework]"}});
  record(m, "VeloraConfigModel", "BaseModel", "Model configuration with plain types and no checks.",
         {{"flavors", "ModelFlavorsModel"}, {"signatures", "VeloraSignatures"}});

  record(m, "MLFlowEssentialData", "BaseModel", "Where an MLflow registry keeps the model: its run and artifact path.",
         {{"type", "Literal['mlflow']"}, {"artifact_path", "str"}, {"run_id", "str"}});
  record(m, "WandbEssentialData", "BaseModel", "What a wandb registry keeps of the model.",
         {{"type", "Literal['wandb']"}});
  record(m, "ModelRegistryInfo", "BaseInfo", "ModelRegistry information.", {});
}

}  // namespace velora::schemas
