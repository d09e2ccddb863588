"""zarvel: Material-style Qt widgets with a small hooks and form layer.

Only plain Python is imported here; the Qt-backed components are imported from
their own modules, so importing the package does not pick a Qt binding.
"""
