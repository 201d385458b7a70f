"""Who may reach what: each project's SDK token, the pipelines' workload credential, the admin token.

- "/v1/sdk/workspaces/{wid}/projects/{pid}/..." and "/webdav/project-{pid}/..." want
  `Authorization: Bearer <token of project pid>`; a token opens its own project only.
- "/v1/internal/..." wants the workload credential in the `X-Velora-Workload-Token` header
  (the SDK token is never sent there).
- "/v1/admin/..." wants `Authorization: Bearer <admin token>`; without an admin token
  configured nobody gets in.
- The health check and the API description are open: they show no data.

Checks run before any route, so a refused upload is answered before its body is read.
"""

from __future__ import annotations

import hmac
import threading
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any
from urllib.parse import unquote, urlparse

from velora._extras import needs_extra
from velora.common.corlett import WORKLOAD_TOKEN_HEADER
from velora.server.storage import MAX_NAME_BYTES, MOUNT_PATH, STAGED_DIR, conflict, project_dir_name

with needs_extra("server"):
    from starlette.responses import JSONResponse

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

SDK_PREFIX = "/v1/sdk/"
INTERNAL_PREFIX = "/v1/internal/"
ADMIN_PREFIX = "/v1/admin/"
OPEN_PATHS = frozenset({"/v1/health", "/openapi.json", "/docs", "/docs/oauth2-redirect"})
MISSING_BEARER = "Missing bearer token: send 'Authorization: Bearer <VELORA_SDK_TOKEN>'"
INVALID_BEARER = "Invalid bearer token"
MISSING_WORKLOAD = f"Missing workload credential: send '{WORKLOAD_TOKEN_HEADER}: <VELORA_WORKLOAD_TOKEN>'"
INVALID_WORKLOAD = "Invalid workload credential"
XML_METHODS = frozenset({"PROPFIND", "PROPPATCH", "LOCK"})
MAX_XML_BODY = 1024 * 1024


class Refusal(Exception):
    def __init__(self, status_code: int, message: str) -> None:
        super().__init__(message)
        self.status_code = status_code
        self.message = message


class Access:
    """The credentials the service accepts; projects may be added while it serves."""

    def __init__(self, project_tokens: dict[str, str], workload_token: str, admin_token: str | None) -> None:
        self._tokens = dict(project_tokens)
        self._lock = threading.RLock()  # add_project checks the token under the lock it holds
        self.workload_token = workload_token
        self.admin_token = admin_token

    def serves(self, project_id: str) -> bool:
        with self._lock:
            return project_id in self._tokens

    def refuse_taken(self, project_id: str, token: str) -> None:
        """Raise a conflict when `token` opens a project other than `project_id`."""
        with self._lock:
            if self._holder(token) not in (None, project_id):
                raise conflict("Each project needs a token of its own; this one opens another project")

    def add_project(self, project_id: str, token: str) -> None:
        """Open `project_id` with `token`, which no other project may hold."""
        with self._lock:
            self.refuse_taken(project_id, token)
            self._tokens[project_id] = token

    def check(self, method: str, path: str, headers: dict[str, str]) -> None:
        """Raise `Refusal` unless the request carries the credential its path wants."""
        if path in OPEN_PATHS:
            return
        if path.startswith(INTERNAL_PREFIX):
            given = headers.get(WORKLOAD_TOKEN_HEADER.lower())
            _check_secret(given, self.workload_token, MISSING_WORKLOAD, INVALID_WORKLOAD)
        elif path.startswith(ADMIN_PREFIX):
            given = _bearer(headers)
            _check_secret(given, self.admin_token, MISSING_BEARER, INVALID_BEARER)
        elif path.startswith(SDK_PREFIX):
            self._check_project(_sdk_project_id(path), _bearer(headers))
        elif path == MOUNT_PATH or path.startswith(MOUNT_PATH + "/"):
            self._check_webdav(method, path, headers)

    def _check_project(self, project_id: str | None, given: str | None) -> None:
        if given is None:
            raise Refusal(401, MISSING_BEARER)
        with self._lock:
            holder = self._holder(given)
        if holder is None:
            raise Refusal(401, INVALID_BEARER)
        if project_id is not None and holder != project_id:
            raise Refusal(403, f"This token opens project '{holder}' only: project_id={project_id!r}")

    def _check_webdav(self, method: str, path: str, headers: dict[str, str]) -> None:
        given = _bearer(headers)
        self._check_project(None, given)
        target = _webdav_project(path)
        if target is None:
            raise Refusal(403, "A token opens its own project only: use /webdav/project-<id>/")
        self._check_project(target, given)
        in_staged = (_webdav_segments(path) or [])[1:2] == [STAGED_DIR]
        destination = headers.get("destination")
        if destination is not None:
            where = _webdav_segments(_destination_path(destination)) or []
            if where[:2] != [project_dir_name(target), STAGED_DIR] or len(where) < 3:
                raise Refusal(
                    403,
                    "A copy or move lands below the root of the project's own dataset-staged: "
                    f"destination={destination!r}",
                )
            # The WebDAV layer copies within one share only; download a stored file instead.
            if not in_staged:
                raise Refusal(403, f"A copy or move starts in the project's dataset-staged: path={path!r}")
        # The WebDAV layer reads an XML body whole into memory.
        length = headers.get("content-length", "0")
        if method in XML_METHODS and not (length.isdigit() and int(length) <= MAX_XML_BODY):
            raise Refusal(413, f"A {method} body is at most {MAX_XML_BODY} bytes")
        # The library's read-only share refuses file writes only: a lock taken on a project's
        # folder there blocked every write in its dataset-staged.
        if method == "LOCK" and not in_staged:
            raise Refusal(403, f"Only the project's dataset-staged takes locks: path={path!r}")
        if method in ("DELETE", "MOVE") and _is_share_root(path):
            raise Refusal(403, f"The root of a share cannot be deleted or moved: path={path!r}")

    def _holder(self, token: str) -> str | None:
        return next((project for project, held in self._tokens.items() if _same_secret(token, held)), None)


class AccessMiddleware:
    """Answers a request without the credential its path wants, before any route sees it."""

    def __init__(self, app: ASGIApp, access: Access) -> None:
        self.app = app
        self.access = access

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            # A repeated header is joined with "," as the WebDAV layer's environ joins it, so that
            # what is checked here is what it acts on.
            headers: dict[str, str] = {}
            for name, value in scope["headers"]:
                key, text = name.decode("latin-1"), value.decode("latin-1")
                headers[key] = f"{headers[key]},{text}" if key in headers else text
            try:
                self.access.check(scope["method"], scope["path"], headers)
            except Refusal as refusal:
                extra = {"WWW-Authenticate": "Bearer"} if refusal.status_code == 401 else {}
                response = JSONResponse({"message": refusal.message}, refusal.status_code, headers=extra)
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)


def _bearer(headers: dict[str, str]) -> str | None:
    given = headers.get("authorization")
    if given is None:
        return None
    scheme, _, token = given.partition(" ")
    # A token of another scheme is no token of ours, but it was an attempt.
    return token if scheme.lower() == "bearer" else ""


def _check_secret(given: str | None, expected: str | None, missing: str, wrong: str) -> None:
    if given is None:
        raise Refusal(401, missing)
    if expected is None or not _same_secret(given, expected):
        raise Refusal(401, wrong)


def _same_secret(given: str, expected: str) -> bool:
    # `given` is a header value read as Latin-1, so these are its bytes as sent.
    return hmac.compare_digest(given.encode("latin-1"), expected.encode("utf-8"))


def _sdk_project_id(path: str) -> str | None:
    parts = path[len(SDK_PREFIX) :].split("/")
    if len(parts) >= 4 and parts[0] == "workspaces" and parts[2] == "projects":
        return parts[3]
    return None


def _destination_path(destination: str) -> str:
    """The path of a Destination header, read as the WebDAV layer reads it: unquoted first, a "#" kept."""
    try:
        return urlparse(unquote(destination), allow_fragments=False).path
    except ValueError:
        raise Refusal(400, f"Destination is not a URL: destination={destination!r}") from None


def _webdav_segments(path: str) -> list[str] | None:
    """The parts of a WebDAV path after the mount path; None for a path outside it."""
    if path != MOUNT_PATH and not path.startswith(MOUNT_PATH + "/"):
        return None
    segments = [segment for segment in path[len(MOUNT_PATH) :].split("/") if segment]
    if any(segment in (".", "..") for segment in segments):
        raise Refusal(400, f"A WebDAV path must not contain '.' or '..' segments: path={path!r}")
    # Names the file system cannot hold are refused here rather than failing inside the WebDAV layer.
    if any(
        "\0" in segment or len(segment.encode("utf-8", "surrogatepass")) > MAX_NAME_BYTES
        for segment in segments
    ):
        raise Refusal(400, f"A WebDAV name must not hold NUL or exceed {MAX_NAME_BYTES} bytes: path={path!r}")
    return segments


def _webdav_project(path: str) -> str | None:
    segments = _webdav_segments(path)
    prefix = project_dir_name("")
    if not segments or not segments[0].startswith(prefix):
        return None
    return segments[0][len(prefix) :]


def _is_share_root(path: str) -> bool:
    # /webdav/project-<id>, /webdav/project-<id>/dataset and .../dataset-staged
    return len(_webdav_segments(path) or ()) <= 2
