"""The current Material theme: typography and palette as plain dataclasses."""

from dataclasses import dataclass, field
from typing import Union

Length = Union[str, int, float]


def _css_length(value: Length) -> str:
    # Bare numbers mean pixels, as in the usual theme dictionaries.
    return f"{value}px" if isinstance(value, (int, float)) else str(value)


@dataclass
class TypeStyle:
    fontSize: Length = "14px"
    fontWeight: int = 400

    def to_qss_props(self) -> str:
        return f"font-size: {_css_length(self.fontSize)}; font-weight: {self.fontWeight};"


@dataclass
class Typography:
    body1: TypeStyle = field(default_factory=TypeStyle)
    caption: TypeStyle = field(default_factory=lambda: TypeStyle("12px", 400))


@dataclass
class PaletteColor:
    main: str


@dataclass
class Palette:
    primary: PaletteColor = field(default_factory=lambda: PaletteColor("#1976d2"))
    error: PaletteColor = field(default_factory=lambda: PaletteColor("#d32f2f"))
    divider: str = "rgba(0, 0, 0, 0.23)"


@dataclass
class Theme:
    typography: Typography = field(default_factory=Typography)
    palette: Palette = field(default_factory=Palette)


_current = Theme()


def useTheme() -> Theme:
    """The theme in effect now; components read it each time they restyle."""
    return _current


def setTheme(theme: Theme) -> Theme:
    """Make ``theme`` current and return the one it replaces."""
    global _current
    previous, _current = _current, theme
    return previous
