"""Widgets that keep what they are given, and layouts that keep their widgets."""

from enum import Enum

from .QtCore import QCoreApplication, QObject, Signal


class QApplication(QCoreApplication):
    @staticmethod
    def allWidgets():
        return []


class QWidget(QObject):
    def __init__(self, parent=None, *args, **kwargs):
        super().__init__(parent)
        self._layout = None
        self._visible = False
        self._style = ""

    def setLayout(self, layout):
        self._layout = layout

    def layout(self):
        return self._layout

    def setStyleSheet(self, sheet):
        self._style = sheet

    def styleSheet(self):
        return self._style

    def show(self):
        self._visible = True

    def hide(self):
        self._visible = False

    def isVisible(self):
        return self._visible

    def setVisible(self, visible):
        self._visible = bool(visible)


class QFrame(QWidget):
    pass


class QLabel(QWidget):
    def __init__(self, text=None, parent=None, *args, **kwargs):
        if not isinstance(text, str):
            text, parent = "", text
        super().__init__(parent)
        self._text = text

    def setText(self, text):
        self._text = text

    def text(self):
        return self._text


class QLineEdit(QWidget):
    textChanged = Signal(str)
    textEdited = Signal(str)
    returnPressed = Signal()

    def __init__(self, parent=None, *args, **kwargs):
        super().__init__(parent)
        self._text = ""

    def setText(self, text):
        self._text = text

    def text(self):
        return self._text

    def setPlaceholderText(self, text):
        pass

    def setCompleter(self, completer):
        pass

    def setToolTip(self, text):
        self._tool_tip = text


class QAbstractItemView(QWidget):
    pass


class QCompleter(QObject):
    """Takes every setting and does nothing with it: no test here types into a field."""

    CompletionMode = Enum("CompletionMode", "PopupCompletion InlineCompletion")
    activated = Signal(str)

    def __init__(self, *args, **kwargs):
        super().__init__()
        self._popup = QAbstractItemView()

    def popup(self):
        return self._popup

    def __getattr__(self, name):
        if name.startswith("set") or name == "complete":
            return lambda *args, **kwargs: None
        raise AttributeError(name)


class QVBoxLayout(QObject):
    def __init__(self, parent=None, *args, **kwargs):
        super().__init__(parent)
        self._items = []
        if parent is not None:
            parent.setLayout(self)

    def addWidget(self, widget, *args):
        self._items.append(widget)

    def setContentsMargins(self, *margins):
        self._margins = margins

    def setSpacing(self, spacing):
        self._spacing = spacing

    def count(self):
        return len(self._items)
