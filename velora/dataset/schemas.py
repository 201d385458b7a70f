"""Placeholder dataset records (replaced by platform layer)."""

from pydantic import BaseModel, ConfigDict


class DatasetInfo(BaseModel):
    model_config = ConfigDict(extra="allow")


class DatasetVersionInfo(BaseModel):
    model_config = ConfigDict(extra="allow")
