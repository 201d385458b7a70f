"""What a user of the core install gets from the wheel, checked in the environment it was installed in.

Run with the environment's python and `-P`, from anywhere: every core module imports as built, a
query builder and an enumeration work, `velora --help` runs, and the parts behind an extra say
which extra to install. Prints the number of installed distributions. With `--no-compiler` it
first checks that no C/C++ compiler is on PATH, so that the install it follows needed none.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.metadata
import shutil
import subprocess
import sys
from pathlib import Path

NATIVE_CORE = [
    "velora.common.enum_",
    "velora.dataset.corlett",
    "velora.dataset.methods",
    "velora.inference_services.brinwell",
    "velora.model_registry.values",
    "velora.model_registry.methods.wandb",
]
PYTHON_CORE = ["velora", "velora.cli", "velora.dataset.schemas", "velora.common.corlett"]
# Importable only with their extra; without it, the error names the extra.
BEHIND_EXTRAS = {
    "velora.model_registry.schemas": "model-registry",
    "velora.model_registry.methods.frameworks.mlflow": "model-registry",
    "velora.server.app": "server",
}
COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++"]


def check_no_compiler() -> None:
    found = [name for name in COMPILERS if shutil.which(name)]
    assert not found, f"a compiler is on PATH, so this proves nothing: {found}"


def check_core_modules() -> None:
    for name in NATIVE_CORE:
        path = importlib.import_module(name).__file__ or ""
        assert path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), f"{name} is not compiled: {path}"
    for name in PYTHON_CORE:
        importlib.import_module(name)
    package = Path(importlib.import_module("velora").__file__ or "").parent
    sources = [str(path) for pattern in ("*.cpp", "*.hpp") for path in package.rglob(pattern)]
    assert not sources, f"C++ sources installed: {sources}"
    assert (package / "py.typed").is_file() and list(package.rglob("*.pyi")), "stubs missing"


def check_builder_and_enum() -> None:
    from velora.common.enum_ import StrEnum, auto
    from velora.inference_services.brinwell import PostgreSQLQueryBuilder

    class Colour(StrEnum):
        RED = auto()

    assert Colour.RED == "RED" and Colour.has_value("RED")
    query, parameters = PostgreSQLQueryBuilder().build_select_query("records", limit=5)
    assert query.startswith("SELECT") and "LIMIT" in query, query
    assert isinstance(parameters, dict)


def check_extras_named() -> None:
    for name, extra in BEHIND_EXTRAS.items():
        try:
            importlib.import_module(name)
        except ImportError as error:
            assert f"pip install 'velora[{extra}]'" in str(error), f"{name}: {error}"
        else:
            raise AssertionError(f"{name} imported without the {extra} extra")


def check_commands() -> None:
    scripts = Path(sys.executable).parent
    shown = subprocess.run([scripts / "velora", "--help"], capture_output=True, text=True, check=True)
    assert "datasets" in shown.stdout, shown.stdout
    server = subprocess.run([scripts / "velora-server"], capture_output=True, text=True, check=False)
    assert server.returncode == 1 and "velora[server]" in server.stderr, server.stderr
    assert len(server.stderr.strip().splitlines()) == 1, server.stderr


def main() -> None:
    if "--no-compiler" in sys.argv[1:]:
        check_no_compiler()
    check_core_modules()
    check_builder_and_enum()
    check_extras_named()
    check_commands()
    import velora

    assert velora.__version__ == importlib.metadata.version("velora")
    # What the venv itself brings (pip, and setuptools before 3.12) is not the install's.
    names = {dist.metadata["Name"].lower() for dist in importlib.metadata.distributions()}
    count = len(names - {"pip", "setuptools"})
    print(f"velora {velora.__version__}: the core works as installed; {count} distributions")


if __name__ == "__main__":
    main()
