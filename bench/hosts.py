"""Cheap stand-ins for the host framework, so that a timing measures the field's own work.

Everything here is a built-in callable (``callable``, ``dict``, ``max``, a bound ``dict.get``,
``functools.partial(next, itertools.repeat(x))``, which returns x whatever it is given), a
namespace holding such callables, or a class whose construction and methods run no Python
code. The same objects are handed to every implementation, so what they cost is
the same constant in every column.

That includes the widget's base class: the stub timings run in a process of their own
(``run.py --hosts stub``), where every implementation is imported while ``QFrame`` is
``StubFrame``. A Qt base would put the binding's attribute hooks under every ``self.x`` the
methods read and Qt's widget allocation into every construction, and those, not the field's
work, would be what is timed.
"""

from __future__ import annotations

import functools
import itertools
from types import SimpleNamespace
from typing import Any, Dict

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


def make_class_theme() -> type:
    """The same theme as nested classes, as some applications write theirs: every read of
    the error styling is a class-attribute read."""

    class Theme:
        class typography:
            class caption:
                fontSize = "12px"
                fontWeight = 400
                to_qss_props = staticmethod(constant(CAPTION_PROPS))

        class palette:
            class error:
                main = "#d32f2f"

    return Theme


def class_theme_names() -> Dict[str, Any]:
    """Module-namespace replacements for the cells that style with the nested-class theme."""
    return {"useTheme": constant(make_class_theme())}


# The one-argument sink is ``callable``: as cheap as a built-in call gets, where ``id`` would
# also raise an audit event on every call.
LAYOUT = SimpleNamespace(setContentsMargins=max, setSpacing=callable, addWidget=callable)


class StubFrame:
    """The widget base of the stub process: object's own __init__, and a layout slot whose
    two methods are built-ins (``setLayout`` takes the layout and drops it, ``layout()``
    always gives LAYOUT, the one every stub construction installs)."""

    setLayout = staticmethod(callable)
    layout = staticmethod(constant(LAYOUT))


class StubAutocomplete(SimpleNamespace):
    """Takes the constructor's keywords as attributes, without running Python code."""

    valueChanged = SimpleNamespace(connect=callable)


def constructor_names() -> Dict[str, Any]:
    """Module-namespace replacements for timing construction."""
    caption = SimpleNamespace(setStyleSheet=callable, setText=callable)
    return {
        "QVBoxLayout": constant(LAYOUT),
        "QLabel": constant(caption),  # next(repeat(caption), parent) is caption
        "Controller": dict,
        "Autocomplete": StubAutocomplete,
        "useState": {"None": (SimpleNamespace(value="None"), callable)}.get,
        "useTheme": constant(make_theme()),
        "TextField": dict,
    }


def method_names() -> Dict[str, Any]:
    """Module-namespace replacements for timing ``set_value`` and ``state``."""
    return {"useTheme": constant(make_theme())}


def widget_attributes() -> Dict[str, Any]:
    """Instance attributes put on a widget built with the stub hosts, for timing its methods.

    ``valueChanged`` set on the instance shadows the class's signal, so that an emission
    costs a built-in call instead of the binding's signal machinery.
    """
    caption = SimpleNamespace(
        setText=callable,
        setStyleSheet=callable,
        isVisible=bool,  # bool() is False: every error state also calls show()
        show=tuple,
        hide=tuple,
    )
    return {
        "_complete": SimpleNamespace(
            _inputField=SimpleNamespace(_set_value=dict, _set_slot=callable)),
        "lbl_helper_text": caption,
        "_setState": callable,
        "_onChange": callable,
        "valueChanged": SimpleNamespace(emit=callable),
    }


DESCRIPTION = {
    "construction": (
        "in a process where every implementation was imported with QFrame = StubFrame (base "
        "__init__ is object's, setLayout=callable, layout()=partial(next, repeat(layout)) with "
        "layout.setContentsMargins/setSpacing/addWidget = max/callable/callable); module names "
        "QVBoxLayout (returns that layout), QLabel (partial(next, repeat(caption)) with "
        "caption.setStyleSheet=setText=callable), Controller=dict, Autocomplete (a SimpleNamespace "
        "subclass with valueChanged.connect=callable), useState (a bound dict.get returning a "
        "fixed pair), useTheme (partial(next, repeat(theme)) over a SimpleNamespace theme), "
        "TextField=dict; no Qt object is made"
    ),
    "methods": (
        "on a widget built that way: _complete._inputField._set_value=dict, _set_slot=callable; "
        "lbl_helper_text with setText=setStyleSheet=callable, isVisible=bool (False, so show() "
        "runs), show=hide=tuple; _setState=callable; _onChange=callable; an instance "
        "valueChanged with emit=callable; module name useTheme=partial(next, repeat(theme)); "
        "_selected is False (the default), State is the host's"
    ),
    "real": "the zarvel host stand-in and the Qt binding, end to end, nothing replaced",
}
