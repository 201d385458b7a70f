"""The model configuration document: its builders, checks, file and the plain and registry records."""

from __future__ import annotations

import time
import typing
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd
import pydantic
import pytest
from pydantic import BaseModel

from velora.common.schemas import BaseInfo
from velora.common.values import WorkloadType
from velora.model_registry import schemas
from velora.model_registry.schemas import (
    IOSample,
    LinkWorkload,
    MLFlowEssentialData,
    ModelConfig,
    ModelExtensions,
    ModelFlavors,
    ModelRegistryInfo,
    ModelSignature,
    Revision,
    Revisionable,
    TrainingRunWorkload,
    VeloraConfigModel,
    VeloraImageSnapshotService,
    VeloraParamModel,
    VeloraSignatureModel,
    WandbEssentialData,
)
from velora.model_registry.values import ModelFramework, SchemaRevision

BuilderContext = Revisionable.BuilderContext
MODULE = "velora.model_registry.schemas"
METHOD_NAME_MESSAGE = "Key names in signatures should take a form of python method name"


class LaunchSource(BaseModel):
    """The launch parameters' source record, as the registering code hands it over."""

    entityname: str
    resource_id: int | None = None
    dev_instance_type: str | None = None
    run_uuid: str | None = None
    launched_by: str = "someone"


@pytest.fixture
def frozen_clock(monkeypatch) -> float:
    moment = 1_717_171_717.987
    monkeypatch.setattr(f"{MODULE}.time", SimpleNamespace(time=lambda: moment))
    return moment


def full_context(image_snapshot, launch_params, **entries: Any) -> Revisionable.BuilderContext:
    given: dict[str, Any] = {
        "mlflow_model_info": SimpleNamespace(artifact_path="model", model_uri="runs:/r1/model", run_id="r1"),
        "framework": ModelFramework.sklearn,
        "inputs_sample": {"predict": [pd.DataFrame({"a": [1], "b": [2.5]})]},
        "outputs_sample": {"predict": [pd.Series([0.5])]},
        "image_snapshot_info": image_snapshot,
        "artifact_size_bytes": 2048,
        "launch_params": launch_params,
    }
    given.update(entries)
    return BuilderContext(**given)


def write(document: Revisionable, directory) -> str:
    path = directory / document.get_filename()
    with path.open("w") as stream:
        document.dump(stream)
    return path.read_text()


@pytest.mark.parametrize(
    ("builder", "entries", "missing"),
    [
        (ModelFlavors.build, {}, "mlflow_model_info"),
        (ModelFlavors.build, {"framework": "onnx"}, "mlflow_model_info"),
        (ModelFlavors.build, {"mlflow_model_info": 1}, "framework"),
        (ModelExtensions.build, {"framework": "onnx"}, "mlflow_model_info"),
        (ModelExtensions.build, {"mlflow_model_info": None}, "image_snapshot_info"),
        (
            ModelExtensions.build,
            {"mlflow_model_info": None, "image_snapshot_info": None},
            "artifact_size_bytes",
        ),
        (
            ModelExtensions.build,
            {"mlflow_model_info": None, "image_snapshot_info": None, "artifact_size_bytes": None},
            "launch_params",
        ),
    ],
)
def test_builders_name_the_first_missing_entry(builder, entries, missing):
    built = BuilderContext(**entries)
    with pytest.raises(ValueError) as caught:
        builder(built)
    assert str(caught.value) == f"not found {missing} in builder context: context={built!r}"


def test_flavors_take_the_model_path_from_the_model_information(monkeypatch):
    calls = []

    def extract(*args: Any, **kwargs: Any) -> str:
        calls.append((args, kwargs))
        return "model"

    monkeypatch.setattr(f"{MODULE}.extract_model_path_from_mlflow", extract)
    info = SimpleNamespace(artifact_path="ignored")
    flavors = ModelFlavors.build(BuilderContext(mlflow_model_info=info, framework=ModelFramework.onnx))
    assert calls == [((info, ModelFramework.onnx), {})]
    assert flavors == ModelFlavors(model_path="model", framework="onnx")


def test_extensions_without_a_source(image_snapshot, launch_params, frozen_clock):
    extensions = ModelExtensions.build(full_context(image_snapshot, launch_params))
    assert extensions.source is None
    assert extensions.velora_sdk_version is None
    assert (extensions.model_info.created_at, extensions.model_info.artifact_size) == (1_717_171_717, 2048)
    assert extensions.container.image_url == "registry.local/velora/serving:1.4"
    assert extensions.container.service == VeloraImageSnapshotService(
        name="image_snapshots", resource_uuid="0f6c1d3e-run"
    )


def test_a_dev_instance_source_becomes_a_link_workload(image_snapshot):
    source = LaunchSource(entityname="dev_instance", resource_id=7)
    extensions = ModelExtensions.build(full_context(image_snapshot, SimpleNamespace(source=source)))
    assert type(extensions.source) is LinkWorkload
    assert extensions.source == LinkWorkload(entityname=WorkloadType.dev_instance, resource_id=7)
    assert extensions.source.dev_instance_type is None
    assert not hasattr(extensions.source, "launched_by")


def test_a_pipeline_source_becomes_a_training_run_workload(image_snapshot):
    source = LaunchSource(entityname=WorkloadType.pipeline, resource_id=3)
    extensions = ModelExtensions.build(full_context(image_snapshot, SimpleNamespace(source=source)))
    assert type(extensions.source) is TrainingRunWorkload
    assert extensions.source.resource_id == 3
    assert (
        extensions.source.run_uuid,
        extensions.source.pipeline_id,
        extensions.source.pipeline_version_id,
    ) == (
        None,
        None,
        None,
    )


def test_a_source_of_another_workload_is_refused(image_snapshot):
    source = LaunchSource(entityname="notebook", resource_id=3)
    with pytest.raises(
        ValueError, match=r"^entity name of launch parameters should be in \[dev_instance, pipeline\]$"
    ):
        ModelExtensions.build(full_context(image_snapshot, SimpleNamespace(source=source)))


def test_a_source_without_its_resource_is_refused_by_the_record(image_snapshot):
    source = LaunchSource(entityname="pipeline")
    with pytest.raises(pydantic.ValidationError):
        ModelExtensions.build(full_context(image_snapshot, SimpleNamespace(source=source)))


@pytest.mark.parametrize(
    ("image", "launch"),
    [
        (SimpleNamespace(image_url="x", run_uuid="u"), SimpleNamespace()),
        (SimpleNamespace(run_uuid="u"), SimpleNamespace(source=None)),
        (SimpleNamespace(image_url="x"), SimpleNamespace(source=None)),
        (SimpleNamespace(run_uuid=None), SimpleNamespace(source=None)),  # the url is read first
    ],
)
def test_entries_without_their_attributes_raise_attribute_errors(image, launch):
    with pytest.raises(AttributeError):
        ModelExtensions.build(full_context(image, launch))


def test_created_at_is_whole_seconds_of_now(image_snapshot, launch_params):
    before = int(time.time())
    first = ModelExtensions.build(full_context(image_snapshot, launch_params)).model_info.created_at
    after = int(time.time())
    assert type(first) is int
    assert before <= first <= after


def test_model_config_builds_its_parts_in_order(image_snapshot, launch_params):
    # Each context lacks entries of several builders: the first builder's message wins.
    lacking_framework = BuilderContext(mlflow_model_info=None, inputs_sample={})
    with pytest.raises(ValueError, match="^not found framework in builder context"):
        ModelConfig.build(lacking_framework)
    lacking_inputs = BuilderContext(mlflow_model_info="model", framework="onnx")
    with pytest.raises(ValueError, match="^not found inputs_sample in builder context"):
        ModelConfig.build(lacking_inputs)
    lacking_image = BuilderContext(mlflow_model_info="m", framework="onnx", inputs_sample={})
    with pytest.raises(ValueError, match="^not found image_snapshot_info in builder context"):
        ModelConfig.build(lacking_image)


def test_model_config_build_gives_the_module_classes(image_snapshot, launch_params):
    class Staged(ModelConfig):
        pass

    config = Staged.build(full_context(image_snapshot, launch_params))
    assert type(config) is ModelConfig
    assert type(config.flavors) is ModelFlavors
    assert type(config.signatures["predict"]) is ModelSignature
    assert type(config.extensions) is ModelExtensions


@pytest.mark.parametrize("name", ["predict", "_score", "predict_v2", "class", "예측", "predict_proba"])
def test_method_names_that_are_identifiers_pass(name):
    config = ModelConfig(flavors={"model_path": "m", "framework": "onnx"}, signatures={name: {"inputs": []}})
    assert list(config.signatures) == [name]


@pytest.mark.parametrize("name", ["2predict", "predict-proba", "predict proba", "", "predict.v2"])
def test_method_names_that_are_not_identifiers_are_refused(name, raises_check):
    with raises_check(METHOD_NAME_MESSAGE):
        ModelConfig(
            flavors={"model_path": "m", "framework": "onnx"},
            signatures={"predict": {"inputs": []}, name: {"inputs": []}},
        )


def test_empty_signatures_pass():
    assert ModelConfig(flavors={"model_path": "m", "framework": "onnx"}, signatures={}).signatures == {}


def test_a_written_model_config(tmp_path, image_snapshot, frozen_clock):
    source = LaunchSource(entityname="dev_instance", resource_id=7)
    config = ModelConfig.build(full_context(image_snapshot, SimpleNamespace(source=source)))
    assert write(config, tmp_path) == (
        '{"flavors": {"model_path": "model", "framework": "sklearn"}, '
        '"signatures": {"predict": {'
        '"inputs": [{"name": "input_0", "type": "column", "schema": ['
        '{"name": "a", "dtype": "long", "shape": [1]}, {"name": "b", "dtype": "double", "shape": [1]}]}], '
        '"outputs": [{"name": "output_0", "type": "column", "schema": '
        '[{"name": "output_0", "dtype": "double", "shape": [1]}]}]}}, '
        '"extensions": {"model_info": {"created_at": 1717171717, "artifact_size": 2048}, '
        '"container": {"image_url": "registry.local/velora/serving:1.4", '
        '"service": {"name": "image_snapshots", "resource_uuid": "0f6c1d3e-run"}}, '
        '"source": {"entityname": "dev_instance", "resource_id": 7, "dev_instance_type": null}, '
        '"velora_sdk_version": null}}'
    )


def test_a_config_without_extensions_writes_null(tmp_path):
    config = ModelConfig(flavors=ModelFlavors(model_path="m", framework="onnx"), signatures={})
    assert (
        write(config, tmp_path)
        == '{"flavors": {"model_path": "m", "framework": "onnx"}, "signatures": {}, "extensions": null}'
    )


def test_model_registry_files_round_trip_through_a_directory(tmp_path, image_snapshot):
    source = LaunchSource(entityname="pipeline", resource_id=3, run_uuid="run-9")
    built = full_context(
        image_snapshot,
        SimpleNamespace(source=source),
        inputs_sample={"predict": [np.zeros((2, 4), dtype=np.float32)], "score": [pd.DataFrame({"a": [1]})]},
        outputs_sample={"predict": [np.ones(2)]},
        revision=SchemaRevision.get_latest_revision(),
    )
    config, io_sample, revision = ModelConfig.build(built), IOSample.build(built), Revision.build(built)
    for document in (config, io_sample, revision):
        write(document, tmp_path)

    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "velora_io_sample.json",
        "velora_model_config.json",
        "velora_revision.json",
    ]
    assert Revision.parse(tmp_path).revision == "2"
    with (tmp_path / ModelConfig.get_filename()).open() as stream:
        loaded_config = ModelConfig.load(stream)
    with (tmp_path / IOSample.get_filename()).open() as stream:
        loaded_io_sample = IOSample.load(stream)

    assert loaded_config.signatures["predict"] == config.signatures["predict"]
    assert loaded_config.extensions == config.extensions
    assert type(loaded_config.extensions.source) is TrainingRunWorkload
    # An MLflow data type is written as its name and reads back as that text.
    assert loaded_config.signatures["score"].inputs[0].schema_[0].dtype == "long"
    assert loaded_config.to_dict()["signatures"]["score"] == {
        "inputs": [
            {"name": "input_0", "type": "column", "schema": [{"name": "a", "dtype": "long", "shape": [1]}]}
        ],
        "outputs": None,
    }
    assert loaded_io_sample.to_dict() == io_sample.to_dict()
    assert write(loaded_config, tmp_path / "..") == (tmp_path / ModelConfig.get_filename()).read_text()


@pytest.mark.parametrize(
    ("source", "workload"),
    [
        ({"entityname": "pipeline", "resource_id": 1}, TrainingRunWorkload),
        ({"entityname": "dev_instance", "resource_id": 1, "dev_instance_type": "cpu-2"}, LinkWorkload),
        (None, type(None)),
    ],
)
def test_extensions_pick_the_workload_by_entityname(source, workload):
    extensions = ModelExtensions(
        model_info={"created_at": 1},
        container={"image_url": "i", "service": {"name": "image_snapshots", "resource_uuid": "u"}},
        source=source,
    )
    assert type(extensions.source) is workload


@pytest.mark.parametrize("source", [{"entityname": "notebook", "resource_id": 1}, {"resource_id": 1}])
def test_extensions_refuse_an_unknown_workload(source):
    with pytest.raises(pydantic.ValidationError):
        ModelExtensions(
            model_info={"created_at": 1},
            container={"image_url": "i", "service": {"name": "image_snapshots", "resource_uuid": "u"}},
            source=source,
        )


def test_the_source_must_be_given_even_as_none():
    with pytest.raises(pydantic.ValidationError) as caught:
        ModelExtensions(
            model_info={"created_at": 1},
            container={"image_url": "i", "service": {"name": "image_snapshots", "resource_uuid": "u"}},
        )
    assert [error["loc"] for error in caught.value.errors()] == [("source",)]


def test_the_image_snapshot_service_is_only_image_snapshots():
    with pytest.raises(pydantic.ValidationError):
        VeloraImageSnapshotService(name="images", resource_uuid="u")


@pytest.mark.parametrize(
    ("record", "given"),
    [(MLFlowEssentialData, {"artifact_path": "model", "run_id": "r1"}), (WandbEssentialData, {})],
)
def test_registry_records_need_their_type_stated(record, given):
    with pytest.raises(pydantic.ValidationError):
        record(**given)
    kind = "mlflow" if record is MLFlowEssentialData else "wandb"
    assert record(type=kind, **given).type == kind
    with pytest.raises(pydantic.ValidationError):
        record(type="other", **given)


def test_model_registry_info_is_a_base_info():
    info = ModelRegistryInfo(id=4, name="registry")
    assert isinstance(info, BaseInfo)
    assert (info.id, info.name) == (4, "registry")
    assert ModelRegistryInfo.__doc__ == "ModelRegistry information."


def test_plain_configuration_records():
    config = VeloraConfigModel(
        flavors={"model_path": "m", "framework": ModelFramework.xgboost},
        signatures={
            "predict": {
                "inputs": [
                    {"type": "tensor", "schema": [{"name": "x", "dtype": "float32", "shape": [-1, 3]}]}
                ],
                "outputs": [{"type": "column", "schema": [{"dtype": "double"}]}],
            }
        },
    )
    signature = config.signatures["predict"]
    assert type(signature) is VeloraSignatureModel
    assert signature.inputs[0].schema_[0].shape == [-1, 3]
    assert signature.outputs[0].schema_[0].shape == [1]
    assert typing.get_args(schemas.VeloraSignatures) == (str, VeloraSignatureModel)
    assert (VeloraParamModel.__doc__, VeloraSignatureModel.__doc__) == (
        "Velora input model.",
        "Velora signature model.",
    )


def test_plain_params_take_specs_only_under_the_alias():
    assert VeloraParamModel(type="column", schema=[{"dtype": "long"}]).schema_[0].dtype == "long"
    with pytest.raises(pydantic.ValidationError):
        VeloraParamModel(type="column", schema_=[{"dtype": "long"}])
