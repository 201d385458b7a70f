"""Evaluating real models that MLflow logged: scikit-learn, XGBoost, a pyfunc model and ONNX."""

import sys
from typing import Any
from unittest import mock

import mlflow.onnx
import mlflow.pyfunc
import mlflow.sklearn
import mlflow.xgboost
import numpy as np
import pandas as pd
import pytest
from conftest import LogModel
from sklearn.linear_model import LinearRegression, LogisticRegression
from xgboost import XGBRegressor

from velora.model_registry.methods.frameworks import mlflow as velora_mlflow
from velora.model_registry.methods.frameworks.common import has_method_names
from velora.model_registry.values import ModelFramework

MODULE = "velora.model_registry.methods.frameworks.mlflow"
COLUMNS = ["a", "b", "c"]
RNG = np.random.default_rng(7)
FEATURES = RNG.normal(size=(40, 3))
TARGET = FEATURES @ np.array([1.5, -2.0, 0.5]) + 0.25
TABLE = pd.DataFrame(FEATURES[:5], columns=COLUMNS)


@pytest.fixture(scope="module")
def classifier(log_model: LogModel) -> tuple[Any, Any]:
    model = LogisticRegression().fit(pd.DataFrame(FEATURES, columns=COLUMNS), TARGET > 0)
    return model, log_model(mlflow.sklearn, model)[1]


class TableScaler(mlflow.pyfunc.PythonModel):
    """Scales column "a" of its input in place, and has methods giving other kinds of output."""

    def predict(self, context: Any, model_input: Any, params: Any = None) -> Any:
        model_input["a"] = model_input["a"] * 10
        return model_input

    def as_list(self, context: Any, model_input: Any) -> Any:
        return [[1, 2], [3, 4]]

    def as_tuple(self, context: Any, model_input: Any) -> Any:
        return (1, 2)

    def as_text(self, context: Any, model_input: Any) -> Any:
        return "text"


@pytest.fixture(scope="module")
def pyfunc_info(log_model: LogModel) -> Any:
    return log_model(mlflow.pyfunc, None, python_model=TableScaler())[1]


@pytest.fixture(scope="module")
def onnx_model(log_model: LogModel) -> tuple[Any, Any]:
    from skl2onnx import convert_sklearn
    from skl2onnx.common.data_types import FloatTensorType

    regression = LinearRegression().fit(FEATURES, TARGET)
    converted = convert_sklearn(regression, initial_types=[("features", FloatTensorType([None, 3]))])
    return regression, log_model(mlflow.onnx, converted)[1]


@pytest.fixture
def check_spy() -> Any:
    with mock.patch(f"{MODULE}.has_method_names", side_effect=has_method_names) as spy:
        yield spy


class TestSklearn:
    def test_detected(self, classifier: tuple[Any, Any]) -> None:
        assert velora_mlflow.extract_framework_type_from(classifier[1]) is ModelFramework.sklearn

    def test_predict_and_predict_proba_on_tables_and_arrays(self, classifier: tuple[Any, Any]) -> None:
        model, info = classifier
        array = FEATURES[5:9]
        inputs = {"predict": [TABLE, pd.DataFrame(array, columns=COLUMNS)], "predict_proba": [TABLE]}
        outputs = velora_mlflow.evaluate_model(info, inputs)
        assert list(outputs) == ["predict", "predict_proba"]
        np.testing.assert_array_equal(outputs["predict"][0], model.predict(TABLE))
        expected = model.predict(pd.DataFrame(array, columns=COLUMNS))
        np.testing.assert_array_equal(outputs["predict"][1], expected)
        np.testing.assert_allclose(outputs["predict_proba"][0], model.predict_proba(TABLE))

    @pytest.mark.filterwarnings("ignore:X does not have valid feature names")
    def test_arrays(self, classifier: tuple[Any, Any]) -> None:
        model, info = classifier
        outputs = velora_mlflow.evaluate_model(info, {"predict_proba": [FEATURES[:3], FEATURES[3:4]]})
        assert [o.shape for o in outputs["predict_proba"]] == [(3, 2), (1, 2)]
        np.testing.assert_allclose(outputs["predict_proba"][1], model.predict_proba(FEATURES[3:4]))

    def test_names_checked_once_first(self, classifier: tuple[Any, Any], check_spy: mock.Mock) -> None:
        with pytest.raises(AttributeError, match="method_name='transform'"):
            velora_mlflow.evaluate_model(classifier[1], {"predict": [TABLE], "transform": [TABLE]})
        check_spy.assert_called_once()
        assert check_spy.call_args.args[1] == ["predict", "transform"]

    def test_loader_error_passes_unchanged(self, classifier: tuple[Any, Any]) -> None:
        missing = mlflow.models.model.ModelInfo(
            **{**vars_of(classifier[1]), "model_uri": "models:/m-00000000000000000000000000000000"}
        )
        with pytest.raises(mlflow.exceptions.MlflowException):
            velora_mlflow.evaluate_model(missing, {"predict": [TABLE]})


def vars_of(info: Any) -> dict[str, Any]:
    """ModelInfo's constructor keywords, read back from a logged model's info."""
    names = ["artifact_path", "flavors", "model_uri", "model_uuid", "run_id", "saved_input_example_info"]
    names += ["signature", "utc_time_created", "mlflow_version"]
    return {name: getattr(info, name) for name in names}


class TestXGBoost:
    def test_predict(self, log_model: LogModel) -> None:
        model = XGBRegressor(n_estimators=4, max_depth=2).fit(FEATURES, TARGET)
        info = log_model(mlflow.xgboost, model)[1]
        assert velora_mlflow.extract_framework_type_from(info) is ModelFramework.xgboost
        outputs = velora_mlflow.evaluate_model(info, {"predict": [FEATURES[:6]]})
        np.testing.assert_allclose(outputs["predict"][0], model.predict(FEATURES[:6]), rtol=1e-6)


class TestPyfunc:
    def test_detected(self, pyfunc_info: Any) -> None:
        assert list(pyfunc_info.flavors) == ["python_function"]
        assert velora_mlflow.extract_framework_type_from(pyfunc_info) is ModelFramework.pyfunc

    def test_callers_table_stays_unchanged(self, pyfunc_info: Any) -> None:
        table = TABLE.copy()
        (output,) = velora_mlflow.evaluate_model(pyfunc_info, {"predict": [table]})["predict"]
        pd.testing.assert_frame_equal(table, TABLE)
        np.testing.assert_allclose(output["a"], TABLE["a"] * 10)

    def test_outputs_of_other_kinds(self, pyfunc_info: Any) -> None:
        outputs = velora_mlflow.evaluate_model(pyfunc_info, {"as_list": [TABLE], "as_text": [TABLE]})
        assert isinstance(outputs["as_list"][0], np.ndarray)
        assert outputs["as_list"][0].tolist() == [[1, 2], [3, 4]]
        assert outputs["as_text"] == ["text"]

    def test_tuple_output_refused(self, pyfunc_info: Any) -> None:
        with pytest.raises(ValueError, match=r"^unsupported outputs_sample: <class 'tuple'>supported type"):
            velora_mlflow.evaluate_model(pyfunc_info, {"as_tuple": [TABLE]})

    def test_names_checked_per_sample(self, pyfunc_info: Any, check_spy: mock.Mock) -> None:
        velora_mlflow.evaluate_model(pyfunc_info, {"as_text": [TABLE, TABLE], "as_list": [TABLE]})
        assert [c.args[1] for c in check_spy.call_args_list] == [["as_text"], ["as_text"], ["as_list"]]
        assert all(isinstance(c.args[0], TableScaler) for c in check_spy.call_args_list)

    def test_missing_method(self, pyfunc_info: Any) -> None:
        with pytest.raises(AttributeError, match="not found method in TableScaler: method_name='score'"):
            velora_mlflow.evaluate_model(pyfunc_info, {"score": [TABLE]})


class TestOnnx:
    def test_run_with_onnxruntime(self, onnx_model: tuple[Any, Any]) -> None:
        regression, info = onnx_model
        assert velora_mlflow.extract_framework_type_from(info) is ModelFramework.onnx
        sample = FEATURES[:4].astype(np.float32)
        (output,) = velora_mlflow.evaluate_model(info, {"run": [sample]})["run"]
        # The backend gives a list of the graph's outputs, which becomes one array.
        assert isinstance(output, np.ndarray) and output.shape == (1, 4, 1)
        np.testing.assert_allclose(output[0, :, 0], regression.predict(FEATURES[:4]), rtol=1e-4)

    def test_a_classifier_gives_its_labels_and_probabilities(self, log_model: LogModel) -> None:
        from skl2onnx import convert_sklearn
        from skl2onnx.common.data_types import FloatTensorType

        classifier = LogisticRegression().fit(FEATURES, TARGET > 0)
        converted = convert_sklearn(
            classifier, initial_types=[("features", FloatTensorType([None, 3]))], options={"zipmap": False}
        )
        info = log_model(mlflow.onnx, converted)[1]
        (output,) = velora_mlflow.evaluate_model(info, {"run": [FEATURES[:4].astype(np.float32)]})["run"]
        # Two outputs of different shapes: an array of the two arrays.
        labels, probabilities = output
        np.testing.assert_array_equal(labels, classifier.predict(FEATURES[:4]))
        np.testing.assert_allclose(probabilities, classifier.predict_proba(FEATURES[:4]), rtol=1e-4)

    def test_names_checked_on_prepared(self, onnx_model: tuple[Any, Any], check_spy: mock.Mock) -> None:
        with pytest.raises(AttributeError, match="method_name='predict'"):
            velora_mlflow.evaluate_model(onnx_model[1], {"predict": [FEATURES[:1].astype(np.float32)]})
        (call,) = check_spy.call_args_list
        assert type(call.args[0]).__name__ == "OnnxRuntimeBackendRep"

    def test_onnxruntime_needed_only_when_evaluated(
        self, onnx_model: tuple[Any, Any], monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setitem(sys.modules, "onnxruntime", None)
        with pytest.raises(ImportError, match="onnxruntime"):
            velora_mlflow.evaluate_model(onnx_model[1], {"run": [FEATURES[:1].astype(np.float32)]})
