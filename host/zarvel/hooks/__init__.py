"""Plain-Python state hooks."""

from .use_state import State, useState

__all__ = ["State", "useState"]
