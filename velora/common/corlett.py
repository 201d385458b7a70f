"""The platform's request layer: one HTTP request per call, to `settings.VELORA_API_URL`.

Paths under "/v1/sdk/" carry the SDK token as a bearer token; paths under
"/v1/internal/" carry the pipeline's workload credential (`VELORA_WORKLOAD_TOKEN`)
in the "X-Velora-Workload-Token" header instead; other paths carry neither.
Answers are decoded JSON (an empty answer is None). Any failure is
raised as a `CorlettError`: `PlatformRequestError` for a non-2xx answer,
`PlatformConnectionError` when the service cannot be reached or the connection
breaks off during the request, and `PlatformTimeoutError` when it does not
answer in time.

Request bodies taken from open streams (`data=` a binary stream, `files=`) are
sent in chunks as they are read, and `download` writes an answer's body into a
stream as it arrives, so a transfer's size does not show in memory. A transfer
of at least `PROGRESS_MIN_BYTES` shows a progress bar on standard error when
that is a terminal or a notebook; never in a pipeline, nor when the setting
`VELORA_PROGRESS` is "off".

Every POST carries a "Velora-Pairing-Key" header: a random key of the calling
thread (a new one in a forked child). An SDK upload is two requests,
upload-metadata then the upload itself, made one after the other on one thread;
the key lets the service put the file into the version that thread opened.
"""

from __future__ import annotations

import concurrent.futures
import functools
import hashlib
import io
import json
import math
import os
import secrets
import ssl
import sys
import threading
import warnings
from collections.abc import Iterator, Mapping
from pathlib import Path
from types import TracebackType
from typing import IO, Any

import httpx

from velora.common.utils import inspect_workload_type
from velora.common.values import WorkloadType
from velora.settings import settings

SDK_PATH_PREFIX = "/v1/sdk/"
PAIRING_HEADER = "Velora-Pairing-Key"
INTERNAL_PATH_PREFIX = "/v1/internal/"
WORKLOAD_TOKEN_HEADER = "X-Velora-Workload-Token"
DEFAULT_TIMEOUT_SECONDS = 30.0
UPLOAD_CHUNK_BYTES = 1024 * 1024
DOWNLOAD_BATCH_BYTES = 4 * 1024 * 1024
PROGRESS_MIN_BYTES = 8 * 1024 * 1024
_PROGRESS_OFF = ("off", "0", "false", "no")
_MESSAGE_LIMIT = 500


class CorlettError(Exception):
    """A request to the platform service failed; `message` says why."""

    def __init__(
        self,
        message: str,
        *,
        method: str,
        path: str,
        url: str | None = None,
        status_code: int | None = None,
    ) -> None:
        super().__init__(f"{method} {path}: {message}")
        self.message = message
        self.method = method
        self.path = path
        self.url = url
        self.status_code = status_code


class PlatformRequestError(CorlettError):
    """The service answered with a status outside 2xx."""

    status_code: int

    def __init__(self, message: str, *, method: str, path: str, url: str, status_code: int) -> None:
        super().__init__(message, method=method, path=path, url=url, status_code=status_code)
        self.args = (f"{method} {path} failed with status {status_code}: {message}",)


class PlatformConnectionError(CorlettError, ConnectionError):
    """The service could not be reached, or the connection broke off before its answer."""


class PlatformTimeoutError(CorlettError, TimeoutError):
    """The service did not answer within the request time-out."""


class Corlett:
    """Sends requests to the platform service named by the settings at each call."""

    def get(self, endpoint: str, params: Mapping[str, Any] | None = None) -> Any:
        """GET `endpoint` with query `params` (None values are left out)."""
        return _send("GET", endpoint, params=_without_none(params))

    def post(
        self,
        endpoint: str,
        json_data: Any = None,
        data: Mapping[str, Any] | IO[bytes] | bytes | None = None,
        files: Mapping[str, IO[bytes]] | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> Any:
        """POST `endpoint`.

        `json_data` is sent as a JSON body. `data` is either a mapping of form
        fields (None values left out; multipart when `files` is given, else
        URL-encoded) or an open binary stream (or bytes) sent as the raw body.
        `files` maps a multipart field name to an open binary stream.
        """
        request: dict[str, Any] = {"headers": {PAIRING_HEADER: pairing_key(), **(headers or {})}}
        progress = _Progress("upload")
        if json_data is not None and data is not None:
            raise TypeError("corlett.post takes either json_data or data, not both")
        if json_data is not None:
            request["json"] = json_data
        if isinstance(data, Mapping):
            request["data"] = _without_none(data)
        elif data is not None:
            if files:
                raise TypeError("corlett.post cannot send a raw body together with files")
            request["content"], length = _raw_body(data, progress)
            if length is not None:
                request["headers"].setdefault("Content-Length", str(length))
        if files:
            for stream in files.values():
                _check_multipart_filename(stream)
            request["files"] = {name: progress.watch(stream) for name, stream in files.items()}
        with progress:
            return _send("POST", endpoint, **request)

    def download(self, endpoint: str, binary: IO[bytes], params: Mapping[str, Any] | None = None) -> Any:
        """GET `endpoint` with query `params` and write the answer's body into `binary` as it arrives.

        Returns {"size": bytes written, "sha256": their hex digest}.
        """
        return _send("GET", endpoint, params=_without_none(params), sink=binary)


corlett = Corlett()

_thread = threading.local()


def pairing_key() -> str:
    """The calling thread's random key; a forked child makes its own, since its parent goes on using it."""
    pid = os.getpid()
    if getattr(_thread, "pid", None) != pid:
        _thread.pid, _thread.key = pid, secrets.token_hex(16)
    return str(_thread.key)


def _send(method: str, endpoint: str, sink: IO[bytes] | None = None, **request: Any) -> Any:
    base = _base_url(method, endpoint)
    url = base + endpoint
    headers = request.pop("headers", None) or {}
    if endpoint.startswith(SDK_PATH_PREFIX) and settings.VELORA_SDK_TOKEN:
        headers["Authorization"] = f"Bearer {_credential('VELORA_SDK_TOKEN', method, endpoint)}"
    if endpoint.startswith(INTERNAL_PATH_PREFIX) and settings.VELORA_WORKLOAD_TOKEN:
        headers[WORKLOAD_TOKEN_HEADER] = _credential("VELORA_WORKLOAD_TOKEN", method, endpoint)
    timeout = _timeout_seconds(method, endpoint)
    try:
        with (
            httpx.Client(timeout=timeout, verify=_tls_context()) as client,
            client.stream(method, url, headers=headers, **request) as response,
        ):
            received = _receive(response, sink)
    except httpx.TransportError as exc:
        raise _transport_error(exc, base, timeout, method=method, path=endpoint, url=url) from exc
    if not response.is_success:
        raise PlatformRequestError(
            _error_message(response), method=method, path=endpoint, url=url, status_code=response.status_code
        )
    if sink is not None:
        return received
    if not response.content:
        return None
    try:
        return response.json()
    except ValueError as exc:
        raise CorlettError(
            f"the service answered {response.status_code} with a body that is not JSON: "
            f"{_clip(response.text)!r}",
            method=method,
            path=endpoint,
            url=url,
            status_code=response.status_code,
        ) from exc


def _transport_error(
    exc: httpx.TransportError, base: str, timeout: float, *, method: str, path: str, url: str
) -> CorlettError:
    kind: type[CorlettError] = PlatformConnectionError
    if isinstance(exc, httpx.TimeoutException):
        kind = PlatformTimeoutError
        text = f"no answer from the platform service at {base} within {timeout:g} s"
    elif isinstance(exc, httpx.ConnectError):
        text = f"cannot reach the platform service at {base}: {exc}"
    else:
        # Reached, then lost: a reset or a closed connection in the middle of the request
        # (an upload may have been partly sent).
        text = f"the connection to the platform service at {base} broke off: {exc or type(exc).__name__}"
    return kind(text, method=method, path=path, url=url)


@functools.cache
def _tls_context() -> ssl.SSLContext:
    # Loading the CA bundle is most of what a new client costs; it is the same for every call.
    return httpx.create_ssl_context()


def _base_url(method: str, endpoint: str) -> str:
    base = settings.VELORA_API_URL
    if not base:
        raise CorlettError(
            "VELORA_API_URL is not set; point it at the platform service (locally: run velora-server)",
            method=method,
            path=endpoint,
        )
    if not endpoint.startswith("/"):
        raise ValueError(f"endpoint must start with '/': endpoint={endpoint!r}")
    # A mistyped address is a setting to fix, not a connection to retry.
    try:
        url: httpx.URL | None = httpx.URL(str(base))
    except httpx.InvalidURL:
        url = None
    if url is None or url.scheme not in ("http", "https") or not url.host:
        raise CorlettError(
            f"VELORA_API_URL must be an http:// or https:// URL: VELORA_API_URL={base!r}",
            method=method,
            path=endpoint,
        )
    return str(base).rstrip("/")


def _credential(name: str, method: str, endpoint: str) -> str:
    # A header carries printable ASCII only; a token with a line end (from a file saved with
    # CRLF, say) is a setting to fix, and the message does not repeat the secret.
    value = str(getattr(settings, name))
    if not (value.isascii() and value.isprintable()):
        raise CorlettError(
            f"{name} holds a line end, a control or a non-ASCII character, which a request header "
            "cannot carry (the value is not shown)",
            method=method,
            path=endpoint,
        )
    return value


def _timeout_seconds(method: str, endpoint: str) -> float:
    value = settings.VELORA_REQUEST_TIMEOUT
    if value is None or value == "":
        return DEFAULT_TIMEOUT_SECONDS
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        seconds = math.nan
    if not math.isfinite(seconds):
        raise CorlettError(
            f"VELORA_REQUEST_TIMEOUT must be a number of seconds: VELORA_REQUEST_TIMEOUT={value!r}",
            method=method,
            path=endpoint,
        )
    if seconds <= 0:
        raise CorlettError(
            f"VELORA_REQUEST_TIMEOUT must be positive: VELORA_REQUEST_TIMEOUT={value!r}",
            method=method,
            path=endpoint,
        )
    return seconds


def _check_multipart_filename(stream: IO[bytes]) -> None:
    """Refuse a file name that a multipart part would carry changed.

    httpx writes '"' and control characters as "%22", "%0A" and so on, which the receiver
    cannot tell from the same text written out; the name would be stored changed.
    """
    filename = Path(str(getattr(stream, "name", "upload"))).name  # as httpx names the part
    if any(char == '"' or ord(char) < 0x20 for char in filename):
        raise ValueError(
            "A file name uploaded as a form part must not contain '\"' or control characters: "
            f"filename={filename!r}"
        )


def _without_none(mapping: Mapping[str, Any] | None) -> dict[str, Any] | None:
    # httpx would send None as an empty value, which a service reads as "" rather than "unset".
    if mapping is None:
        return None
    return {key: value for key, value in mapping.items() if value is not None}


def _raw_body(
    data: IO[bytes] | bytes | bytearray | memoryview, progress: _Progress
) -> tuple[bytes | Iterator[bytes], int | None]:
    if isinstance(data, (bytes, bytearray, memoryview)):
        body = bytes(data)
        return body, len(body)
    if isinstance(data, io.TextIOBase):
        raise TypeError("corlett.post needs a binary stream for data, not a text stream")
    if not hasattr(data, "read"):
        raise TypeError(
            f"corlett.post data must be a mapping, bytes or a binary stream, got {type(data).__name__}"
        )
    return _chunks(progress.watch(data)), _remaining_length(data)


def _chunks(stream: IO[bytes]) -> Iterator[bytes]:
    while chunk := stream.read(UPLOAD_CHUNK_BYTES):
        yield chunk


def _remaining_length(stream: IO[bytes]) -> int | None:
    # What is left from the current position; a stream that cannot seek goes chunked.
    try:
        if not stream.seekable():
            return None
        position = stream.tell()
        end = stream.seek(0, os.SEEK_END)
        stream.seek(position)
    except (AttributeError, OSError, ValueError):
        return None
    return max(end - position, 0)


def _error_message(response: httpx.Response) -> str:
    try:
        body = response.json()
    except ValueError:
        body = None
    if isinstance(body, dict):
        for key in ("message", "detail", "error"):
            value = body.get(key)
            if isinstance(value, str) and value:
                return value
            if value:
                return json.dumps(value, ensure_ascii=False)
    text = response.text.strip()
    return _clip(text) if text else response.reason_phrase or "no message"


def _clip(text: str) -> str:
    return text if len(text) <= _MESSAGE_LIMIT else text[:_MESSAGE_LIMIT] + "..."


def _receive(response: httpx.Response, sink: IO[bytes] | None) -> dict[str, Any] | None:
    """A success's body written into `sink` as it arrives, hashed on the way; any other body read whole.

    Writing and hashing (both without the interpreter lock) run on a second thread while the next
    batch of pieces is received, so that they overlap the transfer where a core is free. Pieces are
    batched as they arrive, never joined, so no byte is copied on the way; one batch at most waits,
    so memory stays flat.
    """
    if sink is None or not response.is_success:
        response.read()
        return None
    digest = hashlib.sha256()
    size = 0
    length = response.headers.get("Content-Length")

    def keep(pieces: list[bytes]) -> None:
        for piece in pieces:
            sink.write(piece)
            digest.update(piece)

    with (
        _Progress("download", int(length) if length and length.isdigit() else None) as progress,
        concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="velora-download") as keeper,
    ):
        kept: concurrent.futures.Future[None] = concurrent.futures.Future()
        kept.set_result(None)
        batch: list[bytes] = []
        batched = 0
        for piece in response.iter_bytes():
            batch.append(piece)
            batched += len(piece)
            if batched >= DOWNLOAD_BATCH_BYTES:
                kept.result()
                kept = keeper.submit(keep, batch)
                size += batched
                progress.update(batched)
                batch, batched = [], 0
        kept.result()
        keep(batch)
        size += batched
        progress.update(batched)
    return {"size": size, "sha256": digest.hexdigest()}


class _Progress:
    """The progress bar of one transfer, shown while it runs when it is big enough and wanted.

    `watch` counts what is read from a stream and adds what is left of it to the total; a
    stream of unknown length leaves the total unknown, and then no bar is shown.
    """

    def __init__(self, description: str, total: int | None = 0) -> None:
        self.description = description
        self.total = total
        self._bar: Any = None

    def watch(self, stream: IO[bytes]) -> IO[bytes]:
        from tqdm.utils import CallbackIOWrapper

        left = _remaining_length(stream)
        self.total = None if left is None or self.total is None else self.total + left
        return CallbackIOWrapper(self.update, stream, "read")  # type: ignore[return-value]

    def update(self, count: int) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def __enter__(self) -> _Progress:
        if self.total is not None and self.total >= PROGRESS_MIN_BYTES and progress_wanted():
            with warnings.catch_warnings():
                # In a notebook without ipywidgets the auto mode warns and draws a text bar.
                warnings.simplefilter("ignore")
                from tqdm.auto import tqdm

            self._bar = tqdm(
                total=self.total,
                desc=self.description,
                unit="B",
                unit_scale=True,
                unit_divisor=1024,
                leave=False,
                file=sys.stderr,
            )
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        if self._bar is not None:
            self._bar.close()


def progress_wanted() -> bool:
    """Whether transfers show progress: not turned off, not a pipeline, and someone to see it."""
    if str(settings.VELORA_PROGRESS or "").strip().lower() in _PROGRESS_OFF:
        return False
    try:
        if inspect_workload_type() == WorkloadType.pipeline:
            return False
    except ValueError:
        pass  # an unknown VELORA_WORKLOAD_TYPE is the operations' to report, not a transfer's
    return _in_notebook() or _is_terminal(sys.stderr)


def _in_notebook() -> bool:
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return type(shell).__name__ == "ZMQInteractiveShell"


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
