"""The request layer over real HTTP: against the local platform service, and against a
scripted loopback server where an exact request or an odd answer must be seen."""

from __future__ import annotations

import base64
import hashlib
import io
import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from collections.abc import Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

from velora.common.corlett import (
    CorlettError,
    PlatformConnectionError,
    PlatformRequestError,
    PlatformTimeoutError,
    corlett,
    pairing_key,
)
from velora.settings import settings

REPO = Path(__file__).resolve().parents[2]
MiB = 1024 * 1024


# -- a scripted loopback server ---------------------------------------------------------


@dataclass
class Seen:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes


@dataclass
class Reply:
    status: int = 200
    body: bytes = b"{}"
    content_type: str = "application/json"
    delay: float = 0.0


@dataclass
class ScriptedServer:
    url: str
    seen: list[Seen] = field(default_factory=list)
    replies: dict[str, Reply] = field(default_factory=dict)


def _read_body(handler: BaseHTTPRequestHandler) -> bytes:
    if handler.headers.get("Transfer-Encoding", "").lower() == "chunked":
        parts = []
        while size := int(handler.rfile.readline().split(b";")[0], 16):
            parts.append(handler.rfile.read(size))
            handler.rfile.readline()
        handler.rfile.readline()
        return b"".join(parts)
    return handler.rfile.read(int(handler.headers.get("Content-Length", 0)))


@pytest.fixture
def scripted(restore_settings: Any) -> Iterator[ScriptedServer]:
    server_state: ScriptedServer

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def _answer(self) -> None:
            body = _read_body(self)
            headers = {name.lower(): value for name, value in self.headers.items()}
            server_state.seen.append(Seen(self.command, self.path, headers, body))
            reply = server_state.replies.get(urllib.parse.urlsplit(self.path).path, Reply())
            time.sleep(reply.delay)
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.content_type)
            self.send_header("Content-Length", str(len(reply.body)))
            self.end_headers()
            self.wfile.write(reply.body)

        do_GET = do_POST = _answer

        def log_message(self, *args: Any) -> None:
            pass

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    server_state = ScriptedServer(url=f"http://127.0.0.1:{httpd.server_address[1]}")
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    settings.VELORA_API_URL = server_state.url
    settings.VELORA_SDK_TOKEN = "secret-token"
    settings.VELORA_REQUEST_TIMEOUT = None
    yield server_state
    httpd.shutdown()
    httpd.server_close()


# -- what is sent ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("path", "credential"),
    [
        ("/v1/sdk/workspaces/1/projects/2/data-snapshots", "sdk"),
        ("/v1/internal/workspaces/projects/2/data-snapshots", "workload"),
        ("/v1/sdkx/anything", None),
        ("/v1/internalx/anything", None),
        ("/v1/health", None),
    ],
)
@pytest.mark.parametrize("method", ["get", "post"])
def test_each_token_goes_only_to_its_own_family(
    scripted: ScriptedServer, path: str, credential: str | None, method: str
) -> None:
    settings.VELORA_WORKLOAD_TOKEN = "workload-secret"
    getattr(corlett, method)(path)
    headers = scripted.seen[-1].headers
    assert headers.get("authorization") == ("Bearer secret-token" if credential == "sdk" else None)
    assert headers.get("x-velora-workload-token") == ("workload-secret" if credential == "workload" else None)


def test_base_address_may_carry_a_path_and_trailing_slash(scripted: ScriptedServer) -> None:
    settings.VELORA_API_URL = scripted.url + "/platform/"
    corlett.get("/v1/sdk/x")
    assert scripted.seen[-1].path == "/platform/v1/sdk/x"


def test_get_sends_params_and_leaves_out_none(scripted: ScriptedServer) -> None:
    corlett.get("/v1/internal/x/name", params={"name": "iris data", "user_id": None})
    assert scripted.seen[-1].path == "/v1/internal/x/name?name=iris+data"


def test_query_written_into_the_path_is_kept(scripted: ScriptedServer) -> None:
    corlett.get("/v1/sdk/x?page=2&page_size=5")
    assert scripted.seen[-1].path == "/v1/sdk/x?page=2&page_size=5"


def test_json_body(scripted: ScriptedServer) -> None:
    corlett.post("/v1/sdk/x", json_data={"name": "é", "exist_ok": False})
    seen = scripted.seen[-1]
    assert seen.headers["content-type"] == "application/json"
    assert json.loads(seen.body) == {"name": "é", "exist_ok": False}


def test_form_fields_are_url_encoded_without_none(scripted: ScriptedServer) -> None:
    corlett.post("/v1/internal/x", data={"name": "a b", "exist_ok": True, "user_id": None, "n": 3})
    seen = scripted.seen[-1]
    assert seen.headers["content-type"] == "application/x-www-form-urlencoded"
    assert urllib.parse.parse_qs(seen.body.decode()) == {"name": ["a b"], "exist_ok": ["true"], "n": ["3"]}


@pytest.mark.parametrize("filename", ["table.csv", 'q"uote.csv', "new\nline.csv"])
def test_form_fields_with_files_go_multipart_with_the_streams_name(
    scripted: ScriptedServer, tmp_path: Path, filename: str
) -> None:
    source = tmp_path / filename
    source.write_bytes(b"a,b\n1,2\n")
    with source.open("rb") as stream:
        if filename != "table.csv":
            # The part would carry the name escaped, and it would be stored so.
            with pytest.raises(ValueError, match="must not contain '\"' or control characters: filename="):
                corlett.post("/v1/internal/x/sdk", data={"name": "t"}, files={"file": stream})
            assert scripted.seen == []
            return
        corlett.post("/v1/internal/x/sdk", data={"name": "t", "description": None}, files={"file": stream})
    seen = scripted.seen[-1]
    assert seen.headers["content-type"].startswith("multipart/form-data; boundary=")
    assert b'name="name"\r\n\r\nt\r\n' in seen.body
    assert b'name="description"' not in seen.body
    assert b'name="file"; filename="table.csv"' in seen.body
    assert b"a,b\n1,2\n" in seen.body


def test_raw_body_sends_what_is_left_of_the_stream(scripted: ScriptedServer) -> None:
    stream = io.BytesIO(b"0123456789")
    stream.seek(4)
    corlett.post("/v1/sdk/x/upload", data=stream, headers={"Filename": "eA=="})
    seen = scripted.seen[-1]
    assert seen.body == b"456789"
    assert seen.headers["content-length"] == "6"
    assert seen.headers["filename"] == "eA=="


def test_posts_of_one_thread_share_a_pairing_key_no_other_thread_or_child_has(
    scripted: ScriptedServer,
) -> None:
    corlett.post("/v1/sdk/x/upload-metadata", json_data={})
    corlett.post("/v1/sdk/x/upload", data=b"x", headers={"Filename": "eA=="})
    other = threading.Thread(target=corlett.post, args=("/v1/sdk/x/upload-metadata",))
    other.start()
    other.join()
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:  # the forked child reports its key and leaves at once
        os.write(writer, pairing_key().encode())
        os._exit(0)
    os.close(writer)
    os.waitpid(child, 0)
    with os.fdopen(reader, "rb") as pipe:
        child_key = pipe.read().decode()
    keys = [seen.headers["velora-pairing-key"] for seen in scripted.seen]
    assert keys[0] == keys[1] == pairing_key()
    assert len({keys[0], keys[2], child_key}) == 3
    assert all(len(key) == 32 for key in (*keys, child_key))


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"json_data": {}, "data": {}}, "either json_data or data"),
        ({"data": io.BytesIO(b"x"), "files": {"file": io.BytesIO(b"y")}}, "raw body together with files"),
        ({"data": io.StringIO("text")}, "binary stream"),
        ({"data": 42}, "got int"),
    ],
)
def test_bodies_that_cannot_be_sent_are_refused_before_sending(
    scripted: ScriptedServer, kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError, match=message):
        corlett.post("/v1/sdk/x", **kwargs)
    assert scripted.seen == []


# -- what comes back ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("reply", "expected"),
    [
        (Reply(body=b'{"data_snapshot": {"id": 3}}'), {"data_snapshot": {"id": 3}}),
        (Reply(status=201, body=b"[1, 2]"), [1, 2]),
        (Reply(status=200, body=b""), None),
        (Reply(status=204, body=b""), None),
    ],
)
def test_answers_are_decoded_json_and_empty_is_none(
    scripted: ScriptedServer, reply: Reply, expected: Any
) -> None:
    scripted.replies["/v1/sdk/x"] = reply
    assert corlett.get("/v1/sdk/x") == expected


def test_a_success_that_is_not_json_is_an_error(scripted: ScriptedServer) -> None:
    scripted.replies["/v1/sdk/x"] = Reply(body=b"<html>proxy page</html>", content_type="text/html")
    with pytest.raises(CorlettError, match="not JSON") as caught:
        corlett.get("/v1/sdk/x")
    assert not isinstance(caught.value, PlatformRequestError)
    assert caught.value.status_code == 200


@pytest.mark.parametrize(
    ("reply", "message"),
    [
        (Reply(500, b'{"message": "disk full"}'), "disk full"),
        (Reply(503, b'{"detail": "warming up"}'), "warming up"),
        (Reply(502, b"Bad gateway from proxy", "text/plain"), "Bad gateway from proxy"),
        (Reply(500, b""), "Internal Server Error"),
    ],
)
def test_scripted_failures_carry_the_services_message(
    scripted: ScriptedServer, reply: Reply, message: str
) -> None:
    scripted.replies["/v1/sdk/x"] = reply
    with pytest.raises(PlatformRequestError) as caught:
        corlett.post("/v1/sdk/x", json_data={})
    error = caught.value
    assert (error.method, error.path, error.status_code, error.message) == (
        "POST",
        "/v1/sdk/x",
        reply.status,
        message,
    )
    assert str(error) == f"POST /v1/sdk/x failed with status {reply.status}: {message}"


def test_service_failures_map_to_one_error_type(platform_settings: Any) -> None:
    base = platform_settings.sdk_base
    (platform_settings.dataset_dir / "blocked").write_text("a file where the dataset directory would go")
    cases = [
        (lambda: corlett.post(f"{base}/999/versions", json_data={}), 404, "Data snapshot 999 not found"),
        (lambda: corlett.post(base, json_data={"name": "blocked"}), 500, "Internal server error"),
    ]
    for send, status, text in cases:
        with pytest.raises(PlatformRequestError) as caught:
            send()
        assert caught.value.status_code == status
        assert text in caught.value.message
    settings.VELORA_SDK_TOKEN = "wrong"
    with pytest.raises(PlatformRequestError) as caught:
        corlett.get(base)
    assert (caught.value.status_code, caught.value.message) == (401, "Invalid bearer token")


def test_refused_connection_names_the_address(restore_settings: Any) -> None:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    settings.VELORA_API_URL = f"http://127.0.0.1:{port}"
    with pytest.raises(PlatformConnectionError) as caught:
        corlett.get("/v1/sdk/x")
    assert isinstance(caught.value, ConnectionError)
    assert f"cannot reach the platform service at http://127.0.0.1:{port}" in str(caught.value)
    assert str(caught.value).startswith("GET /v1/sdk/x: ")


def test_time_out_names_the_address_and_the_limit(scripted: ScriptedServer) -> None:
    scripted.replies["/v1/sdk/slow"] = Reply(delay=1.5)
    settings.VELORA_REQUEST_TIMEOUT = "0.3"
    with pytest.raises(PlatformTimeoutError, match=rf"no answer .* at {scripted.url} within 0.3 s") as caught:
        corlett.get("/v1/sdk/slow")
    assert isinstance(caught.value, TimeoutError)


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        ("VELORA_API_URL", None, "VELORA_API_URL is not set"),
        ("VELORA_API_URL", "", "VELORA_API_URL is not set"),
        ("VELORA_API_URL", "localhost:8000", "VELORA_API_URL must be an http:// or https:// URL"),
        ("VELORA_API_URL", "http://platform:eighty", "VELORA_API_URL must be an http:// or https:// URL"),
        ("VELORA_REQUEST_TIMEOUT", "soon", "must be a number of seconds"),
        ("VELORA_REQUEST_TIMEOUT", "nan", "must be a number of seconds"),
        ("VELORA_REQUEST_TIMEOUT", "inf", "must be a number of seconds"),
        ("VELORA_REQUEST_TIMEOUT", "0", "must be positive"),
        ("VELORA_SDK_TOKEN", "secret-token\r", "VELORA_SDK_TOKEN holds a line end, a control or a non-ASCII"),
        ("VELORA_SDK_TOKEN", "secret-tök", "VELORA_SDK_TOKEN holds a line end, a control or a non-ASCII"),
    ],
)
def test_unusable_settings_are_reported(
    scripted: ScriptedServer, name: str, value: Any, message: str
) -> None:
    setattr(settings, name, value)
    with pytest.raises(CorlettError, match=message) as caught:
        corlett.get("/v1/sdk/x")
    assert type(caught.value) is CorlettError  # not a connection error, which a caller might retry
    assert "secret" not in str(caught.value)
    assert scripted.seen == []


def test_settings_changed_after_import_take_effect_on_the_next_call(scripted: ScriptedServer) -> None:
    for token in ("secret-token", "rotated", None):
        settings.VELORA_SDK_TOKEN = token
        corlett.get("/v1/sdk/x")
    # Without a token setting, an SDK path is sent with no authorization at all.
    assert [seen.headers.get("authorization") for seen in scripted.seen] == [
        "Bearer secret-token",
        "Bearer rotated",
        None,
    ]


# -- streaming uploads against the service ----------------------------------------------


def _write_file(path: Path, size: int) -> str:
    digest = hashlib.sha256()
    block = os.urandom(MiB)
    with path.open("wb") as out:
        for index in range(size // MiB):
            chunk = index.to_bytes(8, "little") + block[8:]
            out.write(chunk)
            digest.update(chunk)
    return digest.hexdigest()


def _run_probe(*args: str) -> dict[str, Any]:
    environment = dict(os.environ)
    for name in (
        "VELORA_API_URL",
        "VELORA_SDK_TOKEN",
        "VELORA_WORKLOAD_TOKEN",
        "VELORA_WORKSPACE_ID",
        "VELORA_PROJECT_ID",
    ):
        environment[name] = str(getattr(settings, name))
    done = subprocess.run(
        [sys.executable, str(REPO / "benchmarks" / "_support" / "upload_probe.py"), *args],
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)  # type: ignore[no-any-return]


@pytest.fixture
def big_file(tmp_path: Path) -> Iterator[tuple[Path, str]]:
    path = tmp_path / "big.bin"
    digest = _write_file(path, 200 * MiB)
    yield path, digest
    path.unlink()


GROWTH_LIMIT = 48 * MiB


def test_raw_upload_streams_a_large_file(platform_settings: Any, big_file: tuple[Path, str]) -> None:
    path, digest = big_file
    base = platform_settings.sdk_base
    snapshot = corlett.post(base, json_data={"name": "big", "exist_ok": True})
    corlett.post(f"{base}/{snapshot['id']}/upload-metadata", json_data={"file_count": 1})
    server_peak_before = platform_settings.server.memory_high_water_bytes()

    upload = f"{base}/{snapshot['id']}/upload"
    report = _run_probe("raw", str(path), upload, "--filename", "big.bin", "--pairing-key", pairing_key())

    [stored] = report["answer"]["uploaded_version"]["files"]
    assert (stored["size"], stored["sha256"]) == (path.stat().st_size, digest)
    on_disk = platform_settings.dataset_dir / stored["path"]
    assert on_disk.stat().st_size == path.stat().st_size
    assert report["peak"] - report["baseline"] < GROWTH_LIMIT
    assert platform_settings.server.memory_high_water_bytes() - server_peak_before < GROWTH_LIMIT
    on_disk.unlink()


def test_multipart_upload_streams_a_large_file(platform_settings: Any, big_file: tuple[Path, str]) -> None:
    path, digest = big_file
    report = _run_probe(
        "multipart",
        str(path),
        f"{platform_settings.internal_base}/sdk",
        "--field",
        "name=big",
        "--field",
        "user_id=u",
    )
    snapshot = report["answer"]["data_snapshot"]
    [stored] = snapshot["uploaded_version"]["files"]
    assert (stored["filename"], stored["size"], stored["sha256"]) == ("big.bin", path.stat().st_size, digest)
    assert report["peak"] - report["baseline"] < GROWTH_LIMIT
    (platform_settings.dataset_dir / stored["path"]).unlink()


def test_stream_without_a_length_goes_chunked_and_arrives_whole(platform_settings: Any) -> None:
    base = platform_settings.sdk_base
    snapshot = corlett.post(base, json_data={"name": "piped"})
    corlett.post(f"{base}/{snapshot['id']}/upload-metadata", json_data={})
    payload = os.urandom(3 * MiB + 17)
    reader, writer = os.pipe()

    def feed() -> None:
        with os.fdopen(writer, "wb") as out:
            out.write(payload)

    feeder = threading.Thread(target=feed)
    feeder.start()
    with os.fdopen(reader, "rb") as stream:
        answer = corlett.post(
            endpoint=f"{base}/{snapshot['id']}/upload", data=stream, headers={"Filename": "cGlwZWQuYmlu"}
        )
    feeder.join()
    [stored] = answer["uploaded_version"]["files"]
    assert (stored["filename"], stored["sha256"]) == ("piped.bin", hashlib.sha256(payload).hexdigest())


@pytest.mark.parametrize(("token", "status"), [("wrong", 401), (None, 409)], ids=["bad token", "not paired"])
def test_refused_upload_is_reported_as_the_refusal_not_a_broken_connection(
    platform_settings: Any, tmp_path: Path, token: str | None, status: int
) -> None:
    path = tmp_path / "refused.bin"
    _write_file(path, 64 * MiB)
    # With the right token, the upload is refused since no upload-metadata opened a version for it.
    snapshot = corlett.post(platform_settings.sdk_base, json_data={"name": "refused"})
    settings.VELORA_SDK_TOKEN = token or settings.VELORA_SDK_TOKEN
    header = base64.b64encode(b"refused.bin").decode()
    with path.open("rb") as stream, pytest.raises(PlatformRequestError) as caught:
        corlett.post(
            endpoint=f"{platform_settings.sdk_base}/{snapshot['id']}/upload",
            data=stream,
            headers={"Filename": header},
        )
    assert caught.value.status_code == status


class _Stderr(io.StringIO):
    def __init__(self, terminal: bool) -> None:
        super().__init__()
        self.terminal = terminal

    def isatty(self) -> bool:
        return self.terminal


@pytest.mark.parametrize(
    ("terminal", "progress", "workload", "size", "shown"),
    [
        (True, None, "dev_instance", 8 * MiB, True),
        (True, "auto", None, 8 * MiB, True),
        ("notebook", None, "dev_instance", 8 * MiB, True),
        (False, None, "dev_instance", 8 * MiB, False),
        (True, "off", "dev_instance", 8 * MiB, False),
        ("notebook", "off", "dev_instance", 8 * MiB, False),
        (True, None, "pipeline", 8 * MiB, False),
        (True, None, "dev_instance", 8 * MiB - 1, False),
    ],
    ids=[
        "terminal",
        "no workload known",
        "notebook",
        "not a terminal",
        "turned off",
        "turned off in a notebook",
        "pipeline",
        "small",
    ],
)
def test_progress_shows_for_large_transfers_on_a_terminal_or_in_a_notebook(
    platform_settings: Any,
    monkeypatch: pytest.MonkeyPatch,
    terminal: bool | str,
    progress: str | None,
    workload: str | None,
    size: int,
    shown: bool,
) -> None:
    payload = os.urandom(size)
    base = platform_settings.sdk_base
    snapshot = corlett.post(base, json_data={"name": "watched"})
    corlett.post(f"{base}/{snapshot['id']}/upload-metadata", json_data={})
    stderr = _Stderr(terminal is True)
    monkeypatch.setattr(sys, "stderr", stderr)
    if terminal == "notebook":
        # A kernel's shell, as a notebook has it; its output is not a terminal.
        shell = type("ZMQInteractiveShell", (), {})()
        monkeypatch.setitem(sys.modules, "IPython", SimpleNamespace(get_ipython=lambda: shell))
    settings.VELORA_PROGRESS, settings.VELORA_WORKLOAD_TYPE = progress, workload

    answer = corlett.post(
        endpoint=f"{base}/{snapshot['id']}/upload", data=io.BytesIO(payload), headers={"Filename": "dy5iaW4="}
    )
    version = answer["uploaded_version"]
    received = io.BytesIO()
    got = corlett.download(
        f"{base}/{snapshot['id']}/versions/{version['id']}/download", received, params={"filename": "w.bin"}
    )

    assert received.getvalue() == payload
    assert got == {"size": size, "sha256": hashlib.sha256(payload).hexdigest()}
    shown_text = stderr.getvalue()
    if shown:
        assert "upload" in shown_text and "download" in shown_text and "8.00M" in shown_text
    else:
        assert shown_text == ""
