"""Platform settings: attributes default from environment variables of the same name."""

import os
from dataclasses import dataclass
from typing import Any


@dataclass
class MLFlowModelRegistryData:
    """Where the model registry's object store is and how to reach it."""

    storage_url: str
    access_key_id: str
    secret_access_key: str


@dataclass
class ModelRegistry:
    data: MLFlowModelRegistryData | None = None


_NAMES = (
    "VELORA_API_URL",
    "VELORA_WORKSPACE_ID",
    "VELORA_PROJECT_ID",
    "VELORA_USER_ID",
    "ARGO_WORKFLOW_RUN_ID",
    "VELORA_SDK_TOKEN",
    "VELORA_WORKLOAD_TOKEN",
    "VELORA_WEBDAV_URL",
    "VELORA_PROJECT_DIR",
    "VELORA_WORKLOAD_TYPE",
    "VELORA_REQUEST_TIMEOUT",
    "VELORA_PROGRESS",
)


def _registry_from_environment() -> ModelRegistry | None:
    url = os.environ.get("VELORA_MODEL_REGISTRY_STORAGE_URL")
    if url is None:
        return None
    return ModelRegistry(
        MLFlowModelRegistryData(
            storage_url=url,
            access_key_id=os.environ.get("VELORA_MODEL_REGISTRY_ACCESS_KEY_ID", ""),
            secret_access_key=os.environ.get("VELORA_MODEL_REGISTRY_SECRET_ACCESS_KEY", ""),
        )
    )


class Settings:
    """The platform's settings; assign an attribute to change it for the next call."""

    VELORA_API_URL: str | None
    VELORA_WORKSPACE_ID: str | None
    VELORA_PROJECT_ID: str | None
    VELORA_USER_ID: str | None
    ARGO_WORKFLOW_RUN_ID: str | None
    VELORA_SDK_TOKEN: str | None
    VELORA_WORKLOAD_TOKEN: str | None
    VELORA_WEBDAV_URL: str | None
    VELORA_PROJECT_DIR: str | None
    VELORA_WORKLOAD_TYPE: str | None
    VELORA_REQUEST_TIMEOUT: str | None
    VELORA_PROGRESS: str | None
    model_registry: Any

    def __init__(self) -> None:
        self.reload()

    def reload(self) -> None:
        """Read every setting afresh from the environment."""
        for name in _NAMES:
            setattr(self, name, os.environ.get(name))
        self.model_registry = _registry_from_environment()


settings = Settings()


def set_joined_project(project_id: str | int) -> None:
    """Make `project_id` the project that calls address."""
    settings.VELORA_PROJECT_ID = str(project_id)
