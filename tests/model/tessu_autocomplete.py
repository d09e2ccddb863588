from typing import Callable, Optional, Sequence

from qtpy.QtCore import Qt, Property, Slot, Signal
from qtpy.QtWidgets import QWidget, QVBoxLayout, QFrame, QLabel

from zarvel.material.styles import useTheme

from zarvel.hooks import useState
from zarvel.hooks.use_state import State
from ...material.controller import Controller
from ..textfield.textfield import TextField
from ...material.auto_complete.complete import Autocomplete


class TessuAutocomplete(QFrame):
    valueChanged = Signal(object)

    def __init__(
        self,
        name,
        key: Optional[str] = None,
        label: Optional[str] = None,
        selected: bool = False,
        onChange: Optional[Callable] = None,
        helperText: str = None,
        **kwargs,
    ):
        # Only plain text (or nothing) makes a usable key, label or helper text; a str
        # subclass could carry behaviour the form layer does not expect.
        for argument, given in (("key", key), ("label", label), ("helperText", helperText)):
            if given is not None and type(given) is not str:
                raise TypeError(
                    f"Argument '{argument}' has incorrect type "
                    f"(expected str, got {type(given).__name__})"
                )
        super().__init__()
        self._key = key
        self._state, self._setState = useState("None")
        self.setLayout(QVBoxLayout())
        self.layout().setContentsMargins(0, 0, 0, 0)
        self.layout().setSpacing(0)

        self._name = name
        self._label = label
        self._value = None
        self._selected = selected
        self._helperText = helperText
        self._onChange = onChange
        self._stateSignal = None

        self._complete = Autocomplete(
            key=self._key,
            name=self._name,
            selected=self._selected,
            onChange=lambda newValue: self.set_value(newValue),
            renderInput=lambda params: TextField(label=self._label, **params),
            **kwargs,
        )
        self.layout().addWidget(Controller(name=name, control=False, render=self._complete))

        self.lbl_helper_text = QLabel(self)
        self.lbl_helper_text.setStyleSheet(f"""
            padding-left: 8px;
            {useTheme().typography.caption.to_qss_props()}
            font-size: 11px;
        """)
        self.lbl_helper_text.setText("")
        self.layout().addWidget(self.lbl_helper_text)

        self._complete.valueChanged.connect(self.set_value)

    def set_value(self, value=None):
        if isinstance(value, dict):
            value = value.get("value")
        self._value = value
        # Clearing a multiple selection leaves [], which the form treats as no value.
        if self._value == []:
            self._value = None
        if isinstance(self._selected, State):
            self._selected.value = True
        # The owner and the signal see the value as it came in, before normalising.
        if self._onChange:
            self._onChange(value)
        self.valueChanged.emit(value)
        if self._key == "Resolution_keyyyyyyyyyyyyy":
            print("Resolution_keyyyyyyyyyyyyy", self._value)
        # The autocomplete may report a value while it is still being built, before
        # _complete exists; any failure to reach it means there is nothing to write back,
        # except the want of memory, which says nothing of whether it is there.
        try:
            self._complete  # noqa: B018 (only whether it can be read matters)
        except MemoryError:
            raise
        except BaseException:
            pass
        else:
            self._complete._inputField._set_value(value=self._value, valueChanged=False)
        self._setState(self._value)

    @Property(bool)
    def stateSignal(self):
        return self._stateSignal

    @stateSignal.setter
    def stateSignal(self, value):
        self._stateSignal = value
        self._stateSignal.connect(self.state)

    @Slot(object)
    def state(self, state):
        theme = useTheme()
        if not self._name == state.get("field"):
            return
        if state.get("error"):
            self._complete._inputField._set_slot(
                {"slot": "error", "message": state.get("error_message")}
            )
            # An error reported without any message (None, or messages of length 0) still
            # gets the error look, with an empty caption, rather than an exception escaping
            # from the slot mid-update. Messages without a length are indexed as they are.
            set_text = self.lbl_helper_text.setText
            messages = state.get("error_message")
            try:
                empty = messages is None or len(messages) == 0
            except Exception:
                empty = False
            set_text("" if empty else str(messages[0]))
            self.lbl_helper_text.setStyleSheet(f"""
                    padding-left: 8px;
                    font-size: {theme.typography.caption.fontSize};
                    font-weight: {theme.typography.caption.fontWeight};
                    color: {theme.palette.error.main};
                """)
            if not self.lbl_helper_text.isVisible():
                self.lbl_helper_text.show()
        else:
            self._complete._inputField._set_slot({"slot": "valid"})
            self.lbl_helper_text.hide()


__test__ = {}

