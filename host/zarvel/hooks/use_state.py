"""A minimal observable value, in the style of component state hooks."""

from typing import Any, Callable, List, Tuple

Subscriber = Callable[[Any], None]


class State:
    """Holds one value and tells its subscribers about every assignment.

    Assigning ``value`` directly notifies too, so a form that flips
    ``state.value = True`` is observed the same way as a setter call.
    """

    def __init__(self, value: Any = None) -> None:
        self._value = value
        self._subscribers: List[Subscriber] = []

    @property
    def value(self) -> Any:
        return self._value

    @value.setter
    def value(self, value: Any) -> None:
        self._value = value
        # Iterate over a copy: a subscriber may unsubscribe while being notified.
        for callback in list(self._subscribers):
            callback(value)

    def subscribe(self, callback: Subscriber) -> Callable[[], None]:
        """Call ``callback(value)`` after each assignment; returns an unsubscribe function."""
        self._subscribers.append(callback)

        def unsubscribe() -> None:
            if callback in self._subscribers:
                self._subscribers.remove(callback)

        return unsubscribe

    def __repr__(self) -> str:
        return f"State({self._value!r})"


def useState(initial: Any = None) -> Tuple[State, Callable[[Any], None]]:
    """Return ``(state, setter)``; ``setter(v)`` assigns ``state.value = v``."""
    state = State(initial)

    def setState(value: Any) -> None:
        state.value = value

    return state, setState
