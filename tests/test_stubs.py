"""Every extension module ships a .pyi stub that matches what was built; strict type checkers
see the types of what users use."""

import importlib
import importlib.machinery
import os
import re
import shutil
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


# Strict mode as a user runs it, on a copy of the script outside the checkout, so that `velora`
# resolves only through this interpreter's installed package (its stubs and Python modules);
# the script asks pyright for strict mode itself.
STRICT_CHECKERS = {
    "pyright": ["-m", "pyright", "--pythonpath", sys.executable],
    "mypy": ["-m", "mypy", "--strict"],
}


@pytest.mark.parametrize("checker", STRICT_CHECKERS)
def test_user_script_passes_strict_type_checkers(checker: str, tmp_path: Path) -> None:
    script = shutil.copy(ROOT / "tests" / "typing" / "user_script.py", tmp_path)
    result = subprocess.run(
        [sys.executable, *STRICT_CHECKERS[checker], script],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        # No look-up of pyright's newest release over the network on every run.
        env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"},
    )
    assert result.returncode == 0, result.stdout + result.stderr
