"""The model registry's validated records, revision-stamped documents, samples and signatures."""

from abc import ABC, abstractmethod
from collections.abc import Mapping, Sequence
from pathlib import Path
from types import SimpleNamespace
from typing import Any, ClassVar, Literal, Self

import numpy as np
import pandas as pd
from _typeshed import SupportsRead, SupportsWrite
from mlflow.types.schema import DataType
from pydantic import BaseModel, Field

from velora.common.schemas import BaseInfo
from velora.common.values import WorkloadType
from velora.model_registry.values import DataSchemaType, ModelFramework, SchemaRevision

PYDANTIC_V2: bool
NATIVE_FUNCTION_TYPES: tuple[type, ...]

_Sample = pd.DataFrame | pd.Series | np.ndarray

class SchemaSpec(BaseModel):
    name: str | None = None
    dtype: str | DataType
    shape: list[int] | None = None
    @classmethod
    def validate_name(cls, v: str | None) -> str | None: ...

class ColumnSpec(SchemaSpec):
    shape: list[int] | None = ...
    @classmethod
    def validate_shape(cls, v: list[int] | None) -> list[int] | None: ...

class TensorSpec(SchemaSpec):
    shape: list[int]

class DataSchema(BaseModel, ABC):
    name: str
    type: Literal[DataSchemaType.column, DataSchemaType.tensor]
    schema_: Sequence[SchemaSpec] = Field(alias="schema")

class ColumnDataSchema(DataSchema):
    type: Literal[DataSchemaType.column]
    schema_: Sequence[ColumnSpec] = Field(alias="schema")
    @classmethod
    def validate_schema(cls, v: Sequence[ColumnSpec]) -> Sequence[ColumnSpec]: ...

class TensorDataSchema(DataSchema):
    type: Literal[DataSchemaType.tensor]
    schema_: Sequence[TensorSpec] = Field(alias="schema")
    @classmethod
    def validate_schema(cls, v: Sequence[TensorSpec]) -> Sequence[TensorSpec]: ...

class ColumnSpecModel(BaseModel):
    name: str | None = None
    dtype: str
    shape: list[int] | None = ...

class TensorSpecModel(BaseModel):
    name: str | None = None
    dtype: str
    shape: list[int]

class Revisionable(ABC):
    class BuilderContext(SimpleNamespace): ...

    def dump(self, fp: SupportsWrite[str]) -> None: ...
    @classmethod
    @abstractmethod
    def load(cls, fp: SupportsRead[str]) -> Self: ...
    @abstractmethod
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    @abstractmethod
    def from_dict(cls, item: dict[str, Any]) -> Self: ...
    @classmethod
    @abstractmethod
    def build(cls, context: Revisionable.BuilderContext) -> Revisionable: ...
    @classmethod
    def get_filename(cls) -> str: ...
    @classmethod
    def extract_schema_name_from_filename(cls, filename: str) -> str | None: ...
    @classmethod
    @abstractmethod
    def get_schema_name(cls) -> str: ...

class RevisionableSchema(Revisionable, BaseModel):
    schema_name: ClassVar[str]
    revision: ClassVar[SchemaRevision]
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    def load(cls, fp: SupportsRead[str]) -> Self: ...
    @classmethod
    def from_dict(cls, item: dict[str, Any]) -> Self: ...
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> Revisionable: ...
    @classmethod
    def get_schema_name(cls) -> str: ...

class Revision(RevisionableSchema):
    schema_name: ClassVar[str]
    revision: SchemaRevision  # type: ignore[misc]
    @classmethod
    def parse(cls, path: str | Path) -> Revision: ...
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> Revision: ...

class IOField(BaseModel):
    name: str
    data: list[Any] | dict[Any, Any] | Any

class IOSignature(BaseModel):
    inputs: Sequence[Any]
    outputs: Sequence[Any] | None = None

class IOSample(RevisionableSchema):
    revision: ClassVar[SchemaRevision]
    schema_name: ClassVar[str]
    signatures: Mapping[str, IOSignature]
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> IOSample: ...
    @staticmethod
    def generate_io_field(sample: _Sample | str | bytes, name: str) -> IOField: ...

class ModelSignature(BaseModel):
    inputs: list[ColumnDataSchema] | list[TensorDataSchema]
    outputs: list[ColumnDataSchema] | list[TensorDataSchema] | None = None
    @classmethod
    def validate_unique_name(cls, v: list[DataSchema] | None) -> list[DataSchema] | None: ...
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> dict[str, ModelSignature]: ...
    @staticmethod
    def generate_io_field(name: str, sample: _Sample) -> ColumnDataSchema | TensorDataSchema: ...

class ModelFlavors(BaseModel):
    model_path: str
    framework: str | ModelFramework
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> ModelFlavors: ...

class ModelInfo(BaseModel):
    created_at: int
    artifact_size: int | None = None

class VeloraImageSnapshotService(BaseModel):
    name: Literal["image_snapshots"]
    resource_uuid: str

class RuntimeContainer(BaseModel):
    image_url: str
    service: VeloraImageSnapshotService

class SourceWorkload(BaseModel): ...

class LinkWorkload(SourceWorkload):
    entityname: Literal[WorkloadType.dev_instance]
    resource_id: int
    dev_instance_type: str | None = None

class TrainingRunWorkload(SourceWorkload):
    entityname: Literal[WorkloadType.pipeline]
    resource_id: int
    run_uuid: str | None = None
    pipeline_id: int | None = None
    pipeline_version_id: int | None = None

class ModelExtensions(BaseModel):
    model_info: ModelInfo
    container: RuntimeContainer
    source: LinkWorkload | TrainingRunWorkload | None
    velora_sdk_version: str | None = None
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> ModelExtensions: ...

class ModelConfig(RevisionableSchema):
    schema_name: ClassVar[str]
    revision: ClassVar[SchemaRevision]
    flavors: ModelFlavors
    signatures: Mapping[str, ModelSignature]
    extensions: ModelExtensions | None = None
    @classmethod
    def validate_method_name(cls, v: Mapping[str, ModelSignature]) -> Mapping[str, ModelSignature]: ...
    @classmethod
    def build(cls, context: Revisionable.BuilderContext) -> ModelConfig: ...

class VeloraParamModel(BaseModel):
    type: str
    schema_: list[ColumnSpecModel | TensorSpecModel] = Field(alias="schema")

class VeloraSignatureModel(BaseModel):
    inputs: list[VeloraParamModel]
    outputs: list[VeloraParamModel]

VeloraSignatures = dict[str, VeloraSignatureModel]

class ModelFlavorsModel(BaseModel):
    model_path: str
    framework: str | ModelFramework

class VeloraConfigModel(BaseModel):
    flavors: ModelFlavorsModel
    signatures: VeloraSignatures

class MLFlowEssentialData(BaseModel):
    type: Literal["mlflow"]
    artifact_path: str
    run_id: str

class WandbEssentialData(BaseModel):
    type: Literal["wandb"]

class ModelRegistryInfo(BaseInfo): ...
