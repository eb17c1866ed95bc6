#!/usr/bin/python3
"""The real KorvaneDownloader on Xvfb, read as a screen reader reads it: over AT-SPI, on the
session bus that dbus-run-session gives this test, against the scripted server on the fixed test
port. The download comes slowly, then its signature is missing: the failed state.

    dbus-run-session -- /usr/bin/python3 accessibility.py --program P --pki DIR --port N"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import pyatspi
from gi.repository import GLib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "support"))
from processes import Display, stop  # noqa: E402
from status_lines import (MSG_DOWNLOADING, MSG_FAILED, SAID_DURING_THE_DOWNLOAD,  # noqa: E402
                          read_in_order)

SERVER = os.path.join(HERE, "support", "scripted_server.py")
OPTIONS = None

CAPTION_DOWNLOADING = "Téléchargement de Korvane en cours... Veuillez patienter."
RETURN_KEYCODE = 36  # Xvfb's default keyboard map


def pump_until(condition, seconds, what):
    """Runs GLib's main loop, which hands AT-SPI's events over, until `condition` holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while context.iteration(False):
            pass
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"waited {seconds} s for {what}")


def states_of(accessible):
    return {pyatspi.stateToString(state) for state in accessible.getState().getStates()}


class ScreenReader(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvane-a11y-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.start_display()
        # The accessibility bus, started on demand, presses keys on this display.
        subprocess.run(["dbus-update-activation-environment", "DISPLAY=" + self.display],
                       check=True)
        self.start_server()
        # What a screen reader listens to: notifications that show, and the focus.
        self.said = []
        self.focused = []
        self.addCleanup(pyatspi.Registry.deregisterEventListener, self.on_event,
                        "object:state-changed:showing", "object:state-changed:focused")
        pyatspi.Registry.registerEventListener(self.on_event, "object:state-changed:showing",
                                               "object:state-changed:focused")

    def start_display(self):
        display = Display().__enter__()
        self.addCleanup(display.__exit__)
        self.display = display.name
        # A window manager, which gives a new window the focus as a desktop does.
        home = os.path.join(self.work, "openbox")
        openbox = subprocess.Popen(
            ["openbox", "--sm-disable"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, DISPLAY=self.display, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home))
        self.addCleanup(stop, openbox)
        pump_until(lambda: b"window id" in subprocess.run(
            ["xprop", "-display", self.display, "-root", "_NET_SUPPORTING_WM_CHECK"],
            capture_output=True).stdout, 30, "openbox")

    def start_server(self):
        # About 4 s of body: time for the status line's every step.
        self.server = subprocess.Popen(
            [sys.executable, SERVER, "--pki", OPTIONS.pki, "--dual-port", str(OPTIONS.port),
             "--dual-port-listener", "tls", "--setup", "/slow/1000000/80/50",
             "--log", os.path.join(self.work, "server.log")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(stop, self.server)
        self.assertTrue(self.server.stdout.readline(), "the scripted server did not start")

    def start_program(self):
        for name in ("tmp", "data"):
            os.mkdir(os.path.join(self.work, name))
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", TMPDIR=os.path.join(self.work, "tmp"),
                   XDG_DATA_HOME=os.path.join(self.work, "data"))
        program = subprocess.Popen([OPTIONS.program], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(stop, program)
        return program

    def on_event(self, event):
        if event.detail1 != 1 or not self.is_programs(event.source):
            return
        if event.type == "object:state-changed:showing" and \
                event.source.getRoleName() == "notification":
            self.said.append(event.source.name)
        elif event.type == "object:state-changed:focused":
            self.focused.append((event.source.getRoleName(), event.source.name))

    @staticmethod
    def is_programs(accessible):
        application = accessible.getApplication()
        return application is not None and application.name == "KorvaneDownloader"

    @staticmethod
    def frame():
        """The program's window, as the desktop lists it; None before it shows."""
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == "KorvaneDownloader":
                for window in application:
                    if window.getRoleName() == "frame":
                        return window
        return None

    @staticmethod
    def child(frame, role, name=None):
        for accessible in frame:
            if accessible.getRoleName() == role and name in (None, accessible.name):
                return accessible
        raise AssertionError(f"no {role} {name or ''} in {[(c.getRoleName(), c.name) for c in frame]}")

    def test_a_screen_reader_hears_each_status_line_and_can_retry_from_the_keyboard(self):
        self.start_program()
        frame = pump_until(self.frame, 30, "the program's window")
        self.assertEqual(frame.name, CAPTION_DOWNLOADING)

        # Before any byte, the bar is busy and named with what it shows.
        bar = self.child(frame, "progress bar")
        self.assertEqual(bar.name, CAPTION_DOWNLOADING)
        self.assertIn("busy", states_of(bar))
        self.assertEqual(self.child(frame, "notification").name, MSG_DOWNLOADING)

        # The bar's value follows the download.
        pump_until(lambda: 0 < bar.queryValue().currentValue < 100, 60, "the bar to move")
        self.assertEqual((bar.queryValue().minimumValue, bar.queryValue().maximumValue), (0, 100))

        # Each new status line is announced, the failure's too, and the focus goes to Recommencer.
        pump_until(lambda: self.said[-1:] == [MSG_FAILED] and len(self.said) >= 10, 60,
                   "the failure to be announced")
        self.assertGreaterEqual(len(self.said), len(SAID_DURING_THE_DOWNLOAD), self.said)
        self.assertTrue(read_in_order(self.said, [MSG_DOWNLOADING] + SAID_DURING_THE_DOWNLOAD),
                        self.said)
        pump_until(lambda: ("push button", "Recommencer") in self.focused, 10,
                   "the focus on Recommencer")
        retry = self.child(frame, "push button", "Recommencer")
        self.assertIn("focused", states_of(retry))
        self.child(frame, "push button", "Autre lien de téléchargement")

        # Enter presses it: a new run, which says so.
        del self.said[:]
        pyatspi.Registry.generateKeyboardEvent(RETURN_KEYCODE, None, pyatspi.KEY_PRESSRELEASE)
        pump_until(lambda: MSG_DOWNLOADING in self.said, 30, "the new run to be announced")
        pump_until(lambda: self.requests().count("GET /KorvaneSetup.exe HTTP/1.1") == 2, 30,
                   "the new run's request")

    def requests(self):
        with open(os.path.join(self.work, "server.log")) as log:
            return [event["request"].split("\r\n")[0] for line in log
                    if (event := json.loads(line))["event"] == "request"]


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "pki"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--port", type=int, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
