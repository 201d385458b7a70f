"""Runs every benchmark script of this folder in turn."""

import subprocess
import sys
from pathlib import Path

for script in sorted(Path(__file__).parent.glob("bench_*.py")):
    print(f"== {script.name}", flush=True)
    subprocess.run([sys.executable, str(script)], check=False)
