# Two entry points for a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_TOOLS := scikit-build-core pybind11 ninja cmake

.PHONY: demo test dev system-deps lint format sanitize bench clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip $(BUILD_TOOLS)

# Debian packages the suite drives for real (database servers, rclone, FUSE).
system-deps:
	./scripts/system-deps.sh

# Installs the package with everything the suite needs, then runs it all.
test: $(VENV)/bin/python system-deps
	$(PIP) install -q --no-build-isolation '.[test]'
	$(VENV)/bin/pytest

# Editable install for development: imports rebuild changed C++ sources.
dev: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true -e '.[test,dev]'

demo: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation .
	$(PY) examples/demo.py

lint: $(VENV)/bin/python
	$(PY) -m ruff check velora tests benchmarks examples
	$(PY) -m ruff format --check velora tests benchmarks examples
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp')

format:
	$(PY) -m ruff format velora tests benchmarks examples
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_VENV := .venv-asan
sanitize: system-deps
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip $(BUILD_TOOLS)
	$(ASAN_VENV)/bin/pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.VELORA_SANITIZE=ON -Ccmake.build-type=Debug '.[test]'
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(ASAN_VENV)/bin/pytest -x -q

bench: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation '.[test,dev]'
	$(PY) benchmarks/run_all.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
