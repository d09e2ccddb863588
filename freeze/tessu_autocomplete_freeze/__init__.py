"""What freezers need to bundle for zarvel.material.hook_form.tessu_autocomplete.

PyInstaller and Nuitka find a program's modules by reading its Python code, and the field
makes all of its imports from C: they see none of them, and a frozen program then fails at
start with the first one it lacks. PyInstaller finds the hook here by itself, through the
`pyinstaller40` entry point; for Nuitka, `python -m tessu_autocomplete_freeze` prints the
package configuration file to pass with --user-package-configuration-file.

The field never imports this package, and this package imports neither the field nor Qt:
PyInstaller imports it into its own process while it builds.
"""

import os

__all__ = ["IMPORTS", "get_hook_dirs", "nuitka_config"]

# The modules of the field's import statements, in their order. Freezers add each one's
# parent packages themselves. tests/test_freeze.py holds this to what the field imports,
# and the Nuitka file below to this.
IMPORTS = (
    "typing",
    "qtpy.QtCore",
    "qtpy.QtWidgets",
    "zarvel.material.styles",
    "zarvel.hooks",
    "zarvel.hooks.use_state",
    "zarvel.material.controller",
    "zarvel.material.textfield.textfield",
    "zarvel.material.auto_complete.complete",
)

_HERE = os.path.dirname(os.path.abspath(__file__))


def get_hook_dirs():
    """The `pyinstaller40` entry point: where PyInstaller finds the field's hook."""
    return [os.path.join(_HERE, "hooks")]


def nuitka_config():
    """The Nuitka package configuration file that declares IMPORTS for the field."""
    return os.path.join(_HERE, "tessu_autocomplete.nuitka-package.config.yml")
