#!/usr/bin/env bash
# What an install costs: for the core and each extra, from the wheel in dist/ (make wheel) and
# from source (a full compile in a build directory of its own), the time pip takes (warm pip
# cache), the environment's size and its number of distributions (pip and setuptools, which
# every environment has, left out); then the import time of each public module, in the
# environment with every extra. Not part of run_all.py: it builds environments and compiles.
#
#     benchmarks/install_footprint.sh [python]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${1:-python3}
WORK=build/footprint
WHEEL=$(ls dist/velora-*.whl)
rm -rf "$WORK"
mkdir -p "$WORK"

install() {  # <name> <requirement> [pip options...]
  local name=$1 venv=$WORK/$1 requirement=$2
  shift 2
  "$PYTHON" -m venv "$venv"
  local start=$SECONDS
  "$venv/bin/python" -m pip install -q "$@" "$requirement" 2>&1 | grep -v '^WARNING: Location' || true
  local seconds=$((SECONDS - start))
  local count
  count=$("$venv/bin/python" -m pip list --format=freeze 2>/dev/null | grep -cv '^\(pip\|setuptools\)==')
  printf '| %-22s | %4d s | %6s | %3d |\n' "$name" "$seconds" "$(du -sh "$venv" | cut -f1)" "$count"
}

echo "| install                | time   | size   | distributions |"
echo "| ---------------------- | ------ | ------ | ------------- |"
for extra in core model-registry server all; do
  suffix=$([ "$extra" = core ] && echo "" || echo "[$extra]")
  install "wheel-$extra" "$WHEEL$suffix"
done
for extra in core model-registry server all; do
  suffix=$([ "$extra" = core ] && echo "" || echo "[$extra]")
  install "source-$extra" ".$suffix" "-Cbuild-dir=$WORK/build-$extra"
done

echo
# The import's own share of -X importtime: the cumulative times of the outermost imports it
# made (the module, its parent packages first), after the interpreter's start-up.
echo "| module | import time (ms, median of 3) |"
echo "| ------ | ----------------------------- |"
for module in velora velora.dataset.methods velora.dataset.corlett velora.common.enum_ \
  velora.inference_services.brinwell velora.model_registry.schemas velora.model_registry.values \
  velora.model_registry.methods.frameworks.mlflow velora.cli; do
  times=$(for _ in 1 2 3; do
    "$WORK/wheel-all/bin/python" -P -X importtime -c "import sys; print('start', file=sys.stderr); import $module" 2>&1 |
      awk -F'|' '/^start$/ { on = 1 } on && $3 ~ /^ [^ ]/ { total += $2 } END { print int(total / 1000) }'
  done | sort -n)
  printf '| `%s` | %s |\n' "$module" "$(echo "$times" | sed -n 2p)"
done
