#!/usr/bin/env python3
"""The real program on a real X server: Xvfb with trayer as the notification area, driven by
xdotool. Usage: desktop_test.py KESTRUNE DESKTOP_MODULE [SCREENSHOT.png [TEST ...]]

Each case starts a copy of the program and its module in a fresh folder (the log lands beside
the executable). Waits poll with generous deadlines, so a loaded machine only makes it slower.
"""
import ctypes
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

CAPTION = "Запись лога обмена с БС"
DEADLINE = 30.0
KESTRUNE = MODULE = SCREENSHOT = None


def wait_for(what, predicate, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def run(*args, env=None):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=DEADLINE)


class XServer:
    """Xvfb on a display number of its own choosing, with trayer as the notification area."""

    def __init__(self):
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "640x400x24", "-nolisten",
             "tcp"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ, DISPLAY=":" + number)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.xlib = ctypes.CDLL("libX11.so.6")
        self.xlib.XOpenDisplay.restype = ctypes.c_void_p
        self.xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.xlib.XInternAtom.restype = ctypes.c_ulong
        self.xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.xlib.XGetSelectionOwner.restype = ctypes.c_ulong
        self.xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                         ctypes.c_long, ctypes.c_void_p]
        self.xlib.XFlush.argtypes = [ctypes.c_void_p]
        self.display = self.xlib.XOpenDisplay(self.env["DISPLAY"].encode())
        if not self.display:
            raise RuntimeError("cannot open " + self.env["DISPLAY"])
        self.trayer = subprocess.Popen(
            ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
             "--height", "24", "--transparent", "false", "--SetDockType", "false"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tray = self.atom("_NET_SYSTEM_TRAY_S0")
        wait_for("trayer to own the notification area",
                 lambda: self.xlib.XGetSelectionOwner(self.display, tray) != 0)

    def close(self):
        for process in (self.trayer, self.xvfb):
            process.terminate()
            process.wait(timeout=DEADLINE)

    def atom(self, name):
        return self.xlib.XInternAtom(self.display, name.encode(), 0)

    def xdotool(self, *args):
        return run("xdotool", *args, env=self.env)

    def windows(self):
        """(id, depth, name, rest of line) of every window, from the root down."""
        tree = run("xwininfo", "-root", "-tree", env=self.env).stdout
        found = []
        for line in tree.splitlines():
            m = re.match(r'^(\s*)(0x[0-9a-f]+) "(.*)": (.*)$', line)
            if m:
                found.append((int(m.group(2), 16), len(m.group(1)), m.group(3), m.group(4)))
        return found

    def viewable(self, window):
        out = run("xwininfo", "-id", str(window), env=self.env).stdout
        return "Map State: IsViewable" in out

    def top_level(self, name, pid, kind="NORMAL"):
        """The program's top-level window with this title and window type, or None."""
        for window, depth, title, rest in self.windows():
            if (title == name and depth <= 5 and '"kestrune"' in rest and
                    self.pid_of(window) == pid and self.window_type(window) == kind):
                return window
        return None

    def window_type(self, window):
        out = run("xprop", "-id", str(window), "_NET_WM_WINDOW_TYPE", env=self.env).stdout
        m = re.search(r"_NET_WM_WINDOW_TYPE_(\w+)", out)
        return m.group(1) if m else None

    def pid_of(self, window):
        out = self.xdotool("getwindowpid", str(window)).stdout.strip()
        return int(out) if out.isdigit() else None

    def tray_icon(self, pid):
        """The program's icon window embedded in trayer, or None."""
        for window, depth, title, rest in self.windows():
            if depth > 5 and '"kestrune"' in rest and self.pid_of(window) == pid:
                return window
        return None

    def close_window(self, window):
        """What a window manager does for the close button: WM_DELETE_WINDOW."""

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        event = Event()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = self.atom("WM_PROTOCOLS")
        event.xclient.format = 32
        event.xclient.data[0] = self.atom("WM_DELETE_WINDOW")
        event.xclient.data[1] = 0  # CurrentTime
        self.xlib.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        self.xlib.XFlush(self.display)


class MapWatcher:
    """Every map and unmap of a top-level window, as the X server reports them, so that a window
    shown only briefly is seen however slowly this test polls."""

    MAP, UNMAP = 19, 18  # MapNotify, UnmapNotify

    class Event(ctypes.Structure):
        # The fields that XMapEvent and XUnmapEvent share, padded to the size of an XEvent.
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                    ("pad", ctypes.c_long * 24)]

    def __init__(self, x):
        self.xlib = x.xlib
        self.xlib.XDefaultRootWindow.restype = ctypes.c_ulong
        self.xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.xlib.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        self.xlib.XPending.argtypes = [ctypes.c_void_p]
        self.xlib.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = self.xlib.XOpenDisplay(x.env["DISPLAY"].encode())
        root = self.xlib.XDefaultRootWindow(self.display)
        self.xlib.XSelectInput(self.display, root, 1 << 19)  # SubstructureNotifyMask
        self.xlib.XSync(self.display, 0)
        self.seen = []  # (MAP or UNMAP, window)

    def close(self):
        self.xlib.XCloseDisplay(self.display)

    def history(self, window):
        """MAP and UNMAP of the window, oldest first."""
        event = self.Event()
        while self.xlib.XPending(self.display):
            self.xlib.XNextEvent(self.display, ctypes.byref(event))
            if event.type in (self.MAP, self.UNMAP):
                self.seen.append((event.type, event.window))
        return [kind for kind, w in self.seen if w == window]


class Program:
    """A copy of kestrune and its desktop module in a fresh folder."""

    def __init__(self, x, *args, env=None, with_module=True):
        self.dir = tempfile.mkdtemp(prefix="kestrune-desktop-")
        for path in (KESTRUNE, MODULE) if with_module else (KESTRUNE,):
            shutil.copy2(path, self.dir)
        self.log = os.path.join(self.dir, os.path.basename(KESTRUNE) + ".LOG")
        self.stderr_path = os.path.join(self.dir, "stderr")
        with open(self.stderr_path, "wb") as err:
            self.started = time.monotonic()
            self.process = subprocess.Popen(
                [os.path.join(self.dir, os.path.basename(KESTRUNE)), *args],
                env=x.env if env is None else env,
                cwd=self.dir, stdout=subprocess.DEVNULL, stderr=err)

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def port(self):
        m = re.search(r"listening on UDP port (\d+)", self.stderr())
        return int(m.group(1)) if m else None

    def log_bytes(self):
        try:
            with open(self.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=DEADLINE)
        shutil.rmtree(self.dir, ignore_errors=True)


class DesktopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.x.close()

    def start(self, *args, **kwargs):
        program = Program(self.x, *args, **kwargs)
        self.addCleanup(program.close)
        return program

    def main_window(self, program):
        return wait_for("the main window",
                        lambda: self.x.top_level(CAPTION, program.process.pid))

    def wait_shown(self, window, shown):
        wait_for("the window to be " + ("shown" if shown else "hidden"),
                 lambda: self.x.viewable(window) == shown)

    def click(self, icon, times=1):
        # Separate gestures must lie further apart than the double-click interval (400 ms by
        # default), or a click and a double-click would merge into a double and a single click;
        # the X server stamps the events, so this gap holds however slow the machine is.
        time.sleep(1.0)
        # Two presses well inside the double-click interval make one double-click.
        self.x.xdotool("mousemove", "--window", str(icon), "8", "8", "click", "--repeat",
                       str(times), "--delay", "80", "1")

    def test_window_tray_logging_and_orderly_close(self):
        maps = MapWatcher(self.x)
        self.addCleanup(maps.close)
        program = self.start("0")
        window = self.main_window(program)
        wait_for("the window to be shown, then hidden",
                 lambda: maps.history(window)[:2] == [MapWatcher.MAP, MapWatcher.UNMAP])
        hidden_after = time.monotonic() - program.started
        # The start-up step is due one second after start; Qt's coarse timers may fire up to
        # 5 % early, never sooner.
        self.assertGreaterEqual(hidden_after, 0.9)
        print(f"window hidden (and seen so) {hidden_after:.2f} s after start", file=sys.stderr)

        port = wait_for("the listening line", program.port)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto("перед кликом\r\nline two".encode("cp1251"), ("127.0.0.1", port))
        wait_for("the datagram in the log",
                 lambda: "перед кликом\r\nline two\r\n".encode("cp1251") in program.log_bytes())

        icon = wait_for("the tray icon", lambda: self.x.tray_icon(program.process.pid))
        self.click(icon)
        self.click(icon, times=2)
        self.wait_shown(window, True)
        if SCREENSHOT:
            time.sleep(0.5)  # let the window paint; only the picture depends on it
            run("import", "-window", "root", SCREENSHOT, env=self.x.env)
        self.click(icon)
        self.wait_shown(window, False)
        self.click(icon)
        self.click(icon, times=2)
        self.wait_shown(window, True)

        self.x.close_window(window)
        self.assertEqual(program.process.wait(timeout=DEADLINE), 0)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", port))  # freed by the orderly exit
        self.assertEqual(program.log_bytes().count(b"\r\n+ "), 1)
        self.assertIn("listening on UDP port", program.stderr())
        self.assertNotIn("running headless", program.stderr())

    def test_bad_port_shows_error_box_and_keeps_running_in_tray(self):
        program = self.start("70000")
        window = self.main_window(program)
        box = wait_for("the error box",
                       lambda: self.x.top_level("Kestrune", program.process.pid, "DIALOG"))
        self.assertTrue(self.x.viewable(box))
        self.assertIn('"70000" is not a valid port number (0 to 65535)', program.stderr())
        self.assertFalse(self.x.viewable(window))

        # Its close button; keys sent by xdotool into Xvfb can reach the next test's box.
        self.x.close_window(box)
        wait_for("the error box to close", lambda: not self.x.viewable(box))
        self.assertIsNone(program.process.poll(), "the program goes on after the box")

        icon = wait_for("the tray icon", lambda: self.x.tray_icon(program.process.pid))
        self.click(icon, times=2)
        self.wait_shown(window, True)
        self.assertIsNone(program.port())
        self.x.close_window(window)
        self.assertEqual(program.process.wait(timeout=DEADLINE), 0)
        self.assertEqual(program.log_bytes(), b"")

    def test_port_in_use_shows_bind_error(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", 0))
            program = self.start(str(taken.getsockname()[1]))
            box = wait_for("the error box",
                           lambda: self.x.top_level("Kestrune", program.process.pid, "DIALOG"))
            self.assertTrue(self.x.viewable(box))
            self.assertIn("Could not bind socket. Address and port are already in use.",
                          program.stderr())
            self.assertIsNone(program.process.poll())

    def test_headless_without_a_usable_desktop(self):
        no_display = {k: v for k, v in self.x.env.items() if k != "DISPLAY"}
        absent = dict(self.x.env, DISPLAY=self.x.env["DISPLAY"] + "9")
        cases = [
            ("no display", no_display, True, None),
            ("display not reachable", absent, True, "cannot open display " + absent["DISPLAY"]),
            ("X11 chosen, display not reachable", dict(absent, QT_QPA_PLATFORM="xcb"), True,
             "cannot open display " + absent["DISPLAY"]),
            ("desktop module missing", self.x.env, False, "kestrune-qt.so"),
        ]
        for name, env, with_module, why in cases:
            with self.subTest(name):
                program = self.start("0", env=env, with_module=with_module)
                wait_for("the listening line", program.port)
                with open(f"/proc/{program.process.pid}/maps") as f:
                    qt_mapped = "libQt6" in f.read()
                program.process.terminate()
                self.assertEqual(program.process.wait(timeout=DEADLINE), 0)
                if why is None:
                    self.assertNotIn("running headless", program.stderr())
                    self.assertFalse(qt_mapped, "a headless run never loads Qt")
                else:
                    self.assertRegex(program.stderr(),
                                     r"kestrune: no desktop \(.*" + re.escape(why) +
                                     r".*\); running headless\n")


if __name__ == "__main__":
    KESTRUNE, MODULE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    SCREENSHOT = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[3] else None
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
