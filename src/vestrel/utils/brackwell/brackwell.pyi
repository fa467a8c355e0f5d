# Importing this module starts the platform socket library for the process;
# it defines no public names.
from typing import Any, Dict

__test__: Dict[str, Any]
