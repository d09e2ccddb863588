"""Shared set-up: offscreen Qt, the binding chosen through QT_API, and the compiled module."""

import ctypes
import os
import pydoc
import re
import sys

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
os.environ.setdefault("QT_API", "pyside6")
os.environ.setdefault("PYTEST_QT_API", os.environ["QT_API"])

import pytest  # noqa: E402

MODULE_NAME = "zarvel.material.hook_form.tessu_autocomplete"
SOURCE_PATH = "material/hook_form/tessu_autocomplete"
# How the interpreter starts its message for a ** operand that is no mapping.
NOT_A_MAPPING = ("Value after ** must be a mapping, not " if sys.version_info >= (3, 15)
                 else "argument after ** must be a mapping, not ")


def qualified(name):
    """The name a traceback entry of the module carries for `name`."""
    return f"{MODULE_NAME}.{name}"


def python_api():
    """The interpreter's C API through function objects of the caller's own, so that the
    signatures it sets stay out of ctypes.pythonapi. Windows names the interpreter's DLL by
    its handle: it exports nothing through the program's."""
    if sys.platform == "win32":
        return ctypes.PyDLL("python dll", handle=sys.dllhandle)
    return ctypes.PyDLL(None)


def flat_doc(text):
    """pydoc's text on one line: it wraps long signatures one parameter a line behind " |"
    gutters, with a trailing comma."""
    flat = " ".join(line.strip(" |") for line in text.splitlines())
    return re.sub(r",?\s+\)", ")", re.sub(r"\(\s+", "(", flat))


def as_help_shows(params):
    """A parameter list, as inspect.signature prints it, the way help() shows the same
    parameters of a Python function: from 3.14 it leaves string annotations unquoted."""
    namespace = {}
    exec(f"def probe({params}): pass", namespace)
    flat = flat_doc(pydoc.render_doc(namespace["probe"], renderer=pydoc.plaintext))
    start = flat.index("probe(") + len("probe(")
    return flat[start:flat.rindex(")")]


@pytest.fixture(scope="session")
def tessu():
    import importlib

    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def host(tessu, monkeypatch):
    """Replace names in the module's namespace for one test: host(Controller=fake, ...)."""

    def install(**names):
        for name, value in names.items():
            monkeypatch.setitem(vars(tessu), name, value)

    return install


@pytest.fixture
def widget(tessu, qtbot):
    """A field built on the real host stand-in."""

    def build(name="country", **kwargs):
        w = tessu.TessuAutocomplete(name, **kwargs)
        qtbot.addWidget(w)
        return w

    return build
