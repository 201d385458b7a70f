"""Real PostgreSQL and MariaDB servers for the SQL the query builders write (a pytest plugin).

Each server is started once per test session from Debian's packages in a
temporary directory, listening only on a Unix socket there, and stopped and
removed at the end. PostgreSQL refuses to run as root, so under root it runs
as the unprivileged user ``nobody``.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import pytest

# The drivers are imported where a server is used: the plugin is loaded in every
# environment of the suite, some without them.
if TYPE_CHECKING:
    import psycopg
    import pymysql

STARTUP_SECONDS = 60


def _postgresql_bin() -> Path | None:
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    return Path(candidates[-1]).parent if candidates else None


def _server_user() -> str | None:
    """The user a server runs as: nobody under root, else the current user."""
    return "nobody" if os.geteuid() == 0 else None


def _server_environment() -> dict[str, str]:
    # The servers are not ours: a sanitizer runtime preloaded for the suite stays out of them.
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def _run(command: list[str], log: Path, user: str | None = None) -> None:
    with log.open("ab") as output:
        environment = _server_environment()
        result = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, user=user, env=environment)
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({result.returncode}):\n{log.read_text(errors='replace')}")


@dataclass(frozen=True)
class PostgreSQLServer:
    socket_dir: Path

    def connect(self) -> psycopg.Connection:
        import psycopg

        return psycopg.connect(host=str(self.socket_dir), user="postgres", dbname="postgres", autocommit=True)


@dataclass(frozen=True)
class MariaDBServer:
    socket: Path

    def connect(self) -> pymysql.connections.Connection:
        import pymysql

        return pymysql.connect(unix_socket=str(self.socket), user="root", database="records", autocommit=True)


@pytest.fixture(scope="session")
def postgresql_server() -> Iterator[PostgreSQLServer]:
    bin_dir = _postgresql_bin()
    if bin_dir is None:
        pytest.skip("PostgreSQL server binaries not installed (Debian package postgresql)")
    user = _server_user()
    # Not under pytest's own temporary root, which only root may enter.
    root = Path(tempfile.mkdtemp(prefix="velora-pg-"))
    if user is not None:
        shutil.chown(root, user)
    data, log = root / "data", root / "server.log"
    pg_ctl = str(bin_dir / "pg_ctl")
    try:
        _run(
            [str(bin_dir / "initdb"), "-D", str(data), "-U", "postgres", "--auth=trust", "-E", "UTF8"]
            + ["--locale=C.UTF-8"],
            root / "initdb.log",
            user,
        )
        options = f"-c listen_addresses='' -k {root} -c fsync=off -c full_page_writes=off"
        start = [
            pg_ctl,
            "-D",
            str(data),
            "-l",
            str(log),
            "-w",
            "-t",
            str(STARTUP_SECONDS),
            "-o",
            options,
            "start",
        ]
        _run(start, root / "pg_ctl.log", user)
        yield PostgreSQLServer(root)
    finally:
        if (data / "postmaster.pid").exists():
            _run([pg_ctl, "-D", str(data), "-m", "immediate", "-w", "stop"], root / "pg_ctl.log", user)
        shutil.rmtree(root, ignore_errors=True)


def _mariadb_binaries() -> tuple[str, str] | None:
    server = shutil.which("mariadbd") or shutil.which("mariadbd", path="/usr/sbin:/usr/local/sbin")
    install = shutil.which("mariadb-install-db")
    return (server, install) if server and install else None


def _wait_for_socket(socket: Path, process: subprocess.Popen[bytes], log: Path) -> None:
    deadline = time.monotonic() + STARTUP_SECONDS
    while not socket.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"mariadbd did not start:\n{log.read_text(errors='replace')}")
        time.sleep(0.05)


@pytest.fixture(scope="session")
def mariadb_server() -> Iterator[MariaDBServer]:
    binaries = _mariadb_binaries()
    if binaries is None:
        pytest.skip("MariaDB server binaries not installed (Debian package mariadb-server)")
    server, install = binaries
    root = Path(tempfile.mkdtemp(prefix="velora-mariadb-"))
    data, socket, log = root / "data", root / "mysqld.sock", root / "server.log"
    user = ["--user=root"] if os.geteuid() == 0 else []
    process: subprocess.Popen[bytes] | None = None
    try:
        _run(
            [install, "--no-defaults", f"--datadir={data}", "--auth-root-authentication-method=normal"]
            + ["--skip-test-db", *user],
            root / "install.log",
        )
        with log.open("ab") as output:
            process = subprocess.Popen(
                [server, "--no-defaults", f"--datadir={data}", f"--socket={socket}", "--skip-networking"]
                + [f"--pid-file={root / 'mysqld.pid'}", "--innodb-buffer-pool-size=16M", *user],
                stdout=output,
                stderr=subprocess.STDOUT,
                env=_server_environment(),
            )
        _wait_for_socket(socket, process, log)
        import pymysql

        with pymysql.connect(unix_socket=str(socket), user="root", autocommit=True) as connection:
            connection.cursor().execute("CREATE DATABASE records CHARACTER SET utf8mb4")
        yield MariaDBServer(socket)
    finally:
        if process is not None:
            process.terminate()
            try:
                process.wait(timeout=STARTUP_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(root, ignore_errors=True)
