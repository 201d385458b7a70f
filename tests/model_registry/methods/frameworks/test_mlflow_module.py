"""What loading the built module imports."""

import subprocess
import sys
from pathlib import Path

MODULE = "velora.model_registry.methods.frameworks.mlflow"


def test_loading_imports_no_framework_runtime(tmp_path: Path) -> None:
    probe = (
        f"import sys, {MODULE}\n"
        "print(sorted(m for m in ('torch', 'tensorflow', 'keras', 'onnxruntime', 'onnx', 'xgboost')"
        " if m in sys.modules))"
    )
    # Run away from the source tree, which would shadow the installed package.
    loaded = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, check=True, cwd=tmp_path
    )
    # The last line: an editable install may report its rebuild first.
    assert loaded.stdout.splitlines()[-1] == "[]"
