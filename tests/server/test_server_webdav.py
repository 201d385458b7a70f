"""The dataset storage over WebDAV, driven by real rclone with the configuration the SDK writes."""

from __future__ import annotations

import base64
import concurrent.futures
import contextlib
import shutil
import socket
import subprocess
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

RCLONE = shutil.which("rclone")
pytestmark = pytest.mark.skipif(
    RCLONE is None, reason="rclone is not installed (scripts/system-deps.sh installs it)"
)

Rclone = Callable[..., subprocess.CompletedProcess[str]]


def sdk_config(webdav_url: str, project_dir: str, token: str) -> str:
    """The mount configuration in the form the SDK's mount_dataset writes it."""
    sections = []
    for directory in ("dataset", "dataset-staged"):
        remote = "velora" + directory.replace("-", "")
        url = f"{webdav_url}/{project_dir}/{directory}/"
        sections.append(f"[{remote}]\ntype = webdav\nurl = {url}\nbearer_token = {token}\nvendor = other\n\n")
    return "".join(sections)


@pytest.fixture
def rclone(platform_settings: Any, tmp_path: Path) -> Callable[..., Rclone]:
    def with_token(token: str | None = None) -> Rclone:
        config = tmp_path / f"rclone-{token or 'good'}.conf"
        server = platform_settings.server
        config.write_text(
            sdk_config(server.webdav_url, platform_settings.project_dir, token or platform_settings.token)
        )

        def run(*args: str) -> subprocess.CompletedProcess[str]:
            command = [
                str(RCLONE),
                "--config",
                str(config),
                "--retries",
                "1",
                "--low-level-retries",
                "1",
                *args,
            ]
            return subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)

        return run

    return with_token


@pytest.fixture
def uploaded(platform_settings: Any) -> Iterator[bytes]:
    payload = b"a,b\n1,2\n"
    with platform_settings.http() as http:
        base = platform_settings.sdk_base
        snapshot = http.post(base, json={"name": "iris"}).json()
        http.post(f"{base}/{snapshot['id']}/upload-metadata", json={})
        header = base64.b64encode(b"iris.csv").decode()
        http.post(
            f"{base}/{snapshot['id']}/upload", content=payload, headers={"Filename": header}
        ).raise_for_status()
    yield payload


def test_the_sdk_configuration_lists_and_reads_the_datasets(
    rclone: Callable[..., Rclone], uploaded: bytes
) -> None:
    run = rclone()
    listing = run("lsf", "-R", "veloradataset:")
    assert listing.returncode == 0, listing.stderr
    assert listing.stdout.splitlines() == ["iris/", "iris/v1/", "iris/v1/iris.csv"]
    read = run("cat", "veloradataset:iris/v1/iris.csv")
    assert read.stdout.encode() == uploaded


def test_the_staged_directory_takes_writes_renames_and_deletes(
    rclone: Callable[..., Rclone], platform_settings: Any, tmp_path: Path
) -> None:
    run = rclone()
    local = tmp_path / "notes.txt"
    local.write_text("draft")
    staged = platform_settings.staged_dir
    steps = [
        (("copyto", str(local), "veloradatasetstaged:work/notes.txt"), ["work/", "work/notes.txt"]),
        (
            ("moveto", "veloradatasetstaged:work/notes.txt", "veloradatasetstaged:work/final.txt"),
            ["work/", "work/final.txt"],
        ),
        (
            ("copyto", "veloradatasetstaged:work/final.txt", "veloradatasetstaged:copy.txt"),
            ["copy.txt", "work/", "work/final.txt"],
        ),
        (
            ("moveto", "veloradatasetstaged:work", "veloradatasetstaged:done"),
            ["copy.txt", "done/", "done/final.txt"],
        ),
        (("deletefile", "veloradatasetstaged:done/final.txt"), ["copy.txt", "done/"]),
    ]
    for command, listing in steps:
        done = run(*command)
        assert done.returncode == 0, (command, done.stderr)
        assert run("lsf", "-R", "veloradatasetstaged:").stdout.splitlines() == listing, command
        on_disk = sorted(
            str(path.relative_to(staged)) + ("/" if path.is_dir() else "") for path in staged.rglob("*")
        )
        assert on_disk == listing, command
    assert (staged / "copy.txt").read_text() == "draft"


@pytest.mark.parametrize(
    "command",
    [("copyto", "{local}", "veloradataset:iris/new.csv"), ("deletefile", "veloradataset:iris/v1/iris.csv")],
    ids=["write", "delete"],
)
def test_the_dataset_directory_is_read_only(
    rclone: Callable[..., Rclone],
    uploaded: bytes,
    platform_settings: Any,
    tmp_path: Path,
    command: tuple[str, ...],
) -> None:
    local = tmp_path / "new.csv"
    local.write_text("x")
    result = rclone()(*(part.format(local=local) for part in command))
    assert result.returncode != 0
    assert "403" in result.stderr
    assert not (platform_settings.dataset_dir / "iris" / "new.csv").exists()
    assert (platform_settings.dataset_dir / "iris" / "v1" / "iris.csv").read_bytes() == uploaded


def test_a_wrong_token_is_refused(rclone: Callable[..., Rclone], uploaded: bytes) -> None:
    result = rclone("wrong")("lsf", "veloradataset:")
    assert result.returncode != 0
    assert "Invalid bearer token" in result.stderr


@pytest.mark.parametrize(
    ("authorization", "status"), [(None, 401), ("Bearer wrong", 401), ("Bearer {other}", 403)]
)
def test_webdav_needs_the_projects_own_token_for_every_method(
    platform_settings: Any, authorization: str | None, status: int
) -> None:
    other = platform_settings.server.open_project(f"{platform_settings.project_id}w")
    headers = {} if authorization is None else {"Authorization": authorization.format(other=other)}
    url = f"{platform_settings.server.webdav_url}/{platform_settings.project_dir}/dataset-staged/x.txt"
    for method in ("PROPFIND", "GET", "PUT", "DELETE", "OPTIONS", "MKCOL"):
        response = httpx.request(method, url, headers=headers, content=b"x")
        assert response.status_code == status, method
    assert not (platform_settings.staged_dir / "x.txt").exists()


@pytest.mark.parametrize(
    ("method", "path", "destination", "status", "message"),
    [
        ("PROPFIND", "", None, 403, "A token opens its own project only"),
        ("PROPFIND", "/{other}/", None, 403, "This token opens project"),
        ("GET", "/{own}/%2e%2e/%2e%2e/", None, 400, "A WebDAV path must not contain '.' or '..' segments"),
        ("GET", "/{own}/dataset-staged/%2E%2E/%2E%2E/%2E%2E/etc/passwd", None, 400, "A WebDAV path must not"),
        ("PUT", "/{own}/%2e/dataset-staged/a.txt", None, 400, "A WebDAV path must not"),
        ("DELETE", "/{own}/dataset-staged/", None, 403, "The root of a share cannot be deleted or moved"),
        ("DELETE", "/{own}/dataset-staged", None, 403, "The root of a share cannot be deleted or moved"),
        ("MOVE", "/{own}/dataset-staged", "/{own}/dataset-staged/moved", 403, "The root of a share"),
        ("MOVE", "/{own}/dataset-staged/a.txt", "/{other}/dataset-staged/a.txt", 403, "A copy or move lands"),
        ("COPY", "/{own}/dataset-staged/a.txt", "/{own}/dataset/a.txt", 403, "A copy or move lands"),
        ("MOVE", "/{own}/dataset-staged/a.txt", "/{own}/dataset-staged/", 403, "A copy or move lands"),
        (
            "COPY",
            "/{own}/dataset-staged/a.txt",
            "/{own}/dataset-staged/../../x",
            400,
            "A WebDAV path must not",
        ),
        ("MOVE", "/{own}/dataset-staged/a.txt", "/{own}/dataset-staged/q#/..", 400, "A WebDAV path must not"),
        ("COPY", "/{own}/dataset-staged/a.txt", "http://[bad/webdav/x", 400, "Destination is not a URL"),
        ("PUT", "/{own}/dataset-staged/a%00b.txt", None, 400, "A WebDAV name must not hold NUL"),
        ("LOCK", "/{own}", None, 403, "Only the project's dataset-staged takes locks"),
        ("COPY", "/{own}/dataset/a.txt", "/{own}/dataset-staged/a.txt", 403, "A copy or move starts in"),
        (
            "MKCOL",
            "/{own}/dataset-staged/" + "x" * 256,
            None,
            400,
            "A WebDAV name must not hold NUL or exceed 255",
        ),
    ],
    ids=[
        "list-all",
        "list-other",
        "climb",
        "climb-upper",
        "dot",
        "delete-root",
        "delete-root-bare",
        "move-root",
        "move-out",
        "copy-read-only",
        "move-onto-root",
        "copy-climb",
        "move-fragment",
        "copy-not-a-url",
        "put-nul",
        "lock-read-only",
        "copy-from-read-only",
        "mkcol-too-long",
    ],
)
def test_webdav_refuses_what_would_leave_or_break_the_share(
    platform_settings: Any, method: str, path: str, destination: str | None, status: int, message: str
) -> None:
    server = platform_settings.server
    names = {"own": platform_settings.project_dir, "other": f"project-{platform_settings.project_id}v"}
    server.open_project(f"{platform_settings.project_id}v")
    (platform_settings.staged_dir / "a.txt").write_text("kept")
    headers = {"Authorization": f"Bearer {platform_settings.token}"}
    if destination is not None:
        relative = not destination.startswith("http")
        headers["Destination"] = (server.webdav_url if relative else "") + destination.format(**names)
    # Raw request line: a client would fold the dot segments before sending.
    with httpx.Client(base_url=server.url, headers=headers) as client:
        request = client.build_request(method, "/", content=b"x")
        request.url = request.url.copy_with(raw_path=("/webdav" + path.format(**names)).encode())
        response = client.send(request)
    assert response.status_code == status
    assert response.json()["message"].startswith(message)
    assert (platform_settings.staged_dir / "a.txt").read_text() == "kept"
    assert sorted(path.name for path in platform_settings.staged_dir.iterdir()) == ["a.txt"]


@pytest.mark.parametrize(
    "framing",
    [b"Content-Length: 10000\r\n\r\n", b"Transfer-Encoding: chunked\r\n\r\n7d0\r\n"],
    ids=["length", "chunked"],
)
def test_a_put_replaces_a_staged_file_whole_or_not_at_all(platform_settings: Any, framing: bytes) -> None:
    staged = platform_settings.staged_dir
    (staged / "data.bin").write_bytes(b"A" * 5000)
    path = f"/webdav/{platform_settings.project_dir}/dataset-staged/data.bin"
    headers = {"Authorization": f"Bearer {platform_settings.token}"}
    # A client that goes away after a part of its body: the old file stays, a new one never appears.
    for name in ("data.bin", "new.bin"):
        with _raw_connection(platform_settings.server.url) as raw:
            head = f"PUT {path.replace('data.bin', name)} HTTP/1.1\r\nHost: x\r\n"
            raw.sendall(
                f"{head}Authorization: {headers['Authorization']}\r\n".encode() + framing + b"B" * 2000
            )
            time.sleep(0.2)
    time.sleep(0.5)
    assert [(file.name, file.read_bytes()) for file in staged.iterdir()] == [("data.bin", b"A" * 5000)]

    # Two bodies at once: the file holds one of them whole.
    def put(body: bytes) -> int:
        def chunks() -> Iterator[bytes]:
            for start in range(0, len(body), 1000):
                time.sleep(0.01)
                yield body[start : start + 1000]

        with httpx.Client(base_url=platform_settings.server.url, headers=headers) as client:
            sent = {**headers, "Content-Length": str(len(body))}
            return client.put(path.removeprefix("/"), content=chunks(), headers=sent).status_code

    bodies = [b"C" * 30_000, b"D" * 20_000]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        assert sorted(pool.map(put, bodies)) == [204, 204]
    assert (staged / "data.bin").read_bytes() in bodies
    assert not list(platform_settings.server.data_dir.glob("tmp/dav-*"))


def test_webdav_bodies_are_bounded_and_take_no_dead_properties(platform_settings: Any) -> None:
    url = f"{platform_settings.server.webdav_url}/{platform_settings.project_dir}/dataset-staged/"
    headers = {"Authorization": f"Bearer {platform_settings.token}"}
    # XML bodies are read whole: one larger than any client sends is refused before it is read.
    big = httpx.request("PROPFIND", url, headers=headers, content=b" " * (2 << 20))
    assert (big.status_code, big.json()["message"]) == (413, "A PROPFIND body is at most 1048576 bytes")
    # Dead properties would be kept in memory, without a limit.
    patch = (
        b'<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:x="urn:x"><D:set><D:prop>'
        b"<x:note>n</x:note></D:prop></D:set></D:propertyupdate>"
    )
    patched = httpx.request("PROPPATCH", url, headers=headers, content=patch)
    assert patched.status_code == 207 and "403 Forbidden" in patched.text
    # Locks are kept for weeks: a project holds a hundred at most. The first one makes its file.
    lock = (
        b'<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:shared/></D:lockscope>'
        b"<D:locktype><D:write/></D:locktype></D:lockinfo>"
    )
    with httpx.Client(headers=headers) as client:
        answers = [client.request("LOCK", f"{url}locked.txt", content=lock).status_code for _ in range(101)]
    assert answers == [201] + [200] * 99 + [507]
    assert (platform_settings.staged_dir / "locked.txt").read_bytes() == b""


def test_stalled_webdav_clients_hold_no_thread_for_long_nor_another_projects(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    stalling = launch_platform_server(
        tmp_path / "stalling", "token-of-project-1", {"VELORA_SERVER_UPLOAD_EXPIRY": "1"}
    )
    staged = stalling.project_storage("project-1") / "dataset-staged"
    (staged / "big.bin").write_bytes(b"x" * (64 << 20))
    staged_url = "/webdav/project-1/dataset-staged"
    auth = "HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer token-of-project-1\r\n"
    with _raw_connection(stalling.url) as body_stops, _raw_connection(stalling.url) as never_reads:
        body_stops.sendall(f"PUT {staged_url}/new.bin {auth}Content-Length: 9\r\n\r\nab".encode())
        never_reads.sendall(f"GET {staged_url}/big.bin {auth}\r\n".encode())
        body_stops.settimeout(30)
        assert body_stops.recv(1000).startswith(b"HTTP/1.1 408 ")
        # The answer nobody reads is dropped after a second, and its connection closed.
        time.sleep(3)
        never_reads.settimeout(30)
        while never_reads.recv(1 << 20):
            pass
    assert [path.name for path in staged.iterdir()] == ["big.bin"]

    # One project's stalled requests wait for their turn without holding the others' threads.
    server = launch_platform_server(tmp_path / "busy", "token-of-project-1")
    other = server.open_project("2")
    head = f"PUT {staged_url}/f.bin {auth}Content-Length: 9\r\n\r\n".encode()
    with contextlib.ExitStack() as stack:
        for _ in range(80):
            stack.enter_context(_raw_connection(server.url)).sendall(head)
        listing = httpx.request(
            "PROPFIND",
            f"{server.webdav_url}/project-2/dataset-staged/",
            headers={"Authorization": f"Bearer {other}", "Depth": "1"},
            timeout=20,
        )
    assert listing.status_code == 207


def _raw_connection(url: str) -> socket.socket:
    address = httpx.URL(url)
    return socket.create_connection((address.host, address.port))
