"""Every extension module ships a .pyi stub that matches what was built."""

import importlib
import importlib.machinery
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
NATIVE_MODULES = re.findall(r"^velora_module\((\S+)", (ROOT / "CMakeLists.txt").read_text(), re.MULTILINE)


def test_native_modules_are_extensions_with_stubs() -> None:
    assert NATIVE_MODULES
    for name in NATIVE_MODULES:
        module = importlib.import_module(name)
        assert module.__file__ is not None
        assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), name
        assert (ROOT / (name.replace(".", "/") + ".pyi")).is_file(), f"{name} has no stub"


@pytest.mark.parametrize("module", NATIVE_MODULES)
def test_stub_matches_module(module: str) -> None:
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            module,
            "--mypy-config-file",
            str(ROOT / "pyproject.toml"),
            "--allowlist",
            str(ROOT / "tests" / "stubtest-allowlist.txt"),
            "--ignore-unused-allowlist",
        ],
        capture_output=True,
        text=True,
        cwd=ROOT / "tests",
    )
    assert result.returncode == 0, result.stdout + result.stderr
