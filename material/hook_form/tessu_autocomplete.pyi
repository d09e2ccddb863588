# Type information for the compiled field; the module itself carries none.
from typing import Any, Callable, ClassVar, Protocol

from qtpy.QtCore import Signal
from qtpy.QtWidgets import QFrame, QLabel

from zarvel.hooks.use_state import State

__test__: dict[str, Any]

class _FormState(Protocol):
    # What the form emits: read with "field", "error" and "error_message".
    def get(self, key: str, /) -> Any: ...

class _StateSignal(Protocol):
    # A bound signal carrying form states, of whichever binding qtpy picked.
    def connect(self, slot: Callable[[Any], Any], /) -> Any: ...

class TessuAutocomplete(QFrame):
    # Emits each new value, after a {"value": ...} option has been unwrapped.
    valueChanged: ClassVar[Signal]
    lbl_helper_text: QLabel
    def __init__(
        self,
        name: object,
        key: str | None = None,
        label: str | None = None,
        selected: bool | State = False,
        onChange: Callable[[Any], object] | None = None,
        helperText: str | None = None,
        **kwargs: Any,
    ) -> None: ...
    def set_value(self, value: Any = None) -> None: ...
    @property
    def stateSignal(self) -> _StateSignal | None: ...
    @stateSignal.setter
    def stateSignal(self, value: _StateSignal) -> None: ...
    def state(self, state: _FormState) -> None: ...
