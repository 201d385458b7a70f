"""The `velora` command line, run as its own process against the local service."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from velora.common.utils import DEV_INSTANCE_MARKERS
from velora.server.launch import CLIENT_SETTINGS
from velora.settings import settings

TABLE = pd.DataFrame({"city": ["Lyon", "Oslo"], "population": [522_000, 709_000]})


def environment(workload: str = "dev_instance", unset: tuple[str, ...] = ()) -> dict[str, str]:
    # An editable install reports its rebuild check on standard output unless told not to.
    values = {**os.environ, **{name: str(getattr(settings, name)) for name in CLIENT_SETTINGS}}
    values = {**values, "VELORA_WORKLOAD_TYPE": workload, "SKBUILD_EDITABLE_VERBOSE": "0"}
    return {name: value for name, value in values.items() if name not in unset}


def velora(
    *args: str,
    workload: str = "dev_instance",
    command: tuple[str, ...] = (),
    stdout: Any = subprocess.PIPE,
    unset: tuple[str, ...] = (),
) -> Any:
    return subprocess.run(
        [*(command or (sys.executable, "-P", "-m", "velora")), *args],
        env=environment(workload, unset),
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        timeout=120,
        check=False,
    )


@pytest.mark.parametrize("workload", ["dev_instance", "pipeline"])
def test_upload_versions_download(platform_settings: Any, tmp_path: Path, workload: str) -> None:
    source = tmp_path / "cities.parquet"
    TABLE.to_parquet(source)
    uploaded = velora("datasets", "upload", str(source), "--name", "cities", "--json", workload=workload)
    assert uploaded.returncode == 0, uploaded.stderr
    assert json.loads(uploaded.stdout)["latest_version"]["files"][0]["filename"] == "cities.parquet"

    versions = velora("datasets", "versions", "cities", workload=workload)
    assert versions.returncode == 0, versions.stderr
    assert versions.stdout.splitlines()[0].split()[:3] == ["VERSION", "ID", "STATUS"]
    assert "cities.parquet" in versions.stdout.splitlines()[1]

    target = tmp_path / "out"
    target.mkdir()
    downloaded = velora("datasets", "download", "cities", "--to", str(target), workload=workload)
    assert (downloaded.returncode, downloaded.stdout) == (0, f"{target / 'cities.parquet'}\n")
    assert (target / "cities.parquet").read_bytes() == source.read_bytes()


def test_list_show_and_snippet(platform_settings: Any, tmp_path: Path) -> None:
    source = tmp_path / "cities.csv"
    TABLE.to_csv(source)
    uploaded = velora("datasets", "upload", str(source), "--name", "cities", "--description", "two\ncities")
    assert uploaded.returncode == 0

    listed = velora("--json", "datasets", "list")
    assert [(record["name"], record["description"]) for record in json.loads(listed.stdout)] == [
        ("cities", "two\ncities")
    ]
    # As text, a record stays on its line.
    assert (
        velora("datasets", "list").stdout.splitlines()[1].endswith("  cities  1         1       two | cities")
    )
    shown = velora("datasets", "show", "cities", command=(str(Path(sys.executable).parent / "velora"),))
    assert shown.returncode == 0 and "latest:      version 1: cities.csv" in shown.stdout
    assert "description: two | cities\n" in shown.stdout
    snippet = velora("datasets", "snippet", "cities", "--version", "1")
    assert snippet.returncode == 0 and "cities.csv" in snippet.stdout


@pytest.mark.parametrize(
    ("args", "status", "stderr"),
    [
        (
            ("datasets", "download", "absent"),
            1,
            "velora: error: ValueError: Dataset 'absent' does not exist.\n",
        ),
        (("datasets", "versions", "absent", "--debug"), 1, "Traceback (most recent call last):"),
        (("datasets", "upload", "table.txt", "--name", "x"), 2, "suffix must be one of .csv, .parquet"),
        ((), 2, "velora: error: a command is required"),
        (("datasets",), 2, "velora datasets: error: a dataset command is required"),
        (
            ("datasets", "list", "--page", "0"),
            2,
            "error: argument --page: must be a whole number, 1 or more: 0",
        ),
        (
            ("datasets", "--json", "versions", "absent"),
            1,
            "velora: error: ValueError: Dataset 'absent' does not exist.\n",
        ),
        (
            ("mount", "VELORA_WEBDAV_URL"),
            1,
            "velora: error: ValueError: velora mount needs VELORA_WEBDAV_URL set; "
            "`. ./velora.env` sets the local service's settings\n",
        ),
        (
            ("datasets", "list", "VELORA_WORKLOAD_TYPE"),
            1,
            "velora: error: ValueError: Unable to inspect workload type (set VELORA_WORKLOAD_TYPE to "
            "dev_instance or pipeline; `. ./velora.env` sets the local service's settings)\n",
        ),
    ],
    ids=[
        "failed",
        "debug",
        "wrong suffix",
        "no command",
        "no dataset command",
        "page 0",
        "json after datasets",
        "mount without address",
        "no workload",
    ],
)
def test_failures_and_usage(platform_settings: Any, args: tuple[str, ...], status: int, stderr: str) -> None:
    # An upper-case word names a setting to leave unset; without a workload type, nothing may tell it.
    unset = tuple(filter(str.isupper, args))
    if "VELORA_WORKLOAD_TYPE" in unset:
        unset += ("ARGO_WORKFLOW_RUN_ID", *DEV_INSTANCE_MARKERS)
    done = velora(*[arg for arg in args if not arg.isupper()], unset=unset)
    assert done.returncode == status
    assert done.stdout == ""
    if status == 1 and "--debug" not in args:
        assert done.stderr == stderr
    else:
        assert stderr in done.stderr


@pytest.mark.parametrize(
    ("reader", "stderr"),
    [
        ("full disk", "velora: error: OSError: [Errno 28] No space left on device\n"),
        ("closed", "velora: error: OSError: standard output is closed\n"),
        ("gone", ""),
        ("no standard error", ""),
    ],
)
def test_output_that_cannot_be_written_fails_in_one_line_or_quietly(
    platform_settings: Any, reader: str, stderr: str
) -> None:
    if reader == "full disk":
        with open("/dev/full", "w") as full:
            done = velora("datasets", "list", stdout=full)
    elif reader == "closed":
        closing = ("sh", "-c", 'exec "$0" "$@" >&-', sys.executable, "-P", "-m", "velora")
        done = velora("datasets", "list", command=closing)
    elif reader == "no standard error":
        # The failure's message goes nowhere, not into the output.
        closing = ("sh", "-c", 'exec "$0" "$@" 2>&-', sys.executable, "-P", "-m", "velora")
        done = velora("--json", "datasets", "download", "absent", command=closing)
        assert done.stdout == ""
    else:
        # A reader that stopped early, as `velora ... | head` leaves it.
        read_end, write_end = os.pipe()
        os.close(read_end)
        with os.fdopen(write_end, "w") as gone:
            done = velora("datasets", "list", stdout=gone)
    assert (done.returncode, done.stderr) == (1, stderr)


def test_a_download_stopped_by_sigterm_leaves_nothing_behind(platform_settings: Any, tmp_path: Path) -> None:
    source = tmp_path / "large.npy"
    np.save(source, np.zeros(2**23))  # 64 MiB: still arriving when the signal comes
    assert velora("datasets", "upload", str(source), "--name", "large").returncode == 0
    target = tmp_path / "out"
    target.mkdir()
    download = subprocess.Popen(
        [sys.executable, "-P", "-m", "velora", "datasets", "download", "large", "--to", str(target)],
        env=environment(),
        stderr=subprocess.PIPE,
    )
    while not any(target.iterdir()) and download.poll() is None:
        time.sleep(0.002)
    download.send_signal(signal.SIGTERM)
    assert download.wait(timeout=60) == 128 + signal.SIGTERM, download.stderr.read()  # type: ignore[union-attr]
    assert list(target.iterdir()) == []
