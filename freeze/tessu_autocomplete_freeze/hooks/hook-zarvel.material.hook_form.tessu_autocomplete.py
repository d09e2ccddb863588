# PyInstaller's hook for the field: the modules its compiled code imports, which PyInstaller
# cannot read from it.
from tessu_autocomplete_freeze import IMPORTS

hiddenimports = list(IMPORTS)
