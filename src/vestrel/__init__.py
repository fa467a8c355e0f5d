"""vestrel: move byte messages from native threads into Python."""

import os as _os

__all__ = ["get_include"]


def get_include() -> str:
    """Return the folder of vestrel's public C headers (``#include <vestrel/...>``)."""
    return _os.path.join(_os.path.dirname(__file__), "include")
