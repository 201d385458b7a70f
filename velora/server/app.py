"""The local platform service: the dataset REST paths and the dataset storage over WebDAV.

Answers follow what the SDK reads: creating a data snapshot, a version or an
SDK upload answers with the record itself; the by-name and detail lookups answer
{"data_snapshot": record}, with null when there is no such data snapshot (so the
SDK can tell "does not exist" from a failure); the list answers
{"data_snapshots": [...]}; the internal upload answers {"data_snapshot": record}.
An upload's record has as `latest_version` (and `uploaded_version`) the version
that holds the uploaded file, even when another call has made a later one since.
Every refusal is a JSON body {"message": "..."}; who may reach which path is in
`velora.server.auth`.
"""

from __future__ import annotations

import asyncio
import base64
import logging
import secrets
from collections.abc import AsyncIterator, MutableMapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Annotated, Any

from pydantic import AfterValidator, BaseModel, Field

from velora._extras import needs_extra
from velora.common.corlett import WORKLOAD_TOKEN_HEADER
from velora.server import snippets
from velora.server.auth import Access, AccessMiddleware, ASGIApp, Receive, Scope, Send
from velora.server.storage import (
    DEFAULT_UPLOAD_EXPIRY_SECONDS,
    MAX_PAGE_SIZE,
    MOUNT_PATH,
    PAIRING_HEADER,
    PROJECT_ID_PATTERN,
    DatasetStore,
    Project,
    ServiceError,
    Store,
    check_entry_name,
    invalid,
    not_found,
)
from velora.server.webdav import DavGuard, create_dav_app

with needs_extra("server"):
    from a2wsgi import WSGIMiddleware
    from fastapi import (
        APIRouter,
        Depends,
        FastAPI,
        File,
        Form,
        Header,
        Query,
        Request,
        Response,
        Security,
        UploadFile,
    )
    from fastapi import Path as PathParam
    from fastapi.exceptions import RequestValidationError
    from fastapi.responses import FileResponse, JSONResponse
    from fastapi.security import APIKeyHeader, HTTPBearer
    from starlette.concurrency import run_in_threadpool
    from starlette.exceptions import HTTPException as StarletteHTTPException
    from starlette.requests import ClientDisconnect

SDK_SNAPSHOTS = "/v1/sdk/workspaces/{wid}/projects/{pid}/data-snapshots"
INTERNAL_SNAPSHOTS = "/v1/internal/workspaces/projects/{pid}/data-snapshots"
RECEIVE_BATCH_BYTES = 1024 * 1024
DAV_WORKERS = 64
# Of which one project's requests hold at most this many; rclone's defaults use 12.
PROJECT_DAV_WORKERS = 16
# Records are numbered by SQLite, whose integers are signed 64-bit.
MAX_RECORD_ID = 2**63 - 1
MAX_PAGE = 10**9

_log = logging.getLogger("velora.server")


@dataclass(frozen=True)
class ServerConfig:
    """`token` opens `project_id`; each of `more_projects` (project id -> token) opens its own.

    All projects are in `workspace_id`. `admin_token` opens "/v1/admin/" (closed when None).
    """

    data_dir: Path
    token: str
    workspace_id: str = "1"
    project_id: str = "1"
    upload_expiry_seconds: float = DEFAULT_UPLOAD_EXPIRY_SECONDS
    workload_token: str = field(default_factory=lambda: secrets.token_urlsafe(24))
    admin_token: str | None = None
    more_projects: dict[str, str] = field(default_factory=dict)

    @property
    def project_tokens(self) -> dict[str, str]:
        return {self.project_id: self.token, **self.more_projects}


def _unicode_text(text: str) -> str:
    # JSON may carry a lone surrogate ("\ud800"), which no file system or database takes.
    if any("\ud800" <= char <= "\udfff" for char in text):
        raise ValueError("text must not contain lone surrogates")
    return text


Text = Annotated[str, AfterValidator(_unicode_text)]
ProjectId = Annotated[
    str, PathParam(pattern=PROJECT_ID_PATTERN, description="1 to 64 lower-case letters, digits, '-' or '_'")
]
WorkspaceId = Annotated[str, PathParam(min_length=1, max_length=64)]
RecordId = Annotated[int, PathParam(ge=1, le=MAX_RECORD_ID)]
Page = Annotated[int, Query(ge=1, le=MAX_PAGE)]
PageSize = Annotated[int, Query(ge=1, le=MAX_PAGE_SIZE)]


class Message(BaseModel):
    """Every refusal: what was wrong, in words."""

    message: str


# What any path may answer besides its success; each answer is {"message": ...}.
REFUSALS: dict[int | str, dict[str, Any]] = {
    400: {"model": Message, "description": "Malformed request"},
    401: {"model": Message, "description": "Missing or wrong credential"},
    403: {"model": Message, "description": "The credential does not open this project"},
    404: {"model": Message, "description": "No such project, data snapshot or version"},
    409: {"model": Message, "description": "Conflicts with what is stored"},
    422: {"model": Message, "description": "Invalid field, parameter or name"},
}


# Checked before any route (see `velora.server.auth`); declared here so the API description names them.
SDK_TOKEN = Security(HTTPBearer(auto_error=False, scheme_name="SdkToken"))
WORKLOAD_CREDENTIAL = Security(
    APIKeyHeader(name=WORKLOAD_TOKEN_HEADER, auto_error=False, scheme_name="WorkloadCredential")
)
ADMIN_TOKEN = Security(HTTPBearer(auto_error=False, scheme_name="AdminToken"))
EXISTING: dict[int | str, dict[str, Any]] = {200: {"description": "The existing data snapshot (exist_ok)"}}
RAW_BODY = {
    "required": True,
    "content": {"application/octet-stream": {"schema": {"type": "string", "format": "binary"}}},
}


class CreateSnapshotBody(BaseModel):
    name: Text
    description: Text | None = None
    exist_ok: bool = False


class CreateVersionBody(BaseModel):
    description: Text | None = None


class UploadMetadataBody(BaseModel):
    description: Text | None = None
    file_count: int = Field(default=1, ge=1, le=MAX_RECORD_ID)


class ProjectBody(BaseModel):
    token: Annotated[str, Field(min_length=16, max_length=256, pattern=r"^[\x21-\x7e]+$")]


class InternalErrorMiddleware:
    """Answers an unexpected failure as a JSON 500, and logs it; the answer shows no internals.

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
        except Exception:
            _log.exception("%s %s failed", scope["method"], scope["path"])
            if started:
                raise
            response = JSONResponse(
                {"message": "Internal server error; the service's log has the details"}, status_code=500
            )
            await response(scope, receive, send)


def create_app(config: ServerConfig) -> ASGIApp:
    store = Store(config.data_dir, upload_expiry_seconds=config.upload_expiry_seconds)
    access = Access(config.project_tokens, config.workload_token, config.admin_token)
    # Only the projects the service is told of exist; no request ever makes one as a side effect.
    for project_id in config.project_tokens:
        store.project(project_id, config.workspace_id)
    dav = create_dav_app(store.storage_dir, store.projects(), store.tmp_dir)
    store.on_new_project = lambda project: dav.add_staged_share(project, store.storage_dir)

    app = FastAPI(title="velora-server", docs_url="/docs", redoc_url=None)
    app.state.store = store
    app.state.config = config
    app.state.access = access
    app.include_router(_sdk_router())
    app.include_router(_internal_router())
    app.include_router(_read_router(SDK_SNAPSHOTS, SDK_TOKEN, Depends(_sdk_project)))
    app.include_router(_read_router(INTERNAL_SNAPSHOTS, WORKLOAD_CREDENTIAL, Depends(_internal_project)))
    app.include_router(_admin_router())
    app.add_api_route("/v1/health", _health, methods=["GET"])
    # Each WebDAV request holds a thread of this pool while its body or answer moves; the
    # default of 10 let a few slow transfers stall the share for every project.
    guarded = DavGuard(
        WSGIMiddleware(dav, workers=DAV_WORKERS),
        per_project=PROJECT_DAV_WORKERS,
        stall_seconds=config.upload_expiry_seconds,
    )
    app.mount(MOUNT_PATH, guarded)
    _install_error_handlers(app)
    app.add_middleware(InternalErrorMiddleware)
    return AccessMiddleware(app, access)


async def _health() -> dict[str, str]:
    return {"status": "ok"}


def _store(request: Request) -> DatasetStore:
    return request.app.state.store  # type: ignore[no-any-return]


StoreDep = Annotated[DatasetStore, Depends(_store)]
PairingKey = Annotated[str | None, Header(alias=PAIRING_HEADER)]


def _access(request: Request) -> Access:
    return request.app.state.access  # type: ignore[no-any-return]


def _sdk_project(wid: WorkspaceId, pid: ProjectId, store: StoreDep) -> Project:
    project = store.find_project(pid)
    if project is None or project.workspace_id != wid:
        raise not_found(f"Project '{pid}' not found in workspace '{wid}'")
    return project


def _internal_project(
    pid: ProjectId, store: StoreDep, access: Annotated[Access, Depends(_access)]
) -> Project:
    project = store.find_project(pid) if access.serves(pid) else None
    if project is None:
        raise not_found(f"Project '{pid}' not found")
    return project


SdkProject = Annotated[Project, Depends(_sdk_project)]
InternalProject = Annotated[Project, Depends(_internal_project)]


def _sdk_router() -> APIRouter:
    router = APIRouter(prefix=SDK_SNAPSHOTS, responses=REFUSALS, dependencies=[SDK_TOKEN])

    @router.post("", status_code=201, responses=EXISTING)
    def create_snapshot(
        body: CreateSnapshotBody, project: SdkProject, store: StoreDep, response: Response
    ) -> dict[str, Any]:
        record, created = store.create_snapshot(project, body.name, body.description, body.exist_ok)
        response.status_code = 201 if created else 200
        return record

    @router.get("")
    def list_snapshots(
        project: SdkProject, store: StoreDep, page: Page = 1, page_size: PageSize = MAX_PAGE_SIZE
    ) -> dict[str, Any]:
        records, total = store.snapshots(project, page, page_size)
        return {"data_snapshots": records, "page": page, "page_size": page_size, "total": total}

    @router.get("/name")
    def snapshot_by_name(name: str, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        return {"data_snapshot": store.snapshot_by_name(project, name)}

    @router.get("/tabular/code-snippet", dependencies=[Depends(_sdk_project)])
    def upload_snippet(name: str, data: str, file_type: str) -> dict[str, Any]:
        name = check_entry_name("Name", name)
        try:
            return {"code_snippet": snippets.upload_snippet(name, data, file_type)}
        except snippets.SnippetError as exc:
            raise invalid(str(exc)) from None

    @router.get("/{did}")
    def snapshot_detail(did: RecordId, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        return {"data_snapshot": store.snapshot(project, did)}

    @router.post("/{did}/versions", status_code=201)
    def create_version(
        did: RecordId, project: SdkProject, store: StoreDep, body: CreateVersionBody | None = None
    ) -> dict[str, Any]:
        return store.create_version(project, did, body.description if body else None)

    @router.get("/{did}/versions/{vid}/code-snippet")
    def import_snippet(did: RecordId, vid: RecordId, project: SdkProject, store: StoreDep) -> dict[str, Any]:
        version, name = store.version(project, did, vid)
        return {"code_snippet": snippets.import_snippet(did, name, version)}

    @router.post("/{did}/upload-metadata", status_code=201)
    def upload_metadata(
        did: RecordId,
        project: SdkProject,
        store: StoreDep,
        pairing_key: PairingKey = None,
        body: UploadMetadataBody | None = None,
    ) -> dict[str, Any]:
        body = body or UploadMetadataBody()
        return store.open_upload(project, did, body.description, body.file_count, pairing_key)

    @router.post("/{did}/upload", status_code=201, openapi_extra={"requestBody": RAW_BODY})
    async def upload(
        did: RecordId,
        request: Request,
        project: SdkProject,
        store: StoreDep,
        filename_header: Annotated[str | None, Header(alias="Filename")] = None,
        pairing_key: PairingKey = None,
    ) -> Any:
        filename = _decode_filename(filename_header)
        # Paired before the body is read: an upload nobody waits for is refused at once.
        claim = await run_in_threadpool(store.claim_upload, project, did, pairing_key)
        try:
            received = await _receive_body(request, store)
        except Exception as exc:
            await run_in_threadpool(store.release_upload, claim)
            if isinstance(exc, ClientDisconnect):
                # Nobody is left to answer; the partial file is already gone.
                return Response(status_code=400)
            raise
        except BaseException:
            store.release_upload(claim)
            raise
        snapshot, version = await run_in_threadpool(store.store_upload, claim, filename, received)
        return {**snapshot, "uploaded_version": version}

    return router


def _internal_router() -> APIRouter:
    router = APIRouter(prefix=INTERNAL_SNAPSHOTS, responses=REFUSALS, dependencies=[WORKLOAD_CREDENTIAL])

    @router.post("", status_code=201, responses=EXISTING)
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
        did: RecordId,
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


def _admin_router() -> APIRouter:
    router = APIRouter(prefix="/v1/admin", responses=REFUSALS, dependencies=[ADMIN_TOKEN])

    @router.put("/projects/{pid}", status_code=201, responses={200: {"description": "Token replaced"}})
    def open_project(
        pid: ProjectId, body: ProjectBody, request: Request, store: StoreDep, response: Response
    ) -> dict[str, Any]:
        """Open a project (made if new, in the service's workspace) to the SDK token given."""
        existed = store.find_project(pid) is not None
        access = _access(request)
        # A token another project holds is refused before anything is made.
        access.refuse_taken(pid, body.token)
        project = store.project(pid, request.app.state.config.workspace_id)
        access.add_project(pid, body.token)
        response.status_code = 200 if existed else 201
        return {"id": project.id, "workspace_id": project.workspace_id, "project_dir": project.dir_name}

    return router


def _decode_filename(header: str | None) -> str:
    """The file name the SDK sends as standard padded Base64 of its UTF-8 bytes."""
    if header is None:
        raise invalid("Missing Filename header (Base64 of the file name's UTF-8 bytes)")
    try:
        filename = base64.b64decode(header, validate=True).decode("utf-8")
    except ValueError:  # not Base64 (or not ASCII at all), or not UTF-8
        raise invalid(f"Filename header is not Base64 of a UTF-8 file name: Filename={header!r}") from None
    return check_entry_name("Filename", filename)


async def _receive_body(request: Request, store: DatasetStore) -> Any:
    # Chunks are batched so the thread hop per write stays cheap.
    writer = await run_in_threadpool(store.start_receiving)
    try:
        batch: list[bytes] = []
        pending = 0
        async for chunk in _arriving(request, store.upload_expiry.total_seconds()):
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


async def _arriving(request: Request, stall_seconds: float) -> AsyncIterator[bytes]:
    """The body's chunks; a body that stops arriving for `stall_seconds` (the upload expiry) is
    given up, so that its version waits again and can expire, as one whose client went away."""
    chunks = request.stream().__aiter__()
    while True:
        try:
            yield await asyncio.wait_for(anext(chunks), stall_seconds)
        except StopAsyncIteration:
            return
        except TimeoutError:
            raise ServiceError(408, f"The upload's body stopped arriving for {stall_seconds:g} s") from None


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


def _read_router(prefix: str, credential: Any, project_of: Any) -> APIRouter:
    """The read paths both families share: a data snapshot's versions and a stored file, streamed.

    `credential` is the family's security declaration, `project_of` its project dependency.
    """
    router = APIRouter(prefix=prefix, responses=REFUSALS, dependencies=[credential])

    @router.get("/{did}/versions")
    def versions(did: RecordId, store: StoreDep, project: Project = project_of) -> dict[str, Any]:
        return {"data_snapshot_versions": store.versions(project, did)}

    @router.get(
        "/{did}/versions/{vid}/download",
        response_class=FileResponse,
        responses={200: {"content": {"application/octet-stream": {}}, "description": "The file's bytes"}},
    )
    def download(
        did: RecordId, vid: RecordId, filename: str, store: StoreDep, project: Project = project_of
    ) -> FileResponse:
        path = store.stored_file_path(project, did, vid, filename)
        return _FileStream(path, media_type="application/octet-stream", filename=filename)

    return router
