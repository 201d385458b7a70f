"""The .pyi stubs of the dataset modules describe the built modules."""

import subprocess
import sys


def test_stubs_match_the_built_modules():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velora.dataset.corlett", "velora.dataset.methods"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
