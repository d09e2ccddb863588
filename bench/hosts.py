"""Cheap stand-ins for the host framework, so that a timing measures the field's own work.

Everything here is a built-in callable (``id``, ``dict``, ``max``, a bound ``dict.get``,
``functools.partial(next, itertools.repeat(x))``, which returns x whatever it is given) or a
subclass of a built-in type whose construction runs no Python code. The same objects are handed to every implementation, so what they cost is the
same constant in every column.

Two pieces stay real because Qt insists: the widget is a real ``QFrame`` (its base
``__init__``, ``setLayout`` and ``layout()`` are Qt calls), and ``setLayout`` takes only a real
``QLayout``, so the layout is a ``QVBoxLayout`` subclass whose three methods that the
constructor calls are replaced by built-ins.
"""

from __future__ import annotations

import functools
import itertools
from types import SimpleNamespace
from typing import Any, Dict

from qtpy.QtWidgets import QVBoxLayout

CAPTION_PROPS = "font-size: 12px; font-weight: 400;"


def constant(value: Any) -> Any:
    """A built-in callable returning ``value``, with no argument or with one (ignored).

    Cheaper to call than ``repeat(value).__next__``, a slot wrapper that builds an argument
    tuple on every call.
    """
    return functools.partial(next, itertools.repeat(value))


def make_theme() -> SimpleNamespace:
    caption = SimpleNamespace(
        fontSize="12px",
        fontWeight=400,
        to_qss_props=constant(CAPTION_PROPS),
    )
    return SimpleNamespace(
        typography=SimpleNamespace(caption=caption),
        palette=SimpleNamespace(error=SimpleNamespace(main="#d32f2f")),
    )


class StubLayout(QVBoxLayout):
    """A real layout for ``setLayout``; the calls made on it afterwards cost a built-in."""

    # The bindings' stubs type these as Qt's own signatures.
    setContentsMargins = staticmethod(max)  # type: ignore[assignment]  # (0, 0, 0, 0) -> 0
    setSpacing = staticmethod(id)  # type: ignore[assignment]
    addWidget = staticmethod(id)  # type: ignore[assignment]


class StubAutocomplete(SimpleNamespace):
    """Takes the constructor's keywords as attributes, without running Python code."""

    valueChanged = SimpleNamespace(connect=id)


def constructor_names() -> Dict[str, Any]:
    """Module-namespace replacements for timing construction."""
    caption = SimpleNamespace(setStyleSheet=id, setText=id)
    return {
        "QVBoxLayout": StubLayout,
        "QLabel": constant(caption),  # next(repeat(caption), parent) is caption
        "Controller": dict,
        "Autocomplete": StubAutocomplete,
        "useState": {"None": (SimpleNamespace(value="None"), id)}.get,
        "useTheme": constant(make_theme()),
        "TextField": dict,
    }


def method_names() -> Dict[str, Any]:
    """Module-namespace replacements for timing ``set_value`` and ``state``."""
    return {"useTheme": constant(make_theme())}


def widget_attributes() -> Dict[str, Any]:
    """Instance attributes put on an already built widget for timing its methods.

    ``valueChanged`` set on the instance shadows the class's Qt signal, so that an emission
    costs a built-in call instead of the binding's signal machinery.
    """
    caption = SimpleNamespace(
        setText=id,
        setStyleSheet=id,
        isVisible=bool,  # bool() is False: every error state also calls show()
        show=tuple,
        hide=tuple,
    )
    return {
        "_complete": SimpleNamespace(_inputField=SimpleNamespace(_set_value=dict, _set_slot=id)),
        "lbl_helper_text": caption,
        "_setState": id,
        "_onChange": id,
        "valueChanged": SimpleNamespace(emit=id),
    }


DESCRIPTION = {
    "construction": (
        "module names QVBoxLayout (a QVBoxLayout subclass whose setContentsMargins/"
        "setSpacing/addWidget are the built-ins max/id/id), QLabel (partial(next, "
        "repeat(caption)) with caption.setStyleSheet=setText=id), Controller=dict, "
        "Autocomplete (a SimpleNamespace subclass with valueChanged.connect=id), useState (a "
        "bound dict.get returning a fixed pair), useTheme (partial(next, repeat(theme)) over "
        "a SimpleNamespace theme), TextField=dict; real: the QFrame base __init__, setLayout "
        "and layout()"
    ),
    "methods": (
        "on a widget built with the real host: _complete._inputField._set_value=dict, "
        "_set_slot=id; lbl_helper_text with setText=setStyleSheet=id, isVisible=bool "
        "(False, so show() runs), show=hide=tuple; _setState=id; _onChange=id; an instance "
        "valueChanged with emit=id; module name useTheme=partial(next, repeat(theme)); "
        "_selected is False (the default), State is the host's"
    ),
    "real": "the zarvel host stand-in and the Qt binding, end to end, nothing replaced",
}
