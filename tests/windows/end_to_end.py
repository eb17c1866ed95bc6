#!/usr/bin/python3
"""End-to-end runs of the real KorvaneDownloader.exe under Wine on a virtual display, against the
scripted server on localhost at the fixed test port, directly or through tinyproxy named as the
user's proxy. A stand-in setup program, signed as the maker's or otherwise, records how it was
started; WindowProbe.exe reads the window from outside, as a user sees it."""

import argparse
import glob
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from processes import Display, stop  # noqa: E402
from status_lines import (MSG_DOWNLOADING, MSG_FAILED, SAID_DURING_THE_DOWNLOAD,  # noqa: E402
                          read_in_order)

SERVER = os.path.join(HERE, "..", "support", "scripted_server.py")
TINYPROXY = os.path.join(HERE, "..", "support", "tinyproxy.sh")
# Where Wine keeps the display's resolution, in dots per inch.
DESKTOP = r"HKCU\Control Panel\Desktop"
# Where the Internet Options dialog keeps the current user's proxy settings.
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
OPTIONS = None

FAILED_TITLE = "Téléchargement échoué !"
IMAGE_DIRECTORY_ENTRY_SECURITY = 4
BUTTONS = {"Autre lien de téléchargement", "Recommencer"}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def security_directory(image):
    """The file offset of the entry for the certificate table in a PE image's headers."""
    headers = struct.unpack_from("<I", image, 0x3C)[0]
    optional = headers + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    return directories + 8 * IMAGE_DIRECTORY_ENTRY_SECURITY


def with_a_changed_byte(image):
    """The image with one byte of its first section's code changed."""
    headers = struct.unpack_from("<I", image, 0x3C)[0]
    optional_size = struct.unpack_from("<H", image, headers + 20)[0]
    first_section = headers + 24 + optional_size
    code = struct.unpack_from("<I", image, first_section + 20)[0]
    changed = bytearray(image)
    changed[code + 64] ^= 0x01
    return bytes(changed)


def with_bytes_inside_the_certificate_table(image):
    """The image with data appended inside its certificate table, which the signature's digest
    leaves out: the table grows over data added at the end of the file."""
    entry = security_directory(image)
    offset, size = struct.unpack_from("<II", image, entry)
    assert offset + size == len(image), "the certificate table ends the file"
    smuggled = b"smuggled past the signature\0\0\0\0\0"
    changed = bytearray(image) + smuggled
    struct.pack_into("<I", changed, entry + 4, size + len(smuggled))
    return bytes(changed)


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"waited {seconds} s for {what}")


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvane-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.docroot = os.path.join(self.work, "docroot")
        os.mkdir(self.docroot)
        self.provide(self.signed("codesign"))
        self.record = os.path.join(self.work, "record.txt")
        self.log = os.path.join(self.work, "server.log")
        self.display = Display().__enter__()
        self.addCleanup(self.display.__exit__)
        self.env = dict(os.environ, DISPLAY=self.display.name,
                        KORVANE_TEST_RECORD=windows_path(self.record))
        self.addCleanup(self.remove_downloads)

    @staticmethod
    def signed(signer):
        with open(os.path.join(OPTIONS.signed, signer + ".exe"), "rb") as program:
            return program.read()

    def provide(self, image):
        """Puts `image` where the server's /file/KorvaneSetup.exe serves it from."""
        with open(os.path.join(self.docroot, "KorvaneSetup.exe"), "wb") as setup:
            setup.write(image)

    @staticmethod
    def run_folders():
        """The folders of the runs ("Korvane-" and 32 hexadecimal digits) in the temporary
        directories of the prefix's users (Wine 8 keeps them in the profile itself, Windows in
        AppData)."""
        users = os.path.join(OPTIONS.wine_prefix, "drive_c", "users")
        return [path for temp in (("Temp",), ("AppData", "Local", "Temp"))
                for path in glob.glob(os.path.join(users, "*", *temp, "Korvane-" + "[0-9a-f]" * 32))]

    @classmethod
    def downloads(cls):
        """The KorvaneSetup.exe files in the runs' folders."""
        return [path for folder in cls.run_folders()
                if os.path.exists(path := os.path.join(folder, "KorvaneSetup.exe"))]

    def remove_downloads(self):
        for folder in self.run_folders():
            shutil.rmtree(folder)

    def serve(self, setup, *arguments):
        """Serves `setup` as /KorvaneSetup.exe on the fixed port, in place of what was served,
        with a log of its own; `arguments` go to the server as well."""
        if getattr(self, "server", None) is not None:
            stop(self.server)
        if os.path.exists(self.log):
            os.remove(self.log)
        self.server = subprocess.Popen(
            [sys.executable, SERVER, "--pki", OPTIONS.pki, "--dual-port", str(OPTIONS.port),
             "--dual-port-listener", "tls", "--docroot", self.docroot, "--setup", setup,
             "--log", self.log, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop, self.server)
        ports = self.server.stdout.readline()
        self.assertTrue(ports, self.server.stderr.read() if self.server.poll() is not None else "")
        json.loads(ports)

    def start_program(self, program=None):
        """Starts `program`, by default the one built with the test settings."""
        program = subprocess.Popen([OPTIONS.wine_run, program or OPTIONS.program], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, program)
        return program

    def probe(self, command="state", title=None):
        """What WindowProbe says of the program's window, or of the one with `title`."""
        done = subprocess.run([OPTIONS.wine_run, OPTIONS.probe, command, *filter(None, [title])],
                              env=self.env, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            return None
        return dict(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)

    def use_proxy(self):
        """Starts tinyproxy and names it the user's manual proxy; returns the path of its log."""
        directory = os.path.join(self.work, "proxy")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        proxy = subprocess.Popen([TINYPROXY, directory, str(port)], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.addCleanup(stop, proxy)
        log = os.path.join(directory, "tinyproxy.log")

        def ready():
            try:
                with open(log) as text, socket.create_connection(("127.0.0.1", port)):
                    return "Reloading config file finished" in text.read()
            except OSError:
                return False
        wait_until(ready, 15, "tinyproxy")

        # A version, a change counter, the flags (direct, and through the proxy), then counted
        # strings: the proxy, the exceptions, the automatic configuration's address.
        def counted(text):
            return struct.pack("<I", len(text)) + text.encode("ascii")
        settings = (struct.pack("<III", 0x46, 1, 0x3) + counted(f"127.0.0.1:{port}") +
                    counted("") + counted("") + bytes(32))
        self.registry("add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                      "/d", settings.hex(), "/f")
        self.addCleanup(self.registry, "delete", CONNECTIONS, "/v", "DefaultConnectionSettings",
                        "/f")
        return log

    def registry(self, *arguments):
        subprocess.run([OPTIONS.wine_run, "reg", *arguments], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def events(self, kind):
        with open(self.log) as log:
            return [event for line in log if (event := json.loads(line))["event"] == kind]

    def requests(self):
        return [event["request"].split("\r\n")[0] for event in self.events("request")]

    def started_with(self):
        if not os.path.exists(self.record):
            return None
        with open(self.record, encoding="utf-8") as record:
            return record.read()

    def expect_started(self, program):
        """Started with its parameter, from the run's own folder, where it lies alone."""
        self.assertEqual(program.wait(timeout=120), 0)
        command_line = wait_until(self.started_with, 30, "the setup program to start")
        self.assertTrue(command_line.rstrip("\n").endswith(" /LANG=fr"), command_line)
        self.assertIn("KorvaneSetup.exe", command_line)
        folders = self.run_folders()
        self.assertEqual(len(folders), 1, "earlier runs' folders went")
        self.assertEqual(os.listdir(folders[0]), ["KorvaneSetup.exe"])
        with open(self.record + ".directory", encoding="utf-8") as directory:
            started_in = directory.read()
        # All that was recorded, should a second start or another folder ever show up.
        self.assertEqual(started_in.rstrip("\n").rsplit("\\", 1)[-1], os.path.basename(folders[0]),
                         f"started in {started_in!r} with {command_line!r}")

    def expect_refused(self, program, whole=None):
        """The failure state, closed by the user; nothing started and nothing left to start. With
        `whole`, the bytes served, the server first sent them all: what is refused arrived, so that
        a server or connection that fails cannot pass for a refusal."""
        state = self.wait_for_the_failure()
        self.assertEqual(state["status"], MSG_FAILED)
        if whole is not None:
            self.assertEqual([event["bytes"] for event in self.events("file-sent")], [len(whole)])
        self.probe("close")
        self.assertEqual(program.wait(timeout=60), 0)
        self.assertIsNone(self.started_with())
        self.assertEqual(self.run_folders(), [], "neither the file nor its folder is left")

    def forget_the_start(self):
        for path in (self.record, self.record + ".directory"):
            if os.path.exists(path):
                os.remove(path)

    def test_a_download_signed_by_the_maker_starts_with_its_parameter(self):
        for framing in ("length", "chunked"):
            with self.subTest(framing=framing):
                self.serve(f"/file/KorvaneSetup.exe?framing={framing}")
                self.expect_started(self.start_program())
                self.assertEqual(self.requests(), ["GET /KorvaneSetup.exe HTTP/1.1"])
                self.forget_the_start()

    def test_a_download_goes_through_the_users_proxy(self):
        self.serve("/file/KorvaneSetup.exe")
        proxy_log = self.use_proxy()
        self.expect_started(self.start_program())
        with open(proxy_log) as log:
            self.assertIn(f"CONNECT localhost:{OPTIONS.port} HTTP/1.1", log.read())

    def test_a_setup_program_the_maker_did_not_sign_is_refused_and_deleted(self):
        genuine = self.signed("codesign")
        with open(OPTIONS.setup_stand_in, "rb") as unsigned:
            cases = {
                "a byte changed after signing": with_a_changed_byte(genuine),
                "signed under another authority of the same name": self.signed("codesign-rogue"),
                "signed by the maker's authority under another name":
                    self.signed("codesign-othername"),
                "signed without the code-signing usage": self.signed("codesign-nousage"),
                "unsigned": unsigned.read(),
                "data inside the certificate table": with_bytes_inside_the_certificate_table(genuine),
            }
        for case, image in cases.items():
            with self.subTest(case):
                self.provide(image)
                self.serve("/file/KorvaneSetup.exe")
                self.expect_refused(self.start_program(), whole=image)

    def test_only_the_release_it_was_built_to_start_starts(self):
        """What the version record inside the maker's signature says: the program built with the
        floor 2.4.0.0, and the one built without a floor."""
        floor, no_floor = OPTIONS.floor_program, OPTIONS.program
        cases = [  # what is served, signed by the maker; the program; whether it starts
            ("older than the floor", "Release-2.3.9.9", floor, False),
            ("another of the maker's files", "OtherFile", floor, False),
            ("no version under the floor", "Unversioned", floor, False),
            ("a version record that does not read", "Spoiled", floor, False),
            ("the floor itself", "Release-2.4.0.0", floor, True),
            ("2.10 above 2.4", "Release-2.10.0.0", floor, True),
            ("no version and no floor", "Unversioned", no_floor, True),
            ("another file and no floor", "OtherFile", no_floor, False),
        ]
        for case, stand_in, program, started in cases:
            with self.subTest(case):
                self.forget_the_start()
                self.remove_downloads()
                image = self.signed(stand_in)
                self.provide(image)
                self.serve("/file/KorvaneSetup.exe")
                if started:
                    self.expect_started(self.start_program(program))
                else:
                    self.expect_refused(self.start_program(program), whole=image)

    def test_a_download_that_breaks_off_leaves_nothing_behind(self):
        for setup in ("/status/404", "/cut/100000/50000", "/chunked-broken/100000"):
            with self.subTest(setup):
                self.serve(setup)
                self.expect_refused(self.start_program())

    def test_closing_during_the_body_ends_the_program_and_leaves_nothing(self):
        # 4 MB in 400 pieces, 50 ms apart: about 20 s of body.
        self.serve("/slow/4000000/400/50")
        program = self.start_program()
        self.wait_for_the_bar()
        self.assertEqual(len(self.downloads()), 1)
        self.probe("close")
        self.assertEqual(program.wait(timeout=60), 0)
        self.assertIsNone(self.started_with())
        self.assertEqual(self.run_folders(), [], "neither the file nor its folder is left")

    def test_a_program_killed_during_the_body_leaves_nothing(self):
        self.serve("/slow/4000000/400/50")
        self.start_program()
        self.wait_for_the_bar()
        killed = [pid for pid in os.listdir("/proc") if pid.isdigit() and self.runs_program(pid)]
        self.assertTrue(killed, "no process runs the program")
        for pid in killed:
            os.kill(int(pid), signal.SIGKILL)
        wait_until(lambda: not self.downloads(), 60, "the download to go with the process")
        self.assertIsNone(self.started_with())
        # What a killed run may leave, an empty folder, the next run removes.
        self.serve("/file/KorvaneSetup.exe")
        self.expect_started(self.start_program())

    def test_a_second_instance_fails_before_connecting(self):
        self.serve("/slow/4000000/400/50")
        first = self.start_program()
        self.wait_for_the_bar()
        second = self.start_program()
        state = wait_until(lambda: (s := self.probe("state", FAILED_TITLE)) and
                           set(s["buttons"].split("|")) == BUTTONS and s, 120,
                           "the second one's failure state")
        self.assertEqual(state["status"], MSG_FAILED)
        self.assertEqual(len(self.events("connection")), 1, "the second one asked nothing")
        self.assertEqual(len(self.downloads()), 1, "the first one's download goes on")
        self.probe("close", FAILED_TITLE)
        self.assertEqual(second.wait(timeout=60), 0)
        self.probe("close")
        self.assertEqual(first.wait(timeout=60), 0)
        self.assertIsNone(self.started_with())

    def test_the_window_takes_the_displays_scale(self):
        """At 100 %, 150 % and 200 % display scale, the window follows the monitor's DPI and every
        size is the one at 96 DPI scaled as MulDiv rounds, halves away from zero. Screenshots of
        each are left to look at."""
        link, retry = "button Autre lien de téléchargement", "button Recommencer"
        layouts = {
            96: {"client": "694x56", "bar": "0,0,694,27", "status": "3,32,686,21",
                 link: "485,29,201,25", retry: "0,0,694,25"},
            144: {"client": "1041x84", "bar": "0,0,1041,41", "status": "5,48,1029,32",
                  link: "728,44,302,38", retry: "0,0,1041,38"},
            192: {"client": "1388x112", "bar": "0,0,1388,54", "status": "6,64,1372,42",
                  link: "970,58,402,50", retry: "0,0,1388,50"},
        }
        self.addCleanup(self.registry, "delete", DESKTOP, "/v", "LogPixels", "/f")
        self.serve("/status/404")  # the failure state, which shows the buttons too
        for dpi, layout in layouts.items():
            with self.subTest(dpi=dpi):
                self.registry("add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                              str(dpi), "/f")
                program = self.start_program()
                self.wait_for_the_failure()
                self.assertEqual(self.probe("layout"), {"display-dpi": str(dpi),
                                                        "awareness": "per-monitor", **layout})
                self.screenshot(f"windows-{dpi * 100 // 96}-percent")
                self.probe("close")
                self.assertEqual(program.wait(timeout=60), 0)

    def test_a_screen_reader_hears_each_status_line_and_retry_takes_the_keyboard(self):
        """Read through MSAA and win events as a screen reader reads them, as far as Wine 8 goes:
        its annotation service is a stub (no name for the bar, no live setting to read back) and
        its proxies give every control the role "client"."""
        listener = subprocess.Popen([OPTIONS.wine_run, OPTIONS.probe, "listen"], env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(stop, listener)
        self.assertEqual(listener.stdout.readline().strip(), "listening")
        # About 4 s of a body that nobody signed: each step of the status line, then the failure.
        self.serve("/slow/1000000/80/50")
        program = self.start_program()
        state = self.wait_for_the_failure()
        self.assertEqual(state["focus"], "Recommencer")
        client = "10"  # ROLE_SYSTEM_CLIENT
        self.assertEqual(self.probe("accessible"), {
            "window": f"{FAILED_TITLE}|{client}", "status": f"{MSG_FAILED}|{client}",
            "bar": f"-|{client}",
            "button Autre lien de téléchargement": f"Autre lien de téléchargement|{client}",
            "button Recommencer": f"Recommencer|{client}"})

        # Tab goes to the other button and back; Enter presses Recommencer: a new run.
        for key, focused in (("tab", "Autre lien de téléchargement"), ("tab", "Recommencer")):
            self.assertIsNotNone(self.probe("press", key))
            wait_until(lambda: self.probe()["focus"] == focused, 30, f"the focus on {focused}")
        self.assertIsNotNone(self.probe("press", "return"))
        wait_until(lambda: self.requests().count("GET /KorvaneSetup.exe HTTP/1.1") == 2, 60,
                   "the new run's request")
        self.wait_for_the_failure()
        self.probe("close")
        self.assertEqual(program.wait(timeout=60), 0)

        events = [line.rstrip("\n").split("=", 1) for line in listener.stdout]
        said = [text for kind, text in events if kind == "live-region"]
        self.assertGreaterEqual(len(said), 2 * len(SAID_DURING_THE_DOWNLOAD), said)
        self.assertTrue(read_in_order(said, 2 * ([MSG_DOWNLOADING] + SAID_DURING_THE_DOWNLOAD)),
                        said)
        self.assertIn(["focus", "Recommencer"], events)

    def screenshot(self, name):
        os.makedirs(OPTIONS.screenshots, exist_ok=True)
        subprocess.run(["import", "-display", self.display.name, "-window", "root",
                        os.path.join(OPTIONS.screenshots, name + ".png")], check=True, timeout=60)

    def wait_for_the_failure(self):
        # The probe reads the window's parts one after another: wait for all of them.
        return wait_until(lambda: (s := self.probe()) and s["title"] == FAILED_TITLE and
                          set(s["buttons"].split("|")) == BUTTONS and s, 120,
                          "the failure state with both buttons")

    def wait_for_the_bar(self):
        wait_until(lambda: (s := self.probe()) and int(s["position"]) >= 10, 120,
                   "the bar to move")

    @staticmethod
    def runs_program(pid):
        """True when process `pid` is Wine running KorvaneDownloader.exe, which Wine names as its
        first argument (the script that started it, or this test, merely name it later)."""
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                program = cmdline.read().split(b"\0")[0]
        except OSError:
            return False
        return program.replace(b"\\", b"/").split(b"/")[-1].lower() == b"korvanedownloader.exe"


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "floor-program", "probe", "setup-stand-in", "signed", "pki",
                 "wine-run", "wine-prefix"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--screenshots", default="screenshots",
                        help="where the screenshots go (default: ./screenshots)")
    parser.add_argument("--port", type=int, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
