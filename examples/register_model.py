"""Register a model end to end: log it with MLflow, evaluate it on its samples, measure its
artifacts, and write the model registry documents.

    python examples/register_model.py [--output DIR]

Everything stays on this machine: a temporary SQLite tracking store, artifacts on local disk.
"""

import os

# No usage reports leave the machine.
os.environ.setdefault("MLFLOW_DISABLE_TELEMETRY", "true")
os.environ.setdefault("DO_NOT_TRACK", "true")

import argparse  # noqa: E402
import tempfile  # noqa: E402
from pathlib import Path  # noqa: E402
from types import SimpleNamespace  # noqa: E402

import mlflow  # noqa: E402
import mlflow.sklearn  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402

from velora.model_registry.methods.frameworks.mlflow import (  # noqa: E402
    evaluate_model,
    extract_framework_type_from,
    get_artifact_size_bytes,
)
from velora.model_registry.schemas import IOSample, ModelConfig, Revision, Revisionable  # noqa: E402
from velora.model_registry.values import SchemaRevision  # noqa: E402
from velora.settings import MLFlowModelRegistryData, ModelRegistry, settings  # noqa: E402


def log_model(store: Path) -> tuple[mlflow.ActiveRun, mlflow.models.model.ModelInfo, pd.DataFrame]:
    """Train a small classifier and log it into a tracking store under `store`."""
    rng = np.random.default_rng(0)
    table = pd.DataFrame(rng.normal(size=(200, 3)), columns=["length", "width", "depth"])
    model = LogisticRegression().fit(table, table["length"] + table["width"] > 0)
    mlflow.set_tracking_uri(f"sqlite:///{store / 'mlflow.db'}")
    experiment = mlflow.create_experiment("register-model", artifact_location=(store / "artifacts").as_uri())
    with mlflow.start_run(experiment_id=experiment) as run:
        info = mlflow.sklearn.log_model(model, name="model", pip_requirements=["scikit-learn"])
    return run, info, table.head(3)


def write_documents(output: Path, *documents: Revisionable) -> None:
    output.mkdir(parents=True, exist_ok=True)
    for document in documents:
        with open(output / document.get_filename(), "w") as fp:
            document.dump(fp)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, help="where the documents go (default: a temporary folder)")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        run, info, sample = log_model(Path(scratch))

        # The platform configures its model registry store; a local run's artifacts need none of
        # its credentials, but a registry must be configured all the same.
        settings.model_registry = ModelRegistry(MLFlowModelRegistryData("http://127.0.0.1:9000", "", ""))

        inputs_sample = {"predict": [sample], "predict_proba": [sample]}
        outputs_sample = evaluate_model(info, inputs_sample)
        size = get_artifact_size_bytes(run, info)
        print(f"framework {extract_framework_type_from(info)}, artifacts {size} bytes")

        image = SimpleNamespace(image_url="registry.local/serving:1.0", run_uuid="demo-image-1")
        context = Revisionable.BuilderContext(
            mlflow_model_info=info,
            framework=extract_framework_type_from(info),
            inputs_sample=inputs_sample,
            outputs_sample=outputs_sample,
            artifact_size_bytes=size,
            image_snapshot_info=image,
            launch_params=SimpleNamespace(source=None),
            revision=SchemaRevision.rev2,
        )
        output = arguments.output or Path(scratch) / "documents"
        write_documents(output, ModelConfig.build(context), IOSample.build(context), Revision.build(context))
        for path in sorted(output.glob("*.json")):
            print(f"{path.name}: {path.read_text()[:160]}")
        print(f"revision read back: {Revision.parse(output).revision}")


if __name__ == "__main__":
    main()
