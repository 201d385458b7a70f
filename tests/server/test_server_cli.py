"""velora-server as a program: flags, what it prints, restarts on the same data directory."""

from __future__ import annotations

import base64
import contextlib
import shlex
import signal
import sqlite3
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import httpx
import pytest

from velora.common.corlett import corlett
from velora.server import storage
from velora.settings import settings


def test_standard_output_holds_only_the_export_lines(platform_settings: Any) -> None:
    # Requests that log on the service must not add to what a shell would eval.
    corlett.get(platform_settings.sdk_base)
    httpx.request("PROPFIND", platform_settings.server.webdav_url + "/")
    lines = platform_settings.server.stdout_path.read_text().splitlines()
    assert [shlex.split(line)[1].split("=")[0] for line in lines] == [
        "VELORA_API_URL",
        "VELORA_SDK_TOKEN",
        "VELORA_WORKLOAD_TOKEN",
        "VELORA_WORKSPACE_ID",
        "VELORA_PROJECT_ID",
        "VELORA_WEBDAV_URL",
        "VELORA_PROJECT_DIR",
        "VELORA_WORKLOAD_TYPE",
    ]
    assert all(line.startswith("export ") for line in lines)


def test_printed_settings_are_enough_for_the_sdk(platform_server: Any, restore_settings: Any) -> None:
    for name, value in platform_server.environment.items():
        setattr(settings, name, value)
    created = corlett.post(
        f"/v1/sdk/workspaces/{settings.VELORA_WORKSPACE_ID}/projects/{settings.VELORA_PROJECT_ID}/data-snapshots",
        json_data={"name": "printed", "exist_ok": True},
    )
    assert created["project_id"] == platform_server.environment["VELORA_PROJECT_ID"] == "1"
    assert platform_server.environment["VELORA_PROJECT_DIR"] == "project-1"
    assert platform_server.environment["VELORA_WEBDAV_URL"] == platform_server.url + "/webdav"
    assert (platform_server.project_storage("project-1") / "dataset" / "printed").is_dir()


@pytest.mark.parametrize("program", [["velora-server"], [sys.executable, "-m", "velora.server"]])
def test_help_names_every_flag(program: list[str]) -> None:
    if program == ["velora-server"]:
        program = [str(Path(sys.executable).with_name("velora-server"))]
    done = subprocess.run([*program, "--help"], capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0, done.stderr
    for flag in (
        "--host",
        "--port",
        "--data-dir",
        "--token",
        "(default 127.0.0.1)",
        "(default 8400)",
        "--upload-expiry",
    ):
        assert flag in done.stdout
    for words in ("--project ID=TOKEN", "--workload-token", "--project 2=tok-b --project 3=tok-c"):
        assert words in done.stdout


@pytest.mark.parametrize(
    ("flags", "message"),
    [
        (["--project-id", "Bad/Id"], "Project id must be"),
        (["--project-id", "one\n"], "Project id must be"),
        (["--port", "70000"], "--port must be between 0 and 65535"),
        (["--workspace-id", "a/b"], "--workspace-id must be 1 to 64 characters without '/'"),
        (["--port", "eighty"], "invalid int value"),
        (["--upload-expiry", "0"], "--upload-expiry must be a positive number of seconds"),
        (["--upload-expiry", "nan"], "--upload-expiry must be a positive number of seconds"),
        (["--upload-expiry", "soon"], "invalid float value"),
        (["--project", "2"], "argument --project: expected ID=TOKEN: '2'"),
        (["--project", "Two=t"], "argument --project: Project id must be"),
        (["--project", "1=t"], "each project is named once, by --project-id or one --project"),
        (["--project", "2=t", "--project", "3=t"], "each project needs a token of its own"),
    ],
)
def test_bad_flags_stop_it_before_serving(tmp_path: Path, flags: list[str], message: str) -> None:
    command = [sys.executable, "-m", "velora.server", "--data-dir", str(tmp_path), *flags]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 2
    assert message in done.stderr
    assert done.stdout == ""


@pytest.mark.parametrize(
    ("port", "data_dir", "message"),
    [
        ("0", "{first}", "another velora-server is using the data directory {first}"),
        ("{port}", "{fresh}", "cannot listen on 127.0.0.1:{port}: Address already in use"),
        ("0", "{file}", "cannot use the data directory {file}: File exists"),
    ],
    ids=["data directory in use", "port in use", "data directory is a file"],
)
def test_a_service_that_cannot_start_says_why_in_one_line(
    tmp_path: Path, launch_platform_server: Callable[..., Any], port: str, data_dir: str, message: str
) -> None:
    first = launch_platform_server(tmp_path / "data", "t")
    (tmp_path / "file").write_text("")
    names = {"first": first.data_dir, "port": first.url.rsplit(":", 1)[1], "fresh": tmp_path / "fresh"}
    names["file"] = tmp_path / "file"
    flags = ["--port", port.format(**names), "--data-dir", data_dir.format(**names)]
    done = subprocess.run(
        [sys.executable, "-m", "velora.server", *flags],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert (done.returncode, done.stdout, done.stderr) == (
        1,
        "",
        f"velora-server: {message.format(**names)}\n",
    )
    assert not (tmp_path / "fresh").exists()
    assert httpx.get(first.url + "/v1/health").status_code == 200


def test_a_data_directory_of_the_earlier_service_is_taken_over(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    # The earlier service's tables had no upload states: a version waited while it had fewer files.
    project = tmp_path / "data" / "storage" / "project-1"
    (project / "dataset" / "old" / "v1").mkdir(parents=True)
    (project / "dataset-staged").mkdir()
    (project / "dataset" / "old" / "v1" / "a.csv").write_bytes(b"kept")
    data_dir = tmp_path / "data"
    with contextlib.closing(sqlite3.connect(data_dir / "velora.sqlite3")) as connection, connection:
        connection.executescript(storage._SCHEMA)
        connection.executescript(
            "INSERT INTO projects VALUES ('1', '1', 't');"
            "INSERT INTO data_snapshots VALUES (1, '1', 'old', NULL, NULL, 't', 't');"
            "INSERT INTO versions VALUES (1, 1, 1, NULL, 1, NULL, NULL, 't');"
            "INSERT INTO versions VALUES (2, 1, 2, NULL, 1, NULL, NULL, 't');"
            "INSERT INTO files VALUES (1, 1, 'a.csv', 4, 'x', 't');"
        )
    server = launch_platform_server(data_dir, "t")
    base = "/v1/sdk/workspaces/1/projects/1/data-snapshots"
    with httpx.Client(base_url=server.url, headers={"Authorization": "Bearer t"}) as http:
        waiting = http.get(f"{base}/1").json()["data_snapshot"]["latest_version"]
        kept = http.get(f"{server.webdav_url}/project-1/dataset/old/v1/a.csv")
        snippet = http.get(f"{base}/1/versions/1/code-snippet")
    assert (waiting["version"], waiting["status"]) == (2, "failed")
    assert (kept.status_code, kept.content, snippet.status_code) == (200, b"kept", 200)


def test_the_token_comes_from_the_flag_the_environment_or_chance(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    flagged = launch_platform_server(tmp_path / "a", "flag-token", {"VELORA_SERVER_TOKEN": "env-token"})
    from_env = launch_platform_server(tmp_path / "b", None, {"VELORA_SERVER_TOKEN": "env-token"})
    drawn = launch_platform_server(tmp_path / "c", None, {"VELORA_SERVER_TOKEN": ""})
    assert (flagged.token, from_env.token) == ("flag-token", "env-token")
    assert len(drawn.token) >= 24
    answer = httpx.get(
        from_env.url + "/v1/sdk/workspaces/1/projects/1/data-snapshots",
        headers={"Authorization": "Bearer env-token"},
    )
    assert answer.status_code == 200


def test_records_and_files_survive_a_restart_and_stale_uploads_do_not(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    data_dir = tmp_path / "data"
    headers = {"Authorization": "Bearer t", "Velora-Pairing-Key": "restart"}
    base = "/v1/sdk/workspaces/1/projects/1/data-snapshots"
    first = launch_platform_server(data_dir, "t")
    with httpx.Client(base_url=first.url, headers=headers) as http:
        snapshot = http.post(base, json={"name": "kept"}).json()
        http.post(f"{base}/{snapshot['id']}/upload-metadata", json={})
        http.post(
            f"{base}/{snapshot['id']}/upload",
            content=b"payload",
            headers={"Filename": base64.b64encode(b"k.csv").decode()},
        ).raise_for_status()
    first.process.terminate()
    # uvicorn shuts down cleanly, then re-raises the signal as its exit.
    assert first.process.wait(timeout=15) in (0, -signal.SIGTERM)
    (data_dir / "tmp" / "upload-cut.part").write_bytes(b"half")
    # Directories made by a stop just before their records were committed.
    datasets = data_dir / "storage" / "project-1" / "dataset"
    (datasets / "ghost" / "v1").mkdir(parents=True)
    (datasets / "kept" / "v2").mkdir()

    second = launch_platform_server(data_dir, "t")
    with httpx.Client(base_url=second.url, headers=headers) as http:
        detail = http.get(f"{base}/{snapshot['id']}").json()["data_snapshot"]
        newer = http.post(base, json={"name": "new"}).json()
        served = http.get(f"{second.webdav_url}/project-1/dataset/kept/v1/k.csv")
    assert detail["latest_version"]["files"][0]["filename"] == "k.csv"
    assert newer["id"] > snapshot["id"]
    assert served.content == b"payload"
    assert list((data_dir / "tmp").iterdir()) == []
    on_disk = sorted(path.relative_to(datasets).as_posix() for path in datasets.rglob("*"))
    assert on_disk == ["kept", "kept/v1", "kept/v1/k.csv", "new"]


def test_several_projects_each_open_to_their_own_token_in_a_private_data_directory(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    data_dir = tmp_path / "data"
    (data_dir / "storage").mkdir(parents=True)
    (data_dir / "storage" / "left-over.txt").write_text("from an earlier run")
    for path in (data_dir, data_dir / "storage"):
        path.chmod(0o755)
    (data_dir / "storage" / "left-over.txt").chmod(0o644)
    server = launch_platform_server(data_dir, "token-one", flags=("--project", "two=token-two"))
    base = "/v1/sdk/workspaces/1/projects/{}/data-snapshots"
    for project, token, other in (("1", "token-one", "two"), ("two", "token-two", "1")):
        with httpx.Client(base_url=server.url, headers={"Authorization": f"Bearer {token}"}) as http:
            assert http.post(base.format(project), json={"name": f"of-{project}"}).status_code == 201
            assert http.get(base.format(other)).status_code == 403
            put = http.put(f"{server.webdav_url}/project-{project}/dataset-staged/note.txt", content=b"n")
            assert put.status_code == 201
            assert http.request("PROPFIND", f"{server.webdav_url}/project-{other}/").status_code == 403
    modes = {
        str(path.relative_to(data_dir)): path.stat().st_mode & 0o777
        for path in [data_dir, *data_dir.rglob("*")]
    }
    assert modes["storage/project-two/dataset/of-two"] == modes["."] == 0o700
    assert modes["storage/project-1/dataset-staged/note.txt"] == modes["velora.sqlite3"] == 0o600
    assert set(modes.values()) == {0o700, 0o600}
