"""`velora-server`: run the local platform service.

On start it prints, as `export NAME=value` lines on standard output, the
settings a client of its first project needs to talk to it; logs go to standard
error. Everything it writes under its data directory is its user's alone.
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

import velora
from velora._extras import MissingExtraError, needs_extra
from velora.server.storage import (
    DEFAULT_UPLOAD_EXPIRY_SECONDS,
    MOUNT_PATH,
    DataDirectoryInUse,
    ServiceError,
    check_project_id,
    project_dir_name,
)

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8400
GRACEFUL_STOP_SECONDS = 10


def default_data_dir() -> Path:
    base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base) / "velora-server"


EPILOG = """\
projects and credentials:
  Each project has an SDK token of its own, which opens that project only, over REST
  and WebDAV. --project-id and --token name the first project, whose settings are
  printed; add more with --project, once per project, for example
    velora-server --token tok-a --project 2=tok-b --project 3=tok-c
  serves projects 1, 2 and 3, each opened by its own token. The internal paths
  (/v1/internal/...) take no SDK token but the workload credential of pipeline runs,
  sent in the X-Velora-Workload-Token header (printed as VELORA_WORKLOAD_TOKEN).
  With --admin-token, PUT /v1/admin/projects/<id> with {"token": ...} opens a further
  project while the service runs.
"""


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="velora-server",
        description="Local velora platform service: dataset REST paths and dataset storage over WebDAV.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {velora.__version__}")
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
        help="SDK token of the first project (default $VELORA_SERVER_TOKEN, else a random one)",
    )
    parser.add_argument("--workspace-id", default="1", help="workspace of every project")
    parser.add_argument("--project-id", default="1", help="first project, printed on start (made if missing)")
    parser.add_argument(
        "--project",
        action="append",
        default=[],
        metavar="ID=TOKEN",
        type=_project_and_token,
        help="a further project and its own SDK token (made if missing); repeat for more",
    )
    parser.add_argument(
        "--workload-token",
        default=None,
        help="workload credential of the internal paths "
        "(default $VELORA_SERVER_WORKLOAD_TOKEN, else a random one)",
    )
    parser.add_argument(
        "--admin-token",
        default=None,
        help="bearer token of /v1/admin/ (default $VELORA_SERVER_ADMIN_TOKEN, else those paths are closed)",
    )
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
        "failed, and how long a body or a WebDAV answer may stall before it is dropped "
        f"(default $VELORA_SERVER_UPLOAD_EXPIRY, else {DEFAULT_UPLOAD_EXPIRY_SECONDS:g})",
    )
    args = parser.parse_args(argv)
    try:
        check_project_id(args.project_id)
    except ServiceError as exc:
        parser.error(exc.message)
    if not 1 <= len(args.workspace_id) <= 64 or "/" in args.workspace_id:
        parser.error(
            f"--workspace-id must be 1 to 64 characters without '/': workspace_id={args.workspace_id!r}"
        )
    if not 0 <= args.port <= 65535:
        parser.error(f"--port must be between 0 and 65535: port={args.port}")
    if not 0 < args.upload_expiry < float("inf"):
        parser.error(
            f"--upload-expiry must be a positive number of seconds: upload_expiry={args.upload_expiry}"
        )
    ids = [args.project_id] + [project_id for project_id, _ in args.project]
    if len(set(ids)) != len(ids):
        parser.error(f"each project is named once, by --project-id or one --project: projects={ids}")
    if len({token for _, token in args.project}) != len(args.project):
        parser.error("each project needs a token of its own: two --project flags share one")
    return args


def _project_and_token(text: str) -> tuple[str, str]:
    project_id, equals, token = text.partition("=")
    if not equals or not token:
        raise argparse.ArgumentTypeError(f"expected ID=TOKEN: {text!r}")
    try:
        return check_project_id(project_id), token
    except ServiceError as exc:
        raise argparse.ArgumentTypeError(exc.message) from None


def client_environment(
    base_url: str, token: str, workspace_id: str, project_id: str, workload_token: str
) -> dict[str, str]:
    """The settings a client of this service needs, by name."""
    return {
        "VELORA_API_URL": base_url,
        "VELORA_SDK_TOKEN": token,
        "VELORA_WORKLOAD_TOKEN": workload_token,
        "VELORA_WORKSPACE_ID": workspace_id,
        "VELORA_PROJECT_ID": project_id,
        "VELORA_WEBDAV_URL": base_url + MOUNT_PATH,
        "VELORA_PROJECT_DIR": project_dir_name(project_id),
        "VELORA_WORKLOAD_TYPE": "dev_instance",
    }


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    # Imported only now: a mistyped flag is reported without loading the web stack.
    try:
        with needs_extra("server"):
            import uvicorn

            from velora.server.app import ServerConfig, create_app
    except MissingExtraError as exc:
        sys.exit(f"velora-server: {exc}")

    token = args.token or os.environ.get("VELORA_SERVER_TOKEN") or secrets.token_urlsafe(24)
    workload_token = (
        args.workload_token or os.environ.get("VELORA_SERVER_WORKLOAD_TOKEN") or secrets.token_urlsafe(24)
    )
    admin_token = args.admin_token or os.environ.get("VELORA_SERVER_ADMIN_TOKEN") or None
    if token in (other for _, other in args.project):
        sys.exit(f"velora-server: each project needs a token of its own; {args.project_id}'s is taken")
    # Binding here, before uvicorn starts, makes --port 0 work and lets the
    # printed address be the real one; early clients wait in the backlog. It
    # comes first, so that a busy port leaves no data directory behind.
    try:
        listener = socket.create_server((args.host, args.port), family=_family(args.host))
    except OSError as exc:
        sys.exit(f"velora-server: cannot listen on {args.host}:{args.port}: {_reason(exc)}")
    data_dir = (args.data_dir or default_data_dir()).resolve()
    try:
        make_private(data_dir)
    except OSError as exc:
        sys.exit(f"velora-server: cannot use the data directory {data_dir}: {_reason(exc)}")
    config = ServerConfig(
        data_dir,
        token,
        args.workspace_id,
        args.project_id,
        workload_token=workload_token,
        admin_token=admin_token,
        more_projects=dict(args.project),
        upload_expiry_seconds=args.upload_expiry,
    )
    try:
        app = create_app(config)
    except ServiceError as exc:
        sys.exit(f"velora-server: {exc.message}")
    except DataDirectoryInUse as exc:
        sys.exit(f"velora-server: {exc}")

    port = listener.getsockname()[1]
    environment = client_environment(
        _base_url(args.host, port), token, args.workspace_id, args.project_id, workload_token
    )
    for name, value in environment.items():
        print(f"export {name}={shlex.quote(value)}")
    sys.stdout.flush()
    print(f"velora-server: data directory {data_dir}", file=sys.stderr, flush=True)

    server = uvicorn.Server(
        uvicorn.Config(
            app,
            log_level=args.log_level,
            lifespan="off",
            log_config=_log_config(),
            # A stop waits this long for requests in flight (a stalled upload would hold it).
            timeout_graceful_shutdown=GRACEFUL_STOP_SECONDS,
        )
    )
    server.run(sockets=[listener])


def make_private(data_dir: Path) -> None:
    """Make the data directory its user's alone: directories 0700, files 0600, now and later."""
    # Everything the service makes from here on, WebDAV writes included, gets these modes.
    os.umask(0o077)
    data_dir.mkdir(parents=True, exist_ok=True)
    data_dir.chmod(0o700)
    # What an earlier run left behind with wider modes is narrowed (links are not followed out).
    for root, directories, files in os.walk(data_dir):
        for names, mode in ((directories, 0o700), (files, 0o600)):
            for path in (os.path.join(root, name) for name in names):
                if not os.path.islink(path):
                    os.chmod(path, mode)


def _log_config() -> dict[str, Any]:
    # Standard output carries only the export lines; every log line goes to standard error.
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    for handler in config["handlers"].values():
        handler["stream"] = "ext://sys.stderr"
    return config


def _reason(exc: OSError) -> str:
    # The error's own name: a socket error's text repeats the address the message already gives.
    return os.strerror(exc.errno) if exc.errno else str(exc)


def _family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _base_url(host: str, port: int) -> str:
    shown = {"0.0.0.0": "127.0.0.1", "::": "::1", "": "127.0.0.1"}.get(host, host)
    if ":" in shown:
        shown = f"[{shown}]"
    return f"http://{shown}:{port}"
