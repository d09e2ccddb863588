"""Signals, properties, slots and the few enums the callers name."""

from enum import Enum


class _Namespace:
    pass


Qt = _Namespace()
Qt.CaseSensitivity = Enum("CaseSensitivity", "CaseInsensitive CaseSensitive")
Qt.MatchFlag = Enum("MatchFlag", "MatchStartsWith MatchContains")


class QEvent:
    Type = Enum("Type", "DeferredDelete")


class BoundSignal:
    __slots__ = ("_slots",)

    def __init__(self):
        self._slots = []

    def connect(self, slot):
        self._slots.append(slot)

    def disconnect(self, slot=None):
        if slot is None:
            self._slots.clear()
        else:
            self._slots.remove(slot)

    def emit(self, *args):
        for slot in list(self._slots):
            slot(*args)

    __call__ = emit  # a signal connected to another signal forwards its arguments

    def __getitem__(self, types):  # an overload, as in activated[str]
        return self


class Signal:
    """One BoundSignal per instance, kept in its __dict__ so that connections die with it."""

    def __init__(self, *types, **kwargs):
        self._key = None

    def __set_name__(self, owner, name):
        self._key = "_signal_" + name

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        bound = obj.__dict__.get(self._key)
        if bound is None:
            bound = obj.__dict__[self._key] = BoundSignal()
        return bound


def Property(type_, *args, **kwargs):
    return property


def Slot(*types, **kwargs):
    return lambda function: function


class QObject:
    def __init__(self, parent=None, *args, **kwargs):
        self._parent = parent

    def parent(self):
        return self._parent

    def setObjectName(self, name):
        self._object_name = name

    def objectName(self):
        return getattr(self, "_object_name", "")

    def blockSignals(self, block):
        previous = self.signalsBlocked()
        self._blocked = bool(block)
        return previous

    def signalsBlocked(self):
        return getattr(self, "_blocked", False)

    def setParent(self, parent):
        self._parent = parent

    def deleteLater(self):
        pass


class QCoreApplication(QObject):
    @staticmethod
    def sendPostedEvents(receiver=None, event_type=None):
        pass

    @staticmethod
    def processEvents(*args):
        pass

    @classmethod
    def instance(cls):
        return None


class QStringListModel(QObject):
    def __init__(self, strings=(), parent=None):
        if isinstance(strings, QObject):
            strings, parent = (), strings
        super().__init__(parent)
        self._strings = list(strings)

    def setStringList(self, strings):
        self._strings = list(strings)

    def stringList(self):
        return list(self._strings)
