"""The built module as a whole: its stub, and what loading it imports."""

import subprocess
import sys
from pathlib import Path

MODULE = "velora.model_registry.methods.frameworks.mlflow"

# MLflow's own package is large and untyped; the stub is checked against the
# built module, not MLflow's internals.
MYPY_CONFIG = """\
[mypy]
ignore_missing_imports = True
[mypy-mlflow.*,torch.*,tensorflow.*,onnxruntime.*,boto3.*,botocore.*]
follow_imports = skip
"""


def test_stub_matches_the_module(tmp_path: Path) -> None:
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    checked = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), MODULE],
        capture_output=True,
        text=True,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_loading_imports_no_framework_runtime() -> None:
    probe = (
        f"import sys, {MODULE}\n"
        "print(sorted(m for m in ('torch', 'tensorflow', 'keras', 'onnxruntime', 'onnx', 'xgboost')"
        " if m in sys.modules))"
    )
    loaded = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    # The last line: an editable install may report its rebuild first.
    assert loaded.stdout.splitlines()[-1] == "[]"
