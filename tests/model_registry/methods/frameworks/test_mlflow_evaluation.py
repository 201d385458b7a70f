"""Framework detection and the evaluation loop, on stand-in models (one layer at a time)."""

import importlib
import inspect
from collections import OrderedDict
from importlib.util import find_spec
from types import MappingProxyType, SimpleNamespace
from typing import Any
from unittest import mock

import numpy as np
import pandas as pd
import pytest
from conftest import NO_TENSORFLOW

from velora.model_registry.methods.frameworks import mlflow as velora_mlflow
from velora.model_registry.methods.frameworks.common import has_method_names
from velora.model_registry.values import ModelFramework

MODULE = "velora.model_registry.methods.frameworks.mlflow"
UNSUPPORTED = "supported type must be in pd.DataFrame, np.ndarray, pd.Series, str, bytes"


def model_info(flavors: dict[str, Any], model_uri: str = "models:/m-0") -> SimpleNamespace:
    return SimpleNamespace(flavors=flavors, model_uri=model_uri)


COUNT = object()


class Recorder:
    """A model whose methods log their calls; predict gives `result`, or by default the call count."""

    def __init__(self, events: list[Any], result: Any = COUNT) -> None:
        self.events = events
        self.result = result

    def predict(self, sample: Any) -> Any:
        self.events.append(("predict", sample))
        return np.asarray([len(self.events)]) if self.result is COUNT else self.result

    def score(self, sample: Any) -> Any:
        self.events.append(("score", sample))
        return np.asarray([0.5])


def sklearn_loader(loader: Any) -> Any:
    """The table's sklearn entry with `loader` as its loader, for a `with` block."""
    entry = (False, velora_mlflow._evaluate_basis_model, loader)
    return mock.patch.dict(velora_mlflow.EVALUATION_FUNC_MAP, {ModelFramework.sklearn: entry})


@pytest.fixture
def events() -> list[Any]:
    return []


@pytest.fixture
def sklearn_table(events: list[Any]) -> mock.Mock:
    """The sklearn entry of the table, its loader giving a Recorder; has_method_names recorded too."""
    loader = mock.Mock(return_value=Recorder(events))
    real_check = has_method_names

    def checked(obj: Any, names: list[str]) -> bool:
        events.append(("has_method_names", list(names)))
        return real_check(obj, names)

    with (
        sklearn_loader(loader),
        mock.patch(f"{MODULE}.has_method_names", side_effect=checked),
    ):
        yield loader


SKLEARN = model_info({"python_function": {}, "sklearn": {}}, "models:/m-sklearn")


class TestTable:
    def test_order_flags_and_loaders(self) -> None:
        import mlflow.onnx
        import mlflow.pyfunc
        import mlflow.sklearn
        import mlflow.xgboost

        table = velora_mlflow.EVALUATION_FUNC_MAP
        assert list(table) == [
            ModelFramework.onnx,
            ModelFramework.pytorch,
            ModelFramework.pyfunc,
            ModelFramework.sklearn,
            ModelFramework.tensorflow,
            ModelFramework.xgboost,
        ]
        assert [lazy for lazy, _, _ in table.values()] == [True, False, True, False, False, False]
        assert [evaluate.__name__ for _, evaluate, _ in table.values()] == [
            "_evaluate_onnx_model",
            "_evaluate_pytorch_model",
            "_evaluate_pyfunc_model",
            "_evaluate_basis_model",
            "_evaluate_tensorflow_model",
            "_evaluate_basis_model",
        ]
        assert table[ModelFramework.onnx][2] is mlflow.onnx.load_model
        assert table[ModelFramework.pyfunc][2] is mlflow.pyfunc.load_model
        assert table[ModelFramework.sklearn][2] is mlflow.sklearn.load_model
        assert table[ModelFramework.xgboost][2] is mlflow.xgboost.load_model

    @pytest.mark.parametrize(
        "flavor, module",
        [
            ("onnx", "onnx"),
            ("pytorch", "pytorch"),
            ("python_function", "pyfunc"),
            ("sklearn", "sklearn"),
            # mlflow.tensorflow imports the framework itself.
            pytest.param(
                "tensorflow",
                "tensorflow",
                marks=pytest.mark.skipif(find_spec("tensorflow") is None, reason=NO_TENSORFLOW),
            ),
            ("xgboost", "xgboost"),
        ],
    )
    def test_every_loader_receives_the_model_uri_alone(self, flavor: str, module: str) -> None:
        class Loaded(Exception):
            pass

        recorder = mock.Mock(side_effect=Loaded)
        framework = velora_mlflow.extract_framework_type_from(model_info({"python_function": {}, flavor: {}}))
        lazy, evaluate, loader = velora_mlflow.EVALUATION_FUNC_MAP[framework]
        # The eager entries hold the flavor's loader itself; the lazy ones look it up on each call.
        eager = loader is importlib.import_module(f"mlflow.{module}").load_model
        entry = (lazy, evaluate, recorder if eager else loader)
        with (
            mock.patch(f"mlflow.{module}.load_model", recorder),
            mock.patch.dict(velora_mlflow.EVALUATION_FUNC_MAP, {framework: entry}),
            pytest.raises(Loaded),
        ):
            velora_mlflow.evaluate_model(
                model_info({"python_function": {}, flavor: {}}, "runs:/abc/model"), {"predict": []}
            )
        assert recorder.call_args_list == [mock.call("runs:/abc/model")]

    def test_a_lazy_loader_passes_a_destination_when_given(self) -> None:
        loader = velora_mlflow.EVALUATION_FUNC_MAP[ModelFramework.pytorch][2]
        with mock.patch("mlflow.pytorch.load_model", return_value="loaded") as flavor_loader:
            assert loader("models:/m-1", "/tmp/dst") == "loaded"
        flavor_loader.assert_called_once_with("models:/m-1", dst_path="/tmp/dst")

    @pytest.mark.parametrize(
        "function, parameters",
        [
            (velora_mlflow.evaluate_model, ["model_info", "inputs_sample"]),
            (velora_mlflow.extract_framework_type_from, ["model_info"]),
            (velora_mlflow.get_artifact_size_bytes, ["run", "model_info"]),
            (velora_mlflow._evaluate_pyfunc_model, ["model", "method_name", "sample"]),
            (velora_mlflow._evaluate_basis_model, ["model", "method_name", "sample"]),
            (velora_mlflow._evaluate_onnx_model, ["model", "method_name", "sample"]),
            (velora_mlflow._evaluate_pytorch_model, ["model", "method_name", "sample"]),
            (velora_mlflow._evaluate_tensorflow_model, ["model", "method_name", "sample"]),
        ],
    )
    def test_signatures(self, function: Any, parameters: list[str]) -> None:
        signature = inspect.signature(function)
        assert list(signature.parameters) == parameters
        assert all(p.default is inspect.Parameter.empty for p in signature.parameters.values())


class TestDetection:
    @pytest.mark.parametrize(
        "flavors, expected",
        [
            ({"python_function": {}}, ModelFramework.pyfunc),
            ({"sklearn": {}}, ModelFramework.pyfunc),  # a single flavor, whatever its name
            ({"python_function": {}, "sklearn": {}}, ModelFramework.sklearn),
            ({"sklearn": {}, "custom_flavor": {}}, ModelFramework.sklearn),
            ({"pytorch": {}, "onnx": {}}, ModelFramework.onnx),
            ({"onnx": {}, "python_function": {}, "pytorch": {}}, ModelFramework.onnx),
            ({"tensorflow": {}, "xgboost": {}}, ModelFramework.tensorflow),
            ({"python_function": {}, "xgboost": {}}, ModelFramework.xgboost),
            ({"pyfunc": {}, "sklearn": {}}, ModelFramework.pyfunc),
        ],
    )
    def test_framework(self, flavors: dict[str, Any], expected: ModelFramework) -> None:
        assert velora_mlflow.extract_framework_type_from(model_info(flavors)) is expected

    @pytest.mark.parametrize("flavors", [{"python_function": {}, "keras": {}}, {"a": 1, "b": 2, "c": 3}])
    def test_no_framework(self, flavors: dict[str, Any]) -> None:
        message = f"not found framework evaluation class: model_info.flavors={flavors!r}"
        with pytest.raises(RuntimeError) as caught:
            velora_mlflow.extract_framework_type_from(model_info(flavors))
        assert str(caught.value) == message

    def test_no_framework_loads_nothing(self, sklearn_table: mock.Mock) -> None:
        with pytest.raises(RuntimeError, match="not found framework evaluation class"):
            velora_mlflow.evaluate_model(model_info({"x": {}, "y": {}}), {"predict": []})
        sklearn_table.assert_not_called()

    def test_table_order_is_read_at_call_time(self) -> None:
        reordered = dict(reversed(list(velora_mlflow.EVALUATION_FUNC_MAP.items())))
        with mock.patch(f"{MODULE}.EVALUATION_FUNC_MAP", reordered):
            found = velora_mlflow.extract_framework_type_from(model_info({"onnx": {}, "pytorch": {}}))
        assert found is ModelFramework.pytorch


class TestEvaluateModel:
    def test_outputs_per_method_in_order(self, sklearn_table: mock.Mock, events: list[Any]) -> None:
        first, second, third = np.zeros((1, 2)), np.ones((1, 2)), np.full((1, 2), 2.0)
        inputs = {"score": [first], "predict": [second, third], "empty": []}
        with mock.patch.object(Recorder, "empty", create=True, new=lambda self, sample: sample):
            outputs = velora_mlflow.evaluate_model(SKLEARN, inputs)
        sklearn_table.assert_called_once_with("models:/m-sklearn")
        assert list(outputs) == ["score", "predict", "empty"]
        assert outputs["empty"] == []
        assert [np.asarray(o).tolist() for o in outputs["predict"]] == [[3], [4]]
        # The names are checked once, all together, before any sample runs.
        assert events == [
            ("has_method_names", ["score", "predict", "empty"]),
            ("score", first),
            ("predict", second),
            ("predict", third),
        ]

    def test_dict_subclass_is_accepted(self, sklearn_table: mock.Mock) -> None:
        outputs = velora_mlflow.evaluate_model(SKLEARN, OrderedDict(predict=[np.zeros(1)]))
        assert type(outputs) is dict and list(outputs) == ["predict"]

    @pytest.mark.parametrize(
        "inputs", [[("predict", [])], None, MappingProxyType({"predict": []}), "predict"], ids=repr
    )
    def test_inputs_must_be_a_dict_before_loading(self, sklearn_table: mock.Mock, inputs: Any) -> None:
        with pytest.raises(ValueError) as caught:
            velora_mlflow.evaluate_model(SKLEARN, inputs)
        assert str(caught.value) == "inputs_sample should be a dictionary"
        sklearn_table.assert_not_called()

    def test_unsupported_framework(self) -> None:
        with (
            mock.patch(f"{MODULE}.extract_framework_type_from", return_value="keras"),
            pytest.raises(ValueError) as caught,
        ):
            velora_mlflow.evaluate_model(SKLEARN, {})
        assert str(caught.value) == (
            "not supported framework(dict_keys([onnx, pytorch, pyfunc, sklearn, tensorflow, xgboost]))"
        )

    def test_missing_method_fails_first(self, sklearn_table: mock.Mock, events: list[Any]) -> None:
        with pytest.raises(AttributeError, match="method_name='transform'"):
            velora_mlflow.evaluate_model(SKLEARN, {"predict": [np.zeros(1)], "transform": [np.zeros(1)]})
        assert events == [("has_method_names", ["predict", "transform"])]

    def test_sample_sequence_none(self, sklearn_table: mock.Mock) -> None:
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            velora_mlflow.evaluate_model(SKLEARN, {"predict": None})

    def test_method_name_must_be_exactly_str(self, sklearn_table: mock.Mock) -> None:
        class Name(str):
            pass

        with pytest.raises(TypeError) as caught:
            velora_mlflow.evaluate_model(SKLEARN, {Name("predict"): [np.zeros(1)]})
        assert str(caught.value).startswith(
            "Argument 'method_name' has incorrect type (expected str, got Name). Note that"
        )

    @pytest.mark.parametrize(
        "result",
        [np.arange(2), pd.DataFrame({"a": [1]}), pd.Series([1.0]), "text", b"bytes"],
        ids=lambda value: type(value).__name__,
    )
    def test_supported_outputs_pass_unchanged(self, events: list[Any], result: Any) -> None:
        loader = mock.Mock(return_value=Recorder(events, result))
        with sklearn_loader(loader):
            assert velora_mlflow.evaluate_model(SKLEARN, {"predict": [0]})["predict"][0] is result

    @pytest.mark.parametrize(
        "result",
        [[[1, 2], [3, 4]], type("Rows", (list,), {})([1, 2]), [np.zeros(2), np.ones((2, 3))]],
        ids=["list", "subclass", "shapes-differ"],  # the last: an ONNX classifier's labels and probabilities
    )
    def test_list_output_becomes_an_array(self, events: list[Any], result: list[Any]) -> None:
        loader = mock.Mock(return_value=Recorder(events, result))
        with sklearn_loader(loader):
            (output,) = velora_mlflow.evaluate_model(SKLEARN, {"predict": [0]})["predict"]
        assert isinstance(output, np.ndarray) and len(output) == len(result)
        assert all(np.array_equal(item, expected) for item, expected in zip(output, result, strict=True))

    @pytest.mark.parametrize("result", [(1, 2), {"a": 1}, 3, None], ids=repr)
    def test_unsupported_output(self, events: list[Any], result: Any) -> None:
        loader = mock.Mock(return_value=Recorder(events, result))
        with sklearn_loader(loader), pytest.raises(ValueError) as caught:
            velora_mlflow.evaluate_model(SKLEARN, {"predict": [0]})
        assert str(caught.value) == f"unsupported outputs_sample: {type(result)}{UNSUPPORTED}"

    def test_supported_check_is_read_at_call_time(self, sklearn_table: mock.Mock) -> None:
        with (
            mock.patch(f"{MODULE}.is_supported_primitive_class", return_value=False) as check,
            pytest.raises(ValueError, match="unsupported outputs_sample: <class 'numpy.ndarray'>"),
        ):
            velora_mlflow.evaluate_model(SKLEARN, {"predict": [0]})
        check.assert_called_once()

    def test_loader_errors_pass_unchanged(self) -> None:
        failure = OSError("no such model")
        loader = mock.Mock(side_effect=failure)
        with sklearn_loader(loader), pytest.raises(OSError) as caught:
            velora_mlflow.evaluate_model(SKLEARN, {"predict": []})
        assert caught.value is failure


class Mutating:
    """Changes its input in place, as careless models do."""

    def predict(self, *arguments: Any) -> Any:
        sample = arguments[-1]
        sample *= 10
        return sample


class TestEvaluationFunctions:
    def test_basis_copies_tables_only(self) -> None:
        table, array = pd.DataFrame({"x": [1, 2]}), np.array([1, 2])
        output = velora_mlflow._evaluate_basis_model(Mutating(), "predict", table)
        assert table["x"].tolist() == [1, 2] and output["x"].tolist() == [10, 20]
        velora_mlflow._evaluate_basis_model(Mutating(), "predict", array)
        assert array.tolist() == [10, 20]

    def test_pyfunc_calls_the_wrapped_model_without_context(self) -> None:
        wrapped = mock.Mock(spec=["predict"])
        pyfunc = mock.Mock(spec=["unwrap_python_model"], unwrap_python_model=mock.Mock(return_value=wrapped))
        table = pd.DataFrame({"x": [1]})
        with mock.patch(f"{MODULE}.has_method_names") as check:
            result = velora_mlflow._evaluate_pyfunc_model(pyfunc, "predict", table)
        check.assert_called_once_with(wrapped, ["predict"])
        assert result is wrapped.predict.return_value
        (context, given), _ = wrapped.predict.call_args
        assert context is None
        assert given is not table and given.equals(table)

    def test_pyfunc_copies_tables_only(self) -> None:
        pyfunc = mock.Mock(unwrap_python_model=mock.Mock(return_value=Mutating()))
        table, array = pd.DataFrame({"x": [1, 2]}), np.array([1, 2])
        velora_mlflow._evaluate_pyfunc_model(pyfunc, "predict", table)
        velora_mlflow._evaluate_pyfunc_model(pyfunc, "predict", array)
        assert table["x"].tolist() == [1, 2] and array.tolist() == [10, 20]

    def test_pyfunc_missing_method(self) -> None:
        pyfunc = mock.Mock(unwrap_python_model=mock.Mock(return_value=Mutating()))
        with pytest.raises(AttributeError, match="not found method in Mutating: method_name='score'"):
            velora_mlflow._evaluate_pyfunc_model(pyfunc, "score", np.zeros(1))

    def test_tensorflow_gives_the_first_element(self) -> None:
        model = mock.Mock(spec=["predict"])
        model.predict.return_value = ("first", "second")
        sample = np.zeros(2)
        assert velora_mlflow._evaluate_tensorflow_model(model, "predict", sample) == "first"
        model.predict.assert_called_once_with(sample)

    @pytest.mark.parametrize(
        "function",
        [
            velora_mlflow._evaluate_basis_model,
            velora_mlflow._evaluate_pyfunc_model,
            velora_mlflow._evaluate_tensorflow_model,
        ],
    )
    def test_method_name_type(self, function: Any) -> None:
        message = r"^Argument 'method_name' has incorrect type \(expected str, got int\)$"
        with pytest.raises(TypeError, match=message):
            function(Mutating(), 3, np.zeros(1))
