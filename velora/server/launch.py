"""Run `velora-server` as a child process: for the test suite, benchmarks and demos."""

from __future__ import annotations

import contextlib
import os
import secrets
import shlex
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import httpx

from velora.server.cli import client_environment

_START_TIMEOUT_SECONDS = 60.0
# The names the service prints for its clients, in its order.
CLIENT_SETTINGS = tuple(client_environment("http://host", "token", "1", "1", "workload"))


@dataclass(frozen=True)
class ServerProcess:
    """A running `velora-server`; `environment` is what it printed for its clients."""

    process: subprocess.Popen[bytes]
    data_dir: Path
    stdout_path: Path
    stderr_path: Path
    environment: dict[str, str]
    admin_token: str

    @property
    def url(self) -> str:
        return self.environment["VELORA_API_URL"]

    @property
    def token(self) -> str:
        return self.environment["VELORA_SDK_TOKEN"]

    @property
    def workload_token(self) -> str:
        return self.environment["VELORA_WORKLOAD_TOKEN"]

    @property
    def webdav_url(self) -> str:
        return self.environment["VELORA_WEBDAV_URL"]

    def open_project(self, project_id: str) -> str:
        """Open a further project on the running service; its own fresh SDK token."""
        token = secrets.token_urlsafe(24)
        httpx.put(
            f"{self.url}/v1/admin/projects/{project_id}",
            json={"token": token},
            headers={"Authorization": f"Bearer {self.admin_token}"},
            timeout=30,
        ).raise_for_status()
        return token

    def project_storage(self, project_dir: str) -> Path:
        return self.data_dir / "storage" / project_dir

    def memory_high_water_bytes(self) -> int:
        """Peak resident memory of the service process so far."""
        return process_memory_bytes(self.process.pid, "VmHWM")


def process_memory_bytes(pid: int | str, field: str) -> int:
    """A memory figure of a process from Linux's /proc: "VmRSS" now, "VmHWM" its peak.

    getrusage's ru_maxrss would not do for a child: after fork and exec it starts
    from the parent's peak.
    """
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} is not reported for process {pid}")


def start_server(
    data_dir: Path,
    token: str | None = None,
    environment: dict[str, str] | None = None,
    flags: tuple[str, ...] = (),
) -> ServerProcess:
    """Start `python -m velora.server` on a free loopback port and wait until it answers.

    Without `token` no --token flag is given, so the service picks its own. `flags`
    are further command-line flags; an admin token of the launcher's own is always given.
    """
    data_dir.mkdir(parents=True, exist_ok=True)
    stdout_path = data_dir.parent / f"{data_dir.name}.stdout"
    stderr_path = data_dir.parent / f"{data_dir.name}.stderr"
    command = [sys.executable, "-m", "velora.server", "--host", "127.0.0.1", "--port", "0"]
    admin_token = secrets.token_urlsafe(24)
    command += ["--data-dir", str(data_dir), "--log-level", "warning", *flags]
    if token is not None:
        # One word: a token may begin with "-".
        command.append(f"--token={token}")
    # Output goes to files: a pipe nobody reads would stall the service once full.
    with open(stdout_path, "wb") as stdout, open(stderr_path, "wb") as stderr:
        process = subprocess.Popen(
            command,
            stdout=stdout,
            stderr=stderr,
            stdin=subprocess.DEVNULL,
            env={**os.environ, **(environment or {}), "VELORA_SERVER_ADMIN_TOKEN": admin_token},
        )
    deadline = time.monotonic() + _START_TIMEOUT_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"velora-server exited with {process.returncode}: {stderr_path.read_text()}")
        printed = _exports(stdout_path.read_text())
        if all(name in printed for name in CLIENT_SETTINGS) and _answers(printed["VELORA_API_URL"]):
            return ServerProcess(process, data_dir, stdout_path, stderr_path, printed, admin_token)
        time.sleep(0.05)
    stop_server(process)
    raise RuntimeError(f"velora-server did not start in time: {stderr_path.read_text()}")


def stop_server(process: subprocess.Popen[bytes]) -> None:
    """Ask the service to stop; kill it if it has not stopped after 15 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _exports(text: str) -> dict[str, str]:
    environment = {}
    for line in text.splitlines():
        words = shlex.split(line)
        if len(words) == 2 and words[0] == "export" and "=" in words[1]:
            name, value = words[1].split("=", 1)
            environment[name] = value
    return environment


def _answers(url: str) -> bool:
    try:
        return httpx.get(url + "/v1/health", timeout=2).status_code == 200
    except httpx.TransportError:
        return False


@contextlib.contextmanager
def running_server(
    data_dir: Path,
    token: str | None = None,
    environment: dict[str, str] | None = None,
    flags: tuple[str, ...] = (),
) -> Iterator[ServerProcess]:
    server = start_server(data_dir, token, environment, flags)
    try:
        yield server
    finally:
        stop_server(server.process)
