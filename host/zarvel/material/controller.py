"""Binds a rendered input widget to a named form field."""

from typing import Any, Optional

from qtpy.QtWidgets import QVBoxLayout, QWidget


class Controller(QWidget):
    """Frame for one form field: it shows ``render`` flush, with no extra space."""

    def __init__(self, *, name: str, control: Any, render: QWidget,
                 parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.name = name
        self.control = control
        # Not stored as ``render``: that would shadow QWidget.render().
        self.field_widget = render
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.setSpacing(0)
        layout.addWidget(render)
