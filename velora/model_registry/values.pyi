from velora.common.enum_ import Enum as Enum
from velora.common.enum_ import StrEnum as StrEnum
from velora.common.enum_ import auto as auto

class SchemaRevision(str, Enum):
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

class DataSchemaType(str, Enum):
    column = "column"
    tensor = "tensor"
