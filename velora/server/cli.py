"""`velora-server`: run the local platform service.

On start it prints, as `export NAME=value` lines on standard output, the
settings a client needs to talk to it; logs go to standard error.
"""

from __future__ import annotations

import argparse
import copy
import os
import secrets
import shlex
import socket
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from velora.server.storage import (
    DEFAULT_UPLOAD_EXPIRY_SECONDS,
    DataDirectoryInUse,
    ServiceError,
    check_project_id,
    project_dir_name,
)
from velora.server.webdav import MOUNT_PATH

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8400


def default_data_dir() -> Path:
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base) / "velora-server"


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="velora-server",
        description="Local velora platform service: dataset REST paths and dataset storage over WebDAV.",
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument(
        "--port",
        type=int,
        default=DEFAULT_PORT,
        help=f"port to listen on, 0 for any free one (default {DEFAULT_PORT})",
    )
    parser.add_argument(
        "--data-dir",
        type=Path,
        default=None,
        help="directory of the records and stored files (default $XDG_DATA_HOME/velora-server)",
    )
    parser.add_argument(
        "--token",
        default=None,
        help="bearer token of the SDK paths and WebDAV (default $VELORA_SERVER_TOKEN, else a random one)",
    )
    parser.add_argument("--workspace-id", default="1", help="workspace of the project printed on start")
    parser.add_argument("--project-id", default="1", help="project printed on start (made if missing)")
    parser.add_argument(
        "--log-level", default="info", choices=["critical", "error", "warning", "info", "debug"]
    )
    parser.add_argument(
        "--upload-expiry",
        type=float,
        # A string default goes through `type` too, so a bad variable is reported like a bad flag.
        default=os.environ.get("VELORA_SERVER_UPLOAD_EXPIRY", str(DEFAULT_UPLOAD_EXPIRY_SECONDS)),
        metavar="SECONDS",
        help="how long a version opened by upload-metadata waits for its upload before it is marked "
        f"failed (default $VELORA_SERVER_UPLOAD_EXPIRY, else {DEFAULT_UPLOAD_EXPIRY_SECONDS:g})",
    )
    args = parser.parse_args(argv)
    try:
        check_project_id(args.project_id)
    except ServiceError as exc:
        parser.error(exc.message)
    if not 0 <= args.port <= 65535:
        parser.error(f"--port must be between 0 and 65535: port={args.port}")
    if not 0 < args.upload_expiry < float("inf"):
        parser.error(
            f"--upload-expiry must be a positive number of seconds: upload_expiry={args.upload_expiry}"
        )
    return args


def client_environment(base_url: str, token: str, workspace_id: str, project_id: str) -> dict[str, str]:
    """The settings a client of this service needs, by name."""
    return {
        "VELORA_API_URL": base_url,
        "VELORA_SDK_TOKEN": token,
        "VELORA_WORKSPACE_ID": workspace_id,
        "VELORA_PROJECT_ID": project_id,
        "VELORA_WEBDAV_URL": base_url + MOUNT_PATH,
        "VELORA_PROJECT_DIR": project_dir_name(project_id),
        "VELORA_WORKLOAD_TYPE": "dev_instance",
    }


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    # Imported only now: a mistyped flag is reported without loading the web stack.
    import uvicorn

    from velora.server.app import ServerConfig, create_app

    token = args.token or os.environ.get("VELORA_SERVER_TOKEN") or secrets.token_urlsafe(24)
    data_dir = (args.data_dir or default_data_dir()).resolve()
    data_dir.mkdir(parents=True, exist_ok=True)
    try:
        app = create_app(
            ServerConfig(
                data_dir, token, args.workspace_id, args.project_id, upload_expiry_seconds=args.upload_expiry
            )
        )
    except DataDirectoryInUse as exc:
        sys.exit(f"velora-server: {exc}")

    # Binding here, before uvicorn starts, makes --port 0 work and lets the
    # printed address be the real one; early clients wait in the backlog.
    listener = socket.create_server((args.host, args.port), family=_family(args.host))
    port = listener.getsockname()[1]
    environment = client_environment(_base_url(args.host, port), token, args.workspace_id, args.project_id)
    for name, value in environment.items():
        print(f"export {name}={shlex.quote(value)}")
    sys.stdout.flush()
    print(f"velora-server: data directory {data_dir}", file=sys.stderr, flush=True)

    server = uvicorn.Server(
        uvicorn.Config(app, log_level=args.log_level, lifespan="off", log_config=_log_config())
    )
    server.run(sockets=[listener])


def _log_config() -> dict[str, Any]:
    # Standard output carries only the export lines; every log line goes to standard error.
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    for handler in config["handlers"].values():
        handler["stream"] = "ext://sys.stderr"
    return config


def _family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _base_url(host: str, port: int) -> str:
    shown = {"0.0.0.0": "127.0.0.1", "::": "::1", "": "127.0.0.1"}.get(host, host)
    if ":" in shown:
        shown = f"[{shown}]"
    return f"http://{shown}:{port}"
