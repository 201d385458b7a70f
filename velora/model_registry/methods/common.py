"""Sample types of the model registry's methods: what a model method takes and gives.

One of three `common` modules under `velora.model_registry.methods`: this one holds the sample
types; `artifacts.common` the JSON encoding, model paths and IO names of the documents;
`frameworks.common` the checks on a framework's model object.
"""

from typing import Any

import numpy as np
import pandas as pd

# What a model method takes or gives as one sample.
Sample = pd.DataFrame | np.ndarray | pd.Series | str | bytes

# Method name to that method's samples, in order.
ModelInputsSample = dict[str, list[Sample]]
ModelOutputsSample = dict[str, list[Sample]]

_SUPPORTED_SAMPLE_TYPES = (pd.DataFrame, np.ndarray, pd.Series, str, bytes)


def is_supported_primitive_class(value: Any) -> bool:
    """Whether `value` can stand as a sample: a table, an array, a series, text or bytes."""
    return isinstance(value, _SUPPORTED_SAMPLE_TYPES)
