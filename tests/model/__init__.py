"""A pure-Python TessuAutocomplete to hold the compiled field against."""

import importlib.util
import sys
from pathlib import Path

MODEL_NAME = "zarvel.material.hook_form.tessu_autocomplete_model"
MODEL_PATH = Path(__file__).with_name("tessu_autocomplete.py")


def load():
    """The model module, imported once beside the compiled one so its relative imports resolve."""
    module = sys.modules.get(MODEL_NAME)
    if module is not None:
        return module
    import zarvel.material.hook_form  # noqa: F401  the package the relative imports start from

    found = importlib.util.spec_from_file_location(MODEL_NAME, MODEL_PATH)
    module = importlib.util.module_from_spec(found)
    sys.modules[MODEL_NAME] = module
    try:
        found.loader.exec_module(module)
    except BaseException:
        del sys.modules[MODEL_NAME]
        raise
    return module
