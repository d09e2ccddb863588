"""A labelled single-line text input with a normal and an error look."""

from typing import Any, Callable, Mapping, Optional

from qtpy.QtCore import Signal
from qtpy.QtWidgets import QLabel, QLineEdit, QVBoxLayout, QWidget

from ..styles import useTheme

SLOTS = ("valid", "error")


def display_text(value: Any) -> str:
    """How a single value reads in the field: option dicts by their label."""
    if isinstance(value, dict):
        value = value.get("label", value.get("value"))
    return "" if value is None else str(value)


class TextField(QWidget):
    textChanged = Signal(str)  # every change, unless written with valueChanged=False
    textEdited = Signal(str)   # changes typed by the user only

    def __init__(self, label: Optional[str] = None, *, placeholder: Optional[str] = None,
                 formatValue: Optional[Callable[[Any], str]] = None,
                 parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._format = formatValue or display_text
        self._slot = "valid"
        self._message: Any = None

        self._label = QLabel(label or "", self)
        self._label.setVisible(bool(label))
        self._edit = QLineEdit(self)
        if placeholder:
            self._edit.setPlaceholderText(placeholder)
        self._edit.textChanged.connect(self.textChanged)
        self._edit.textEdited.connect(self.textEdited)

        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.setSpacing(2)
        layout.addWidget(self._label)
        layout.addWidget(self._edit)
        self._restyle()

    # Accessors
    def lineEdit(self) -> QLineEdit:
        return self._edit

    def text(self) -> str:
        return self._edit.text()

    def label(self) -> str:
        return self._label.text()

    def slot(self) -> str:
        return self._slot

    def message(self) -> Any:
        return self._message

    # Calls made by the form layer
    def _set_value(self, value: Any = None, valueChanged: bool = True) -> None:
        if value is None:
            text = ""
        elif isinstance(value, (list, tuple)):
            text = ", ".join(self._format(item) for item in value)
        else:
            text = self._format(value)
        # A write-back from the form (valueChanged=False) must not look like a new choice.
        blocked = self._edit.signalsBlocked()
        self._edit.blockSignals(blocked or not valueChanged)
        try:
            self._edit.setText(text)
        finally:
            self._edit.blockSignals(blocked)

    def _set_slot(self, request: Mapping[str, Any]) -> None:
        slot = request.get("slot")
        if slot not in SLOTS:
            raise ValueError(f"unknown TextField slot {slot!r}; expected one of {SLOTS}")
        self._slot = slot
        self._message = request.get("message") if slot == "error" else None
        self._restyle()

    def _restyle(self) -> None:
        theme = useTheme()
        label_css = theme.typography.caption.to_qss_props()
        if self._slot == "error":
            colour = theme.palette.error.main
            self._label.setStyleSheet(f"{label_css} color: {colour};")
            self._edit.setStyleSheet(f"border: 1px solid {colour}; border-radius: 4px;"
                                     " padding: 4px;")
            message = self._message
            if isinstance(message, (list, tuple)):
                message = "\n".join(str(m) for m in message)
            self._edit.setToolTip("" if message is None else str(message))
        else:
            self._label.setStyleSheet(label_css)
            self._edit.setStyleSheet(f"border: 1px solid {theme.palette.divider};"
                                     " border-radius: 4px; padding: 4px;")
            self._edit.setToolTip("")
