# Two entry points for a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_TOOLS := scikit-build-core pybind11 ninja cmake

.PHONY: demo test test-pydantic1 dev system-deps lint format sanitize bench clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip $(BUILD_TOOLS)

# Debian packages the suite drives for real (database servers, rclone, FUSE).
system-deps:
	./scripts/system-deps.sh

# Installs the package with everything the suite needs, then runs it all.
test: $(VENV)/bin/python system-deps
	$(PIP) install -q --no-build-isolation '.[test]'
	$(PY) -m pytest

# The model registry records again under pydantic 1, in an environment of
# their own (own build directory, so the two environments never share a CMake cache).
PYDANTIC1_VENV ?= .venv-pydantic1
PYDANTIC1_PY := $(PYDANTIC1_VENV)/bin/python
PYDANTIC1_TESTS ?= tests/model_registry/

$(PYDANTIC1_PY):
	$(PYTHON) -m venv $(PYDANTIC1_VENV)
	$(PYDANTIC1_PY) -m pip install -q --upgrade pip $(BUILD_TOOLS)

# -P: the source tree (no built modules) must not shadow the installed package.
test-pydantic1: $(PYDANTIC1_PY)
	$(PYDANTIC1_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/pydantic1 '.[test]' 'pydantic<2'
	$(PYDANTIC1_PY) -P -m pytest $(PYDANTIC1_TESTS)

# Editable install for development: imports rebuild changed C++ sources.
dev: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true -e '.[test,dev]'

demo: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation '.[test]'
	$(PY) examples/demo.py

lint: $(VENV)/bin/python
	$(PY) -m ruff check velora tests benchmarks examples
	$(PY) -m ruff format --check velora tests benchmarks examples
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp')

format:
	$(PY) -m ruff format velora tests benchmarks examples
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

bench: $(VENV)/bin/python
	$(PIP) install -q --no-build-isolation '.[test,dev]'
	$(PY) benchmarks/run_all.py

clean:
	rm -rf build $(VENV) $(PYDANTIC1_VENV)
