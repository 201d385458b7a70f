"""evaluate_model's overhead over calling the loaded model directly, on a 1,000-row table.

Two comparisons, each as the ratio ours / direct:
- whole call: evaluate_model (which loads the model) against the flavor's loader
  followed by predict;
- evaluation alone: evaluate_model with the loader handing back the model already
  loaded, against predict on the table. This includes what the evaluation adds by
  design: the copy of the table sample, the method-name check and the output check.

    python benchmarks/mlflow_evaluate.py [--quick]
"""

import os

os.environ.setdefault("MLFLOW_DISABLE_TELEMETRY", "true")
os.environ.setdefault("DO_NOT_TRACK", "true")

import argparse  # noqa: E402
import statistics  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402
from unittest import mock  # noqa: E402

import mlflow  # noqa: E402
import mlflow.sklearn  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402

from velora.model_registry.methods.frameworks import mlflow as velora_mlflow  # noqa: E402
from velora.model_registry.values import ModelFramework  # noqa: E402

ROWS = 1_000
ROUNDS = 15
REPEATS = 200


def per_call(function: Any, repeats: int) -> float:
    start = time.perf_counter()
    for _ in range(repeats):
        function()
    return (time.perf_counter() - start) / repeats


def medians(functions: list[Any], repeats: int, rounds: int) -> list[float]:
    """Median seconds per call of each function, in alternating rounds so that drift hits all alike."""
    samples: list[list[float]] = [[] for _ in functions]
    for _ in range(rounds):
        for function, times in zip(functions, samples, strict=True):
            times.append(per_call(function, repeats))
    return [statistics.median(times) for times in samples]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 rows, one round: checks that it runs")
    quick = parser.parse_args().quick
    rows, rounds, repeats = (20, 1, 2) if quick else (ROWS, ROUNDS, REPEATS)
    rng = np.random.default_rng(0)
    table = pd.DataFrame(rng.normal(size=(rows, 4)), columns=["a", "b", "c", "d"])
    model = LogisticRegression().fit(table, table["a"] > 0)
    with tempfile.TemporaryDirectory() as root:
        mlflow.set_tracking_uri(f"sqlite:///{Path(root) / 'mlflow.db'}")
        mlflow.set_experiment(
            experiment_id=mlflow.create_experiment("bench", artifact_location=(Path(root) / "a").as_uri())
        )
        with mlflow.start_run():
            info = mlflow.sklearn.log_model(model, name="model", pip_requirements=[])
        inputs = {"predict": [table]}

        ours, direct = medians(
            [
                lambda: velora_mlflow.evaluate_model(info, inputs),
                lambda: mlflow.sklearn.load_model(info.model_uri).predict(table),
            ],
            1 if quick else 5,
            rounds,
        )
        print(
            f"evaluate_model, {rows} rows, with loading: {ours * 1000:.2f} ms, "
            f"load + predict {direct * 1000:.2f} ms, ratio {ours / direct:.3f} (target < 1.05)"
        )

        loaded = mlflow.sklearn.load_model(info.model_uri)
        entry = (False, velora_mlflow._evaluate_basis_model, lambda uri: loaded)
        with mock.patch.dict(velora_mlflow.EVALUATION_FUNC_MAP, {ModelFramework.sklearn: entry}):
            ours, direct, copied = medians(
                [
                    lambda: velora_mlflow.evaluate_model(info, inputs),
                    lambda: loaded.predict(table),
                    lambda: loaded.predict(table.copy()),
                ],
                repeats,
                rounds,
            )
        print(
            f"evaluate_model, {rows} rows, model loaded: {ours * 1e6:.1f} us, predict {direct * 1e6:.1f} us, "
            f"ratio {ours / direct:.3f}; predict on a copy {copied * 1e6:.1f} us, ratio {ours / copied:.3f}"
        )


if __name__ == "__main__":
    main()
