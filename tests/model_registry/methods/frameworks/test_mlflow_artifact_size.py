"""Artifact size: on local directories, on an S3-compatible server on loopback, and of real logged models."""

import os
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any
from unittest import mock

import boto3
import botocore.exceptions
import mlflow
import mlflow.sklearn
import pytest
from conftest import LogModel
from sklearn.linear_model import LinearRegression

from velora.model_registry.methods.frameworks.mlflow import get_artifact_size_bytes
from velora.settings import MLFlowModelRegistryData, ModelRegistry, settings

MODULE = "velora.model_registry.methods.frameworks.mlflow"
CREDENTIALS = {"aws_access_key_id": "velora-test", "aws_secret_access_key": "velora-test-secret"}


def run_at(artifact_uri: Any) -> SimpleNamespace:
    return SimpleNamespace(info=SimpleNamespace(artifact_uri=artifact_uri))


def model_at(artifact_path: Any) -> SimpleNamespace:
    return SimpleNamespace(artifact_path=artifact_path)


@pytest.fixture
def registry(monkeypatch: pytest.MonkeyPatch) -> MLFlowModelRegistryData:
    data = MLFlowModelRegistryData("http://127.0.0.1:1", "key-id", "secret")
    monkeypatch.setattr(settings, "model_registry", ModelRegistry(data))
    return data


def s3_client(endpoint: str) -> Any:
    return boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1", **CREDENTIALS)


class TestChecks:
    def test_no_run_comes_first(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(settings, "model_registry", None)
        with pytest.raises(ValueError, match="^not found active run$"):
            get_artifact_size_bytes(None, model_at("model"))

    @pytest.mark.parametrize("model_registry", [None, ModelRegistry(None)], ids=["no registry", "no data"])
    def test_no_registry(self, monkeypatch: pytest.MonkeyPatch, model_registry: Any) -> None:
        monkeypatch.setattr(settings, "model_registry", model_registry)
        with (
            mock.patch(f"{MODULE}.boto3") as boto,
            pytest.raises(ValueError, match="^There are no model registry$"),
        ):
            get_artifact_size_bytes(run_at("s3://bucket/1/artifacts"), model_at("model"))
        boto.client.assert_not_called()

    @pytest.mark.parametrize(
        "artifact_uri", ["gs://bucket/7/artifacts", "/data/runs/1/artifacts", "mlruns/1"]
    )
    def test_unsupported_scheme(self, registry: MLFlowModelRegistryData, artifact_uri: str) -> None:
        with pytest.raises(ValueError) as caught:
            get_artifact_size_bytes(run_at(artifact_uri), model_at("model"))
        assert str(caught.value) == f"unsupported url schema: run.info.artifact_uri={artifact_uri!r}"

    def test_s3_needs_the_registry_record(self, monkeypatch: pytest.MonkeyPatch) -> None:
        record = SimpleNamespace(storage_url="http://127.0.0.1:1", access_key_id="a", secret_access_key="b")
        monkeypatch.setattr(settings, "model_registry", ModelRegistry(record))  # type: ignore[arg-type]
        with pytest.raises(ValueError, match="^unsupported url schema: run.info.artifact_uri='s3://b/1'$"):
            get_artifact_size_bytes(run_at("s3://b/1"), model_at("model"))

    @pytest.mark.parametrize(
        "artifact_uri, artifact_path", [(None, "model"), ("s3://b/1", None), (7, "model")]
    )
    def test_location_must_be_text(
        self, registry: MLFlowModelRegistryData, artifact_uri: Any, artifact_path: Any
    ) -> None:
        with pytest.raises(TypeError):
            get_artifact_size_bytes(run_at(artifact_uri), model_at(artifact_path))


class FakeS3:
    """Answers list_objects_v2 with the pages given, recording each request."""

    def __init__(self, pages: list[dict[str, Any]]) -> None:
        self.pages = pages
        self.requests: list[dict[str, Any]] = []

    def list_objects_v2(self, **request: Any) -> dict[str, Any]:
        self.requests.append(request)
        return self.pages[len(self.requests) - 1]


@pytest.fixture
def fake_s3(registry: MLFlowModelRegistryData) -> Iterator[mock.Mock]:
    with mock.patch(f"{MODULE}.boto3") as boto:
        boto.client.return_value = FakeS3([{"Contents": [{"Size": 3}], "IsTruncated": False}])
        yield boto


class TestS3Requests:
    @pytest.mark.parametrize(
        "artifact_uri, artifact_path, bucket, prefix",
        [
            ("s3://bucket-a/7/abc/artifacts", "model", "bucket-a", "7/abc/artifacts/model/"),
            ("s3://bucket-a/7/abc/artifacts/", "model", "bucket-a", "7/abc/artifacts/model/"),
            ("s3://bucket-a/7/abc/artifacts", "/model/", "bucket-a", "7/abc/artifacts/model/"),
            ("s3://bucket-a", "model", "bucket-a", "model/"),
            ("s3://bucket-a/7", "v1:model", "bucket-a", "7/v1:model/"),
            # MLflow 3: the model's own location, outside the run's artifacts.
            (
                "s3://bucket-a/1/run-9/artifacts",
                "s3://bucket-a/1/models/m-2/artifacts",
                "bucket-a",
                "1/models/m-2/artifacts/",
            ),
        ],
    )
    def test_bucket_and_prefix(
        self, fake_s3: mock.Mock, artifact_uri: str, artifact_path: str, bucket: str, prefix: str
    ) -> None:
        assert get_artifact_size_bytes(run_at(artifact_uri), model_at(artifact_path)) == 3
        assert fake_s3.client.return_value.requests == [{"Bucket": bucket, "Prefix": prefix}]

    def test_client_from_the_registry_read_at_call_time(self, fake_s3: mock.Mock) -> None:
        settings.model_registry.data = MLFlowModelRegistryData("http://127.0.0.1:9", "id-2", "secret-2")
        get_artifact_size_bytes(run_at("s3://b/1"), model_at("model"))
        fake_s3.client.assert_called_once_with(
            "s3",
            endpoint_url="http://127.0.0.1:9",
            aws_access_key_id="id-2",
            aws_secret_access_key="secret-2",
        )

    def test_every_page_is_followed(self, fake_s3: mock.Mock) -> None:
        fake_s3.client.return_value = s3 = FakeS3(
            [
                {"Contents": [{"Size": 1}, {"Size": 2}], "IsTruncated": True, "NextContinuationToken": "t1"},
                {"Contents": [{"Size": 4}], "IsTruncated": True, "NextContinuationToken": "t2"},
                {"Contents": [{"Size": 8}], "IsTruncated": False},
            ]
        )
        assert get_artifact_size_bytes(run_at("s3://b/r"), model_at("m")) == 15
        assert [r.get("ContinuationToken") for r in s3.requests] == [None, "t1", "t2"]
        assert all(r["Bucket"] == "b" and r["Prefix"] == "r/m/" for r in s3.requests)

    def test_no_contents_is_zero(self, fake_s3: mock.Mock) -> None:
        fake_s3.client.return_value = FakeS3([{"KeyCount": 0, "IsTruncated": False}])
        assert get_artifact_size_bytes(run_at("s3://b/r"), model_at("m")) == 0


@pytest.fixture(scope="module")
def bucket(s3_endpoint: str) -> str:
    """A bucket with 1,234 objects under 7/abc/artifacts/model/ and neighbours that must not count."""
    client = s3_client(s3_endpoint)
    client.create_bucket(Bucket="bucket-a")
    for index in range(1234):
        client.put_object(
            Bucket="bucket-a", Key=f"7/abc/artifacts/model/part-{index:04d}", Body=b"x" * (index % 7)
        )
    client.put_object(Bucket="bucket-a", Key="7/abc/artifacts/model/nested/deep/MLmodel", Body=b"y" * 1000)
    for neighbour in ["7/abc/artifacts/model-2/MLmodel", "7/abc/artifacts/modelx", "7/abc/artifacts/model"]:
        client.put_object(Bucket="bucket-a", Key=neighbour, Body=b"z" * 100_000)
    return "bucket-a"


@pytest.fixture
def moto_registry(monkeypatch: pytest.MonkeyPatch, s3_endpoint: str) -> None:
    data = MLFlowModelRegistryData(
        s3_endpoint, CREDENTIALS["aws_access_key_id"], CREDENTIALS["aws_secret_access_key"]
    )
    monkeypatch.setattr(settings, "model_registry", ModelRegistry(data))


@pytest.mark.usefixtures("moto_registry")
class TestS3Server:
    def test_every_object_under_the_model_and_nothing_beside(self, bucket: str) -> None:
        expected = sum(index % 7 for index in range(1234)) + 1000
        assert (
            get_artifact_size_bytes(run_at(f"s3://{bucket}/7/abc/artifacts"), model_at("model")) == expected
        )

    def test_model_location_of_its_own(self, bucket: str) -> None:
        location = f"s3://{bucket}/7/abc/artifacts/model-2"
        assert (
            get_artifact_size_bytes(run_at(f"s3://{bucket}/9/run/artifacts"), model_at(location)) == 100_000
        )

    def test_empty_prefix_is_zero(self, bucket: str) -> None:
        assert get_artifact_size_bytes(run_at(f"s3://{bucket}/7/abc/artifacts"), model_at("missing")) == 0

    def test_missing_bucket_error_passes(self) -> None:
        with pytest.raises(botocore.exceptions.ClientError, match="NoSuchBucket"):
            get_artifact_size_bytes(run_at("s3://no-such-bucket/1"), model_at("model"))


def write(path: Path, size: int) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"\0" * size)


@pytest.mark.usefixtures("registry")
class TestLocal:
    @pytest.fixture
    def runs(self, tmp_path: Path) -> Path:
        """A run's artifacts with a model whose files, nested, hold 10 + 20 + 30 bytes."""
        root = tmp_path / "data dir" / "runs" / "1" / "artifacts"
        write(root / "model" / "MLmodel", 10)
        write(root / "model" / "data" / "model.pkl", 20)
        write(root / "model" / "data" / "deep" / "weights.bin", 30)
        (root / "model" / "empty").mkdir()
        write(root / "model-2" / "MLmodel", 1000)
        write(root / "outside.bin", 500)
        return root

    def test_nested_files_count_directories_do_not(self, runs: Path) -> None:
        assert get_artifact_size_bytes(run_at(runs.as_uri()), model_at("model")) == 60

    def test_a_name_that_is_not_utf8(self, runs: Path) -> None:
        odd = os.fsdecode(b"model\xff")  # the byte is kept as a lone surrogate
        write(runs / odd / "MLmodel", 5)
        assert get_artifact_size_bytes(run_at(runs.as_uri()), model_at(odd)) == 5

    def test_links_are_followed(self, runs: Path) -> None:
        (runs / "model" / "link.bin").symlink_to(runs / "outside.bin")
        (runs / "model" / "dangling").symlink_to(runs / "gone")
        assert get_artifact_size_bytes(run_at(runs.as_uri()), model_at("model")) == 560

    def test_missing_directory_is_zero(self, runs: Path) -> None:
        assert get_artifact_size_bytes(run_at(runs.as_uri()), model_at("no-such-model")) == 0

    def test_model_location_of_its_own(self, runs: Path) -> None:
        location = (runs / "model-2").as_uri()
        assert get_artifact_size_bytes(run_at((runs.parent / "other").as_uri()), model_at(location)) == 1000

    def test_path_is_read_through_module_path(self, runs: Path) -> None:
        with mock.patch(f"{MODULE}.Path", wraps=Path) as path:
            get_artifact_size_bytes(run_at("file:///data/runs/1/artifacts"), model_at("model"))
        path.assert_called_once_with("/data/runs/1/artifacts/model")


def tree_size(directory: str) -> int:
    return sum(
        os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(directory) for name in names
    )


class TestLoggedModels:
    @pytest.mark.usefixtures("registry")
    def test_local_store(self, log_model: LogModel) -> None:
        run, info = log_model(mlflow.sklearn, LinearRegression().fit([[0.0], [1.0]], [0.0, 1.0]))
        directory = mlflow.artifacts.download_artifacts(info.model_uri)
        size = get_artifact_size_bytes(run, info)
        assert size == tree_size(directory) > 0

    @pytest.mark.usefixtures("moto_registry")
    def test_s3_store(self, log_model: LogModel, s3_endpoint: str, monkeypatch: pytest.MonkeyPatch) -> None:
        client = s3_client(s3_endpoint)
        client.create_bucket(Bucket="models")
        monkeypatch.setenv("MLFLOW_S3_ENDPOINT_URL", s3_endpoint)
        monkeypatch.setenv("AWS_ACCESS_KEY_ID", CREDENTIALS["aws_access_key_id"])
        monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", CREDENTIALS["aws_secret_access_key"])
        experiment = mlflow.create_experiment("velora-s3", artifact_location="s3://models/experiments")
        model = LinearRegression().fit([[0.0], [1.0]], [0.0, 1.0])
        with mlflow.start_run(experiment_id=experiment) as run:
            info = mlflow.sklearn.log_model(model, name="model", pip_requirements=[])
            mlflow.sklearn.log_model(model, name="sibling", pip_requirements=[])
        listed = client.get_paginator("list_objects_v2").paginate(Bucket="models", Prefix="experiments/")
        sizes = {entry["Key"]: entry["Size"] for page in listed for entry in page.get("Contents", [])}
        own_prefix = info.artifact_path.removeprefix("s3://models/") + "/"
        expected = sum(size for key, size in sizes.items() if key.startswith(own_prefix))
        assert 0 < expected < sum(sizes.values())
        assert get_artifact_size_bytes(run, info) == expected
