"""Records in SQLite and files on disk, under one data directory.

Layout of the data directory:

    velora.sqlite3                      the records
    tmp/                                uploads being received (never served)
    storage/<project dir>/dataset/<dataset name>/v<version>/<file>
    storage/<project dir>/dataset-staged/

An upload is written to tmp/ and renamed into storage/ only once it is complete
and its record is being committed, so storage/ never holds a partial file.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import shutil
import sqlite3
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import IO, Any

DATASET_DIR = "dataset"
STAGED_DIR = "dataset-staged"
MAX_PAGE_SIZE = 1000
COPY_CHUNK_BYTES = 1024 * 1024

# Project ids become directory names and WebDAV share names (matched without
# case), so they are kept to lower-case letters, digits, "-" and "_".
_PROJECT_ID = re.compile(r"^[a-z0-9_-]{1,64}$")
_MAX_NAME_BYTES = 255

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
    if not _PROJECT_ID.match(project_id):
        raise invalid(
            f"Project id must be 1 to 64 lower-case letters, digits, '-' or '_': project_id={project_id!r}"
        )
    return project_id


def check_entry_name(kind: str, name: str) -> str:
    """A dataset or file name, which becomes one path component on disk."""
    if not name or name in (".", ".."):
        raise invalid(f"{kind} must not be empty, '.' or '..': {kind.lower()}={name!r}")
    if "/" in name or "\\" in name or any(ord(char) < 32 for char in name):
        raise invalid(f"{kind} must not contain '/', '\\' or control characters: {kind.lower()}={name!r}")
    if len(name.encode("utf-8")) > _MAX_NAME_BYTES:
        raise invalid(f"{kind} must be at most {_MAX_NAME_BYTES} bytes long: {kind.lower()}={name!r}")
    return name


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


class Store:
    """The service's records and files; safe to use from several threads."""

    def __init__(self, data_dir: Path, on_new_project: Callable[[Project], None] | None = None) -> None:
        self.data_dir = data_dir
        self.storage_dir = data_dir / "storage"
        self.tmp_dir = data_dir / "tmp"
        self.database_path = data_dir / "velora.sqlite3"
        self.on_new_project = on_new_project
        self.storage_dir.mkdir(parents=True, exist_ok=True)
        # Whatever is still in tmp/ was cut off by a stop; it was never a finished file.
        shutil.rmtree(self.tmp_dir, ignore_errors=True)
        self.tmp_dir.mkdir()
        with self._connect() as connection:
            connection.execute("PRAGMA journal_mode=WAL")
            connection.executescript(_SCHEMA)

    # -- connections and transactions -------------------------------------------------

    def _connect(self) -> contextlib.closing[sqlite3.Connection]:
        connection = sqlite3.connect(self.database_path, timeout=30, isolation_level=None)
        connection.row_factory = sqlite3.Row
        connection.execute("PRAGMA foreign_keys=ON")
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
        check_entry_name("Name", name)
        with self._writing() as connection:
            row = _snapshot_row_by_name(connection, project.id, name)
            if row is not None:
                if not exist_ok:
                    raise conflict(f"Data snapshot '{name}' already exists")
                return self._snapshot_record(connection, project, row), False
            row = self._insert_snapshot(connection, project, name, description, created_by)
            return self._snapshot_record(connection, project, row), True

    def snapshot_by_name(self, project: Project, name: str) -> dict[str, Any] | None:
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
        file_count: int | None = None,
        created_by: str | None = None,
        argo_workflow_run_id: str | None = None,
    ) -> dict[str, Any]:
        """A new version of the data snapshot; with `file_count`, one that awaits that many uploads."""
        with self._writing() as connection:
            snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
            version_id = self._insert_version(
                connection, project, snapshot, description, file_count, created_by, argo_workflow_run_id
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

    # -- uploads --------------------------------------------------------------------

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
        self, project: Project, snapshot_id: int, filename: str, received: ReceivedFile
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """File a complete upload into the oldest version still waiting for files.

        Returns the data snapshot record and the version the file went into.
        """
        try:
            check_entry_name("Filename", filename)
            with self._writing() as connection:
                snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
                version = connection.execute(
                    "SELECT v.* FROM versions v WHERE v.data_snapshot_id = ? AND v.file_count IS NOT NULL "
                    "AND (SELECT COUNT(*) FROM files f WHERE f.version_id = v.id) < v.file_count "
                    "ORDER BY v.id LIMIT 1",
                    (snapshot_id,),
                ).fetchone()
                if version is None:
                    raise conflict(
                        f"Data snapshot {snapshot_id} has no upload waiting for files; "
                        "post its upload-metadata first"
                    )
                self._file_into_version(connection, project, snapshot, version, filename, received)
                return self._snapshot_record(connection, project, snapshot), _version_record(
                    connection, snapshot, _version_row(connection, version["id"])
                )
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
        try:
            check_entry_name("Name", name)
            check_entry_name("Filename", filename)
            with self._writing() as connection:
                snapshot = _snapshot_row_by_name(connection, project.id, name)
                if snapshot is None:
                    snapshot = self._insert_snapshot(connection, project, name, description, created_by)
                version_id = self._insert_version(
                    connection, project, snapshot, description, 1, created_by, argo_workflow_run_id
                )
                version = _version_row(connection, version_id)
                self._file_into_version(connection, project, snapshot, version, filename, received)
                return self._snapshot_record(connection, project, snapshot), _version_record(
                    connection, snapshot, _version_row(connection, version_id)
                )
        finally:
            received.temp_path.unlink(missing_ok=True)

    # -- helpers --------------------------------------------------------------------

    def _insert_snapshot(
        self,
        connection: sqlite3.Connection,
        project: Project,
        name: str,
        description: str | None,
        created_by: str | None,
    ) -> sqlite3.Row:
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
        file_count: int | None,
        created_by: str | None,
        argo_workflow_run_id: str | None,
    ) -> int:
        if file_count is not None and file_count < 1:
            raise invalid(f"file_count must be at least 1: file_count={file_count}")
        number = connection.execute(
            "SELECT COALESCE(MAX(version), 0) + 1 FROM versions WHERE data_snapshot_id = ?",
            (snapshot["id"],),
        ).fetchone()[0]
        now = _now()
        cursor = connection.execute(
            "INSERT INTO versions (data_snapshot_id, version, description, file_count, created_by, "
            "argo_workflow_run_id, created_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
            (snapshot["id"], number, description, file_count, created_by, argo_workflow_run_id, now),
        )
        connection.execute("UPDATE data_snapshots SET updated_at = ? WHERE id = ?", (now, snapshot["id"]))
        self._version_dir(project, snapshot["name"], number).mkdir(parents=True, exist_ok=True)
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def _file_into_version(
        self,
        connection: sqlite3.Connection,
        project: Project,
        snapshot: sqlite3.Row,
        version: sqlite3.Row,
        filename: str,
        received: ReceivedFile,
    ) -> None:
        taken = connection.execute(
            "SELECT 1 FROM files WHERE version_id = ? AND filename = ?", (version["id"], filename)
        ).fetchone()
        if taken is not None:
            raise conflict(
                f"Version {version['version']} of data snapshot '{snapshot['name']}' "
                f"already has a file named {filename!r}"
            )
        connection.execute(
            "INSERT INTO files (version_id, filename, size, sha256, created_at) VALUES (?, ?, ?, ?, ?)",
            (version["id"], filename, received.size, received.sha256, _now()),
        )
        target = self._version_dir(project, snapshot["name"], version["version"]) / filename
        target.parent.mkdir(parents=True, exist_ok=True)
        # Inside the write transaction: a failed rename rolls the record back, and
        # no other upload can claim the same name in between.
        os.replace(received.temp_path, target)

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
    return datetime.now(UTC).isoformat(timespec="microseconds")


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
        "SELECT filename, size, sha256 FROM files WHERE version_id = ? ORDER BY id", (row["id"],)
    ).fetchall()
    expected = row["file_count"]
    return {
        "id": row["id"],
        "data_snapshot_id": row["data_snapshot_id"],
        "version": row["version"],
        "description": row["description"],
        "status": "uploading" if expected is not None and len(files) < expected else "ready",
        "file_count": len(files) if expected is None else expected,
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
    }


# -- reading versions and their files back ------------------------------------------


def snapshot_versions(store: Store, project: Project, snapshot_id: int) -> list[dict[str, Any]]:
    """Every version of the data snapshot, oldest first."""
    with store._reading() as connection:
        snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
        rows = connection.execute(
            "SELECT * FROM versions WHERE data_snapshot_id = ? ORDER BY version", (snapshot_id,)
        ).fetchall()
        return [_version_record(connection, snapshot, row) for row in rows]


def version_file(store: Store, project: Project, snapshot_id: int, version_id: int, filename: str) -> Path:
    """Where a stored file of a version is on disk; only files with a record are served."""
    check_entry_name("Filename", filename)
    with store._reading() as connection:
        snapshot = _existing_snapshot_row(connection, project.id, snapshot_id)
        version = _version_row(connection, version_id)
        if version is None or version["data_snapshot_id"] != snapshot_id:
            raise not_found(f"Data snapshot version {version_id} of data snapshot {snapshot_id} not found")
        stored = connection.execute(
            "SELECT 1 FROM files WHERE version_id = ? AND filename = ?", (version_id, filename)
        ).fetchone()
        if stored is None:
            raise not_found(
                f"Version {version['version']} of data snapshot '{snapshot['name']}' has no file {filename!r}"
            )
    return store._version_dir(project, snapshot["name"], version["version"]) / filename
