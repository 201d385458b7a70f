"""get_artifact_size_bytes over 10,000 objects against the same listing with boto3's paginator.

An S3-compatible server (moto) runs in a process of its own on loopback, so that
its work does not share the interpreter lock with the client being measured.
Both sides create their client and list every page; the ratio is ours / boto3's.

    python benchmarks/mlflow_artifact_size.py [--quick]
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace
from typing import Any

import boto3

from velora.model_registry.methods.frameworks.mlflow import get_artifact_size_bytes
from velora.settings import MLFlowModelRegistryData, ModelRegistry, settings

OBJECTS = 10_000
ROUNDS = 7
BUCKET = "benchmark"
CREDENTIALS = {"aws_access_key_id": "bench", "aws_secret_access_key": "bench-secret"}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(port: int) -> subprocess.Popen[bytes]:
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return server
        except OSError:
            time.sleep(0.1)
    server.kill()
    raise RuntimeError("moto server did not start")


def client(endpoint: str) -> Any:
    return boto3.client("s3", endpoint_url=endpoint, **CREDENTIALS)


def fill(endpoint: str, objects: int) -> int:
    s3 = client(endpoint)
    s3.create_bucket(Bucket=BUCKET)

    def put(index: int) -> None:
        s3.put_object(Bucket=BUCKET, Key=f"1/run/artifacts/model/part-{index:05d}", Body=b"x" * (index % 97))

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(put, range(objects)))
    return sum(index % 97 for index in range(objects))


def paginator_total(endpoint: str) -> int:
    pages = (
        client(endpoint)
        .get_paginator("list_objects_v2")
        .paginate(Bucket=BUCKET, Prefix="1/run/artifacts/model/")
    )
    return sum(entry["Size"] for page in pages for entry in page.get("Contents", []))


def timed(function: Any) -> tuple[float, Any]:
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="50 objects, one round: checks that it runs")
    quick = parser.parse_args().quick
    objects, rounds = (50, 1) if quick else (OBJECTS, ROUNDS)
    os.environ.setdefault("AWS_DEFAULT_REGION", "us-east-1")
    port = free_port()
    server = start_server(port)
    endpoint = f"http://127.0.0.1:{port}"
    try:
        expected = fill(endpoint, objects)
        settings.model_registry = ModelRegistry(
            MLFlowModelRegistryData(
                endpoint,
                **{
                    "access_key_id": CREDENTIALS["aws_access_key_id"],
                    "secret_access_key": CREDENTIALS["aws_secret_access_key"],
                },
            )
        )
        run = SimpleNamespace(info=SimpleNamespace(artifact_uri=f"s3://{BUCKET}/1/run/artifacts"))
        model_info = SimpleNamespace(artifact_path="model")
        ours, theirs = [], []
        for _ in range(rounds):
            seconds, total = timed(lambda: get_artifact_size_bytes(run, model_info))
            assert total == expected, (total, expected)
            ours.append(seconds)
            seconds, total = timed(lambda: paginator_total(endpoint))
            assert total == expected, (total, expected)
            theirs.append(seconds)
    finally:
        server.terminate()
        server.wait(timeout=10)
    ours_median, theirs_median = statistics.median(ours), statistics.median(theirs)
    print(
        f"artifact size, {objects} objects: get_artifact_size_bytes {ours_median * 1000:.1f} ms, "
        f"boto3 paginator {theirs_median * 1000:.1f} ms, "
        f"ratio {ours_median / theirs_median:.3f} (target <= 1.10)"
    )


if __name__ == "__main__":
    main()
