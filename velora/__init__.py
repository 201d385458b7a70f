"""velora: client SDK of the velora machine-learning operations platform."""

from velora.settings import set_joined_project

__all__ = ["set_joined_project"]
