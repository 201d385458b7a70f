"""The artifact helpers: JSON encoding of document values, model paths and IO names."""

from __future__ import annotations

import datetime as dt
import decimal
import enum
import json
import uuid
import warnings
from pathlib import Path, PurePosixPath
from types import SimpleNamespace

import mlflow
import numpy as np
import pandas as pd
import pytest
from mlflow.types.schema import DataType

from velora.model_registry.methods.artifacts.common import (
    CustomEncoder,
    extract_model_path_from_mlflow,
    stringify_io_name_by_module,
)
from velora.model_registry.values import DataSchemaType, ModelFramework


class Colour(enum.Enum):
    red = "red"
    nested = ("a", 1)


@pytest.fixture(scope="module")
def logged_model_info(tmp_path_factory):
    """A real pyfunc model logged to a file store of its own."""
    store = tmp_path_factory.mktemp("mlflow") / "mlruns"
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("MLFLOW_ALLOW_FILE_STORE", "true")
        mlflow.set_tracking_uri(store.as_uri())
        try:

            class Identity(mlflow.pyfunc.PythonModel):
                def predict(self, context, model_input: list[str], params=None) -> list[str]:
                    return model_input

            with warnings.catch_warnings():
                # MLflow's notes on logging (pickled model, artifact_path spelling).
                warnings.simplefilter("ignore")
                with mlflow.start_run():
                    info = mlflow.pyfunc.log_model("model", python_model=Identity())
        finally:
            mlflow.set_tracking_uri(None)
    return info


def encode(value):
    return json.dumps(value, cls=CustomEncoder)


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (DataType.double, '"double"'),
        (DataType.long, '"long"'),
        (Colour.red, '"red"'),
        (Colour.nested, '["a", 1]'),
        (DataSchemaType.column, '"column"'),
        (ModelFramework.onnx, '"onnx"'),
        (np.int64(3), "3"),
        (np.float32(0.5), "0.5"),
        (np.bool_(True), "true"),
        (np.str_("x"), '"x"'),
        (np.arange(4).reshape(2, 2), "[[0, 1], [2, 3]]"),
        (pd.Timestamp("2024-05-01 10:30:00"), '"2024-05-01T10:30:00"'),
        (pd.Timedelta(seconds=90), '"P0DT0H1M30S"'),
        (pd.NaT, "null"),
        (pd.NA, "null"),
        (dt.date(2024, 5, 1), '"2024-05-01"'),
        (dt.datetime(2024, 5, 1, 8, tzinfo=dt.UTC), '"2024-05-01T08:00:00+00:00"'),
        (b"\x00\xffab", '"AP9hYg=="'),
        (bytearray(b"ab"), '"YWI="'),
        (PurePosixPath("/models/a"), '"/models/a"'),
        (uuid.UUID(int=1), '"00000000-0000-0000-0000-000000000001"'),
        (decimal.Decimal("1.10"), '"1.10"'),
        ({3}, "[3]"),
    ],
)
def test_the_encoder_writes_document_values(value, text):
    assert encode(value) == text
    assert encode({"v": [value]}) == '{"v": [' + text + "]}"


def test_the_encoder_refuses_what_it_does_not_know():
    with pytest.raises(TypeError, match="not JSON serializable"):
        encode(object())


def test_the_model_path_of_a_logged_model(logged_model_info):
    path = extract_model_path_from_mlflow(logged_model_info, ModelFramework.pyfunc)
    assert path == logged_model_info.artifact_path
    assert type(path) is str
    assert extract_model_path_from_mlflow(logged_model_info, "sklearn") == path


@pytest.mark.parametrize(
    ("info", "path"),
    [
        ("models/classifier", "models/classifier"),
        (Path("/data/models/classifier"), "/data/models/classifier"),
        (SimpleNamespace(artifact_path="model", model_uri="runs:/r1/other"), "model"),
        (SimpleNamespace(artifact_path="", model_uri="runs:/r1/nested/model"), "nested/model"),
        (SimpleNamespace(artifact_path=None, model_uri="models:/m-123"), "models:/m-123"),
        (SimpleNamespace(model_uri="runs:/r1"), "runs:/r1"),
    ],
)
def test_the_model_path_rules(info, path):
    assert extract_model_path_from_mlflow(info, ModelFramework.onnx) == path


def test_model_information_without_a_path_is_refused():
    with pytest.raises(ValueError, match="^cannot find the model path in the mlflow model information"):
        extract_model_path_from_mlflow(SimpleNamespace(run_id="r1"), "onnx")


@pytest.mark.parametrize(
    ("kind", "index", "name"),
    [
        ("input", 0, "input_0"),
        ("input", 3, "input_3"),
        ("output", 0, "output_0"),
        ("output", np.int64(12), "output_12"),
    ],
)
def test_io_names_are_kind_and_position(kind, index, name, logged_model_info):
    for framework, info in [("sklearn", None), (ModelFramework.pytorch, logged_model_info)]:
        named = stringify_io_name_by_module(kind, index, framework, info)
        assert named == name
        assert type(named) is str


@pytest.mark.parametrize(
    ("kind", "index"), [("inputs", 0), ("", 0), ("input", -1), ("input", True), ("input", 1.5)]
)
def test_io_names_refuse_other_kinds_and_positions(kind, index):
    with pytest.raises(ValueError):
        stringify_io_name_by_module(kind, index, "sklearn", None)
