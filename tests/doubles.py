"""Recording stand-ins for the host framework that the compiled field calls into.

All doubles of one `Host` write what they are asked to do into one shared `Trace`, in call
order, and the trace can be told to raise at a chosen call, so a test can make any host step
fail on purpose. The doubles the widget hands to Qt (layout, caption, Controller,
Autocomplete) are real Qt objects, because Qt's layout and parent bookkeeping must accept
them; they record and then do the real Qt work.

Typical use, with the `host` fixture of conftest::

    fake = Host()
    host(**fake.names())
    w = tessu.TessuAutocomplete("country")
    assert fake.trace.names()[:2] == ["useState", "QVBoxLayout"]
    fake.autocomplete.report(5)          # a pick, as the real Autocomplete reports it

Entries are ``(name, args, kwargs)`` with ``kwargs`` a tuple of ``(key, value)`` pairs in
the order the keywords were passed, so keyword order can be asserted too.
"""

from types import SimpleNamespace

from qtpy.QtCore import Signal
from qtpy.QtWidgets import QLabel, QVBoxLayout, QWidget

HOST_NAMES = ("Autocomplete", "Controller", "QLabel", "QVBoxLayout", "useState", "useTheme",
              "TextField")


class Trace(list):
    """Calls seen by the doubles, in order, plus the faults planned for them."""

    def __init__(self):
        super().__init__()
        self._faults = {}

    def fail(self, name, exc=None, nth=1):
        """Raise `exc` (default RuntimeError) right after recording the `nth` call `name`."""
        self._faults[name] = [nth, exc if exc is not None else RuntimeError(f"{name} failed")]

    def record(self, name, args=(), kwargs=None):
        # Keyword pairs read by key, not through a dict items iterator: under an allocation
        # failure CPython 3.13.0 crashes freeing a half-made items iterator.
        kwargs = kwargs or {}
        self.append((name, tuple(args), tuple([(k, kwargs[k]) for k in kwargs])))
        fault = self._faults.get(name)
        if fault is not None:
            fault[0] -= 1
            if fault[0] == 0:
                del self._faults[name]
                raise fault[1]

    def names(self):
        return [entry[0] for entry in self]

    def calls(self, name):
        """``(args, kwargs-pairs)`` of every call recorded under `name`."""
        return [(args, kwargs) for n, args, kwargs in self if n == name]


class RecordedSignal:
    """Front for a real bound Qt signal that records `connect` and `emit` on the way through.

    `signal` is the real bound signal, for `qtbot.waitSignal` and direct connections.
    """

    def __init__(self, trace, name, signal):
        self._trace, self._name, self.signal = trace, name, signal

    def connect(self, slot):
        self._trace.record(f"{self._name}.connect", (slot,))
        return self.signal.connect(slot)

    def emit(self, value):
        self._trace.record(f"{self._name}.emit", (value,))
        self.signal.emit(value)


def _recording(base, *methods):
    """A subclass of the Qt class `base` whose `methods` record each call, then run."""

    def init(self, trace, *args):
        base.__init__(self, *args)
        self._trace = trace

    def recorded(name):
        def method(self, *args):
            self._trace.record(name, args)
            return getattr(base, name)(self, *args)
        return method

    namespace = {"__init__": init, **{name: recorded(name) for name in methods}}
    return type(base)(f"Recording{base.__name__}", (base,), namespace)


RecordingLayout = _recording(QVBoxLayout, "setContentsMargins", "setSpacing", "addWidget")
# show and hide are not virtual, so only the widget's own calls are seen.
RecordingLabel = _recording(QLabel, "setStyleSheet", "setText", "show", "hide")


class InputField:
    """The Autocomplete's `_inputField`: records write-backs and slot requests."""

    def __init__(self, trace):
        self._trace = trace

    def _set_value(self, *args, **kwargs):
        self._trace.record("_set_value", args, kwargs)

    def _set_slot(self, *args, **kwargs):
        self._trace.record("_set_slot", args, kwargs)


class RecordingController(QWidget):
    """Shows `render` in its own layout, as the real Controller does, so it is parented."""

    def __init__(self, **kwargs):
        super().__init__()
        self.kwargs = kwargs
        QVBoxLayout(self).addWidget(kwargs["render"])


class RecordingAutocomplete(QWidget):
    """Keeps the callables it was given; `valueChanged` is a `RecordedSignal`."""

    _valueChanged = Signal(object)

    def __init__(self, trace, **kwargs):
        super().__init__()
        self._trace = trace
        self.kwargs = kwargs
        self.onChange = kwargs.get("onChange")
        self.renderInput = kwargs.get("renderInput")
        self._inputField = InputField(trace)

    @property
    def valueChanged(self):
        return RecordedSignal(self._trace, "valueChanged", self._valueChanged)

    def report(self, value):
        """What the real Autocomplete does on a pick: the callback, then the signal."""
        if self.onChange:
            self.onChange(value)
        self._valueChanged.emit(value)


class Host:
    """One recording double for each host name the constructor and set_value use.

    fragment: what the theme's caption `to_qss_props()` returns.
    state_pair: what `useState` returns; by default ``(self.state, self.setState)``.
    report_on_init: if given, the Autocomplete calls its onChange with it while it is
        still being built (before the widget has stored it).
    """

    _UNSET = object()

    def __init__(self, fragment="font: 9px;", state_pair=_UNSET, report_on_init=_UNSET):
        self.trace = Trace()
        self.fragment = fragment
        self.state = SimpleNamespace(name="state")
        self.state_pair = (self.state, self.setState) if state_pair is Host._UNSET else state_pair
        self.report_on_init = report_on_init
        self.autocomplete = self.controller = self.layout = self.caption = None
        caption = SimpleNamespace(to_qss_props=self._to_qss_props, fontSize="11px",
                                  fontWeight=500)
        self.theme = SimpleNamespace(typography=SimpleNamespace(caption=caption),
                                     palette=SimpleNamespace(error=SimpleNamespace(main="#e00")))

    def forget(self):
        """Drop every reference the doubles keep to what they were given or built, so
        reference counts of the objects passed in can be compared afterwards."""
        self.trace.clear()
        self.autocomplete = self.controller = self.layout = self.caption = None

    def names(self, *only):
        """The doubles by host name, for ``host(**fake.names())``; all of them by default."""
        return {name: getattr(self, name) for name in (only or HOST_NAMES)}

    def setState(self, *args, **kwargs):
        self.trace.record("setState", args, kwargs)

    def useState(self, *args, **kwargs):
        self.trace.record("useState", args, kwargs)
        return self.state_pair

    def useTheme(self, *args, **kwargs):
        self.trace.record("useTheme", args, kwargs)
        return self.theme

    def _to_qss_props(self, *args, **kwargs):
        self.trace.record("to_qss_props", args, kwargs)
        return self.fragment

    def QVBoxLayout(self, *args, **kwargs):
        self.trace.record("QVBoxLayout", args, kwargs)
        self.layout = RecordingLayout(self.trace, *args)
        return self.layout

    def QLabel(self, *args, **kwargs):
        self.trace.record("QLabel", args, kwargs)
        self.caption = RecordingLabel(self.trace, *args)
        return self.caption

    def Controller(self, *args, **kwargs):
        self.trace.record("Controller", args, kwargs)
        self.controller = RecordingController(**kwargs)
        return self.controller

    def Autocomplete(self, *args, **kwargs):
        self.trace.record("Autocomplete", args, kwargs)
        self.autocomplete = RecordingAutocomplete(self.trace, **kwargs)
        if self.report_on_init is not Host._UNSET:
            self.autocomplete.onChange(self.report_on_init)
        return self.autocomplete

    def TextField(self, *args, **kwargs):
        self.trace.record("TextField", args, kwargs)
        return SimpleNamespace(args=args, kwargs=kwargs)


def refuse(*args, **kwargs):
    """A host call that fails, whatever it is given."""
    raise LookupError("refused")


def traceback_entries(exc, filename):
    """``(function name, line)`` of each traceback entry of `exc` that names `filename`."""
    entries, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == filename:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def recording_subclass(cls, trace):
    """A subclass of the widget class `cls` that records its own setLayout and layout calls.

    Every instance is appended to ``instances`` as its construction begins, so a test can
    inspect a widget whose constructor raised.
    """

    class Recording(cls):
        instances = []

        def __init__(self, *args, **kwargs):
            Recording.instances.append(self)
            super().__init__(*args, **kwargs)

        def setLayout(self, layout):
            trace.record("setLayout", (layout,))
            super().setLayout(layout)

        def layout(self):
            trace.record("layout")
            return super().layout()

    return Recording
