"""velora: client SDK of the velora machine-learning operations platform."""

from velora.settings import set_joined_project

__all__ = ["__version__", "set_joined_project"]


def __getattr__(name: str) -> str:
    # The version the install recorded, read on first use: loading the install's metadata
    # costs more than importing the rest of the package.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = found = version("velora")
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
