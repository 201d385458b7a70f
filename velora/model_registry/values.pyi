"""The model registry's closed vocabularies."""

from enum import Enum

from velora.common.enum_ import StrEnum

class SchemaRevision(str, Enum):  # noqa: UP042
    rev1 = "1"
    rev2 = "2"
    @classmethod
    def get_latest_revision(cls) -> SchemaRevision: ...

class ModelRegistryType(StrEnum):
    mlflow = "mlflow"
    wandb = "wandb"

class ModelFramework(StrEnum):
    onnx = "onnx"
    pytorch = "pytorch"
    pyfunc = "pyfunc"
    sklearn = "sklearn"
    tensorflow = "tensorflow"
    xgboost = "xgboost"

class DataSchemaType(str, Enum):  # noqa: UP042
    column = "column"
    tensor = "tensor"
