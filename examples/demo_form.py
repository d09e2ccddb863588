#!/usr/bin/env python3
"""A small profile form built from three TessuAutocomplete fields.

With a display it opens the form for you to use: type into a field, pick a
suggestion (or type an option in full and press Enter) and press Submit.
Without one (or with --offscreen / --script) it plays a short scripted session
instead, prints what happened and saves screenshots of the form.

    python examples/demo_form.py                  # window, or scripted when headless
    python examples/demo_form.py --offscreen      # scripted, no window
    python examples/demo_form.py --screenshot DIR # where the PNGs go
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

BINDINGS = ("pyside6", "pyqt6", "pyqt5")
DEFAULT_SHOTS = Path("out") / "demo"
# Exit status when no window could open and the form was shown offscreen instead.
EXIT_NO_DISPLAY = 3
# Set by a program that drives the open window (scripts/proof/display_check.py): the demo
# then prints where its widgets are on the screen and pauses at each screenshot of
# the scripted session until a line arrives on its standard input.
DRIVEN = os.environ.get("TESSU_DEMO_DRIVEN") == "1"

# Debian packages of the system libraries that the Qt wheels' xcb platform plugin
# loads, as scripts/lib/env.sh maps them.
XCB_PACKAGES = {
    "libxcb-icccm.so.4": "libxcb-icccm4",
    "libxcb-keysyms.so.1": "libxcb-keysyms1",
    "libxcb-image.so.0": "libxcb-image0",
    "libxcb-render-util.so.0": "libxcb-render-util0",
    "libxcb-xinerama.so.0": "libxcb-xinerama0",
    "libxcb-xkb.so.1": "libxcb-xkb1",
    "libxkbcommon-x11.so.0": "libxkbcommon-x11-0",
    "libxkbcommon.so.0": "libxkbcommon0",
    "libxcb-randr.so.0": "libxcb-randr0",
    "libxcb-shape.so.0": "libxcb-shape0",
    "libxcb-cursor.so.0": "libxcb-cursor0",
    "libxcb-shm.so.0": "libxcb-shm0",
    "libxcb-sync.so.1": "libxcb-sync1",
    "libxcb-xfixes.so.0": "libxcb-xfixes0",
    "libxcb-render.so.0": "libxcb-render0",
    "libxcb-glx.so.0": "libxcb-glx0",
    "libxcb-util.so.1": "libxcb-util1",
    "libxcb.so.1": "libxcb1",
    "libX11-xcb.so.1": "libx11-xcb1",
    "libX11.so.6": "libx11-6",
    "libSM.so.6": "libsm6",
    "libICE.so.6": "libice6",
    "libfontconfig.so.1": "libfontconfig1",
    "libfreetype.so.6": "libfreetype6",
    "libEGL.so.1": "libegl1",
    "libGL.so.1": "libgl1",
    "libOpenGL.so.0": "libopengl0",
    "libdbus-1.so.3": "libdbus-1-3",
}


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="demo_form.py",
        description="Demo form of three TessuAutocomplete fields (country, city, languages). "
                    "Opens a window when a display is available; otherwise, or with "
                    "--offscreen or --script, plays a scripted session, prints its "
                    "transcript and writes screenshots.",
        epilog="The Qt binding is the one qtpy selects: set QT_API=pyside6|pyqt6|pyqt5 "
               "or pass --binding. Exit status of a scripted session: 0 when the form "
               "behaved as expected, 1 otherwise. When a display is set but Qt's platform "
               "plugin for it cannot load, the demo names the missing system libraries, "
               f"plays the scripted session offscreen and exits {EXIT_NO_DISPLAY} "
               "(1 if that session failed too).")
    parser.add_argument("--screenshot", metavar="DIR", type=Path, default=DEFAULT_SHOTS,
                        help="directory for the scripted session's PNG screenshots "
                             f"(default: {DEFAULT_SHOTS}, created if missing)")
    parser.add_argument("--offscreen", action="store_true",
                        help="no window: render offscreen (QT_QPA_PLATFORM=offscreen) and "
                             "play the scripted session; the default when there is no "
                             "DISPLAY or WAYLAND_DISPLAY")
    parser.add_argument("--script", action="store_true",
                        help="play the scripted session even when a display is available, "
                             "then exit")
    parser.add_argument("--binding", choices=BINDINGS,
                        help="Qt binding to use; same as setting QT_API (default: "
                             f"{os.environ.get('QT_API') or 'the one qtpy finds first'})")
    return parser.parse_args(argv)


def _has_display():
    # Only X11/Wayland systems announce their display in the environment.
    if not sys.platform.startswith(("linux", "freebsd", "openbsd", "netbsd")):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def configure_environment(args):
    """Decide binding and platform; returns True when the session is headless."""
    if args.binding:
        os.environ["QT_API"] = args.binding
    platform = os.environ.get("QT_QPA_PLATFORM", "")
    if args.offscreen or (not platform and not _has_display()):
        os.environ["QT_QPA_PLATFORM"] = platform = "offscreen"
    return platform in ("offscreen", "minimal")


# Runs in a child process: a platform plugin that cannot load makes Qt abort the
# whole process, which is no way to tell a user what is missing.
_PROBE = """
import sys
from qtpy.QtGui import QGuiApplication
app = QGuiApplication(sys.argv[:1])
print(app.platformName())
"""


def probe_platform(timeout=30):
    """Start Qt's platform plugin in a child process: (platform name or None, Qt's output)."""
    command = [sys.executable] + (["-P"] if sys.flags.safe_path else []) + ["-c", _PROBE]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, f"the platform plugin did not start within {timeout} s"
    if result.returncode == 0 and result.stdout.strip():
        return result.stdout.strip().splitlines()[-1], result.stderr
    return None, result.stderr.strip() or f"exit status {result.returncode}"


def xcb_plugin_path():
    """The xcb platform plugin of the binding qtpy loaded, or None."""
    from qtpy.QtCore import QLibraryInfo

    if hasattr(QLibraryInfo, "path"):
        plugins = QLibraryInfo.path(QLibraryInfo.LibraryPath.PluginsPath)
    else:
        plugins = QLibraryInfo.location(QLibraryInfo.PluginsPath)
    path = Path(plugins) / "platforms" / "libqxcb.so"
    return path if path.is_file() else None


def missing_libraries(plugin):
    """Sonames that the dynamic loader cannot find for ``plugin`` (via ldd), or None."""
    try:
        result = subprocess.run(["ldd", str(plugin)], capture_output=True, text=True,
                                timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    found = re.findall(r"^\s*(\S+) => not found", result.stdout, re.MULTILINE)
    return list(dict.fromkeys(found))


def explain_no_platform(qt_output, binding, say):
    """Tell the user why no window can open and what to install."""
    say(f"demo: Qt ({binding}) cannot open a window on this display; its platform "
        "plugin failed to start:")
    plugin = xcb_plugin_path() if sys.platform.startswith("linux") else None
    missing = missing_libraries(plugin) if plugin else None
    for line in [line for line in qt_output.splitlines() if line.strip()][:4]:
        # Qt names xcb-cursor on every failure to load, whether it is the cause or not.
        if missing is not None and "xcb-cursor" in line and "libxcb-cursor.so.0" not in missing:
            continue
        say(f"demo:   {line}")
    if missing:
        say(f"demo: {plugin.name} needs system libraries that are not installed: "
            + " ".join(missing))
        packages = [XCB_PACKAGES[so] for so in missing if so in XCB_PACKAGES]
        unknown = [so for so in missing if so not in XCB_PACKAGES]
        if packages:
            say("demo: on Debian or Ubuntu, install them with:")
            say(f"demo:   sudo apt-get install {' '.join(dict.fromkeys(packages))}")
        if unknown:
            say("demo: no package known here for " + " ".join(unknown)
                + "; your distribution's package search finds which package ships them")
        say("demo: (scripts/lib/env.sh installs them when run as root on Debian)")
    elif missing is not None:
        display = os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY") or "(none)"
        say(f"demo: no library is missing; check that the display {display} is running "
            "and that you may connect to it")
    say("demo: playing the scripted session offscreen instead; its screenshots show the form")


if __name__ == "__main__":
    # qtpy fixes the binding, and QApplication the platform plugin, on first use,
    # so the command line has to be read before either is imported.
    _ARGS = parse_args(sys.argv[1:])
    _HEADLESS = configure_environment(_ARGS)

from qtpy.QtCore import Qt, Signal, qInstallMessageHandler  # noqa: E402
from qtpy.QtGui import QImage  # noqa: E402
from qtpy.QtTest import QTest  # noqa: E402
from qtpy.QtWidgets import (  # noqa: E402
    QApplication,
    QLabel,
    QLineEdit,
    QPushButton,
    QVBoxLayout,
    QWidget,
)

from zarvel.hooks.use_state import useState  # noqa: E402
from zarvel.material.hook_form.tessu_autocomplete import TessuAutocomplete  # noqa: E402

COUNTRIES = [
    {"label": "Brazil", "value": "BR"},
    {"label": "Canada", "value": "CA"},
    {"label": "France", "value": "FR"},
    {"label": "Germany", "value": "DE"},
    {"label": "Japan", "value": "JP"},
    {"label": "Kenya", "value": "KE"},
]
CITIES = ["Berlin", "Lyon", "Nairobi", "Osaka", "Paris", "Recife", "Toronto"]
LANGUAGES = ["English", "French", "German", "Japanese", "Portuguese", "Swahili"]

LABELS = {"country": "Country", "city": "City", "language": "Languages"}
REQUIRED_MESSAGES = {
    "country": "Choose a country",
    "city": "Choose a city",
    "language": "Pick at least one language",
}


def describe(value):
    if value is None:
        return "(empty)"
    if isinstance(value, list):
        return ", ".join(str(v) for v in value)
    return str(value)


class DemoForm(QWidget):
    """Owns the field values and validates them on Submit.

    Validation results go out as form-state dicts on ``formState``; every field
    has that signal attached as its ``stateSignal`` and shows its own error.
    """

    formState = Signal(object)

    def __init__(self, echo=print, parent=None):
        super().__init__(parent)
        self.setWindowTitle("TessuAutocomplete demo")
        self._echo = echo
        self.values = {name: None for name in REQUIRED_MESSAGES}
        self.errors = set()
        self.language_touched, _ = useState(False)
        self._stop_watching = self.language_touched.subscribe(self._on_language_touched)

        layout = QVBoxLayout(self)
        layout.setContentsMargins(16, 16, 16, 16)
        layout.setSpacing(10)
        title = QLabel("Your profile", self)
        title.setStyleSheet("font-size: 16px; font-weight: 600;")
        layout.addWidget(title)

        self.fields = {
            # Country and city report through onChange, languages through the
            # widget's valueChanged signal: both roads end in _on_value.
            "country": TessuAutocomplete(
                "country", key="country", label=LABELS["country"],
                onChange=lambda value: self._on_value("country", value),
                options=COUNTRIES, placeholder="Type a country, e.g. France"),
            "city": TessuAutocomplete(
                "city", key="city", label=LABELS["city"],
                onChange=lambda value: self._on_value("city", value),
                options=CITIES, placeholder="Type a city, e.g. Lyon"),
            "language": TessuAutocomplete(
                "language", key="language", label=LABELS["language"],
                selected=self.language_touched, multiple=True,
                options=LANGUAGES, placeholder="Comma-separated, e.g. English, French"),
        }
        self.fields["language"].valueChanged.connect(
            lambda value: self._on_value("language", value))
        for field in self.fields.values():
            field.stateSignal = self.formState
            layout.addWidget(field)

        self.submit_button = QPushButton("Submit", self)
        self.submit_button.clicked.connect(self.submit)
        layout.addWidget(self.submit_button)
        self.status = QLabel("", self)
        self.status.setWordWrap(True)
        layout.addWidget(self.status)
        layout.addStretch(1)
        self.setMinimumWidth(340)

        # A fresh field shows an empty caption line; start every field in the
        # valid look so that the form opens compact.
        for name in self.fields:
            self.formState.emit({"field": name, "error": False, "error_message": []})

    def field(self, name):
        return self.fields[name]

    def caption(self, name):
        """(visible, text) of a field's error caption, as a person would see it."""
        label = self.fields[name].lbl_helper_text
        return label.isVisibleTo(self), label.text()

    def _on_language_touched(self, value):
        # The field sets its flag on every value it takes; the first time is the news.
        self._stop_watching()
        self._echo(f"language: selected flag set to {value}")

    def _on_value(self, name, value):
        if value == []:
            value = None
        # Each pick reaches the form twice (the field reports through its
        # callback and through its signal); only a change is news.
        if value == self.values[name]:
            return
        self.values[name] = value
        self._echo(f"{name} = {describe(value)}")
        if value is not None and name in self.errors:
            self.errors.discard(name)
            self.formState.emit({"field": name, "error": False, "error_message": []})
            self._echo(f"{name}: error cleared")

    def submit(self):
        """Validate every field; returns the names of the fields in error."""
        missing = [name for name, value in self.values.items() if value is None]
        for name in self.fields:
            error = name in missing
            self.formState.emit({
                "field": name,
                "error": error,
                "error_message": [REQUIRED_MESSAGES[name]] if error else [],
            })
        self.errors = set(missing)
        if missing:
            labels = ", ".join(LABELS[n] for n in missing)
            self.status.setText(f"Please fill in: {labels}")
            self._echo(f"submit: {len(missing)} field(s) in error: {', '.join(missing)}")
        else:
            sent = "; ".join(f"{n} = {describe(v)}" for n, v in self.values.items())
            self.status.setText(f"Sent: {sent}")
            self._echo(f"submit: ok, sent {sent}")
        return missing


def type_into(field, text):
    """Type into a field and press Enter, as a person at the keyboard would."""
    edit = field.findChild(QLineEdit)
    QTest.keyClicks(edit, text)
    QTest.keyClick(edit, Qt.Key.Key_Return)


def is_blank(path):
    """True when the image is missing or a single colour."""
    image = QImage(str(path))
    if image.isNull():
        return True
    first = image.pixel(0, 0)
    step = max(1, min(image.width(), image.height()) // 64)
    return all(image.pixel(x, y) == first
               for y in range(0, image.height(), step)
               for x in range(0, image.width(), step))


def run_script(form, shots_dir, echo=print, checkpoint=None):
    """Fill the form, submit with the city missing, fix it, submit again.

    Returns (screenshot paths, list of problems); no problems means the form
    behaved as it should. ``checkpoint(name)``, if given, runs after each
    screenshot, with the form showing what the screenshot shows.
    """
    app = QApplication.instance()
    shots_dir = Path(shots_dir)
    shots_dir.mkdir(parents=True, exist_ok=True)
    problems = []
    form.show()
    app.processEvents()

    def act(text):
        echo(f"> {text}")
        app.processEvents()

    def shoot(name):
        app.processEvents()
        path = shots_dir / name
        if not form.grab().save(str(path), "PNG"):
            problems.append(f"could not write {path}")
        echo(f"screenshot: {path}")
        if checkpoint is not None:
            checkpoint(name)
        return path

    def expect_caption(name, visible, text=None):
        shown, caption = form.caption(name)
        echo(f"{name}: caption {'shown' if shown else 'hidden'}"
             + (f' "{caption}"' if shown else ""))
        if shown != visible or (text is not None and caption != text):
            problems.append(f"{name}: caption {'shown' if shown else 'hidden'} {caption!r}, "
                            f"expected {'shown' if visible else 'hidden'} {text!r}")

    act('type "france" + Enter into Country')
    type_into(form.field("country"), "france")
    act('type "English" + Enter into Languages')
    type_into(form.field("language"), "English")
    act('type ", French" + Enter into Languages')
    type_into(form.field("language"), ", French")
    act("click Submit (City left empty)")
    QTest.mouseClick(form.submit_button, Qt.MouseButton.LeftButton)
    expect_caption("city", True, REQUIRED_MESSAGES["city"])
    expect_caption("country", False)
    before = shoot("before.png")

    act('type "lyon" + Enter into City')
    type_into(form.field("city"), "lyon")
    expect_caption("city", False)
    act("click Submit")
    QTest.mouseClick(form.submit_button, Qt.MouseButton.LeftButton)
    expect_caption("city", False)
    after = shoot("after.png")

    expected = {"country": "FR", "city": "Lyon", "language": ["English", "French"]}
    if form.values != expected:
        problems.append(f"form values {form.values!r}, expected {expected!r}")
    if form.errors:
        problems.append(f"fields still in error: {sorted(form.errors)}")
    for path in (before, after):
        if is_blank(path):
            problems.append(f"{path} is blank")
    return [before, after], problems


def report_geometry(form):
    """Print where the parts a person clicks and reads are, in screen pixels."""
    from qtpy.QtCore import QPoint

    form.layout().activate()
    parts = {
        "window": form,
        "country.input": form.field("country").findChild(QLineEdit),
        "city.input": form.field("city").findChild(QLineEdit),
        "city.caption": form.field("city").lbl_helper_text,
        "submit": form.submit_button,
    }
    scale = form.devicePixelRatioF()
    for name, widget in parts.items():
        origin = widget.mapToGlobal(QPoint(0, 0))
        box = [origin.x(), origin.y(), widget.width(), widget.height()]
        visible = widget.isVisibleTo(form) or widget is form
        print(f"geometry: {name} {' '.join(str(round(v * scale)) for v in box)}"
              f" {'visible' if visible else 'hidden'}")
    print(f"window-id: {int(form.winId())}")


def wait_for_go(app, seconds=60):
    """Keep the window alive and painted until a line arrives on stdin (or time runs out)."""
    import select
    import time

    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        app.processEvents()
        if select.select([sys.stdin], [], [], 0.05)[0]:
            sys.stdin.readline()
            return True
    return False


def _quiet_offscreen(mode, context, message):
    # The offscreen platform reports every window-manager request it cannot
    # honour (raise, keyboard grab...); none of them matters without a screen.
    if "This plugin does not support" in message or "XDG_RUNTIME_DIR" in message:
        return
    sys.stderr.write(message + "\n")


def _say(text):
    print(text, file=sys.stderr, flush=True)


def main(args, headless):
    from qtpy import API, API_NAME

    # Value lines should appear as they happen, also when piped into a log.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True)
    wanted = os.environ.get("QT_API", "").lower()
    if wanted and wanted != API:
        # qtpy falls back to any binding it finds when the requested one is missing.
        _say(f"demo: QT_API={wanted} asked for a binding that did not load; running on "
             f"{API_NAME} instead")
    no_display = False
    if not headless and QApplication.instance() is None:
        platform, qt_output = probe_platform()
        if platform is None:
            explain_no_platform(qt_output, API_NAME, _say)
            os.environ["QT_QPA_PLATFORM"] = "offscreen"
            headless = no_display = True
    if headless:
        qInstallMessageHandler(_quiet_offscreen)
    app = QApplication.instance() or QApplication(sys.argv[:1])
    form = DemoForm(echo=print)
    if headless or args.script:
        print(f"demo: scripted session on {API_NAME}, platform {app.platformName()}")
        checkpoint = None
        if DRIVEN:
            def checkpoint(name):
                QTest.qWaitForWindowExposed(form)
                QTest.qWait(300)  # lets the X server show the last paint
                report_geometry(form)
                print(f"checkpoint: {name}")
                if not wait_for_go(app):
                    _say("demo: no go from the driver; going on")
        shots, problems = run_script(form, args.screenshot, checkpoint=checkpoint)
        print("screenshots: " + " ".join(str(p) for p in shots))
        for problem in problems:
            print(f"demo: unexpected: {problem}", file=sys.stderr)
        if problems:
            return 1
        return EXIT_NO_DISPLAY if no_display else 0
    print(f"demo: form open on {API_NAME}, platform {app.platformName()}; "
          "value changes and submits are printed here")
    form.show()
    if DRIVEN:
        from qtpy.QtCore import QTimer

        def ready():
            QTest.qWaitForWindowExposed(form)
            report_geometry(form)
            print("demo: ready")

        QTimer.singleShot(0, ready)
        # The error caption appears on a submit and moves what is below it.
        form.submit_button.clicked.connect(
            lambda: QTimer.singleShot(100, lambda: report_geometry(form)))
    return app.exec()


if __name__ == "__main__":
    sys.exit(main(_ARGS, _HEADLESS))
