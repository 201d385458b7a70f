"""The dataset storage over WebDAV.

The whole storage is one read-only share; each project's "dataset-staged"
directory is a writable share of its own, added when the project appears. The
project's token, the paths and the Destination of copies and moves are checked in
front of it (see `auth.AccessMiddleware`), so the WebDAV layer itself lets every
request through.
"""

from __future__ import annotations

import asyncio
import logging
import os
import shutil
import threading
import uuid
from collections.abc import MutableMapping
from pathlib import Path
from typing import IO, Any

from velora._extras import needs_extra
from velora.server.auth import Receive, Scope, Send
from velora.server.storage import MOUNT_PATH, STAGED_DIR, Project

# Scope keys DavGuard sets.
BODY_ENDED = "velora.body_ended"
BODY_CUT = "velora.body_cut"
BODY_STALLED = "velora.body_stalled"
# Locks last up to four weeks; without a bound, one project's LOCKs would fill the service's memory.
MAX_PROJECT_LOCKS = 100
DAV_BLOCK_BYTES = 64 * 1024

_log = logging.getLogger("velora.server")

with needs_extra("server"):
    from wsgidav.dav_error import (  # type: ignore[import-untyped]
        HTTP_BAD_REQUEST,
        HTTP_INSUFFICIENT_STORAGE,
        HTTP_REQUEST_TIMEOUT,
        DAVError,
    )
    from wsgidav.dav_provider import DAVNonCollection  # type: ignore[import-untyped]
    from wsgidav.fs_dav_provider import (  # type: ignore[import-untyped]
        FileResource,
        FilesystemProvider,
        FolderResource,
    )
    from wsgidav.lock_man.lock_storage import LockStorageDict  # type: ignore[import-untyped]
    from wsgidav.util import join_uri  # type: ignore[import-untyped]
    from wsgidav.wsgidav_app import WsgiDAVApp  # type: ignore[import-untyped]


class DatasetDavApp(WsgiDAVApp):
    """WsgiDAV with shares that may be added while requests are served."""

    def __init__(self, config: dict[str, Any], partial_dir: Path) -> None:
        self._shares_lock = threading.RLock()
        self.partial_dir = partial_dir
        super().__init__(config)

    def add_provider(self, share: str, provider: Any, *, readonly: bool = False) -> Any:
        # The library rebuilds its share list in two steps; lookups must not see it half done.
        with self._shares_lock:
            return super().add_provider(share, provider, readonly=readonly)

    def resolve_provider(self, path: str) -> tuple[Any, Any]:
        # A copy's or move's Destination names the whole URL path, mount path included;
        # without this it would resolve to the read-only root share.
        if path.startswith(MOUNT_PATH + "/"):
            path = path[len(MOUNT_PATH) :]
        with self._shares_lock:
            return super().resolve_provider(path)

    def add_staged_share(self, project: Project, storage_dir: Path) -> None:
        share = f"/{project.dir_name}/{STAGED_DIR}"
        with self._shares_lock:
            if share not in self.provider_map:
                root = storage_dir / project.dir_name / STAGED_DIR
                self.add_provider(share, StagedProvider(root, self.partial_dir))


class ProjectLocks(LockStorageDict):  # type: ignore[misc]
    """The in-memory lock table, holding at most MAX_PROJECT_LOCKS live locks of each project."""

    def create(self, path: str, lock: dict[str, Any]) -> dict[str, Any]:
        project = _project_of(path)
        self._lock.acquire_read()
        try:
            held = [token for token, entry in self._dict.items() if _is_lock_of(entry, project)]
        finally:
            self._lock.release()
        # get() drops an expired lock and answers None for it.
        if sum(self.get(token) is not None for token in held) >= MAX_PROJECT_LOCKS:
            raise DAVError(HTTP_INSUFFICIENT_STORAGE, f"A project holds at most {MAX_PROJECT_LOCKS} locks.")
        return super().create(path, lock)


def _project_of(path: str) -> str:
    # Share-relative paths start with the project's folder: /project-1/dataset-staged/...
    return path.split("/")[1]


def _is_lock_of(entry: Any, project: str) -> bool:
    # The table also maps each locked path to its tokens, as lists.
    return isinstance(entry, dict) and _project_of(entry["root"]) == project


class DavGuard:
    """Bounds what one WebDAV request holds. The WSGI layer gives each request a thread for as
    long as its body or answer moves, so a stalled client would keep one for good.

    - At most `per_project` requests of one project run at once; the others wait their turn
      without a thread, so one project's stalled clients cannot stall the share for the rest.
    - A body that stops arriving for `stall_seconds` ends there, marked `BODY_STALLED` (the
      seconds) and `BODY_CUT`; one whose client went away before its end is marked `BODY_CUT`.
      The WSGI layer reads either as the body's end.
    - An answer that the client stops reading for `stall_seconds` is dropped, and the
      connection closed.
    """

    def __init__(self, app: Any, *, per_project: int, stall_seconds: float) -> None:
        self.app = app
        self.per_project = per_project
        self.stall_seconds = stall_seconds
        self._turns: dict[str, asyncio.Semaphore] = {}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        # The access check has let through only paths below a project's folder.
        project = _project_of(scope["path"][len(MOUNT_PATH) :])
        turns = self._turns.setdefault(project, asyncio.Semaphore(self.per_project))
        dropped = False

        async def watched_receive() -> MutableMapping[str, Any]:
            try:
                async with asyncio.timeout(self.stall_seconds):
                    message = await receive()
            except TimeoutError:
                scope[BODY_STALLED] = self.stall_seconds
                message = {"type": "http.disconnect"}
            if message["type"] == "http.request" and not message.get("more_body", False):
                scope[BODY_ENDED] = True
            elif message["type"] == "http.disconnect" and not scope.get(BODY_ENDED):
                scope[BODY_CUT] = True
            return message

        async def watched_send(message: MutableMapping[str, Any]) -> None:
            # Once dropped, the rest of the answer is thrown away so that its thread ends; the
            # server closes a connection whose answer did not end.
            nonlocal dropped
            if not dropped:
                try:
                    async with asyncio.timeout(self.stall_seconds):
                        await send(message)
                except TimeoutError:
                    dropped = True
                    _log.warning(
                        "%s %s: the client read nothing of the answer for %g s; dropped it",
                        scope["method"],
                        scope["path"],
                        self.stall_seconds,
                    )

        async with turns:
            await self.app(scope, watched_receive, watched_send)


class WholeFile(FileResource):  # type: ignore[misc]
    """A staged file that a PUT or a COPY replaces whole or not at all.

    The bytes go to a file in `partial_dir` (the data directory's tmp/, which start-up
    empties) and are renamed over the target once all of them are there. Written in place,
    a body that broke off, a copy cut short or two writers at once left a damaged file
    served as whole.
    """

    def begin_write(self, *, content_type: str | None = None) -> IO[bytes]:
        self._partial = self.provider.partial_file()
        self._body = open(self._partial, "xb")  # noqa: SIM115 - WsgiDAV writes the body into it
        return self._body

    def end_write(self, *, with_errors: bool) -> None:
        if hasattr(self, "_body"):
            self._body.close()
        scope = self.environ["asgi.scope"]
        cut_off = scope.get(BODY_CUT, False)
        if with_errors or cut_off:
            self._partial.unlink(missing_ok=True)
            if with_errors:
                return
            if stalled := scope.get(BODY_STALLED):
                raise DAVError(HTTP_REQUEST_TIMEOUT, f"The body stopped arriving for {stalled:g} s.")
            raise DAVError(HTTP_BAD_REQUEST, "The client went away before the body ended.")
        os.replace(self._partial, self._file_path)
        self.file_stat = os.stat(self._file_path)

    def copy_move_single(self, dest_path: str, *, is_move: bool) -> None:
        partial = self.provider.partial_file()
        try:
            shutil.copy2(self._file_path, partial)
            os.replace(partial, self.provider._loc_to_file_path(dest_path, self.environ))
        finally:
            partial.unlink(missing_ok=True)


class NewFile(WholeFile):
    """A file that a PUT makes: it appears once its body has arrived whole, rather than empty
    while the body arrives and left empty when it breaks off."""

    def __init__(self, path: str, environ: dict[str, Any], file_path: str) -> None:
        # What FileResource sets but its stat, which the file has once end_write renames it in.
        DAVNonCollection.__init__(self, path, environ)
        self._file_path = file_path
        self.name = os.path.basename(file_path)


class StagedFolder(FolderResource):  # type: ignore[misc]
    def create_empty_resource(self, name: str) -> Any:
        # A LOCK of a new name makes an empty file, as WebDAV says; a PUT makes it with its body.
        if self.environ["REQUEST_METHOD"] != "PUT":
            return super().create_empty_resource(name)
        path = join_uri(self.path, name)
        return NewFile(path, self.environ, self.provider._loc_to_file_path(path, self.environ))


class StagedProvider(FilesystemProvider):  # type: ignore[misc]
    """A project's writable share, whose files are WholeFile resources."""

    def __init__(self, root: Path, partial_dir: Path) -> None:
        super().__init__(str(root), readonly=False, fs_opts={})
        self.partial_dir = partial_dir

    def partial_file(self) -> Path:
        return self.partial_dir / f"dav-{uuid.uuid4().hex}.part"

    def get_resource_inst(self, path: str, environ: dict[str, Any]) -> Any:
        found = super().get_resource_inst(path, environ)
        if type(found) is FileResource:
            return WholeFile(path, environ, found._file_path)
        if type(found) is FolderResource:
            return StagedFolder(path, environ, found._file_path)
        return found


def create_dav_app(
    storage_dir: Path, projects: list[Project], partial_dir: Path, *, verbose: int = 1
) -> DatasetDavApp:
    config = {
        "mount_path": MOUNT_PATH,
        "provider_mapping": {"/": FilesystemProvider(str(storage_dir), readonly=True, fs_opts={})},
        # Authentication happens before WebDAV; here everyone is let in.
        "http_authenticator": {"domain_controller": None, "accept_basic": False, "accept_digest": False},
        "simple_dc": {"user_mapping": {"*": True}},
        "verbose": verbose,
        "logging": {"enable": False},
        "dir_browser": {"enable": True, "response_trailer": "velora-server"},
        "lock_storage": ProjectLocks(),
        # Bodies and answers move in blocks of this size: the library's 8 KiB made a GigaByte
        # 131,072 trips between the WSGI thread and the event loop.
        "block_size": DAV_BLOCK_BYTES,
        # No dead properties: the library keeps them in memory without a limit, and one nested
        # too deep made every listing of its folder fail. rclone sets none.
        "property_manager": None,
    }
    app = DatasetDavApp(config, partial_dir)
    for project in projects:
        app.add_staged_share(project, storage_dir)
    return app
