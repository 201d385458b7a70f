"""mount_dataset's configuration with the real rclone against the local service's WebDAV store."""

import io
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from velora.dataset import methods
from velora.dataset.values import DatasetFileType
from velora.settings import settings

TABLE = pd.DataFrame({"sensor": ["a", "b"], "reading": [0.25, 0.75]})
REAL_RCLONE = shutil.which("rclone")
FUSERMOUNT = shutil.which("fusermount3") or shutil.which("fusermount")

needs_rclone = pytest.mark.skipif(
    REAL_RCLONE is None, reason="rclone is not installed (scripts/system-deps.sh)"
)


def fuse_unusable_reason() -> str | None:
    if REAL_RCLONE is None:
        return "rclone is not installed"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "/dev/fuse is missing or not usable by this user"
    if FUSERMOUNT is None:
        return "fusermount is not installed (fuse3)"
    return None


@pytest.fixture
def saved(platform_settings, monkeypatch, tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    info = methods.save_dataset("sensors", TABLE, DatasetFileType.csv)
    [file] = info.latest_version.files
    return info, f"sensors/v1/{file.filename}"


def real_rclone(home: Path, *args: str) -> subprocess.CompletedProcess[str]:
    """The real rclone, reading its configuration from the default place under `home`."""
    assert REAL_RCLONE is not None
    environment = {**os.environ, "HOME": str(home)}
    return subprocess.run(
        [REAL_RCLONE, *args], env=environment, capture_output=True, text=True, timeout=60, check=False
    )


@needs_rclone
def test_written_configuration_reaches_both_stores(
    platform_settings, saved, home, recording_rclone, tmp_path
):
    _, stored = saved
    methods.mount_dataset()
    assert len(recording_rclone.commands) == 2

    listed = real_rclone(home, "lsf", "-R", "--files-only", "veloradataset:/")
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines() == [stored]
    copied = real_rclone(home, "cat", f"veloradataset:/{stored}")
    assert pd.read_csv(io.StringIO(copied.stdout), index_col=0).equals(TABLE)

    note = tmp_path / "note.txt"
    note.write_text("staged by rclone\n")
    put = real_rclone(home, "copyto", str(note), "veloradatasetstaged:/notes/note.txt")
    assert put.returncode == 0, put.stderr
    assert (platform_settings.staged_dir / "notes" / "note.txt").read_text() == "staged by rclone\n"

    refused = real_rclone(home, "copyto", str(note), "veloradataset:/sensors/note.txt")
    assert refused.returncode != 0
    assert not (platform_settings.dataset_dir / "sensors" / "note.txt").exists()


@needs_rclone
def test_configuration_with_a_wrong_token_is_refused(platform_settings, saved, home, recording_rclone):
    settings.VELORA_SDK_TOKEN = "not-the-token"
    methods.mount_dataset()
    listed = real_rclone(home, "lsf", "veloradataset:/", "--low-level-retries", "1", "--retries", "1")
    assert listed.returncode != 0
    assert "401" in listed.stderr or "nauthorized" in listed.stderr


def unmount(path: Path) -> None:
    if os.path.ismount(path):
        assert FUSERMOUNT is not None
        subprocess.run([FUSERMOUNT, "-u", str(path)], check=True, timeout=60)


@pytest.fixture
def fuse_mounts(mount_points):
    reason = fuse_unusable_reason()
    if reason is not None:
        pytest.skip(reason)
    targets = [path for path in mount_points if path.name in ("dataset", "dataset-staged")]
    if any(os.path.ismount(path) for path in targets):
        pytest.skip("the dataset storage is already mounted on this machine")
    yield targets
    for path in targets:
        unmount(path)


def wait_for(check, timeout: float = 15.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.2)
    return check()


def tree(root: Path) -> list[str]:
    return sorted(str(path.relative_to(root)) + ("/" if path.is_dir() else "") for path in root.rglob("*"))


def test_real_mounts_show_the_storage(platform_settings, saved, home, fuse_mounts):
    info, stored = saved
    dataset, staged = fuse_mounts
    assert methods.mount_dataset() is None
    assert os.path.ismount(dataset) and os.path.ismount(staged)

    assert (dataset / stored).read_bytes() == (platform_settings.dataset_dir / stored).read_bytes()
    with pytest.raises(OSError):
        (dataset / "sensors" / "new.txt").write_text("refused")

    (staged / "from-notebook.npy").write_bytes(np.arange(3).tobytes())
    target = platform_settings.staged_dir / "from-notebook.npy"
    assert wait_for(lambda: target.exists() and target.read_bytes() == np.arange(3).tobytes())

    # Create, rename, move and delete through the mount: the service's disk must follow each step.
    steps = [
        (lambda: (staged / "work").mkdir(), ["from-notebook.npy", "work/"]),
        (lambda: (staged / "from-notebook.npy").rename(staged / "work" / "a.npy"), ["work/", "work/a.npy"]),
        (lambda: (staged / "work").rename(staged / "done"), ["done/", "done/a.npy"]),
        (lambda: shutil.move(staged / "done" / "a.npy", staged / "b.npy"), ["b.npy", "done/"]),
        (lambda: (staged / "done").rmdir(), ["b.npy"]),
        (lambda: (staged / "b.npy").unlink(), []),
    ]
    for step, expected in steps:
        step()
        assert tree(staged) == expected
        assert wait_for(lambda expected=expected: tree(platform_settings.staged_dir) == expected), expected

    # The service's import snippet reads the file through the mount just made.
    answer = methods.get_code_snippet_to_import_dataset(info.id, info.latest_version.id)
    namespace: dict[str, object] = {}
    exec(compile(answer["code_snippet"], "<snippet>", "exec"), namespace)
    pd.testing.assert_frame_equal(namespace["data"], TABLE)
