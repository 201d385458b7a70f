"""The registration example, run as a user runs it."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parents[4] / "examples" / "register_model.py"


def test_documents_written_and_revision_read_back(tmp_path: Path) -> None:
    pytest.importorskip("velora.model_registry.schemas", reason="the schema module is not part of this build")
    finished = subprocess.run(
        [sys.executable, str(EXAMPLE), "--output", str(tmp_path)], capture_output=True, text=True, timeout=600
    )
    assert finished.returncode == 0, finished.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "velora_io_sample.json",
        "velora_model_config.json",
        "velora_revision.json",
    ]
    assert (tmp_path / "velora_revision.json").read_text() == '{"revision": "2"}'
    config = json.loads((tmp_path / "velora_model_config.json").read_text())
    assert list(config) == ["flavors", "signatures", "extensions"]
    assert config["flavors"]["framework"] == "sklearn"
    assert list(config["signatures"]) == ["predict", "predict_proba"]
    assert config["extensions"]["model_info"]["artifact_size"] > 0
    samples = json.loads((tmp_path / "velora_io_sample.json").read_text())
    assert all(samples["signatures"][method]["outputs"] for method in ("predict", "predict_proba"))
    assert finished.stdout.splitlines()[-1] == "revision read back: 2"
