"""Artifact helpers of the model registry: JSON encoding, model paths, IO names.

One of three `common` modules under `velora.model_registry.methods`: this one serves the documents
(`velora.model_registry.schemas`); the package's `common` holds the sample types and
`frameworks.common` the checks on a framework's model object.
"""

from __future__ import annotations

import base64
import datetime as _dt
import decimal
import enum
import json
import os
import uuid
from pathlib import PurePath
from typing import Any

import numpy as np
import pandas as pd

from velora._extras import needs_extra

with needs_extra("model-registry"):
    from mlflow.types.schema import DataType

_RUNS_SCHEME = "runs:/"
_IO_KINDS = ("input", "output")


class CustomEncoder(json.JSONEncoder):
    """JSON encoder for the values model registry documents hold.

    - MLflow `DataType` members: their name ("double"), the spelling MLflow's own
      schema files use, so a written dtype reads back as the same text;
    - other enumeration members: their value (encoded again if need be);
    - numpy scalars: the matching Python number or bool; numpy arrays: nested lists;
    - pandas `Timestamp`, `datetime`, `date`, `time`: ISO 8601 text; `Timedelta`: ISO 8601 duration;
    - missing values (`pd.NaT`, `pd.NA`): null;
    - `bytes`, `bytearray`, `memoryview`: standard padded Base64 text;
    - filesystem paths, `UUID`, `Decimal`: their text; sets: lists.

    Anything else raises the writer's TypeError.
    """

    def default(self, o: Any) -> Any:
        if isinstance(o, DataType):
            return o.name
        if isinstance(o, enum.Enum):
            return o.value
        if isinstance(o, np.generic):
            return o.item()
        if isinstance(o, np.ndarray):
            return o.tolist()
        if o is pd.NaT or o is pd.NA:
            return None
        if isinstance(o, pd.Timedelta):
            return o.isoformat()
        if isinstance(o, _dt.datetime | _dt.date | _dt.time):
            return o.isoformat()
        if isinstance(o, bytes | bytearray | memoryview):
            return base64.b64encode(bytes(o)).decode("ascii")
        if isinstance(o, PurePath | uuid.UUID | decimal.Decimal):
            return str(o)
        if isinstance(o, set | frozenset):
            return list(o)
        return super().default(o)


def extract_model_path_from_mlflow(mlflow_model_info: Any, framework: Any) -> str:
    """The path of a logged model inside its run's artifacts.

    Rule, first match wins:
    1. a `str` or path-like value is taken as the model's path itself;
    2. the model information's `artifact_path`, when it is a non-empty string;
    3. its `model_uri`: for "runs:/<run_id>/<path>" the `<path>` part, any other URI as given.

    Every flavor MLflow logs keeps its files in the same artifact directory, so the
    framework does not change the path; it is accepted for the registering code's call.
    """
    del framework
    if isinstance(mlflow_model_info, str):
        return str(mlflow_model_info)
    if isinstance(mlflow_model_info, os.PathLike):
        return os.fsdecode(mlflow_model_info)
    artifact_path = getattr(mlflow_model_info, "artifact_path", None)
    if isinstance(artifact_path, str) and artifact_path:
        return str(artifact_path)
    model_uri = getattr(mlflow_model_info, "model_uri", None)
    if isinstance(model_uri, str) and model_uri:
        if model_uri.startswith(_RUNS_SCHEME):
            _run_id, _, path = model_uri[len(_RUNS_SCHEME) :].partition("/")
            if path:
                return str(path)
        return str(model_uri)
    raise ValueError(
        f"cannot find the model path in the mlflow model information: mlflow_model_info={mlflow_model_info!r}"
    )


def stringify_io_name_by_module(kind: str, index: int, framework: Any, mlflow_model_info: Any) -> str:
    """The IO name of a model's sample: "<kind>_<index>", e.g. "input_0", "output_1".

    The name depends on the kind and the position alone, so a sample gets the same name
    in the IO sample document and in the model signature whatever the framework or the
    model information; those two are accepted for the builders' call.
    """
    del framework, mlflow_model_info
    if kind not in _IO_KINDS:
        raise ValueError(f"kind of a sample should be in [input, output]: kind={kind!r}")
    if isinstance(index, bool) or not isinstance(index, int | np.integer) or index < 0:
        raise ValueError(f"index of a sample should be a non-negative integer: index={index!r}")
    return f"{str(kind)}_{int(index)}"
