"""`velora`: the SDK's dataset operations from a shell (also `python -m velora`).

    velora datasets list [--page N] [--page-size N]
    velora datasets show NAME
    velora datasets versions NAME
    velora datasets upload FILE --name NAME [--description TEXT]
    velora datasets download NAME [--version N] [--to DIR]
    velora datasets snippet NAME [--version N]
    velora mount

`--json` prints what a command gives as JSON, for scripts; `--debug` shows the
traceback of a failure. Both go before or after the command. Exit status: 0 on
success, 1 when the operation failed or its output could not be written (one
line on standard error; none when the reader stopped early, as `| head` does),
2 for wrong usage, 130 when interrupted and 143 when stopped by SIGTERM, after
the command's clean-up. Settings come from the environment, as for the SDK
(`velora.settings`).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
import threading
import traceback
from collections.abc import Callable, Iterator, Sequence
from datetime import date, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any

from velora.common.utils import inspect_workload_type
from velora.common.values import WorkloadType
from velora.dataset.values import DatasetFileType
from velora.settings import settings

# The dataset modules load pandas, pydantic and httpx, most of a second: each command imports
# what it uses, so that --help and wrong usage answer at once.
if TYPE_CHECKING:
    from velora.dataset.schemas import DatasetInfo, DatasetVersionInfo

SUFFIXES = tuple("." + member.value for member in DatasetFileType)
MAX_DESCRIPTION = 100
# What mount_dataset reads.
MOUNT_SETTINGS = ("VELORA_PROJECT_ID", "VELORA_WEBDAV_URL", "VELORA_PROJECT_DIR", "VELORA_SDK_TOKEN")

Command = Callable[[argparse.Namespace], Any]


def main(argv: Sequence[str] | None = None) -> int:
    if sys.stderr is None:
        # Started with standard error closed: messages go nowhere rather than into the output.
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - kept until the process ends
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        args.chooser.error(f"a {'dataset ' if args.chooser is not parser else ''}command is required")
    try:
        with _sigterm_as_exit():
            result = args.command(args)
    except KeyboardInterrupt as exc:
        _failed(exc, args)
        return 130
    except Exception as exc:
        # Ctrl-C while a compiled module loads comes as the ImportError of its initialisation.
        if isinstance(exc.__cause__, KeyboardInterrupt):
            _failed(exc.__cause__, args)
            return 130
        return _failed(exc, args)
    try:
        if sys.stdout is None:  # started with standard output closed
            raise OSError("standard output is closed")
        _show(result, args)
        sys.stdout.flush()
    except Exception as exc:  # the output could not be written: a full disk, a closed pipe, its encoding
        # What was not written stays buffered, and the interpreter flushes it again at exit: it
        # goes nowhere instead, so that this failure is reported once.
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        # A reader that stopped early (`| head`) is no error to report.
        return 1 if isinstance(exc, BrokenPipeError) else _failed(exc, args)
    return 0


@contextlib.contextmanager
def _sigterm_as_exit() -> Iterator[None]:
    """SIGTERM (`timeout`, `kill`, a cancelled job) ends the command through its clean-up, as
    Ctrl-C does: otherwise the process stops at once and leaves a download's partial file."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _exit_on_signal)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _exit_on_signal(signum: int, _frame: object) -> None:
    raise SystemExit(128 + signum)


def _failed(exc: BaseException, args: argparse.Namespace) -> int:
    if args.debug:
        traceback.print_exc()
    else:
        hint = _HINTS.get(str(exc))
        print(f"velora: error: {_one_line(exc)}{f' ({hint})' if hint else ''}", file=sys.stderr)
    return 1


# What a shell user does about an SDK message that names no setting.
_SOURCE_ENV = "`. ./velora.env` sets the local service's settings"
_HINTS = {
    "Unable to inspect workload type": f"set VELORA_WORKLOAD_TYPE to dev_instance or pipeline; {_SOURCE_ENV}"
}


# -- commands ------------------------------------------------------------------------


def _list(args: argparse.Namespace) -> list[DatasetInfo]:
    from velora.dataset import methods

    return methods.get_dataset_list(args.page, args.page_size)


def _show_dataset(args: argparse.Namespace) -> DatasetInfo:
    from velora.dataset import corlett
    from velora.dataset.schemas import DatasetInfo

    family = _family()
    answer = _expect_dict(getattr(corlett, f"{family}_get_data_snapshot_by_name")(args.name))
    found = answer.get("data_snapshot") if answer else None
    if found is None:
        raise ValueError(f"Dataset '{args.name}' does not exist.")
    return DatasetInfo(**found)


def _versions(args: argparse.Namespace) -> list[DatasetVersionInfo]:
    from velora.dataset import methods

    return methods.get_dataset_versions(args.name)


def _upload(args: argparse.Namespace) -> DatasetInfo:
    from velora.dataset import corlett
    from velora.dataset.schemas import DatasetInfo

    # The file goes up as it is: the suffix says its type, nothing is re-encoded.
    family = _family()
    if args.description is not None and len(args.description) > MAX_DESCRIPTION:
        raise ValueError("Description must be less than 100 characters")
    with args.file.open("rb") as binary:
        if family == "sdk":
            answer = corlett.sdk_upload_data_snapshot(args.name, args.file.name, binary, args.description)
        else:
            answer = _expect_dict(corlett.internal_upload_data_snapshot(args.name, binary, args.description))
            answer = answer["data_snapshot"] if answer else None
    return DatasetInfo(**_expect_dict(answer))


def _download(args: argparse.Namespace) -> dict[str, str]:
    from velora.dataset import methods

    return {"path": methods.download_dataset(args.name, args.version, args.to)}


def _snippet(args: argparse.Namespace) -> dict[str, Any]:
    from velora.dataset import methods

    versions = methods.get_dataset_versions(args.name)
    if not versions:
        raise ValueError(f"Dataset '{args.name}' has no versions.")
    wanted = [version for version in versions if args.version in (None, version.version)]
    if not wanted:
        raise ValueError(f"Dataset '{args.name}' has no version {args.version}.")
    chosen = wanted[-1]
    if chosen.data_snapshot_id is None or chosen.id is None:
        raise ValueError(f"The service gave version {chosen.version} of '{args.name}' without its ids.")
    answer = methods.get_code_snippet_to_import_dataset(chosen.data_snapshot_id, chosen.id)
    return _expect_dict(answer) or {}


def _mount(args: argparse.Namespace) -> dict[str, bool]:
    from velora.dataset import methods

    # mount_dataset writes the settings as they are, and rclone mounts an address of "None" too.
    missing = [name for name in MOUNT_SETTINGS if not getattr(settings, name)]
    if missing:
        raise ValueError(f"velora mount needs {', '.join(missing)} set; {_SOURCE_ENV}")
    methods.mount_dataset()
    return {"mounted": True}


def _family() -> str:
    """The client family of this workload, with the messages the dataset operations give."""
    workload = inspect_workload_type()
    if workload is None:
        raise ValueError("Unable to inspect workload type")
    if workload == WorkloadType.dev_instance:
        return "sdk"
    if workload == WorkloadType.pipeline:
        return "internal"
    raise ValueError("entity name of launch param is set to unsupported workload type")


def _expect_dict(answer: Any) -> Any:
    if answer is not None and type(answer) is not dict:
        raise TypeError(f"Expected dict, got {type(answer).__name__}")
    return answer


# -- output --------------------------------------------------------------------------


def _show(result: Any, args: argparse.Namespace) -> None:
    if args.json:
        print(json.dumps(_plain(result), indent=2, ensure_ascii=False, default=_json_value))
    else:
        text = args.render(result)
        if text:
            print(text)


def _plain(value: Any) -> Any:
    from velora.dataset.schemas import DatasetInfo, DatasetVersionInfo
    from velora.pydantic_compat import model_dump

    if isinstance(value, list):
        return [_plain(item) for item in value]
    if isinstance(value, (DatasetInfo, DatasetVersionInfo)):
        return model_dump(value)
    return value


def _json_value(value: Any) -> str:
    return value.isoformat() if isinstance(value, (date, datetime)) else str(value)


def _table(rows: list[list[Any]], heading: list[str]) -> str:
    # A description of several lines would break its row.
    cells = [heading] + [["" if cell is None else _joined_lines(str(cell)) for cell in row] for row in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(len(heading))]
    lines = ("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)) for row in cells)
    return "\n".join(line.rstrip() for line in lines)


def _dataset_rows(datasets: list[DatasetInfo]) -> str:
    rows = [
        [
            dataset.id,
            dataset.name,
            dataset.version_count,
            dataset.latest_version.version if dataset.latest_version else None,
            dataset.description,
        ]
        for dataset in datasets
    ]
    return _table(rows, ["ID", "NAME", "VERSIONS", "LATEST", "DESCRIPTION"])


def _dataset_text(dataset: DatasetInfo) -> str:
    latest = dataset.latest_version
    lines = [
        f"name:        {dataset.name}",
        f"id:          {dataset.id}",
        f"description: {_joined_lines(dataset.description or '')}",
        f"versions:    {dataset.version_count}",
        f"created:     {dataset.created_at}",
        f"updated:     {dataset.updated_at}",
    ]
    if latest is not None:
        files = ", ".join(f"{file.filename} ({file.size} bytes)" for file in latest.files)
        lines.append(f"latest:      version {latest.version}: {files or 'no file'}")
    return "\n".join(lines)


def _snippet_text(answer: dict[str, Any]) -> str:
    return str(answer.get("code_snippet", ""))


def _version_rows(versions: list[DatasetVersionInfo]) -> str:
    rows = [
        [
            version.version,
            version.id,
            version.status,
            ", ".join(f"{file.filename} ({file.size} bytes)" for file in version.files),
            version.created_at,
            version.description,
        ]
        for version in versions
    ]
    return _table(rows, ["VERSION", "ID", "STATUS", "FILES", "CREATED", "DESCRIPTION"])


# -- arguments -----------------------------------------------------------------------


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number, 1 or more: {text}")
    return number


class _ShowVersion(argparse.Action):
    """--version, whose answer is read only when it is asked for."""

    def __init__(self, option_strings: list[str], dest: str, **_: Any) -> None:
        super().__init__(
            option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit"
        )

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        import velora

        parser.exit(message=f"{parser.prog} {velora.__version__}\n")


def _existing_file(text: str) -> Path:
    path = Path(text)
    if path.suffix not in SUFFIXES:
        raise argparse.ArgumentTypeError(f"the file's suffix must be one of {', '.join(SUFFIXES)}: {text}")
    return path


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velora", description="Datasets of the velora platform from the command line."
    )
    parser.add_argument("--version", action=_ShowVersion)
    # The same options after a command: SUPPRESS keeps a command's parser from resetting them.
    shared = argparse.ArgumentParser(add_help=False)
    for target, default in ((parser, False), (shared, argparse.SUPPRESS)):
        target.add_argument("--json", action="store_true", default=default, help="print the result as JSON")
        target.add_argument(
            "--debug", action="store_true", default=default, help="show the traceback of a failure"
        )
    # Without a command, the parser that lacks it reports the usage.
    parser.set_defaults(command=None, chooser=parser)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    about_datasets = "list, inspect, upload and download datasets"
    datasets = commands.add_parser(
        "datasets", parents=[shared], help=about_datasets, description=about_datasets
    )
    datasets.set_defaults(command=None, chooser=datasets)
    actions = datasets.add_subparsers(title="dataset commands", metavar="ACTION")

    def add(name: str, command: Command, render: Callable[[Any], str], about: str) -> argparse.ArgumentParser:
        sub = actions.add_parser(name, parents=[shared], help=about, description=about)
        sub.set_defaults(command=command, render=render)
        return sub

    listing = add("list", _list, _dataset_rows, "one page of the project's datasets")
    listing.add_argument("--page", type=_positive, default=1, help="page number, from 1 (default: 1)")
    listing.add_argument("--page-size", type=_positive, default=1000, help="datasets a page (default: 1000)")
    add("show", _show_dataset, _dataset_text, "a dataset and its latest version").add_argument("name")
    add("versions", _versions, _version_rows, "every version of a dataset, oldest first").add_argument("name")

    upload = add("upload", _upload, _dataset_text, "upload a csv, parquet, npy or pickle file as it is")
    upload.add_argument("file", type=_existing_file, help=f"the file to upload ({', '.join(SUFFIXES)})")
    upload.add_argument("--name", required=True, help="the dataset to upload it to (made if missing)")
    upload.add_argument("--description", help="at most 100 characters")

    download = add("download", _download, lambda result: result["path"], "download a version's file")
    download.add_argument("name")
    download.add_argument("--version", type=int, help="version number (default: the latest with a file)")
    download.add_argument("--to", default=None, help="directory to put the file in (default: here)")

    snippet = add("snippet", _snippet, _snippet_text, "the code that imports a version")
    snippet.add_argument("name")
    snippet.add_argument("--version", type=int, help="version number (default: the latest)")

    about_mount = "mount the project's dataset storage with rclone"
    mount = commands.add_parser("mount", parents=[shared], help=about_mount, description=about_mount)
    mount.set_defaults(
        command=_mount, render=lambda _: "Mounted the project's dataset storage under /home/jovyan/workspace."
    )
    return parser


def _one_line(exc: BaseException) -> str:
    # A message of several lines (rclone's error output) is joined into one.
    message = _joined_lines(str(exc))
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _joined_lines(text: str) -> str:
    """`text` on one line: its lines stripped and joined by " | ", empty ones left out."""
    return " | ".join(line.strip() for line in text.splitlines() if line.strip())
