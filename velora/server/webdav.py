"""The dataset storage over WebDAV.

The whole storage is one read-only share; each project's "dataset-staged"
directory is a writable share of its own, added when the project appears. The
project's token, the paths and the Destination of copies and moves are checked in
front of it (see `auth.AccessMiddleware`), so the WebDAV layer itself lets every
request through.
"""

from __future__ import annotations

import os
import shutil
import threading
import uuid
from pathlib import Path
from typing import IO, Any

from velora._extras import needs_extra
from velora.server.storage import MOUNT_PATH, STAGED_DIR, Project

# Scope keys BodyEndWatch sets.
BODY_ENDED = "velora.body_ended"
BODY_CUT = "velora.body_cut"

with needs_extra("server"):
    from wsgidav.dav_error import HTTP_BAD_REQUEST, DAVError  # type: ignore[import-untyped]
    from wsgidav.fs_dav_provider import FileResource, FilesystemProvider  # type: ignore[import-untyped]
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


class BodyEndWatch:
    """Marks a request whose client went away before its body ended (`BODY_CUT` in its scope):
    the WSGI layer reads that as the body's end, whether it had a length or came in chunks."""

    def __init__(self, app: Any) -> None:
        self.app = app

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        async def watched() -> dict[str, Any]:
            message: dict[str, Any] = await receive()
            if message["type"] == "http.request" and not message.get("more_body", False):
                scope[BODY_ENDED] = True
            elif message["type"] == "http.disconnect" and not scope.get(BODY_ENDED):
                scope[BODY_CUT] = True
            return message

        await self.app(scope, watched, send)


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
        cut_off = self.environ["asgi.scope"].get(BODY_CUT, False)
        if with_errors or cut_off:
            self._partial.unlink(missing_ok=True)
            if cut_off and not with_errors:
                raise DAVError(HTTP_BAD_REQUEST, "The client went away before the body ended.")
            return
        os.replace(self._partial, self._file_path)
        self.file_stat = os.stat(self._file_path)

    def copy_move_single(self, dest_path: str, *, is_move: bool) -> None:
        partial = self.provider.partial_file()
        try:
            shutil.copy2(self._file_path, partial)
            os.replace(partial, self.provider._loc_to_file_path(dest_path, self.environ))
        finally:
            partial.unlink(missing_ok=True)


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
        "lock_storage": True,
        # No dead properties: the library keeps them in memory without a limit, and one nested
        # too deep made every listing of its folder fail. rclone sets none.
        "property_manager": None,
    }
    app = DatasetDavApp(config, partial_dir)
    for project in projects:
        app.add_staged_share(project, storage_dir)
    return app
