"""Labelled text input: see ``zarvel.material.textfield.textfield``."""
