"""Prints where the freezers' files are, for a build command line:

    nuitka --standalone --enable-plugin=pyside6 \\
        --user-package-configuration-file="$(python -m tessu_autocomplete_freeze)" app.py
"""

import argparse

from tessu_autocomplete_freeze import get_hook_dirs, nuitka_config

parser = argparse.ArgumentParser(
    prog="python -m tessu_autocomplete_freeze",
    description="Print the path of the Nuitka package configuration file that declares the "
    "modules zarvel.material.hook_form.tessu_autocomplete imports from C. PyInstaller needs "
    "nothing: it finds the field's hook by itself.",
)
parser.add_argument(
    "--pyinstaller-hooks",
    action="store_true",
    help="print the directory of the PyInstaller hook instead (for --additional-hooks-dir, "
    "where entry points are not read)",
)
args = parser.parse_args()
print(get_hook_dirs()[0] if args.pyinstaller_hooks else nuitka_config())
