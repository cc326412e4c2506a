from typing import Any
