"""mount_dataset with a recording rclone first on PATH: the configuration it writes, the commands it runs."""

import os
import stat
from pathlib import Path

import pytest

from velora.dataset import methods

MOUNT_BASE = Path("/home/jovyan/workspace")
EXPECTED_CONFIG = [
    "[veloradataset]",
    "type = webdav",
    "url = http://dav.test/proj/dataset/",
    "bearer_token = t0ken",
    "vendor = other",
    "",
    "[veloradatasetstaged]",
    "type = webdav",
    "url = http://dav.test/proj/dataset-staged/",
    "bearer_token = t0ken",
    "vendor = other",
    "",
]
COMMAND_LINES = [
    "rclone mount veloradataset:/ /home/jovyan/workspace/dataset --dir-cache-time 5s --allow-other --daemon"
    " --read-only",
    "rclone mount veloradatasetstaged:/ /home/jovyan/workspace/dataset-staged --dir-cache-time 5s"
    " --allow-other --daemon",
]
EXPECTED_COMMANDS = [line.split(" ") for line in COMMAND_LINES]


@pytest.fixture
def rclone(recording_rclone, monkeypatch, fake_settings):
    """The recording rclone, with the fake settings patched in."""
    monkeypatch.setattr(methods, "settings", fake_settings)
    return recording_rclone


def config_of(home: Path) -> Path:
    return home / ".config" / "rclone" / "rclone.conf"


def test_writes_the_configuration_and_starts_both_mounts(home, rclone):
    assert methods.mount_dataset() is None
    config = config_of(home)
    assert config.read_bytes().decode("utf-8").split("\n")[:-1] == EXPECTED_CONFIG
    assert config.read_text().splitlines() == EXPECTED_CONFIG
    assert stat.S_IMODE(config.stat().st_mode) == 0o600
    assert rclone.commands == EXPECTED_COMMANDS
    assert (MOUNT_BASE / "dataset").is_dir() and (MOUNT_BASE / "dataset-staged").is_dir()


def test_existing_configuration_is_replaced_and_made_private(home, rclone):
    config = config_of(home)
    config.parent.mkdir(parents=True)
    config.write_text("[old]\ntype = local\n" * 20)
    config.chmod(0o644)
    methods.mount_dataset()
    assert config.read_text().splitlines() == EXPECTED_CONFIG
    assert stat.S_IMODE(config.stat().st_mode) == 0o600


def test_configuration_is_private_whatever_the_umask(home, rclone):
    previous = os.umask(0o000)
    try:
        methods.mount_dataset()
    finally:
        os.umask(previous)
    assert stat.S_IMODE(config_of(home).stat().st_mode) == 0o600
    assert stat.S_IMODE(config_of(home).parent.stat().st_mode) == 0o700


def test_settings_are_written_by_their_text(home, rclone, fake_settings):
    fake_settings.VELORA_WEBDAV_URL = "https://dav.test:8443"
    fake_settings.VELORA_PROJECT_DIR = 42
    fake_settings.VELORA_SDK_TOKEN = "tök"
    methods.mount_dataset()
    lines = config_of(home).read_text(encoding="utf-8").splitlines()
    assert lines[2:4] == ["url = https://dav.test:8443/42/dataset/", "bearer_token = tök"]
    assert lines[8] == "url = https://dav.test:8443/42/dataset-staged/"


@pytest.mark.parametrize("project_id", [None, "", 0])
def test_without_a_project_nothing_is_written_or_started(
    home, rclone, fake_settings, mount_points, project_id
):
    fake_settings.VELORA_PROJECT_ID = project_id
    with pytest.raises(
        ValueError, match=r"^VELORA_PROJECT_ID is not set\. Please call set_joined_project\(\) first\.$"
    ):
        methods.mount_dataset()
    assert not (home / ".config").exists()
    assert rclone.commands == []
    assert {path: path.exists() for path in mount_points} == mount_points


def test_failing_mount_raises_its_error_output_and_stops(home, rclone, monkeypatch):
    monkeypatch.setenv("RCLONE_FAIL", "Fatal error: mount failed – ünïcode")
    with pytest.raises(RuntimeError) as raised:
        methods.mount_dataset()
    assert str(raised.value) == "Fatal error: mount failed – ünïcode"
    assert rclone.commands == EXPECTED_COMMANDS[:1]
    assert config_of(home).read_text().splitlines() == EXPECTED_CONFIG


def test_missing_rclone_raises_the_system_error(home, rclone, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path / "nowhere"))
    with pytest.raises(FileNotFoundError):
        methods.mount_dataset()
    assert rclone.commands == []


def test_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^mount_dataset\(\) takes no arguments \(1 given\)$"):
        methods.mount_dataset(True)
    with pytest.raises(TypeError, match=r"^mount_dataset\(\) takes no keyword arguments$"):
        methods.mount_dataset(force=True)
