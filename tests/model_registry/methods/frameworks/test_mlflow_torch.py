"""Evaluating a real PyTorch model that MLflow logged."""

# ruff: noqa: E402 (the framework is looked for before anything imports it)
import inspect
from typing import Any

import pytest
from conftest import NO_TORCH, LogModel

# PyPI's torch for this Python may be only a CUDA build of several GB, which the test extra leaves out.
torch = pytest.importorskip("torch", reason=NO_TORCH)

import mlflow.pytorch
import numpy as np

from velora.model_registry.methods.frameworks import mlflow as velora_mlflow
from velora.model_registry.values import ModelFramework


class Affine(torch.nn.Module):
    """A linear layer, and a plain method that works on whatever it is given."""

    def __init__(self) -> None:
        super().__init__()
        self.linear = torch.nn.Linear(3, 2)

    def forward(self, features: torch.Tensor) -> torch.Tensor:
        return self.linear(features)

    def describe(self, sample: Any) -> np.ndarray:
        return np.array([type(sample).__name__])


def pickled_keywords() -> dict[str, Any]:
    """Keep the whole module, custom methods included (MLflow 3.5+ defaults to a traced graph)."""
    parameters = inspect.signature(mlflow.pytorch.log_model).parameters
    return {"serialization_format": "pickle"} if "serialization_format" in parameters else {}


@pytest.fixture(scope="module")
def affine(log_model: LogModel) -> tuple[Affine, Any]:
    torch.manual_seed(0)
    model = Affine()
    return model, log_model(mlflow.pytorch, model, **pickled_keywords())[1]


@pytest.mark.skipif(not pickled_keywords(), reason="this MLflow has no traced-graph format")
def test_forward_on_a_traced_graph(log_model: LogModel) -> None:
    torch.manual_seed(1)
    model = Affine()
    example = np.ones((2, 3), dtype=np.float32)
    info = log_model(mlflow.pytorch, model, serialization_format="pt2", input_example=example)[1]
    (output,) = velora_mlflow.evaluate_model(info, {"forward": [example]})["forward"]
    np.testing.assert_allclose(output, model(torch.from_numpy(example)).detach().numpy(), rtol=1e-6)


def test_detected(affine: tuple[Affine, Any]) -> None:
    assert velora_mlflow.extract_framework_type_from(affine[1]) is ModelFramework.pytorch


def test_forward_on_float_arrays(affine: tuple[Affine, Any]) -> None:
    model, info = affine
    samples = [np.ones((4, 3), dtype=np.float32), np.arange(3, dtype=np.float32).reshape(1, 3)]
    outputs = velora_mlflow.evaluate_model(info, {"forward": samples})["forward"]
    assert [type(o) for o in outputs] == [np.ndarray, np.ndarray]
    for sample, output in zip(samples, outputs, strict=True):
        np.testing.assert_allclose(output, model(torch.from_numpy(sample)).detach().numpy(), rtol=1e-6)


def test_other_methods_get_the_sample_unchanged(affine: tuple[Affine, Any]) -> None:
    outputs = velora_mlflow.evaluate_model(affine[1], {"describe": [np.zeros(3), "text"]})["describe"]
    assert [o.tolist() for o in outputs] == [["ndarray"], ["str"]]


def test_names_checked_before_any_forward(affine: tuple[Affine, Any]) -> None:
    with pytest.raises(AttributeError, match="not found method in Affine: method_name='predict'"):
        velora_mlflow.evaluate_model(affine[1], {"forward": [np.ones((1, 3), np.float32)], "predict": []})


def test_forward_needs_an_array(affine: tuple[Affine, Any]) -> None:
    with pytest.raises(TypeError):
        velora_mlflow._evaluate_pytorch_model(affine[0], "forward", [[1.0, 2.0, 3.0]])
