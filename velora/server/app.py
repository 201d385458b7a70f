"""The local platform service: the dataset REST paths and the dataset storage over WebDAV.

Answers follow what the SDK reads: creating a data snapshot, a version or an
SDK upload answers with the record itself; the by-name and detail lookups answer
{"data_snapshot": record}, with null when there is no such data snapshot (so the
SDK can tell "does not exist" from a failure); the list answers
{"data_snapshots": [...]}; the internal upload answers {"data_snapshot": record}.
Every refusal is a JSON body {"message": "..."}.
"""

from __future__ import annotations

import base64
import binascii
import logging
import secrets
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from pathlib import Path
from typing import Annotated, Any

from a2wsgi import WSGIMiddleware
from fastapi import APIRouter, Depends, FastAPI, File, Form, Header, Request, Response, UploadFile
from fastapi.exceptions import RequestValidationError
from fastapi.responses import FileResponse, JSONResponse
from pydantic import BaseModel, Field
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.requests import ClientDisconnect

from velora.server import snippets
from velora.server.storage import (
    Project,
    ServiceError,
    Store,
    check_entry_name,
    invalid,
    not_found,
    snapshot_versions,
    version_file,
)
from velora.server.webdav import MOUNT_PATH, create_dav_app

SDK_PREFIX = "/v1/sdk/"
SDK_SNAPSHOTS = "/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots"
INTERNAL_SNAPSHOTS = "/v1/internal/workspaces/projects/{pid}/data-snapshots"
RECEIVE_BATCH_BYTES = 1024 * 1024

_log = logging.getLogger("velora.server")

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]


@dataclass(frozen=True)
class ServerConfig:
    data_dir: Path
    token: str
    workspace_id: str = "1"
    project_id: str = "1"


class CreateSnapshotBody(BaseModel):
    name: str
    description: str | None = None
    exist_ok: bool = False


class CreateVersionBody(BaseModel):
    description: str | None = None


class UploadMetadataBody(BaseModel):
    description: str | None = None
    file_count: int = Field(default=1, ge=1)


class BearerTokenMiddleware:
    """Refuses requests to the SDK paths and to WebDAV without the service's bearer token.

    It runs before any route, so a refused upload is answered before its body is read.
    """

    def __init__(self, app: ASGIApp, token: str) -> None:
        self.app = app
        self._expected = f"Bearer {token}".encode()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and _needs_token(scope["path"]):
            problem = self._problem(scope)
            if problem is not None:
                response = JSONResponse(
                    {"message": problem}, status_code=401, headers={"WWW-Authenticate": "Bearer"}
                )
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def _problem(self, scope: Scope) -> str | None:
        given = next((value for name, value in scope["headers"] if name == b"authorization"), None)
        if given is None:
            return "Missing bearer token: send 'Authorization: Bearer <VELORA_SDK_TOKEN>'"
        if not secrets.compare_digest(given, self._expected):
            return "Invalid bearer token"
        return None


class InternalErrorMiddleware:
    """Answers an unexpected failure as a JSON 500 with its message, and logs it.

    Starlette's own last-resort handler re-raises after answering, which makes the
    server drop the connection; this one ends the request cleanly.
    """

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = False

        async def tracking_send(message: MutableMapping[str, Any]) -> None:
            nonlocal started
            started = started or message["type"] == "http.response.start"
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        except Exception as exc:
            _log.exception("%s %s failed", scope["method"], scope["path"])
            if started:
                raise
            response = JSONResponse(
                {"message": f"Internal server error: {type(exc).__name__}: {exc}"}, status_code=500
            )
            await response(scope, receive, send)


def _needs_token(path: str) -> bool:
    return path.startswith(SDK_PREFIX) or path == MOUNT_PATH or path.startswith(MOUNT_PATH + "/")


def create_app(config: ServerConfig) -> ASGIApp:
    store = Store(config.data_dir)
    store.project(config.project_id, config.workspace_id)
    dav = create_dav_app(store.storage_dir, store.projects())
    store.on_new_project = lambda project: dav.add_staged_share(project, store.storage_dir)

    app = FastAPI(title="velora-server", docs_url="/docs", redoc_url=None)
    app.state.store = store
    app.state.config = config
    app.include_router(_sdk_router())
    app.include_router(_internal_router())
    app.include_router(_read_router(SDK_SNAPSHOTS, Depends(_sdk_project)))
    app.include_router(_read_router(INTERNAL_SNAPSHOTS, Depends(_internal_project)))
    app.add_api_route("/v1/health", _health, methods=["GET"])
    app.mount(MOUNT_PATH, WSGIMiddleware(dav))  # type: ignore[arg-type]
    _install_error_handlers(app)
    app.add_middleware(InternalErrorMiddleware)
    return BearerTokenMiddleware(app, config.token)


async def _health() -> dict[str, str]:
    return {"status": "ok"}


def _store(request: Request) -> Store:
    return request.app.state.store  # type: ignore[no-any-return]


StoreDep = Annotated[Store, Depends(_store)]


def _sdk_project(wid: str, pid: str, store: StoreDep) -> Project:
    return store.project(pid, wid)


def _internal_project(pid: str, store: StoreDep) -> Project:
    return store.project(pid)


SdkProject = Annotated[Project, Depends(_sdk_project)]
InternalProject = Annotated[Project, Depends(_internal_project)]


def _sdk_router() -> APIRouter:
    router = APIRouter(prefix=SDK_SNAPSHOTS)

    @router.post("")
    def create_snapshot(
        body: CreateSnapshotBody, project: SdkProject, store: StoreDep, response: Response
    ) -> dict[str, Any]:
        record, created = store.create_snapshot(project, body.name, body.description, body.exist_ok)
        response.status_code = 201 if created else 200
        return record

    @router.get("")
    def list_snapshots(
        project: SdkProject, store: StoreDep, page: int = 1, page_size: int = 1000
    ) -> dict[str, Any]:
        records, total = store.snapshots(project, page, page_size)
        return {"data_snapshots": records, "page": page, "page_size": page_size, "total": total}

    @router.get("/name")
    def snapshot_by_name(name: str, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        return {"data_snapshot": store.snapshot_by_name(project, name)}

    @router.get("/tabular/code-snippet")
    def upload_snippet(name: str, data: str, file_type: str) -> dict[str, Any]:
        check_entry_name("Name", name)
        try:
            return {"code_snippet": snippets.upload_snippet(name, data, file_type)}
        except snippets.SnippetError as exc:
            raise invalid(str(exc)) from None

    @router.get("/{did}")
    def snapshot_detail(did: int, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        return {"data_snapshot": store.snapshot(project, did)}

    @router.post("/{did}/versions", status_code=201)
    def create_version(
        did: int, project: SdkProject, store: StoreDep, body: CreateVersionBody | None = None
    ) -> dict[str, Any]:
        return store.create_version(project, did, body.description if body else None)

    @router.get("/{did}/versions/{vid}/code-snippet")
    def import_snippet(did: int, vid: int, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        version, name = store.version(project, did, vid)
        return {"code_snippet": snippets.import_snippet(did, name, version)}

    @router.post("/{did}/upload-metadata", status_code=201)
    def upload_metadata(
        did: int, project: SdkProject, store: StoreDep, body: UploadMetadataBody | None = None
    ) -> dict[str, Any]:
        body = body or UploadMetadataBody()
        return store.create_version(project, did, body.description, file_count=body.file_count)

    @router.post("/{did}/upload", status_code=201)
    async def upload(
        did: int,
        request: Request,
        project: SdkProject,
        store: StoreDep,
        filename_header: Annotated[str | None, Header(alias="Filename")] = None,
    ) -> Any:
        filename = _decode_filename(filename_header)
        if await run_in_threadpool(store.snapshot, project, did) is None:
            raise not_found(f"Data snapshot {did} not found in project '{project.id}'")
        try:
            received = await _receive_body(request, store)
        except ClientDisconnect:
            # Nobody is left to answer; the partial file is already gone.
            return Response(status_code=400)
        snapshot, version = await run_in_threadpool(store.store_upload, project, did, filename, received)
        return {**snapshot, "uploaded_version": version}

    return router


def _internal_router() -> APIRouter:
    router = APIRouter(prefix=INTERNAL_SNAPSHOTS)

    @router.post("")
    def create_snapshot(
        project: InternalProject,
        store: StoreDep,
        response: Response,
        name: Annotated[str, Form()],
        user_id: Annotated[str | None, Form()] = None,
        description: Annotated[str | None, Form()] = None,
        exist_ok: Annotated[bool, Form()] = False,
    ) -> dict[str, Any]:
        record, created = store.create_snapshot(project, name, description, exist_ok, created_by=user_id)
        response.status_code = 201 if created else 200
        return record

    @router.get("/name")
    def snapshot_by_name(
        name: str, project: InternalProject, store: StoreDep, user_id: str | None = None
    ) -> dict[str, Any]:
        # user_id names the caller; this service keeps no per-user access rules.
        return {"data_snapshot": store.snapshot_by_name(project, name)}

    @router.post("/{did}/versions", status_code=201)
    def create_version(
        did: int,
        project: InternalProject,
        store: StoreDep,
        user_id: Annotated[str | None, Form()] = None,
        description: Annotated[str | None, Form()] = None,
        argo_workflow_run_id: Annotated[str | None, Form()] = None,
    ) -> dict[str, Any]:
        return store.create_version(
            project, did, description, created_by=user_id, argo_workflow_run_id=argo_workflow_run_id
        )

    @router.post("/sdk", status_code=201)
    def upload(
        project: InternalProject,
        store: StoreDep,
        name: Annotated[str, Form()],
        file: Annotated[UploadFile, File()],
        user_id: Annotated[str | None, Form()] = None,
        description: Annotated[str | None, Form()] = None,
        argo_workflow_run_id: Annotated[str | None, Form()] = None,
    ) -> dict[str, Any]:
        if not file.filename:
            raise invalid("The multipart part 'file' has no file name")
        received = store.receive_stream(file.file)
        snapshot, version = store.store_new_version_upload(
            project,
            name,
            description,
            file.filename,
            received,
            created_by=user_id,
            argo_workflow_run_id=argo_workflow_run_id,
        )
        return {"data_snapshot": {**snapshot, "uploaded_version": version}}

    return router


def _decode_filename(header: str | None) -> str:
    """The file name the SDK sends as standard padded Base64 of its UTF-8 bytes."""
    if header is None:
        raise invalid("Missing Filename header (Base64 of the file name's UTF-8 bytes)")
    try:
        filename = base64.b64decode(header, validate=True).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        raise invalid(f"Filename header is not Base64 of a UTF-8 file name: Filename={header!r}") from None
    return check_entry_name("Filename", filename)


async def _receive_body(request: Request, store: Store) -> Any:
    # Chunks are batched so the thread hop per write stays cheap.
    writer = await run_in_threadpool(store.start_receiving)
    try:
        batch: list[bytes] = []
        pending = 0
        async for chunk in request.stream():
            batch.append(chunk)
            pending += len(chunk)
            if pending >= RECEIVE_BATCH_BYTES:
                await run_in_threadpool(writer.write, b"".join(batch))
                batch, pending = [], 0
        if batch:
            await run_in_threadpool(writer.write, b"".join(batch))
        return await run_in_threadpool(writer.finish)
    except BaseException:
        writer.discard()
        raise


def _install_error_handlers(app: FastAPI) -> None:
    @app.exception_handler(ServiceError)
    async def service_error(_: Request, exc: ServiceError) -> JSONResponse:
        return JSONResponse({"message": exc.message}, status_code=exc.status_code)

    @app.exception_handler(StarletteHTTPException)
    async def http_error(_: Request, exc: StarletteHTTPException) -> JSONResponse:
        return JSONResponse({"message": str(exc.detail)}, status_code=exc.status_code, headers=exc.headers)

    @app.exception_handler(RequestValidationError)
    async def validation_error(_: Request, exc: RequestValidationError) -> JSONResponse:
        errors = [
            {"loc": list(error["loc"]), "msg": error["msg"], "type": error["type"]} for error in exc.errors()
        ]
        summary = "; ".join(
            f"{'.'.join(str(part) for part in error['loc'])}: {error['msg']}" for error in errors
        )
        return JSONResponse({"message": f"Invalid request: {summary}", "errors": errors}, status_code=422)


class _FileStream(FileResponse):
    # Reads of 1 MiB rather than 64 KiB: fewer thread hops per gigabyte sent.
    chunk_size = RECEIVE_BATCH_BYTES


def _read_router(prefix: str, project_of: Any) -> APIRouter:
    """The read paths both families share: a data snapshot's versions and a stored file, streamed.

    `project_of` is the family's project dependency (`Depends(...)`).
    """
    router = APIRouter(prefix=prefix)

    @router.get("/{did}/versions")
    def versions(did: int, store: StoreDep, project: Project = project_of) -> dict[str, Any]:
        return {"data_snapshot_versions": snapshot_versions(store, project, did)}

    @router.get("/{did}/versions/{vid}/download", response_class=FileResponse)
    def download(
        did: int, vid: int, filename: str, store: StoreDep, project: Project = project_of
    ) -> FileResponse:
        path = version_file(store, project, did, vid, filename)
        return _FileStream(path, media_type="application/octet-stream", filename=filename)

    return router
