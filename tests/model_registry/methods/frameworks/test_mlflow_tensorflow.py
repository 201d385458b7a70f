"""Evaluating a real TensorFlow (Keras) model that MLflow logged."""

# ruff: noqa: E402 (the framework is looked for before anything imports it)
from typing import Any

import pytest
from conftest import NO_TENSORFLOW, LogModel

tf = pytest.importorskip("tensorflow", reason=NO_TENSORFLOW)

import mlflow.tensorflow
import numpy as np

from velora.model_registry.methods.frameworks import mlflow as velora_mlflow
from velora.model_registry.values import ModelFramework


@pytest.fixture(scope="module")
def dense(log_model: LogModel) -> tuple[Any, Any]:
    tf.keras.utils.set_random_seed(0)
    model = tf.keras.Sequential([tf.keras.Input((3,)), tf.keras.layers.Dense(2)])
    return model, log_model(mlflow.tensorflow, model)[1]


def test_detected(dense: tuple[Any, Any]) -> None:
    assert velora_mlflow.extract_framework_type_from(dense[1]) is ModelFramework.tensorflow


def test_predict_gives_the_first_element(dense: tuple[Any, Any]) -> None:
    model, info = dense
    sample = np.arange(12, dtype=np.float32).reshape(4, 3)
    (output,) = velora_mlflow.evaluate_model(info, {"predict": [sample]})["predict"]
    assert isinstance(output, np.ndarray) and output.shape == (2,)
    np.testing.assert_allclose(output, model.predict(sample, verbose=0)[0], rtol=1e-5)


def test_names_checked_before_any_sample(dense: tuple[Any, Any]) -> None:
    with pytest.raises(AttributeError, match="method_name='predict_proba'"):
        velora_mlflow.evaluate_model(dense[1], {"predict": [np.zeros((1, 3))], "predict_proba": []})
