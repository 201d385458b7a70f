"""Records in SQLite and files on disk, under one data directory.

Layout of the data directory:

    velora.sqlite3                      the records
    tmp/                                uploads and WebDAV PUTs being received (never served)
    storage/<project dir>/dataset/<dataset name>/v<version>/<file>
    storage/<project dir>/dataset-staged/

An upload is written to tmp/ and fsynced; then its file record is committed as
"pending", the file renamed into storage/, and the record committed as "stored".
A stop at any point leaves something `reconcile` (run at every start) can settle:
tmp/ is emptied, a pending record and its file are removed (the caller never got
an answer), a stored record whose file is gone is removed and its version marked
failed, and a file or directory under storage/*/dataset/ that no record names is
removed.

An SDK upload comes in two requests: upload-metadata opens a version and the
upload fills it. Both carry the caller's pairing key (the request layer sends a
random key per thread), and the upload goes into the one version that key opened
on that data snapshot and that still waits; when there is none, or the upload
names no key, it is refused with 409 before its body is read. A new
upload-metadata with the same key ends the key's earlier waiting version on that
data snapshot (failed), and a waiting version that gets no upload within the
store's `upload_expiry_seconds` expires (failed); a failed version never takes a
file.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import logging
import os
import re
import shutil
import sqlite3
import unicodedata
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import IO, Any, Protocol

DATASET_DIR = "dataset"
STAGED_DIR = "dataset-staged"
# The URL path the storage is served under over WebDAV.
MOUNT_PATH = "/webdav"
MAX_PAGE_SIZE = 1000
COPY_CHUNK_BYTES = 1024 * 1024
# How long a version opened by upload-metadata waits for its upload.
DEFAULT_UPLOAD_EXPIRY_SECONDS = 600.0
PAIRING_HEADER = "Velora-Pairing-Key"
_MAX_PAIRING_KEY = 128

_log = logging.getLogger("velora.server")

# Project ids become directory names and WebDAV share names (matched without
# case), so they are kept to lower-case letters, digits, "-" and "_".
PROJECT_ID_PATTERN = r"^[a-z0-9_-]{1,64}$"
_PROJECT_ID = re.compile(PROJECT_ID_PATTERN)
MAX_NAME_BYTES = 255
# Bidirectional marks, embeddings, overrides and isolates: they make a name read other than it is.
_BIDI_CONTROLS = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")

# A version whose caller's key has since opened a newer one of the same data snapshot.
_SUPERSEDED = (
    "EXISTS (SELECT 1 FROM versions AS newer WHERE newer.data_snapshot_id = versions.data_snapshot_id "
    "AND newer.pairing_key = versions.pairing_key AND newer.id > versions.id)"
)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS projects (
    id TEXT PRIMARY KEY,
    workspace_id TEXT,
    created_at TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS data_snapshots (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    project_id TEXT NOT NULL REFERENCES projects(id),
    name TEXT NOT NULL,
    description TEXT,
    created_by TEXT,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL,
    UNIQUE (project_id, name)
);
CREATE TABLE IF NOT EXISTS versions (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_snapshot_id INTEGER NOT NULL REFERENCES data_snapshots(id),
    version INTEGER NOT NULL,
    description TEXT,
    file_count INTEGER,
    created_by TEXT,
    argo_workflow_run_id TEXT,
    created_at TEXT NOT NULL,
    UNIQUE (data_snapshot_id, version)
);
CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    version_id INTEGER NOT NULL REFERENCES versions(id),
    filename TEXT NOT NULL,
    size INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    created_at TEXT NOT NULL,
    UNIQUE (version_id, filename)
);
"""

# Columns added since the first release; a data directory made before gets them at start.
_ADDED_COLUMNS = {
    "versions": [
        # "uploading" (waits for files), "ready" or "failed"
        ("status", "TEXT NOT NULL DEFAULT 'ready'"),
        ("pairing_key", "TEXT"),
        ("expires_at", "TEXT"),
        # 1 while an upload's body is being received into the version
        ("receiving", "INTEGER NOT NULL DEFAULT 0"),
    ],
    # "pending" between the commit of the record and the rename of the file, then "stored"
    "files": [("state", "TEXT NOT NULL DEFAULT 'stored'")],
}


class DataDirectoryInUse(RuntimeError):
    """Another service holds the data directory."""


class ServiceError(Exception):
    """A request the service refuses; `status_code` is the HTTP status to answer with."""

    def __init__(self, status_code: int, message: str) -> None:
        super().__init__(message)
        self.status_code = status_code
        self.message = message


def not_found(message: str) -> ServiceError:
    return ServiceError(404, message)


def invalid(message: str) -> ServiceError:
    return ServiceError(422, message)


def conflict(message: str) -> ServiceError:
    return ServiceError(409, message)


def project_dir_name(project_id: str) -> str:
    """The project's directory on the storage (and on the WebDAV store)."""
    return f"project-{project_id}"


def check_project_id(project_id: str) -> str:
    if not _PROJECT_ID.fullmatch(project_id):
        raise invalid(
            f"Project id must be 1 to 64 lower-case letters, digits, '-' or '_': project_id={project_id!r}"
        )
    return project_id


def check_entry_name(kind: str, name: str) -> str:
    """A dataset or file name, which becomes one path component on disk; returned in NFC.

    Names compare in NFC and case-sensitively; two names of one kind that differ
    only in case are not both taken (see `refuse_case_clash`), since they would be one
    entry on a case-insensitive mount.
    """
    if not name or name in (".", ".."):
        raise invalid(f"{kind} must not be empty, '.' or '..': {kind.lower()}={name!r}")
    if any(_refused_in_name(char) for char in name):
        raise invalid(
            f"{kind} must not contain '/', '\\', control characters, bidirectional controls "
            f"or lone surrogates: {kind.lower()}={name!r}"
        )
    if name != name.strip():
        raise invalid(f"{kind} must not begin or end with white space: {kind.lower()}={name!r}")
    name = unicodedata.normalize("NFC", name)
    if len(name.encode("utf-8")) > MAX_NAME_BYTES:
        raise invalid(f"{kind} must be at most {MAX_NAME_BYTES} bytes long: {kind.lower()}={name!r}")
    return name


def _refused_in_name(char: str) -> bool:
    # Cc: C0 controls, DEL and C1 controls; Cs: lone surrogates.
    return char in "/\\" or char in _BIDI_CONTROLS or unicodedata.category(char) in ("Cc", "Cs")


def refuse_case_clash(name: str, taken: Iterable[str], where: str) -> None:
    """Refuse `name` when `where` already holds a name that differs from it only in case."""
    folded = _case_key(name)
    clash = next((other for other in taken if other != name and _case_key(other) == folded), None)
    if clash is not None:
        raise conflict(
            f"{where} already has {clash!r}, which differs from {name!r} only in case "
            "(the two would be one entry on a case-insensitive mount)"
        )


def _case_key(name: str) -> str:
    return unicodedata.normalize("NFC", name.casefold())


@dataclass(frozen=True)
class Project:
    id: str
    workspace_id: str | None

    @property
    def dir_name(self) -> str:
        return project_dir_name(self.id)


@dataclass(frozen=True)
class ReceivedFile:
    """A complete upload waiting in tmp/ for its record."""

    temp_path: Path
    size: int
    sha256: str


@dataclass(frozen=True)
class UploadClaim:
    """The version an SDK upload was paired with, held for it while its body arrives."""

    project: Project
    snapshot_id: int
    version_id: int


@dataclass(frozen=True)
class Reconciliation:
    """What a start found left over from a stop, and settled."""

    temp_files: int = 0
    pending_files: int = 0
    missing_files: int = 0
    orphan_files: int = 0
    orphan_directories: int = 0


class DatasetStore(Protocol):
    """What the routes need from the records and files.

    `Store` keeps them in SQLite and one data directory; another backend (a
    database server, an object store) implements the same methods.
    """

    upload_expiry: timedelta

    def find_project(self, project_id: str) -> Project | None: ...
    def project(self, project_id: str, workspace_id: str | None = None) -> Project: ...
    def projects(self) -> list[Project]: ...
    def create_snapshot(
        self,
        project: Project,
        name: str,
        description: str | None,
        exist_ok: bool,
        created_by: str | None = None,
    ) -> tuple[dict[str, Any], bool]: ...
    def snapshot_by_name(self, project: Project, name: str) -> dict[str, Any] | None: ...
    def snapshot(self, project: Project, snapshot_id: int) -> dict[str, Any] | None: ...
    def snapshots(self, project: Project, page: int, page_size: int) -> tuple[list[dict[str, Any]], int]: ...
    def create_version(
        self,
        project: Project,
        snapshot_id: int,
        description: str | None,
        *,
        created_by: str | None = None,
        argo_workflow_run_id: str | None = None,
    ) -> dict[str, Any]: ...
    def version(self, project: Project, snapshot_id: int, version_id: int) -> tuple[dict[str, Any], str]: ...
    def versions(self, project: Project, snapshot_id: int) -> list[dict[str, Any]]: ...
    def stored_file_path(
        self, project: Project, snapshot_id: int, version_id: int, filename: str
    ) -> Path: ...
    def open_upload(
        self,
        project: Project,
        snapshot_id: int,
        description: str | None,
        file_count: int,
        pairing_key: str | None,
    ) -> dict[str, Any]: ...
    def claim_upload(self, project: Project, snapshot_id: int, pairing_key: str | None) -> UploadClaim: ...
    def release_upload(self, claim: UploadClaim) -> None: ...
    def start_receiving(self) -> UploadWriter: ...
    def receive_stream(self, stream: IO[bytes]) -> ReceivedFile: ...
    def store_upload(
        self, claim: UploadClaim, filename: str, received: ReceivedFile
    ) -> tuple[dict[str, Any], dict[str, Any]]: ...
    def store_new_version_upload(
        self,
        project: Project,
        name: str,
        description: str | None,
        filename: str,
        received: ReceivedFile,
        *,
        created_by: str | None,
        argo_workflow_run_id: str | None,
    ) -> tuple[dict[str, Any], dict[str, Any]]: ...


class Store:
    """The service's records and files; safe to use from several threads.

    One service at a time may use a data directory: a second one is refused at
    start, since its clean-up would take the first one's uploads for leftovers.
    """

    def __init__(
        self,
        data_dir: Path,
        on_new_project: Callable[[Project], None] | None = None,
        *,
        upload_expiry_seconds: float = DEFAULT_UPLOAD_EXPIRY_SECONDS,
    ) -> None:
        self.data_dir = data_dir
        self.storage_dir = data_dir / "storage"
        self.tmp_dir = data_dir / "tmp"
        self.database_path = data_dir / "velora.sqlite3"
        self.on_new_project = on_new_project
        self.upload_expiry = timedelta(seconds=upload_expiry_seconds)
        self._lock_file = _lock_data_dir(data_dir)
        self.storage_dir.mkdir(parents=True, exist_ok=True)
        with self._connect() as connection:
            connection.execute("PRAGMA journal_mode=WAL")
            connection.executescript(_SCHEMA)
            _add_missing_columns(connection)
        # Open for the store's life: when the last connection closes, SQLite removes the WAL's
        # files, and each request then makes them again, which fails on a full disk, reads too.
        self._keeper = sqlite3.connect(self.database_path, check_same_thread=False)
        self._keeper.execute("SELECT count(*) FROM sqlite_master").fetchone()  # opens the WAL's files
        self.reconcile()

    # -- connections and transactions -------------------------------------------------

    def _connect(self) -> contextlib.closing[sqlite3.Connection]:
        connection = sqlite3.connect(self.database_path, timeout=30, isolation_level=None)
        connection.row_factory = sqlite3.Row
        connection.execute("PRAGMA foreign_keys=ON")
        # A commit answered to a client is on disk, not only in the WAL's page cache.
        connection.execute("PRAGMA synchronous=FULL")
        return contextlib.closing(connection)

    @contextlib.contextmanager
    def _reading(self) -> Iterator[sqlite3.Connection]:
        with self._connect() as connection:
            yield connection

    @contextlib.contextmanager
    def _writing(self) -> Iterator[sqlite3.Connection]:
        # BEGIN IMMEDIATE takes the write lock up front, so checks and inserts
        # of one request cannot interleave with another's.
        with self._connect() as connection:
            connection.execute("BEGIN IMMEDIATE")
            try:
                yield connection
            except BaseException:
                connection.execute("ROLLBACK")
                raise
            connection.execute("COMMIT")

    # -- projects -------------------------------------------------------------------

    def projects(self) -> list[Project]:
        with self._reading() as connection:
            rows = connection.execute("SELECT id, workspace_id FROM projects ORDER BY id").fetchall()
        return [Project(row["id"], row["workspace_id"]) for row in rows]

    def find_project(self, project_id: str) -> Project | None:
        """The project if it exists; never makes one."""
        with self._reading() as connection:
            row = connection.execute(
                "SELECT id, workspace_id FROM projects WHERE id = ?", (project_id,)
            ).fetchone()
        return None if row is None else Project(row["id"], row["workspace_id"])

    def project(self, project_id: str, workspace_id: str | None = None) -> Project:
        """The project, made on first use; a workspace given must be the project's own.

        A project first seen on an internal path has no workspace yet; the first
        SDK path that names it settles the workspace.
        """
        check_project_id(project_id)
        with self._reading() as connection:
            row = connection.execute(
                "SELECT id, workspace_id FROM projects WHERE id = ?", (project_id,)
            ).fetchone()
        if row is not None and (workspace_id is None or row["workspace_id"] == workspace_id):
            return Project(row["id"], row["workspace_id"])
        created = False
        with self._writing() as connection:
            row = connection.execute(
                "SELECT id, workspace_id FROM projects WHERE id = ?", (project_id,)
            ).fetchone()
            if row is None:
                connection.execute(
                    "INSERT INTO projects (id, workspace_id, created_at) VALUES (?, ?, ?)",
                    (project_id, workspace_id, _now()),
                )
                created = True
            elif row["workspace_id"] is None and workspace_id is not None:
                connection.execute(
                    "UPDATE projects SET workspace_id = ? WHERE id = ?", (workspace_id, project_id)
                )
            elif workspace_id is not None and row["workspace_id"] != workspace_id:
                raise not_found(f"Project '{project_id}' not found in workspace '{workspace_id}'")
            project = Project(
                project_id, workspace_id if row is None else row["workspace_id"] or workspace_id
            )
            self.ensure_project_dirs(project)
        if created and self.on_new_project is not None:
            self.on_new_project(project)
        return project

    def ensure_project_dirs(self, project: Project) -> None:
        root = self.storage_dir / project.dir_name
        (root / DATASET_DIR).mkdir(parents=True, exist_ok=True)
        (root / STAGED_DIR).mkdir(parents=True, exist_ok=True)

    def dataset_root(self, project: Project) -> Path:
        return self.storage_dir / project.dir_name / DATASET_DIR

    # -- data snapshots ---------------------------------------------------------------

    def create_snapshot(
        self,
        project: Project,
        name: str,
        description: str | None,
        exist_ok: bool,
        created_by: str | None = None,
    ) -> tuple[dict[str, Any], bool]:
        """The new data snapshot (True), or the existing one of that name with `exist_ok` (False)."""
        name = check_entry_name("Name", name)
        with self._writing() as connection:
            row = _snapshot_row_by_name(connection, project.id, name)
            if row is not None:
                if not exist_ok:
                    raise conflict(f"Data snapshot '{name}' already exists")
                return self._snapshot_record(connection, project, row), False
            row = self._insert_snapshot(connection, project, name, description, created_by)
            return self._snapshot_record(connection, project, row), True

    def snapshot_by_name(self, project: Project, name: str) -> dict[str, Any] | None:
        try:
            name = check_entry_name("Name", name)
        except ServiceError:
            return None  # no data snapshot can have that name
        with self._reading() as connection:
            row = _snapshot_row_by_name(connection, project.id, name)
            return None if row is None else self._snapshot_record(connection, project, row)

    def snapshot(self, project: Project, snapshot_id: int) -> dict[str, Any] | None:
        with self._reading() as connection:
            row = _snapshot_row(connection, project.id, snapshot_id)
            return None if row is None else self._snapshot_record(connection, project, row)

    def snapshots(self, project: Project, page: int, page_size: int) -> tuple[list[dict[str, Any]], int]:
        """One page of the project's data snapshots, oldest first, and how many there are in all."""
        if page < 1:
            raise invalid(f"page must be at least 1: page={page}")
        if not 1 <= page_size <= MAX_PAGE_SIZE:
            raise invalid(f"page_size must be between 1 and {MAX_PAGE_SIZE}: page_size={page_size}")
        with self._reading() as connection:
            total = connection.execute(
                "SELECT COUNT(*) FROM data_snapshots WHERE project_id = ?", (project.id,)
            ).fetchone()[0]
            rows = connection.execute(
                "SELECT * FROM data_snapshots WHERE project_id = ? ORDER BY id LIMIT ? OFFSET ?",
                (project.id, page_size, (page - 1) * page_size),
            ).fetchall()
            return [self._snapshot_record(connection, project, row) for row in rows], total

    # -- versions -------------------------------------------------------------------

    def create_version(
        self,
        project: Project,
        snapshot_id: int,
        description: str | None,
        *,
        created_by: str | None = None,
        argo_workflow_run_id: str | None = None,
    ) -> dict[str, Any]:
        """A new version of the data snapshot, ready and without files."""
        with self._writing() as connection:
            snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
            version_id = self._insert_version(
                connection, project, snapshot, description, created_by, argo_workflow_run_id
            )
            return _version_record(connection, snapshot, _version_row(connection, version_id))

    def version(self, project: Project, snapshot_id: int, version_id: int) -> tuple[dict[str, Any], str]:
        """The version record and the name of its data snapshot."""
        with self._reading() as connection:
            snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
            row = _version_row(connection, version_id)
            if row is None or row["data_snapshot_id"] != snapshot_id:
                raise not_found(
                    f"Data snapshot version {version_id} of data snapshot {snapshot_id} not found"
                )
            return _version_record(connection, snapshot, row), snapshot["name"]

    def versions(self, project: Project, snapshot_id: int) -> list[dict[str, Any]]:
        """Every version of the data snapshot, oldest first."""
        with self._reading() as connection:
            snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
            rows = connection.execute(
                "SELECT * FROM versions WHERE data_snapshot_id = ? ORDER BY version", (snapshot_id,)
            ).fetchall()
            return [_version_record(connection, snapshot, row) for row in rows]

    def stored_file_path(self, project: Project, snapshot_id: int, version_id: int, filename: str) -> Path:
        """Where a stored file of a version is on disk; only a file recorded as stored is served."""
        filename = check_entry_name("Filename", filename)
        version, name = self.version(project, snapshot_id, version_id)
        if not any(file["filename"] == filename for file in version["files"]):
            raise not_found(
                f"Version {version['version']} of data snapshot '{name}' has no file {filename!r}"
            )
        path = self._version_dir(project, name, version["version"]) / filename
        if not path.is_file():  # taken away behind the service's back: a start reconciles it
            raise not_found(
                f"Version {version['version']} of data snapshot '{name}' has lost its file {filename!r}"
            )
        return path

    # -- uploads --------------------------------------------------------------------

    def open_upload(
        self,
        project: Project,
        snapshot_id: int,
        description: str | None,
        file_count: int,
        pairing_key: str | None,
    ) -> dict[str, Any]:
        """A new version waiting for `file_count` uploads that name `pairing_key`.

        The key's earlier version of this data snapshot that still waits is failed:
        a caller opens its next version only when done with the one before.
        """
        key = _required_pairing_key(pairing_key)
        with self._writing() as connection:
            snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
            connection.execute(
                "UPDATE versions SET status = 'failed', expires_at = NULL WHERE data_snapshot_id = ? "
                "AND pairing_key = ? AND status = 'uploading' AND receiving = 0",
                (snapshot_id, key),
            )
            version_id = self._insert_version(
                connection, project, snapshot, description, None, None, file_count=file_count, pairing_key=key
            )
            return _version_record(connection, snapshot, _version_row(connection, version_id))

    def claim_upload(self, project: Project, snapshot_id: int, pairing_key: str | None) -> UploadClaim:
        """The version waiting for this caller's upload, held until `store_upload` or `release_upload`."""
        with self._writing() as connection:
            _existing_snapshot_row(connection, project.id, snapshot_id)
            if pairing_key is None:
                raise conflict(
                    f"Cannot tell which version of data snapshot {snapshot_id} this upload belongs to: "
                    f"send the {PAIRING_HEADER} header its upload-metadata was sent with"
                )
            self._expire_overdue(connection)
            waiting = connection.execute(
                "SELECT id FROM versions WHERE data_snapshot_id = ? AND pairing_key = ? "
                "AND status = 'uploading' AND receiving = 0",
                (snapshot_id, pairing_key),
            ).fetchall()
            if len(waiting) != 1:
                raise conflict(
                    f"Data snapshot {snapshot_id} has no version waiting for an upload from this caller "
                    f"({PAIRING_HEADER}); post its upload-metadata first "
                    f"(a version waits {self.upload_expiry.total_seconds():g} s for its upload)"
                    if not waiting
                    else f"Cannot tell which version of data snapshot {snapshot_id} this upload belongs to: "
                    f"{len(waiting)} versions wait for uploads with this {PAIRING_HEADER}"
                )
            connection.execute("UPDATE versions SET receiving = 1 WHERE id = ?", (waiting[0]["id"],))
            return UploadClaim(project, snapshot_id, waiting[0]["id"])

    def release_upload(self, claim: UploadClaim) -> None:
        """An upload that broke off: its version waits for the caller again, for a fresh expiry time.

        If the caller's key has opened a newer version meanwhile, this one ends instead, as
        upload-metadata ends a waiting one: otherwise the key would pair with two versions.
        """
        with self._writing() as connection:
            connection.execute(
                "UPDATE versions SET status = 'failed', receiving = 0, expires_at = NULL "
                f"WHERE id = ? AND status = 'uploading' AND {_SUPERSEDED}",
                (claim.version_id,),
            )
            connection.execute(
                "UPDATE versions SET receiving = 0, expires_at = ? WHERE id = ? AND status = 'uploading'",
                (_iso(self._expiry()), claim.version_id),
            )

    def receive(self, chunks: Iterator[bytes]) -> ReceivedFile:
        """Write `chunks` to a fresh file in tmp/, hashing as it goes."""
        writer = self.start_receiving()
        try:
            for chunk in chunks:
                writer.write(chunk)
        except BaseException:
            writer.discard()
            raise
        return writer.finish()

    def receive_stream(self, stream: IO[bytes]) -> ReceivedFile:
        return self.receive(iter(lambda: stream.read(COPY_CHUNK_BYTES), b""))

    def start_receiving(self) -> UploadWriter:
        return UploadWriter(self.tmp_dir / f"upload-{uuid.uuid4().hex}.part")

    def store_upload(
        self, claim: UploadClaim, filename: str, received: ReceivedFile
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """File a complete upload into its claimed version.

        Returns the data snapshot record, whose latest version is the one that
        holds the file, and that version.
        """
        try:
            filename = check_entry_name("Filename", filename)
            return self._file_into_version(claim.project, claim.version_id, filename, received)
        except BaseException:
            self.release_upload(claim)
            raise
        finally:
            received.temp_path.unlink(missing_ok=True)

    def store_new_version_upload(
        self,
        project: Project,
        name: str,
        description: str | None,
        filename: str,
        received: ReceivedFile,
        *,
        created_by: str | None,
        argo_workflow_run_id: str | None,
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """One request that makes (or reuses) the data snapshot, adds a version and files the upload."""
        version_id = None
        try:
            name = check_entry_name("Name", name)
            filename = check_entry_name("Filename", filename)
            with self._writing() as connection:
                snapshot = _snapshot_row_by_name(connection, project.id, name)
                if snapshot is None:
                    snapshot = self._insert_snapshot(connection, project, name, description, created_by)
                version_id = self._insert_version(
                    connection, project, snapshot, description, created_by, argo_workflow_run_id, file_count=1
                )
                connection.execute("UPDATE versions SET receiving = 1 WHERE id = ?", (version_id,))
            return self._file_into_version(project, version_id, filename, received)
        except BaseException:
            if version_id is not None:
                # Nobody can send this version's file again.
                with self._writing() as connection:
                    connection.execute(
                        "UPDATE versions SET status = 'failed', receiving = 0, expires_at = NULL "
                        "WHERE id = ?",
                        (version_id,),
                    )
            raise
        finally:
            received.temp_path.unlink(missing_ok=True)

    # -- start-up -------------------------------------------------------------------

    def reconcile(self) -> Reconciliation:
        """Settle what a stop left, so that records and files under storage/ agree."""
        # Whatever is still in tmp/ was cut off by a stop; it was never a finished file.
        temp_files = sum(1 for _ in self.tmp_dir.iterdir()) if self.tmp_dir.is_dir() else 0
        shutil.rmtree(self.tmp_dir, ignore_errors=True)
        self.tmp_dir.mkdir()
        pending = missing = 0
        with self._writing() as connection:
            for row in _file_rows(connection):
                path = self.storage_dir / row["path"]
                if row["state"] == "pending":
                    # Its caller never got an answer: undo it, whether or not the rename happened.
                    path.unlink(missing_ok=True)
                    connection.execute("DELETE FROM files WHERE id = ?", (row["id"],))
                    pending += 1
                elif not path.is_file():
                    connection.execute("DELETE FROM files WHERE id = ?", (row["id"],))
                    connection.execute(
                        "UPDATE versions SET status = 'failed', expires_at = NULL WHERE id = ?",
                        (row["version_id"],),
                    )
                    missing += 1
            # Uploads cut off by the stop: an SDK version waits again, unless its key has opened a
            # newer one meanwhile; an internal one cannot.
            connection.execute(
                "UPDATE versions SET status = 'failed', receiving = 0, expires_at = NULL "
                f"WHERE status = 'uploading' AND (pairing_key IS NULL OR (receiving = 1 AND {_SUPERSEDED}))"
            )
            connection.execute(
                "UPDATE versions SET receiving = 0, expires_at = ? WHERE receiving = 1",
                (_iso(self._expiry()),),
            )
            recorded = {self.storage_dir / row["path"] for row in _file_rows(connection)}
            recorded_dirs = {self.storage_dir / path for path in _directory_paths(connection)}
        orphans, orphan_dirs = self._remove_unrecorded(recorded, recorded_dirs)
        result = Reconciliation(temp_files, pending, missing, orphans, orphan_dirs)
        if result != Reconciliation():
            _log.warning("velora-server: settled what a stop left: %s", result)
        return result

    def _remove_unrecorded(self, recorded: set[Path], recorded_dirs: set[Path]) -> tuple[int, int]:
        """Removes the files, then the directories, under storage/*/dataset/ that no record names:
        a stop between making a dataset's or version's directory and committing its record
        leaves one, which the read-only share would list."""
        files = directories = 0
        for dataset_dir in self.storage_dir.glob(f"*/{DATASET_DIR}"):
            # Bottom up, so that a directory is emptied before it is looked at.
            for root, _, names in os.walk(dataset_dir, topdown=False):
                for name in names:
                    path = Path(root) / name
                    if path not in recorded:
                        path.unlink()
                        files += 1
                folder = Path(root)
                if folder != dataset_dir and folder not in recorded_dirs and not any(folder.iterdir()):
                    folder.rmdir()
                    directories += 1
        return files, directories

    # -- helpers --------------------------------------------------------------------

    def _insert_snapshot(
        self,
        connection: sqlite3.Connection,
        project: Project,
        name: str,
        description: str | None,
        created_by: str | None,
    ) -> sqlite3.Row:
        taken = connection.execute("SELECT name FROM data_snapshots WHERE project_id = ?", (project.id,))
        refuse_case_clash(name, (row["name"] for row in taken), f"Project '{project.id}'")
        now = _now()
        cursor = connection.execute(
            "INSERT INTO data_snapshots (project_id, name, description, created_by, created_at, updated_at) "
            "VALUES (?, ?, ?, ?, ?, ?)",
            (project.id, name, description, created_by, now, now),
        )
        (self.dataset_root(project) / name).mkdir(parents=True, exist_ok=True)
        return _snapshot_row(connection, project.id, cursor.lastrowid)

    def _insert_version(
        self,
        connection: sqlite3.Connection,
        project: Project,
        snapshot: sqlite3.Row,
        description: str | None,
        created_by: str | None,
        argo_workflow_run_id: str | None,
        *,
        file_count: int | None = None,
        pairing_key: str | None = None,
    ) -> int:
        """A version; with `file_count`, one that waits for that many files."""
        if file_count is not None and file_count < 1:
            raise invalid(f"file_count must be at least 1: file_count={file_count}")
        number = connection.execute(
            "SELECT COALESCE(MAX(version), 0) + 1 FROM versions WHERE data_snapshot_id = ?",
            (snapshot["id"],),
        ).fetchone()[0]
        now = _now()
        waits = file_count is not None
        cursor = connection.execute(
            "INSERT INTO versions (data_snapshot_id, version, description, file_count, created_by, "
            "argo_workflow_run_id, created_at, status, pairing_key, expires_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                snapshot["id"],
                number,
                description,
                file_count,
                created_by,
                argo_workflow_run_id,
                now,
                "uploading" if waits else "ready",
                pairing_key,
                _iso(self._expiry()) if waits else None,
            ),
        )
        connection.execute("UPDATE data_snapshots SET updated_at = ? WHERE id = ?", (now, snapshot["id"]))
        self._version_dir(project, snapshot["name"], number).mkdir(parents=True, exist_ok=True)
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def _file_into_version(
        self, project: Project, version_id: int, filename: str, received: ReceivedFile
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """Record, rename, confirm: a stop between any two steps is settled by `reconcile`."""
        with self._writing() as connection:
            version = _version_row(connection, version_id)
            snapshot = _snapshot_row(connection, project.id, version["data_snapshot_id"])
            taken = connection.execute(
                "SELECT 1 FROM files WHERE version_id = ? AND filename = ?", (version_id, filename)
            ).fetchone()
            if taken is not None:
                raise conflict(
                    f"Version {version['version']} of data snapshot '{snapshot['name']}' "
                    f"already has a file named {filename!r}"
                )
            files = connection.execute("SELECT filename FROM files WHERE version_id = ?", (version_id,))
            where = f"Version {version['version']} of data snapshot '{snapshot['name']}'"
            refuse_case_clash(filename, (row["filename"] for row in files), where)
            file_id = connection.execute(
                "INSERT INTO files (version_id, filename, size, sha256, created_at, state) "
                "VALUES (?, ?, ?, ?, ?, 'pending')",
                (version_id, filename, received.size, received.sha256, _now()),
            ).lastrowid
        target = self._version_dir(project, snapshot["name"], version["version"]) / filename
        try:
            target.parent.mkdir(parents=True, exist_ok=True)
            os.replace(received.temp_path, target)
            _fsync_directory(target.parent)
            with self._writing() as connection:
                connection.execute("UPDATE files SET state = 'stored' WHERE id = ?", (file_id,))
                stored = connection.execute(
                    "SELECT COUNT(*) FROM files WHERE version_id = ? AND state = 'stored'", (version_id,)
                ).fetchone()[0]
                # A version awaiting more files waits a fresh expiry time for the next one.
                complete = stored >= version["file_count"]
                connection.execute(
                    "UPDATE versions SET receiving = 0, status = ?, expires_at = ? WHERE id = ?",
                    (
                        "ready" if complete else "uploading",
                        None if complete else _iso(self._expiry()),
                        version_id,
                    ),
                )
                uploaded = _version_record(connection, snapshot, _version_row(connection, version_id))
                return {
                    **self._snapshot_record(connection, project, snapshot),
                    "latest_version": uploaded,
                }, uploaded
        except BaseException:
            with self._writing() as connection:
                connection.execute("DELETE FROM files WHERE id = ?", (file_id,))
            target.unlink(missing_ok=True)
            raise

    def _expiry(self) -> datetime:
        return datetime.now(UTC) + self.upload_expiry

    def _expire_overdue(self, connection: sqlite3.Connection) -> None:
        connection.execute(
            "UPDATE versions SET status = 'failed', expires_at = NULL "
            "WHERE status = 'uploading' AND receiving = 0 AND expires_at < ?",
            (_now(),),
        )

    def _version_dir(self, project: Project, name: str, number: int) -> Path:
        return self.dataset_root(project) / name / f"v{number}"

    def _snapshot_record(
        self, connection: sqlite3.Connection, project: Project, row: sqlite3.Row
    ) -> dict[str, Any]:
        latest = connection.execute(
            "SELECT * FROM versions WHERE data_snapshot_id = ? ORDER BY version DESC LIMIT 1", (row["id"],)
        ).fetchone()
        count = connection.execute(
            "SELECT COUNT(*) FROM versions WHERE data_snapshot_id = ?", (row["id"],)
        ).fetchone()[0]
        return {
            "id": row["id"],
            "name": row["name"],
            "description": row["description"],
            "workspace_id": project.workspace_id,
            "project_id": project.id,
            "created_by": row["created_by"],
            "created_at": row["created_at"],
            "updated_at": row["updated_at"],
            "version_count": count,
            "latest_version": None if latest is None else _version_record(connection, row, latest),
        }


class UploadWriter:
    """A file in tmp/ being written; `finish` hands it over, `discard` removes it."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._file = open(path, "xb")  # noqa: SIM115 - closed by finish or discard
        self._hash = hashlib.sha256()
        self._size = 0

    def write(self, chunk: bytes) -> None:
        self._file.write(chunk)
        self._hash.update(chunk)
        self._size += len(chunk)

    def finish(self) -> ReceivedFile:
        try:
            self._file.flush()
            os.fsync(self._file.fileno())
        finally:
            self._file.close()
        return ReceivedFile(self.path, self._size, self._hash.hexdigest())

    def discard(self) -> None:
        self._file.close()
        self.path.unlink(missing_ok=True)


def _now() -> str:
    return _iso(datetime.now(UTC))


def _snapshot_row(connection: sqlite3.Connection, project_id: str, snapshot_id: int | None) -> sqlite3.Row:
    return connection.execute(
        "SELECT * FROM data_snapshots WHERE project_id = ? AND id = ?", (project_id, snapshot_id)
    ).fetchone()


def _existing_snapshot_row(connection: sqlite3.Connection, project_id: str, snapshot_id: int) -> sqlite3.Row:
    row = _snapshot_row(connection, project_id, snapshot_id)
    if row is None:
        raise not_found(f"Data snapshot {snapshot_id} not found in project '{project_id}'")
    return row


def _snapshot_row_by_name(connection: sqlite3.Connection, project_id: str, name: str) -> sqlite3.Row | None:
    return connection.execute(
        "SELECT * FROM data_snapshots WHERE project_id = ? AND name = ?", (project_id, name)
    ).fetchone()


def _version_row(connection: sqlite3.Connection, version_id: int) -> sqlite3.Row:
    return connection.execute("SELECT * FROM versions WHERE id = ?", (version_id,)).fetchone()


def _version_record(
    connection: sqlite3.Connection, snapshot: sqlite3.Row, row: sqlite3.Row
) -> dict[str, Any]:
    files = connection.execute(
        "SELECT filename, size, sha256 FROM files WHERE version_id = ? AND state = 'stored' ORDER BY id",
        (row["id"],),
    ).fetchall()
    status = row["status"]
    # Expiry is written down by the next upload request; a reader sees it already.
    if status == "uploading" and not row["receiving"] and row["expires_at"] < _now():
        status = "failed"
    return {
        "id": row["id"],
        "data_snapshot_id": row["data_snapshot_id"],
        "version": row["version"],
        "description": row["description"],
        "status": status,
        "file_count": len(files) if row["file_count"] is None else row["file_count"],
        "files": [
            {
                "filename": file["filename"],
                "size": file["size"],
                "sha256": file["sha256"],
                "path": f"{snapshot['name']}/v{row['version']}/{file['filename']}",
            }
            for file in files
        ],
        "created_by": row["created_by"],
        "argo_workflow_run_id": row["argo_workflow_run_id"],
        "created_at": row["created_at"],
        "expires_at": row["expires_at"] if status == "uploading" else None,
    }


def _snapshot_path(project_id: str, name: str) -> str:
    """A data snapshot's directory under storage/."""
    return f"{project_dir_name(project_id)}/{DATASET_DIR}/{name}"


def _directory_paths(connection: sqlite3.Connection) -> list[str]:
    """The directory of every data snapshot and every version, under storage/."""
    rows = connection.execute(
        "SELECT s.project_id, s.name, v.version FROM data_snapshots s "
        "LEFT JOIN versions v ON v.data_snapshot_id = s.id"
    ).fetchall()
    paths = []
    for row in rows:
        paths.append(_snapshot_path(row["project_id"], row["name"]))
        if row["version"] is not None:
            paths.append(f"{paths[-1]}/v{row['version']}")
    return paths


def _file_rows(connection: sqlite3.Connection) -> list[dict[str, Any]]:
    """Every file record with its path under storage/."""
    rows = connection.execute(
        "SELECT f.id, f.version_id, f.filename, f.state, v.version, s.name, s.project_id FROM files f "
        "JOIN versions v ON v.id = f.version_id JOIN data_snapshots s ON s.id = v.data_snapshot_id"
    ).fetchall()
    return [
        {
            "id": row["id"],
            "version_id": row["version_id"],
            "state": row["state"],
            "path": f"{_snapshot_path(row['project_id'], row['name'])}/v{row['version']}/{row['filename']}",
        }
        for row in rows
    ]


def _add_missing_columns(connection: sqlite3.Connection) -> None:
    added = False
    for table, columns in _ADDED_COLUMNS.items():
        present = {row["name"] for row in connection.execute(f"PRAGMA table_info({table})")}
        for name, declaration in columns:
            if name not in present:
                connection.execute(f"ALTER TABLE {table} ADD COLUMN {name} {declaration}")
                added = True
    if added:
        # A version that waited for files under the old service has no key to pair an upload with.
        connection.execute(
            "UPDATE versions SET status = 'failed' WHERE file_count IS NOT NULL "
            "AND file_count > (SELECT COUNT(*) FROM files WHERE files.version_id = versions.id)"
        )


def _required_pairing_key(key: str | None) -> str:
    if not key:
        raise invalid(
            f"upload-metadata needs a {PAIRING_HEADER} header, which its upload names again "
            "so that the file goes into this version"
        )
    if len(key) > _MAX_PAIRING_KEY:
        raise invalid(f"{PAIRING_HEADER} must be at most {_MAX_PAIRING_KEY} characters long")
    return key


def _lock_data_dir(data_dir: Path) -> IO[bytes]:
    lock = open(data_dir / "velora.lock", "ab")  # noqa: SIM115 - held for the life of the process
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        lock.close()
        raise DataDirectoryInUse(f"another velora-server is using the data directory {data_dir}") from None
    return lock


def _fsync_directory(directory: Path) -> None:
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _iso(moment: datetime) -> str:
    return moment.isoformat(timespec="microseconds")
