"""A local MLflow tracking store and an S3-compatible server on loopback, shared by the MLflow tests."""

import os

# Before MLflow is imported anywhere: no usage reports leave the machine.
os.environ.setdefault("MLFLOW_DISABLE_TELEMETRY", "true")
os.environ.setdefault("DO_NOT_TRACK", "true")

from collections.abc import Callable, Iterator  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import mlflow  # noqa: E402
import pytest  # noqa: E402
from moto.server import ThreadedMotoServer  # noqa: E402

LogModel = Callable[..., tuple[Any, Any]]

# Frameworks the test extra leaves out where PyPI has no usable wheel for the running Python.
NO_TORCH = "no CPU-only torch wheel for this Python on PyPI"
NO_TENSORFLOW = "no tensorflow-cpu release for this Python on PyPI"


@pytest.fixture(scope="session")
def tracking_store(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Path]:
    """An SQLite tracking store whose experiment keeps its artifacts under a file: location."""
    root = tmp_path_factory.mktemp("mlflow")
    previous = mlflow.get_tracking_uri()
    mlflow.set_tracking_uri(f"sqlite:///{root / 'mlflow.db'}")
    experiment_id = mlflow.create_experiment("velora-tests", artifact_location=(root / "artifacts").as_uri())
    mlflow.set_experiment(experiment_id=experiment_id)
    yield root
    mlflow.set_tracking_uri(previous)


@pytest.fixture(scope="session")
def log_model(tracking_store: Path) -> LogModel:
    """log_model(flavor_module, model, **keywords) -> (run, model_info), each model in a run of its own."""

    def log(flavor: Any, model: Any, **keywords: Any) -> tuple[Any, Any]:
        keywords.setdefault("pip_requirements", [])  # skips the slow requirement inference
        with mlflow.start_run() as run:
            info = flavor.log_model(model, name="model", **keywords)
        return run, info

    return log


@pytest.fixture(scope="session")
def s3_endpoint() -> Iterator[str]:
    """An S3-compatible server (moto in server mode) on a free loopback port."""
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    yield f"http://{host}:{port}"
    server.stop()
