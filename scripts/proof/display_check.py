"""Run by scripts/proof/display_check.sh.

The demo on a real X server (Xvfb), once per Qt binding, judged from the server's pixels.

For each binding:

* scripted: ``demo_form.py --script`` with DISPLAY set and no QT_QPA_PLATFORM. At each
  of its screenshots the demo waits; the screen is read back with xwd. With the city's
  error shown the form must not be blank and the city's caption must be drawn in the
  theme's error colour; once the city is filled no error colour may be left.
* session: the open window (no --script), driven like a person with xdotool: type "fr"
  into Country, take the completion with Down and Enter (``country = FR``), click
  Submit with the city empty (the error), close the window (exit status 0).

Screenshots (PNG) and transcripts go to --out. Prints "N passed, N failed" last;
exits 1 if anything failed. Every wait has a timeout.
"""

import argparse
import ctypes
import ctypes.util
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import xshot  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
DEMO = REPO / "examples" / "demo_form.py"
TITLE = "TessuAutocomplete demo"
BINDINGS = tuple(tomllib.loads((REPO / "matrix.toml").read_text())["bindings"]["names"])
# Anti-aliased glyph edges blend with the background; glyph cores carry the colour.
COLOUR_TOLERANCE = 12
MIN_COLOURED_PIXELS = 8


def error_colour():
    """The theme's error colour, from the installed host stand-in."""
    from zarvel.material.styles import useTheme

    return xshot.hex_rgb(useTheme().palette.error.main)


class Results:
    def __init__(self):
        self.passed, self.failed = 0, []

    def check(self, name, ok, detail=""):
        print(f"{'PASS' if ok else 'FAIL'} {name}" + (f": {detail}" if detail else ""),
              flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed.append(name)
        return ok


class Demo:
    """The demo as a child process, its stdout collected line by line."""

    def __init__(self, binding, display, args, log_dir, name):
        env = dict(os.environ, DISPLAY=display, QT_API=binding, TESSU_DEMO_DRIVEN="1")
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("PYTHONPATH", None)
        self.stderr_path = log_dir / f"{name}.stderr"
        self._stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen([sys.executable, "-P", str(DEMO), *args], cwd=REPO,
                                     env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._stderr, text=True, bufsize=1)
        self.lines = []
        self.transcript = []
        self._eof = False
        self._cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                self.transcript.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def note(self, text):
        with self._cond:
            self.transcript.append(text)

    def wait_line(self, pattern, start=0, timeout=30):
        """Index of the first line from ``start`` matching ``pattern``, or None."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self.lines)):
                    if regex.search(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or self._eof:
                    return None
                self._cond.wait(min(left, 0.2))

    def geometry(self, upto):
        """Latest reported geometry of each part, from lines before ``upto``."""
        parts = {}
        for line in self.lines[:upto + 1]:
            m = re.fullmatch(r"geometry: (\S+) (-?\d+) (-?\d+) (\d+) (\d+) (\w+)", line)
            if m:
                parts[m[1]] = tuple(int(v) for v in m.group(2, 3, 4, 5)) + (m[6],)
            m = re.fullmatch(r"window-id: (\d+)", line)
            if m:
                parts["window-id"] = int(m[1])
        return parts

    def go(self):
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()

    def finish(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            return None
        finally:
            self._stderr.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


def run(command, timeout=15):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def grab_window(display, window_id):
    """The screen area of the window, read from the X server.

    ``xwd -root`` composes its dump window by window when the screen offers several
    visuals (Xvfb offers TrueColor and DirectColor), and that composition leaves a
    popup lying wholly inside another window black. ``-screen`` reads the window's
    area straight off the screen instead, popups over it included.
    """
    data = subprocess.run(["xwd", "-id", str(window_id), "-screen", "-silent",
                           "-display", display],
                          capture_output=True, check=True, timeout=30).stdout
    return xshot.parse_xwd(data)


def relative(box, window):
    return box[0] - window[0], box[1] - window[1], box[2], box[3]


def not_blank(image):
    colours = image.colours()
    black = image.count_near((0, 0, 0), 0)
    return len(colours) >= 10 and black < len(image.pixels) // 2, \
        f"{len(colours)} colours, {black}/{len(image.pixels)} black pixels"


def close_window(display, window_id):
    """Ask the window to close, as a window manager's close button does (WM_DELETE_WINDOW)."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 12)]  # XEvent is 24 longs

    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise RuntimeError(f"cannot open display {display}")
    try:
        event = ClientMessage(type=33, window=window_id, format=32,  # ClientMessage
                              message_type=x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
        event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.data[1] = 0  # CurrentTime
        if not x11.XSendEvent(dpy, window_id, 0, 0, ctypes.byref(event)):
            raise RuntimeError("XSendEvent failed")
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


def scripted(binding, display, out, results, colour):
    name = f"{binding} scripted"
    shots = out / "script"
    demo = Demo(binding, display, ["--script", "--screenshot", str(shots)], out, "script")
    try:
        first = demo.wait_line(r"^demo: scripted session on ", timeout=60)
        results.check(f"{name}: runs on the X server",
                      first is not None and demo.lines[first].endswith("platform xcb"),
                      demo.lines[first] if first is not None else "no start line")
        for shot, error_shown in (("before.png", True), ("after.png", False)):
            at = demo.wait_line(rf"^checkpoint: {re.escape(shot)}$", timeout=60)
            if not results.check(f"{name}: reached {shot}", at is not None):
                break
            parts = demo.geometry(at)
            window = parts["window"]
            image = grab_window(display, parts["window-id"])
            png = out / f"x-script-{shot}"
            image.save_png(png)
            ok, detail = not_blank(image)
            results.check(f"{name}: {shot} from the X server is not blank", ok,
                          f"{detail}; {png}")
            caption = image.crop(*relative(parts["city.caption"], window))
            coloured = caption.count_near(colour, COLOUR_TOLERANCE)
            everywhere = image.count_near(colour, COLOUR_TOLERANCE)
            if error_shown:
                results.check(f"{name}: city caption drawn in the error colour",
                              parts["city.caption"][4] == "visible"
                              and coloured >= MIN_COLOURED_PIXELS,
                              f"{coloured} pixels of rgb{colour} in the caption "
                              f"{parts['city.caption'][:4]}")
            else:
                results.check(f"{name}: no error colour once the city is filled",
                              everywhere == 0,
                              f"{everywhere} pixels of rgb{colour} in the window")
            demo.go()
        status = demo.finish(60)
        results.check(f"{name}: --script passes", status == 0, f"exit status {status}")
        results.check(f"{name}: form sent",
                      any(line.startswith("submit: ok, sent country = FR; city = Lyon")
                          for line in demo.lines))
    finally:
        demo.kill()
        (out / "script.txt").write_text("\n".join(demo.transcript) + "\n")


def session(binding, display, out, results, colour):
    name = f"{binding} session"
    demo = Demo(binding, display, [], out, "session")

    def xdo(*args):
        demo.note("> xdotool " + " ".join(args))
        result = run(["xdotool", *args])
        if result.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def click(part, parts):
        x, y, w, h, _ = parts[part]
        xdo("mousemove", str(x + w // 2), str(y + h // 2), "click", "1")

    try:
        ready = demo.wait_line(r"^demo: ready$", timeout=60)
        if not results.check(f"{name}: window open", ready is not None,
                             demo.lines[0] if demo.lines else "no output"):
            return
        parts = demo.geometry(ready)
        found = run(["timeout", "20", "xdotool", "search", "--sync", "--onlyvisible",
                     "--name", f"^{TITLE}$"], timeout=30)
        ids = [int(v) for v in found.stdout.split()]
        results.check(f"{name}: xdotool finds the window", parts["window-id"] in ids,
                      f"found {ids}, demo reports {parts['window-id']}")
        window = parts["window"]

        click("country.input", parts)
        xdo("type", "--delay", "60", "fr")
        # The completer pops up under the input, as wide as the input.
        x, y, w, h, _ = parts["country.input"]
        popup_box = (x - window[0], y + h - window[1], w, 18)
        deadline = time.monotonic() + 10
        while True:
            image = grab_window(display, parts["window-id"])
            popup = image.crop(*popup_box)
            light = sum(1 for p in popup.pixels if min(p) >= 200)
            if light > len(popup.pixels) // 2 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        png = out / "x-session-popup.png"
        image.save_png(png)
        dark = sum(1 for p in popup.pixels if max(p) <= 100)
        results.check(f"{name}: completer popup painted", light > len(popup.pixels) // 2
                      and dark >= 10, f"{light} light, {dark} dark of {len(popup.pixels)} "
                      f"pixels under the input; {png}")
        xdo("key", "Down")
        xdo("key", "Return")
        picked = demo.wait_line(r"^country = FR$", timeout=15)
        results.check(f"{name}: completion taken, country = FR", picked is not None)

        mark = len(demo.lines)
        click("submit", parts)
        submitted = demo.wait_line(r"^submit: ", start=mark, timeout=15)
        results.check(f"{name}: submit with the city empty reports its error",
                      submitted is not None and "city" in demo.lines[submitted]
                      and "error" in demo.lines[submitted],
                      demo.lines[submitted] if submitted is not None else "no submit line")
        moved = demo.wait_line(r"^window-id: ", start=(submitted or mark), timeout=15)
        if moved is not None:
            parts = demo.geometry(moved)
            time.sleep(0.3)
            image = grab_window(display, parts["window-id"])
            png = out / "x-session-error.png"
            image.save_png(png)
            caption = image.crop(*relative(parts["city.caption"], parts["window"]))
            coloured = caption.count_near(colour, COLOUR_TOLERANCE)
            results.check(f"{name}: city caption drawn in the error colour",
                          parts["city.caption"][4] == "visible"
                          and coloured >= MIN_COLOURED_PIXELS,
                          f"{coloured} pixels of rgb{colour}; {png}")

        demo.note(f"> close the window (WM_DELETE_WINDOW to {parts['window-id']})")
        close_window(display, parts["window-id"])
        status = demo.finish(30)
        demo.note(f"(exit status {status})")
        results.check(f"{name}: closing the window exits 0", status == 0,
                      f"exit status {status}")
    except Exception as exc:  # noqa: BLE001 - one binding's breakage must not hide the rest
        results.check(f"{name}: completed", False, f"{type(exc).__name__}: {exc}")
    finally:
        demo.kill()
        (out / "session.txt").write_text("\n".join(demo.transcript) + "\n")


def unusable_display(binding, out, results):
    """A display that cannot be reached: explained, shown offscreen, non-zero exit."""
    name = f"{binding} no usable display"
    env = dict(os.environ, DISPLAY=":4321", QT_API=binding)
    for key in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "PYTHONPATH", "TESSU_DEMO_DRIVEN"):
        env.pop(key, None)
    shots = out / "fallback"
    result = subprocess.run([sys.executable, "-P", str(DEMO), "--screenshot", str(shots)],
                            cwd=REPO, env=env, capture_output=True, text=True, timeout=120)
    (out / "fallback.txt").write_text(result.stderr + result.stdout)
    results.check(f"{name}: exits 3 after the offscreen session", result.returncode == 3,
                  f"exit status {result.returncode}")
    results.check(f"{name}: says why and what it does instead",
                  "cannot open a window" in result.stderr
                  and "offscreen instead" in result.stderr
                  and "platform offscreen" in result.stdout
                  and (shots / "before.png").is_file())


def start_xvfb(size, log):
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size,
                             "-nolisten", "tcp"], pass_fds=(write_fd,), stdout=log,
                            stderr=subprocess.STDOUT)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 30
    import select

    while not number.endswith(b"\n") and time.monotonic() < deadline:
        if select.select([read_fd], [], [], 0.5)[0]:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_fd)
    if not number.strip():
        xvfb.kill()
        raise RuntimeError("Xvfb did not start (see its log)")
    return xvfb, f":{number.decode().strip()}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bindings", default=" ".join(BINDINGS))
    parser.add_argument("--out", type=Path, default=REPO / "out" / "display")
    parser.add_argument("--screen", default="1280x1024x24")
    args = parser.parse_args(argv)
    for tool in ("Xvfb", "xdotool", "xwd"):
        if shutil.which(tool) is None:
            sys.exit(f"display_check: {tool} is not installed")
    # A timeout's SIGTERM must still stop Xvfb and the demo (the finally blocks).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    colour = error_colour()
    results = Results()
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "xvfb.log", "w") as log:
        xvfb, display = start_xvfb(args.screen, log)
        os.environ["DISPLAY"] = display  # for xdotool
        print(f"display_check: Xvfb on {display} ({args.screen}); theme error colour "
              f"rgb{colour}", flush=True)
        try:
            for binding in args.bindings.split():
                out = args.out / binding
                if out.exists():
                    shutil.rmtree(out)
                out.mkdir(parents=True)
                started = time.monotonic()
                scripted(binding, display, out, results, colour)
                session(binding, display, out, results, colour)
                print(f"display_check: {binding} took {time.monotonic() - started:.1f} s; "
                      f"transcripts and screenshots in {out}", flush=True)
            unusable_display(args.bindings.split()[0], args.out / args.bindings.split()[0],
                             results)
        finally:
            xvfb.terminate()
            try:
                xvfb.wait(10)
            except subprocess.TimeoutExpired:
                xvfb.kill()
    if results.failed:
        print("failed: " + "; ".join(results.failed))
    print(f"display: {results.passed} passed, {len(results.failed)} failed")
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
