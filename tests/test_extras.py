"""The optional parts of the package: without its extra, a module says which extra to install;
the core imports with every extra missing."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

# Loaded at start-up of the child interpreter: the named top-level packages look uninstalled.
HIDE_PACKAGES = """
import os
import sys

HIDDEN = set(os.environ["VELORA_TEST_HIDDEN"].split(","))


class Hide:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in HIDDEN:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


sys.meta_path.insert(0, Hide())
"""
EVERY_EXTRA = "mlflow,boto3,botocore,fastapi,starlette,uvicorn,multipart,python_multipart,wsgidav,a2wsgi"
CORE = (
    "import velora.cli, velora.common.enum_, velora.dataset.corlett, velora.dataset.methods, "
    "velora.inference_services.brinwell, velora.model_registry.values"
)
SERVER_COMMAND = "velora-server"


@pytest.mark.parametrize(
    ("program", "hidden", "extra"),
    [
        (CORE, EVERY_EXTRA, None),
        ("import velora.model_registry.schemas", "mlflow", "model-registry"),
        ("import velora.model_registry.methods.frameworks.mlflow", "boto3", "model-registry"),
        ("import velora.model_registry.methods.artifacts.common", "mlflow", "model-registry"),
        ("import velora.server.app", "fastapi", "server"),
        ("import velora.server.webdav", "wsgidav", "server"),
        (SERVER_COMMAND, "uvicorn", "server"),
    ],
)
def test_a_missing_extra_is_named(tmp_path: Path, program: str, hidden: str, extra: str | None) -> None:
    (tmp_path / "sitecustomize.py").write_text(HIDE_PACKAGES)
    environment = {
        **os.environ,
        "PYTHONPATH": str(tmp_path),
        "VELORA_TEST_HIDDEN": hidden,
        # An editable install reports its rebuild check on standard output unless told not to.
        "SKBUILD_EDITABLE_VERBOSE": "0",
    }
    if program == SERVER_COMMAND:
        command = [str(Path(sys.executable).parent / SERVER_COMMAND), "--data-dir", str(tmp_path / "data")]
    else:
        command = [sys.executable, "-P", "-c", program]
    result = subprocess.run(
        command, env=environment, capture_output=True, text=True, timeout=120, check=False
    )
    if extra is None:
        assert result.returncode == 0, result.stderr
        return
    assert result.returncode == 1
    lines = result.stderr.strip().splitlines()
    named = f"it comes with velora's {extra} extra; install it with: pip install 'velora[{extra}]'"
    assert named in lines[-1]
    if program == SERVER_COMMAND:
        assert lines == [lines[-1]] and lines[0].startswith("velora-server: No module named 'uvicorn'")
        assert not (tmp_path / "data").exists()
