"""Text input that offers a fixed list of options through a completer popup."""

from typing import Any, Callable, List, Mapping, Optional, Sequence

from qtpy.QtCore import QStringListModel, Qt, Signal
from qtpy.QtWidgets import QAbstractItemView, QCompleter, QLineEdit, QVBoxLayout, QWidget

from ..textfield.textfield import TextField, display_text

Option = Any  # a text, or a dict with "label" and "value"


def _render_text_field(params: Mapping[str, Any]) -> TextField:
    return TextField(**params)


class Autocomplete(QWidget):
    """Reports each pick as ``onChange(value)`` and then ``valueChanged(value)``.

    The value is the picked option itself (dict options stay dicts, for the
    consumer to unwrap), or with ``multiple=True`` the list of options picked so
    far. Clearing the input reports None, or [] in multiple mode.
    """

    valueChanged = Signal(object)

    def __init__(self, *, key: Optional[str] = None, name: Optional[str] = None,
                 selected: Any = False, onChange: Optional[Callable[[Any], Any]] = None,
                 renderInput: Optional[Callable[[Mapping[str, Any]], Any]] = None,
                 options: Sequence[Option] = (), multiple: bool = False,
                 placeholder: Optional[str] = None, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._key, self._name, self._selected = key, name, selected
        self._onChange = onChange
        self._multiple = bool(multiple)
        self._picked: List[Option] = []
        if name:
            self.setObjectName(name)

        render = renderInput or _render_text_field
        # Any widget offering lineEdit(), _set_value() and _set_slot() will do.
        self._inputField: Any = render({"placeholder": placeholder,
                                        "formatValue": self._display, "parent": self})
        self._edit: QLineEdit = self._inputField.lineEdit()
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.setSpacing(0)
        layout.addWidget(self._inputField)

        # The completer is attached with setWidget rather than setCompleter so that it
        # never rewrites the text itself: in multiple mode only the last
        # comma-separated segment is being completed.
        self._model = QStringListModel(self)
        self._completer = QCompleter(self._model, self)
        self._completer.setCaseSensitivity(Qt.CaseSensitivity.CaseInsensitive)
        self._completer.setFilterMode(Qt.MatchFlag.MatchContains)
        self._completer.setCompletionMode(QCompleter.CompletionMode.PopupCompletion)
        self._completer.setWidget(self._edit)
        self._completer.activated[str].connect(self.pick)
        self._edit.textEdited.connect(self._on_text_edited)
        self._edit.returnPressed.connect(self._on_return)
        self.setOptions(options)

    def options(self) -> List[Option]:
        return list(self._options)

    def setOptions(self, options: Sequence[Option]) -> None:
        self._options = list(options)
        self._model.setStringList([display_text(o) for o in self._options])

    def completer(self) -> QCompleter:
        return self._completer

    def _popup(self) -> QAbstractItemView:
        popup = self._completer.popup()
        assert popup is not None  # QCompleter always creates a default popup
        return popup

    def pick(self, text: str) -> None:
        """Choose the option labelled ``text``, exactly as a user pick does."""
        option = self._find(text)
        if option is None:
            raise ValueError(f"no option labelled {text!r}")
        if self._multiple:
            if not any(p is option for p in self._picked):
                self._picked.append(option)
            value: Any = list(self._picked)
        else:
            value = option
        self._inputField._set_value(value=value, valueChanged=False)
        self._report(value)

    def _report(self, value: Any) -> None:
        if self._onChange:
            self._onChange(value)
        self.valueChanged.emit(value)

    def _find(self, text: str) -> Optional[Option]:
        text = text.strip()
        for match in (lambda label: label == text,
                      lambda label: label.casefold() == text.casefold()):
            for option in self._options:
                if match(display_text(option)):
                    return option
        return None

    def _display(self, value: Any) -> str:
        # The form writes back unwrapped values; show them by their option label.
        for option in self._options:
            if isinstance(option, dict) and "value" in option and option["value"] == value:
                return display_text(option)
        return display_text(value)

    def _segment(self, text: str) -> str:
        return (text.rsplit(",", 1)[-1] if self._multiple else text).strip()

    def _on_text_edited(self, text: str) -> None:
        if not text.strip():
            self._popup().hide()
            self._picked = []
            self._report([] if self._multiple else None)
            return
        self._completer.setCompletionPrefix(self._segment(text))
        self._completer.complete()

    def _on_return(self) -> None:
        popup = self._popup()
        if popup.isVisible() and popup.currentIndex().isValid():
            return  # the completer itself activates the highlighted row
        popup.hide()
        option = self._find(self._segment(self._edit.text()))
        if option is not None:
            self.pick(display_text(option))
