"""Autocomplete input: see ``zarvel.material.auto_complete.complete``."""
