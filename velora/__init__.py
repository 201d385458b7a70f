"""velora: client SDK of the velora machine-learning operations platform."""

from importlib.metadata import version

from velora.settings import set_joined_project

# One version, the one the install recorded.
__version__ = version("velora")

__all__ = ["__version__", "set_joined_project"]
