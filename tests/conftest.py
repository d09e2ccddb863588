"""Shared set-up: offscreen Qt, the binding chosen through QT_API, and the compiled module."""

import os

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
os.environ.setdefault("QT_API", "pyside6")
os.environ.setdefault("PYTEST_QT_API", os.environ["QT_API"])

import pytest  # noqa: E402

MODULE_NAME = "zarvel.material.hook_form.tessu_autocomplete"
SOURCE_PATH = "material/hook_form/tessu_autocomplete"


def qualified(name):
    """The name a traceback entry of the module carries for `name`."""
    return f"{MODULE_NAME}.{name}"


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
