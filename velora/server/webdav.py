"""The dataset storage over WebDAV.

The whole storage is one read-only share; each project's "dataset-staged"
directory is a writable share of its own, added when the project appears. The
project's token, the paths and the Destination of copies and moves are checked in
front of it (see `auth.AccessMiddleware`), so the WebDAV layer itself lets every
request through.
"""

from __future__ import annotations

import threading
from pathlib import Path
from typing import Any

from velora._extras import needs_extra
from velora.server.storage import MOUNT_PATH, STAGED_DIR, Project

with needs_extra("server"):
    from wsgidav.fs_dav_provider import FilesystemProvider  # type: ignore[import-untyped]
    from wsgidav.wsgidav_app import WsgiDAVApp  # type: ignore[import-untyped]


class DatasetDavApp(WsgiDAVApp):
    """WsgiDAV with shares that may be added while requests are served."""

    def __init__(self, config: dict[str, Any]) -> None:
        self._shares_lock = threading.RLock()
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
                self.add_provider(
                    share, _provider(storage_dir / project.dir_name / STAGED_DIR, readonly=False)
                )


def create_dav_app(storage_dir: Path, projects: list[Project], *, verbose: int = 1) -> DatasetDavApp:
    config = {
        "mount_path": MOUNT_PATH,
        "provider_mapping": {"/": _provider(storage_dir, readonly=True)},
        # Authentication happens before WebDAV; here everyone is let in.
        "http_authenticator": {"domain_controller": None, "accept_basic": False, "accept_digest": False},
        "simple_dc": {"user_mapping": {"*": True}},
        "verbose": verbose,
        "logging": {"enable": False},
        "dir_browser": {"enable": True, "response_trailer": "velora-server"},
        "lock_storage": True,
        "property_manager": True,
    }
    app = DatasetDavApp(config)
    for project in projects:
        app.add_staged_share(project, storage_dir)
    return app


def _provider(root: Path, *, readonly: bool) -> FilesystemProvider:
    return FilesystemProvider(str(root), readonly=readonly, fs_opts={})
